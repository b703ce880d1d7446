/* A host site that looks like a web browser's to the object it hosts: it serves
 * SID_SWebBrowserApp with an IWebBrowser2 whose only working member is get_LocationURL. Written
 * in C so that the browser's long interface can be a table of one failing entry. */
#define COBJMACROS
#define CINTERFACE
#include <stddef.h>
#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>

#include "fake_browser_site.h"

typedef struct FakeSite {
    IServiceProvider provider; /* first: the site's IUnknown is its IServiceProvider */
    IWebBrowser2 browser;
    LONG refs;
    int withBrowser;
    WCHAR url[512];
} FakeSite;

static FakeSite* FromProvider(IServiceProvider* p)
{
    return (FakeSite*)p;
}

static FakeSite* FromBrowser(IWebBrowser2* p)
{
    return (FakeSite*)((char*)p - offsetof(FakeSite, browser));
}

static ULONG Release(FakeSite* site)
{
    LONG n = InterlockedDecrement(&site->refs);
    if (n == 0)
        HeapFree(GetProcessHeap(), 0, site);
    return (ULONG)n;
}

static HRESULT STDMETHODCALLTYPE Provider_QueryInterface(IServiceProvider* This, REFIID riid, void** ppv)
{
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IServiceProvider)) {
        *ppv = This;
        InterlockedIncrement(&FromProvider(This)->refs);
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE Provider_AddRef(IServiceProvider* This)
{
    return (ULONG)InterlockedIncrement(&FromProvider(This)->refs);
}

static ULONG STDMETHODCALLTYPE Provider_Release(IServiceProvider* This)
{
    return Release(FromProvider(This));
}

static HRESULT STDMETHODCALLTYPE Provider_QueryService(IServiceProvider* This, REFGUID service, REFIID riid,
                                                       void** ppv)
{
    FakeSite* site = FromProvider(This);
    *ppv = NULL;
    if (!site->withBrowser || !IsEqualGUID(service, &SID_SWebBrowserApp))
        return E_NOINTERFACE;
    if (!IsEqualIID(riid, &IID_IWebBrowser2) && !IsEqualIID(riid, &IID_IUnknown))
        return E_NOINTERFACE;
    *ppv = &site->browser;
    InterlockedIncrement(&site->refs);
    return S_OK;
}

static IServiceProviderVtbl g_providerVtbl = {Provider_QueryInterface, Provider_AddRef, Provider_Release,
                                              Provider_QueryService};

static HRESULT STDMETHODCALLTYPE Browser_QueryInterface(IWebBrowser2* This, REFIID riid, void** ppv)
{
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IWebBrowser2)) {
        *ppv = This;
        InterlockedIncrement(&FromBrowser(This)->refs);
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE Browser_AddRef(IWebBrowser2* This)
{
    return (ULONG)InterlockedIncrement(&FromBrowser(This)->refs);
}

static ULONG STDMETHODCALLTYPE Browser_Release(IWebBrowser2* This)
{
    return Release(FromBrowser(This));
}

static HRESULT STDMETHODCALLTYPE Browser_get_LocationURL(IWebBrowser2* This, BSTR* url)
{
    *url = SysAllocString(FromBrowser(This)->url);
    return *url ? S_OK : E_OUTOFMEMORY;
}

/* Every other member; never called by the object. */
static HRESULT STDMETHODCALLTYPE Browser_NotImplemented(void)
{
    return E_NOTIMPL;
}

static IWebBrowser2Vtbl g_browserVtbl;

IUnknown* CreateFakeBrowserSite(const wchar_t* url, int withBrowser)
{
    FakeSite* site = (FakeSite*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FakeSite));
    if (site == NULL)
        return NULL;
    if (g_browserVtbl.QueryInterface == NULL) {
        void** slot = (void**)&g_browserVtbl;
        size_t i;
        for (i = 0; i < sizeof(g_browserVtbl) / sizeof(void*); ++i)
            slot[i] = (void*)Browser_NotImplemented;
        g_browserVtbl.QueryInterface = Browser_QueryInterface;
        g_browserVtbl.AddRef = Browser_AddRef;
        g_browserVtbl.Release = Browser_Release;
        g_browserVtbl.get_LocationURL = Browser_get_LocationURL;
    }
    site->provider.lpVtbl = &g_providerVtbl;
    site->browser.lpVtbl = &g_browserVtbl;
    site->refs = 1;
    site->withBrowser = withBrowser;
    lstrcpynW(site->url, url ? url : L"", 512);
    return (IUnknown*)&site->provider;
}
