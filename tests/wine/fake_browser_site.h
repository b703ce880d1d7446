/* A site that poses as a web browser's, for the zone tests. */
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A new site (one reference) whose browser shows `url`; without a browser when withBrowser is 0,
 * like a script host's site. */
IUnknown* CreateFakeBrowserSite(const wchar_t* url, int withBrowser);

#ifdef __cplusplus
}
#endif
