// ScanPicture, SelectScanSource and DestroyScanWindow as a C++ client of the registered DLL sees
// them, over Wine's TWAIN data source manager and the stand-in source (tests/standins), with a
// driver thread that works the selection dialog and the source's window.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acquire/Twain.h"
#include "picture/Dib.h"
#include "picture/WorkFolder.h"
#include "standins/twain_pattern.h"
#include "wine/client_common.h"
#include "wine/screenshot.h"

#include "TrelClientHelper_h.h"

namespace {

const char kWork[] = "C:\\trel-tests\\";

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Triplet lines only (detail lines of the record begin with blanks or "UI").
std::vector<std::string> Triplets(const std::string& record)
{
    std::vector<std::string> out;
    for (const std::string& line : Lines(record))
        if (!line.empty() && line[0] != ' ' && line.compare(0, 2, "UI") != 0)
            out.push_back(line);
    return out;
}

int CountOf(const std::vector<std::string>& lines, const std::string& prefix)
{
    int n = 0;
    for (const std::string& line : lines)
        n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

std::vector<std::string> ScanFiles()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((GetWorkFolder() + "FV_*.jpg").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
        do
            names.push_back(data.cFileName);
        while (FindNextFileA(h, &data));
        FindClose(h);
    }
    return names;
}

// A visible top-level window of this process with the given title (nullptr: the manager's
// selection dialog, a dialog with a list; its title is in the user's language).
struct WindowSearch {
    const char* title;
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchOwnWindow(HWND hWnd, LPARAM lParam)
{
    WindowSearch* s = reinterpret_cast<WindowSearch*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    char text[128] = {}, cls[16] = {};
    GetWindowTextA(hWnd, text, sizeof(text));
    GetClassNameA(hWnd, cls, sizeof(cls));
    const bool match = s->title ? std::string(text) == s->title
                                : std::string(cls) == "#32770" && FindWindowExA(hWnd, nullptr, "ListBox", nullptr);
    if (pid == GetCurrentProcessId() && IsWindowVisible(hWnd) && match) {
        s->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindOwnWindow(const char* title)
{
    WindowSearch search{title, nullptr, nullptr};
    EnumWindows(MatchOwnWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const char* title, DWORD ms = 15000)
{
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (HWND h = FindOwnWindow(title))
            return h;
        Sleep(50);
    }
    return nullptr;
}

BOOL CALLBACK MatchChild(HWND hWnd, LPARAM lParam)
{
    WindowSearch* s = reinterpret_cast<WindowSearch*>(lParam);
    char cls[64] = {}, text[128] = {};
    GetClassNameA(hWnd, cls, sizeof(cls));
    GetWindowTextA(hWnd, text, sizeof(text));
    if (_stricmp(cls, s->className) == 0 && (s->title == nullptr || _stricmp(text, s->title) == 0)) {
        s->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindChild(HWND parent, const char* className, const char* text)
{
    WindowSearch search{text, className, nullptr};
    EnumChildWindows(parent, MatchChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Press(HWND dialog, HWND button)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// The manager's selection dialog: found by its list of sources.
const char* const kSelectTitle = nullptr;
const char kSourceTitle[] = "Trel Test Scanner";

// Works the windows from a second thread while the calling thread is inside the component. Any
// step that fails ends the call with a quit message, so that a test never waits for a person.
class Driver
{
public:
    using Step = std::function<bool()>;
    explicit Driver(std::vector<Step> steps)
        : m_mainThread(GetCurrentThreadId()), m_thread([this, steps] {
              for (size_t i = 0; i < steps.size(); ++i)
                  if (!steps[i]()) {
                      m_failedStep = int(i);
                      PostThreadMessageA(m_mainThread, WM_QUIT, 0, 0);
                      return;
                  }
          })
    {
    }
    ~Driver() { Join(); }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    int FailedStep()
    {
        Join();
        return m_failedStep;
    }

private:
    DWORD m_mainThread;
    std::atomic<int> m_failedStep{-1};
    std::thread m_thread;
};

Driver::Step PressSourceButton(const char* button, const char* screenshot = nullptr)
{
    return [=] {
        // The window may be found before its buttons are made.
        HWND w = nullptr, b = nullptr;
        for (int i = 0; i < 100 && b == nullptr; ++i) {
            w = WaitForWindow(kSourceTitle);
            b = w ? FindChild(w, "Button", button) : nullptr;
            if (b == nullptr)
                Sleep(30);
        }
        if (b == nullptr)
            return false;
        if (screenshot != nullptr) {
            Sleep(600);  // the screen lags behind the window under Wine
            SaveScreenshot(w, (std::string(kWork) + screenshot).c_str());
        }
        Press(w, b);
        return true;
    };
}

// Chooses the source by its name (nullptr: the one the dialog starts on) and presses the button.
Driver::Step ChooseSource(const char* source, bool ok, const char* screenshot = nullptr)
{
    return [=] {
        HWND dialog = WaitForWindow(kSelectTitle);
        HWND list = dialog ? FindChild(dialog, "ListBox", nullptr) : nullptr;
        if (list == nullptr)
            return false;
        for (int i = 0; i < 100 && SendMessageA(list, LB_GETCOUNT, 0, 0) <= 0; ++i)
            Sleep(50);
        if (source != nullptr) {
            const LRESULT index = SendMessageA(list, LB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(source));
            if (index == LB_ERR)
                return false;
            SendMessageA(list, LB_SETCURSEL, WPARAM(index), 0);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), LBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(list));
        }
        if (screenshot != nullptr) {
            Sleep(600);
            SaveScreenshot(dialog, (std::string(kWork) + screenshot).c_str());
        }
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
        return true;
    };
}

class ScanTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                         m_helper.PutVoid()));
        m_hParent = MakeParent("Trel scan test");
        m_record = std::string(kWork) + "twain_record.txt";
        m_config = std::string(kWork) + "twain_source.cfg";
    }
    void TearDown() override
    {
        m_helper->DestroyScanWindow();
        m_helper.Reset();
        if (IsWindow(m_hParent))
            DestroyWindow(m_hParent);
        DrainQuit();
        CoUninitialize();
    }

    static HWND MakeParent(const char* title)
    {
        return CreateWindowExA(0, "STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200, nullptr,
                               nullptr, nullptr, nullptr);
    }

    static void DrainQuit()
    {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    // The source's settings for the next opening; the record starts empty.
    void Configure(std::initializer_list<const char*> lines) { Configure(std::vector<const char*>(lines)); }
    void Configure(const std::vector<const char*>& lines)
    {
        DeleteFileA(m_record.c_str());
        std::ofstream out(m_config);
        out << "record=" << m_record << "\n";
        for (const char* line : lines)
            out << line << "\n";
        out.close();
        SetEnvironmentVariableA("TREL_TWAIN_SOURCE", m_config.c_str());
    }

    std::string Scan(bool rotate, std::vector<Driver::Step> steps, HWND parent = nullptr)
    {
        Driver driver(std::move(steps));
        Bstr result;
        const DWORD start = GetTickCount();
        EXPECT_EQ(S_OK, m_helper->ScanPicture(LONG(LONG_PTR(parent ? parent : m_hParent)),
                                             rotate ? VARIANT_TRUE : VARIANT_FALSE, result.Put()));
        m_lastMs = GetTickCount() - start;
        EXPECT_NE(nullptr, static_cast<BSTR>(result)) << "the result is a string, empty or not";
        EXPECT_EQ(-1, driver.FailedStep()) << "a driver step failed";
        DrainQuit();
        return Narrow(result.Text());
    }

    bool Select(std::vector<Driver::Step> steps)
    {
        Driver driver(std::move(steps));
        VARIANT_BOOL selected = 1;
        EXPECT_EQ(S_OK, m_helper->SelectScanSource(LONG(LONG_PTR(m_hParent)), &selected));
        EXPECT_EQ(-1, driver.FailedStep());
        DrainQuit();
        EXPECT_TRUE(selected == VARIANT_TRUE || selected == VARIANT_FALSE);
        return selected == VARIANT_TRUE;
    }

    std::string Record() const { return ReadText(m_record); }

    // The saved picture against the page the source sent: orientation and colours, away from
    // the borders between the quadrants (JPEG smears them).
    static void ExpectPage(const std::string& file, int width, int height, int bpp, bool rotated)
    {
        CDIB dib;
        ASSERT_TRUE(dib.Load(file.c_str())) << file;
        ASSERT_EQ(24, dib.BitsPerPixel()) << "a colour JPEG";
        ASSERT_EQ(rotated ? height : width, dib.Width());
        ASSERT_EQ(rotated ? width : height, dib.Height());
        const int w = dib.Width(), h = dib.Height();
        const size_t stride = ((size_t(w) * 24 + 31) / 32) * 4;
        int worst = 0;
        for (int fy = 1; fy < 8; fy += 2)
            for (int fx = 1; fx < 8; fx += 2) {
                const int x = fx * w / 8, y = fy * h / 8;  // as seen, in the saved picture
                // Turned by a quarter: the page's top edge becomes the picture's left edge.
                const int sx = rotated ? width - 1 - y : x, sy = rotated ? x : y;
                const ScanRgb want = ScanPatternColour(sx, sy, width, height, bpp);
                const BYTE* p = dib.Bits() + size_t(h - 1 - y) * stride + size_t(x) * 3;
                worst = std::max({worst, std::abs(p[2] - want.r), std::abs(p[1] - want.g), std::abs(p[0] - want.b)});
            }
        EXPECT_LE(worst, 16) << "pixels differ from the page by more than JPEG's error";
    }

    ComPtr<IClientHelper> m_helper;
    HWND m_hParent = nullptr;
    std::string m_record, m_config;
    DWORD m_lastMs = 0;
};

// The manager is opened with a pointer to the parent window, as TWAIN has it; Wine's manager takes
// that data as the handle itself, so under Wine its dialog gets no owner and the owner cannot be
// checked here. The parent reaching the source is checked in the record of a scan.
TEST_F(ScanTest, SelectScanSourceAnswersTheOperatorsChoice)
{
    Configure({});
    EXPECT_TRUE(Select({ChooseSource("Trel Test Scanner 2", true, "twain_select_dialog.bmp")}));
    EXPECT_FALSE(Select({ChooseSource(nullptr, false)}));
    EXPECT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
}

TEST_F(ScanTest, PlainScanFollowsTheProtocol)
{
    Configure({"image=200x300x24"});
    const std::vector<std::string> before = ScanFiles();
    const std::string file = Scan(false, {ChooseSource("Trel Test Scanner", true),
                                          PressSourceButton("Scan", "twain_source_window.bmp")});
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(0u, file.find(GetWorkFolder() + "FV_")) << file;
    EXPECT_EQ(before.size() + 1, ScanFiles().size());
    ExpectPage(file, 200, 300, 24, false);

    const std::string record = Record();
    const std::vector<std::string> expected = {
        "1/0003/0401 0",           // open source
        "1/0001/0006 0",           // CAP_XFERCOUNT := 1
        "1/0009/0502 0",           // enable with the user interface
        "1/0002/0601 4 msg=0101",  // transfer ready
        "1/0008/0001 0",
        "2/0101/0001 0",           // image information
        "2/0104/0001 6",           // native transfer, done
        "1/0008/0001 0",
        "1/0005/0701 0",           // end of the transfer
        "1/0002/0601 4 msg=0102",  // the source asks to be closed
        "1/0008/0001 0",
        "1/0009/0501 0",           // disable
        "1/0003/0402 0",           // close
    };
    EXPECT_EQ(expected, Triplets(record)) << record;
    EXPECT_NE(std::string::npos, record.find("origin=VORNA|Generic|Twain Test|3.5|1.8|3")) << record;
    EXPECT_NE(std::string::npos, record.find("set cap=1 type=1 item=1 block=6")) << record;
    char parent[64];
    std::snprintf(parent, sizeof(parent), "show=1 parent=%llu",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(m_hParent)));
    EXPECT_NE(std::string::npos, record.find(parent)) << record;
    DeleteFileA(file.c_str());
}

TEST_F(ScanTest, PagesOfEveryDepthComeOutAsColourJpegs)
{
    struct Case {
        const char* image;
        int w, h, bpp;
        bool rotate;
    } cases[] = {
        {"image=240x160x24", 240, 160, 24, true},  // landscape turned to portrait
        {"image=160x240x24", 160, 240, 24, true},  // portrait turned to landscape
        {"image=160x120x8", 160, 120, 8, false},
        {"image=120x160x1", 120, 160, 1, true},
    };
    ASSERT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        Configure({c.image, "ui=none"});
        const std::string file = Scan(c.rotate, {});
        ASSERT_FALSE(file.empty());
        ExpectPage(file, c.w, c.h, c.bpp, c.rotate);
        DeleteFileA(file.c_str());
    }
}

TEST_F(ScanTest, NothingSavedWhenTheScanDoesNotHappen)
{
    struct Case {
        std::vector<const char*> config;
        bool pressScan;
        const char* mustSee;
    } cases[] = {
        {{}, false, "1/0002/0601 4 msg=0102"},                   // Cancel in the source's window
        {{"xfer=cancel"}, true, "2/0104/0001 3"},                // the transfer is cancelled
        {{"xfer=fail"}, true, "1/0005/0007 0"},                  // failed: the transfers are reset
        {{"xfer=truncated"}, true, "1/0005/0701 0"},             // a block shorter than its header
        {{"xfer=code=7"}, true, "1/0005/0701 0"},                // no answer a transfer has
        {{"imageinfo=fail", "ui=none"}, false, "1/0005/0007 0"}, // the image is never described
    };
    ASSERT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mustSee);
        Configure(c.config);
        const bool dialog = std::find(c.config.begin(), c.config.end(), std::string("ui=none")) == c.config.end();
        const std::vector<std::string> before = ScanFiles();
        std::vector<Driver::Step> steps;
        if (dialog)
            steps.push_back(PressSourceButton(c.pressScan ? "Scan" : "Cancel"));
        EXPECT_EQ("", Scan(false, steps));
        EXPECT_EQ(before, ScanFiles()) << "no file is left behind";
        const std::vector<std::string> triplets = Triplets(Record());
        EXPECT_EQ(1, CountOf(triplets, c.mustSee)) << Record();
        EXPECT_EQ("1/0003/0402 0", triplets.empty() ? "" : triplets.back()) << "the source is closed";
        if (std::string(c.mustSee) == "1/0005/0007 0" && !dialog) {
            EXPECT_EQ(3, CountOf(triplets, "2/0101/0001 1")) << "the image information is asked for three times";
        }
    }
}

TEST_F(ScanTest, CheckStatusOnTheTransferCountSetsTheSourcesValueBack)
{
    ASSERT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
    Configure({"xfercount=checkstatus", "ui=none", "image=64x48x24"});
    const std::string file = Scan(false, {});
    EXPECT_FALSE(file.empty());
    const std::string record = Record();
    const std::vector<std::string> triplets = Triplets(record);
    ASSERT_GE(triplets.size(), 5u) << record;
    EXPECT_EQ("1/0001/0006 2", triplets[1]);
    EXPECT_EQ("1/0008/0001 0", triplets[2]);
    EXPECT_EQ("1/0001/0001 0", triplets[3]);
    EXPECT_EQ("1/0001/0006 0", triplets[4]);
    EXPECT_NE(std::string::npos, record.find("set cap=1 type=4 item=1")) << record;
    DeleteFileA(file.c_str());
}

TEST_F(ScanTest, ScanEndsWhenTheSourceWindowOrTheParentGoes)
{
    ASSERT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
    // The source's window closes without asking to be closed.
    Configure({"cancel=silent", "closereq=never"});
    EXPECT_EQ("", Scan(false, {PressSourceButton("Cancel")}));
    EXPECT_LT(m_lastMs, 10000u);
    EXPECT_EQ("1/0003/0402 0", Triplets(Record()).back());

    // A quit message ends the scan and is handed on to the caller's loop.
    Configure({"closereq=never"});
    {
        const DWORD thread = GetCurrentThreadId();
        Driver driver({[] { return WaitForWindow(kSourceTitle) != nullptr; },
                       [thread] { return PostThreadMessageA(thread, WM_QUIT, 42, 0) != FALSE; }});
        Bstr result;
        EXPECT_EQ(S_OK, m_helper->ScanPicture(LONG(LONG_PTR(m_hParent)), VARIANT_FALSE, result.Put()));
        EXPECT_EQ(-1, driver.FailedStep());
        MSG msg;
        EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(42u, msg.wParam);
    }
    // The source was closed, so the next scan works.
    Configure({"ui=none", "image=32x32x24"});
    const std::string file = Scan(false, {});
    EXPECT_FALSE(file.empty());
    DeleteFileA(file.c_str());
    // The session's window is closed while the source waits: the source's window goes with it.
    Configure({"closereq=never"});
    HWND parent = m_hParent;
    EXPECT_EQ("", Scan(false, {[] { return WaitForWindow(kSourceTitle) != nullptr; },
                               [parent] { return PostMessageA(parent, WM_CLOSE, 0, 0) != FALSE; }}));
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_EQ("1/0003/0402 0", Triplets(Record()).back());
    // A scan that starts without a live parent is not ended for it.
    Configure({"ui=none", "image=32x32x24"});
    const std::string late = Scan(false, {});
    EXPECT_FALSE(late.empty());
    DeleteFileA(late.c_str());
}

// Wine's selection dialog starts on the first source listed whatever the default is, so the
// start on the default source is shown against the test's own manager (TwainSession below).
TEST_F(ScanTest, ScanWithoutSelectionAsksFirstAndCancelFallsBackToTheDefault)
{
    Configure({"ui=none", "image=48x32x24"});
    std::string file = Scan(false, {ChooseSource("Trel Test Scanner 2", true)});
    EXPECT_FALSE(file.empty());
    EXPECT_NE(std::string::npos, Record().find("source=Trel Test Scanner 2")) << Record();
    DeleteFileA(file.c_str());

    // A new session: Cancel in the selection dialog, and the manager's default source scans.
    m_helper->DestroyScanWindow();
    Configure({"ui=none", "image=48x32x24"});
    file = Scan(false, {ChooseSource(nullptr, false)});
    EXPECT_FALSE(file.empty());
    EXPECT_NE(std::string::npos, Record().find("source=")) << Record();
    DeleteFileA(file.c_str());
}

TEST_F(ScanTest, DestroyScanWindowLetsTheNextScanUseAnotherWindow)
{
    ASSERT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
    EXPECT_EQ(S_OK, m_helper->DestroyScanWindow());
    EXPECT_EQ(S_OK, m_helper->DestroyScanWindow()) << "twice is harmless";
    HWND other = MakeParent("Trel scan test, second window");
    Configure({"ui=none", "image=32x32x24"});
    const std::string file = Scan(false, {ChooseSource("Trel Test Scanner", true)}, other);
    EXPECT_FALSE(file.empty());
    char parent[64];
    std::snprintf(parent, sizeof(parent), "parent=%llu", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(other)));
    EXPECT_NE(std::string::npos, Record().find(parent)) << Record();
    DeleteFileA(file.c_str());
    m_helper->DestroyScanWindow();
    DestroyWindow(other);
}

// The A4 page at 300 dpi from the transfer to the file; the stand-in times it and reads the peak
// working set. Figures go to the test's output for the closing note.
TEST_F(ScanTest, A4PageSpeedAndMemory)
{
    ASSERT_TRUE(Select({ChooseSource("Trel Test Scanner", true)}));
    Configure({"ui=none", "image=2480x3508x24", "content=photo"});
    const std::string file = Scan(false, {});
    ASSERT_FALSE(file.empty());
    const std::string record = Record();
    double before = 0, peak = 0, ms = 0;
    for (const std::string& line : Lines(record)) {
        if (line.find("peak") != std::string::npos)
            std::printf("A4 scan:%s\n", line.c_str());
        std::sscanf(line.c_str(), "  page %*dx%*dx%*d, peak working set before the page %lf", &before);
        std::sscanf(line.c_str(), "  saved in %lf ms, peak working set %lf", &ms, &peak);
    }
    std::printf("A4 scan: whole ScanPicture call %lu ms\n", static_cast<unsigned long>(m_lastMs));
    // The transferred page and one 24-bit copy of it, and little more, at the peak.
    const double page = 2480.0 * 3 * 3508 / 1048576;
    ASSERT_GT(peak, 0);
    EXPECT_LE(peak - before, 2 * page + 4) << "peak memory from the page on, MiB";
    CDIB dib;
    ASSERT_TRUE(dib.Load(file.c_str()));
    EXPECT_EQ(2480, dib.Width());
    EXPECT_EQ(3508, dib.Height());
    // A pixel away from the edges against the page, within JPEG's error on grainy pixels.
    const ScanRgb want = ScanPhotoPixel(1200, 1700);
    const BYTE* p = dib.Bits() + size_t(3508 - 1 - 1700) * 2480 * 3 + 1200 * 3;
    EXPECT_NEAR(want.r, p[2], 24);
    EXPECT_NEAR(want.g, p[1], 24);
    EXPECT_NEAR(want.b, p[0], 24);
    DeleteFileA(file.c_str());

    // Turned by a quarter, for the figures only: the turn needs room of its own.
    const std::string turned = Scan(true, {});
    ASSERT_FALSE(turned.empty());
    for (const std::string& line : Lines(Record()))
        if (line.find("saved in") != std::string::npos)
            std::printf("A4 scan turned:%s\n", line.c_str());
    DeleteFileA(turned.c_str());
}

// A manager of the test's own: it records the calls and answers what the test sets.
std::vector<std::string> g_fakeCalls;
TW_UINT16 g_fakeAnswer = TWRC_SUCCESS;

TW_UINT16 WINAPI FakeManager(TW_IDENTITY* origin, TW_IDENTITY* dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                             TW_MEMREF data)
{
    char line[64];
    std::snprintf(line, sizeof(line), "%s%u/%04X/%04X", dest ? "source " : "", unsigned(dg), unsigned(dat),
                  unsigned(msg));
    g_fakeCalls.push_back(line);
    if (origin == nullptr || std::string(origin->ProductName) != "Twain Test")
        return TWRC_FAILURE;
    if (dat == DAT_STATUS) {
        static_cast<TW_STATUS*>(data)->ConditionCode = TWCC_SEQERROR;
        return TWRC_SUCCESS;
    }
    return dat == DAT_PARENT ? TWRC_SUCCESS : g_fakeAnswer;
}

TEST(TwainSession, CallsStatesAndTheCloseRequestDuringATransfer)
{
    HWND hWnd = CreateWindowExA(0, "STATIC", "fake", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    g_fakeCalls.clear();
    g_fakeAnswer = TWRC_SUCCESS;
    {
        CTwainWork work(hWnd, FakeManager);
        EXPECT_TRUE(work.IsManagerOpen());
        // The selection starts on the default source.
        EXPECT_TRUE(work.SelectSource());
        ASSERT_TRUE(work.StartAcquisition(1));
        const std::vector<std::string> started = {"1/0004/0301", "1/0003/0003", "1/0003/0403", "1/0003/0401",
                                                  "source 1/0001/0006", "source 1/0009/0502"};
        EXPECT_EQ(started, g_fakeCalls);

        // A close request while a transfer has started is refused; once it has ended it is honoured.
        work.OnTransferStarted();
        work.HandleSourceMessage(MSG_CLOSEDSREQ);
        EXPECT_TRUE(work.IsSourceOpen());
        work.OnTransferEnded();
        work.HandleSourceMessage(MSG_CLOSEDSREQ);
        EXPECT_FALSE(work.IsSourceOpen());

        // A failed call leaves its condition code, asked of the same destination.
        g_fakeCalls.clear();
        g_fakeAnswer = TWRC_FAILURE;
        EXPECT_FALSE(work.OpenSource());
        EXPECT_EQ(TWRC_FAILURE, work.ReturnCode());
        EXPECT_EQ(TWCC_SEQERROR, work.ConditionCode());
        EXPECT_EQ((std::vector<std::string>{"1/0003/0401", "1/0008/0001"}), g_fakeCalls);
        // A cancelled selection forgets the earlier one.
        EXPECT_FALSE(work.SelectSource());
        EXPECT_FALSE(work.IsSourceSelected());
        g_fakeCalls.clear();
    }
    EXPECT_EQ((std::vector<std::string>{"1/0004/0302"}), g_fakeCalls) << "the manager is closed on destruction";

    // Without a valid window nothing is called and every call fails.
    g_fakeCalls.clear();
    {
        CTwainWork broken(nullptr, FakeManager);
        EXPECT_FALSE(broken.SelectSource());
        EXPECT_EQ(TWRC_FAILURE, broken.ReturnCode());
        EXPECT_EQ("", broken.Scan("C:\\", false));
    }
    EXPECT_TRUE(g_fakeCalls.empty());
    DestroyWindow(hWnd);
}

// Blocks a source may hand over that describe no bitmap we can take: nothing is read past the
// block, nothing is saved, and the transfer counts as ended (so the source may close).
TEST(TwainSession, BadBitmapsFromTheSourceAreRefused)
{
    HWND hWnd = CreateWindowExA(0, "STATIC", "fake", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    g_fakeAnswer = TWRC_SUCCESS;
    CTwainWork work(hWnd, FakeManager);
    struct Case {
        const char* what;
        LONG width, height;
        WORD bits;
        DWORD compression, clrUsed, headerSize;
        size_t blockBytes;
    } cases[] = {
        {"rows past the block", 64, 64, 24, BI_RGB, 0, 40, 40 + 64 * 64 * 3 - 1},
        {"a depth of 7 bits", 8, 8, 7, BI_RGB, 0, 40, 4096},
        {"300 colours", 8, 8, 8, BI_RGB, 300, 40, 8192},
        {"top-down rows", 8, -8, 24, BI_RGB, 0, 40, 4096},
        {"bit fields", 8, 8, 32, BI_BITFIELDS, 0, 40, 4096},
        {"a header larger than the block", 8, 8, 24, BI_RGB, 0, 100000, 4096},
        {"a block shorter than a header", 8, 8, 24, BI_RGB, 0, 40, 20},
        {"a width beyond any scanner", 70000, 1, 1, BI_RGB, 0, 40, 1 << 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HGLOBAL block = GlobalAlloc(GHND, c.blockBytes);
        ASSERT_NE(nullptr, block);
        if (c.blockBytes >= sizeof(BITMAPINFOHEADER)) {
            BITMAPINFOHEADER* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
            *h = BITMAPINFOHEADER{c.headerSize, c.width, c.height, 1, c.bits, c.compression, 0, 0, 0, c.clrUsed, 0};
            GlobalUnlock(block);
        }
        work.OnTransferStarted();
        TW_HANDLE image = block;
        work.CopyImage(image, TW_IMAGEINFO{});
        EXPECT_TRUE(work.TransferFinished());
        if (image != nullptr)
            GlobalFree(image);
    }
    DestroyWindow(hWnd);
}

// Names of scanned pictures never replace a file that is there.
TEST(ScanNames, TheNextFreeNumberIsTaken)
{
    const std::string folder = kWork;
    for (const char* name : {"FV_32766.jpg", "FV_32767.jpg", "FV_0.jpg"}) {
        std::ofstream out(folder + name);
        out << "kept";
    }
    EXPECT_EQ(folder + "FV_1.jpg", ReserveScanFileName(folder, 32766));
    EXPECT_EQ("kept", ReadText(folder + "FV_32767.jpg"));
    EXPECT_EQ("", ReserveScanFileName("C:\\no-such-folder\\", 5));
    for (const char* name : {"FV_32766.jpg", "FV_32767.jpg", "FV_0.jpg", "FV_1.jpg"})
        DeleteFileA((folder + name).c_str());
}

// Without a manager (the stand-in absent and the system's twain_32 hidden): false and an empty
// path, both successfully.
TEST(ScanWithoutManager, AnswersFalseAndAnEmptyPath)
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
        ComPtr<IClientHelper> helper;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                         helper.PutVoid()));
        HWND parent = CreateWindowExA(0, "STATIC", "x", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        VARIANT_BOOL selected = VARIANT_TRUE;
        EXPECT_EQ(S_OK, helper->SelectScanSource(LONG(LONG_PTR(parent)), &selected));
        EXPECT_EQ(VARIANT_FALSE, selected);
        Bstr result;
        EXPECT_EQ(S_OK, helper->ScanPicture(LONG(LONG_PTR(parent)), VARIANT_TRUE, result.Put()));
        EXPECT_EQ(L"", result.Text());
        EXPECT_EQ(S_OK, helper->DestroyScanWindow());
        DestroyWindow(parent);
    }
    CoUninitialize();
}

} // namespace
