#include "acquire/VideoGraphDlg.h"

#include <cstdlib>
#include <utility>

#include "codecs/codec.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"
#include "framework/Module.h"
#include "framework/Undo.h"
#include "resources/resource.h"

CVideoGraphDlg::CVideoGraphDlg(HWND hParent) : CDialog(IDD_VIDEO, hParent) {}

CVideoGraphDlg::~CVideoGraphDlg()
{
    TearDown();
}

INT_PTR CVideoGraphDlg::RunVideo(int width, int height, int flag)
{
    m_nWidth = width;
    m_nHeight = height;
    m_nFlag = flag;
    m_failure = nullptr;
    const INT_PTR result = DoModal();
    // The caller's window is enabled again and the dialog gone: only now may the failure travel on.
    if (m_failure)
        std::rethrow_exception(std::exchange(m_failure, nullptr));
    return result;
}

BOOL CVideoGraphDlg::DestroyWindow()
{
    // The renderer's window lives inside ours: it lets go of it before ours goes.
    TearDown();
    return CDialog::DestroyWindow();
}

BOOL CVideoGraphDlg::OnInitDialog()
{
    const VideoDialogSize size = VideoDialogSizeForScreen(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    if (size.maximise)
        ShowWindow(m_hWnd, SW_MAXIMIZE);
    else
        SetWindowPos(m_hWnd, nullptr, 0, 0, size.width, size.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    try {
        BuildGraph(0, 640, 480, GetDlgItem(IDC_VIDEO_FRAME));
    } catch (const _com_error& failure) {
        ShowErrorBox(failure, m_hWnd);
        EndDialog(IDCANCEL);
    } catch (...) {
        const DWORD err = GetLastError();
        const HRESULT hr = err == 0 ? E_FAIL : HRESULT(0x80070000u | (err & 0xFFFFu));
        ShowErrorBox(_com_error(hr), m_hWnd);
        EndDialog(IDCANCEL);
    }
    return TRUE;
}

std::string CVideoGraphDlg::ReserveFrameFile()
{
    DWORD failure = 0;
    const std::string name = NextFreeFrameName(m_strFolder, unsigned(std::rand()), [&](const std::string& candidate) {
        HANDLE h = CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return false;
        }
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS)
            return true;
        failure = err ? err : ERROR_CANNOT_MAKE;
        return false;  // the folder itself refuses: no other name will do better
    });
    if (failure != 0) {
        SetLastError(failure);
        CheckWin32(false, "CVideoGraphDlg::OnOK CreateFile() " + name);
    }
    CheckOrThrow(!name.empty(), "Every frame file name in " + m_strFolder + " is taken");
    return name;
}

void CVideoGraphDlg::SaveFrame()
{
    const std::string path = ReserveFrameFile();
    UndoOnFailure([&] {
        const VideoFrame frame = GrabFrame(false);
        TearDown();
        const int rc = WriteFrameJpeg(path, frame);
        if (rc != CODEC_OK) {
            const char* reason = codec_error_text(CODEC_FORMAT_JPEG, rc);
            if (reason == nullptr)
                reason = codec_common_error_text(rc);
            ThrowComError(E_FAIL, FormatText("Failed to write the frame to %s: %s", path.c_str(),
                                             reason ? reason : "write error")
                                      .c_str());
        }
    }, [&] { DeleteFileA(path.c_str()); });
    m_strResult = path;
}

void CVideoGraphDlg::OnOK()
{
    try {
        SaveFrame();
        EndDialog(IDOK);
    } catch (...) {
        m_failure = std::current_exception();
        EndDialog(IDABORT);
    }
}

void CVideoGraphDlg::OnSize(int cx, int cy)
{
    const VideoDialogLayout layout = VideoDialogLayoutForClient(cx, cy);
    if (HWND frame = GetDlgItem(IDC_VIDEO_FRAME))
        SetWindowPos(frame, nullptr, 0, 0, layout.frameWidth, layout.frameHeight,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (IVideoWindow* video = VideoWindow())
        video->SetWindowPosition(0, 0, layout.frameWidth, layout.frameHeight);
    if (HWND cancel = GetDlgItem(IDCANCEL))
        SetWindowPos(cancel, nullptr, layout.cancelX, layout.cancelY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (HWND ok = GetDlgItem(IDOK))
        SetWindowPos(ok, nullptr, layout.okX, layout.okY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CVideoGraphDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result)
{
    switch (message) {
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED)
            OnSize(LOWORD(lParam), HIWORD(lParam));
        result = 0;
        return true;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = kVideoDialogMinTrackWidth;
        info->ptMinTrackSize.y = kVideoDialogMinTrackHeight;
        result = 0;
        return true;
    }
    default:
        return false;
    }
}

std::wstring ErrorBoxText(const _com_error& failure)
{
    const HRESULT hr = failure.Error();
    return FromAnsi(ComposeErrorText(hr, SystemMessageText(hr), ComErrorText(failure), nullptr, 0));
}

std::wstring ErrorBoxCaption(const _com_error& failure, HWND hOwner)
{
    const _bstr_t source = failure.Source();
    if (source.length() > 0)
        return std::wstring(static_cast<const wchar_t*>(source), source.length());
    if (hOwner == nullptr)
        return L"TREL ERROR";
    wchar_t title[1024] = {};
    GetWindowTextW(hOwner, title, 1024);
    return title;
}

void ShowErrorBox(const _com_error& failure, HWND hOwner)
{
    MessageBoxW(hOwner, ErrorBoxText(failure).c_str(), ErrorBoxCaption(failure, hOwner).c_str(), MB_ICONWARNING);
}

std::string GetPictureFromCamBody(HWND hParent, const std::string& folder)
{
    CVideoGraphDlg dialog(hParent);
    dialog.m_strFolder = folder;
    if (dialog.RunVideo(640, 480, 1) != IDOK)
        return std::string();
    CheckOrThrowId(!dialog.m_strResult.empty(), IDS_CAMERA_FAILED);
    return dialog.m_strResult;
}
