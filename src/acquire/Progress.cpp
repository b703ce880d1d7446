#include "acquire/Progress.h"

#include <commctrl.h>
#include <process.h>
#include <cstring>

#include "acquire/CameraFileStream.h"
#include "acquire/CameraRules.h"
#include "framework/Module.h"
#include "resource.h"

namespace {

volatile LONG g_releasedFileCounter = 0;

const char kEndMessageName[] = "Information of a thread end";
const DWORD kProgressIntervalMs = 15;

// Waits for a thread while the calling thread's windows go on getting their messages.
void WaitPumping(HANDLE hThread)
{
    bool quit = false;
    int quitCode = 0;
    while (MsgWaitForMultipleObjects(1, &hThread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(msg.wParam);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (quit)
        PostQuitMessage(quitCode);  // for the loop above us
}

} // namespace

uint32_t ReleasedFileCounterValue()
{
    return static_cast<uint32_t>(g_releasedFileCounter);
}

CProgress::CProgress(const CCameraSdk* sdk) : CDialog(IDD_CAMERA_PROGRESS, nullptr), m_sdk(sdk) {}

CProgress::~CProgress()
{
    WaitForWorker();
}

bool CProgress::RunTransfer(CdHandle source, uint32_t count, const std::string& folder)
{
    m_hSource = source;
    m_count = count;
    if (folder.size() >= sizeof(m_szName))
        return false;
    std::memcpy(m_szName, folder.c_str(), folder.size() + 1);
    m_endMessage = RegisterWindowMessageA(kEndMessageName);
    if (m_endMessage == 0)
        return false;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const INT_PTR result = DoModal();
    // However the window ended, the worker no longer uses the connection after this.
    WaitForWorker();
    return result == IDOK;
}

BOOL CProgress::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_transferResult = kCdOk;
    m_hNotify = m_hWnd;
    m_hBar = GetDlgItem(IDC_CAMERA_PROGRESS);
    SendMessageW(m_hBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(m_hBar, PBM_SETPOS, 0, 0);
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReleasedDataThread, this, 0, nullptr));
    if (m_hThread == nullptr)
        EndDialog(IDCANCEL);  // nothing will ever post the end message
    return TRUE;
}

void CProgress::OnOK()
{
    // Only the worker's end message ends the window with OK; the Enter key does not.
}

void CProgress::OnCancel()
{
    if (!WorkerRunning()) {
        EndDialog(IDCANCEL);
        return;
    }
    // The worker still uses the camera: the window ends (as a failure) when the worker has
    // finished, and no further item is fetched.
    InterlockedExchange(&m_closeRequested, 1);
    const std::wstring finishing = LoadResStringW(IDS_CAMERA_FINISHING);
    if (!finishing.empty())
        SetWindowTextW(m_hWnd, finishing.c_str());
    EnableMenuItem(GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
}

bool CProgress::OnMessage(UINT message, WPARAM, LPARAM, INT_PTR& result)
{
    if (m_endMessage == 0 || message != m_endMessage)
        return false;
    EndDialog(m_closeRequested ? IDCANCEL : IDOK);
    result = 0;
    return true;
}

bool CProgress::WorkerRunning() const
{
    return m_hThread != nullptr && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

void CProgress::WaitForWorker()
{
    if (m_hThread == nullptr)
        return;
    WaitPumping(m_hThread);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
}

unsigned WINAPI CProgress::ReleasedDataThread(void* window)
{
    CProgress* self = static_cast<CProgress*>(window);
    self->FetchReleasedItems();
    PostMessageW(self->m_hNotify, self->m_endMessage, 0, 0);
    return 0;
}

uint32_t CDAPI CProgress::ProgressCallback(uint32_t progress, uint32_t, CdContext context)
{
    // Posted, not sent: the worker never waits for the window's thread. A message costs as much
    // as writing a chunk, so the bar moves when its value changes, at most about once a frame of
    // the screen, and always to the end.
    CProgress* self = reinterpret_cast<CProgress*>(context);
    if (self == nullptr || static_cast<LONG>(progress) == self->m_lastProgress)
        return 0;
    const DWORD now = GetTickCount();
    if (progress >= 100 || now - self->m_lastProgressTick >= kProgressIntervalMs) {
        self->m_lastProgress = static_cast<LONG>(progress);
        self->m_lastProgressTick = now;
        PostMessageW(self->m_hBar, PBM_SETPOS, progress, 0);
    }
    return 0;
}

void CProgress::FetchReleasedItems()
{
    const std::string folder = m_szName;
    char name[kReleasedNameBufferSize] = {};
    std::string thumbnailPath, lastPicturePath;
    ReleasedItemNaming naming;
    for (uint32_t i = 0; i < m_count; ++i) {
        if (m_closeRequested)
            break;
        CdReleasedItemInfo info = {};
        if (m_sdk->GetReleasedData(m_hSource, nullptr, 0, kCdQueryOption, &info, nullptr) != kCdOk)
            break;
        ChooseItemNaming(info.dataType, info.format, naming);
        const uint32_t counter = static_cast<uint32_t>(g_releasedFileCounter);
        CameraFileContext* context = nullptr;
        if (BuildReleasedFileName(folder, naming.prefix, counter, naming.extension, name, sizeof(name)))
            context = NewCameraFileContext(name);
        if (context == nullptr) {
            m_transferResult = kCdStreamOpenFailed;
            break;
        }
        if (IsThumbnailItem(info.dataType))
            thumbnailPath = name;
        CameraFileStream stream = MakeCameraFileStream(context);
        CdStorageMedium medium = {kCdMediumStream, &stream};
        m_lastProgress = 0;
        m_lastProgressTick = GetTickCount();
        PostMessageW(m_hBar, PBM_SETPOS, 0, 0);
        m_transferResult = m_sdk->GetReleasedData(m_hSource, ProgressCallback, reinterpret_cast<CdContext>(this),
                                                  kCdFetchOption, &info, &medium);
        FreeCameraFileContext(context);
        if (CdErrorIdentifier(m_transferResult) != 0)
            break;
        InterlockedIncrement(&g_releasedFileCounter);
        if (IsPictureItem(info.dataType))
            lastPicturePath = name;
    }
    // Thumbnails are never kept.
    if (!thumbnailPath.empty())
        DeleteFileA(thumbnailPath.c_str());
    // The caller gets a picture, never the thumbnail or the bare folder.
    if (CdErrorIdentifier(m_transferResult) == 0)
        std::memcpy(m_szName, lastPicturePath.c_str(), lastPicturePath.size() + 1);
}
