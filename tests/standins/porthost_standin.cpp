// Test equipment: a port-host process. It publishes one object in the running object table under
// the item moniker "!TrelPortHostProxy" and serves it until told to stop.
//
//   porthost_standin.exe [--port NAME]... [--value N] [--fail METHOD=HRESULT] [--no-proxy]
//                        [--record FILE] [--ready EVENT] [--stop EVENT] [--timeout MS]
//
// --port       a port the host holds (repeatable, in order; none: the host holds no ports)
// --value      what IPortValue::GetValue answers (default 0)
// --fail       METHOD (OpenPort, GetHeldPorts, Count, Item, ReadPortKey, GetValue) fails with HRESULT
// --no-proxy   publish an object that has no IPortHostProxy
// --record     append every call and every object's end to FILE, one UTF-8 line each
// --ready      named event set once the object is published
// --stop       named event that ends the host
// --timeout    the host ends by itself after MS milliseconds (default 60000; exit code 3)
//
// The type library embedded as resource TYPELIB 1 is registered at start, so that the interfaces
// marshal between processes.
#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "PortHostProxy_h.h"

namespace {

struct Config {
    std::vector<std::wstring> ports;
    long value = 0;
    std::map<std::wstring, HRESULT> failures;
    bool noProxy = false;
    std::wstring recordFile, readyEvent, stopEvent;
    DWORD timeoutMs = 60000;
};

Config g_config;
ITypeLib* g_typeLib = nullptr;

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

void Record(const std::wstring& line)
{
    if (g_config.recordFile.empty())
        return;
    FILE* f = _wfopen(g_config.recordFile.c_str(), L"ab");
    if (f == nullptr)
        return;
    std::string text = Utf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

std::wstring Text(BSTR bstr)
{
    return bstr ? std::wstring(bstr, SysStringLen(bstr)) : std::wstring();
}

// The configured result of a method.
HRESULT Outcome(const wchar_t* method)
{
    auto it = g_config.failures.find(method);
    return it == g_config.failures.end() ? S_OK : it->second;
}

// Reference counting and IDispatch through the type library for one dual interface. The object records its own end, so tests can see that callers released it.
template <class I>
class DualObject : public I
{
public:
    explicit DualObject(const wchar_t* name) : m_name(name)
    {
        if (g_typeLib == nullptr || FAILED(g_typeLib->GetTypeInfoOfGuid(__uuidof(I), &m_typeInfo)))
            m_typeInfo = nullptr;
    }
    virtual ~DualObject()
    {
        if (m_typeInfo)
            m_typeInfo->Release();
        Record(L"end " + m_name);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(I))
            *ppv = static_cast<I*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0)
            delete this;
        return n;
    }

    STDMETHODIMP GetTypeInfoCount(UINT* pCount) override
    {
        if (pCount == nullptr)
            return E_POINTER;
        *pCount = m_typeInfo ? 1 : 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** ppInfo) override
    {
        if (ppInfo == nullptr)
            return E_POINTER;
        *ppInfo = nullptr;
        if (index != 0 || !m_typeInfo)
            return DISP_E_BADINDEX;
        m_typeInfo->AddRef();
        *ppInfo = m_typeInfo;
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        if (!m_typeInfo)
            return E_NOTIMPL;
        return DispGetIDsOfNames(m_typeInfo, names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override
    {
        if (!m_typeInfo)
            return E_NOTIMPL;
        return DispInvoke(static_cast<I*>(this), m_typeInfo, id, flags, params, result, excep, argErr);
    }

protected:
    std::wstring m_name;

private:
    LONG m_refs = 1;
    ITypeInfo* m_typeInfo = nullptr;
};

template <class T>
HRESULT HandOut(T* object, IDispatch** ppOut)
{
    *ppOut = static_cast<IDispatch*>(object);
    return S_OK;
}

class PortValue : public DualObject<IPortValue>
{
public:
    PortValue(const std::wstring& port) : DualObject(L"PortValue"), m_port(port) {}

    STDMETHODIMP get_PortName(BSTR* p) override { return Str(m_port, p); }
    STDMETHODIMP get_IsEmpty(VARIANT_BOOL* p) override { return Put(p, m_cleared ? VARIANT_TRUE : VARIANT_FALSE); }
    STDMETHODIMP get_Text(BSTR* p) override { return Str(m_cleared ? L"" : std::to_wstring(g_config.value), p); }
    STDMETHODIMP get_ReadTime(DATE* p) override { return Put(p, m_readTime); }
    STDMETHODIMP get_Attempts(long* p) override { return Put(p, 1L); }
    STDMETHODIMP get_Status(long* p) override { return Put(p, 0L); }
    STDMETHODIMP Clear() override
    {
        m_cleared = true;
        return S_OK;
    }
    STDMETHODIMP GetValue(long* p) override
    {
        Record(L"GetValue");
        if (p == nullptr)
            return E_POINTER;
        HRESULT hr = Outcome(L"GetValue");
        if (FAILED(hr))
            return hr;
        *p = m_cleared ? 0 : g_config.value;
        return S_OK;
    }

    static HRESULT Str(const std::wstring& s, BSTR* p)
    {
        if (p == nullptr)
            return E_POINTER;
        *p = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return *p ? S_OK : E_OUTOFMEMORY;
    }
    template <class V>
    static HRESULT Put(V* p, V v)
    {
        if (p == nullptr)
            return E_POINTER;
        *p = v;
        return S_OK;
    }

private:
    std::wstring m_port;
    bool m_cleared = false;
    DATE m_readTime = 0;
};

class PortObject : public DualObject<IPortObject>
{
public:
    PortObject(const std::wstring& mode, const std::wstring& port, long value)
        : DualObject(L"PortObject"), m_mode(mode), m_port(port), m_value(value)
    {
    }

    STDMETHODIMP get_PortName(BSTR* p) override { return PortValue::Str(m_port, p); }
    STDMETHODIMP get_Mode(BSTR* p) override { return PortValue::Str(m_mode, p); }
    STDMETHODIMP get_OpenValue(long* p) override { return PortValue::Put(p, m_value); }
    STDMETHODIMP get_IsOpen(VARIANT_BOOL* p) override { return PortValue::Put(p, m_open ? VARIANT_TRUE : VARIANT_FALSE); }
    STDMETHODIMP Close() override
    {
        m_open = false;
        return S_OK;
    }
    STDMETHODIMP get_Timeout(long* p) override { return PortValue::Put(p, m_timeout); }
    STDMETHODIMP put_Timeout(long v) override
    {
        m_timeout = v;
        return S_OK;
    }
    STDMETHODIMP get_ReadCount(long* p) override { return PortValue::Put(p, m_reads); }
    STDMETHODIMP ReadPortKey(BSTR port, IDispatch** ppValue) override
    {
        Record(L"ReadPortKey port=" + Text(port));
        if (ppValue == nullptr)
            return E_POINTER;
        *ppValue = nullptr;
        HRESULT hr = Outcome(L"ReadPortKey");
        if (FAILED(hr))
            return hr;
        ++m_reads;
        return HandOut(new PortValue(Text(port)), ppValue);
    }

private:
    std::wstring m_mode, m_port;
    long m_value;
    bool m_open = true;
    long m_timeout = 1000;
    long m_reads = 0;
};

class PortList : public DualObject<IPortList>
{
public:
    PortList() : DualObject(L"PortList") {}

    STDMETHODIMP IndexOf(BSTR port, long* p) override
    {
        long index = 0;
        for (size_t i = 0; i < g_config.ports.size(); ++i)
            if (g_config.ports[i] == Text(port)) {
                index = static_cast<long>(i + 1);
                break;
            }
        return PortValue::Put(p, index);
    }
    STDMETHODIMP get_Item(long index, BSTR* p) override
    {
        Record(L"Item " + std::to_wstring(index));
        if (p == nullptr)
            return E_POINTER;
        *p = nullptr;
        HRESULT hr = Outcome(L"Item");
        if (FAILED(hr))
            return hr;
        if (index < 1 || index > static_cast<long>(g_config.ports.size()))
            return DISP_E_BADINDEX;
        return PortValue::Str(g_config.ports[index - 1], p);
    }
    STDMETHODIMP get_Count(long* p) override
    {
        Record(L"Count");
        if (p == nullptr)
            return E_POINTER;
        HRESULT hr = Outcome(L"Count");
        if (FAILED(hr))
            return hr;
        *p = static_cast<long>(g_config.ports.size());
        return S_OK;
    }
};

class PortHost : public DualObject<IPortHostProxy>
{
public:
    PortHost() : DualObject(L"PortHost") {}

    STDMETHODIMP OpenPort(BSTR mode, BSTR port, long value, IDispatch** ppPort) override
    {
        Record(L"OpenPort mode=" + Text(mode) + L" port=" + Text(port) + L" value=" + std::to_wstring(value));
        if (ppPort == nullptr)
            return E_POINTER;
        *ppPort = nullptr;
        HRESULT hr = Outcome(L"OpenPort");
        if (FAILED(hr))
            return hr;
        return HandOut(new PortObject(Text(mode), Text(port), value), ppPort);
    }
    STDMETHODIMP ClosePort(BSTR) override { return S_OK; }
    STDMETHODIMP IsPortHeld(BSTR port, VARIANT_BOOL* p) override
    {
        bool held = false;
        for (const std::wstring& name : g_config.ports)
            held = held || name == Text(port);
        return PortValue::Put(p, held ? VARIANT_TRUE : VARIANT_FALSE);
    }
    STDMETHODIMP GetHeldPorts(IDispatch** ppPorts) override
    {
        Record(L"GetHeldPorts");
        if (ppPorts == nullptr)
            return E_POINTER;
        *ppPorts = nullptr;
        HRESULT hr = Outcome(L"GetHeldPorts");
        if (FAILED(hr))
            return hr;
        return HandOut(new PortList(), ppPorts);
    }
};

// An object under the host's name that is not a port host.
class PlainObject : public IUnknown
{
public:
    virtual ~PlainObject() { Record(L"end PlainObject"); }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown)
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0)
            delete this;
        return n;
    }

private:
    LONG m_refs = 1;
};

bool ParseArguments(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == L"--no-proxy") {
            g_config.noProxy = true;
        } else if (!hasValue) {
            return false;
        } else if (a == L"--port") {
            g_config.ports.push_back(argv[++i]);
        } else if (a == L"--value") {
            g_config.value = std::wcstol(argv[++i], nullptr, 0);
        } else if (a == L"--fail") {
            std::wstring setting = argv[++i];
            size_t eq = setting.find(L'=');
            if (eq == std::wstring::npos)
                return false;
            g_config.failures[setting.substr(0, eq)] =
                static_cast<HRESULT>(std::wcstoul(setting.c_str() + eq + 1, nullptr, 0));
        } else if (a == L"--record") {
            g_config.recordFile = argv[++i];
        } else if (a == L"--ready") {
            g_config.readyEvent = argv[++i];
        } else if (a == L"--stop") {
            g_config.stopEvent = argv[++i];
        } else if (a == L"--timeout") {
            g_config.timeoutMs = std::wcstoul(argv[++i], nullptr, 0);
        } else {
            return false;
        }
    }
    return true;
}

int Fail(const char* what, HRESULT hr)
{
    std::fprintf(stderr, "porthost_standin: %s failed (0x%08lx)\n", what, static_cast<unsigned long>(hr));
    return 2;
}

int Serve()
{
    wchar_t exePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    HRESULT hr = LoadTypeLibEx(exePath, REGKIND_REGISTER, &g_typeLib);
    if (FAILED(hr))
        return Fail("registering the type library", hr);

    IUnknown* object = g_config.noProxy ? static_cast<IUnknown*>(new PlainObject())
                                        : static_cast<IUnknown*>(static_cast<IPortHostProxy*>(new PortHost()));
    IRunningObjectTable* rot = nullptr;
    IMoniker* moniker = nullptr;
    DWORD cookie = 0;
    if (FAILED(hr = GetRunningObjectTable(0, &rot)))
        return Fail("GetRunningObjectTable", hr);
    if (FAILED(hr = CreateItemMoniker(L"!", L"TrelPortHostProxy", &moniker)))
        return Fail("CreateItemMoniker", hr);
    if (FAILED(hr = rot->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, object, moniker, &cookie)))
        return Fail("IRunningObjectTable::Register", hr);
    Record(L"published");

    HANDLE stop = g_config.stopEvent.empty() ? nullptr : OpenEventW(SYNCHRONIZE, FALSE, g_config.stopEvent.c_str());
    if (!g_config.readyEvent.empty()) {
        HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, g_config.readyEvent.c_str());
        if (ready != nullptr) {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }

    // Serve calls (an apartment needs its messages) until stopped or out of time.
    int rc = 3;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= g_config.timeoutMs)
            break;
        DWORD wait = MsgWaitForMultipleObjects(stop ? 1 : 0, stop ? &stop : nullptr, FALSE,
                                               g_config.timeoutMs - elapsed, QS_ALLINPUT);
        if (stop && wait == WAIT_OBJECT_0) {
            rc = 0;
            break;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    rot->Revoke(cookie);
    moniker->Release();
    rot->Release();
    object->Release();
    if (stop)
        CloseHandle(stop);
    Record(rc == 0 ? L"stopped" : L"timed out");
    return rc;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || !ParseArguments(argc, argv)) {
        std::fprintf(stderr, "porthost_standin: bad arguments\n");
        return 2;
    }
    LocalFree(argv);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int rc = Serve();
    if (g_typeLib)
        g_typeLib->Release();
    CoUninitialize();
    return rc;
}
