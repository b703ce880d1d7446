#include "devices/DeviceWaits.h"

#ifndef _WIN32
#include <chrono>
#include <thread>
#endif

namespace {

class CRealWaits : public CDeviceWaits
{
public:
    void WaitMicroseconds(DWORD microseconds) override;
    void SleepMilliseconds(DWORD milliseconds) override;
};

#ifdef _WIN32

void CRealWaits::WaitMicroseconds(DWORD microseconds)
{
    if (microseconds == 0)
        return;
    LARGE_INTEGER frequency, start;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&start)) {
        ::Sleep(microseconds / 1000);
        return;
    }
    const long long perSecond = frequency.QuadPart;
    for (;;) {
        LARGE_INTEGER now;
        if (!QueryPerformanceCounter(&now))
            return;  // a counter that stops answering must not hold the thread for ever
        const long long ticks = now.QuadPart - start.QuadPart;
        // Split so that the product cannot overflow however long the wait has run.
        const long long elapsed = ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
        if (elapsed >= static_cast<long long>(microseconds))
            return;
    }
}

void CRealWaits::SleepMilliseconds(DWORD milliseconds)
{
    ::Sleep(milliseconds);
}

#else

void CRealWaits::WaitMicroseconds(DWORD microseconds)
{
    if (microseconds == 0)
        return;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() <
           static_cast<long long>(microseconds)) {
    }
}

void CRealWaits::SleepMilliseconds(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

#endif

CRealWaits g_realWaits;
CDeviceWaits* g_waits = &g_realWaits;

} // namespace

CDeviceWaits& CurrentDeviceWaits()
{
    return *g_waits;
}

CDeviceWaits* UseDeviceWaits(CDeviceWaits* waits)
{
    CDeviceWaits* previous = g_waits;
    g_waits = waits != nullptr ? waits : &g_realWaits;
    return previous;
}
