#include "shell/SiteZone.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>
#include <urlmon.h>

#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"
#include "framework/Module.h"

namespace {

template <class T>
struct ComRelease {
    T* p = nullptr;
    ~ComRelease()
    {
        if (p != nullptr)
            p->Release();
    }
};

const char* ZoneName(long zone)
{
    switch (zone) {
    case URLZONE_INTERNET:
        return "Internet";
    case URLZONE_UNTRUSTED:
        return "Restricted";
    default:
        return "untrusted";
    }
}

} // namespace

long PageZoneOfSite(IUnknown* pSite, std::wstring* pUrl)
{
    if (pSite == nullptr)
        return -1;
    ComRelease<IServiceProvider> provider;
    if (FAILED(pSite->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&provider.p))) ||
        provider.p == nullptr)
        return -1;
    ComRelease<IWebBrowser2> browser;
    if (FAILED(provider.p->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, reinterpret_cast<void**>(&browser.p))) ||
        browser.p == nullptr)
        return -1;

    // From here on the object sits in a browser: what cannot be told is treated as the Internet.
    BSTR url = nullptr;
    if (FAILED(browser.p->get_LocationURL(&url)) || url == nullptr) {
        SysFreeString(url);
        return URLZONE_INTERNET;
    }
    std::wstring location(url, SysStringLen(url));
    SysFreeString(url);
    if (pUrl != nullptr)
        *pUrl = location;
    ComRelease<IInternetSecurityManager> manager;
    if (FAILED(CoInternetCreateSecurityManager(nullptr, &manager.p, 0)) || manager.p == nullptr)
        return URLZONE_INTERNET;
    DWORD zone = URLZONE_INTERNET;
    if (FAILED(manager.p->MapUrlToZone(location.c_str(), &zone, 0)))
        return URLZONE_INTERNET;
    return static_cast<long>(zone);
}

void RequireTrustedPage(IUnknown* pSite, const char* method)
{
    std::wstring url;
    long zone = PageZoneOfSite(pSite, &url);
    if (zone != URLZONE_INTERNET && zone < URLZONE_UNTRUSTED)
        return;  // no browser, or a local, intranet or trusted page
    ThrowComError(E_ACCESSDENIED,
                  FormatText("%s is not allowed for a page in the %s zone (%s): pages from there may not read or "
                             "write files or start programs through this component",
                             method, ZoneName(zone), ToAnsi(url).c_str())
                      .c_str());
}
