#include "picture/SelectPicturePartDlg.h"

#include "framework/AxHost.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"
#include "framework/Module.h"
#include "framework/Undo.h"
#include "picture/WorkFolder.h"
#include "ports/Settings.h"
#include "resources/resource.h"

CSelectPicturePartDlg::CSelectPicturePartDlg(HWND hParent) : CDialog(IDD_SELECT_PICTURE_PART, hParent) {}

INT_PTR CSelectPicturePartDlg::Select(const std::string& file, long sizeX, long sizeY, bool keepRatio, long left,
                                      long top, long right, long bottom)
{
    m_strFile = file;
    m_nSizeX = sizeX;
    m_nSizeY = sizeY;
    m_bKeepRatio = keepRatio ? 1 : 0;
    m_dRatio = sizeX != 0 ? double(sizeY) / double(sizeX) : 0.0;
    if (right == left || bottom == top) {
        m_nLeft = 0;
        m_nTop = 0;
        m_nRight = sizeX;
        m_nBottom = sizeY;
    } else {
        m_nLeft = left;
        m_nTop = top;
        m_nRight = right;
        m_nBottom = bottom;
    }
    // The control container the template names for the selection control.
    AxHostRegisterClass(AfxGetResourceHandle());
    m_failure = nullptr;
    m_bOpened = false;
    SetLastError(0);
    const INT_PTR result = DoModal();
    m_viewer.Detach();
    if (m_failure)
        std::rethrow_exception(m_failure);
    CheckWin32(result != -1 || m_bOpened, "CSelectPicturePartDlg::Select CreateDialog()");
    // A dialog ended from outside (its window destroyed, the thread told to quit) confirmed nothing.
    return result == IDOK ? IDOK : IDCANCEL;
}

void CSelectPicturePartDlg::EndWithFailure()
{
    m_failure = std::current_exception();
    EndDialog(IDCANCEL);
}

BOOL CSelectPicturePartDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_bOpened = true;
    m_btnOK = GetDlgItem(IDOK);
    m_btnCancel = GetDlgItem(IDCANCEL);
    m_viewer.Attach(GetDlgItem(IDC_PICTURE_VIEWER));
    try {
        m_viewer.SetFileName(m_strFile);
        m_viewer.SetSelection(m_nLeft, m_nTop, m_nRight, m_nBottom, m_dRatio, m_bKeepRatio != 0);
        const long w = m_viewer.GetPictureWidth() + 22, h = m_viewer.GetPictureHeight() + 62;
        const long W = GetSystemMetrics(SM_CXSCREEN) - 20, H = GetSystemMetrics(SM_CYSCREEN) - 20;
        if (w >= W && h >= H) {
            ShowWindow(m_hWnd, SW_SHOWMAXIMIZED);
        } else {
            const long width = w > W ? W : (w < kSelectDlgMinInitialWidth ? kSelectDlgMinInitialWidth : w);
            const long height = h > H ? H : (h < 0 ? 0 : h);
            SetWindowPos(m_hWnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    } catch (...) {
        EndWithFailure();
        return TRUE;
    }
    // The keyboard works on the selection from the start: arrows move it, Enter confirms.
    if (HWND hControl = AxHostControlWindow(m_viewer.GetSafeHwnd())) {
        SetFocus(hControl);
        return FALSE;
    }
    return TRUE;
}

void CSelectPicturePartDlg::OnOK()
{
    try {
        const long left = m_viewer.GetSelLeft(), top = m_viewer.GetSelTop();
        const long right = m_viewer.GetSelRight(), bottom = m_viewer.GetSelBottom();
        if (right != left && bottom != top) {
            m_viewer.ApplySelection(m_nSizeX, m_nSizeY, left, top, right, bottom);
            m_nLeft = left;
            m_nTop = top;
            m_nRight = right;
            m_nBottom = bottom;
        }
        EndDialog(IDOK);
    } catch (...) {
        EndWithFailure();
    }
}

void CSelectPicturePartDlg::LayOut(int cx, int cy)
{
    HWND hViewer = m_viewer.GetSafeHwnd();
    if (hViewer == nullptr || !IsWindow(hViewer))
        return;
    const UINT keep = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(hViewer, nullptr, 0, 0, cx - 14, cy - 38, keep | SWP_NOMOVE);
    // The buttons keep their margin and their gap: with the dialog font's usual metrics (buttons
    // 120 pixels wide) Cancel starts at cx - 128 and OK at cx - 265; with wider metrics (a larger
    // font or more dots per inch) they move left instead of running off the dialog's edge.
    auto place = [&](HWND hButton, int right) {
        if (hButton == nullptr)
            return right;
        RECT r;
        GetWindowRect(hButton, &r);
        const int left = right - (r.right - r.left);
        SetWindowPos(hButton, nullptr, left, cy - 24, 0, 0, keep | SWP_NOSIZE);
        return left;
    };
    const int cancelLeft = place(m_btnCancel, cx - 128 + kSelectDlgButtonWidth);
    place(m_btnOK, cancelLeft - (265 - 128 - kSelectDlgButtonWidth));
}

bool CSelectPicturePartDlg::OnMessage(UINT message, WPARAM, LPARAM lParam, INT_PTR& result)
{
    switch (message) {
    case WM_SIZE:
        LayOut(LOWORD(lParam), HIWORD(lParam));
        result = 0;
        return false;  // the default handling runs as well
    case WM_GETMINMAXINFO: {
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = kSelectDlgMinWidth;
        info->ptMinTrackSize.y = kSelectDlgMinHeight;
        result = 0;
        return true;
    }
    default:
        return false;
    }
}

std::string SelectPicturePartBody(HWND hParent, const std::string& fileName, bool copy, long sizeX, long sizeY)
{
    if (fileName.empty())
        return std::string();
    const std::string work = copy ? MakeWorkCopy(fileName) : fileName;
    std::string result;
    UndoOnFailure(
        [&] {
            const std::string prefix = FormatText("Picture%ldx%ldSelect", sizeX, sizeY);
            const char* edges[4] = {"Left", "Top", "Right", "Bottom"};
            long values[4];
            for (int i = 0; i < 4; ++i)
                values[i] = static_cast<long>(ReadSettingDword(prefix + edges[i], kSettingsSubkey, 0));
            CSelectPicturePartDlg dialog(hParent);
            if (dialog.Select(work, sizeX, sizeY, true, values[0], values[1], values[2], values[3]) == IDOK) {
                const long final[4] = {dialog.m_nLeft, dialog.m_nTop, dialog.m_nRight, dialog.m_nBottom};
                for (int i = 0; i < 4; ++i)
                    WriteSettingDword(prefix + edges[i], static_cast<DWORD>(final[i]), kSettingsSubkey);
                result = work;
            } else if (copy) {
                DeleteWorkCopy(work.c_str());
            }
        },
        [&] {
            if (copy)
                DeleteWorkCopy(work.c_str());
        });
    return result;
}
