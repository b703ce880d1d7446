// Working files: the folder, copies that never overwrite, the clean-up by last access time,
// and the photo editor look-up.
#include <gtest/gtest.h>
#include <windows.h>
#include <fstream>
#include <set>

#include "framework/Module.h"
#include "picture/WorkFolder.h"
#include "resources/resource.h"
#include "shell/ClientHelper.h"

namespace {

bool Exists(const std::string& name)
{
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteFile(const std::string& name, const std::string& content)
{
    std::ofstream(name, std::ios::binary) << content;
}

std::string ReadFile(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void SetLastAccessHoursAgo(const std::string& name, int hours)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER u;
    u.LowPart = now.dwLowDateTime;
    u.HighPart = now.dwHighDateTime;
    u.QuadPart -= static_cast<ULONGLONG>(hours) * 3600ull * 10000000ull;
    FILETIME t;
    t.dwLowDateTime = u.LowPart;
    t.dwHighDateTime = u.HighPart;
    HANDLE h = CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    ASSERT_TRUE(SetFileTime(h, nullptr, &t, nullptr));
    CloseHandle(h);
}

} // namespace

TEST(WorkFolder, IsTheTempFolderWithOneBackslash)
{
    std::string folder = GetWorkFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '\\');
    EXPECT_NE(folder.substr(folder.size() - 2), "\\\\");
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    EXPECT_EQ(_stricmp(folder.c_str(), temp), 0);
}

TEST(WorkFolder, CopiesNeverOverwrite)
{
    std::string srcDir = GetWorkFolder() + "trel_src\\";
    CreateDirectoryA(srcDir.c_str(), nullptr);
    std::string source = srcDir + "a,b.jpg";
    WriteFile(source, "original");

    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        std::string copy = MakeWorkCopy(source);
        EXPECT_EQ(copy.rfind(GetWorkFolder() + "FV", 0), 0u) << copy;
        EXPECT_EQ(copy.substr(copy.size() - 8), "_a,b.jpg");
        EXPECT_EQ(ReadFile(copy), "original");
        EXPECT_TRUE(names.insert(copy).second) << "drawn twice: " << copy;
        WriteFile(copy, "changed " + std::to_string(i));
    }
    // The caller's file stays as it was; each copy kept its own content.
    EXPECT_EQ(ReadFile(source), "original");
    int i = 0;
    for (const std::string& n : names) {
        EXPECT_EQ(ReadFile(n).substr(0, 8), "changed ");
        DeleteFileA(n.c_str());
        ++i;
    }
    DeleteFileA(source.c_str());

    // A file that does not exist: the name comes back unchanged and nothing is created.
    std::string missing = srcDir + "missing.jpg";
    EXPECT_EQ(MakeWorkCopy(missing), missing);
    EXPECT_FALSE(Exists(missing));
    RemoveDirectoryA(srcDir.c_str());
}

TEST(WorkFolder, CleanUpGoesByLastAccess)
{
    std::string folder = GetWorkFolder();
    std::string fresh = folder + "FV_clean_23h.jpg";
    std::string old = folder + "FV_clean_25h.jpg";
    std::string notOurs = folder + "XV_clean_25h.jpg";
    std::string dir = folder + "FV_clean_dir";
    WriteFile(fresh, "1");
    WriteFile(old, "2");
    WriteFile(notOurs, "3");
    CreateDirectoryA(dir.c_str(), nullptr);
    SetLastAccessHoursAgo(fresh, 23);
    SetLastAccessHoursAgo(old, 25);
    SetLastAccessHoursAgo(notOurs, 25);
    SetLastAccessHoursAgo(dir, 48);

    CleanWorkFolder();
    EXPECT_TRUE(Exists(fresh));
    EXPECT_FALSE(Exists(old));
    EXPECT_TRUE(Exists(notOurs));
    EXPECT_TRUE(Exists(dir));
    DeleteFileA(fresh.c_str());
    DeleteFileA(notOurs.c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST(WorkFolder, ConstructionCleansAndTheTimerIsKept)
{
    std::string old = GetWorkFolder() + "FV_ctor_30h.jpg";
    WriteFile(old, "x");
    SetLastAccessHoursAgo(old, 30);
    IUnknown* p = nullptr;
    ASSERT_EQ(CClientHelper::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&p)), S_OK);
    EXPECT_FALSE(Exists(old));
    EXPECT_NE(CurrentClientHelper(), nullptr);
    UINT_PTR first = CleanupTimerId();
    EXPECT_NE(first, 0u);

    // A second object takes over the current pointer and the stored timer.
    IUnknown* q = nullptr;
    ASSERT_EQ(CClientHelper::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&q)), S_OK);
    EXPECT_NE(CleanupTimerId(), 0u);
    EXPECT_NE(CleanupTimerId(), first);
    // The first timer was stopped when the second took over: none runs unrecorded.
    EXPECT_FALSE(KillTimer(nullptr, first));
    EXPECT_EQ(CurrentClientHelper()->GetWorkFolder(), GetWorkFolder());

    // A tick cleans for the current object; with none it does nothing.
    WriteFile(old, "x");
    SetLastAccessHoursAgo(old, 30);
    q->Release();
    EXPECT_EQ(CurrentClientHelper(), nullptr);
    CleanupTimerTick();
    EXPECT_TRUE(Exists(old));
    EXPECT_EQ(CleanupTimerId(), 0u);
    p->Release();
    EXPECT_EQ(ModuleLockCount(), 0);
    IUnknown* r = nullptr;
    ASSERT_EQ(CClientHelper::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&r)), S_OK);
    EXPECT_FALSE(Exists(old));  // construction cleaned it
    WriteFile(old, "x");
    SetLastAccessHoursAgo(old, 30);
    CleanupTimerTick();
    EXPECT_FALSE(Exists(old));
    r->Release();
}

class PhotoEditor : public testing::Test
{
protected:
    static constexpr const char* kKey = "Applications\\PhotoEd.exe\\shell\\open\\command";
    void TearDown() override { RegDeleteTreeA(HKEY_CLASSES_ROOT, "Applications\\PhotoEd.exe"); }
    void SetValue(const std::string& value)
    {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), 0);
        RegSetValueExA(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(h);
    }
    std::string LookUp(bool* found = nullptr)
    {
        IUnknown* p = nullptr;
        EXPECT_EQ(CClientHelper::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&p)), S_OK);
        CClientHelper* helper = CurrentClientHelper();
        bool ok = helper->LookUpPhotoEditor();
        if (found)
            *found = ok;
        std::string command = helper->EditorCommand();
        p->Release();
        return command;
    }
};

TEST_F(PhotoEditor, CommandWithoutItsLastFourCharacters)
{
    SetValue("\"C:\\Program Files\\PhotoEd\\PhotoEd.exe\" \"%1\"");
    bool found = false;
    EXPECT_EQ(LookUp(&found), "\"C:\\Program Files\\PhotoEd\\PhotoEd.exe\" ");
    EXPECT_TRUE(found);
}

TEST_F(PhotoEditor, MissingOrTooShortLeavesItEmpty)
{
    bool found = true;
    EXPECT_EQ(LookUp(&found), "");
    EXPECT_FALSE(found);
    SetValue("abc");
    EXPECT_EQ(LookUp(), "");
    SetValue(std::string(2000, 'x'));  // longer than the buffer: the read fails
    EXPECT_EQ(LookUp(&found), "");
    EXPECT_FALSE(found);
}

TEST(StringTable, RussianTextsLoad)
{
    EXPECT_EQ(LoadResStringW(IDS_PROJNAME), L"TrelClientHelper");
    EXPECT_EQ(LoadResStringW(IDS_KEY_READ), L"Ключ успешно прочитан");
    EXPECT_EQ(LoadResStringW(IDS_PROGRAM_FILTER), L"Программы (*.exe)|*.exe|Все файлы(*.*)|*.*|");
    EXPECT_EQ(LoadResString(IDS_NOT_SELECTED), ToAnsi(L"<НЕ ВЫБРАН>"));
    EXPECT_EQ(LoadResStringW(123), L"");
    // The narrow form is code page 1251 under the Russian locale the component is made for.
    EXPECT_EQ(GetACP(), 1251u);
}
