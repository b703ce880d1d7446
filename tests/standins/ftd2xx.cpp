// Stand-in for the FTDI D2XX library's Win32-style calls: a converter opened by location ID is the
// COM port the test configured for it (TREL_FTDI_DEVICES), and every call forwards to the system's
// comm API on that port.
#include "ftdi_devices.h"

#define FT_OPEN_BY_LOCATION 4

extern "C" {

__declspec(dllexport) HANDLE WINAPI FT_W32_CreateFile(LPCSTR name, DWORD access, DWORD share,
                                                      LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                                      HANDLE templateFile)
{
    if (!(flags & FT_OPEN_BY_LOCATION)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const unsigned long location = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(name));
    for (const StandinConverter& c : StandinConverters())
        if (c.locationId == location) {
            std::string path = "\\\\.\\" + c.comName;
            return CreateFileA(path.c_str(), access, share, security, creation, flags & ~FT_OPEN_BY_LOCATION,
                               templateFile);
        }
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
}

__declspec(dllexport) BOOL WINAPI FT_W32_CloseHandle(HANDLE h)
{
    return CloseHandle(h);
}

__declspec(dllexport) BOOL WINAPI FT_W32_ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got,
                                                  LPOVERLAPPED overlapped)
{
    return ReadFile(h, buffer, count, got, overlapped);
}

__declspec(dllexport) BOOL WINAPI FT_W32_WriteFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD written,
                                                   LPOVERLAPPED overlapped)
{
    return WriteFile(h, buffer, count, written, overlapped);
}

__declspec(dllexport) BOOL WINAPI FT_W32_GetCommState(HANDLE h, LPDCB dcb)
{
    return GetCommState(h, dcb);
}

__declspec(dllexport) BOOL WINAPI FT_W32_SetCommState(HANDLE h, LPDCB dcb)
{
    return SetCommState(h, dcb);
}

__declspec(dllexport) BOOL WINAPI FT_W32_GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    return GetCommTimeouts(h, timeouts);
}

__declspec(dllexport) BOOL WINAPI FT_W32_SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    return SetCommTimeouts(h, timeouts);
}

__declspec(dllexport) BOOL WINAPI FT_W32_PurgeComm(HANDLE h, DWORD flags)
{
    return PurgeComm(h, flags);
}

} // extern "C"
