// What the component does when the machine works against it: the log locked or not writable, the
// temporary folder missing, the disk full while a picture is saved. Each call gives its error,
// never a crash, and a picture file is never left half-written.
//
// scripts/failure-injection.sh runs this program with TREL_FULL_DRIVE naming a small full drive
// (a little filesystem mapped as a drive of the prefix) and a picture on it.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

#include "TrelClientHelper_h.h"
#include "client_common.h"
#include "client_fixture.h"

namespace {

std::string ReadAll(const std::string& path)
{
    std::string bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0)
        bytes.append(buf, n);
    CloseHandle(h);
    return bytes;
}

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}


// Runs `call` with the process's temporary folder (the component's working folder) set to `folder`.
template <class Call>
auto WithTemporaryFolder(const std::string& folder, Call call)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    SetEnvironmentVariableA("TMP", folder.c_str());
    SetEnvironmentVariableA("TEMP", folder.c_str());
    auto result = call();
    SetEnvironmentVariableA("TMP", temp);
    SetEnvironmentVariableA("TEMP", temp);
    return result;
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::string LogPath()
{
    std::wstring dll = DllPath();
    return Narrow(dll.substr(0, dll.rfind(L'\\') + 1)) + "trel_log.txt";
}

using Injection = ClientHelperTest;

const wchar_t kSaveFailed[] = L"CClientHelper::ResizePicture()\r\nНе удалось сохранить файл.";

} // namespace

TEST_F(Injection, LogLockedOrNotAFile)
{
    Bstr missing(L"C:\\trel-no-such-folder\\picture.jpg"), res;
    const std::string log = LogPath(), aside = log + ".aside";
    // Locked by another program: the call still fails the documented way.
    HANDLE lock = CreateFileA(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(m_helper->EncodeFile(missing, res.Put()), DISP_E_EXCEPTION);
    EXPECT_FALSE(ThreadErrorText().empty());
    EXPECT_EQ(m_helper->ResizePicture(missing, 640, 480, VARIANT_FALSE, res.Put()), E_FAIL);
    EXPECT_NE(ThreadErrorText().find(L"CClientHelper::ResizePicture()\r\n"), std::wstring::npos);
    CloseHandle(lock);

    // A folder where the log file should be: nothing can be written there.
    ASSERT_TRUE(MoveFileExA(log.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(CreateDirectoryA(log.c_str(), nullptr));
    EXPECT_EQ(m_helper->ResizePicture(missing, 640, 480, VARIANT_FALSE, res.Put()), E_FAIL);
    EXPECT_NE(ThreadErrorText().find(L"CClientHelper::ResizePicture()\r\n"), std::wstring::npos);
    LONG key = 0;
    EXPECT_TRUE(FAILED(m_helper->ReadKey(Bstr(L"COM98"), nullptr, 0, &key)));
    RemoveDirectoryA(log.c_str());
    MoveFileExA(aside.c_str(), log.c_str(), MOVEFILE_REPLACE_EXISTING);
}

TEST_F(Injection, TemporaryFolderMissing)
{
    // The working folder is the system's temporary folder; point it at nothing for this process.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string picture = std::string(temp) + "trel_injection.bmp";
    ASSERT_TRUE(CopyFileA((std::string(std::getenv("TREL_PICTURE_DIR")) + "\\photo.bmp").c_str(), picture.c_str(),
                          FALSE));
    Bstr name(Wide(picture).c_str()), res;
    std::wstring text;
    HRESULT hr = WithTemporaryFolder("C:\\trel-no-such-temp", [&] {
        HRESULT result = m_helper->ResizePicture(name, 640, 480, VARIANT_TRUE, res.Put());
        text = ThreadErrorText();
        return result;
    });
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(text.rfind(L"CClientHelper::ResizePicture()\r\n", 0), 0u) << Narrow(text);
    EXPECT_EQ(GetFileAttributesA("C:\\trel-no-such-temp"), INVALID_FILE_ATTRIBUTES);
    // The caller's picture is as it was.
    EXPECT_EQ(ReadAll(picture), ReadAll(std::string(std::getenv("TREL_PICTURE_DIR")) + "\\photo.bmp"));
    DeleteFileA(picture.c_str());
}

TEST_F(Injection, DiskFullWhileAPictureIsSaved)
{
    const char* drive = std::getenv("TREL_FULL_DRIVE");
    if (drive == nullptr)
        GTEST_SKIP() << "no small drive was mapped (scripts/failure-injection.sh maps one)";
    // The drive holds the 1600 x 1200 bitmap and too little room for its 640 x 480 version.
    const std::string folder = std::string(drive) + "\\", picture = folder + "photo.bmp";
    const std::string original = ReadAll(picture);
    ASSERT_GT(original.size(), 5000000u);
    Bstr name(Wide(picture).c_str()), res;
    EXPECT_EQ(m_helper->ResizePicture(name, 640, 480, VARIANT_FALSE, res.Put()), E_FAIL);
    EXPECT_EQ(ThreadErrorText(), kSaveFailed);
    // The old picture is whole and nothing else was left on the drive.
    EXPECT_TRUE(ReadAll(picture) == original) << "the picture changed";
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"photo.bmp"});

    // The same with the working folder on the full drive: the copy cannot be made.
    const std::string work = folder + "work\\";
    CreateDirectoryA(work.c_str(), nullptr);
    std::wstring text;
    HRESULT hr = WithTemporaryFolder(work, [&] {
        HRESULT result = m_helper->ResizePicture(name, 640, 480, VARIANT_TRUE, res.Put());
        text = ThreadErrorText();
        return result;
    });
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(text.rfind(L"CClientHelper::ResizePicture()\r\n", 0), 0u) << Narrow(text);
    EXPECT_TRUE(FilesIn(work).empty()) << "a half-written copy was left: " << FilesIn(work).front();
    EXPECT_TRUE(ReadAll(picture) == original);
}
