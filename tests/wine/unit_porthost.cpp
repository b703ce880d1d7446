// Ports held by the port host: listing and key reading against the port-host stand-in, which runs
// as a process of its own and records every call it gets and every object's end.
#include <gtest/gtest.h>
#include <windows.h>
#include <comdef.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "framework/Module.h"
#include "ports/PortHost.h"
#include "porthost_client.h"

namespace {

using namespace porthost_client;

std::string Ansi(const wchar_t* text)
{
    return ToAnsi(text);
}

using Lines = std::vector<std::wstring>;

// A call on the host that raised, as the caller sees it.
struct Raised {
    bool raised = false;
    HRESULT hr = S_OK;
    GUID iid = GUID_NULL;
    std::wstring description;
};

template <class F>
Raised Catch(F f)
{
    Raised r;
    try {
        f();
    } catch (const _com_error& e) {
        r.raised = true;
        r.hr = e.Error();
        r.iid = e.GUID_();
        BSTR d = e.Description().copy();
        r.description = d ? d : L"";
        SysFreeString(d);
    }
    return r;
}

const HRESULT kHostFailure = HRESULT_FROM_WIN32(ERROR_NOT_READY);

TEST(PortHost, WithoutAHostNothingIsListedOrRead)
{
    std::vector<std::string> names = {"PORT:\\\\.\\COM1|COM1"};
    EXPECT_NO_THROW(GetHeldPortNames(names));
    EXPECT_EQ(names, std::vector<std::string>{"PORT:\\\\.\\COM1|COM1"});
    long key = 4711;
    EXPECT_FALSE(ReadKeyThroughHost("COM5", key));
    EXPECT_EQ(key, 4711);
}

TEST(PortHost, HeldPortsAreAppendedInOrderAskingTheCountBeforeEachIndex)
{
    const wchar_t* display = L"PORT:\\\\.\\COM6|\x041F\x043E\x0440\x0442 \x0445\x043E\x0441\x0442\x0430";
    StandIn host({L"--port", L"COM5", L"--port", display, L"--port", L"USB4660"});
    std::vector<std::string> names = {"PORT:\\\\.\\COM1|COM1"};
    GetHeldPortNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"PORT:\\\\.\\COM1|COM1", "COM5", Ansi(display), "USB4660"}));
    EXPECT_EQ(host.Calls(), (Lines{L"GetHeldPorts", L"Count", L"Item 1", L"Count", L"Item 2", L"Count", L"Item 3",
                                   L"Count", L"end PortList"}));
    EXPECT_EQ(host.Stop(), 0u);
}

TEST(PortHost, HostHoldingNoPortsAddsNothing)
{
    StandIn host({});
    std::vector<std::string> names = {"COM3"};
    GetHeldPortNames(names);
    EXPECT_EQ(names, std::vector<std::string>{"COM3"});
    EXPECT_EQ(host.Calls(), (Lines{L"GetHeldPorts", L"Count", L"end PortList"}));
}

TEST(PortHost, ObjectWithoutTheHostInterfaceFailsWithEPointer)
{
    StandIn host({L"--no-proxy"});
    std::vector<std::string> names = {"COM3"};
    Raised listing = Catch([&] { GetHeldPortNames(names); });
    EXPECT_TRUE(listing.raised);
    EXPECT_EQ(listing.hr, E_POINTER);
    EXPECT_EQ(listing.iid, __uuidof(IPortHostProxy));
    EXPECT_EQ(names, std::vector<std::string>{"COM3"});

    long key = 4711;
    Raised reading = Catch([&] { ReadKeyThroughHost("COM5", key); });
    EXPECT_EQ(reading.hr, E_POINTER);
    EXPECT_EQ(reading.iid, __uuidof(IPortHostProxy));
    EXPECT_EQ(key, 4711);
}

TEST(PortHost, HostReportingMorePortsThanAnyMachineHasIsRefused)
{
    std::vector<std::wstring> args;
    for (int i = 1; i <= 1025; ++i) {
        args.push_back(L"--port");
        args.push_back(L"COM" + std::to_wstring(i));
    }
    StandIn host(args);
    std::vector<std::string> names;
    Raised r = Catch([&] { GetHeldPortNames(names); });
    EXPECT_EQ(r.hr, E_FAIL);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(host.Calls(), (Lines{L"GetHeldPorts", L"Count", L"end PortList"}));
}

TEST(PortHost, KeyIsReadThroughTheHostAndEveryObjectReleasedInReverseOrder)
{
    StandIn host({L"--port", L"COM5", L"--value", L"7340033"});
    long key = 0;
    EXPECT_TRUE(ReadKeyThroughHost("COM5", key));
    EXPECT_EQ(key, 7340033);
    EXPECT_EQ(host.Calls(), (Lines{L"OpenPort mode=1 port=COM5 value=-1", L"ReadPortKey port=COM5", L"GetValue",
                                   L"end PortValue", L"end PortObject"}));
}

TEST(PortHost, PortItemNamesReachTheHostInTheirOwnCharacters)
{
    const wchar_t* item = L"PORT:\\\\?\\acpi#pnp0501#1|\x041F\x043E\x0440\x0442 (COM1)";
    StandIn host({L"--value", L"-5"});
    long key = 0;
    EXPECT_TRUE(ReadKeyThroughHost(Ansi(item), key));
    EXPECT_EQ(key, -5);
    Lines calls = host.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], std::wstring(L"OpenPort mode=1 port=") + item + L" value=-1");
    EXPECT_EQ(calls[1], std::wstring(L"ReadPortKey port=") + item);
}

struct FailureCase {
    const wchar_t* method;
    bool listing;  // the failure is met while listing, else while reading a key
    GUID iid;
    const wchar_t* call;
    Lines calls;  // what the host sees, ends of its objects included
};

class PortHostFailure : public testing::TestWithParam<FailureCase>
{
};

TEST_P(PortHostFailure, RaisesTheHostsHResultWithTheFailingInterfaceAndReleasesEverything)
{
    const FailureCase& c = GetParam();
    wchar_t hr[16];
    swprintf(hr, 16, L"0x%08lX", static_cast<unsigned long>(kHostFailure));
    StandIn host({L"--port", L"COM5", L"--fail", std::wstring(c.method) + L"=" + hr});
    std::vector<std::string> names = {"COM3"};
    long key = 4711;
    Raised r = Catch([&] {
        if (c.listing)
            GetHeldPortNames(names);
        else
            ReadKeyThroughHost("COM5", key);
    });
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.hr, kHostFailure);
    EXPECT_EQ(r.iid, c.iid);
    EXPECT_NE(r.description.find(c.call), std::wstring::npos) << Ansi(r.description.c_str());
    EXPECT_EQ(names, std::vector<std::string>{"COM3"});
    EXPECT_EQ(key, 4711);
    EXPECT_EQ(host.Calls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, PortHostFailure,
    testing::Values(
        FailureCase{L"GetHeldPorts", true, __uuidof(IPortHostProxy), L"IPortHostProxy::GetHeldPorts()",
                    {L"GetHeldPorts"}},
        FailureCase{L"Count", true, __uuidof(IPortList), L"IPortList::Count()",
                    {L"GetHeldPorts", L"Count", L"end PortList"}},
        FailureCase{L"Item", true, __uuidof(IPortList), L"IPortList::Item()",
                    {L"GetHeldPorts", L"Count", L"Item 1", L"end PortList"}},
        FailureCase{L"OpenPort", false, __uuidof(IPortHostProxy), L"IPortHostProxy::OpenPort()",
                    {L"OpenPort mode=1 port=COM5 value=-1"}},
        FailureCase{L"ReadPortKey", false, __uuidof(IPortObject), L"IPortObject::ReadPortKey()",
                    {L"OpenPort mode=1 port=COM5 value=-1", L"ReadPortKey port=COM5", L"end PortObject"}},
        FailureCase{L"GetValue", false, __uuidof(IPortValue), L"IPortValue::GetValue()",
                    {L"OpenPort mode=1 port=COM5 value=-1", L"ReadPortKey port=COM5", L"GetValue",
                     L"end PortValue", L"end PortObject"}}));

// The host's type library holds the interfaces under their IIDs, with the called methods at the
// virtual-table slots callers use.
TEST(PortHost, TypeLibraryPutsTheCalledMethodsAtTheirSlots)
{
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLibEx((ExeFolder() + L"porthost_standin.exe").c_str(), REGKIND_NONE, &lib), S_OK);
    struct Slot {
        GUID iid;
        const wchar_t* name;
        INVOKEKIND kind;
        int slot;
    } slots[] = {
        {__uuidof(IPortHostProxy), L"OpenPort", INVOKE_FUNC, 7},
        {__uuidof(IPortHostProxy), L"GetHeldPorts", INVOKE_FUNC, 10},
        {__uuidof(IPortList), L"Item", INVOKE_PROPERTYGET, 8},
        {__uuidof(IPortList), L"Count", INVOKE_PROPERTYGET, 9},
        {__uuidof(IPortObject), L"ReadPortKey", INVOKE_FUNC, 15},
        {__uuidof(IPortValue), L"GetValue", INVOKE_FUNC, 14},
    };
    for (const Slot& s : slots) {
        ITypeInfo* info = nullptr;
        ASSERT_EQ(lib->GetTypeInfoOfGuid(s.iid, &info), S_OK) << Ansi(s.name);
        // A dual interface's type information is its dispinterface; the vtable view is behind it.
        HREFTYPE ref = 0;
        ITypeInfo* vtable = nullptr;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &vtable))) {
            info->Release();
            info = vtable;
        }
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        EXPECT_EQ(attr->typekind, TKIND_INTERFACE) << Ansi(s.name);
        int found = -1;
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* fd = nullptr;
            if (FAILED(info->GetFuncDesc(i, &fd)))
                continue;
            BSTR name = nullptr;
            UINT n = 0;
            info->GetNames(fd->memid, &name, 1, &n);
            if (name && std::wstring(name) == s.name && fd->invkind == s.kind)
                found = fd->oVft / static_cast<int>(sizeof(void*));
            SysFreeString(name);
            info->ReleaseFuncDesc(fd);
        }
        info->ReleaseTypeAttr(attr);
        info->Release();
        EXPECT_EQ(found, s.slot) << Ansi(s.name);
    }
    lib->Release();
}

} // namespace
