// Stand-in TWAIN data source for the scanning tests. Wine's data source manager loads it as
// sane.ds (and, when installed twice, as gphoto2.ds: a second source). Test equipment: never shipped.
//
// Configured per test by the file named in TREL_TWAIN_SOURCE (read when the source is opened),
// one key=value a line:
//   record=PATH          append every triplet received (and its answer) to PATH
//   image=WxHxBPP        the page: 1, 8 or 24 bits (default 320x240x24)
//   content=quadrants|photo  four coloured quadrants, or (24 bits) a photograph-like page
//   ui=dialog|none       a window with "Scan" and "Cancel" buttons, or an image ready at once
//   cancel=request|silent  "Cancel" asks to be closed, or just closes the window
//   xfercount=ok|checkstatus  answer the first setting of CAP_XFERCOUNT with TWRC_CHECKSTATUS
//   imageinfo=ok|fail|failonce
//   xfer=done|cancel|fail|truncated|code=N   how the native transfer ends
//   closereq=after|never  ask to be closed once the transfers are over, or never
#include <windows.h>
#include <psapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "acquire/TwainRecords.h"
#include "twain_pattern.h"

namespace {

HINSTANCE g_hInstance = nullptr;

struct Config {
    std::string record;
    int width = 320, height = 240, bpp = 24;
    bool photo = false;
    bool dialog = true;
    bool silentCancel = false;
    bool checkStatus = false;
    std::string imageInfo = "ok";
    std::string xfer = "done";
    bool closeAfter = true;
};

Config g_config;
TW_UINT16 g_condition = TWCC_SUCCESS;
bool g_open = false, g_enabled = false, g_checkStatusGiven = false, g_infoFailedOnce = false;
int g_pending = 0;
TW_UINT16 g_xferCount = 1;
HWND g_hWindow = nullptr, g_hWake = nullptr;
std::deque<TW_UINT16> g_messages;
LARGE_INTEGER g_xferDoneAt = {};

const char kWindowClass[] = "TrelTwainSourceWindow";
const char kWakeClass[] = "TrelTwainSourceWake";
const UINT kWakeMessage = WM_APP + 0x2A;

// Lines written while a triplet is handled follow the triplet's own line.
bool g_inEntry = false;
std::string g_details;

void RecordLine(const std::string& line)
{
    if (g_config.record.empty())
        return;
    if (FILE* f = std::fopen(g_config.record.c_str(), "a")) {
        std::fputs(line.c_str(), f);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

void Record(const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (g_inEntry)
        g_details += std::string(line) + "\n";
    else
        RecordLine(line);
}

void ReadConfig()
{
    g_config = Config();
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("TREL_TWAIN_SOURCE", path, sizeof(path)))
        return;
    FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return;
    char line[512];
    while (std::fgets(line, sizeof(line), f)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        const size_t eq = text.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = text.substr(0, eq), value = text.substr(eq + 1);
        if (key == "record")
            g_config.record = value;
        else if (key == "image")
            std::sscanf(value.c_str(), "%dx%dx%d", &g_config.width, &g_config.height, &g_config.bpp);
        else if (key == "content")
            g_config.photo = value == "photo";
        else if (key == "ui")
            g_config.dialog = value == "dialog";
        else if (key == "cancel")
            g_config.silentCancel = value == "silent";
        else if (key == "xfercount")
            g_config.checkStatus = value == "checkstatus";
        else if (key == "imageinfo")
            g_config.imageInfo = value;
        else if (key == "xfer")
            g_config.xfer = value;
        else if (key == "closereq")
            g_config.closeAfter = value != "never";
    }
    std::fclose(f);
}

void Queue(TW_UINT16 msg)
{
    g_messages.push_back(msg);
    if (g_hWake != nullptr)
        PostMessageA(g_hWake, kWakeMessage, 0, 0);
}

void DestroyWindows()
{
    if (g_hWindow != nullptr)
        DestroyWindow(g_hWindow);
    g_hWindow = nullptr;
}

LRESULT CALLBACK SourceWindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            Record("UI Scan");
            g_pending = 1;
            Queue(MSG_XFERREADY);
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            Record("UI Cancel");
            if (g_config.silentCancel) {
                DestroyWindow(hWnd);
            } else {
                Queue(MSG_CLOSEDSREQ);
            }
            return 0;
        }
        break;
    case WM_CLOSE:
        SendMessageA(hWnd, WM_COMMAND, IDCANCEL, 0);
        return 0;
    case WM_DESTROY:
        if (g_hWindow == hWnd)
            g_hWindow = nullptr;
        break;
    }
    return DefWindowProcA(hWnd, msg, wParam, lParam);
}

void ShowSourceWindow(HWND hParent)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = SourceWindowProc;
    wc.hInstance = g_hInstance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    for (HWND owner : {IsWindow(hParent) ? hParent : nullptr, static_cast<HWND>(nullptr)}) {
        g_hWindow = CreateWindowExA(WS_EX_DLGMODALFRAME, kWindowClass, "Trel Test Scanner",
                                    WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 120, 120, 260, 120, owner,
                                    nullptr, g_hInstance, nullptr);
        Record("  window=%s owner=%s error=%lu", g_hWindow ? "yes" : "no", owner ? "parent" : "none", GetLastError());
        if (g_hWindow != nullptr)
            break;
    }
    CreateWindowExA(0, "BUTTON", "Scan", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 20, 30, 100, 28, g_hWindow,
                    reinterpret_cast<HMENU>(IDOK), g_hInstance, nullptr);
    CreateWindowExA(0, "BUTTON", "Cancel", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 135, 30, 100, 28, g_hWindow,
                    reinterpret_cast<HMENU>(IDCANCEL), g_hInstance, nullptr);
}

void CreateWakeWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = g_hInstance;
    wc.lpszClassName = kWakeClass;
    RegisterClassA(&wc);
    if (g_hWake == nullptr)
        g_hWake = CreateWindowExA(0, kWakeClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, g_hInstance, nullptr);
}

void FillIdentity(TW_IDENTITY& id)
{
    char module[MAX_PATH] = {};
    GetModuleFileNameA(g_hInstance, module, sizeof(module));
    const char* base = std::strrchr(module, '\\');
    base = base ? base + 1 : module;
    const bool second = _stricmp(base, "sane.ds") != 0;
    const TW_UINT32 keepId = id.Id;
    id = {};
    id.Id = keepId;
    id.Version.MajorNum = 1;
    id.Version.MinorNum = 0;
    id.Version.Language = 13;
    id.Version.Country = 1;
    std::strcpy(id.Version.Info, "stand-in");
    id.ProtocolMajor = 1;
    id.ProtocolMinor = 9;
    id.SupportedGroups = DG_CONTROL_AND_IMAGE;
    std::strcpy(id.Manufacturer, "Trel Tests");
    std::strcpy(id.ProductFamily, "Stand-in");
    std::strcpy(id.ProductName, second ? "Trel Test Scanner 2" : "Trel Test Scanner");
}

HGLOBAL MakePage()
{
    const int w = g_config.width, h = g_config.height, bpp = g_config.bpp;
    const int colours = bpp == 1 ? 2 : bpp == 8 ? 256 : 0;
    const size_t stride = ((size_t(w) * bpp + 31) / 32) * 4;
    const size_t bytes = sizeof(BITMAPINFOHEADER) + 4 * size_t(colours) + stride * size_t(h);
    HGLOBAL block = GlobalAlloc(GHND, g_config.xfer == "truncated" ? bytes / 2 : bytes);
    if (block == nullptr)
        return nullptr;
    BYTE* base = static_cast<BYTE*>(GlobalLock(block));
    if (g_config.xfer == "truncated") {
        // A header that promises more than the block holds.
        BITMAPINFOHEADER* p = reinterpret_cast<BITMAPINFOHEADER*>(base);
        p->biSize = sizeof(BITMAPINFOHEADER);
        p->biWidth = w;
        p->biHeight = h;
        p->biPlanes = 1;
        p->biBitCount = static_cast<WORD>(bpp);
        GlobalUnlock(block);
        return block;
    }
    BITMAPINFOHEADER* p = reinterpret_cast<BITMAPINFOHEADER*>(base);
    p->biSize = sizeof(BITMAPINFOHEADER);
    p->biWidth = w;
    p->biHeight = h;
    p->biPlanes = 1;
    p->biBitCount = static_cast<WORD>(bpp);
    p->biCompression = BI_RGB;
    p->biSizeImage = static_cast<DWORD>(stride * size_t(h));
    p->biXPelsPerMeter = p->biYPelsPerMeter = 11811;
    RGBQUAD* table = reinterpret_cast<RGBQUAD*>(p + 1);
    // 8 bits: the quadrant colours sit at entries 10 to 13 among greys, so that a reader that
    // ignored the table would be caught.
    for (int i = 0; i < colours; ++i)
        table[i] = RGBQUAD{BYTE(255 - i), BYTE(255 - i), BYTE(255 - i), 0};
    if (bpp == 1) {
        table[0] = RGBQUAD{0, 0, 0, 0};
        table[1] = RGBQUAD{255, 255, 255, 0};
    } else if (bpp == 8) {
        for (int q = 0; q < 4; ++q) {
            const ScanRgb c = ScanPatternColour(q % 2 ? w : 0, q / 2 ? h : 0, w, h, 8);
            table[10 + q] = RGBQUAD{c.b, c.g, c.r, 0};
        }
    }
    BYTE* rows = reinterpret_cast<BYTE*>(table + colours);
    std::vector<double> waveX(w), waveY(h), waveXY(size_t(w) + h);
    for (int x = 0; x < w; ++x)
        waveX[x] = ScanPhotoWaveX(x);
    for (int y = 0; y < h; ++y)
        waveY[y] = ScanPhotoWaveY(y);
    for (int i = 0; i < w + h; ++i)
        waveXY[i] = ScanPhotoWaveXY(i);
    for (int y = 0; y < h; ++y) {
        BYTE* row = rows + size_t(h - 1 - y) * stride;  // bottom-up
        for (int x = 0; x < w; ++x) {
            if (bpp == 24) {
                const ScanRgb c = g_config.photo ? ScanPhotoPixelFrom(x, y, waveX[x], waveY[y], waveXY[x + y])
                                                 : ScanPatternColour(x, y, w, h, 24);
                row[3 * x] = c.b;
                row[3 * x + 1] = c.g;
                row[3 * x + 2] = c.r;
            } else if (bpp == 8) {
                row[x] = static_cast<BYTE>(10 + ScanPatternIndex(x, y, w, h, 8));
            } else if (ScanPatternIndex(x, y, w, h, 1)) {
                row[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
            }
        }
    }
    GlobalUnlock(block);
    return block;
}

SIZE_T PeakMemory()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize;
}

TW_UINT16 Fail(TW_UINT16 condition)
{
    g_condition = condition;
    return TWRC_FAILURE;
}

TW_UINT16 Capability(TW_UINT16 msg, TW_CAPABILITY* cap)
{
    if (cap == nullptr || cap->Cap != CAP_XFERCOUNT)
        return Fail(TWCC_BADCAP);
    if (msg == MSG_GET) {
        HGLOBAL h = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
        TW_ONEVALUE* v = static_cast<TW_ONEVALUE*>(GlobalLock(h));
        v->ItemType = TWTY_INT16;
        v->Item = g_xferCount;
        GlobalUnlock(h);
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        Record("  get cap=%u -> %u", cap->Cap, unsigned(g_xferCount));
        return TWRC_SUCCESS;
    }
    if (msg != MSG_SET || cap->ConType != TWON_ONEVALUE || cap->hContainer == nullptr)
        return Fail(TWCC_BADVALUE);
    const TW_ONEVALUE* v = static_cast<const TW_ONEVALUE*>(GlobalLock(cap->hContainer));
    const unsigned type = v->ItemType, item = v->Item;
    const SIZE_T size = GlobalSize(cap->hContainer);
    GlobalUnlock(cap->hContainer);
    Record("  set cap=%u type=%u item=%u block=%u", cap->Cap, type, item, unsigned(size));
    if (g_config.checkStatus && !g_checkStatusGiven) {
        g_checkStatusGiven = true;
        g_condition = TWCC_BADVALUE;
        return TWRC_CHECKSTATUS;
    }
    g_xferCount = static_cast<TW_UINT16>(item);
    return TWRC_SUCCESS;
}

TW_UINT16 Handle(TW_IDENTITY* pOrigin, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData)
{
    if (DG == DG_CONTROL && DAT == DAT_IDENTITY) {
        TW_IDENTITY* id = static_cast<TW_IDENTITY*>(pData);
        if (MSG == MSG_GET && id != nullptr) {
            FillIdentity(*id);
            return TWRC_SUCCESS;
        }
        if (MSG == MSG_OPENDS) {
            ReadConfig();
            g_open = true;
            g_enabled = false;
            g_checkStatusGiven = g_infoFailedOnce = false;
            g_messages.clear();
            g_xferCount = 1;
            TW_IDENTITY self = {};
            FillIdentity(self);
            Record("  source=%s", self.ProductName);
            if (pOrigin != nullptr)
                Record("  origin=%s|%s|%s|%s|%u.%u|%u", pOrigin->Manufacturer, pOrigin->ProductFamily,
                       pOrigin->ProductName, pOrigin->Version.Info, unsigned(pOrigin->ProtocolMajor),
                       unsigned(pOrigin->ProtocolMinor), unsigned(pOrigin->SupportedGroups));
            return TWRC_SUCCESS;
        }
        if (MSG == MSG_CLOSEDS) {
            DestroyWindows();
            if (g_hWake != nullptr)
                DestroyWindow(g_hWake);
            g_hWake = nullptr;
            g_open = g_enabled = false;
            return TWRC_SUCCESS;
        }
        return Fail(TWCC_BUMMER);
    }
    if (!g_open)
        return Fail(TWCC_SEQERROR);
    if (DG == DG_CONTROL && DAT == DAT_STATUS && MSG == MSG_GET) {
        static_cast<TW_STATUS*>(pData)->ConditionCode = g_condition;
        g_condition = TWCC_SUCCESS;
        return TWRC_SUCCESS;
    }
    if (DG == DG_CONTROL && DAT == DAT_CAPABILITY)
        return Capability(MSG, static_cast<TW_CAPABILITY*>(pData));
    if (DG == DG_CONTROL && DAT == DAT_USERINTERFACE) {
        TW_USERINTERFACE* ui = static_cast<TW_USERINTERFACE*>(pData);
        if (MSG == MSG_ENABLEDS) {
            Record("  show=%u parent=%llu", unsigned(ui->ShowUI),
                   static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(ui->hParent)));
            g_enabled = true;
            CreateWakeWindow();
            if (g_config.dialog && ui->ShowUI) {
                ShowSourceWindow(static_cast<HWND>(ui->hParent));
            } else {
                g_pending = 1;
                Queue(MSG_XFERREADY);
            }
            return TWRC_SUCCESS;
        }
        if (MSG == MSG_DISABLEDS) {
            DestroyWindows();
            g_enabled = false;
            return TWRC_SUCCESS;
        }
        return Fail(TWCC_BADVALUE);
    }
    if (DG == DG_CONTROL && DAT == DAT_EVENT && MSG == MSG_PROCESSEVENT) {
        TW_EVENT* ev = static_cast<TW_EVENT*>(pData);
        const ::MSG* m = static_cast<const ::MSG*>(ev->pEvent);
        if (m != nullptr && m->hwnd == g_hWake && m->message == kWakeMessage && !g_messages.empty()) {
            ev->TWMessage = g_messages.front();
            g_messages.pop_front();
            return TWRC_DSEVENT;
        }
        ev->TWMessage = MSG_NULL;
        return TWRC_NOTDSEVENT;
    }
    if (DG == DG_CONTROL && DAT == DAT_PENDINGXFERS) {
        TW_PENDINGXFERS* p = static_cast<TW_PENDINGXFERS*>(pData);
        if (MSG == MSG_ENDXFER) {
            if (g_xferDoneAt.QuadPart != 0) {
                LARGE_INTEGER now, freq;
                QueryPerformanceCounter(&now);
                QueryPerformanceFrequency(&freq);
                Record("  saved in %.1f ms, peak working set %.1f MiB", (now.QuadPart - g_xferDoneAt.QuadPart) * 1000.0 / freq.QuadPart,
                       PeakMemory() / 1048576.0);
                g_xferDoneAt.QuadPart = 0;
            }
            if (g_pending > 0)
                --g_pending;
        } else if (MSG == MSG_RESET) {
            g_pending = 0;
        } else {
            return Fail(TWCC_BADVALUE);
        }
        p->Count = static_cast<TW_UINT16>(g_pending);
        if (g_pending == 0 && g_config.closeAfter)
            Queue(MSG_CLOSEDSREQ);
        return TWRC_SUCCESS;
    }
    if (DG == DG_IMAGE && DAT == DAT_IMAGEINFO && MSG == MSG_GET) {
        if (g_config.imageInfo == "fail" || (g_config.imageInfo == "failonce" && !g_infoFailedOnce)) {
            g_infoFailedOnce = true;
            return Fail(TWCC_BUMMER);
        }
        TW_IMAGEINFO* info = static_cast<TW_IMAGEINFO*>(pData);
        *info = {};
        info->XResolution.Whole = info->YResolution.Whole = 300;
        info->ImageWidth = g_config.width;
        info->ImageLength = g_config.height;
        info->SamplesPerPixel = g_config.bpp == 24 ? 3 : 1;
        info->BitsPerSample[0] = static_cast<TW_INT16>(g_config.bpp == 24 ? 8 : g_config.bpp);
        info->BitsPerPixel = static_cast<TW_INT16>(g_config.bpp);
        info->PixelType = g_config.bpp == 24 ? 2 : g_config.bpp == 8 ? 1 : 0;
        return TWRC_SUCCESS;
    }
    if (DG == DG_IMAGE && DAT == DAT_IMAGENATIVEXFER && MSG == MSG_GET) {
        TW_HANDLE* out = static_cast<TW_HANDLE*>(pData);
        const std::string& how = g_config.xfer;
        if (how == "cancel")
            return TWRC_CANCEL;
        if (how == "fail")
            return Fail(TWCC_BUMMER);
        if (how.compare(0, 5, "code=") == 0)
            return static_cast<TW_UINT16>(std::atoi(how.c_str() + 5));
        const SIZE_T before = PeakMemory();
        HGLOBAL page = MakePage();
        if (page == nullptr)
            return Fail(TWCC_LOWMEMORY);
        Record("  page %dx%dx%d, peak working set before the page %.1f MiB", g_config.width, g_config.height,
               g_config.bpp, before / 1048576.0);
        *out = page;
        QueryPerformanceCounter(&g_xferDoneAt);
        return TWRC_XFERDONE;
    }
    return Fail(TWCC_BUMMER);
}

} // namespace

extern "C" __declspec(dllexport) TW_UINT16 WINAPI DS_Entry(TW_IDENTITY* pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                                         TW_UINT16 MSG, TW_MEMREF pData)
{
    // Wine's manager asks for the identity before any test has configured the source.
    const bool quietIdentity = DG == DG_CONTROL && DAT == DAT_IDENTITY && MSG == MSG_GET;
    g_inEntry = true;
    g_details.clear();
    const TW_UINT16 rc = Handle(pOrigin, DG, DAT, MSG, pData);
    g_inEntry = false;
    const bool unheldEvent = DAT == DAT_EVENT && rc == TWRC_NOTDSEVENT;
    static bool s_afterUnheldEvent = false;
    const bool statusAfterEvent = DAT == DAT_STATUS && s_afterUnheldEvent;
    s_afterUnheldEvent = unheldEvent;
    if (!quietIdentity && !unheldEvent && !statusAfterEvent) {
        if (DAT == DAT_EVENT)
            Record("%u/%04X/%04X %u msg=%04X", unsigned(DG), unsigned(DAT), unsigned(MSG), unsigned(rc),
                   unsigned(static_cast<TW_EVENT*>(pData)->TWMessage));
        else
            Record("%u/%04X/%04X %u", unsigned(DG), unsigned(DAT), unsigned(MSG), unsigned(rc));
        if (!g_details.empty())
            RecordLine(g_details.substr(0, g_details.size() - 1));
    }
    g_details.clear();
    return rc;
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_hInstance = hInstance;
    return TRUE;
}
