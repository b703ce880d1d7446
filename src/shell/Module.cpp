// Module entry points: the class object, unloading, registration.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <string>

#include "acquire/Camera.h"
#include "framework/Module.h"
#include "shell/CallFrame.h"
#include "shell/ClientHelper.h"
#include "shell/Registrar.h"

namespace {

class CClassFactory final : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // The factory lives as long as the module; only LockServer keeps the module loaded.
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_cRef); }
    STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        return CClientHelper::CreateInstance(pOuter, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }

private:
    LONG m_cRef = 0;
};

CClassFactory* g_pFactory = nullptr;

// Initialises and terminates the module: the cached class object and type information.
class CTrelClientHelperApp
{
public:
    BOOL InitInstance(HINSTANCE hInstance)
    {
        AfxSetResourceHandle(hInstance);
        CreateModuleActivationContext(hInstance);
        return TRUE;
    }
    void ExitInstance(bool processTerminating)
    {
        // The camera's connection is closed when the module is unloaded.
        DestroyCamera(processTerminating);
        // At process exit other DLLs may already be gone: release nothing that calls into them.
        if (!processTerminating) {
            ReleaseCachedTypeInfo();
            delete g_pFactory;
            g_pFactory = nullptr;
        }
        ReleaseModuleActivationContext();
    }
};

CTrelClientHelperApp theApp;

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(hInstance);
        return theApp.InitInstance(hInstance);
    }
    if (reason == DLL_PROCESS_DETACH)
        theApp.ExitInstance(reserved != nullptr);
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_ClientHelper)
        return CLASS_E_CLASSNOTAVAILABLE;
    if (g_pFactory == nullptr) {
        CClassFactory* p = new (std::nothrow) CClassFactory();
        if (p == nullptr)
            return E_OUTOFMEMORY;
        if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&g_pFactory), p, nullptr) !=
            nullptr)
            delete p;
    }
    return g_pFactory->QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    CModuleStateScope state;
    if (ModuleLockCount() != 0)
        return S_FALSE;
    // The module is about to be freed: the camera's connection is closed here, outside the
    // loader's lock, where the camera library may wait for threads of its own.
    CloseCameraConnection();
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    CModuleStateScope state;
    HRESULT hr = RunModuleRegistryScript(true);
    if (FAILED(hr))
        return hr;
    return RegisterModuleTypeLibrary();
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    CModuleStateScope state;
    HRESULT hr = RunModuleRegistryScript(false);
    if (FAILED(hr))
        return hr;
    return UnregisterModuleTypeLibrary();
}
