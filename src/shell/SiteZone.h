// The security zone of the page that hosts the object, when a web browser hosts it.
//
// The class is marked safe for scripting, yet some of its methods read or write any file the
// caller names or start programs. A page from the Internet or Restricted zone must not reach
// them; the client program's own script host (no browser site), local pages and intranet pages
// keep every method.
#pragma once
#include <windows.h>
#include <string>

// The zone of the page a browser site shows (URLZONE_*), or -1 when the site is no web browser
// (no site at all, a host without IServiceProvider, or a provider without a browser). A page
// whose zone cannot be told counts as Internet.
long PageZoneOfSite(IUnknown* pSite, std::wstring* pUrl = nullptr);

// Raises E_ACCESSDENIED naming the zone when the page is in the Internet or Restricted zone.
void RequireTrustedPage(IUnknown* pSite, const char* method);
