#include "acquire/Twain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "framework/ErrorReport.h"
#include "picture/Dib.h"
#include "picture/PixelOps.h"
#include "picture/WorkFolder.h"

namespace {

CTwainWork* g_pTwainSession = nullptr;
// The session is not destroyed under a running Scan: the request waits for the scan to end.
bool g_bScanRunning = false;
bool g_bDestroyPending = false;

// Image information a source cannot give is asked for this many times before the transfers end.
constexpr int kImageInfoTries = 3;
// How often the scan loop looks at the windows when no message comes, and how long the source's
// windows may be gone before the scan is over.
constexpr UINT kWatchPeriodMs = 250;
constexpr int kWindowsGoneTicks = 8;

void CopyText(TW_STR32& field, const char* text)
{
    std::memset(field, 0, sizeof(field));
    std::strncpy(field, text, sizeof(field) - 1);
}

void LogScanProblem(const std::string& text, const char* file, int line)
{
    LogHResult(E_FAIL, text.c_str(), file, line);
}

// Visible top-level windows of this process. The source's user interface runs in the caller's
// thread, so the windows that appear after it is enabled are the source's (or the caller's own).
BOOL CALLBACK AddVisibleProcessWindow(HWND hWnd, LPARAM lParam)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(hWnd))
        reinterpret_cast<std::set<HWND>*>(lParam)->insert(hWnd);
    return TRUE;
}

std::set<HWND> VisibleProcessWindows()
{
    std::set<HWND> windows;
    EnumWindows(AddVisibleProcessWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

} // namespace

// Tells when the windows a source showed have all gone away and stayed away.
class CSourceWindowWatch
{
public:
    CSourceWindowWatch() : m_before(VisibleProcessWindows()) {}

    bool SourceWindowsGone()
    {
        bool anyNew = false;
        for (HWND hWnd : VisibleProcessWindows())
            if (m_before.count(hWnd) == 0) {
                anyNew = true;
                break;
            }
        if (anyNew) {
            m_bSeen = true;
            m_nGoneTicks = 0;
            return false;
        }
        return m_bSeen && ++m_nGoneTicks >= kWindowsGoneTicks;
    }

private:
    std::set<HWND> m_before;
    bool m_bSeen = false;
    int m_nGoneTicks = 0;
};

namespace {

// Bytes a packed bitmap of this header needs, or 0 when the header cannot describe one we take.
size_t PackedDibBytes(const BITMAPINFOHEADER& h, size_t available)
{
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biSize > available || h.biWidth <= 0 || h.biHeight <= 0 ||
        h.biWidth > 65535 || h.biHeight > 65535 || h.biPlanes > 1)
        return 0;
    if (h.biCompression != BI_RGB)
        return 0;
    size_t colours = 0;
    switch (h.biBitCount) {
    case 1: case 4: case 8:
        colours = h.biClrUsed ? h.biClrUsed : size_t(1) << h.biBitCount;
        if (colours > (size_t(1) << h.biBitCount))
            return 0;
        break;
    case 16: case 24: case 32:
        if (h.biClrUsed != 0)
            return 0;
        break;
    default:
        return 0;
    }
    return h.biSize + 4 * colours + DibStride(h.biWidth, h.biBitCount) * size_t(h.biHeight);
}

} // namespace

// ---- CTwain ----

CTwain::CTwain(HWND hWnd, DSMENTRYPROC pEntry) : m_pGivenEntry(pEntry)
{
    LoadManager(hWnd);
}

CTwain::~CTwain()
{
    UnloadManager();
}

void CTwain::FillIdentity(TW_IDENTITY& identity)
{
    identity = {};
    identity.Id = 0;
    identity.Version.MajorNum = 3;
    identity.Version.MinorNum = 5;
    identity.Version.Language = 13;
    identity.Version.Country = 1;
    CopyText(identity.Version.Info, "3.5");
    identity.ProtocolMajor = 1;
    identity.ProtocolMinor = 8;
    identity.SupportedGroups = DG_CONTROL_AND_IMAGE;
    CopyText(identity.Manufacturer, "VORNA");
    CopyText(identity.ProductFamily, "Generic");
    CopyText(identity.ProductName, "Twain Test");
}

bool CTwain::CallSource(TW_IDENTITY* pDest, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF pData)
{
    if (m_pEntry == nullptr) {
        m_nReturnCode = TWRC_FAILURE;
        return false;
    }
    m_nReturnCode = m_pEntry(&m_appId, pDest, group, dat, msg, pData);
    if (m_nReturnCode != TWRC_SUCCESS)
        m_pEntry(&m_appId, pDest, DG_CONTROL, DAT_STATUS, MSG_GET, &m_status);
    return m_nReturnCode == TWRC_SUCCESS;
}

bool CTwain::LoadManager(HWND hWnd)
{
    if (m_pEntry != nullptr)
        return true;
    m_appId = {};
    if (!IsWindow(hWnd))
        return false;
    m_hParent = hWnd;
    if (m_pGivenEntry != nullptr) {
        m_pEntry = m_pGivenEntry;
    } else {
        m_hManager = LoadLibraryA("TWAIN_32.DLL");
        if (m_hManager != nullptr) {
            m_pEntry = reinterpret_cast<DSMENTRYPROC>(
                reinterpret_cast<void*>(GetProcAddress(m_hManager, MAKEINTRESOURCEA(1))));
            if (m_pEntry == nullptr) {
                FreeLibrary(m_hManager);
                m_hManager = nullptr;
            }
        }
        if (m_pEntry == nullptr)
            return false;
    }
    FillIdentity(m_appId);
    m_bManagerOpen = CallSource(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &m_hParent);
    return true;
}

void CTwain::UnloadManager()
{
    if (m_pEntry == nullptr)
        return;
    CloseManager();
    if (m_hManager != nullptr)
        FreeLibrary(m_hManager);
    m_hManager = nullptr;
    m_pEntry = nullptr;
}

void CTwain::CloseManager()
{
    if (!m_bManagerOpen)
        return;
    CloseSource();
    CallSource(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &m_hParent);
    m_bManagerOpen = false;
}

void CTwain::CloseSource()
{
    if (!m_bSourceOpen)
        return;
    DisableSource();
    CallSource(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_source);
    m_bSourceOpen = false;
}

bool CTwain::DisableSource()
{
    if (m_bSourceEnabled) {
        TW_USERINTERFACE ui = {};
        ui.hParent = m_hParent;
        if (CallSource(&m_source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui))
            m_bSourceEnabled = false;
    }
    return !m_bSourceEnabled;
}

bool CTwain::GetDefaultSource()
{
    m_bSourceSelected = CallSource(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &m_source);
    return m_bSourceSelected;
}

bool CTwain::SelectSource()
{
    m_source = {};
    if (!m_bSourceSelected)
        GetDefaultSource();
    const bool selected = CallSource(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &m_source);
    if (selected)
        m_bSourceSelected = true;
    return selected;
}

bool CTwain::OpenSource(const TW_IDENTITY* pSource)
{
    if (pSource != nullptr)
        m_source = *pSource;
    if (m_bManagerOpen) {
        if (!m_bSourceSelected)
            GetDefaultSource();
        m_bSourceOpen = CallSource(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_source);
    }
    return m_bManagerOpen && m_bSourceOpen;
}

int CTwain::ShouldTransfer(const TW_IMAGEINFO&)
{
    return 0;
}

bool CTwain::CanCloseSource()
{
    return true;
}

void CTwain::OnTransferStarted() {}

void CTwain::OnTransferEnded() {}

bool CTwain::SetOneValue(TW_UINT16 cap, TW_UINT16 value, bool isSigned)
{
    if (!m_bSourceOpen)
        return false;
    HGLOBAL hBlock = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(TW_ONEVALUE));
    if (hBlock == nullptr)
        return false;
    TW_ONEVALUE* pValue = static_cast<TW_ONEVALUE*>(GlobalLock(hBlock));
    pValue->ItemType = isSigned ? TWTY_INT16 : TWTY_UINT16;
    pValue->Item = value;
    GlobalUnlock(hBlock);
    TW_CAPABILITY capability = {};
    capability.Cap = cap;
    capability.ConType = TWON_ONEVALUE;
    capability.hContainer = hBlock;
    const bool ok = CallSource(&m_source, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(hBlock);
    return ok;
}

bool CTwain::GetOneValue(TW_UINT16 cap, TW_UINT32& value)
{
    if (!m_bSourceOpen)
        return false;
    TW_CAPABILITY capability = {};
    capability.Cap = cap;
    capability.ConType = TWON_DONTCARE16;
    if (!CallSource(&m_source, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability) || capability.hContainer == nullptr)
        return false;
    // Only a one-value container holds its item behind the item type; other containers are not read.
    bool ok = false;
    if (capability.ConType == TWON_ONEVALUE && GlobalSize(capability.hContainer) >= sizeof(TW_ONEVALUE)) {
        if (const TW_ONEVALUE* pValue = static_cast<const TW_ONEVALUE*>(GlobalLock(capability.hContainer))) {
            value = pValue->Item;
            ok = true;
            GlobalUnlock(capability.hContainer);
        }
    }
    GlobalFree(capability.hContainer);
    return ok;
}

bool CTwain::SetTransferCount(short count)
{
    if (SetOneValue(CAP_XFERCOUNT, static_cast<TW_UINT16>(count), true))
        return true;
    if (m_nReturnCode != TWRC_CHECKSTATUS)
        return false;
    TW_UINT32 current = 0;
    return GetOneValue(CAP_XFERCOUNT, current) && SetOneValue(CAP_XFERCOUNT, static_cast<TW_UINT16>(current), false);
}

bool CTwain::EnableSource(bool showUI)
{
    if (!m_bSourceOpen || m_bSourceEnabled)
        return false;
    TW_USERINTERFACE ui = {};
    ui.ShowUI = showUI ? 1 : 0;
    ui.hParent = m_hParent;
    m_bSourceEnabled = CallSource(&m_source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    return m_bSourceEnabled;
}

bool CTwain::StartAcquisition(short count)
{
    return (m_bSourceOpen || OpenSource()) && SetTransferCount(count) && EnableSource(true);
}

bool CTwain::ProcessEvent(MSG& msg)
{
    if (!m_bSourceEnabled)
        return false;
    TW_EVENT event = {};
    event.pEvent = &msg;
    event.TWMessage = MSG_NULL;
    CallSource(&m_source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    if (m_nReturnCode == TWRC_NOTDSEVENT)
        return false;
    const bool sourceEvent = m_nReturnCode == TWRC_DSEVENT;
    HandleSourceMessage(event.TWMessage);
    return sourceEvent;
}

void CTwain::HandleSourceMessage(TW_UINT16 msg)
{
    switch (msg) {
    case MSG_XFERREADY:
        TransferPending();
        break;
    case MSG_CLOSEDSREQ:
        if (CanCloseSource())
            CloseSource();
        break;
    default:
        break;
    }
}

void CTwain::TransferPending()
{
    TW_IMAGEINFO info = {};
    int failedInfo = 0;
    bool more = true;
    while (more) {
        if (!CallSource(&m_source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info)) {
            if (++failedInfo < kImageInfoTries)
                continue;
            // A source that never describes its image would be asked for ever: its transfers end
            // here, and so does the acquisition.
            char text[160];
            std::snprintf(text, sizeof(text),
                          "CTwain::TransferPending: no image information after %d requests "
                          "(return code %u, condition code %u); the transfers are reset",
                          kImageInfoTries, unsigned(m_nReturnCode), unsigned(m_status.ConditionCode));
            LogScanProblem(text, __FILE__, __LINE__);
            ResetTransfers();
            OnTransferEnded();
            CloseSource();
            return;
        }
        failedInfo = 0;
        switch (ShouldTransfer(info)) {
        case 0:
            more = TransferNative(info);
            break;
        case 1:
            more = EndCurrentTransfer();
            break;
        default:
            ResetTransfers();
            more = false;
            break;
        }
    }
}

bool CTwain::TransferNative(const TW_IMAGEINFO& info)
{
    OnTransferStarted();
    TW_HANDLE hImage = nullptr;
    CallSource(&m_source, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &hImage);
    switch (m_nReturnCode) {
    case TWRC_FAILURE:
        ResetTransfers();
        OnTransferEnded();
        return false;
    case TWRC_CANCEL:
        OnTransferEnded();
        break;
    case TWRC_XFERDONE:
        CopyImage(hImage, info);
        break;
    default: {
        // Not an answer a native transfer has: the transfer is over all the same, so that the
        // source's request to close is not refused for ever.
        char text[128];
        std::snprintf(text, sizeof(text), "CTwain::TransferNative: unexpected return code %u of the native transfer",
                      unsigned(m_nReturnCode));
        LogScanProblem(text, __FILE__, __LINE__);
        OnTransferEnded();
        break;
    }
    }
    if (hImage != nullptr)
        GlobalFree(hImage);
    return EndCurrentTransfer();
}

bool CTwain::EndCurrentTransfer()
{
    TW_PENDINGXFERS pending = {};
    const bool ok = CallSource(&m_source, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    return ok && pending.Count != 0;
}

void CTwain::ResetTransfers()
{
    TW_PENDINGXFERS pending = {};
    CallSource(&m_source, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
}

// ---- CTwainWork ----

CTwainWork::CTwainWork(HWND hWnd, DSMENTRYPROC pEntry) : CTwain(hWnd, pEntry) {}

CTwainWork::~CTwainWork()
{
    m_bTransferFinished = true;
    if (g_pTwainSession == this)
        g_pTwainSession = nullptr;
    m_strFolder.clear();
    m_strResult.clear();
}

bool CTwainWork::SelectSource()
{
    m_source = {};
    if (!m_bSourceSelected)
        GetDefaultSource();
    m_bSourceSelected = CallSource(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &m_source);
    return m_bSourceSelected;
}

bool CTwainWork::CanCloseSource()
{
    return m_bTransferStarted ? m_bTransferFinished : true;
}

void CTwainWork::OnTransferStarted()
{
    m_bTransferStarted = true;
}

void CTwainWork::OnTransferEnded()
{
    m_bTransferFinished = true;
}

void CTwainWork::CopyImage(TW_HANDLE& hImage, const TW_IMAGEINFO&)
{
    // The transfer is over whatever becomes of the image.
    struct FinishOnExit {
        bool& finished;
        ~FinishOnExit() { finished = true; }
    } finish{m_bTransferFinished};

    try {
        CDIB dib;
        {
            const size_t available = hImage ? GlobalSize(hImage) : 0;
            const BITMAPINFOHEADER* pPacked =
                available >= sizeof(BITMAPINFOHEADER) ? static_cast<const BITMAPINFOHEADER*>(GlobalLock(hImage)) : nullptr;
            const size_t needed = pPacked ? PackedDibBytes(*pPacked, available) : 0;
            const bool loaded = needed != 0 && needed <= available && dib.CreateFromPackedDib(pPacked);
            if (pPacked != nullptr)
                GlobalUnlock(hImage);
            if (!loaded) {
                LogScanProblem("CTwainWork::CopyImage: the source handed over no usable bitmap", __FILE__, __LINE__);
                return;
            }
            // The bitmap holds its own copy now: the transferred block goes at once, so that no
            // more than two pages are in memory while the picture is converted and saved.
            GlobalFree(hImage);
            hImage = nullptr;
        }
        if (!dib.ConvertTo24Bit() || (m_bRotate && !dib.Rotate(90))) {
            LogScanProblem("CTwainWork::CopyImage: the scanned picture could not be converted", __FILE__, __LINE__);
            return;
        }
        const std::string name = ReserveScanFileName(m_strFolder, static_cast<unsigned>(std::rand()));
        if (name.empty()) {
            LogScanProblem("CTwainWork::CopyImage: no free file name in " + m_strFolder, __FILE__, __LINE__);
            return;
        }
        if (!dib.Save(name.c_str())) {
            DeleteFileA(name.c_str());
            LogScanProblem("CTwainWork::CopyImage: the scanned picture could not be saved to " + name, __FILE__,
                           __LINE__);
            return;
        }
        m_strResult = name;
    } catch (const std::exception& e) {
        LogScanProblem(std::string("CTwainWork::CopyImage: ") + e.what(), __FILE__, __LINE__);
    }
}

std::string CTwainWork::Scan(const std::string& folder, bool rotate)
{
    m_bRotate = rotate;
    m_bTransferStarted = false;
    m_bTransferFinished = false;
    m_strFolder = folder;
    m_strResult.clear();
    // The windows present before the source is enabled are not the source's.
    CSourceWindowWatch watch;
    if (!StartAcquisition(1))
        return m_strResult;
    RunSourceLoop(watch);
    return m_strResult;
}

void CTwainWork::RunSourceLoop(CSourceWindowWatch& watch)
{
    // A thread timer wakes the loop when no message comes, so that a source whose windows are
    // gone, or a parent window that was destroyed, ends the scan.
    const UINT_PTR timer = SetTimer(nullptr, 0, kWatchPeriodMs, nullptr);
    // The source's window is there once it is enabled, however soon it goes.
    watch.SourceWindowsGone();
    // Only a parent that goes away during the scan ends it.
    const bool parentAlive = m_hParent != nullptr && IsWindow(m_hParent);
    bool quit = false;
    WPARAM quitCode = 0;
    MSG msg;
    for (;;) {
        const BOOL got = GetMessage(&msg, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            quitCode = msg.wParam;
            break;
        }
        if (got == -1)
            continue;
        ProcessEvent(msg);
        if (!m_bSourceOpen)
            break;
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == timer) {
            if (parentAlive && !IsWindow(m_hParent)) {
                LogScanProblem("CTwainWork::Scan: the parent window is gone; the scan ends", __FILE__, __LINE__);
                break;
            }
            if (watch.SourceWindowsGone()) {
                LogScanProblem("CTwainWork::Scan: the source's windows were closed without a close request; "
                               "the scan ends",
                               __FILE__, __LINE__);
                break;
            }
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessage(&msg);
    }
    if (timer != 0)
        KillTimer(nullptr, timer);
    // A source left enabled could never be enabled again: it is closed whatever ended the loop.
    if (m_bSourceOpen) {
        OnTransferEnded();
        CloseSource();
    }
    // The quit belongs to the caller's own loop.
    if (quit)
        PostQuitMessage(static_cast<int>(quitCode));
}

// ---- the session and the method bodies ----

std::string ReserveScanFileName(const std::string& folder, unsigned first)
{
    for (unsigned i = 0; i < 32768; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "FV_%u.jpg", (first + i) % 32768);
        const std::string path = folder + name;
        HANDLE hFile = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE) {
            CloseHandle(hFile);
            return path;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return std::string();
    }
    return std::string();
}

CTwainWork* GetTwainWork(HWND hWnd)
{
    if (g_pTwainSession == nullptr)
        g_pTwainSession = new CTwainWork(hWnd);
    return g_pTwainSession;
}

void DestroyTwainSession()
{
    if (g_pTwainSession == nullptr)
        return;
    if (g_bScanRunning) {
        // Called from inside the scan's own loop: the source closes so that the loop ends, and the
        // scan destroys the session when it returns.
        g_bDestroyPending = true;
        g_pTwainSession->CloseSource();
        return;
    }
    delete g_pTwainSession;
    g_pTwainSession = nullptr;
}

bool SelectScanSourceBody(HWND hParentWnd)
{
    if (g_bScanRunning)
        return false;
    return GetTwainWork(hParentWnd)->SelectSource();
}

std::string ScanPictureBody(HWND hParentWnd, bool rotate)
{
    if (g_bScanRunning)
        return std::string();
    CTwainWork* pSession = GetTwainWork(hParentWnd);
    if (!pSession->IsSourceSelected())
        pSession->SelectSource();
    struct RunningScope {
        RunningScope() { g_bScanRunning = true; }
        ~RunningScope()
        {
            g_bScanRunning = false;
            if (g_bDestroyPending) {
                g_bDestroyPending = false;
                DestroyTwainSession();
            }
        }
    } running;
    return pSession->Scan(GetWorkFolder(), rotate);
}
