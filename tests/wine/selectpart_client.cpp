// SelectPicturePart from a C++ client of the registered DLLs, with a driver thread that works the
// dialog as an operator: the file holds exactly the selected part at the target size, the selection
// is remembered per size, Cancel and failures leave no working copy, the dialog's sizes, and the
// speed of opening, dragging and applying on a 12-megapixel photo.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <ole2.h>
#include <oleauto.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TrelClientHelper_h.h"
#include "client_common.h"
#include "codecs/codec.h"
#include "picture/PixelOps.h"
#include "screenshot.h"
#include "selectpart_drive.h"

namespace {

// The selection control's class, as the dialog template names it.
const CLSID CLSID_TrelPictureSelectForTests = {0x7C3E5A90, 0x2D4B, 0x4F81, {0x96, 0xA7, 0xE8, 0xB1, 0xC4, 0xD2, 0xF3, 0x60}};

struct Picture {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rows;  // 24-bit, bottom-up
    uint8_t* Pixel(int x, int yFromTop) { return &rows[DibStride(width, 24) * (height - 1 - yFromTop) + 3 * x]; }
};

// Gradients and squares; with grain, noise as a photo has, which costs a JPEG decoder as much.
Picture Pattern(int w, int h, bool grain = false)
{
    uint32_t seed = 12345;
    Picture p;
    p.width = w;
    p.height = h;
    p.rows.resize(DibStride(w, 24) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* px = p.Pixel(x, y);
            px[0] = uint8_t(x * 255 / w);
            px[1] = uint8_t(y * 255 / h);
            px[2] = uint8_t(((x / 16 + y / 16) % 2) * 200 + 20);
            if (grain)
                for (int c = 0; c < 3; ++c) {
                    seed = seed * 1103515245u + 12345u;
                    px[c] = uint8_t(std::min(255, std::max(0, px[c] + int((seed >> 16) % 49) - 24)));
                }
        }
    return p;
}

bool WritePicture(const std::string& name, const Picture& p, const char* options = "")
{
    int format = 0;
    if (codec_guess_format(name.c_str(), &format) != CODEC_OK)
        return false;
    ImageHeader header = {};
    header.width = p.width;
    header.height = p.height;
    header.bpp = 24;
    const int fd = codec_io_create(name.c_str(), codec_mode_write_binary());
    if (fd < 0)
        return false;
    const int rc = codec_write(name.c_str(), fd, format, &header, nullptr, p.rows.data(), options);
    codec_io_close(fd);
    return rc == CODEC_OK;
}

bool ReadPicture(const std::string& name, Picture& p)
{
    int format = 0;
    if (codec_guess_format(name.c_str(), &format) != CODEC_OK)
        return false;
    const int fd = codec_io_open(name.c_str(), codec_mode_read_binary());
    if (fd < 0)
        return false;
    ImageHeader header = {};
    bool ok = codec_read_header(name.c_str(), fd, format, &header, "") == CODEC_OK && header.bpp == 24;
    if (ok) {
        p.width = header.width;
        p.height = header.height;
        p.rows.assign(DibStride(p.width, 24) * p.height, 0);
        PaletteEntry palette[256];
        ok = codec_read_palette(fd, format, &header, palette) == CODEC_OK &&
             codec_read_data(fd, format, &header, p.rows.data()) == CODEC_OK;
    }
    codec_io_close(fd);
    return ok;
}

std::string Bytes(const std::string& name)
{
    std::string s;
    if (FILE* f = std::fopen(name.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

std::string TempFolder()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

int WorkCopies()
{
    int n = 0;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((TempFolder() + "FV*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do
            ++n;
        while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    return n;
}

const char kSettingsKey[] = "Software\\Brimvale";

struct Remembered {
    long left = -1, top = -1, right = -1, bottom = -1;
    bool operator==(const Remembered& o) const
    {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

Remembered ReadRemembered(int x, int y)
{
    Remembered r;
    long* edges[4] = {&r.left, &r.top, &r.right, &r.bottom};
    const char* names[4] = {"Left", "Top", "Right", "Bottom"};
    for (int i = 0; i < 4; ++i) {
        DWORD value = 0, size = sizeof(value), type = 0;
        const std::string name = "Picture" + std::to_string(x) + "x" + std::to_string(y) + "Select" + names[i];
        if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, name.c_str(), RRF_RT_REG_DWORD, &type, &value, &size) ==
            ERROR_SUCCESS)
            *edges[i] = static_cast<long>(value);
    }
    return r;
}

void ForgetRemembered(int x, int y)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (const char* edge : {"Left", "Top", "Right", "Bottom"})
        RegDeleteValueA(key, ("Picture" + std::to_string(x) + "x" + std::to_string(y) + "Select" + edge).c_str());
    RegCloseKey(key);
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

class SelectPart : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                   m_helper.PutVoid()),
                  S_OK);
    }
    void TearDown() override
    {
        if (m_driver.joinable())
            m_driver.join();
        for (const std::string& f : m_files)
            DeleteFileA(f.c_str());
        m_helper.Reset();
        CoUninitialize();
    }
    std::string NewPicture(const char* name, const Picture& p, const char* options = "")
    {
        std::string path = TempFolder() + name;
        EXPECT_TRUE(WritePicture(path, p, options)) << path;
        m_files.push_back(path);
        return path;
    }
    // Calls SelectPicturePart while the driver works the dialog on another thread.
    template <class Drive>
    HRESULT Call(const std::string& file, bool copy, long x, long y, std::wstring& result, Drive drive)
    {
        m_driverFailed = false;
        m_driver = std::thread([this, drive] {
            SelectDialogDriver d;
            if (!d.Find(20000)) {
                m_driverFailed = true;
                return;
            }
            drive(d);
        });
        Bstr name(Wide(file).c_str()), res;
        const HRESULT hr = m_helper->SelectPicturePart(0, name, copy ? VARIANT_TRUE : VARIANT_FALSE, x, y, res.Put());
        m_driver.join();
        result = res.Text();
        if (!result.empty() && Narrow(result) != file)
            m_files.push_back(Narrow(result));
        return hr;
    }
    std::wstring ErrorText()
    {
        ComPtr<IErrorInfo> info;
        std::wstring text;
        if (GetErrorInfo(0, info.Put()) == S_OK) {
            Bstr d;
            info->GetDescription(d.Put());
            text = d.Text();
        }
        return text;
    }

    ComPtr<IClientHelper> m_helper;
    std::thread m_driver;
    std::atomic<bool> m_driverFailed{false};
    std::vector<std::string> m_files;
};

// The part of the picture at left, top, right, bottom (right and bottom exclusive) stretched to
// w x h by the same pixel code the component resizes with.
Picture Reference(const Picture& source, const Remembered& r, int w, int h)
{
    Picture out;
    out.width = w;
    out.height = h;
    EXPECT_TRUE(StretchPixels24(source.rows.data(), source.width, source.height, r.left, source.height - r.bottom,
                                r.right - 1, source.height - 1 - r.top, w, h, out.rows));
    return out;
}

TEST_F(SelectPart, TheSelectionIsRememberedPerSizeAndTheFileHoldsExactlyThePartSelected)
{
    const Picture source = Pattern(640, 480);
    const std::string original = NewPicture("trel_select.bmp", source);
    const std::string originalBytes = Bytes(original);
    ForgetRemembered(120, 90);
    const int copiesBefore = WorkCopies();

    // First use of the size: the selection starts at 0, 0, 120, 90 and is stored as it is.
    std::wstring result;
    ASSERT_EQ(Call(original, true, 120, 90, result, [](SelectDialogDriver& d) {
                  Sleep(400);
                  SaveScreenshot(d.dialog, "selectpart_dialog_first.bmp");
                  d.Press(IDOK);
              }),
              S_OK);
    ASSERT_FALSE(m_driverFailed);
    ASSERT_FALSE(result.empty());
    EXPECT_NE(Narrow(result), original);
    EXPECT_EQ(WorkCopies(), copiesBefore + 1);
    EXPECT_EQ(ReadRemembered(120, 90), (Remembered{0, 0, 120, 90}));
    Picture first;
    ASSERT_TRUE(ReadPicture(Narrow(result), first));
    Picture expectedFirst = Reference(source, Remembered{0, 0, 120, 90}, 120, 90);
    EXPECT_TRUE(first.rows == expectedFirst.rows);

    // Moved with the mouse, then with the arrow keys, widened with Shift+Right: the file holds
    // exactly that part, stretched as ResizePicture stretches, and the caller's file is untouched.
    ASSERT_EQ(Call(original, true, 120, 90, result, [](SelectDialogDriver& d) {
                  d.Fit(640, 480);
                  d.Drag(d.View(60, 45), d.View(260, 185), 8);
                  d.Key(VK_RIGHT);
                  d.Key(VK_DOWN);
                  d.Key(VK_RIGHT, true);
                  d.Key(VK_RIGHT, true);
                  Sleep(400);
                  SaveScreenshot(d.dialog, "selectpart_dialog.bmp");
                  d.Press(IDOK);
              }),
              S_OK);
    ASSERT_FALSE(m_driverFailed);
    const Remembered moved = ReadRemembered(120, 90);
    EXPECT_GT(moved.left, 190);   // about 200 after the drag, a step or two more from the keys
    EXPECT_GT(moved.top, 130);
    EXPECT_GT(moved.right - moved.left, 120);  // widened, the height following the ratio
    EXPECT_NEAR((moved.bottom - moved.top) * 4.0, (moved.right - moved.left) * 3.0, 4.0);
    EXPECT_TRUE(Bytes(original) == originalBytes) << "the caller's file changed";
    Picture part;
    ASSERT_TRUE(ReadPicture(Narrow(result), part));
    ASSERT_EQ(part.width, 120);
    ASSERT_EQ(part.height, 90);
    EXPECT_TRUE(part.rows == Reference(source, moved, 120, 90).rows);

    // A click beside the selection leaves none: OK keeps the file as it is and stores the
    // previous selection again.
    const std::string before = Bytes(original);
    ASSERT_EQ(Call(original, false, 120, 90, result, [](SelectDialogDriver& d) {
                  d.Fit(640, 480);
                  d.Click(d.View(20, 460));
                  d.Press(IDOK);
              }),
              S_OK);
    EXPECT_EQ(Narrow(result), original);
    EXPECT_TRUE(Bytes(original) == before) << "the file changed without a selection";
    EXPECT_EQ(ReadRemembered(120, 90), moved);
}

TEST_F(SelectPart, CancelLeavesNoCopyAndGivesNoName)
{
    const std::string original = NewPicture("trel_select_cancel.jpg", Pattern(320, 240));
    const int copiesBefore = WorkCopies();
    std::wstring result = L"x";
    ASSERT_EQ(Call(original, true, 300, 400, result, [](SelectDialogDriver& d) {
                  d.Fit(320, 240);
                  d.Drag(d.View(10, 10), d.View(100, 100), 3);
                  d.Press(IDCANCEL);
              }),
              S_OK);
    EXPECT_FALSE(m_driverFailed);
    EXPECT_EQ(result, L"");
    EXPECT_EQ(WorkCopies(), copiesBefore);
}

TEST_F(SelectPart, DialogSizesFollowThePictureAndTheWindow)
{
    // Larger than the screen both ways: maximised.
    const std::string large = NewPicture("trel_select_large.bmp", Pattern(1200, 900));
    bool zoomed = false;
    std::wstring result;
    ASSERT_EQ(Call(large, false, 0, 0, result, [&](SelectDialogDriver& d) {
                  zoomed = IsZoomed(d.dialog) != FALSE;
                  Sleep(400);
                  SaveScreenshot(d.dialog, "selectpart_dialog_large.bmp");
                  d.Press(IDCANCEL);
              }),
              S_OK);
    EXPECT_TRUE(zoomed);

    // 100 pixels wide: the dialog opens 280 pixels wide; it cannot be made smaller than
    // 140 x 80; the control and the buttons follow its size.
    const std::string narrow = NewPicture("trel_select_narrow.bmp", Pattern(100, 60));
    RECT window = {}, viewer = {}, ok = {}, cancel = {};
    MINMAXINFO limits = {};
    ASSERT_EQ(Call(narrow, false, 0, 0, result, [&](SelectDialogDriver& d) {
                  GetWindowRect(d.dialog, &window);
                  SendMessageW(d.dialog, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
                  SetWindowPos(d.dialog, nullptr, 0, 0, 600, 400, SWP_NOMOVE | SWP_NOZORDER);
                  RECT client;
                  GetClientRect(d.dialog, &client);
                  GetWindowRect(d.host, &viewer);
                  GetWindowRect(GetDlgItem(d.dialog, IDOK), &ok);
                  GetWindowRect(GetDlgItem(d.dialog, IDCANCEL), &cancel);
                  POINT origin = {0, 0};
                  ClientToScreen(d.dialog, &origin);
                  OffsetRect(&ok, -origin.x, -origin.y);
                  OffsetRect(&cancel, -origin.x, -origin.y);
                  viewer.right = viewer.right - viewer.left - (client.right - 14);
                  viewer.bottom = viewer.bottom - viewer.top - (client.bottom - 38);
                  // Cancel ends where a 120-pixel button at cx - 128 ends, OK 17 pixels before it
                  // starts (OK at cx - 265 with the usual metrics).
                  ok.right = ok.right - (cancel.left - 17);
                  ok.bottom = ok.top - (client.bottom - 24);
                  cancel.right = cancel.right - (client.right - 8);
                  cancel.bottom = cancel.top - (client.bottom - 24);
                  d.Press(IDCANCEL);
              }),
              S_OK);
    EXPECT_EQ(window.right - window.left, 280);
    EXPECT_EQ(limits.ptMinTrackSize.x, 140);
    EXPECT_EQ(limits.ptMinTrackSize.y, 80);
    EXPECT_EQ(viewer.right, 0) << "control width differs from client width - 14 by this much";
    EXPECT_EQ(viewer.bottom, 0) << "control height differs from client height - 38 by this much";
    EXPECT_EQ(ok.right, 0);
    EXPECT_EQ(ok.bottom, 0);
    EXPECT_EQ(cancel.right, 0);
    EXPECT_EQ(cancel.bottom, 0);
}

TEST_F(SelectPart, ACorruptPictureFailsClearlyAndLeavesNoCopy)
{
    std::string path = TempFolder() + "trel_select_corrupt.jpg";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("\xFF\xD8\xFF\xE0 this is not a picture", f);
        std::fclose(f);
    }
    m_files.push_back(path);
    const int copiesBefore = WorkCopies();
    Bstr name(Wide(path).c_str()), res;
    EXPECT_EQ(m_helper->SelectPicturePart(0, name, VARIANT_TRUE, 300, 400, res.Put()), E_FAIL);
    const std::wstring text = ErrorText();
    EXPECT_EQ(text.find(L"CClientHelper::SelectPicturePart()\r\n"), 0u) << Narrow(text);
    EXPECT_NE(text.find(L"Не удалось загрузить файл с изображением."), std::wstring::npos);
    EXPECT_EQ(res.Text(), L"");
    EXPECT_EQ(WorkCopies(), copiesBefore);
    EXPECT_EQ(FindWindowW(L"#32770", kSelectDialogTitle), nullptr);
}

// A user without rights to the machine's settings key, as the key's ACL makes it here.
TEST_F(SelectPart, AnUnwritableSettingsKeyGivesTheSaveTextAndLeavesNoCopy)
{
    const std::string original = NewPicture("trel_select_rights.bmp", Pattern(200, 150));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPLICIT_ACCESSA deny = {};
    deny.grfAccessPermissions = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    deny.grfAccessMode = DENY_ACCESS;
    deny.grfInheritance = NO_INHERITANCE;
    deny.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    deny.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    deny.Trustee.ptstrName = const_cast<char*>("EVERYONE");
    EXPLICIT_ACCESSA allow = deny;
    allow.grfAccessPermissions = KEY_READ | WRITE_DAC;
    allow.grfAccessMode = GRANT_ACCESS;
    EXPLICIT_ACCESSA entries[] = {deny, allow};
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclA(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(acl);

    const int copiesBefore = WorkCopies();
    std::wstring result;
    const HRESULT hr = Call(original, true, 200, 150, result, [](SelectDialogDriver& d) { d.Press(IDOK); });
    const std::wstring text = ErrorText();

    // Everyone may write again.
    EXPLICIT_ACCESSA all = allow;
    all.grfAccessPermissions = KEY_ALL_ACCESS;
    ASSERT_EQ(SetEntriesInAclA(1, &all, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, acl, nullptr);
    LocalFree(acl);
    RegCloseKey(key);

    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(text, L"CClientHelper::SelectPicturePart()\r\n"
                    L"Failed to save params to the registry. The user might have no access rights for it.");
    EXPECT_EQ(result, L"");
    EXPECT_EQ(WorkCopies(), copiesBefore);
}

double Millis(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// When the selection control's first paint has ended, seen on the dialog's own thread: a hook on
// the thread's message retrieval notes the control's WM_PAINT and posts a message behind it, which
// is retrieved only once that paint is over.
std::chrono::steady_clock::time_point g_paintStart;
std::atomic<double> g_paintedAfter{0.0};
bool g_paintSeen = false;

LRESULT CALLBACK FirstPaintHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code >= 0 && wParam == PM_REMOVE && g_paintedAfter.load() == 0.0) {
        const MSG* m = reinterpret_cast<const MSG*>(lParam);
        wchar_t cls[64] = {};
        if (m->message == WM_PAINT && !g_paintSeen && GetClassNameW(m->hwnd, cls, 64) &&
            lstrcmpW(cls, L"TrelPictureSelectView") == 0) {
            g_paintSeen = true;
            PostMessageW(m->hwnd, WM_NULL, 0, 0);
        } else if (g_paintSeen && m->message == WM_NULL) {
            g_paintedAfter = Millis(std::chrono::steady_clock::now() - g_paintStart);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The figures for a 4000 x 3000 JPEG: opening until the picture is painted against decoding alone,
// one drag step, and applying the selection against ResizePicture to the same size.
TEST_F(SelectPart, SpeedOnATwelveMegapixelPhoto)
{
    using Clock = std::chrono::steady_clock;
    const std::string photo = NewPicture("trel_select_photo.jpg", Pattern(4000, 3000, true), "85");
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExA(photo.c_str(), GetFileExInfoStandard, &attributes);
    // Decoding alone: ResizePicture to the picture's own size loads it and changes nothing.
    auto decodeOnce = [&] {
        Bstr name(Wide(photo).c_str()), res;
        const auto t0 = Clock::now();
        EXPECT_EQ(m_helper->ResizePicture(name, 4000, 3000, VARIANT_FALSE, res.Put()), S_OK);
        return Millis(Clock::now() - t0);
    };
    decodeOnce();  // the file into the system's cache, as it is for every open below

    // The selection remembered for 300 x 400: three quarters of the photo's width, full height.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD remembered[4] = {0, 0, 2250, 3000};
    const char* edges[4] = {"Left", "Top", "Right", "Bottom"};
    for (int i = 0; i < 4; ++i)
        RegSetValueExA(key, (std::string("Picture300x400Select") + edges[i]).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&remembered[i]), sizeof(DWORD));
    RegCloseKey(key);

    // Each open is timed right after a decode alone, both on this thread, from the call until the
    // control's first paint has ended; the best of three of each are compared.
    std::atomic<double> step{0.0}, worstStep{0.0}, apply{0.0};
    double decode = 1e9, bestOpen = 1e9;
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, FirstPaintHook, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    auto arm = [] {
        g_paintSeen = false;
        g_paintedAfter = 0.0;
        g_paintStart = Clock::now();
    };
    auto waitPainted = [&](SelectDialogDriver&) {
        while (g_paintedAfter.load() == 0.0)
            Sleep(1);
    };
    auto account = [&](double decoded) {
        decode = std::min(decode, decoded);
        bestOpen = std::min(bestOpen, g_paintedAfter.load());
    };
    std::wstring result;
    for (int i = 0; i < 2; ++i) {
        const double decoded = decodeOnce();
        arm();
        ASSERT_EQ(Call(photo, false, 300, 400, result, [&](SelectDialogDriver& d) {
                      waitPainted(d);
                      d.Press(IDCANCEL);
                  }),
                  S_OK);
        account(decoded);
    }
    const double decoded = decodeOnce();
    arm();
    ASSERT_EQ(Call(photo, true, 300, 400, result, [&](SelectDialogDriver& d) {
                  waitPainted(d);
                  d.Fit(4000, 3000);
                  // Each move is handled and repainted before SendMessage returns. The real button
                  // is held meanwhile, so that moves the system makes up agree with the drag.
                  POINT from = d.View(1125, 1500);
                  SetForegroundWindow(d.dialog);
                  d.Pointer(from);
                  d.Pointer(from, MOUSEEVENTF_LEFTDOWN);
                  d.Settle();
                  double total = 0, worst = 0;
                  const int steps = 30;
                  for (int i = 1; i <= steps; ++i) {
                      POINT p{from.x + 2 * i, from.y - i};
                      const auto t0 = Clock::now();
                      SendMessageW(d.control, WM_MOUSEMOVE, MK_LBUTTON, SelectDialogDriver::At(p));
                      const double ms = Millis(Clock::now() - t0);
                      total += ms;
                      worst = std::max(worst, ms);
                  }
                  d.Pointer(from, MOUSEEVENTF_LEFTUP);
                  d.Settle();
                  step = total / steps;
                  worstStep = worst;
                  const auto t0 = Clock::now();
                  SendMessageW(d.dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                               reinterpret_cast<LPARAM>(GetDlgItem(d.dialog, IDOK)));
                  apply = Millis(Clock::now() - t0);
              }),
              S_OK);
    UnhookWindowsHookEx(hook);
    ASSERT_FALSE(m_driverFailed);
    account(decoded);
    Picture part;
    ASSERT_TRUE(ReadPicture(Narrow(result), part));
    EXPECT_EQ(part.width, 300);
    EXPECT_EQ(part.height, 400);

    double resize = 1e9;
    for (int i = 0; i < 2; ++i) {
        Bstr name(Wide(photo).c_str()), res;
        const auto t0 = Clock::now();
        ASSERT_EQ(m_helper->ResizePicture(name, 300, 400, VARIANT_TRUE, res.Put()), S_OK);
        resize = std::min(resize, Millis(Clock::now() - t0));
        m_files.push_back(Narrow(res.Text()));
    }
    std::printf("[ speed    ] 4000x3000 JPEG of %lu bytes\n", attributes.nFileSizeLow);
    std::printf("[ speed    ] 4000x3000 JPEG: decode alone %.1f ms, dialog open until painted %.1f ms (best of 3 "
                "each): %.2f x\n",
                decode, bestOpen, bestOpen / decode);
    std::printf("[ speed    ] drag step %.2f ms on average, %.2f ms at worst (30 steps)\n", step.load(),
                worstStep.load());
    std::printf("[ speed    ] apply the selection to 300x400 (OK) %.1f ms; ResizePicture to 300x400 %.1f ms (%.2f x)\n",
                apply.load(), resize, apply.load() / resize);
    // The target is 1.5 x the decode alone (printed above); the check leaves room for a loaded machine.
    EXPECT_LE(bestOpen, 2.0 * decode);
    EXPECT_LT(step.load(), 16.0);
}

} // namespace

namespace {

HRESULT CallControl(IDispatch* p, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                    EXCEPINFO* excep)
{
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    return p->Invoke(id, IID_NULL, 0, flags, &params, result, excep, nullptr);
}

VARIANT L(long v)
{
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    return x;
}

long Get(IDispatch* p, DISPID id)
{
    VARIANT r;
    VariantInit(&r);
    EXPECT_EQ(CallControl(p, id, DISPATCH_PROPERTYGET, {}, &r, nullptr), S_OK) << id;
    return V_VT(&r) == VT_I4 ? V_I4(&r) : -999;
}

} // namespace

// The control by itself, as any container or script would call it through its dispatch table.
TEST_F(SelectPart, TheControlAloneThroughItsDispatchTable)
{
    const std::string file = NewPicture("trel_select_control.bmp", Pattern(200, 100));
    ComPtr<IDispatch> control;
    ASSERT_EQ(CoCreateInstance(CLSID_TrelPictureSelectForTests, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               control.PutVoid()),
              S_OK);
    LPOLESTR name = const_cast<LPOLESTR>(L"SelBottom");
    DISPID id = 0;
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 9);

    VARIANT path;
    VariantInit(&path);
    V_VT(&path) = VT_BSTR;
    V_BSTR(&path) = SysAllocString(Wide(file).c_str());
    EXCEPINFO excep = {};
    ASSERT_EQ(CallControl(control.Get(), 1, DISPATCH_PROPERTYPUT, {path}, nullptr, &excep), S_OK);
    EXPECT_EQ(Get(control.Get(), 2), 200);
    EXPECT_EQ(Get(control.Get(), 3), 100);
    // The selection is cut to the picture and given the ratio (the longer side shortened).
    VARIANT ratio, keep;
    VariantInit(&ratio);
    V_VT(&ratio) = VT_R8;
    V_R8(&ratio) = 0.75;
    VariantInit(&keep);
    V_VT(&keep) = VT_BOOL;
    V_BOOL(&keep) = VARIANT_TRUE;
    ASSERT_EQ(CallControl(control.Get(), 5, DISPATCH_METHOD, {L(10), L(20), L(250), L(95), ratio, keep}, nullptr,
                          &excep),
              S_OK);
    EXPECT_EQ(Get(control.Get(), 6), 10);
    EXPECT_EQ(Get(control.Get(), 7), 20);
    EXPECT_EQ(Get(control.Get(), 8), 110);
    EXPECT_EQ(Get(control.Get(), 9), 95);
    // A target height of 0 keeps the part's proportions: 100 x 75 to 50 x 38.
    ASSERT_EQ(CallControl(control.Get(), 4, DISPATCH_METHOD, {L(50), L(0), L(10), L(20), L(110), L(95)}, nullptr,
                          &excep),
              S_OK);
    Picture part;
    ASSERT_TRUE(ReadPicture(file, part));
    EXPECT_EQ(part.width, 50);
    EXPECT_EQ(part.height, 38);
    // Nothing selected, and a file that is no picture: errors with the control's own text.
    excep = {};
    EXPECT_EQ(CallControl(control.Get(), 4, DISPATCH_METHOD, {L(50), L(50), L(500), L(20), L(900), L(95)}, nullptr,
                          &excep),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_INVALIDARG);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    excep = {};
    SysFreeString(V_BSTR(&path));
    V_BSTR(&path) = SysAllocString(L"Z:\\no\\such\\picture.jpg");
    EXPECT_EQ(CallControl(control.Get(), 1, DISPATCH_PROPERTYPUT, {path}, nullptr, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_FAIL);
    EXPECT_EQ(std::wstring(excep.bstrDescription ? excep.bstrDescription : L""),
              L"Не удалось загрузить файл с изображением. (Z:\\no\\such\\picture.jpg)");
    EXPECT_EQ(Get(control.Get(), 2), 0);  // the old picture is not kept under the new name
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    VariantClear(&path);
    EXPECT_EQ(CallControl(control.Get(), 4, DISPATCH_PROPERTYGET, {}, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
}

// The control's DLL registers itself as a control under its class identifier and ProgIDs, and
// unregisters again; the dialog then reports the missing control instead of opening without it.
TEST_F(SelectPart, TheControlRegistersAndAMissingControlIsReported)
{
    std::wstring dll = DllPath();
    dll = dll.substr(0, dll.rfind(L'\\') + 1) + L"TrelPictureSelect.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr) << Narrow(dll);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto reg = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    auto unreg = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    ASSERT_TRUE(reg != nullptr && unreg != nullptr);
    auto keyText = [](const std::string& key, const char* value) {
        char text[MAX_PATH] = {};
        DWORD size = sizeof(text);
        if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
            return std::string("<none>");
        return std::string(text);
    };
    const std::string clsidKey = "CLSID\\{7C3E5A90-2D4B-4F81-96A7-E8B1C4D2F360}";
    ASSERT_EQ(reg(), S_OK);
    EXPECT_EQ(keyText(clsidKey + "\\InprocServer32", nullptr), Narrow(dll));
    EXPECT_EQ(keyText(clsidKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(keyText(clsidKey + "\\Control", nullptr), "");
    CLSID byName;
    EXPECT_EQ(CLSIDFromProgID(L"TrelPictureSelect.PictureSelect", &byName), S_OK);
    EXPECT_TRUE(byName == CLSID_TrelPictureSelectForTests);

    ASSERT_EQ(unreg(), S_OK);
    EXPECT_EQ(keyText(clsidKey + "\\InprocServer32", nullptr), "<none>");
    EXPECT_NE(CLSIDFromProgID(L"TrelPictureSelect.PictureSelect", &byName), S_OK);
    const std::string original = NewPicture("trel_select_nocontrol.bmp", Pattern(64, 48));
    const int copiesBefore = WorkCopies();
    Bstr name(Wide(original).c_str()), res;
    const HRESULT hr = m_helper->SelectPicturePart(0, name, VARIANT_TRUE, 64, 48, res.Put());
    const std::wstring text = ErrorText();
    EXPECT_EQ(reg(), S_OK);
    FreeLibrary(module);
    EXPECT_EQ(hr, REGDB_E_CLASSNOTREG);
    EXPECT_NE(text.find(L"CImageViewer: the picture selection control cannot be created"), std::wstring::npos)
        << Narrow(text);
    EXPECT_EQ(WorkCopies(), copiesBefore);
    EXPECT_EQ(keyText(clsidKey + "\\InprocServer32", nullptr), Narrow(dll));
}
