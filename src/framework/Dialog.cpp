#include "framework/Dialog.h"

#include "framework/Module.h"

CDialog::CDialog(UINT templateId, HWND hParent) : m_hParent(hParent), m_templateId(templateId) {}

CDialog::~CDialog()
{
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal()
{
    // The parent (or the window the caller is using) is disabled for the dialog's life, as the
    // framework's modal loop does.
    HWND hOwner = m_hParent != nullptr ? GetAncestor(m_hParent, GA_ROOT) : nullptr;
    const bool enableOwner = hOwner != nullptr && IsWindowEnabled(hOwner);
    HWND hWnd = CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), hOwner, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
    if (hWnd == nullptr)
        return -1;
    if (enableOwner)
        EnableWindow(hOwner, FALSE);
    m_modalRunning = m_modalResult == -1;
    if (m_modalRunning)
        ShowWindow(hWnd, SW_SHOW);
    MSG msg;
    while (m_modalRunning) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // the thread's loop above us must see it
            break;
        }
        if (got < 0)
            break;
        if (m_hWnd == nullptr || !IsDialogMessageW(m_hWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (enableOwner)
        EnableWindow(hOwner, TRUE);
    if (m_hWnd != nullptr) {
        SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                     SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
        if (hOwner != nullptr && GetActiveWindow() == m_hWnd)
            SetActiveWindow(hOwner);
    }
    DestroyWindow();
    return m_modalResult;
}

void CDialog::EndDialog(int result)
{
    m_modalResult = result;
    m_modalRunning = false;
    if (m_hWnd != nullptr)
        PostMessageW(m_hWnd, WM_NULL, 0, 0);  // wakes the modal loop
}

BOOL CDialog::DestroyWindow()
{
    if (m_hWnd == nullptr)
        return FALSE;
    HWND hWnd = m_hWnd;
    return ::DestroyWindow(hWnd);
}

bool CDialog::OnCommand(WORD, WORD, HWND)
{
    return false;
}

void CDialog::OnTimer(UINT_PTR) {}

HBRUSH CDialog::OnCtlColor(HDC hdc, HWND, UINT)
{
    // What the dialog manager paints static controls and buttons with.
    SetTextColor(hdc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(hdc, GetSysColor(COLOR_3DFACE));
    return GetSysColorBrush(COLOR_3DFACE);
}

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&)
{
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        self->m_hWnd = hWnd;
    } else {
        self = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    }
    if (self == nullptr)
        return FALSE;
    if (message == WM_NCDESTROY) {
        self->m_hWnd = nullptr;
        self->m_modalRunning = false;  // destroyed from outside: the modal loop ends too
        SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        return FALSE;
    }
    return self->HandleMessage(message, wParam, lParam);
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND: {
        const WORD id = LOWORD(wParam), code = HIWORD(wParam);
        HWND hControl = reinterpret_cast<HWND>(lParam);
        if (OnCommand(id, code, hControl))
            return TRUE;
        if (id == IDOK && code == BN_CLICKED) {
            OnOK();
            return TRUE;
        }
        if (id == IDCANCEL && code == BN_CLICKED) {
            OnCancel();
            return TRUE;
        }
        return FALSE;
    }
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        return reinterpret_cast<INT_PTR>(
            OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), message));
    case WM_CLOSE:
        OnCancel();
        return TRUE;
    default: {
        INT_PTR result = 0;
        if (OnMessage(message, wParam, lParam, result)) {
            SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
        return FALSE;
    }
    }
}
