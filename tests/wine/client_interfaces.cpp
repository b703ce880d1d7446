// The object as a C++ client sees it: its interfaces and identity, life time and unloading,
// aggregation, and how its methods fail (results, error information, the log).
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <ocidl.h>
#include <oleauto.h>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "TrelClientHelper_h.h"
#include "client_common.h"

namespace {

const wchar_t kProgId[] = L"TrelClientHelper.ClientHelper.1";
const HRESULT kNoConnection = static_cast<HRESULT>(0x80040200);


std::wstring LogPath()
{
    std::wstring dll = DllPath();
    return dll.substr(0, dll.rfind(L'\\')) + L"\\trel_log.txt";
}

std::string ReadLog()
{
    HANDLE h = CreateFileW(LogPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0)
        text.append(buf, n);
    CloseHandle(h);
    return text;
}

struct LogEntry
{
    std::string date;
    std::string text;
    std::string file;
    int line;
};

// What was appended to the log since construction, split into entries. An entry's text may hold
// line breaks itself; the three tabs and "File: ...; Line: n" CRLF end it.
class LogWatch
{
public:
    LogWatch() : m_start(ReadLog()) {}

    ::testing::AssertionResult NewEntries(std::vector<LogEntry>& entries) const
    {
        std::string now = ReadLog();
        if (now.size() < m_start.size() || now.compare(0, m_start.size(), m_start) != 0)
            return ::testing::AssertionFailure() << "the log was rewritten, not appended to";
        std::string added = now.substr(m_start.size());
        static const std::regex entry(R"(([^\t\r\n]+)\t([\s\S]*?)\t\t\tFile: ([^;\r\n]+); Line: ([0-9]+)\r\n)");
        auto it = added.cbegin();
        while (it != added.cend()) {
            std::smatch m;
            if (!std::regex_search(it, added.cend(), m, entry, std::regex_constants::match_continuous))
                return ::testing::AssertionFailure() << "not a log entry: " << std::string(it, added.cend());
            entries.push_back({m[1], m[2], m[3], std::stoi(m[4])});
            it = m[0].second;
        }
        return ::testing::AssertionSuccess();
    }

    size_t NewEntryCount() const
    {
        std::vector<LogEntry> entries;
        EXPECT_TRUE(NewEntries(entries));
        return entries.size();
    }

private:
    std::string m_start;
};

// The log's date is the local time of the failure in the user's format.
::testing::AssertionResult IsRecentLocalTime(const std::string& text)
{
    std::wstring wide(text.begin(), text.end());
    DATE logged = 0;
    if (FAILED(VarDateFromStr(const_cast<LPOLESTR>(wide.c_str()), GetUserDefaultLCID(), 0, &logged)))
        return ::testing::AssertionFailure() << "not a date: " << text;
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE now = 0;
    SystemTimeToVariantTime(&st, &now);
    if (logged > now + 1.0 / 1440 || logged < now - 5.0 / 1440)
        return ::testing::AssertionFailure() << "not the time of the call: " << text;
    return ::testing::AssertionSuccess();
}

// ---- the module, loaded by the test itself to ask it whether it may unload ----

class Module
{
public:
    Module() : m_h(LoadLibraryW(DllPath().c_str()))
    {
        if (m_h != nullptr) {
            m_getClassObject = reinterpret_cast<GetClassObjectFn>(
                reinterpret_cast<void*>(GetProcAddress(m_h, "DllGetClassObject")));
            m_canUnloadNow =
                reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(m_h, "DllCanUnloadNow")));
        }
    }
    ~Module()
    {
        if (m_h != nullptr)
            FreeLibrary(m_h);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool Loaded() const { return m_getClassObject != nullptr && m_canUnloadNow != nullptr; }
    HRESULT CanUnloadNow() const { return m_canUnloadNow(); }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const { return m_getClassObject(clsid, iid, ppv); }

private:
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
    HMODULE m_h;
    GetClassObjectFn m_getClassObject = nullptr;
    CanUnloadNowFn m_canUnloadNow = nullptr;
};

// COM for each test, the module loaded, and one object created the way clients create it.
class ClientTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        m_module = new Module();
        ASSERT_TRUE(m_module->Loaded());
        ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                   m_helper.PutVoid()),
                  S_OK);
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override
    {
        m_helper.Reset();
        delete m_module;
        CoUninitialize();
    }

    template <class T>
    void Query(REFIID iid, ComPtr<T>& out)
    {
        ASSERT_EQ(m_helper->QueryInterface(iid, out.PutVoid()), S_OK);
    }

    Module* m_module = nullptr;
    ComPtr<IClientHelper> m_helper;
};

struct NamedIid
{
    const char* name;
    const IID* iid;
};

const NamedIid kSupported[] = {
    {"IUnknown", &IID_IUnknown},
    {"IClientHelper", &IID_IClientHelper},
    {"IDispatch", &IID_IDispatch},
    {"ISupportErrorInfo", &IID_ISupportErrorInfo},
    {"IConnectionPointContainer", &IID_IConnectionPointContainer},
};

const NamedIid kUnsupported[] = {
    {"IPersist", &IID_IPersist},
    {"IPersistStreamInit", &IID_IPersistStreamInit},
    {"IProvideClassInfo", &IID_IProvideClassInfo},
    {"IProvideClassInfo2", &IID_IProvideClassInfo2},
    {"IConnectionPoint", &IID_IConnectionPoint},
    {"IEnumConnectionPoints", &IID_IEnumConnectionPoints},
    {"IClassFactory", &IID_IClassFactory},
    {"IMarshal", &IID_IMarshal},
    {"IOleObject", &IID_IOleObject},
    {"_IClientHelperEvents", &DIID__IClientHelperEvents},
};

// ---- interfaces and identity ----

using Interfaces = ClientTest;

TEST_F(Interfaces, AnswersExactlyItsFiveInterfaces)
{
    for (const NamedIid& i : kUnsupported) {
        void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xBAADF00D));
        EXPECT_EQ(m_helper->QueryInterface(*i.iid, &p), E_NOINTERFACE) << i.name;
        EXPECT_EQ(p, nullptr) << i.name;
    }
    EXPECT_EQ(m_helper->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(Interfaces, EveryInterfaceReachesEveryOtherWithOneIdentity)
{
    ComPtr<IUnknown> identity;
    Query(IID_IUnknown, identity);
    for (const NamedIid& from : kSupported) {
        ComPtr<IUnknown> start;
        Query(*from.iid, start);
        ASSERT_NE(start.Get(), nullptr) << from.name;
        for (const NamedIid& to : kSupported) {
            ComPtr<IUnknown> reached;
            EXPECT_EQ(start->QueryInterface(*to.iid, reached.PutVoid()), S_OK) << from.name << " -> " << to.name;
            EXPECT_NE(reached.Get(), nullptr) << from.name << " -> " << to.name;
        }
        ComPtr<IUnknown> unk;
        ASSERT_EQ(start->QueryInterface(IID_IUnknown, unk.PutVoid()), S_OK);
        EXPECT_EQ(unk.Get(), identity.Get()) << from.name;
    }
}

TEST_F(Interfaces, ErrorInfoOnlyForTheAutomationInterface)
{
    ComPtr<ISupportErrorInfo> sei;
    Query(IID_ISupportErrorInfo, sei);
    EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IClientHelper), S_OK);
    for (const IID* iid : {&IID_IDispatch, &IID_IUnknown, &IID_ISupportErrorInfo, &IID_IConnectionPointContainer,
                           &DIID__IClientHelperEvents})
        EXPECT_EQ(sei->InterfaceSupportsErrorInfo(*iid), S_FALSE);
}

TEST_F(Interfaces, NoConnectionPoints)
{
    ComPtr<IConnectionPointContainer> cpc;
    Query(IID_IConnectionPointContainer, cpc);
    for (const IID* iid : {&DIID__IClientHelperEvents, &IID_IPropertyNotifySink, &IID_IDispatch, &IID_NULL}) {
        IConnectionPoint* pCP = reinterpret_cast<IConnectionPoint*>(static_cast<uintptr_t>(0xBAADF00D));
        EXPECT_EQ(cpc->FindConnectionPoint(*iid, &pCP), kNoConnection);
        EXPECT_EQ(pCP, nullptr);
    }
    EXPECT_EQ(cpc->FindConnectionPoint(DIID__IClientHelperEvents, nullptr), E_POINTER);

    ComPtr<IEnumConnectionPoints> e;
    ASSERT_EQ(cpc->EnumConnectionPoints(e.Put()), S_OK);
    ASSERT_NE(e.Get(), nullptr);
    ComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(e->Clone(clone.Put()), S_OK);
    ASSERT_NE(clone.Get(), nullptr);
    for (IEnumConnectionPoints* p : {e.Get(), clone.Get()}) {
        IConnectionPoint* points[3] = {};
        ULONG fetched = 99;
        EXPECT_EQ(p->Next(3, points, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);
        EXPECT_EQ(p->Reset(), S_OK);
        EXPECT_EQ(p->Next(1, points, nullptr), S_FALSE);
    }
    EXPECT_EQ(cpc->EnumConnectionPoints(nullptr), E_POINTER);
}

TEST_F(Interfaces, TypeInformationAndNames)
{
    UINT count = 0;
    EXPECT_EQ(m_helper->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    ComPtr<ITypeInfo> info;
    ASSERT_EQ(m_helper->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()), S_OK);
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&pAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pAttr->guid, IID_IClientHelper));
    info->ReleaseTypeAttr(pAttr);
    ComPtr<ITypeInfo> none;
    EXPECT_EQ(m_helper->GetTypeInfo(1, LOCALE_USER_DEFAULT, none.Put()), DISP_E_BADINDEX);
    EXPECT_EQ(none.Get(), nullptr);

    const wchar_t* const names[] = {L"ReadKey",         L"SelectPicturePart", L"ReleasePicture",
                                    L"ResizePicture",   L"OpenPictureWith",   L"PrintPicture",
                                    L"EncodeFile",      L"ReleasePicture2",   L"ReadHodTest",
                                    L"GetPictureFromCam", L"ScanPicture",     L"SelectScanSource",
                                    L"DestroyScanWindow"};
    for (DISPID expected = 1; expected <= 13; ++expected) {
        LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(m_helper->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK) << Narrow(name);
        EXPECT_EQ(id, expected) << Narrow(name);
    }
    // Script engines pass names in whatever case the script was written in.
    LPOLESTR lower = const_cast<LPOLESTR>(L"resizepicture");
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(m_helper->GetIDsOfNames(IID_NULL, &lower, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, 4);
    LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMethod");
    EXPECT_EQ(m_helper->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
}

// ---- life time and unloading ----

class Lifetime : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        m_module = new Module();
        ASSERT_TRUE(m_module->Loaded());
    }
    void TearDown() override
    {
        delete m_module;
        CoUninitialize();
    }

    Module* m_module = nullptr;
};

TEST_F(Lifetime, ObjectLivesExactlyWhileReferenced)
{
    ASSERT_EQ(m_module->CanUnloadNow(), S_OK);
    IClientHelper* pHelper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                               reinterpret_cast<void**>(&pHelper)),
              S_OK);
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);
    // Counting starts at zero: the one interface handed out holds the only reference.
    EXPECT_EQ(pHelper->AddRef(), 2u);
    EXPECT_EQ(pHelper->Release(), 1u);

    ISupportErrorInfo* pSei = nullptr;
    ASSERT_EQ(pHelper->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&pSei)), S_OK);
    EXPECT_EQ(pHelper->Release(), 1u);
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);
    EXPECT_EQ(pSei->Release(), 0u);
    EXPECT_EQ(m_module->CanUnloadNow(), S_OK);
}

TEST_F(Lifetime, ClassObjectForThisClassOnly)
{
    GUID other = IID_IClientHelper;
    void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xBAADF00D));
    EXPECT_EQ(m_module->GetClassObject(other, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m_module->GetClassObject(CLSID_ClientHelper, IID_IClassFactory, nullptr), E_POINTER);

    p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xBAADF00D));
    EXPECT_EQ(m_module->GetClassObject(CLSID_ClientHelper, IID_IClientHelper, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(m_module->GetClassObject(CLSID_ClientHelper, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IClientHelper> helper;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClientHelper, helper.PutVoid()), S_OK);
    EXPECT_NE(helper.Get(), nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClientHelper, nullptr), E_POINTER);
}

TEST_F(Lifetime, LockServerKeepsTheModuleLoaded)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(m_module->GetClassObject(CLSID_ClientHelper, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(m_module->CanUnloadNow(), S_OK);

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);

    // A lock and an object together: both must go before the module may unload.
    ComPtr<IClientHelper> helper;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IClientHelper, helper.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);
    helper.Reset();
    EXPECT_EQ(m_module->CanUnloadNow(), S_OK);
}

TEST_F(Lifetime, ConnectionPointEnumeratorKeepsTheModuleLoaded)
{
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IConnectionPointContainer,
                               cpc.PutVoid()),
              S_OK);
    ComPtr<IEnumConnectionPoints> e;
    ASSERT_EQ(cpc->EnumConnectionPoints(e.Put()), S_OK);
    cpc.Reset();
    // The enumerator's code lives in the module: unloading now would leave the client a dangling object.
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);
    e.Reset();
    EXPECT_EQ(m_module->CanUnloadNow(), S_OK);
}

// ---- aggregation ----

// The smallest controlling unknown: counts what the inner object delegates to it.
class Outer : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++queries;
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (inner == nullptr) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return inner->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }

    IUnknown* inner = nullptr;
    long refs = 1;
    int queries = 0;
};

using Aggregation = Lifetime;

TEST_F(Aggregation, InnerInterfacesDelegateToTheOuterObject)
{
    Outer outer;
    ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    ASSERT_NE(outer.inner, nullptr);
    EXPECT_NE(outer.inner, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.refs, 1);
    EXPECT_EQ(m_module->CanUnloadNow(), S_FALSE);

    // The inner unknown answers for itself.
    IUnknown* pSelf = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pSelf)), S_OK);
    EXPECT_EQ(pSelf, outer.inner);
    pSelf->Release();

    IClientHelper* pHelper = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IClientHelper, reinterpret_cast<void**>(&pHelper)), S_OK);
    EXPECT_EQ(outer.refs, 2);
    pHelper->AddRef();
    EXPECT_EQ(outer.refs, 3);
    pHelper->Release();
    EXPECT_EQ(outer.refs, 2);

    int queriesBefore = outer.queries;
    IUnknown* pIdentity = nullptr;
    ASSERT_EQ(pHelper->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)), S_OK);
    EXPECT_EQ(pIdentity, static_cast<IUnknown*>(&outer));
    pIdentity->Release();
    ISupportErrorInfo* pSei = nullptr;
    ASSERT_EQ(pHelper->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&pSei)), S_OK);
    EXPECT_EQ(outer.queries, queriesBefore + 2);
    pSei->Release();
    EXPECT_EQ(pHelper->DestroyScanWindow(), S_OK);
    pHelper->Release();
    EXPECT_EQ(outer.refs, 1);

    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(m_module->CanUnloadNow(), S_OK);
}

TEST_F(Aggregation, RefusedForAnyInterfaceButIUnknown)
{
    for (const NamedIid& i : kSupported) {
        if (i.iid == &IID_IUnknown)
            continue;
        Outer outer;
        void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xBAADF00D));
        EXPECT_EQ(CoCreateInstance(CLSID_ClientHelper, &outer, CLSCTX_INPROC_SERVER, *i.iid, &p),
                  CLASS_E_NOAGGREGATION)
            << i.name;
        EXPECT_EQ(p, nullptr) << i.name;
        EXPECT_EQ(outer.refs, 1) << i.name;
    }
    EXPECT_EQ(m_module->CanUnloadNow(), S_OK);
}

// ---- calls: out pointers, empty names, failures ----

using Call = std::function<HRESULT(IClientHelper*)>;

struct NamedCall
{
    const char* name;
    Call call;
};

void PrintTo(const NamedCall& c, std::ostream* os)
{
    *os << c.name;
}

std::string CallName(const ::testing::TestParamInfo<NamedCall>& info)
{
    return info.param.name;
}

class Calls : public ClientTest, public ::testing::WithParamInterface<NamedCall>
{
};

// A picture file name for the methods that do something only when given one.
const wchar_t kSomePicture[] = L"C:\\trel-tests\\no-such-picture.jpg";

using NullOutPointer = Calls;

TEST_P(NullOutPointer, IsRefusedWithoutErrorInformationOrLog)
{
    LogWatch log;
    EXPECT_EQ(GetParam().call(m_helper.Get()), E_POINTER);
    IErrorInfo* pInfo = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &pInfo), S_FALSE);
    if (pInfo != nullptr)
        pInfo->Release();
    EXPECT_EQ(log.NewEntryCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, NullOutPointer,
    ::testing::Values(
        NamedCall{"ReadKey", [](IClientHelper* p) { return p->ReadKey(Bstr(L""), nullptr, 0, nullptr); }},
        NamedCall{"SelectPicturePart",
                  [](IClientHelper* p) {
                      return p->SelectPicturePart(0, Bstr(kSomePicture), VARIANT_FALSE, 0, 0, nullptr);
                  }},
        NamedCall{"ReleasePicture", [](IClientHelper* p) { return p->ReleasePicture(100, 80, nullptr); }},
        NamedCall{"ResizePicture",
                  [](IClientHelper* p) { return p->ResizePicture(Bstr(kSomePicture), 640, 480, VARIANT_FALSE, nullptr); }},
        NamedCall{"OpenPictureWith",
                  [](IClientHelper* p) {
                      return p->OpenPictureWith(0, Bstr(kSomePicture), Bstr(L"mspaint.exe"), VARIANT_FALSE, nullptr);
                  }},
        NamedCall{"EncodeFile", [](IClientHelper* p) { return p->EncodeFile(Bstr(kSomePicture), nullptr); }},
        NamedCall{"ReleasePicture2", [](IClientHelper* p) { return p->ReleasePicture2(100, 80, 1, nullptr); }},
        NamedCall{"ReadHodTest", [](IClientHelper* p) { return p->ReadHodTest(Bstr(L""), nullptr, 0, nullptr); }},
        NamedCall{"GetPictureFromCam", [](IClientHelper* p) { return p->GetPictureFromCam(0, nullptr); }},
        NamedCall{"ScanPicture", [](IClientHelper* p) { return p->ScanPicture(0, VARIANT_FALSE, nullptr); }},
        NamedCall{"SelectScanSource", [](IClientHelper* p) { return p->SelectScanSource(0, nullptr); }}),
    CallName);

// Calls with an empty or missing file name; the out value starts as garbage.
struct EmptyNameCall
{
    const char* name;
    std::function<HRESULT(IClientHelper*, BSTR name, BSTR* out)> call;
};

const EmptyNameCall kEmptyNameCalls[] = {
    {"SelectPicturePart",
     [](IClientHelper* p, BSTR n, BSTR* out) { return p->SelectPicturePart(0, n, VARIANT_TRUE, 320, 240, out); }},
    {"ResizePicture", [](IClientHelper* p, BSTR n, BSTR* out) { return p->ResizePicture(n, 640, 480, VARIANT_TRUE, out); }},
    {"OpenPictureWith",
     [](IClientHelper* p, BSTR n, BSTR* out) { return p->OpenPictureWith(0, n, Bstr(L"mspaint.exe"), VARIANT_FALSE, out); }},
};

using Results = ClientTest;

TEST_F(Results, EmptyOrMissingFileNameSucceedsWithNoResult)
{
    const BSTR garbage = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0xBAADF00D));
    for (const EmptyNameCall& c : kEmptyNameCalls) {
        for (bool missing : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (missing ? " with a null name" : " with an empty name"));
            LogWatch log;
            Bstr name(missing ? nullptr : L"");
            BSTR out = garbage;
            EXPECT_EQ(c.call(m_helper.Get(), name, &out), S_OK);
            EXPECT_EQ(out, nullptr);
            if (out != nullptr && out != garbage)
                SysFreeString(out);
            EXPECT_EQ(log.NewEntryCount(), 0u);
        }
    }
}

TEST_F(Results, DestroyScanWindowAlwaysSucceeds)
{
    EXPECT_EQ(m_helper->DestroyScanWindow(), S_OK);
    EXPECT_EQ(m_helper->DestroyScanWindow(), S_OK);
    Bstr res;
    EXPECT_HRESULT_FAILED(m_helper->EncodeFile(Bstr(L"Z:\\no\\such\\file.jpg"), res.Put()));
    EXPECT_EQ(m_helper->DestroyScanWindow(), S_OK);
}

// A failing call: error information from the versioned ProgID, the context first, and one log entry
// at the local time of the call holding the same text.
TEST_F(Results, AFailureCarriesErrorInformationAndOneLogEntry)
{
    LogWatch log;
    Bstr res;
    EXPECT_EQ(m_helper->ResizePicture(Bstr(L"Z:\\no\\such\\picture.jpg"), 640, 480, VARIANT_FALSE, res.Put()), E_FAIL);

    ComPtr<ISupportErrorInfo> sei;
    Query(IID_ISupportErrorInfo, sei);
    ASSERT_EQ(sei->InterfaceSupportsErrorInfo(IID_IClientHelper), S_OK);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
    ASSERT_NE(info.Get(), nullptr);
    Bstr source;
    Bstr description;
    EXPECT_EQ(info->GetSource(source.Put()), S_OK);
    EXPECT_EQ(info->GetDescription(description.Put()), S_OK);
    EXPECT_EQ(source.Text(), kProgId);
    const std::wstring text = description.Text();
    EXPECT_EQ(text, L"CClientHelper::ResizePicture()\r\nНе удалось загрузить файл с изображением.");

    std::vector<LogEntry> entries;
    ASSERT_TRUE(log.NewEntries(entries));
    ASSERT_EQ(entries.size(), 1u);
    char ansi[512] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, ansi, sizeof(ansi), nullptr, nullptr);
    EXPECT_EQ(entries[0].text, ansi);
    EXPECT_TRUE(IsRecentLocalTime(entries[0].date));
    EXPECT_FALSE(entries[0].file.empty());
    EXPECT_GT(entries[0].line, 0);
}

// ---- late binding, the way script hosts call ----

using LateBound = ClientTest;

class ExcepInfo
{
public:
    ExcepInfo() { m_ei = EXCEPINFO(); }
    ~ExcepInfo()
    {
        SysFreeString(m_ei.bstrSource);
        SysFreeString(m_ei.bstrDescription);
        SysFreeString(m_ei.bstrHelpFile);
    }
    EXCEPINFO* operator&() { return &m_ei; }
    const EXCEPINFO* operator->() const { return &m_ei; }

private:
    EXCEPINFO m_ei;
};

DISPID IdOf(IDispatch* p, const wchar_t* name)
{
    LPOLESTR n = const_cast<LPOLESTR>(name);
    DISPID id = DISPID_UNKNOWN;
    p->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

// Only the port given: the two optional arguments take their defaults and the method runs (and
// fails on a port that does not exist).
TEST_F(LateBound, ReadKeyWithOptionalArgumentsLeftOutReachesTheMethod)
{
    ComPtr<IDispatch> disp;
    Query(IID_IDispatch, disp);
    LogWatch log;
    VARIANT port;
    VariantInit(&port);
    port.vt = VT_BSTR;
    port.bstrVal = SysAllocString(L"COM98");
    DISPPARAMS one = {&port, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ExcepInfo ei;
    UINT argErr = 0;
    EXPECT_EQ(disp->Invoke(IdOf(disp.Get(), L"ReadKey"), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &one,
                           &result, &ei, &argErr),
              DISP_E_EXCEPTION);
    VariantClear(&result);
    VariantClear(&port);
    EXPECT_TRUE(FAILED(ei->scode));
    EXPECT_NE(ei->scode, E_NOTIMPL);
    ASSERT_NE(ei->bstrSource, nullptr);
    EXPECT_STREQ(ei->bstrSource, kProgId);
    ASSERT_NE(ei->bstrDescription, nullptr);
    std::wstring text = ei->bstrDescription;
    EXPECT_EQ(text.compare(0, 26, L"CClientHelper::ReadKey()\r\n"), 0) << Narrow(text);
    EXPECT_NE(text.find(L"CCOMFile::Open CreateFile()"), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(log.NewEntryCount(), 1u);
}

TEST_F(LateBound, ResizePictureWithEmptyNameSucceeds)
{
    ComPtr<IDispatch> disp;
    Query(IID_IDispatch, disp);
    LogWatch log;
    // Arguments go right to left: ResizePicture("", 640, 480).
    VARIANT args[3];
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = 480;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = 640;
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = SysAllocString(L"");
    DISPPARAMS params = {args, nullptr, 3, 0};
    VARIANT result;
    VariantInit(&result);
    ExcepInfo ei;
    UINT argErr = 0;
    EXPECT_EQ(disp->Invoke(IdOf(disp.Get(), L"ResizePicture"), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                           &params, &result, &ei, &argErr),
              S_OK);
    EXPECT_EQ(V_VT(&result), VT_BSTR);
    if (V_VT(&result) == VT_BSTR) {
        EXPECT_EQ(SysStringLen(V_BSTR(&result)), 0u);
    }
    VariantClear(&result);
    VariantClear(&args[2]);
    EXPECT_EQ(log.NewEntryCount(), 0u);
}

TEST_F(LateBound, DestroyScanWindowSucceeds)
{
    ComPtr<IDispatch> disp;
    Query(IID_IDispatch, disp);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(disp->Invoke(13, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              S_OK);
}

} // namespace
