// Self-registration of the module: what DllUnregisterServer removes and DllRegisterServer writes.
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "client_common.h"

namespace {

const wchar_t kClassKey[] = L"CLSID\\{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}";
const wchar_t kClassId[] = L"{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}";
const wchar_t kLibId[] = L"{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}";
const wchar_t kProgId[] = L"TrelClientHelper.ClientHelper.1";
const wchar_t kIndependentProgId[] = L"TrelClientHelper.ClientHelper";
const wchar_t kSafeForScripting[] = L"{7DD95801-9882-11CF-9FA9-00AA006C42C4}";

std::wstring Lower(std::wstring s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return s;
}

bool KeyExists(const std::wstring& path)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

// A key as it stands: its subkey names and its values ("" is the default value), names lower-cased
// because the registry compares them without case. Non-string values show their type instead.
struct KeyContents
{
    bool exists = false;
    std::vector<std::wstring> subkeys;
    std::map<std::wstring, std::wstring> values;
};

KeyContents ReadKey(const std::wstring& path)
{
    KeyContents k;
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return k;
    k.exists = true;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD n = 256;
        if (RegEnumKeyExW(h, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        k.subkeys.push_back(Lower(name));
    }
    std::sort(k.subkeys.begin(), k.subkeys.end());
    for (DWORD i = 0;; ++i) {
        DWORD n = 256;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(h, i, name, &n, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size + sizeof(wchar_t), 0);
        n = 256;
        RegEnumValueW(h, i, name, &n, nullptr, &type, data.data(), &size);
        std::wstring text = type == REG_SZ ? std::wstring(reinterpret_cast<const wchar_t*>(data.data()))
                                           : L"<type " + std::to_wstring(type) + L">";
        k.values[Lower(name)] = text;
    }
    RegCloseKey(h);
    return k;
}

struct ExpectedKey
{
    std::wstring path;
    std::map<std::wstring, std::wstring> values;
    std::vector<std::wstring> subkeys;   // lower case, sorted
};

class Registration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        m_module = LoadLibraryW(DllPath().c_str());
        ASSERT_NE(m_module, nullptr);
        m_register = GetEntry("DllRegisterServer");
        m_unregister = GetEntry("DllUnregisterServer");
        ASSERT_NE(m_register, nullptr);
        ASSERT_NE(m_unregister, nullptr);
        wchar_t path[MAX_PATH] = {};
        ASSERT_GT(GetModuleFileNameW(m_module, path, MAX_PATH), 0u);
        m_modulePath = path;
    }

    void TearDown() override
    {
        // The other tests need the component registered, whatever happened here.
        if (m_register != nullptr) {
            EXPECT_EQ(m_register(), S_OK);
        }
        if (m_module != nullptr)
            FreeLibrary(m_module);
        CoUninitialize();
    }

    using Entry = HRESULT(STDAPICALLTYPE*)();
    Entry GetEntry(const char* name)
    {
        return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    }

    std::vector<ExpectedKey> ExpectedKeys() const
    {
        return {
            {kProgId, {{L"", L"ClientHelper Class"}}, {L"clsid"}},
            {std::wstring(kProgId) + L"\\CLSID", {{L"", kClassId}}, {}},
            {kIndependentProgId, {{L"", L"ClientHelper Class"}}, {L"clsid", L"curver"}},
            {std::wstring(kIndependentProgId) + L"\\CLSID", {{L"", kClassId}}, {}},
            {std::wstring(kIndependentProgId) + L"\\CurVer", {{L"", kProgId}}, {}},
            {kClassKey,
             {{L"", L"ClientHelper Class"}},
             {L"implemented categories", L"inprocserver32", L"progid", L"programmable", L"typelib",
              L"versionindependentprogid"}},
            {std::wstring(kClassKey) + L"\\ProgID", {{L"", kProgId}}, {}},
            {std::wstring(kClassKey) + L"\\VersionIndependentProgID", {{L"", kIndependentProgId}}, {}},
            {std::wstring(kClassKey) + L"\\Programmable", {}, {}},
            {std::wstring(kClassKey) + L"\\InprocServer32",
             {{L"", m_modulePath}, {L"threadingmodel", L"Apartment"}},
             {}},
            {std::wstring(kClassKey) + L"\\TypeLib", {{L"", kLibId}}, {}},
            {std::wstring(kClassKey) + L"\\Implemented Categories", {}, {Lower(kSafeForScripting)}},
            {std::wstring(kClassKey) + L"\\Implemented Categories\\" + kSafeForScripting, {}, {}},
        };
    }

    // Every key of the registration exactly: its values (all REG_SZ) and no subkey more or less.
    void ExpectRegistered() const
    {
        for (const ExpectedKey& e : ExpectedKeys()) {
            SCOPED_TRACE(Narrow(e.path));
            KeyContents k = ReadKey(e.path);
            ASSERT_TRUE(k.exists);
            EXPECT_EQ(k.values, e.values);
            EXPECT_EQ(k.subkeys, e.subkeys);
        }
    }

    HMODULE m_module = nullptr;
    Entry m_register = nullptr;
    Entry m_unregister = nullptr;
    std::wstring m_modulePath;
};

TEST_F(Registration, UnregisterRemovesClassAndTypeLibrary)
{
    ASSERT_EQ(m_register(), S_OK);
    std::wstring version = std::wstring(L"TypeLib\\") + kLibId + L"\\1.0";
    // Otherwise its absence below would prove nothing.
    EXPECT_TRUE(KeyExists(version));
    ASSERT_EQ(m_unregister(), S_OK);

    EXPECT_FALSE(KeyExists(kIndependentProgId));
    EXPECT_FALSE(KeyExists(kProgId));
    EXPECT_FALSE(KeyExists(kClassKey));
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_FALSE(KeyExists(version));

    CLSID clsid = GUID_NULL;
    EXPECT_NE(CLSIDFromProgID(kIndependentProgId, &clsid), S_OK);
    ITypeLib* pLib = nullptr;
    GUID libId = GUID_NULL;
    CLSIDFromString(const_cast<LPOLESTR>(kLibId), &libId);
    EXPECT_NE(LoadRegTypeLib(libId, 1, 0, LOCALE_NEUTRAL, &pLib), S_OK);
    if (pLib != nullptr)
        pLib->Release();

    // Uninstalling twice must not fail the second time.
    EXPECT_EQ(m_unregister(), S_OK);
}

TEST_F(Registration, RegisterWritesEveryKey)
{
    ASSERT_EQ(m_unregister(), S_OK);
    ASSERT_EQ(m_register(), S_OK);
    ExpectRegistered();

    CLSID expected = GUID_NULL;
    CLSIDFromString(const_cast<LPOLESTR>(kClassId), &expected);
    for (const wchar_t* progId : {kProgId, kIndependentProgId}) {
        CLSID clsid = GUID_NULL;
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << Narrow(progId);
        EXPECT_TRUE(IsEqualGUID(clsid, expected)) << Narrow(progId);
    }
}

TEST_F(Registration, RegisterRecordsTypeLibraryAtThisModule)
{
    ASSERT_EQ(m_unregister(), S_OK);
    ASSERT_EQ(m_register(), S_OK);
    std::wstring version = std::wstring(L"TypeLib\\") + kLibId + L"\\1.0";
    EXPECT_EQ(ReadKey(version).values[L""], L"TrelClientHelper 1.0 Type Library");
    std::wstring platform = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";
    EXPECT_EQ(Lower(ReadKey(version + platform).values[L""]), Lower(m_modulePath));

    // Scripts in another apartment reach the dual interface through the type library marshaler.
    std::wstring iface = L"Interface\\{9E27C4A3-1B58-4D6F-8A90-C3E5F1072B6D}";
    EXPECT_EQ(ReadKey(iface + L"\\TypeLib").values[L""], kLibId);
    EXPECT_EQ(ReadKey(iface + L"\\ProxyStubClsid32").values[L""], L"{00020424-0000-0000-C000-000000000046}");
}

TEST_F(Registration, RegisterReplacesStaleClassKey)
{
    ASSERT_EQ(m_register(), S_OK);
    HKEY h = nullptr;
    std::wstring stale = std::wstring(kClassKey) + L"\\Stale\\Nested";
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
    const wchar_t old[] = L"old";
    RegSetValueExW(h, L"StaleValue", 0, REG_SZ, reinterpret_cast<const BYTE*>(old), sizeof(old));
    RegCloseKey(h);

    ASSERT_EQ(m_register(), S_OK);
    EXPECT_FALSE(KeyExists(std::wstring(kClassKey) + L"\\Stale"));
    ExpectRegistered();
}

} // namespace
