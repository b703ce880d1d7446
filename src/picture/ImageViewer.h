// CImageViewer: the picture selection control of the selection dialog, called through its dispatch
// interface only, so that any control honouring the same dispatch identifiers serves. Every
// failed call raises a COM error with the control's own description.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string>

class CImageViewer
{
public:
    CImageViewer() = default;
    ~CImageViewer();
    CImageViewer(const CImageViewer&) = delete;
    CImageViewer& operator=(const CImageViewer&) = delete;

    // The dialog item that holds the control (a control container window).
    void Attach(HWND hContainer);
    void Detach();
    HWND GetSafeHwnd() const { return m_hWnd; }

    void SetFileName(const std::string& fileName);                                    // 1
    long GetPictureWidth();                                                           // 2
    long GetPictureHeight();                                                          // 3
    void ApplySelection(long sizeX, long sizeY, long left, long top, long right, long bottom);  // 4
    void SetSelection(long left, long top, long right, long bottom, double ratio, bool keepRatio);  // 5
    long GetSelLeft();                                                                // 6
    long GetSelTop();                                                                 // 7
    long GetSelRight();                                                               // 8
    long GetSelBottom();                                                              // 9

private:
    IDispatch* Dispatch();
    // Calls the member with the arguments in call order; the result, when wanted, as a long.
    long Invoke(DISPID id, WORD flags, VARIANT* args, UINT count, const char* operation);

    HWND m_hWnd = nullptr;
    IDispatch* m_pDispatch = nullptr;
};
