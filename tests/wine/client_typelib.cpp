// The type library as a client reads it: from the module file and through the registration.
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "client_common.h"

namespace {

const wchar_t kLibId[] = L"{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}";
const wchar_t kInterfaceId[] = L"{9E27C4A3-1B58-4D6F-8A90-C3E5F1072B6D}";
const wchar_t kEventsId[] = L"{2B6D9F14-C3A7-4E58-B1F2-7D4A8C6E05B9}";
const wchar_t kClassId[] = L"{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}";
const wchar_t kIDispatchId[] = L"{00020400-0000-0000-C000-000000000046}";

GUID Guid(const wchar_t* text)
{
    GUID g = GUID_NULL;
    CLSIDFromString(const_cast<LPOLESTR>(text), &g);
    return g;
}

std::wstring GuidText(REFGUID g)
{
    wchar_t buf[40] = {};
    StringFromGUID2(g, buf, 40);
    return buf;
}

std::wstring TakeBstr(BSTR b)
{
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return s;
}

// Type attributes, released with the holder.
class TypeAttr
{
public:
    explicit TypeAttr(ITypeInfo* pInfo) : m_pInfo(pInfo)
    {
        if (FAILED(pInfo->GetTypeAttr(&m_pAttr)))
            m_pAttr = nullptr;
    }
    ~TypeAttr()
    {
        if (m_pAttr != nullptr)
            m_pInfo->ReleaseTypeAttr(m_pAttr);
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    const TYPEATTR* operator->() const { return m_pAttr; }
    bool Valid() const { return m_pAttr != nullptr; }

private:
    ITypeInfo* m_pInfo;
    TYPEATTR* m_pAttr = nullptr;
};

struct Doc
{
    std::wstring name;
    std::wstring help;
};

Doc Documentation(ITypeInfo* pInfo, MEMBERID id)
{
    BSTR name = nullptr;
    BSTR help = nullptr;
    pInfo->GetDocumentation(id, &name, &help, nullptr, nullptr);
    return {TakeBstr(name), TakeBstr(help)};
}

// A parameter or return type in IDL spelling, so that signatures compare as text.
std::wstring TypeText(ITypeInfo* pInfo, const TYPEDESC& td)
{
    switch (td.vt) {
    case VT_I4:
        return L"long";
    case VT_BSTR:
        return L"BSTR";
    case VT_BOOL:
        return L"VARIANT_BOOL";
    case VT_DISPATCH:
        return L"IDispatch*";
    case VT_UNKNOWN:
        return L"IUnknown*";
    case VT_HRESULT:
        return L"HRESULT";
    case VT_PTR:
        return TypeText(pInfo, *td.lptdesc) + L"*";
    case VT_USERDEFINED: {
        ComPtr<ITypeInfo> ref;
        if (FAILED(pInfo->GetRefTypeInfo(td.hreftype, ref.Put())))
            return L"<unresolved>";
        return Documentation(ref.Get(), MEMBERID_NIL).name;
    }
    default:
        return L"vt" + std::to_wstring(td.vt);
    }
}

// A default value as "type value", the way the expectations spell it.
std::wstring DefaultText(const VARIANT& v)
{
    switch (V_VT(&v)) {
    case VT_BSTR:
        return L"BSTR \"" + std::wstring(V_BSTR(&v) ? V_BSTR(&v) : L"") + L"\"";
    case VT_I4:
        return L"I4 " + std::to_wstring(V_I4(&v));
    case VT_I2:
        return L"I2 " + std::to_wstring(V_I2(&v));
    case VT_BOOL:
        return V_BOOL(&v) ? L"BOOL true" : L"BOOL false";
    case VT_DISPATCH:
        return V_DISPATCH(&v) ? L"DISPATCH object" : L"DISPATCH null";
    case VT_UNKNOWN:
        return V_UNKNOWN(&v) ? L"UNKNOWN object" : L"UNKNOWN null";
    default:
        return L"vt" + std::to_wstring(V_VT(&v));
    }
}

const USHORT kIn = PARAMFLAG_FIN;
const USHORT kInOptional = PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
const USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

struct Param
{
    const wchar_t* name;
    const wchar_t* type;
    USHORT flags;
    const wchar_t* defaultValue;   // only for kInOptional
};

struct Method
{
    const wchar_t* name;
    std::vector<Param> params;
};

const std::vector<Param> kReadKeyParams = {
    {L"strPortNr", L"BSTR", kInOptional, L"BSTR \"\""},
    {L"pDispUI", L"IDispatch*", kInOptional, L"DISPATCH null"},
    {L"hParentWnd", L"long", kInOptional, L"I4 0"},
    {L"piRes", L"long*", kRetval, nullptr},
};

// Vtable order: the position in this table is the DISPID minus one.
const std::vector<Method> kMethods = {
    {L"ReadKey", kReadKeyParams},
    {L"SelectPicturePart",
     {{L"hParentWnd", L"long", kIn, nullptr},
      {L"strFileName", L"BSTR", kIn, nullptr},
      {L"bCopyRes", L"VARIANT_BOOL", kInOptional, L"BOOL false"},
      {L"iSizeX", L"long", kInOptional, L"I4 0"},
      {L"iSizeY", L"long", kInOptional, L"I4 0"},
      {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"ReleasePicture",
     {{L"iSize", L"long", kIn, nullptr},
      {L"iQuality", L"long", kIn, nullptr},
      {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"ResizePicture",
     {{L"strFileName", L"BSTR", kIn, nullptr},
      {L"iDefWidth", L"long", kIn, nullptr},
      {L"iDefHeight", L"long", kIn, nullptr},
      {L"bCopyRes", L"VARIANT_BOOL", kInOptional, L"BOOL false"},
      {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"OpenPictureWith",
     {{L"hParentWnd", L"long", kIn, nullptr},
      {L"bstrFileName", L"BSTR", kIn, nullptr},
      {L"bstrProgName", L"BSTR", kIn, nullptr},
      {L"bCopyRes", L"VARIANT_BOOL", kInOptional, L"BOOL false"},
      {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"PrintPicture", {{L"hParentWnd", L"long", kIn, nullptr}, {L"strFileName", L"BSTR", kIn, nullptr}}},
    {L"EncodeFile", {{L"strFileName", L"BSTR", kIn, nullptr}, {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"ReleasePicture2",
     {{L"iSize", L"long", kIn, nullptr},
      {L"iQuality", L"long", kIn, nullptr},
      {L"iFlash", L"long", kIn, nullptr},
      {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"ReadHodTest", kReadKeyParams},
    {L"GetPictureFromCam", {{L"hParentWnd", L"long", kIn, nullptr}, {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"ScanPicture",
     {{L"hParentWnd", L"long", kIn, nullptr},
      {L"bRotate", L"VARIANT_BOOL", kIn, nullptr},
      {L"pstrRes", L"BSTR*", kRetval, nullptr}}},
    {L"SelectScanSource",
     {{L"hParentWnd", L"long", kIn, nullptr}, {L"pbSelected", L"VARIANT_BOOL*", kRetval, nullptr}}},
    {L"DestroyScanWindow", {}},
};

enum class Source { ModuleFile, Registration };

void PrintTo(Source s, std::ostream* os)
{
    *os << (s == Source::ModuleFile ? "the module file" : "the registration");
}

// Every check runs twice: on the library inside the module and on the registered one.
class TypeLibrary : public ::testing::TestWithParam<Source>
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        HRESULT hr = GetParam() == Source::ModuleFile
                         ? LoadTypeLibEx(DllPath().c_str(), REGKIND_NONE, m_lib.Put())
                         : LoadRegTypeLib(Guid(kLibId), 1, 0, LOCALE_NEUTRAL, m_lib.Put());
        ASSERT_EQ(hr, S_OK);
    }
    void TearDown() override
    {
        m_lib.Reset();
        CoUninitialize();
    }

    // The type with this GUID; fails the test when it is missing.
    void TypeOf(const wchar_t* guid, ComPtr<ITypeInfo>& out)
    {
        ASSERT_EQ(m_lib->GetTypeInfoOfGuid(Guid(guid), out.Put()), S_OK) << guid;
    }

    // The vtable half of the dual interface.
    void InterfaceHalf(ComPtr<ITypeInfo>& out)
    {
        ComPtr<ITypeInfo> disp;
        TypeOf(kInterfaceId, disp);
        HREFTYPE ref = 0;
        ASSERT_EQ(disp->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
        ASSERT_EQ(disp->GetRefTypeInfo(ref, out.Put()), S_OK);
    }

    ComPtr<ITypeLib> m_lib;
};

TEST_P(TypeLibrary, LibraryIdentity)
{
    TLIBATTR* pAttr = nullptr;
    ASSERT_EQ(m_lib->GetLibAttr(&pAttr), S_OK);
    EXPECT_EQ(GuidText(pAttr->guid), kLibId);
    EXPECT_EQ(pAttr->wMajorVerNum, 1);
    EXPECT_EQ(pAttr->wMinorVerNum, 0);
    EXPECT_EQ(pAttr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    m_lib->ReleaseTLibAttr(pAttr);

    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(m_lib->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(TakeBstr(name), L"TRELCLIENTHELPERLib");
    EXPECT_EQ(TakeBstr(help), L"TrelClientHelper 1.0 Type Library");

    // The interface, its event source and the class; nothing else is published.
    EXPECT_EQ(m_lib->GetTypeInfoCount(), 3u);
}

TEST_P(TypeLibrary, DualInterface)
{
    ComPtr<ITypeInfo> disp;
    TypeOf(kInterfaceId, disp);
    TypeAttr attr(disp.Get());
    ASSERT_TRUE(attr.Valid());
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_NE(attr->wTypeFlags & TYPEFLAG_FDUAL, 0);
    Doc doc = Documentation(disp.Get(), MEMBERID_NIL);
    EXPECT_EQ(doc.name, L"IClientHelper");
    EXPECT_EQ(doc.help, L"IClientHelper Interface");

    ComPtr<ITypeInfo> vtbl;
    InterfaceHalf(vtbl);
    TypeAttr vattr(vtbl.Get());
    ASSERT_TRUE(vattr.Valid());
    EXPECT_EQ(vattr->typekind, TKIND_INTERFACE);
    // The vtable half carries the automation flags that let the universal marshaler handle it.
    EXPECT_EQ(vattr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION),
              TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(GuidText(vattr->guid), kInterfaceId);
    EXPECT_EQ(vattr->cFuncs, kMethods.size());
    ASSERT_EQ(vattr->cImplTypes, 1);
    HREFTYPE baseRef = 0;
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(vtbl->GetRefTypeOfImplType(0, &baseRef), S_OK);
    ASSERT_EQ(vtbl->GetRefTypeInfo(baseRef, base.Put()), S_OK);
    TypeAttr battr(base.Get());
    ASSERT_TRUE(battr.Valid());
    EXPECT_EQ(GuidText(battr->guid), kIDispatchId);
}

TEST_P(TypeLibrary, EventSourceHasNoMembers)
{
    ComPtr<ITypeInfo> events;
    TypeOf(kEventsId, events);
    TypeAttr attr(events.Get());
    ASSERT_TRUE(attr.Valid());
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->wTypeFlags & TYPEFLAG_FDUAL, 0);
    Doc doc = Documentation(events.Get(), MEMBERID_NIL);
    EXPECT_EQ(doc.name, L"_IClientHelperEvents");
    EXPECT_EQ(doc.help, L"_IClientHelperEvents Interface");
    EXPECT_EQ(attr->cVars, 0);
    ASSERT_EQ(attr->cImplTypes, 1);
    HREFTYPE baseRef = 0;
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(events->GetRefTypeOfImplType(0, &baseRef), S_OK);
    ASSERT_EQ(events->GetRefTypeInfo(baseRef, base.Put()), S_OK);
    TypeAttr battr(base.Get());
    ASSERT_TRUE(battr.Valid());
    EXPECT_EQ(GuidText(battr->guid), kIDispatchId);
    // A dispinterface may list IDispatch's own members; anything else would be an event.
    static const wchar_t* const inherited[] = {L"QueryInterface", L"AddRef",        L"Release", L"GetTypeInfoCount",
                                               L"GetTypeInfo",    L"GetIDsOfNames", L"Invoke"};
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* pFunc = nullptr;
        ASSERT_EQ(events->GetFuncDesc(i, &pFunc), S_OK);
        std::wstring name = Documentation(events.Get(), pFunc->memid).name;
        events->ReleaseFuncDesc(pFunc);
        bool isInherited = false;
        for (const wchar_t* s : inherited)
            isInherited = isInherited || name == s;
        EXPECT_TRUE(isInherited) << "event member " << std::string(name.begin(), name.end());
    }
}

TEST_P(TypeLibrary, CreatableClassWithDefaultInterfaceAndEventSource)
{
    ComPtr<ITypeInfo> cls;
    TypeOf(kClassId, cls);
    TypeAttr attr(cls.Get());
    ASSERT_TRUE(attr.Valid());
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_NE(attr->wTypeFlags & TYPEFLAG_FCANCREATE, 0);
    Doc doc = Documentation(cls.Get(), MEMBERID_NIL);
    EXPECT_EQ(doc.name, L"ClientHelper");
    EXPECT_EQ(doc.help, L"ClientHelper Class");

    struct Impl
    {
        const wchar_t* guid;
        INT flags;
    };
    const Impl expected[] = {
        {kInterfaceId, IMPLTYPEFLAG_FDEFAULT},
        {kEventsId, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    };
    ASSERT_EQ(attr->cImplTypes, 2);
    for (UINT i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> impl;
        ASSERT_EQ(cls->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(cls->GetRefTypeInfo(ref, impl.Put()), S_OK);
        TypeAttr iattr(impl.Get());
        ASSERT_TRUE(iattr.Valid());
        EXPECT_EQ(GuidText(iattr->guid), expected[i].guid);
        INT flags = 0;
        ASSERT_EQ(cls->GetImplTypeFlags(i, &flags), S_OK);
        EXPECT_EQ(flags, expected[i].flags);
    }
}

TEST_P(TypeLibrary, MethodsInOrderWithIdsAndHelp)
{
    ComPtr<ITypeInfo> vtbl;
    InterfaceHalf(vtbl);
    for (size_t i = 0; i < kMethods.size(); ++i) {
        const Method& m = kMethods[i];
        SCOPED_TRACE(testing::Message() << "method " << i + 1);
        FUNCDESC* pFunc = nullptr;
        ASSERT_EQ(vtbl->GetFuncDesc(static_cast<UINT>(i), &pFunc), S_OK);
        EXPECT_EQ(pFunc->memid, static_cast<MEMBERID>(i + 1));
        EXPECT_EQ(pFunc->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(pFunc->invkind, INVOKE_FUNC);
        EXPECT_EQ(pFunc->callconv, CC_STDCALL);
        // The C++ vtable follows IDispatch's seven slots in this order.
        EXPECT_EQ(pFunc->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
        EXPECT_EQ(TypeText(vtbl.Get(), pFunc->elemdescFunc.tdesc), L"HRESULT");
        MEMBERID id = pFunc->memid;
        vtbl->ReleaseFuncDesc(pFunc);

        Doc doc = Documentation(vtbl.Get(), id);
        EXPECT_EQ(doc.name, m.name);
        EXPECT_EQ(doc.help, std::wstring(L"method ") + m.name);
    }
}

TEST_P(TypeLibrary, ParametersFlagsAndDefaults)
{
    ComPtr<ITypeInfo> vtbl;
    InterfaceHalf(vtbl);
    for (size_t i = 0; i < kMethods.size(); ++i) {
        const Method& m = kMethods[i];
        SCOPED_TRACE(testing::Message() << "method " << std::string(m.name, m.name + wcslen(m.name)));
        FUNCDESC* pFunc = nullptr;
        ASSERT_EQ(vtbl->GetFuncDesc(static_cast<UINT>(i), &pFunc), S_OK);
        ASSERT_EQ(static_cast<size_t>(pFunc->cParams), m.params.size());

        std::vector<BSTR> names(m.params.size() + 1, nullptr);
        UINT cNames = 0;
        EXPECT_EQ(vtbl->GetNames(pFunc->memid, names.data(), static_cast<UINT>(names.size()), &cNames), S_OK);
        EXPECT_EQ(cNames, names.size());
        EXPECT_EQ(TakeBstr(names[0]), m.name);

        for (size_t p = 0; p < m.params.size(); ++p) {
            const Param& expected = m.params[p];
            SCOPED_TRACE(testing::Message() << "parameter " << p + 1);
            const ELEMDESC& e = pFunc->lprgelemdescParam[p];
            EXPECT_EQ(TakeBstr(names[p + 1]), expected.name);
            EXPECT_EQ(TypeText(vtbl.Get(), e.tdesc), expected.type);
            EXPECT_EQ(e.paramdesc.wParamFlags, expected.flags);
            bool hasDefault = (e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT) != 0;
            if (expected.defaultValue != nullptr && hasDefault) {
                ASSERT_NE(e.paramdesc.pparamdescex, nullptr);
                EXPECT_EQ(DefaultText(e.paramdesc.pparamdescex->varDefaultValue), expected.defaultValue);
            }
        }
        vtbl->ReleaseFuncDesc(pFunc);
    }
}

INSTANTIATE_TEST_SUITE_P(FromModuleAndRegistry, TypeLibrary,
                         ::testing::Values(Source::ModuleFile, Source::Registration),
                         [](const ::testing::TestParamInfo<Source>& info) {
                             return info.param == Source::ModuleFile ? "ModuleFile" : "Registration";
                         });

// A client that loads the library by its LIBID must get this module's, not another copy.
TEST(RegisteredTypeLibrary, PathIsTheModule)
{
    CoInitialize(nullptr);
    BSTR path = nullptr;
    EXPECT_EQ(QueryPathOfRegTypeLib(Guid(kLibId), 1, 0, LOCALE_NEUTRAL, &path), S_OK);
    EXPECT_EQ(_wcsicmp(TakeBstr(path).c_str(), DllPath().c_str()), 0);
    CoUninitialize();
}

} // namespace
