// The call frame and its three handlers, driven directly: what a caller gets back and what the
// log receives for each kind of failure.
#include <gtest/gtest.h>
#include <windows.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "framework/AfxException.h"
#include "framework/Module.h"
#include "resources/resource.h"
#include "shell/CallFrame.h"
#include "framework/ErrorReport.h"

namespace {

std::string ReadLog()
{
    std::ifstream f(LogFilePath(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct ThreadError {
    HRESULT query = S_OK;
    std::wstring description, source;
};

ThreadError TakeThreadError()
{
    ThreadError e;
    IErrorInfo* p = nullptr;
    e.query = GetErrorInfo(0, &p);
    if (e.query == S_OK && p) {
        BSTR b = nullptr;
        if (SUCCEEDED(p->GetDescription(&b)) && b)
            e.description = b;
        SysFreeString(b);
        b = nullptr;
        if (SUCCEEDED(p->GetSource(&b)) && b)
            e.source = b;
        SysFreeString(b);
        p->Release();
    }
    return e;
}

class Frame : public testing::Test
{
protected:
    void SetUp() override
    {
        SetErrorInfo(0, nullptr);
        m_logBefore = ReadLog();
    }
    std::string NewLog() const
    {
        std::string now = ReadLog();
        return now.size() >= m_logBefore.size() ? now.substr(m_logBefore.size()) : now;
    }
    std::string m_logBefore;
};

} // namespace

TEST_F(Frame, StringTableErrorReachesTheCallerAndTheLog)
{
    HRESULT hr = RunInFrame(L"CClientHelper::ResizePicture()", [] { CheckOrThrowId(false, IDS_LOAD_FAILED); });
    EXPECT_EQ(hr, E_FAIL);
    ThreadError e = TakeThreadError();
    ASSERT_EQ(e.query, S_OK);
    EXPECT_EQ(e.source, L"TrelClientHelper.ClientHelper.1");
    EXPECT_EQ(e.description, L"CClientHelper::ResizePicture()\r\nНе удалось загрузить файл с изображением.");
    std::string entry = NewLog();
    // One entry: Russian date, tab, the text in code page 1251, three tabs, where it was written.
    std::regex line(R"(^\d{2}\.\d{2}\.\d{4} \d{1,2}:\d{2}:\d{2}\tCClientHelper::ResizePicture\(\)\r\n([^\t]*)\t\t\tFile: src/framework/ErrorReport\.cpp; Line: \d+\r\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(entry, m, line)) << entry;
    EXPECT_EQ(m[1].str(), ToAnsi(L"Не удалось загрузить файл с изображением."));
}

TEST_F(Frame, FrameworkExceptionPutsTheMessageFirstAndLogsNothing)
{
    HRESULT hr = RunInFrame(L"CClientHelper::EncodeFile()", [] {
        AfxThrowFileException(CFileException::fileNotFound, ERROR_FILE_NOT_FOUND, "c:\\nothing.bin");
    });
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    ThreadError e = TakeThreadError();
    EXPECT_EQ(e.source, L"TrelClientHelper.ClientHelper.1");
    ASSERT_GT(e.description.size(), 30u);
    EXPECT_EQ(e.description.substr(e.description.size() - 29), L"\r\nCClientHelper::EncodeFile()");
    EXPECT_EQ(e.description.rfind(L"c:\\nothing.bin", 0), 0u);
    EXPECT_EQ(NewLog(), "");
}

TEST_F(Frame, FrameworkExceptionWithoutMessage)
{
    HRESULT hr = RunInFrame(L"CClientHelper::PrintPicture()", [] { throw new CSimpleException(); });
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_EQ(TakeThreadError().description,
              L"Unknown Error! Failed to get the error message!\r\nCClientHelper::PrintPicture()");
}

TEST_F(Frame, AnyOtherExceptionBecomesEFailWithTheSystemText)
{
    HRESULT hr = RunInFrame(L"CClientHelper::ScanPicture()", [] { throw std::runtime_error("x"); });
    EXPECT_EQ(hr, E_FAIL);
    ThreadError e = TakeThreadError();
    std::wstring expected = L"CClientHelper::ScanPicture()\r\n" + FromAnsi(ComErrorMessageText(E_FAIL));
    EXPECT_EQ(e.description, expected);
    EXPECT_FALSE(ComErrorMessageText(E_FAIL).empty());
    EXPECT_NE(NewLog().find("CClientHelper::ScanPicture()"), std::string::npos);
}

TEST_F(Frame, ComErrorWithoutTextGetsTheMessageOfItsCode)
{
    HRESULT hr = RunInFrame(L"CClientHelper::ReadKey()", [] { ThrowComError(E_ACCESSDENIED, nullptr); });
    EXPECT_EQ(hr, E_ACCESSDENIED);
    std::wstring d = TakeThreadError().description;
    EXPECT_EQ(d, L"CClientHelper::ReadKey()\r\n" + FromAnsi(ComErrorMessageText(E_ACCESSDENIED)));
    // A code with no system text at all is named by number.
    hr = RunInFrame(L"C()", [] { ThrowComError(static_cast<HRESULT>(0x8004FE01), nullptr); });
    EXPECT_EQ(TakeThreadError().description, L"C()\r\nIDispatch error #64513");
    hr = RunInFrame(L"C()", [] { ThrowComError(0, "zero"); });
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
}

TEST_F(Frame, SuccessLeavesNoErrorInformation)
{
    EXPECT_EQ(RunInFrame(L"C()", [] { CheckOrThrow(true, "never"); }), S_OK);
    EXPECT_EQ(TakeThreadError().query, S_FALSE);
    EXPECT_EQ(NewLog(), "");
}

TEST_F(Frame, CheckWin32CarriesTheSystemMessageAndTheText)
{
    HRESULT hr = RunInFrame(L"C()", [] {
        SetLastError(ERROR_FILE_NOT_FOUND);
        CheckWin32(false, "CCOMFile::Open CreateFile()");
    });
    EXPECT_EQ(static_cast<ULONG>(hr), 0x80070002u);
    std::wstring d = TakeThreadError().description;
    std::wstring sys = FromAnsi(ComErrorMessageText(hr));
    EXPECT_FALSE(sys.empty());
    EXPECT_EQ(d, L"C()\r\n" + sys + L"\r\nCCOMFile::Open CreateFile()");

    // No error code (a read that timed out): E_FAIL and the text alone.
    hr = RunInFrame(L"C()", [] {
        SetLastError(0);
        CheckWin32(false, "CCOMFile::Read ReadFile()");
    });
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(TakeThreadError().description, L"C()\r\nCCOMFile::Read ReadFile()");
}

TEST_F(Frame, WideTextsAreConvertedToTheAnsiCodePage)
{
    RunInFrame(L"C()", [] { CheckOrThrow(false, L"Порт занят"); });
    EXPECT_EQ(TakeThreadError().description, L"C()\r\nПорт занят");
}

TEST_F(Frame, UndoRunsOnFailureAndTheSameExceptionGoesOn)
{
    int undone = 0;
    HRESULT hr = RunInFrame(L"CClientHelper::ResizePicture()", [&] {
        UndoOnFailure([] { CheckOrThrowId(false, IDS_SAVE_FAILED); }, [&] { ++undone; });
    });
    EXPECT_EQ(undone, 1);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(TakeThreadError().description, L"CClientHelper::ResizePicture()\r\nНе удалось сохранить файл.");

    // A failing undo never hides the original failure; success runs no undo.
    hr = RunInFrame(L"C()", [&] {
        UndoOnFailure([] { AfxThrowMemoryException(); }, [] { throw std::runtime_error("undo"); });
    });
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    undone = 0;
    EXPECT_EQ(RunInFrame(L"C()", [&] { UndoOnFailure([] {}, [&] { ++undone; }); }), S_OK);
    EXPECT_EQ(undone, 0);
}

TEST_F(Frame, UndoStepsOfTheCleanupTable)
{
    // The working copy is deleted when the body fails after making it.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string copy = std::string(temp) + "FV_undo_test.jpg";
    { std::ofstream(copy) << "x"; }
    RunInFrame(L"C()", [&] { UndoOnFailure([] { CheckOrThrow(false, "fail"); }, [&] { DeleteWorkCopy(copy.c_str()); }); });
    EXPECT_EQ(GetFileAttributesA(copy.c_str()), INVALID_FILE_ATTRIBUTES);

    // A parent window hidden by the body is shown again and made topmost.
    HWND hWnd = CreateWindowExA(0, "STATIC", "parent", WS_OVERLAPPEDWINDOW, 10, 20, 200, 100, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(hWnd, nullptr);
    RECT before;
    GetWindowRect(hWnd, &before);
    RunInFrame(L"C()", [&] {
        UndoOnFailure(
            [&] {
                ShowWindow(hWnd, SW_HIDE);
                CheckOrThrow(false, "fail");
            },
            [&] { ShowParentAgain(hWnd); });
    });
    EXPECT_TRUE(IsWindowVisible(hWnd));
    EXPECT_TRUE(GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    RECT after;
    GetWindowRect(hWnd, &after);
    EXPECT_EQ(before.left, after.left);
    EXPECT_EQ(before.right - before.left, after.right - after.left);
    DestroyWindow(hWnd);
}

TEST(Logging, OutsideACallOnlyFailuresAreLogged)
{
    std::string before = ReadLog();
    LogHResult(S_OK, "nothing", __FILE__, __LINE__);
    LogHResult(S_FALSE, "nothing", __FILE__, __LINE__);
    EXPECT_EQ(ReadLog(), before);

    LogHResult(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "CCOMFile::Open", "src/ports/COMFile.cpp", 42);
    std::string entry = ReadLog().substr(before.size());
    EXPECT_NE(entry.find("\r\nCCOMFile::Open\r\nhr = 0x80070005\r\nFile: src/ports/COMFile.cpp; Line: 42\t\t\tFile: "),
              std::string::npos)
        << entry;

    before = ReadLog();
    try {
        CheckOrThrow(false, "port is busy");
    } catch (const _com_error& e) {
        LogComError(e, "src/x.cpp", 7);
    }
    entry = ReadLog().substr(before.size());
    EXPECT_NE(entry.find("\r\nport is busy\r\nhr = 0x80004005\r\nFile: src/x.cpp; Line: 7\t\t\t"), std::string::npos)
        << entry;

    before = ReadLog();
    LogMfcException(new CSimpleException("disk full"));
    entry = ReadLog().substr(before.size());
    EXPECT_NE(entry.find("\tdisk full\t\t\tFile: "), std::string::npos) << entry;
}

TEST(Logging, UnwritableLogNeverBreaksTheCaller)
{
    std::string path = LogFilePath();
    // Hold the file open without sharing: every entry is dropped, nothing is thrown.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NO_THROW(WriteLogLine(L"dropped", __FILE__, __LINE__));
    HRESULT hr = RunInFrame(L"C()", [] { CheckOrThrow(false, "still reported"); });
    EXPECT_EQ(hr, E_FAIL);
    CloseHandle(h);
    EXPECT_EQ(TakeThreadError().description, L"C()\r\nstill reported");
}

#include "picture/HexText.h"
#include "picture/PictureCommands.h"

TEST(EncodeFile, TooLargeFilesAreRefusedBeforeReading)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string path = std::string(temp) + "trel_encode_big.bin";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = static_cast<LONGLONG>(kMaxEncodeFileBytes) + 1;
    ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    SetErrorInfo(0, nullptr);
    HRESULT hr = RunInFrame(L"CClientHelper::EncodeFile()", [&] { SysFreeString(EncodeFileBody(path)); });
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    std::wstring d = TakeThreadError().description;
    EXPECT_NE(d.find(L"File is too large to encode: 67108865 bytes"), std::wstring::npos);
    DeleteFileA(path.c_str());

    // At the limit's other side a file is read whole.
    std::string small = std::string(temp) + "trel_encode_small.bin";
    { std::ofstream(small, std::ios::binary) << std::string("\x00\xAB\x10", 3); }
    BSTR text = nullptr;
    EXPECT_EQ(RunInFrame(L"C()", [&] { text = EncodeFileBody(small); }), S_OK);
    EXPECT_STREQ(text, L"00AB10");
    SysFreeString(text);
    DeleteFileA(small.c_str());
}
