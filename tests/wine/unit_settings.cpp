// The settings store against the registry of the test prefix, with values of every shape written
// around it directly.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <comdef.h>
#include <winternl.h>

#include <string>

#include "framework/Module.h"
#include "ports/Settings.h"

namespace {

const char kTestSubkey[] = "TrelSettingsTest";
const char kTestKeyPath[] = "Software\\TrelSettingsTest";

class Settings : public testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKeyPath);
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &m_key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        if (m_key) {
            // Hand the key back to everyone, should a test have locked it.
            SetSecurityInfo(m_key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr);
            RegCloseKey(m_key);
        }
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKeyPath);
    }

    void Put(const char* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(RegSetValueExA(m_key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS) << name;
    }
    void PutString(const char* name, const std::string& bytes, DWORD type = REG_SZ)
    {
        Put(name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

    // Stores UTF-16 data as it stands: the registry functions would add a missing terminating
    // zero, other writers of the key need not.
    void PutRaw(const wchar_t* name, const std::wstring& text)
    {
        typedef LONG(NTAPI * SetValueKey)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
        FARPROC proc = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey");
        auto setValueKey = reinterpret_cast<SetValueKey>(reinterpret_cast<void (*)()>(proc));
        ASSERT_NE(setValueKey, nullptr);
        UNICODE_STRING unicodeName;
        unicodeName.Buffer = const_cast<wchar_t*>(name);
        unicodeName.Length = unicodeName.MaximumLength = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
        ASSERT_EQ(setValueKey(m_key, &unicodeName, 0, REG_SZ, const_cast<wchar_t*>(text.data()),
                              static_cast<ULONG>(text.size() * sizeof(wchar_t))),
                  0);
    }

    HKEY m_key = nullptr;
};

TEST_F(Settings, StringsAndDwordsRoundTripAndAreRewrittenWhole)
{
    std::string item = ToAnsi(L"PORT:\\\\.\\COM3|\x041F\x043E\x0440\x0442 (COM3)");
    WriteSettingString("KeyPort", item, kTestSubkey);
    EXPECT_EQ(ReadSettingString("KeyPort", kTestSubkey), item);
    WriteSettingString("KeyPort", "COM4", kTestSubkey);
    EXPECT_EQ(ReadSettingString("KeyPort", kTestSubkey), "COM4");
    WriteSettingString("KeyPort", "", kTestSubkey);
    EXPECT_EQ(ReadSettingString("KeyPort", kTestSubkey), "");

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(m_key, "KeyPort", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 1u);

    WriteSettingDword("Picture300x400SelectRight", 0xFFFFFFFFu, kTestSubkey);
    EXPECT_EQ(ReadSettingDword("Picture300x400SelectRight", kTestSubkey, 0), 0xFFFFFFFFu);
    WriteSettingDword("Picture300x400SelectRight", 299, kTestSubkey);
    EXPECT_EQ(ReadSettingDword("Picture300x400SelectRight", kTestSubkey, 0), 299u);
    ASSERT_EQ(RegQueryValueExA(m_key, "Picture300x400SelectRight", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
}

TEST_F(Settings, TheKeyIsCreatedUnderSoftwareWhenMissing)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\TrelSettingsTestNew");
    EXPECT_EQ(ReadSettingString("HodTestPort", "TrelSettingsTestNew"), "");
    EXPECT_EQ(ReadSettingDword("Picture1x1SelectTop", "TrelSettingsTestNew", 17), 17u);
    WriteSettingString("HodTestPort", "USB4660", "TrelSettingsTestNew");
    WriteSettingDword("Picture1x1SelectTop", 3, "TrelSettingsTestNew");
    EXPECT_EQ(ReadSettingString("HodTestPort", "TrelSettingsTestNew"), "USB4660");
    EXPECT_EQ(ReadSettingDword("Picture1x1SelectTop", "TrelSettingsTestNew", 17), 3u);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\TrelSettingsTestNew"), ERROR_SUCCESS);
}

TEST_F(Settings, StringsUpTo1024BytesEndingWithZeroAreRead)
{
    std::string text1023(1023, 'A');
    PutString("Exact", text1023 + '\0');
    EXPECT_EQ(ReadSettingString("Exact", kTestSubkey), text1023);

    PutString("Longer", std::string(1024, 'B') + '\0');
    EXPECT_EQ(ReadSettingString("Longer", kTestSubkey), "");
    PutString("Huge", std::string(70000, 'C') + '\0');
    EXPECT_EQ(ReadSettingString("Huge", kTestSubkey), "");

    PutRaw(L"Unterminated", L"COM5");
    EXPECT_EQ(ReadSettingString("Unterminated", kTestSubkey), "");
    PutRaw(L"Unterminated1024", std::wstring(1024, L'D'));
    EXPECT_EQ(ReadSettingString("Unterminated1024", kTestSubkey), "");
    PutRaw(L"Terminated", std::wstring(L"COM5\0", 5));
    EXPECT_EQ(ReadSettingString("Terminated", kTestSubkey), "COM5");

    PutString("Empty", "");
    EXPECT_EQ(ReadSettingString("Empty", kTestSubkey), "");
    PutString("InnerZero", std::string("COM5\0COM6\0", 10));
    EXPECT_EQ(ReadSettingString("InnerZero", kTestSubkey), "COM5");

    PutString("Expand", std::string("%TEMP%\\x") + '\0', REG_EXPAND_SZ);
    EXPECT_EQ(ReadSettingString("Expand", kTestSubkey), "%TEMP%\\x");
}

TEST_F(Settings, ValuesOfAnyOtherTypeOrSizeGiveTheDefault)
{
    DWORD four = 4;
    Put("KeyPort", REG_DWORD, &four, sizeof(four));
    EXPECT_EQ(ReadSettingString("KeyPort", kTestSubkey), "");
    PutString("Binary", std::string("COM5") + '\0', REG_BINARY);
    EXPECT_EQ(ReadSettingString("Binary", kTestSubkey), "");
    PutString("Multi", std::string("COM5\0\0", 6), REG_MULTI_SZ);
    EXPECT_EQ(ReadSettingString("Multi", kTestSubkey), "");
    EXPECT_EQ(ReadSettingString("Missing", kTestSubkey), "");
    EXPECT_EQ(ReadSettingString("KeyPort", "TrelSettingsNoSuchKey"), "");

    const DWORD def = 0x5A5A5A5A;
    BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Put("Dword0", REG_DWORD, bytes, 0);
    Put("Dword3", REG_DWORD, bytes, 3);
    Put("Dword8", REG_DWORD, bytes, 8);
    Put("Qword", REG_QWORD, bytes, 8);
    Put("BigEndian", REG_DWORD_BIG_ENDIAN, bytes, 4);
    Put("Binary4", REG_BINARY, bytes, 4);
    PutString("Text", std::string("5") + '\0');
    for (const char* name : {"Dword0", "Dword3", "Dword8", "Qword", "BigEndian", "Binary4", "Text", "Missing"})
        EXPECT_EQ(ReadSettingDword(name, kTestSubkey, def), def) << name;
    EXPECT_EQ(ReadSettingDword("Dword0", "TrelSettingsNoSuchKey", def), def);
    EXPECT_EQ(ReadSettingDword("Picture300x400SelectLeft", kTestSubkey, 0), 0u);
}

// A key that refuses writes to everyone, as HKEY_LOCAL_MACHINE does to a user without rights.
TEST_F(Settings, AFailedWriteRaisesEFailWithTheSaveText)
{
    PutString("KeyPort", std::string("COM3") + '\0');
    EXPLICIT_ACCESSA deny = {};
    deny.grfAccessPermissions = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    deny.grfAccessMode = DENY_ACCESS;
    deny.grfInheritance = NO_INHERITANCE;
    deny.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    deny.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    deny.Trustee.ptstrName = const_cast<char*>("EVERYONE");
    EXPLICIT_ACCESSA allow = deny;
    allow.grfAccessPermissions = KEY_READ | WRITE_DAC | DELETE;
    allow.grfAccessMode = GRANT_ACCESS;
    EXPLICIT_ACCESSA entries[] = {deny, allow};
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclA(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(SetSecurityInfo(m_key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(acl);

    for (int dword = 0; dword < 2; ++dword) {
        try {
            if (dword)
                WriteSettingDword("Picture300x400SelectLeft", 5, kTestSubkey);
            else
                WriteSettingString("KeyPort", "COM9", kTestSubkey);
            ADD_FAILURE() << "the write was reported as done";
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), E_FAIL);
            EXPECT_EQ(std::wstring(e.Description()),
                      L"Failed to save params to the registry. The user might have no access rights for it.");
        }
    }
    EXPECT_EQ(ReadSettingString("KeyPort", kTestSubkey), "COM3");
}

} // namespace
