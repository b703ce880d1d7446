// Script arguments as a hostile or careless script could pass them: every member of the object is
// called through IDispatch::Invoke with generated arguments (every VARIANT type the automation
// layer may be handed, by value and by reference, missing, too many, empty and huge strings,
// extreme numbers, window handles of other processes and of nothing). Dialogs the calls open
// are cancelled by a watcher thread. Every call must return; a failure must carry its error
// information; no file outside the picture files the calls name and the working folder may change.
//
// TREL_FUZZ_SEED and TREL_FUZZ_CALLS choose the run; the call in progress is written to
// dispatch_fuzz_last.txt in the working folder first, so a crash names the call that caused it.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "TrelClientHelper_h.h"
#include "log_keeper.h"

namespace {

std::mt19937 g_rng;
volatile LONG g_callNumber = 0;
volatile DWORD g_callStart = 0;
HWND g_ownWindow = nullptr;
std::string g_sandbox;   // pictures the calls may name, copied afresh for the run
std::string g_lastCall;  // where the call in progress is written

unsigned Pick(unsigned n)
{
    return n ? unsigned(g_rng() % n) : 0;
}

bool OneIn(unsigned n)
{
    return Pick(n) == 0;
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// ---- argument values ----

std::wstring SomeText()
{
    switch (Pick(12)) {
    case 0:
        return L"";
    case 1:
        return std::wstring(65536, L'A');
    case 2: {
        std::wstring s;
        for (unsigned i = 0, n = Pick(300); i < n; ++i)
            s += wchar_t(1 + Pick(0xFFFE));
        return s;
    }
    case 3:
        return Wide(g_sandbox + "photo.jpg");
    case 4:
        return Wide(g_sandbox + "photo.bmp");
    case 5:
        return Wide(g_sandbox + "photo.gif") + (OneIn(2) ? L",transcol=edge" : L",index=9");
    case 6:
        return Wide(g_sandbox + "not-a-picture.jpg");
    case 7:
        return Wide(g_sandbox + "no-such-file.tif");
    case 8:
        return L"COM" + std::to_wstring(Pick(300));
    case 9:
        return L"USB" + std::to_wstring(g_rng());
    case 10:
        return L"PORT:\\\\?\\nothing|Nothing";
    default:
        return L"\\\\?\\" + std::wstring(300, L'x') + L"\\..\\..\\..";
    }
}

LONG SomeNumber()
{
    static const LONG special[] = {0, 1, -1, 2, 7, 8, 9, 10, 640, 480, 100000, -100000, 0x7FFFFFFF,
                                   LONG(0x80000000), 65535, 65536, 24, 255, 256};
    switch (Pick(4)) {
    case 0:
        return LONG(g_rng());
    case 1:
        return LONG(Pick(2000)) - 100;
    default:
        return special[Pick(sizeof(special) / sizeof(special[0]))];
    }
}

LONG SomeWindow()
{
    switch (Pick(6)) {
    case 0:
        return 0;
    case 1:
        return LONG(LONG_PTR(g_ownWindow));
    case 2:
        return LONG(LONG_PTR(GetDesktopWindow()));  // a window of another process
    case 3:
        return LONG(LONG_PTR(FindWindowA("Shell_TrayWnd", nullptr)));
    case 4:
        return LONG(0x00010000 + Pick(0x10000));  // most likely nothing
    default:
        return SomeNumber();
    }
}

// A small object a script could pass where an object is expected: it answers nothing.
class CNothingDispatch : public IDispatch
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(InterlockedDecrement(&m_refs)); }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override
    {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return DISP_E_MEMBERNOTFOUND;
    }
    LONG m_refs = 1;  // static life time: the count only shows that references come back
};
CNothingDispatch g_nothing;

// Storage that by-reference arguments point into, freed after the call.
struct ByRefStore {
    std::vector<VARIANT> variants = std::vector<VARIANT>(16);
    std::vector<BSTR> bstrs = std::vector<BSTR>(16, nullptr);
    LONG longs[16] = {};
    SHORT shorts[16] = {};
    double doubles[16] = {};
    VARIANT_BOOL bools[16] = {};
    IDispatch* dispatches[16] = {};
    size_t used = 0;
    ~ByRefStore()
    {
        for (size_t i = 0; i < 16; ++i) {
            VariantClear(&variants[i]);
            SysFreeString(bstrs[i]);
        }
    }
};

void SomeValue(VARIANT& v, ByRefStore& store, int hint)
{
    VariantInit(&v);
    size_t slot = store.used < 16 ? store.used++ : 15;
    unsigned kind = hint >= 0 && OneIn(2) ? unsigned(hint) : Pick(22);
    switch (kind) {
    case 0:
        v.vt = VT_EMPTY;
        break;
    case 1:
        v.vt = VT_NULL;
        break;
    case 2:
        v.vt = VT_I4;
        v.lVal = SomeNumber();
        break;
    case 3:
        v.vt = VT_I4;
        v.lVal = SomeWindow();
        break;
    case 4:
        v.vt = VT_BSTR;
        v.bstrVal = OneIn(6) ? nullptr : SysAllocString(SomeText().c_str());
        break;
    case 5:
        v.vt = VT_BOOL;
        v.boolVal = OneIn(2) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case 6:
        v.vt = VT_ERROR;  // a missing optional argument
        v.scode = DISP_E_PARAMNOTFOUND;
        break;
    case 7:
        v.vt = VT_DISPATCH;
        v.pdispVal = OneIn(2) ? nullptr : &g_nothing;
        if (v.pdispVal)
            v.pdispVal->AddRef();
        break;
    case 8:
        v.vt = VT_R8;
        v.dblVal = OneIn(2) ? 1e300 * (OneIn(2) ? 1 : -1) : double(SomeNumber()) + 0.5;
        break;
    case 9:
        v.vt = VT_I2;
        v.iVal = SHORT(SomeNumber());
        break;
    case 10:
        v.vt = VT_UI1;
        v.bVal = BYTE(g_rng());
        break;
    case 11:
        v.vt = VT_DATE;
        v.date = double(SomeNumber());
        break;
    case 12:
        v.vt = VT_CY;
        v.cyVal.int64 = (int64_t(g_rng()) << 32) | g_rng();
        break;
    case 13:
        v.vt = VT_I8;
        v.llVal = (int64_t(g_rng()) << 32) | g_rng();
        break;
    case 14:
        v.vt = VT_UNKNOWN;
        v.punkVal = OneIn(2) ? nullptr : static_cast<IUnknown*>(&g_nothing);
        if (v.punkVal)
            v.punkVal->AddRef();
        break;
    case 15: {
        SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, Pick(64));
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = a;
        break;
    }
    case 16:
        v.vt = VT_BYREF | VT_I4;
        store.longs[slot] = OneIn(2) ? SomeNumber() : SomeWindow();
        v.plVal = &store.longs[slot];
        break;
    case 17:
        v.vt = VT_BYREF | VT_BSTR;
        store.bstrs[slot] = OneIn(5) ? nullptr : SysAllocString(SomeText().c_str());
        v.pbstrVal = &store.bstrs[slot];
        break;
    case 18: {
        v.vt = VT_BYREF | VT_VARIANT;
        VARIANT& inner = store.variants[slot];
        VariantClear(&inner);
        ByRefStore unused;
        SomeValue(inner, unused, -1);
        if (inner.vt & VT_BYREF)  // one level of reference is what scripts give
            VariantInit(&inner);
        v.pvarVal = &inner;
        break;
    }
    case 19:
        v.vt = VT_BYREF | VT_BOOL;
        store.bools[slot] = OneIn(2) ? VARIANT_TRUE : VARIANT_FALSE;
        v.pboolVal = &store.bools[slot];
        break;
    case 20:
        v.vt = VT_BYREF | VT_DISPATCH;
        store.dispatches[slot] = nullptr;
        v.ppdispVal = &store.dispatches[slot];
        break;
    default:
        v.vt = VT_BYREF | VT_R8;
        store.doubles[slot] = double(SomeNumber());
        v.pdblVal = &store.doubles[slot];
        break;
    }
}

// ---- the object's members ----

struct Member {
    DISPID id;
    std::wstring name;
    std::vector<VARTYPE> params;
};

std::vector<Member> Members(IDispatch* disp)
{
    std::vector<Member> members;
    ITypeInfo* info = nullptr;
    if (FAILED(disp->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) || info == nullptr)
        return members;
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    for (UINT i = 0; attr && i < attr->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(info->GetFuncDesc(i, &f)))
            continue;
        Member m;
        m.id = f->memid;
        BSTR name = nullptr;
        UINT got = 0;
        info->GetNames(f->memid, &name, 1, &got);
        m.name = name ? name : L"?";
        SysFreeString(name);
        for (SHORT p = 0; p < f->cParams; ++p)
            m.params.push_back(f->lprgelemdescParam[p].tdesc.vt);
        if (m.id >= 1 && m.id < 0x60000000)  // IClientHelper's own, not IDispatch's
            members.push_back(m);
        info->ReleaseFuncDesc(f);
    }
    if (attr)
        info->ReleaseTypeAttr(attr);
    info->Release();
    return members;
}

// The value kind that fits a parameter's type, so that most calls get past the type checks.
int HintFor(VARTYPE vt, const std::wstring& member, size_t index)
{
    switch (vt & ~VT_BYREF) {
    case VT_BSTR:
        return 4;
    case VT_BOOL:
        return 5;
    case VT_DISPATCH:
        return 7;
    case VT_PTR:
    case VT_I4:
        return (index == 0 || member.find(L"Open") == 0) && OneIn(2) ? 3 : 2;
    default:
        return -1;
    }
}

// ---- dialogs and hangs ----

BOOL CALLBACK CancelWindow(HWND hwnd, LPARAM)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId() || hwnd == g_ownWindow)
        return TRUE;
    // Dialogs and message boxes are answered even while hidden (one owned by a hidden window may
    // never show); other hidden windows (COM's, the IME's) are left alone.
    char cls[16] = {};
    GetClassNameA(hwnd, cls, sizeof(cls));
    if (!IsWindowVisible(hwnd) && std::strcmp(cls, "#32770") != 0)
        return TRUE;
    // Cancel first (the dialogs' own way out), then close.
    PostMessageA(hwnd, WM_COMMAND, IDCANCEL, 0);
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
    return TRUE;
}

DWORD WINAPI Watcher(LPVOID)
{
    LONG seen = -1;
    DWORD since = GetTickCount();
    for (;;) {
        Sleep(20);
        EnumWindows(CancelWindow, 0);
        LONG now = g_callNumber;
        if (now != seen) {
            seen = now;
            since = GetTickCount();
        } else if (GetTickCount() - since > 60000) {
            std::fprintf(stderr, "FAIL: call %ld has not returned for 60 s (see %s)\n", long(now), g_lastCall.c_str());
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);  // the stuck thread may hold locks ExitProcess needs
        }
    }
}

// ---- files that may change ----

using Snapshot = std::map<std::string, std::pair<ULONGLONG, ULONGLONG>>;

void Walk(const std::string& folder, Snapshot& out, const std::vector<std::string>& skip)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string path = folder + name;
        bool skipped = false;
        for (const std::string& s : skip)
            skipped = skipped || _stricmp(path.c_str(), s.c_str()) == 0 || _strnicmp(path.c_str(), s.c_str(), s.size()) == 0;
        if (skipped)
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Walk(path + "\\", out, skip);
        } else {
            ULONGLONG size = (ULONGLONG(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
            ULONGLONG time = (ULONGLONG(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime;
            out[path] = {size, time};
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

bool CopyInto(const std::string& from, const std::string& to)
{
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

} // namespace

int main(int argc, char** argv)
{
    const char* seedText = std::getenv("TREL_FUZZ_SEED");
    const char* callsText = std::getenv("TREL_FUZZ_CALLS");
    unsigned seed = seedText ? unsigned(std::strtoul(seedText, nullptr, 10)) : 20261208u;
    long calls = callsText ? std::atol(callsText) : 400;
    g_rng.seed(seed);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dispatch_fuzz DATA_FOLDER (with photo.jpg, photo.bmp, photo.gif)\n");
        return 2;
    }

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    g_sandbox = std::string(temp) + "trel-dispatch-fuzz\\";
    CreateDirectoryA(g_sandbox.c_str(), nullptr);
    g_lastCall = std::string(temp) + "dispatch_fuzz_last.txt";
    std::string data = std::string(argv[1]) + "\\";
    auto refresh = [&] {
        bool ok = true;
        for (const char* name : {"photo.jpg", "photo.bmp", "photo.gif"})
            ok = CopyInto(data + name, g_sandbox + name) && ok;
        FILE* f = std::fopen((g_sandbox + "not-a-picture.jpg").c_str(), "wb");
        if (f) {
            std::fputs("no picture at all", f);
            std::fclose(f);
        }
        return ok;
    };
    if (!refresh()) {
        std::fprintf(stderr, "FAIL: cannot copy the pictures from %s\n", data.c_str());
        return 2;
    }

    // What may change: the working folder (system temporary folder), the component's logs and
    // remembered settings; nothing else on the C: drive.
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::vector<std::string> mayChange = {std::string(temp), std::string(windows), "C:\\device_server_files\\",
                                          "C:\\users\\"};
    Snapshot before;
    Walk("C:\\", before, mayChange);

    CLogSizeKeeper keepLog;
    CoInitialize(nullptr);
    g_ownWindow = CreateWindowExA(0, "STATIC", "dispatch fuzz", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    IDispatch* disp = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(&disp));
    if (FAILED(hr) || disp == nullptr) {
        std::fprintf(stderr, "FAIL: CoCreateInstance 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    std::vector<Member> members = Members(disp);
    if (members.size() < 13) {
        std::fprintf(stderr, "FAIL: the type information lists %u members\n", unsigned(members.size()));
        return 1;
    }
    CreateThread(nullptr, 0, Watcher, nullptr, 0, nullptr);

    long failures = 0, succeeded = 0, refused = 0;
    std::map<std::wstring, long> perMember;
    for (long n = 0; n < calls; ++n) {
        if (n % 200 == 0)
            refresh();  // calls may shrink or replace the pictures; keep them there
        const Member* m = OneIn(20) ? nullptr : &members[Pick(unsigned(members.size()))];
        DISPID id = m ? m->id : DISPID(OneIn(2) ? Pick(40) : g_rng());
        size_t want = m ? m->params.size() : Pick(6);
        size_t count = OneIn(8) ? Pick(unsigned(want + 4)) : want;
        ByRefStore store;
        std::vector<VARIANT> args(count);
        // Arguments go right to left.
        for (size_t i = 0; i < count; ++i) {
            size_t param = count - 1 - i;
            int hint = m && param < m->params.size() ? HintFor(m->params[param], m->name, param) : -1;
            SomeValue(args[i], store, hint);
        }
        DISPPARAMS params = {count ? args.data() : nullptr, nullptr, UINT(count), 0};
        DISPID named = OneIn(2) ? DISPID_PROPERTYPUT : DISPID(Pick(10));
        if (OneIn(30) && count > 0) {
            params.rgdispidNamedArgs = &named;
            params.cNamedArgs = 1;
        }
        WORD flags = OneIn(10) ? WORD(OneIn(2) ? DISPATCH_PROPERTYGET : DISPATCH_PROPERTYPUT)
                               : WORD(DISPATCH_METHOD | (OneIn(4) ? DISPATCH_PROPERTYGET : 0));
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO ei = {};
        UINT argErr = 0;

        FILE* last = std::fopen(g_lastCall.c_str(), "wb");
        if (last) {
            std::fprintf(last, "seed %u call %ld: member %ld (%ls) with %u arguments, flags %u\n", seed, n, long(id),
                         m ? m->name.c_str() : L"none", unsigned(count), unsigned(flags));
            for (size_t i = 0; i < count; ++i)
                std::fprintf(last, "  argument %u: vt 0x%04x\n", unsigned(count - 1 - i), unsigned(args[i].vt));
            std::fclose(last);
        }
        InterlockedIncrement(&g_callNumber);
        hr = disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &ei, &argErr);
        if (SUCCEEDED(hr))
            ++succeeded;
        else
            ++refused;
        if (m)
            ++perMember[m->name];
        if (hr == DISP_E_EXCEPTION) {
            if (ei.pfnDeferredFillIn)
                ei.pfnDeferredFillIn(&ei);
            bool described = ei.bstrDescription != nullptr && SysStringLen(ei.bstrDescription) > 0;
            if (!described || SUCCEEDED(ei.scode)) {
                ++failures;
                std::fprintf(stderr, "FAIL: seed %u call %ld (%ls): an exception without a description or code\n",
                             seed, n, m ? m->name.c_str() : L"none");
            }
        }
        SysFreeString(ei.bstrSource);
        SysFreeString(ei.bstrDescription);
        SysFreeString(ei.bstrHelpFile);
        VariantClear(&result);
        for (VARIANT& v : args)
            VariantClear(&v);
        // Windows a call left behind (dialogs, hidden owners) go before the next call.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        ShowWindow(g_ownWindow, SW_HIDE);
    }
    disp->Release();

    Snapshot after;
    Walk("C:\\", after, mayChange);
    for (const auto& entry : after) {
        auto old = before.find(entry.first);
        if (old == before.end() || old->second != entry.second) {
            ++failures;
            std::fprintf(stderr, "FAIL: %s was %s\n", entry.first.c_str(), old == before.end() ? "created" : "changed");
        }
    }
    for (const auto& entry : before)
        if (after.find(entry.first) == after.end()) {
            ++failures;
            std::fprintf(stderr, "FAIL: %s was deleted\n", entry.first.c_str());
        }
    if (g_nothing.m_refs != 1) {
        ++failures;
        std::fprintf(stderr, "FAIL: the object passed in has %ld references left over\n", long(g_nothing.m_refs - 1));
    }

    std::printf("seed %u: %ld calls, %ld succeeded, %ld refused, %ld faults\n", seed, calls, succeeded, refused,
                failures);
    for (const auto& m : perMember)
        std::printf("  %-18ls %ld calls\n", m.first.c_str(), m.second);
    DeleteFileA(g_lastCall.c_str());
    CoUninitialize();
    return failures == 0 ? 0 : 1;
}
