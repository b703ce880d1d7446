// The dialog in which the operator marks the part of a picture to keep, on the picture selection
// control; and the SelectPicturePart body that runs it.
#pragma once
#include <windows.h>
#include <exception>
#include <string>

#include "framework/Dialog.h"
#include "picture/ImageViewer.h"

class CSelectPicturePartDlg : public CDialog
{
public:
    explicit CSelectPicturePartDlg(HWND hParent);

    // Runs the dialog on the file with the target size and the initial selection; returns its end
    // code (IDOK or IDCANCEL). A failure of the control ends the dialog and is raised from here.
    INT_PTR Select(const std::string& file, long sizeX, long sizeY, bool keepRatio, long left, long top, long right,
                   long bottom);

    HWND m_btnOK = nullptr;
    HWND m_btnCancel = nullptr;
    CImageViewer m_viewer;
    long m_nLeft = 0, m_nTop = 0, m_nRight = 0, m_nBottom = 0;
    double m_dRatio = 1.0;
    std::string m_strFile;
    long m_nSizeX = 0, m_nSizeY = 0;
    BYTE m_bKeepRatio = 0;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    void LayOut(int cx, int cy);
    // Ends the dialog as cancelled and keeps the failure for Select to raise.
    void EndWithFailure();

    std::exception_ptr m_failure;
    bool m_bOpened = false;  // the dialog's window was made
};

// Sizes of the dialog in pixels.
constexpr int kSelectDlgMinWidth = 140;
constexpr int kSelectDlgMinHeight = 80;
constexpr int kSelectDlgMinInitialWidth = 280;
// The buttons' width in pixels with the dialog font's usual metrics (80 dialog units).
constexpr int kSelectDlgButtonWidth = 120;

// SelectPicturePart: the operator selects the part to keep, the file (or its working copy) then
// holds that part at sizeX x sizeY and the selection is remembered for that size. Returns the file's
// name, or an empty string for an empty name or when the operator cancels.
std::string SelectPicturePartBody(HWND hParent, const std::string& fileName, bool copy, long sizeX, long sizeY);
