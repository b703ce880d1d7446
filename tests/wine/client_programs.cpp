// OpenPictureWith and PrintPicture with a real parent window: it is hidden while the program runs
// and shown again, topmost, afterwards, also when the program fails; with no program and no
// registered editor the operator picks one in the open-file dialog.
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <cstdio>
#include <string>
#include <thread>

#include "TrelClientHelper_h.h"
#include "client_common.h"

namespace {

std::string ExeFolder()
{
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.rfind('\\') + 1);
}

std::string ReadText(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

void WriteText(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

class Programs : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                   m_helper.PutVoid()),
                  S_OK);
        m_parent = CreateWindowExA(0, "STATIC", "parent", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                                   nullptr, nullptr, nullptr);
        ASSERT_NE(m_parent, nullptr);
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        m_picture = std::string(temp) + "trel_programs.jpg";
        WriteText(m_picture, "picture");
    }
    void TearDown() override
    {
        DestroyWindow(m_parent);
        DeleteFileA(m_picture.c_str());
        m_helper.Reset();
        CoUninitialize();
    }
    // The stand-in's set-up: its exit code and the window it reports on.
    std::string Configure(const char* exeName, int exitCode)
    {
        std::string base = ExeFolder() + exeName;
        WriteText(base + ".cfg", "exit=" + std::to_string(exitCode) + "\nwatch=" +
                                     std::to_string(reinterpret_cast<LONG_PTR>(m_parent)) + "\n");
        DeleteFileA((base + ".log").c_str());
        return base;
    }
    LONG Parent() const { return static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_parent)); }
    bool ShownTopmost() const
    {
        return IsWindowVisible(m_parent) && (GetWindowLongA(m_parent, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    }

    ComPtr<IClientHelper> m_helper;
    HWND m_parent = nullptr;
    std::string m_picture;
};

TEST_F(Programs, ParentHiddenWhileTheEditorRunsAndShownTopmostAfter)
{
    std::string base = Configure("trel_photoed", 0);
    Bstr file(std::wstring(m_picture.begin(), m_picture.end()).c_str());
    std::string exe = base + ".exe";
    Bstr program(std::wstring(exe.begin(), exe.end()).c_str());
    Bstr result;
    ASSERT_EQ(m_helper->OpenPictureWith(Parent(), file, program, VARIANT_FALSE, result.Put()), S_OK);
    EXPECT_EQ(Narrow(result.Text()), m_picture);
    std::string calls = ReadText(base + ".log");
    EXPECT_NE(calls.find("watched=0\r\n"), std::string::npos) << calls;
    EXPECT_TRUE(ShownTopmost());
}

TEST_F(Programs, ParentShownAgainWhenTheProgramFails)
{
    std::string base = Configure("trel_photoed", 4);
    Bstr file(std::wstring(m_picture.begin(), m_picture.end()).c_str());
    std::string exe = base + ".exe";
    Bstr program(std::wstring(exe.begin(), exe.end()).c_str());
    Bstr result;
    EXPECT_EQ(m_helper->OpenPictureWith(Parent(), file, program, VARIANT_FALSE, result.Put()), E_FAIL);
    EXPECT_EQ(result.Text(), L"");
    EXPECT_NE(ReadText(base + ".log").find("watched=0\r\n"), std::string::npos);
    EXPECT_TRUE(ShownTopmost());

    ShowWindow(m_parent, SW_SHOW);
    SetWindowPos(m_parent, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    Bstr missing(L"Z:\\no\\such\\program.exe");
    HRESULT hr = m_helper->OpenPictureWith(Parent(), file, missing, VARIANT_FALSE, result.Put());
    EXPECT_TRUE(hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) << hr;
    EXPECT_TRUE(ShownTopmost()) << "a program that cannot start shows the parent again";
}

TEST_F(Programs, PrintHidesAndRestoresTheParent)
{
    std::string base = Configure("mspaint", 0);
    Bstr file(std::wstring(m_picture.begin(), m_picture.end()).c_str());
    ASSERT_EQ(m_helper->PrintPicture(Parent(), file), S_OK);
    std::string calls = ReadText(base + ".log");
    EXPECT_NE(calls.find("cmd=mspaint.exe /p \"" + m_picture + "\"\r\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("watched=0\r\n"), std::string::npos) << calls;
    EXPECT_TRUE(ShownTopmost());

    Configure("mspaint", 9);
    ShowWindow(m_parent, SW_SHOW);
    SetWindowPos(m_parent, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(m_helper->PrintPicture(Parent(), file), E_FAIL);
    EXPECT_TRUE(ShownTopmost());
}

TEST_F(Programs, PrintWithoutParentTouchesNoWindow)
{
    Configure("mspaint", 0);
    Bstr file(std::wstring(m_picture.begin(), m_picture.end()).c_str());
    ASSERT_EQ(m_helper->PrintPicture(0, file), S_OK);
    EXPECT_TRUE(IsWindowVisible(m_parent));
    EXPECT_EQ(GetWindowLongA(m_parent, GWL_EXSTYLE) & WS_EX_TOPMOST, 0) << "no parent given: nothing made topmost";
}

// "photoed" without a registered editor: the open-file dialog asks for the program, with the
// program filter as its first file type; cancelling it returns S_OK and no file, and the parent was
// never hidden.
TEST_F(Programs, PhotoEditorMissingAsksForTheProgram)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "Applications\\PhotoEd.exe\\shell\\open\\command", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        RegCloseKey(key);
        GTEST_SKIP() << "a photo editor is registered on this machine";
    }
    std::wstring filterShown;
    bool dialogSeen = false;
    std::thread watcher([&] {
        for (int i = 0; i < 200 && !dialogSeen; ++i) {
            Sleep(50);
            HWND dialog = FindWindowA("#32770", nullptr);
            if (dialog == nullptr || GetParent(dialog) != m_parent)
                continue;
            // The dialog's window may show before its file-type box is filled: wait for the text.
            HWND types = GetDlgItem(dialog, 0x470);
            wchar_t text[256] = {};
            if (types != nullptr)
                GetWindowTextW(types, text, 256);
            if (text[0] == L'\0' && i < 190)
                continue;
            dialogSeen = true;
            filterShown = text;
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        }
    });
    Bstr file(std::wstring(m_picture.begin(), m_picture.end()).c_str());
    Bstr program(L"photoed");
    Bstr result;
    HRESULT hr = m_helper->OpenPictureWith(Parent(), file, program, VARIANT_FALSE, result.Put());
    watcher.join();
    EXPECT_TRUE(dialogSeen);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(result.Text(), L"");
    EXPECT_EQ(filterShown, L"Программы (*.exe)");
    EXPECT_TRUE(IsWindowVisible(m_parent));
}

} // namespace
