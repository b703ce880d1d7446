// The port lists of the read-key dialog with the port host running (the stand-in, beside this
// program). Run by CTest with the Windows version of NT 4, so that the fixed port names COM1 to
// COM16 are listed, with a silent line on COM9 (a pty) and one converter from the FTDI stand-ins:
//   TREL_FTDI_DEVICES=4660:77:COM9
#include <gtest/gtest.h>
#include <windows.h>
#include <comdef.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/Module.h"
#include "ports/PortDiscovery.h"

#include "porthost_client.h"

namespace {

using porthost_client::StandIn;
using Items = std::vector<std::string>;

const char kHeldComItem[] = "PORT:\\\\.\\COM9|COM9";

// What the fixed-name enumeration gives, every port whether it opens or not.
Items FixedNameItems()
{
    Items items;
    for (int n = 1; n <= 16; ++n)
        items.push_back("PORT:\\\\.\\COM" + std::to_string(n) + "|COM" + std::to_string(n));
    return items;
}

Items Concat(Items a, const Items& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool Contains(const Items& items, const std::string& item)
{
    return std::find(items.begin(), items.end(), item) != items.end();
}

HRESULT Raised(void (*list)(Items&, BOOL), Items& items)
{
    try {
        list(items, FALSE);
    } catch (const _com_error& e) {
        return e.Error();
    }
    return S_OK;
}

TEST(PortListing, WithoutAHostOnlyLocalPortsAreListed)
{
    Items com = {"stale"}, usb = {"stale"}, free;
    ListComPorts(com, FALSE);
    EXPECT_EQ(com, FixedNameItems());
    ListUsbConverters(usb, FALSE);
    EXPECT_EQ(usb, Items{"USB4660"});
    ListFreeComPorts(free);
    EXPECT_TRUE(Contains(free, kHeldComItem)) << "the pty's port opens while nobody holds it";
}

// A port the host holds (COM9) is listed twice: as a port of the machine, busy or not, and as the
// host's. The host's items follow the local ones, COM forms in the COM list and USB forms in the
// USB list; anything else it names is in neither.
TEST(PortListing, HostsPortsAreAppendedAfterTheLocalOnes)
{
    StandIn host({L"--port", L"COM9", L"--port", L"USB31337", L"--port",
                  L"PORT:\\\\.\\COM3|\x0425\x043E\x0441\x0442 (COM3)", L"--port", L"LPT1"});
    Items com, usb;
    ListComPorts(com, FALSE);
    EXPECT_EQ(com, Concat(FixedNameItems(), {"COM9", ToAnsi(L"PORT:\\\\.\\COM3|\x0425\x043E\x0441\x0442 (COM3)")}));
    ListUsbConverters(usb, FALSE);
    EXPECT_EQ(usb, (Items{"USB4660", "USB31337"}));
    // Each listing walks the host's list once and lets it go.
    const std::vector<std::wstring> calls = host.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"GetHeldPorts"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"end PortList"), 2);
    EXPECT_EQ(host.Stop(), 0u);
}

TEST(PortListing, HostHoldingNoPortsAddsNothing)
{
    StandIn host({});
    Items com, usb;
    ListComPorts(com, FALSE);
    EXPECT_EQ(com, FixedNameItems());
    ListUsbConverters(usb, FALSE);
    EXPECT_EQ(usb, Items{"USB4660"});
}

// An object under the host's name that is not a port host fails both listings with E_POINTER.
TEST(PortListing, ObjectWithoutTheHostInterfaceFailsTheListing)
{
    StandIn host({L"--no-proxy", L"--port", L"COM9"});
    Items com, usb;
    EXPECT_EQ(Raised(ListComPorts, com), E_POINTER);
    EXPECT_EQ(Raised(ListUsbConverters, usb), E_POINTER);
}

} // namespace
