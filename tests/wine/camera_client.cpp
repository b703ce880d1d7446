// ReleasePicture and ReleasePicture2 from a C++ client of the registered DLL, against the camera
// library stand-in (tests/standins/CDSDK.cpp): what the caller gets, the files in the working
// folder, and the calls the library received in their order.
//
// TREL_CDSDK_DIR names the stand-in's folder (absent: the machine has no camera library) and
// TREL_CAMERA_DATA the folder of the pictures the stand-in's camera delivers.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TrelClientHelper_h.h"
#include "client_common.h"
#include "screenshot.h"

namespace {

const wchar_t kCameraFailed[] =
    L"CClientHelper::ReleasePicture()\r\nНе удалось сфотографировать. Проверьте, подключена ли камера, открыт ли "
    L"затвор и установлен ли драйвер!";

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string WinPath(std::string linux)
{
    for (char& c : linux)
        if (c == '/')
            c = '\\';
    return "Z:" + linux;
}

std::string TempFolder()
{
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    return folder;
}

std::string Get(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

bool Exists(const std::string& name)
{
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Data(const char* name)
{
    return WinPath(Env("TREL_CAMERA_DATA")) + "\\" + name;
}

std::wstring ErrorDescription()
{
    IErrorInfo* info = nullptr;
    std::wstring text;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        BSTR d = nullptr;
        if (SUCCEEDED(info->GetDescription(&d)) && d != nullptr)
            text.assign(d, SysStringLen(d));
        SysFreeString(d);
        info->Release();
    }
    return text;
}

// The counter in a camera file name: the digits between the prefix and the extension.
unsigned CounterOf(const std::string& path)
{
    const size_t slash = path.find_last_of('\\');
    return static_cast<unsigned>(std::strtoul(path.c_str() + slash + 3, nullptr, 10));
}

std::string NameFor(const char* prefix, unsigned counter, const char* ext)
{
    char name[64];
    std::snprintf(name, sizeof(name), "%s%06u.%s", prefix, counter, ext);
    return TempFolder() + name;
}

double Microseconds(const std::function<void()>& work)
{
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    work();
    QueryPerformanceCounter(&t1);
    return 1e6 * double(t1.QuadPart - t0.QuadPart) / double(f.QuadPart);
}

// A plain copy: read and write the file in 64 KiB chunks.
void CopyInChunks(const std::string& from, const std::string& to)
{
    HANDLE in = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    static char buffer[65536];
    DWORD n = 0, written = 0;
    while (ReadFile(in, buffer, sizeof(buffer), &n, nullptr) && n != 0)
        WriteFile(out, buffer, n, &written, nullptr);
    CloseHandle(out);
    CloseHandle(in);
}

class Camera : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_config = TempFolder() + "cdsdk_test.cfg";
        m_record = TempFolder() + "cdsdk_test.log";
        SetEnvironmentVariableA("TREL_CDSDK_CONFIG", m_config.c_str());
        SetEnvironmentVariableA("TREL_CDSDK_RECORD", m_record.c_str());
        DeleteFileA(m_record.c_str());
        ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                   m_helper.PutVoid()),
                  S_OK);
    }

    void Configure(const std::string& text) { std::ofstream(m_config, std::ios::binary) << text; }

    std::vector<std::string> Record() const
    {
        std::vector<std::string> lines;
        std::istringstream in(Get(m_record));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    void ForgetRecord() { DeleteFileA(m_record.c_str()); }
    // The record's lines that begin with one of the names, in order, without their arguments.
    std::vector<std::string> Calls(std::initializer_list<const char*> names = {}) const
    {
        std::vector<std::string> out;
        for (const std::string& line : Record()) {
            const std::string word = line.substr(0, line.find(' '));
            if (names.size() == 0 || std::any_of(names.begin(), names.end(), [&](const char* n) { return word == n; }))
                out.push_back(word);
        }
        return out;
    }
    size_t CountOf(const std::string& text) const
    {
        size_t n = 0;
        for (const std::string& line : Record())
            n += line.find(text) != std::string::npos;
        return n;
    }
    std::string FirstLineWith(const std::string& text) const
    {
        for (const std::string& line : Record())
            if (line.find(text) != std::string::npos)
                return line;
        return "";
    }
    void ExpectNoViolation() const
    {
        for (const std::string& line : Record())
            EXPECT_EQ(line.find("VIOLATION"), std::string::npos) << line;
    }

    // ReleasePicture (flash < 0) or ReleasePicture2; the path, empty on failure (hr set).
    std::string Take(long size, long quality, long flash, HRESULT& hr)
    {
        Bstr result;
        hr = flash < 0 ? m_helper->ReleasePicture(size, quality, result.Put())
                       : m_helper->ReleasePicture2(size, quality, flash, result.Put());
        m_description = FAILED(hr) ? ErrorDescription() : std::wstring();
        return Narrow(result.Text());
    }
    std::string TakeOk(long size = 1, long quality = 1, long flash = -1)
    {
        HRESULT hr;
        std::string path = Take(size, quality, flash, hr);
        EXPECT_EQ(hr, S_OK) << Narrow(m_description);
        return path;
    }
    void TakeFails(long flash = -1)
    {
        HRESULT hr;
        EXPECT_EQ(Take(1, 1, flash, hr), "");
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(m_description, kCameraFailed);
    }

    std::string m_config, m_record;
    std::wstring m_description;
    ComPtr<IClientHelper> m_helper;
};

std::string Items(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const std::string& l : lines)
        text += l + "\n";
    return text;
}

std::string Thumb() { return "item 16 1 " + Data("thumb.jpg"); }
std::string Jpeg(const char* file = "photo.jpg") { return "item 32 1 " + Data(file); }
std::string Raw() { return "item 32 0 " + Data("raw.crw"); }
std::string Further() { return "item 80 1 " + Data("photo.jpg"); }

} // namespace

TEST_F(Camera, ThumbnailAndPicture)
{
    Configure(Items({Thumb(), Jpeg()}));
    const std::string path = TakeOk(1, 1);
    ASSERT_FALSE(path.empty());
    const unsigned n = CounterOf(path);
    ASSERT_GE(n, 1u);
    EXPECT_EQ(path, NameFor("FV", n, "JPG")) << "the picture named after the thumbnail's counter";
    EXPECT_FALSE(Exists(NameFor("TH", n - 1, "JPG"))) << "the thumbnail is deleted";
    EXPECT_EQ(Get(path), Get(Data("photo.jpg"))) << "the file holds the camera's bytes";

    // Every call the Part names, in order, with the arguments it fixes.
    EXPECT_EQ(Calls(), (std::vector<std::string>{
                           "CDStartSDK", "CDEnumDeviceReset", "CDGetDeviceCount", "CDEnumDeviceNext",
                           "CDEnumDeviceRelease", "CDOpenSource", "CDEnterReleaseControl",
                           "release-control", "CDRegisterEventCallbackFunction", "CDSetImageFormatAttribute",
                           "CDSetFlashSetting", "CDRelease", "CDGetReleasedData", "CDGetReleasedData",
                           "CDGetReleasedData", "CDGetReleasedData", "CDGetReleasedData", "CDGetReleasedData"}));
    EXPECT_NE(FirstLineWith("CDStartSDK size=40 major=7 minor=3 option=0"), "");
    EXPECT_NE(FirstLineWith("CDEnumDeviceReset kind=1"), "");
    EXPECT_NE(FirstLineWith("CDOpenSource device=1 handle_before=0"), "");
    EXPECT_NE(FirstLineWith("callback=set context=0"), "") << "release control: the callback, context 0";
    EXPECT_NE(FirstLineWith("release-control notification answer=0"), "");
    EXPECT_NE(FirstLineWith("CDRegisterEventCallbackFunction handle=1 callback=set context=set"), "");
    EXPECT_NE(FirstLineWith("quality=3 size=1"), "");
    EXPECT_NE(FirstLineWith("flash=1 compensation=255"), "");
    EXPECT_NE(FirstLineWith("CDRelease handle=1 sync=0 callback=none context=0 option=1 count_before=0"), "");
    EXPECT_EQ(CountOf("query handle=1"), 2u);
    EXPECT_EQ(CountOf("callback=none context=0 medium=none"), 2u) << "queries pass no callback and no medium";
    EXPECT_EQ(CountOf("option=3 callback=set medium=1"), 2u) << "fetches: the progress callback and a stream";
    // The items are fetched on the worker's thread, not the caller's.
    const std::string fetch = FirstLineWith("fetched item=2");
    EXPECT_EQ(fetch.find("tid=" + std::to_string(GetCurrentThreadId())), std::string::npos) << fetch;
    ExpectNoViolation();
}

TEST_F(Camera, RawFurtherPictureCodesAndAKeptConnection)
{
    Configure(Items({Thumb(), Raw(), Further()}));
    const std::string path = TakeOk(7, 9, 2);
    const unsigned n = CounterOf(path);
    EXPECT_EQ(path, NameFor("FP", n, "JPG")) << "the further picture, being last, is returned";
    EXPECT_EQ(Get(NameFor("FV", n - 1, "CRW")), Get(Data("raw.crw"))) << "the raw picture is kept as CRW";
    EXPECT_FALSE(Exists(NameFor("TH", n - 2, "JPG")));
    EXPECT_NE(FirstLineWith("quality=5 size=0"), "") << "other sizes and qualities";
    EXPECT_NE(FirstLineWith("flash=2 compensation=255"), "") << "ReleasePicture2 passes its flash mode";

    // The next take, by the other method, uses the same connection and goes on counting.
    ForgetRecord();
    Configure(Items({Jpeg()}));
    const std::string next = TakeOk(2, 2);
    EXPECT_EQ(CounterOf(next), n + 1);
    EXPECT_EQ(CountOf("CDOpenSource"), 0u);
    EXPECT_NE(FirstLineWith("quality=2 size=2"), "");
    EXPECT_NE(FirstLineWith("flash=1 compensation=255"), "") << "ReleasePicture always asks for flash 1";
    ExpectNoViolation();
}

TEST_F(Camera, ThePictureIsReturnedWhateverTheOrder)
{
    Configure(Items({Jpeg(), Thumb()}));
    const std::string path = TakeOk();
    const unsigned n = CounterOf(path);
    EXPECT_EQ(path, NameFor("FV", n, "JPG")) << "a thumbnail handed over last is not the result";
    EXPECT_FALSE(Exists(NameFor("TH", n + 1, "JPG")));
    EXPECT_TRUE(Exists(path));

    // Only a thumbnail, no item at all, or the first query failing: no picture.
    Configure(Items({Thumb()}));
    TakeFails();
    Configure("count 0\n");
    TakeFails();
    Configure(Items({Jpeg(), "queryfail 1"}));
    TakeFails();
    // A query failing after a picture was fetched: that picture.
    Configure(Items({Jpeg(), Further(), "queryfail 2"}));
    const std::string first = TakeOk();
    EXPECT_EQ(first.substr(first.size() - 13), NameFor("FV", CounterOf(first), "JPG").substr(first.size() - 13));
    EXPECT_EQ(CountOf("CDCloseSource"), 0u) << "none of these closes the connection";
    ExpectNoViolation();
}

TEST_F(Camera, FetchErrors)
{
    Configure(Items({Jpeg()}));
    TakeOk();  // a connection is open
    ForgetRecord();
    // Identifier 5: no picture, the connection stays.
    Configure(Items({Thumb(), Jpeg(), "fetcherror 2 0x00010005"}));
    TakeFails();
    EXPECT_EQ(CountOf("CDCloseSource"), 0u);
    ForgetRecord();
    Configure(Items({Jpeg()}));
    TakeOk();
    EXPECT_EQ(CountOf("CDOpenSource"), 0u) << "the next take uses the kept connection";

    // Any other identifier: no picture, the connection is closed, the next take opens a new one.
    ForgetRecord();
    Configure(Items({Jpeg(), "fetcherror 1 0x22"}));
    TakeFails(3);
    EXPECT_EQ(Calls({"CDUnregisterEventCallbackFunction", "CDExitReleaseControl", "CDCloseSource", "CDFinishSDK"}),
              (std::vector<std::string>{"CDUnregisterEventCallbackFunction", "CDExitReleaseControl", "CDCloseSource",
                                        "CDFinishSDK"}));
    ForgetRecord();
    Configure(Items({Jpeg()}));
    TakeOk();
    EXPECT_EQ(CountOf("CDOpenSource"), 1u);

    // The shutter release failing closes the connection too.
    ForgetRecord();
    Configure(Items({Jpeg(), "fail CDRelease 9"}));
    TakeFails();
    EXPECT_EQ(CountOf("CDCloseSource"), 1u);
    ExpectNoViolation();
}

TEST_F(Camera, NoCameraAndFailedOpens)
{
    struct Case
    {
        const char* config;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"fail CDStartSDK\n", {"CDStartSDK"}},
        {"cameras 0\n", {"CDStartSDK", "CDEnumDeviceReset", "CDGetDeviceCount", "CDEnumDeviceRelease", "CDFinishSDK"}},
        {"fail CDEnumDeviceReset\n", {"CDStartSDK", "CDEnumDeviceReset", "CDFinishSDK"}},
        {"fail CDEnumDeviceNext\n",
         {"CDStartSDK", "CDEnumDeviceReset", "CDGetDeviceCount", "CDEnumDeviceNext", "CDEnumDeviceRelease",
          "CDFinishSDK"}},
        {"fail CDOpenSource\n",
         {"CDStartSDK", "CDEnumDeviceReset", "CDGetDeviceCount", "CDEnumDeviceNext", "CDEnumDeviceRelease",
          "CDOpenSource", "CDFinishSDK"}},
        {"fail CDEnterReleaseControl\n",
         {"CDStartSDK", "CDEnumDeviceReset", "CDGetDeviceCount", "CDEnumDeviceNext", "CDEnumDeviceRelease",
          "CDOpenSource", "CDEnterReleaseControl", "CDCloseSource", "CDFinishSDK"}},
    };
    for (const Case& c : cases) {
        ForgetRecord();
        Configure(c.config);
        TakeFails();
        EXPECT_EQ(Calls(), c.calls) << c.config;
        ExpectNoViolation();
    }
    // A failed event registration still takes pictures; nothing is unregistered at the failure.
    ForgetRecord();
    Configure(Items({Jpeg(), "fail CDRegisterEventCallbackFunction"}));
    TakeOk();
    Configure(Items({Jpeg(), "fetcherror 1 0x33"}));
    TakeFails();
    EXPECT_EQ(CountOf("CDUnregisterEventCallbackFunction"), 0u);
    EXPECT_EQ(CountOf("CDCloseSource"), 1u);
}

TEST_F(Camera, EventsArriveOnTheLibrarysThread)
{
    Configure(Items({Jpeg(), "event 0x00020005 after 1", "event 0x00020006 after 1"}));
    TakeOk();
    for (int i = 0; i < 100 && CountOf("event id=0x0002000") < 4; ++i)
        Sleep(20);
    EXPECT_NE(FirstLineWith("event id=0x00020005 answer=140"), "");
    EXPECT_NE(FirstLineWith("event id=0x00020006 answer=0"), "");

    // The camera goes away between takes: the connection is closed on the event's thread, and
    // the next take opens a new one.
    ForgetRecord();
    Configure(Items({Jpeg(), "event 0x00040001 after 1 delay 50"}));
    TakeOk();
    for (int i = 0; i < 100 && CountOf("event id=0x00040001 answer=") == 0; ++i)
        Sleep(20);
    EXPECT_NE(FirstLineWith("event id=0x00040001 answer=0"), "");
    EXPECT_EQ(Calls({"CDExitReleaseControl", "CDCloseSource", "CDFinishSDK"}),
              (std::vector<std::string>{"CDExitReleaseControl", "CDCloseSource", "CDFinishSDK"}));
    EXPECT_EQ(FirstLineWith("CDCloseSource").find("tid=" + std::to_string(GetCurrentThreadId())), std::string::npos);
    ForgetRecord();
    Configure(Items({Jpeg()}));
    TakeOk();
    EXPECT_EQ(CountOf("CDOpenSource"), 1u);
    EXPECT_EQ(CountOf("CDFinishSDK"), 0u) << "closed once only";
    ExpectNoViolation();
}

TEST_F(Camera, CloseBoxWhileTheWorkerFetches)
{
    // Slow transfer: the window is seen, Enter is pressed (nothing happens), then the close box.
    Configure(Items({Jpeg("big.jpg"), Further(), "delay 30"}));
    std::atomic<bool> done{false};
    std::wstring captionAfterClose;
    int barSeen = 0;
    bool stillShownAfterEnter = false;
    std::thread driver([&] {
        HWND w = nullptr;
        for (int i = 0; i < 500 && !w && !done; ++i, Sleep(20))
            w = FindWindowW(nullptr, L"прогресс");
        if (!w)
            return;
        HWND bar = GetDlgItem(w, 1010);
        for (int i = 0; i < 500 && barSeen < 15 && !done; ++i, Sleep(20))
            barSeen = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
        Sleep(400);  // the screen lags behind the window's thread
        SaveScreenshot(w, "camera_progress.bmp");
        SendMessageW(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Sleep(100);
        stillShownAfterEnter = IsWindowVisible(w) != FALSE;
        PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(200);
        wchar_t text[128] = {};
        GetWindowTextW(w, text, 128);
        captionAfterClose = text;
        Sleep(300);
        SaveScreenshot(w, "camera_progress_closing.bmp");
    });
    TakeFails();
    done = true;
    driver.join();
    EXPECT_GE(barSeen, 15) << "the bar follows the transfer";
    EXPECT_TRUE(stillShownAfterEnter) << "Enter does not end the window";
    EXPECT_EQ(captionAfterClose, L"прогресс: передача завершается...");
    // The item in transfer was finished before the connection was closed, and no further item
    // was fetched.
    EXPECT_EQ(Calls({"CDGetReleasedData", "CDExitReleaseControl", "CDCloseSource", "CDFinishSDK"}),
              (std::vector<std::string>{"CDGetReleasedData", "CDGetReleasedData", "CDGetReleasedData",
                                        "CDExitReleaseControl", "CDCloseSource", "CDFinishSDK"}));
    EXPECT_NE(FirstLineWith("fetched item=1"), "");
    ExpectNoViolation();
}

TEST_F(Camera, TransferSpeed)
{
    // The component's own time in the stream callbacks for a large picture written in 64 KiB
    // chunks, against a plain copy of the same file, best of five each.
    const std::string big = Data("big.jpg");
    const size_t size = Get(big).size();
    ASSERT_GT(size, 8u << 20);
    Configure(Items({Jpeg("big.jpg"), "chunk 65536"}));
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    double bestCallbacks = 1e30, bestCopy = 1e30, bestCopyFile = 1e30, bestReturn = 1e30;
    for (int i = 0; i < 5; ++i) {
        ForgetRecord();
        const std::string path = TakeOk();
        LARGE_INTEGER returned;
        QueryPerformanceCounter(&returned);
        const std::string line = FirstLineWith("fetched item=1");
        const double us = std::atof(line.substr(line.find("callbacks_us=") + 13).c_str());
        const long long end = std::atoll(line.substr(line.find("end_qpc=") + 8).c_str());
        bestCallbacks = std::min(bestCallbacks, us);
        bestReturn = std::min(bestReturn, 1e6 * double(returned.QuadPart - end) / double(freq.QuadPart));
        DeleteFileA(path.c_str());

        const std::string copy = TempFolder() + "cdsdk_copy.jpg";
        bestCopy = std::min(bestCopy, Microseconds([&] { CopyInChunks(big, copy); }));
        DeleteFileA(copy.c_str());
        bestCopyFile = std::min(bestCopyFile, Microseconds([&] { CopyFileA(big.c_str(), copy.c_str(), FALSE); }));
        DeleteFileA(copy.c_str());
    }
    std::printf("[ speed ] %zu bytes in 64 KiB chunks: stream callbacks %.0f us; plain copy in 64 KiB chunks %.0f us "
                "(ratio %.2f); CopyFile %.0f us (ratio %.2f); end of transfer to return %.0f us\n",
                size, bestCallbacks, bestCopy, bestCallbacks / bestCopy, bestCopyFile, bestCallbacks / bestCopyFile,
                bestReturn);
    EXPECT_LE(bestCallbacks, 1.2 * bestCopy);
}

TEST_F(Camera, AFolderTooLongForTheNamesIsRefused)
{
    char saved[MAX_PATH * 2] = {};
    GetEnvironmentVariableA("TMP", saved, sizeof(saved));
    const std::string longFolder = "C:\\" + std::string(241, 'd');  // 244 characters with the backslash added
    SetEnvironmentVariableA("TMP", longFolder.c_str());
    Configure(Items({Jpeg()}));
    HRESULT hr;
    EXPECT_EQ(Take(1, 1, -1, hr), "");
    SetEnvironmentVariableA("TMP", saved[0] ? saved : nullptr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_NE(m_description.find(L"too long"), std::wstring::npos) << Narrow(m_description);
    EXPECT_EQ(CountOf("CDRelease"), 0u) << "refused before the shutter is released";
}

// Run in a process of its own: the module is loaded here by hand and unloaded with a connection
// open, once the way COM frees it (asked first) and once freed without being asked.
namespace {

// Loads the module, takes a picture through its class object and releases the object; the module.
HMODULE LoadAndTakeOne(unsigned expectedCounter)
{
    HMODULE m = LoadLibraryW(DllPath().c_str());
    EXPECT_NE(m, nullptr);
    if (m == nullptr)
        return nullptr;
    typedef HRESULT(STDAPICALLTYPE * GetClassObjectFn)(REFCLSID, REFIID, void**);
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(m, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(getClassObject(CLSID_ClientHelper, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IClientHelper> helper;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClientHelper, helper.PutVoid()), S_OK);
    Bstr path;
    EXPECT_EQ(helper->ReleasePicture(1, 1, path.Put()), S_OK);
    EXPECT_EQ(CounterOf(Narrow(path.Text())), expectedCounter);
    return m;
}

void ExpectClosedInOrder(const std::string& text)
{
    const size_t unregister = text.find("CDUnregisterEventCallbackFunction"), exit = text.find("CDExitReleaseControl"),
                 close = text.find("CDCloseSource"), finish = text.find("CDFinishSDK");
    EXPECT_NE(unregister, std::string::npos) << text;
    EXPECT_TRUE(unregister < exit && exit < close && close < finish && finish != std::string::npos) << text;
    EXPECT_EQ(text.find("VIOLATION"), std::string::npos) << text;
}

} // namespace

TEST(CameraUnload, TheConnectionIsClosedWhenTheModuleUnloads)
{
    const std::string record = TempFolder() + "cdsdk_unload.log", config = TempFolder() + "cdsdk_unload.cfg";
    DeleteFileA(record.c_str());
    SetEnvironmentVariableA("TREL_CDSDK_RECORD", record.c_str());
    SetEnvironmentVariableA("TREL_CDSDK_CONFIG", config.c_str());
    std::ofstream(config) << Items({Jpeg()});

    HMODULE m = LoadAndTakeOne(0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Get(record).find("CDCloseSource"), std::string::npos) << "the connection outlives the object";
    typedef HRESULT(STDAPICALLTYPE * CanUnloadFn)();
    auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(m, "DllCanUnloadNow")));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_OK);
    ExpectClosedInOrder(Get(record));
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(GetModuleHandleW(DllPath().c_str()), nullptr) << "the module is gone";
    EXPECT_EQ(Get(record).find("CDFinishSDK", Get(record).find("CDFinishSDK") + 1), std::string::npos)
        << "closed once";

    // Freed without being asked: the connection is closed as the module goes.
    DeleteFileA(record.c_str());
    m = LoadAndTakeOne(0);  // a fresh module counts from 0 again
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(GetModuleHandleW(DllPath().c_str()), nullptr);
    ExpectClosedInOrder(Get(record));
}

// Run without the stand-in on the search path: a machine without the camera library.
TEST(CameraAbsent, NoLibraryIsNoCameraAndEverythingElseWorks)
{
    ComPtr<IClientHelper> helper;
    ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper, helper.PutVoid()),
              S_OK);
    EXPECT_EQ(GetModuleHandleA("CDSDK.dll"), nullptr);
    for (int flash : {-1, 1}) {
        Bstr path;
        const HRESULT hr = flash < 0 ? helper->ReleasePicture(1, 1, path.Put()) : helper->ReleasePicture2(1, 1, 1, path.Put());
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(ErrorDescription(), kCameraFailed);
        EXPECT_EQ(path.Text(), L"");
    }
    // Other methods are untouched by the missing library.
    const std::string file = TempFolder() + "cdsdk_absent.txt";
    std::ofstream(file) << "abc";
    Bstr encoded, resized;
    std::wstring wide(file.begin(), file.end());
    EXPECT_EQ(helper->EncodeFile(Bstr(wide.c_str()), encoded.Put()), S_OK);
    EXPECT_FALSE(encoded.Text().empty());
    EXPECT_EQ(helper->ResizePicture(Bstr(L""), 640, 480, VARIANT_FALSE, resized.Put()), S_OK);
    EXPECT_EQ(helper->ReleasePicture(1, 1, nullptr), E_POINTER);
    DeleteFileA(file.c_str());
}

// Wine's X11 driver, without a window manager, waits about 2 s for every window it hides unless
// its windows are unmanaged; the option is read when the driver starts in this process, and the
// prefix's own setting is put back at the end.
class UnmanagedWindows
{
public:
    UnmanagedWindows()
    {
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                            nullptr, &m_key, nullptr) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof(m_old) - 1;
        m_hadValue = RegQueryValueExA(m_key, "Managed", nullptr, nullptr, reinterpret_cast<BYTE*>(m_old), &size) ==
                     ERROR_SUCCESS;
        RegSetValueExA(m_key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
    }
    ~UnmanagedWindows()
    {
        if (m_key == nullptr)
            return;
        if (m_hadValue)
            RegSetValueExA(m_key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_old),
                           static_cast<DWORD>(std::strlen(m_old) + 1));
        else
            RegDeleteValueA(m_key, "Managed");
        RegCloseKey(m_key);
    }

private:
    HKEY m_key = nullptr;
    bool m_hadValue = false;
    char m_old[64] = {};
};

int main(int argc, char** argv)
{
    UnmanagedWindows unmanaged;
    ::testing::InitGoogleTest(&argc, argv);
    // The stand-in lives in a folder of its own, so that only the tests that ask for it find it.
    const std::string dir = Env("TREL_CDSDK_DIR");
    if (!dir.empty())
        SetDllDirectoryA(WinPath(dir).c_str());
    CoInitialize(nullptr);
    const int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
