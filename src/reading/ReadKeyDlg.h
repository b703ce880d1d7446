// The read-key dialog: the operator picks a COM port or a USB converter, and a window timer polls
// the chosen reader, one attempt a tick. Without a window the same attempts serve ReadKey's loop.
// The read-Hod-Test dialog derives from it.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "framework/Dialog.h"
#include "ports/COMFile.h"

class CTrelReadKeyDlg : public CDialog
{
public:
    explicit CTrelReadKeyDlg(HWND hParent);
    ~CTrelReadKeyDlg() override;
    BOOL DestroyWindow() override;

    // One attempt: the card reader, the serial reader, or the port host for a port held elsewhere.
    void TryReadKey();
    void ReadKeyOnce();
    // Names and opens the port of the chosen item when it is not open yet.
    void OpenChosenPort();

    std::string m_portItem;     // the chosen port item; empty when none is chosen
    LONG* m_pResult = nullptr;  // the caller's variable; 0 means nothing read yet

protected:
    BOOL OnInitDialog() override;
    void OnCancel() override;
    void OnTimer(UINT_PTR id) override;
    bool OnCommand(WORD id, WORD code, HWND hControl) override;
    HBRUSH OnCtlColor(HDC hdc, HWND hControl, UINT message) override;

    // Steps of a timer tick shared by both dialogs: the period, the attempt, its failures on the
    // status line, the count of attempts and the end of the dialog.
    void PollOnce(const std::function<void()>& attempt, UINT errorText, UINT successText);
    static void PumpMessages();
    void SetStatusText(UINT stringId);
    void SetStatusText(const std::wstring& text);
    void MakeStatusFont();
    // The failure being handled, shown in a message box as the log would word it (in a catch block).
    void ShowInitFailure();
    // The choice of the COM box: its first entry ("<НЕ ВЫБРАН>") and no port.
    void ForgetPort();
    // The items of a box: "<НЕ ВЫБРАН>" (data -1), then each item's display text (data: its index);
    // the position whose item matches (last match wins), 0 when none.
    int FillBox(HWND hBox, const std::vector<std::string>& items, bool displayNames,
                const std::function<bool(const std::string&)>& matches);
    void SelectComMode();
    void SelectUsbMode();
    void ApplyComChoice();
    void ApplyUsbChoice();
    void ClosePort();

    HFONT m_statusFont = nullptr;
    BOOL m_busy = FALSE;
    CCOMFile m_portFile;
    BOOL m_portOpen = FALSE;
    DWORD m_timerPeriod = 50;
    int m_attemptsLeft = 0;
    BOOL m_editTimerRunning = FALSE;
    std::vector<std::string> m_comPorts;
    std::vector<std::string> m_usbPorts;
    BOOL m_cardLibReady = FALSE;
};

// ReadKey's work: the dialog when no port is given, else attempts in a loop reported to the
// caller's progress object (bounded by the dialog's number of attempts when there is none).
void ReadKeyBody(const std::string& portItem, IDispatch* pDispUI, HWND hParent, LONG* piRes);

// The loop of ReadKey and ReadHodTest on a given port: attempts until something is read, reported
// to the caller's progress object (found on pDispUI) with the three texts; without one, bounded by
// the dialog's number of attempts.
void RunReadLoop(const std::function<void()>& attempt, IDispatch* pDispUI, LONG* piRes, UINT startText,
                 UINT successText, UINT errorText);

// Attempts of the loop without a progress object: the dialog's 40.
constexpr int kAttemptsWithoutProgress = 40;
