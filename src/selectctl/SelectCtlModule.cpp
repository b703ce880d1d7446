// Module entry points of the picture selection control: its class object, unloading and
// registration as a control under its class identifier and ProgIDs.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <new>
#include <string>

#include "framework/Module.h"
#include "picture/PictureSelectCtl.h"

namespace {

volatile LONG g_serverLocks = 0;

class CControlFactory final : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory for the module's life.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        return CreatePictureSelectControl(pOuter, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock)
            InterlockedIncrement(&g_serverLocks);
        else
            InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }
};

CControlFactory g_factory;

const wchar_t kDescription[] = L"PictureSelect Control";

HRESULT SetKey(HKEY root, const std::wstring& path, const wchar_t* valueName, const std::wstring& value)
{
    HKEY hKey = nullptr;
    LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &hKey,
                              nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(hKey, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(hKey);
    }
    return HRESULT_FROM_WIN32(rc);
}

HRESULT DeleteTree(const std::wstring& path)
{
    const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(hInstance);
        AfxSetResourceHandle(hInstance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_TrelPictureSelect)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return PictureSelectLiveObjects() == 0 && g_serverLocks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    const std::wstring module = ModulePathW();
    if (module.empty())
        return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + kPictureSelectClsid;
    const struct {
        std::wstring path;
        const wchar_t* name;
        std::wstring value;
    } entries[] = {
        {kPictureSelectProgId, nullptr, kDescription},
        {std::wstring(kPictureSelectProgId) + L"\\CLSID", nullptr, kPictureSelectClsid},
        {kPictureSelectIndependentProgId, nullptr, kDescription},
        {std::wstring(kPictureSelectIndependentProgId) + L"\\CLSID", nullptr, kPictureSelectClsid},
        {std::wstring(kPictureSelectIndependentProgId) + L"\\CurVer", nullptr, kPictureSelectProgId},
        {clsidKey, nullptr, kDescription},
        {clsidKey + L"\\ProgID", nullptr, kPictureSelectProgId},
        {clsidKey + L"\\VersionIndependentProgID", nullptr, kPictureSelectIndependentProgId},
        {clsidKey + L"\\InprocServer32", nullptr, module},
        {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {clsidKey + L"\\Control", nullptr, L""},
        {clsidKey + L"\\MiscStatus", nullptr, L"0"},
        {clsidKey + L"\\MiscStatus\\1", nullptr,
         std::to_wstring(OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
                         OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE)},
    };
    // A new registration replaces whatever an older one left under the class.
    HRESULT hr = DeleteTree(clsidKey);
    for (const auto& e : entries) {
        if (FAILED(hr))
            return hr;
        hr = SetKey(HKEY_CLASSES_ROOT, e.path, e.name, e.value);
    }
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    HRESULT hr = DeleteTree(std::wstring(L"CLSID\\") + kPictureSelectClsid);
    const HRESULT hr2 = DeleteTree(kPictureSelectProgId);
    const HRESULT hr3 = DeleteTree(kPictureSelectIndependentProgId);
    return FAILED(hr) ? hr : FAILED(hr2) ? hr2 : hr3;
}
