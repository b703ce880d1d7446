// The serial calls of the transport, one small interface over each back-end: the system's comm
// API for COM ports, the FTDI D2XX library's Win32-style calls for USB converters, the FTDI
// chip-ID library, and (in tests) a scripted line. Protocol code never sees which one runs.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include "compat/wincompat.h"
#endif

// The FTDI open flag that makes the name argument of CreateFile a location ID.
#ifndef FT_OPEN_BY_LOCATION
#define FT_OPEN_BY_LOCATION 4
#endif

// Each call has the arguments and BOOL result of its Win32 twin and leaves the reason of a
// failure in the thread's last error. Reads and writes are never overlapped.
class CSerialApi
{
public:
    virtual ~CSerialApi() = default;
    virtual HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                               DWORD creation, DWORD flags, HANDLE templateFile) = 0;
    virtual BOOL CloseHandle(HANDLE h) = 0;
    virtual BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) = 0;
    virtual BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written) = 0;
    virtual BOOL GetCommState(HANDLE h, LPDCB dcb) = 0;
    virtual BOOL SetCommState(HANDLE h, LPDCB dcb) = 0;
    virtual BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) = 0;
    virtual BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) = 0;
    virtual BOOL PurgeComm(HANDLE h, DWORD flags) = 0;
};

// Status of the chip-ID calls: 0 is success.
typedef ULONG FTID_STATUS;

// The FTDI chip-ID library: converters by index (from 0), their chip and location IDs.
class CChipIdApi
{
public:
    virtual ~CChipIdApi() = default;
    // False when the library is not installed at all: then there are no converters to find.
    virtual bool IsPresent() const { return true; }
    virtual FTID_STATUS GetDllVersion(char* buffer, DWORD bufferSize) = 0;
    virtual FTID_STATUS GetNumDevices(DWORD* count) = 0;
    virtual FTID_STATUS GetDeviceChipID(DWORD index, DWORD* chipId) = 0;
    virtual FTID_STATUS GetDeviceLocationID(DWORD index, DWORD* locationId) = 0;
    virtual FTID_STATUS GetErrorCodeString(const char* language, FTID_STATUS status, char* buffer,
                                           DWORD bufferSize) = 0;
};

struct SerialBackends
{
    CSerialApi* com;      // COM ports and device paths
    CSerialApi* usb;      // FTDI converters
    CChipIdApi* chipId;   // converter lookup by chip ID
};

// The back-ends every port of the process uses; the platform's own until replaced.
const SerialBackends& CurrentSerialBackends();
// Replaces them (a test line, for instance) and returns the ones in use before.
SerialBackends UseSerialBackends(const SerialBackends& backends);
// The platform's back-ends, made on first use and kept for the life of the process.
SerialBackends PlatformSerialBackends();

// The flag word of a DCB (the bit fields after BaudRate) as one value.
DWORD GetDcbFlags(const DCB& dcb);
void SetDcbFlags(DCB& dcb, DWORD flags);
