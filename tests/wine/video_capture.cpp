// The video frame dialog and GetPictureFromCam against the system's DirectShow and our capture
// source stand-in (tests/standins/trelcam.cpp), registered and configured by each test. A driver
// thread finds the windows and presses their buttons.
#include <gtest/gtest.h>
#include <windows.h>
#include <comdef.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acquire/VideoGraphDlg.h"
#include "codecs/codec.h"
#include "framework/ErrorReport.h"
#include "framework/Module.h"
#include "resources/resource.h"
#include "screenshot.h"
#include "TrelClientHelper_h.h"

namespace {

const wchar_t kCaption[] = L"Видео";

long long NowMicroseconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return now.QuadPart / frequency.QuadPart * 1000000 + now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

std::string TestFolder()
{
    char buffer[MAX_PATH] = {};
    GetFullPathNameA("video-frames\\", MAX_PATH, buffer, nullptr);
    CreateDirectoryA(buffer, nullptr);
    return buffer;
}

std::string LogPath()
{
    char buffer[MAX_PATH] = {};
    GetFullPathNameA("trelcam.log", MAX_PATH, buffer, nullptr);
    return buffer;
}

std::string ReadLog()
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<std::string> FramesIn(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "FV_*.jpg").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

void EmptyFolder(const std::string& folder)
{
    for (const std::string& name : FramesIn(folder))
        DeleteFileA((folder + name).c_str());
}

// The stand-in camera, registered for one test with the options given.
class Camera
{
public:
    explicit Camera(const char* options)
    {
        m_module = LoadLibraryW(L"trelcam.dll");
        SetEnvironmentVariableA("TREL_CAMERA", options);
        SetEnvironmentVariableA("TREL_CAMERA_LOG", LogPath().c_str());
        DeleteFileA(LogPath().c_str());
        Call("DllUnregisterServer");
        if (options != nullptr)
            m_registered = SUCCEEDED(Call("DllRegisterServer"));
    }
    ~Camera()
    {
        Call("DllUnregisterServer");
        SetEnvironmentVariableA("TREL_CAMERA", nullptr);
    }
    bool Registered() const { return m_registered; }

private:
    HRESULT Call(const char* name)
    {
        using Fn = HRESULT(WINAPI*)();
        auto fn = m_module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module, name))) : nullptr;
        return fn ? fn() : E_FAIL;
    }
    HMODULE m_module = nullptr;
    bool m_registered = false;
};

// The dialog's window (it has the frame control; a message box has none).
HWND FindVideoDialog()
{
    for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", kCaption); w != nullptr;
         w = FindWindowExW(nullptr, w, L"#32770", kCaption))
        if (IsWindowVisible(w) && GetDlgItem(w, IDC_VIDEO_FRAME) != nullptr)
            return w;
    return nullptr;
}

// A visible message box: a dialog with a static text 0xFFFF and no frame control.
HWND FindMessageBox()
{
    for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w != nullptr;
         w = FindWindowExW(nullptr, w, L"#32770", nullptr))
        if (IsWindowVisible(w) && GetDlgItem(w, IDC_VIDEO_FRAME) == nullptr && GetDlgItem(w, 0xFFFF) != nullptr)
            return w;
    return nullptr;
}

std::wstring WindowText(HWND w)
{
    wchar_t text[2048] = {};
    GetWindowTextW(w, text, 2048);
    return text;
}

HWND WaitFor(const std::function<HWND()>& find, int ms = 15000, int step = 20)
{
    for (int waited = 0; waited < ms; waited += step) {
        if (HWND w = find())
            return w;
        Sleep(step);
    }
    return nullptr;
}

// The times the stand-in delivered the first frame of each graph, in the order of the graphs.
std::vector<long long> FirstFrameTimes()
{
    std::vector<long long> times;
    const std::string log = ReadLog();
    for (size_t at = log.find("first frame at "); at != std::string::npos; at = log.find("first frame at ", at + 1))
        times.push_back(std::atoll(log.c_str() + at + 15));
    return times;
}

bool WaitForLog(const char* part, int ms = 10000)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (Contains(ReadLog(), part))
            return true;
        Sleep(20);
    }
    return false;
}

// Runs body on this thread while drive works on the windows from another.
void WithDriver(const std::function<void()>& body, const std::function<void()>& drive)
{
    std::thread driver(drive);
    body();
    driver.join();
}

void Press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

struct Decoded
{
    int width = 0, height = 0;
    std::vector<unsigned char> rows;  // bottom-up BGR
    unsigned char* At(int x, int yFromTop)
    {
        return &rows[codec_stride(width, 24) * size_t(height - 1 - yFromTop) + size_t(x) * 3];
    }
};

bool DecodeJpeg(const std::string& name, Decoded& picture)
{
    const int fd = codec_io_open(name.c_str(), codec_mode_read_binary());
    if (fd < 0)
        return false;
    ImageHeader header = {};
    bool ok = codec_read_header(name.c_str(), fd, CODEC_FORMAT_JPEG, &header, "") == CODEC_OK && header.bpp == 24;
    if (ok) {
        picture.width = header.width;
        picture.height = header.height;
        picture.rows.resize(codec_stride(header.width, 24) * size_t(header.height));
        ok = codec_read_data(fd, CODEC_FORMAT_JPEG, &header, picture.rows.data()) == CODEC_OK;
    }
    codec_io_close(fd);
    return ok;
}

// The stand-in's picture: eight bars over three quarters, a dark blue band below.
const unsigned char kBars[8][3] = {  // blue, green, red
    {255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0}, {255, 0, 255}, {0, 0, 255}, {255, 0, 0}, {0, 0, 0}};

void ExpectColour(const unsigned char* p, const unsigned char* want, const char* where, int tolerance = 24)
{
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(int(p[c]), int(want[c]), tolerance) << where << " channel " << c;
}

void ExpectPattern(Decoded& picture)
{
    const int w = picture.width, h = picture.height;
    for (int bar = 0; bar < 8; ++bar) {
        const int x = (2 * bar + 1) * w / 16;
        for (int y : {h / 16, h * 3 / 8, h * 3 / 4 - h / 16}) {
            std::string where = "bar " + std::to_string(bar) + " at y " + std::to_string(y);
            ExpectColour(picture.At(x, y), kBars[bar], where.c_str());
        }
    }
    const unsigned char band[3] = {96, 32, 32};
    for (int x : {w / 16, w / 2, w - w / 16})
        ExpectColour(picture.At(x, h * 3 / 4 + 4), band, "band top", 24);
}


// What the screen shows inside a window, as rows from the top, blue-green-red, 3 bytes a pixel.
struct ScreenPicture
{
    int width = 0, height = 0;
    std::vector<unsigned char> pixels;
    const unsigned char* At(int x, int y) const { return &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
};

ScreenPicture CaptureScreen(const RECT& r)
{
    ScreenPicture picture;
    picture.width = r.right - r.left;
    picture.height = r.bottom - r.top;
    if (picture.width <= 0 || picture.height <= 0)
        return picture;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, picture.width, picture.height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    picture.pixels.resize(size_t(picture.width) * size_t(picture.height) * 3);
    const auto* source = static_cast<const unsigned char*>(bits);
    for (size_t i = 0; i < size_t(picture.width) * size_t(picture.height); ++i)
        std::memcpy(&picture.pixels[i * 3], source + i * 4, 3);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return picture;
}

// The column of the moving square in the band of a picture of the pattern; -1 when none is seen.
int SquareColumn(const ScreenPicture& p)
{
    const int y = p.height * 7 / 8;
    for (int x = 0; x < p.width; ++x)
        if (p.At(x, y)[0] > 200 && p.At(x, y)[1] > 200 && p.At(x, y)[2] > 200)
            return x;
    return -1;
}

// The working folder files of one run, and a grab of the dialog with the pattern checked.
class VideoDialogTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_folder = TestFolder();
        EmptyFolder(m_folder);
    }
    std::string m_folder;
};

TEST_F(VideoDialogTest, NoDeviceShowsTheWarningAndReturnsNoPath)
{
    Camera camera(nullptr);
    std::wstring text, caption;
    std::string result = "unset";
    WithDriver([&] { result = GetPictureFromCamBody(nullptr, m_folder); },
               [&] {
                   HWND box = WaitFor(FindMessageBox);
                   ASSERT_NE(box, nullptr);
                   text = WindowText(GetDlgItem(box, 0xFFFF));
                   caption = WindowText(box);
                   Sleep(800);
                   SaveScreenshot(box, "video_nodevice.bmp");
                   Press(box, IDOK);
               });
    EXPECT_EQ(result, "");
    EXPECT_NE(text.find(L"No capture devices found!"), std::wstring::npos) << ToUtf8(text);
    EXPECT_NE(text.find(L"hr = 0x80004005"), std::wstring::npos) << ToUtf8(text);
    EXPECT_EQ(caption, kCaption) << "our failures carry no source: the dialog's title";
    EXPECT_TRUE(FramesIn(m_folder).empty());
    EXPECT_EQ(FindVideoDialog(), nullptr);
}

TEST_F(VideoDialogTest, OkSavesTheFrameShownAsJpegAndTwoGrabsNeverShareAName)
{
    Camera camera("");
    ASSERT_TRUE(camera.Registered());
    RECT window = {}, client = {}, frame = {}, video = {}, ok = {}, cancel = {}, resizedFrame = {}, resizedVideo = {},
         resizedOk = {}, resizedCancel = {}, resizedClient = {};
    MINMAXINFO minmax = {};
    POINT origin = {};
    ScreenPicture shown, later;
    bool zoomed = true;
    long long dialogSeen = 0, okPressed = 0, firstFrame = 0;
    std::string result;
    std::srand(11);
    const long long started = NowMicroseconds();
    WithDriver([&] { result = GetPictureFromCamBody(nullptr, m_folder); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog, 15000, 1);
                   ASSERT_NE(dialog, nullptr);
                   dialogSeen = NowMicroseconds();
                   ASSERT_TRUE(WaitForLog("first frame"));
                   zoomed = IsZoomed(dialog) != FALSE;
                   GetWindowRect(dialog, &window);
                   GetClientRect(dialog, &client);
                   HWND frameWnd = GetDlgItem(dialog, IDC_VIDEO_FRAME);
                   GetWindowRect(frameWnd, &frame);
                   if (HWND child = GetWindow(frameWnd, GW_CHILD))
                       GetWindowRect(child, &video);
                   GetWindowRect(GetDlgItem(dialog, IDOK), &ok);
                   GetWindowRect(GetDlgItem(dialog, IDCANCEL), &cancel);
                   SendMessageW(dialog, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&minmax));
                   Sleep(1200);  // the screen lags behind the dialog's thread
                   SaveScreenshot(dialog, "video_dialog.bmp");
                   shown = CaptureScreen(video);
                   Sleep(400);
                   later = CaptureScreen(video);
                   // A smaller dialog: the frame and the picture follow, the buttons move.
                   SetWindowPos(dialog, nullptr, 0, 0, 420, 330, SWP_NOMOVE | SWP_NOZORDER);
                   Sleep(300);
                   GetClientRect(dialog, &resizedClient);
                   ClientToScreen(dialog, &origin);
                   GetWindowRect(frameWnd, &resizedFrame);
                   if (HWND child = GetWindow(frameWnd, GW_CHILD))
                       GetWindowRect(child, &resizedVideo);
                   GetWindowRect(GetDlgItem(dialog, IDOK), &resizedOk);
                   GetWindowRect(GetDlgItem(dialog, IDCANCEL), &resizedCancel);
                   Sleep(800);
                   SaveScreenshot(dialog, "video_dialog_small.bmp");
                   okPressed = NowMicroseconds();
                   Press(dialog, IDOK);
               });
    const long long returned = NowMicroseconds();
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result.compare(0, m_folder.size(), m_folder), 0) << result;
    EXPECT_EQ(result.compare(m_folder.size(), 3, "FV_"), 0) << result;

    // On this 1024 x 768 screen: 662 x 542, not maximised, laid out for that client area.
    if (GetSystemMetrics(SM_CXSCREEN) - 20 > 662) {
        EXPECT_FALSE(zoomed);
        EXPECT_EQ(window.right - window.left, 662);
        EXPECT_EQ(window.bottom - window.top, 542);
    }
    EXPECT_EQ(frame.right - frame.left, client.right - 14);
    EXPECT_EQ(frame.bottom - frame.top, client.bottom - 38);
    EXPECT_EQ(video.right - video.left, client.right - 14) << "the picture fills the frame";
    EXPECT_EQ(video.bottom - video.top, client.bottom - 38);
    HWND dialogGone = FindVideoDialog();
    EXPECT_EQ(dialogGone, nullptr);
    EXPECT_EQ(minmax.ptMinTrackSize.x, 140);
    EXPECT_EQ(minmax.ptMinTrackSize.y, 80);
    EXPECT_EQ(resizedFrame.right - resizedFrame.left, resizedClient.right - 14);
    EXPECT_EQ(resizedFrame.bottom - resizedFrame.top, resizedClient.bottom - 38);
    EXPECT_EQ(resizedVideo.right - resizedVideo.left, resizedClient.right - 14);
    EXPECT_EQ(resizedVideo.bottom - resizedVideo.top, resizedClient.bottom - 38);
    EXPECT_EQ(resizedOk.right - resizedOk.left, ok.right - ok.left) << "buttons keep their size";
    EXPECT_EQ(resizedCancel.left - resizedOk.left, cancel.left - ok.left) << "265 - 128 apart";
    EXPECT_EQ(resizedCancel.left - origin.x, resizedClient.right - 128);
    EXPECT_EQ(resizedCancel.top - origin.y, resizedClient.bottom - 24);
    EXPECT_EQ(resizedOk.left - origin.x, resizedClient.right - 265);
    EXPECT_EQ(resizedOk.top - origin.y, resizedClient.bottom - 24);

    // The operator saw the bars in the frame, and the square moving.
    ASSERT_GT(shown.width, 100);
    ASSERT_EQ(later.width, shown.width);
    for (int bar = 0; bar < 8; ++bar) {
        std::string where = "preview bar " + std::to_string(bar);
        ExpectColour(shown.At((2 * bar + 1) * shown.width / 16, shown.height / 4), kBars[bar], where.c_str(), 40);
    }
    EXPECT_GE(SquareColumn(shown), 0);
    EXPECT_GE(SquareColumn(later), 0);
    EXPECT_NE(SquareColumn(shown), SquareColumn(later)) << "the picture moves";

    // The file: 640 x 480, the bars the right way up and in order, colours within JPEG error.
    const std::string log = ReadLog();
    EXPECT_TRUE(Contains(log, "SetFormat RGB24 640x480 bits=24 image=921600")) << log;
    EXPECT_FALSE(Contains(log, "crossbar")) << "no crossbar: none looked for further";
    Decoded picture;
    ASSERT_TRUE(DecodeJpeg(result, picture)) << result;
    EXPECT_EQ(picture.width, 640);
    EXPECT_EQ(picture.height, 480);
    ExpectPattern(picture);

    // The operator's screen showed the same picture, moving.
    const std::vector<long long> firstFrames = FirstFrameTimes();
    ASSERT_EQ(firstFrames.size(), 1u);
    firstFrame = firstFrames[0];
    std::printf("first graph: call start to first frame %.1f ms, dialog shown to first frame %+.1f ms\n",
                (firstFrame - started) / 1000.0, (firstFrame - dialogSeen) / 1000.0);
    std::printf("OK to GetPictureFromCam's return, 640 x 480: %.1f ms\n", (returned - okPressed) / 1000.0);

    // The same pseudo-random number again: the first frame is kept, the second takes the next free name.
    std::srand(11);
    std::string second;
    const long long secondStarted = NowMicroseconds();
    WithDriver([&] { second = GetPictureFromCamBody(nullptr, m_folder); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog);
                   ASSERT_NE(dialog, nullptr);
                   Sleep(300);
                   for (int i = 0; i < 200 && FindVideoDialog() != nullptr; ++i) {
                       if (i % 25 == 0)
                           Press(dialog, IDOK);
                       Sleep(20);
                   }
               });
    ASSERT_FALSE(second.empty());
    if (FirstFrameTimes().size() == 2)
        std::printf("second graph: call start to first frame %.1f ms\n", (FirstFrameTimes()[1] - secondStarted) / 1000.0);
    EXPECT_NE(second, result);
    EXPECT_EQ(FramesIn(m_folder).size(), 2u);
    Decoded again;
    EXPECT_TRUE(DecodeJpeg(result, again)) << "the first frame is still there";

    // The JPEG write alone, on this frame's pixels; the pixels are kept for the comparison with
    // cjpeg in the benchmarks.
    int ppm = 0;
    ASSERT_EQ(codec_guess_format("video_frame.ppm", &ppm), CODEC_OK);
    ImageHeader ppmHeader = {};
    ppmHeader.width = picture.width;
    ppmHeader.height = picture.height;
    ppmHeader.bpp = 24;
    const int fd = codec_io_create("video_frame.ppm", codec_mode_write_binary());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(codec_write("video_frame.ppm", fd, ppm, &ppmHeader, nullptr, picture.rows.data(), ""), CODEC_OK);
    codec_io_close(fd);
    VideoFrame pixels;
    pixels.width = picture.width;
    pixels.height = picture.height;
    pixels.rows = picture.rows;
    const std::string timed = m_folder + "timed.jpg";
    const int runs = 20;
    const long long t0 = NowMicroseconds();
    for (int i = 0; i < runs; ++i)
        ASSERT_EQ(WriteFrameJpeg(timed, pixels), CODEC_OK);
    std::printf("JPEG write of the 640 x 480 frame: %.2f ms (mean of %d)\n", (NowMicroseconds() - t0) / 1000.0 / runs, runs);
    DeleteFileA(timed.c_str());
}

TEST_F(VideoDialogTest, DeviceThatRefusesTheFormatKeepsItsOwnSize)
{
    Camera camera("refuse,size=352x288");
    ASSERT_TRUE(camera.Registered());
    std::string result;
    WithDriver([&] { result = GetPictureFromCamBody(nullptr, m_folder); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog);
                   ASSERT_NE(dialog, nullptr);
                   ASSERT_TRUE(WaitForLog("first frame"));
                   Sleep(200);
                   Press(dialog, IDOK);
               });
    ASSERT_FALSE(result.empty());
    Decoded picture;
    ASSERT_TRUE(DecodeJpeg(result, picture));
    EXPECT_EQ(picture.width, 352);
    EXPECT_EQ(picture.height, 288);
    ExpectPattern(picture);
}

TEST_F(VideoDialogTest, CrossbarIsRoutedAndConnectedWhenPresent)
{
    Camera camera("crossbar");
    ASSERT_TRUE(camera.Registered());
    std::string result;
    WithDriver([&] { result = GetPictureFromCamBody(nullptr, m_folder); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog);
                   ASSERT_NE(dialog, nullptr);
                   ASSERT_TRUE(WaitForLog("first frame"));
                   Press(dialog, IDOK);
               });
    const std::string log = ReadLog();
    EXPECT_TRUE(Contains(log, "crossbar created")) << log;
    EXPECT_TRUE(Contains(log, "Route 0 0")) << log;
    EXPECT_TRUE(Contains(log, "analog input connected from \"0: Video Decoder Out\"")) << log;
    EXPECT_FALSE(result.empty());
}

TEST_F(VideoDialogTest, CancelAndTheCloseBoxReturnNoPath)
{
    Camera camera("");
    ASSERT_TRUE(camera.Registered());
    for (bool closeBox : {false, true}) {
        std::string result = "unset";
        WithDriver([&] { result = GetPictureFromCamBody(nullptr, m_folder); },
                   [&] {
                       HWND dialog = WaitFor(FindVideoDialog);
                       ASSERT_NE(dialog, nullptr);
                       if (closeBox)
                           PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
                       else
                           Press(dialog, IDCANCEL);
                   });
        EXPECT_EQ(result, "") << (closeBox ? "close box" : "Cancel");
    }
    EXPECT_TRUE(FramesIn(m_folder).empty());
    EXPECT_TRUE(WaitForLog("camera released", 2000)) << "the graph lets go of the device";
}

TEST_F(VideoDialogTest, DeviceThatCannotConnectShowsTheStepThatFailed)
{
    Camera camera("noconnect");
    ASSERT_TRUE(camera.Registered());
    std::wstring text;
    std::string result = "unset";
    WithDriver([&] { result = GetPictureFromCamBody(nullptr, m_folder); },
               [&] {
                   HWND box = WaitFor(FindMessageBox);
                   ASSERT_NE(box, nullptr);
                   text = WindowText(GetDlgItem(box, 0xFFFF));
                   Press(box, IDOK);
               });
    EXPECT_EQ(result, "");
    EXPECT_NE(text.find(L"Failed to connect Sample Grabber pin!"), std::wstring::npos) << ToUtf8(text);
}

// A failure while grabbing or saving: the dialog is gone and the caller's window enabled again
// before the failure reaches the caller, and no file is left behind.
TEST_F(VideoDialogTest, GrabFailuresEndTheDialogBeforeTheyReachTheCaller)
{
    HWND parent = CreateWindowExW(0, L"STATIC", L"caller", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    struct Case
    {
        const char* options;
        std::string folder;
        const char* expected;
    } cases[] = {
        {"short", m_folder, "a frame of 640x480 has 921600"},
        {"", m_folder + "missing\\", "CVideoGraphDlg::OnOK CreateFile()"},
    };
    for (const Case& c : cases) {
        Camera camera(c.options);
        ASSERT_TRUE(camera.Registered());
        bool parentDisabled = false;
        std::string description;
        HRESULT hr = S_OK;
        WithDriver(
            [&] {
                try {
                    GetPictureFromCamBody(parent, c.folder);
                } catch (const _com_error& e) {
                    hr = e.Error();
                    description = ToUtf8(std::wstring(e.Description().length() ? static_cast<const wchar_t*>(e.Description()) : L""));
                }
            },
            [&] {
                HWND dialog = WaitFor(FindVideoDialog);
                ASSERT_NE(dialog, nullptr);
                ASSERT_TRUE(WaitForLog("first frame"));
                Sleep(100);
                parentDisabled = !IsWindowEnabled(parent);
                Press(dialog, IDOK);
            });
        EXPECT_TRUE(FAILED(hr)) << c.options;
        EXPECT_NE(description.find(c.expected), std::string::npos) << description;
        EXPECT_TRUE(parentDisabled) << "the caller's window is disabled while the dialog runs";
        EXPECT_TRUE(IsWindowEnabled(parent)) << c.options;
        EXPECT_EQ(FindVideoDialog(), nullptr) << c.options;
        EXPECT_TRUE(FramesIn(m_folder).empty()) << c.options;
    }
    DestroyWindow(parent);
}

// The warning box's caption: the failure's source, else the owner's title, else "TREL ERROR";
// its text: the system's message, the description and the code.
TEST(VideoErrorBox, CaptionAndText)
{
    ICreateErrorInfo* create = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CreateErrorInfo(&create));
    create->SetSource(const_cast<LPOLESTR>(L"TrelClientHelper.ClientHelper.1"));
    create->SetDescription(const_cast<LPOLESTR>(L"Failed to start graph!"));
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    create->Release();
    const _com_error withSource(E_FAIL, info, false);
    HWND owner = CreateWindowExW(0, L"STATIC", L"Окно клиента", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(ErrorBoxCaption(withSource, owner), L"TrelClientHelper.ClientHelper.1");
    EXPECT_EQ(ErrorBoxCaption(_com_error(E_FAIL), owner), L"Окно клиента");
    EXPECT_EQ(ErrorBoxCaption(_com_error(E_FAIL), nullptr), L"TREL ERROR");
    DestroyWindow(owner);

    const std::wstring text = ErrorBoxText(withSource);
    const std::wstring system = FromAnsi(SystemMessageText(E_FAIL));
    ASSERT_FALSE(system.empty());
    EXPECT_EQ(text, system + L"\r\nFailed to start graph!\r\nhr = 0x80004005");
    EXPECT_EQ(ErrorBoxText(_com_error(E_FAIL)), system + L"\r\nhr = 0x80004005") << "no description, no line for it";
}

// Run inside a 640 x 480 virtual desktop (see cmake/winetests.cmake): the dialog opens maximised.
TEST(VideoDialogSmallScreen, OpensMaximised)
{
    if (GetSystemMetrics(SM_CXSCREEN) - 20 > 662 || GetSystemMetrics(SM_CYSCREEN) - 20 > 542)
        GTEST_SKIP() << "the screen is large";
    Camera camera("");
    ASSERT_TRUE(camera.Registered());
    bool zoomed = false;
    RECT window = {};
    WithDriver([&] { GetPictureFromCamBody(nullptr, TestFolder()); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog);
                   ASSERT_NE(dialog, nullptr);
                   ASSERT_TRUE(WaitForLog("first frame"));
                   zoomed = IsZoomed(dialog) != FALSE;
                   GetWindowRect(dialog, &window);
                   Press(dialog, IDCANCEL);
               });
    EXPECT_TRUE(zoomed);
    EXPECT_GE(window.right - window.left, GetSystemMetrics(SM_CXSCREEN) - 20);
}

// The driver of the script client (tests/wine/video_script.sh, tests/scripts/video/getpicture.vbs):
// OK in the first dialog, Cancel in the second, and, with the device gone, OK in the warning.
TEST(VideoScriptDriver, OkThenCancelThenTheWarning)
{
    auto camera = std::make_unique<Camera>("");
    ASSERT_TRUE(camera->Registered());
    if (FILE* f = std::fopen("video_driver.ready", "wb"))
        std::fclose(f);
    HWND dialog = WaitFor(FindVideoDialog, 60000);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(WaitForLog("first frame"));
    Sleep(200);
    Press(dialog, IDOK);
    for (int i = 0; i < 500 && IsWindow(dialog); ++i)
        Sleep(20);
    dialog = WaitFor(FindVideoDialog);
    ASSERT_NE(dialog, nullptr);
    camera.reset();  // the next call finds no device
    Press(dialog, IDCANCEL);
    HWND box = WaitFor(FindMessageBox);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(WindowText(GetDlgItem(box, 0xFFFF)).find(L"No capture devices found!"), std::wstring::npos);
    Press(box, IDOK);
}

// The automation method through the registered component, as a client program calls it.
TEST_F(VideoDialogTest, GetPictureFromCamThroughTheObject)
{
    Camera camera("");
    ASSERT_TRUE(camera.Registered());
    IClientHelper* helper = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                              reinterpret_cast<void**>(&helper)));
    BSTR path = nullptr;
    HRESULT hr = E_FAIL;
    long long okPressed = 0;
    WithDriver([&] { hr = helper->GetPictureFromCam(0, &path); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog);
                   ASSERT_NE(dialog, nullptr);
                   ASSERT_TRUE(WaitForLog("first frame"));
                   Sleep(200);
                   okPressed = NowMicroseconds();
                   Press(dialog, IDOK);
               });
    const long long returned = NowMicroseconds();
    EXPECT_EQ(hr, S_OK);
    ASSERT_NE(path, nullptr);
    const std::string name = ToAnsi(path);
    SysFreeString(path);
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    EXPECT_EQ(name.compare(0, std::strlen(temp), temp), 0) << name;
    Decoded picture;
    EXPECT_TRUE(DecodeJpeg(name, picture));
    EXPECT_EQ(picture.width, 640);
    std::printf("OK to the method's return through the object: %.1f ms\n", (returned - okPressed) / 1000.0);
    DeleteFileA(name.c_str());

    path = reinterpret_cast<BSTR>(1);
    WithDriver([&] { hr = helper->GetPictureFromCam(0, &path); },
               [&] {
                   HWND dialog = WaitFor(FindVideoDialog);
                   ASSERT_NE(dialog, nullptr);
                   Press(dialog, IDCANCEL);
               });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(path, nullptr);
    helper->Release();
}

} // namespace
