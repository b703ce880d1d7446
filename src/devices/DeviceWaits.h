// The pauses of the device protocols: the busy wait of a few bit times after an address byte and
// the sleeps between attempts. They go through one replaceable object so that tests on a scripted
// line can count them as line time instead of spending real time.
#pragma once
#include "compat/wincompat.h"

class CDeviceWaits
{
public:
    virtual ~CDeviceWaits() = default;
    // Holds the thread until the elapsed time, truncated to whole microseconds, reaches the argument.
    virtual void WaitMicroseconds(DWORD microseconds) = 0;
    virtual void SleepMilliseconds(DWORD milliseconds) = 0;
};

// The waits in use: the real ones until replaced.
CDeviceWaits& CurrentDeviceWaits();
// Replaces them (null puts the real ones back) and returns the ones in use before.
CDeviceWaits* UseDeviceWaits(CDeviceWaits* waits);
