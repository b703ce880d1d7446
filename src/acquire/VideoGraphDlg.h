// The video frame dialog: the live picture of the video source in its frame, OK keeps the current
// frame as a JPEG file in the working folder.
#pragma once
#include <windows.h>
#include <comdef.h>
#include <exception>
#include <string>

#include "acquire/VideoGraph.h"
#include "framework/Dialog.h"

class CVideoGraphDlg : public CDialog, public CTrelVideoGraph
{
public:
    explicit CVideoGraphDlg(HWND hParent);
    ~CVideoGraphDlg() override;

    // Runs the dialog modally and answers its end code. The graph always asks for 640 x 480 in
    // colour; the values are kept for whoever wants to know what the caller asked for. A failure
    // while grabbing ends the dialog first and is then raised to the caller.
    INT_PTR RunVideo(int width, int height, int flag);
    BOOL DestroyWindow() override;

    std::string m_strFolder = "c:\\";  // where the frame file goes, with a trailing backslash
    std::string m_strResult;           // the saved frame's full path, set by OK

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    void OnSize(int cx, int cy);
    // Names the frame file: the first free name from the next pseudo-random number on, reserved
    // by creating it empty.
    std::string ReserveFrameFile();
    void SaveFrame();

    int m_nWidth = 640, m_nHeight = 480, m_nFlag = 1;
    std::exception_ptr m_failure;
};

// A failure shown to the operator in a warning box owned by hOwner: the system's text for its
// code, its description and the code. The caption is its source when it has one, else the owner's
// title, else "TREL ERROR".
void ShowErrorBox(const _com_error& failure, HWND hOwner);
// The text and caption of that box.
std::wstring ErrorBoxText(const _com_error& failure);
std::wstring ErrorBoxCaption(const _com_error& failure, HWND hOwner);

// GetPictureFromCam's work: the dialog over hParent saving into folder. The frame file's path, or
// empty when the operator cancelled or the graph could not be built (after showing why).
std::string GetPictureFromCamBody(HWND hParent, const std::string& folder);
