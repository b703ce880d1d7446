// Dialogs on the module's resource templates, run modally the way the application framework runs
// them: the parent is disabled while the dialog runs, and the virtual DestroyWindow ends the
// window so that a dialog can do its last work there.
#pragma once
#include <windows.h>

class CDialog
{
public:
    CDialog(UINT templateId, HWND hParent);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog until EndDialog; -1 when its window cannot be created.
    INT_PTR DoModal();
    void EndDialog(int result);
    virtual BOOL DestroyWindow();

    HWND GetSafeHwnd() const { return m_hWnd; }
    // The modal loop runs and the dialog has not been ended.
    bool IsRunning() const { return m_modalRunning && m_hWnd != nullptr; }
    HWND GetDlgItem(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // A WM_COMMAND other than OK and Cancel; true when handled.
    virtual bool OnCommand(WORD id, WORD code, HWND hControl);
    virtual void OnTimer(UINT_PTR id);
    // WM_CTLCOLORSTATIC and WM_CTLCOLORBTN: the brush to paint with; the default is the dialog's.
    virtual HBRUSH OnCtlColor(HDC hdc, HWND hControl, UINT message);
    // Other messages; true when handled (result in result).
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

    HWND m_hWnd = nullptr;
    HWND m_hParent = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    bool m_modalRunning = false;
    int m_modalResult = -1;
};
