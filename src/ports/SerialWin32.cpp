// The Windows back-ends: the system's comm API for COM ports, and the FTDI libraries (D2XX for the
// converters' serial calls, the chip-ID library for finding them), loaded by name on first use so
// that a machine without them still loads the component.
#include "ports/SerialApi.h"
#include "framework/Abi.h"

namespace {

class CWin32SerialApi : public CSerialApi
{
public:
    HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                       DWORD flags, HANDLE templateFile) override
    {
        return ::CreateFileA(name, access, shareMode, security, creation, flags, templateFile);
    }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) override
    {
        return ::ReadFile(h, buffer, count, got, nullptr);
    }
    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written) override
    {
        return ::WriteFile(h, buffer, count, written, nullptr);
    }
    BOOL GetCommState(HANDLE h, LPDCB dcb) override { return ::GetCommState(h, dcb); }
    BOOL SetCommState(HANDLE h, LPDCB dcb) override { return ::SetCommState(h, dcb); }
    BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) override { return ::GetCommTimeouts(h, t); }
    BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) override { return ::SetCommTimeouts(h, t); }
    BOOL PurgeComm(HANDLE h, DWORD flags) override { return ::PurgeComm(h, flags); }
};

// A function of an optional library; null when the library or the function is missing.
template <typename F>
F Resolve(HMODULE module, const char* name)
{
    TREL_ASSERT_WINAPI(F);
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The libraries stay loaded for the life of the process: unloading from the module's own
// detach would not be safe.
HMODULE LoadOptional(const char* name)
{
    return LoadLibraryA(name);
}

class CD2xxSerialApi : public CSerialApi
{
public:
    CD2xxSerialApi()
    {
        HMODULE m = LoadOptional("ftd2xx.dll");
        m_createFile = Resolve<CreateFileFn>(m, "FT_W32_CreateFile");
        m_closeHandle = Resolve<CloseHandleFn>(m, "FT_W32_CloseHandle");
        m_readFile = Resolve<ReadFileFn>(m, "FT_W32_ReadFile");
        m_writeFile = Resolve<WriteFileFn>(m, "FT_W32_WriteFile");
        m_getCommState = Resolve<CommStateFn>(m, "FT_W32_GetCommState");
        m_setCommState = Resolve<CommStateFn>(m, "FT_W32_SetCommState");
        m_getCommTimeouts = Resolve<CommTimeoutsFn>(m, "FT_W32_GetCommTimeouts");
        m_setCommTimeouts = Resolve<CommTimeoutsFn>(m, "FT_W32_SetCommTimeouts");
        m_purgeComm = Resolve<PurgeCommFn>(m, "FT_W32_PurgeComm");
        m_missingError = m == nullptr ? ERROR_MOD_NOT_FOUND : ERROR_PROC_NOT_FOUND;
    }

    HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                       DWORD flags, HANDLE templateFile) override
    {
        if (m_createFile == nullptr)
            return Missing(), INVALID_HANDLE_VALUE;
        return m_createFile(name, access, shareMode, security, creation, flags, templateFile);
    }
    BOOL CloseHandle(HANDLE h) override { return m_closeHandle ? m_closeHandle(h) : Missing(); }
    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) override
    {
        return m_readFile ? m_readFile(h, buffer, count, got, nullptr) : Missing();
    }
    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written) override
    {
        return m_writeFile ? m_writeFile(h, const_cast<LPVOID>(buffer), count, written, nullptr) : Missing();
    }
    BOOL GetCommState(HANDLE h, LPDCB dcb) override { return m_getCommState ? m_getCommState(h, dcb) : Missing(); }
    BOOL SetCommState(HANDLE h, LPDCB dcb) override { return m_setCommState ? m_setCommState(h, dcb) : Missing(); }
    BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) override
    {
        return m_getCommTimeouts ? m_getCommTimeouts(h, t) : Missing();
    }
    BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) override
    {
        return m_setCommTimeouts ? m_setCommTimeouts(h, t) : Missing();
    }
    BOOL PurgeComm(HANDLE h, DWORD flags) override { return m_purgeComm ? m_purgeComm(h, flags) : Missing(); }

private:
    typedef HANDLE(WINAPI* CreateFileFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    typedef BOOL(WINAPI* CloseHandleFn)(HANDLE);
    typedef BOOL(WINAPI* ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    typedef BOOL(WINAPI* WriteFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    typedef BOOL(WINAPI* CommStateFn)(HANDLE, LPDCB);
    typedef BOOL(WINAPI* CommTimeoutsFn)(HANDLE, LPCOMMTIMEOUTS);
    typedef BOOL(WINAPI* PurgeCommFn)(HANDLE, DWORD);

    BOOL Missing() const
    {
        SetLastError(m_missingError);
        return FALSE;
    }

    CreateFileFn m_createFile;
    CloseHandleFn m_closeHandle;
    ReadFileFn m_readFile;
    WriteFileFn m_writeFile;
    CommStateFn m_getCommState;
    CommStateFn m_setCommState;
    CommTimeoutsFn m_getCommTimeouts;
    CommTimeoutsFn m_setCommTimeouts;
    PurgeCommFn m_purgeComm;
    DWORD m_missingError;
};

// Status the chip-ID calls answer when the library is missing.
constexpr FTID_STATUS kChipIdUnavailable = 0xFFFFFFFFu;

class CChipIdLibrary : public CChipIdApi
{
public:
    CChipIdLibrary()
    {
        HMODULE m = LoadOptional("FTChipID.dll");
        m_present = m != nullptr;
        m_getDllVersion = Resolve<GetDllVersionFn>(m, "FTID_GetDllVersion");
        m_getNumDevices = Resolve<GetNumDevicesFn>(m, "FTID_GetNumDevices");
        m_getChipId = Resolve<GetIdFn>(m, "FTID_GetDeviceChipID");
        m_getLocationId = Resolve<GetIdFn>(m, "FTID_GetDeviceLocationID");
        m_getErrorText = Resolve<GetErrorTextFn>(m, "FTID_GetErrorCodeString");
    }

    bool IsPresent() const override { return m_present; }
    FTID_STATUS GetDllVersion(char* buffer, DWORD size) override
    {
        return m_getDllVersion ? m_getDllVersion(buffer, size) : kChipIdUnavailable;
    }
    FTID_STATUS GetNumDevices(DWORD* count) override
    {
        unsigned long n = 0;
        FTID_STATUS status = m_getNumDevices ? m_getNumDevices(&n) : kChipIdUnavailable;
        *count = static_cast<DWORD>(n);
        return status;
    }
    FTID_STATUS GetDeviceChipID(DWORD index, DWORD* chipId) override
    {
        unsigned long id = 0;
        FTID_STATUS status = m_getChipId ? m_getChipId(index, &id) : kChipIdUnavailable;
        *chipId = static_cast<DWORD>(id);
        return status;
    }
    FTID_STATUS GetDeviceLocationID(DWORD index, DWORD* locationId) override
    {
        unsigned long id = 0;
        FTID_STATUS status = m_getLocationId ? m_getLocationId(index, &id) : kChipIdUnavailable;
        *locationId = static_cast<DWORD>(id);
        return status;
    }
    FTID_STATUS GetErrorCodeString(const char* language, FTID_STATUS status, char* buffer, DWORD size) override
    {
        if (m_getErrorText == nullptr) {
            lstrcpynA(buffer, "FTChipID.dll is not available", static_cast<int>(size));
            return kChipIdUnavailable;
        }
        return m_getErrorText(const_cast<char*>(language), status, buffer, size);
    }

private:
    typedef FTID_STATUS(WINAPI* GetDllVersionFn)(char*, unsigned long);
    typedef FTID_STATUS(WINAPI* GetNumDevicesFn)(unsigned long*);
    typedef FTID_STATUS(WINAPI* GetIdFn)(unsigned long, unsigned long*);
    typedef FTID_STATUS(WINAPI* GetErrorTextFn)(char*, FTID_STATUS, char*, unsigned long);

    GetDllVersionFn m_getDllVersion;
    GetNumDevicesFn m_getNumDevices;
    GetIdFn m_getChipId;
    GetIdFn m_getLocationId;
    GetErrorTextFn m_getErrorText;
    bool m_present;
};

} // namespace

SerialBackends PlatformSerialBackends()
{
    static CWin32SerialApi com;
    static CD2xxSerialApi usb;
    static CChipIdLibrary chipId;
    return SerialBackends{&com, &usb, &chipId};
}
