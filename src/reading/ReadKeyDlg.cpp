#include "reading/ReadKeyDlg.h"

#include <comdef.h>

#include "framework/AfxException.h"
#include "framework/Module.h"
#include "ports/PortDiscovery.h"
#include "ports/PortHost.h"
#include "ports/Settings.h"
#include "reading/CardReader.h"
#include "reading/KeyReader.h"
#include "reading/ReaderProgress.h"
#include "resources/resource.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

// {D40284B5-24CC-45C8-962D-9EA2DD4CC2BF}
const IID IID_IReaderProgress = {0xD40284B5, 0x24CC, 0x45C8, {0x96, 0x2D, 0x9E, 0xA2, 0xDD, 0x4C, 0xC2, 0xBF}};

namespace {

constexpr UINT_PTR kPollTimer = 1;
constexpr UINT_PTR kTypingTimer = 2;
constexpr UINT kTypingDelayMs = 2000;
constexpr int kAttempts = 40;

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A failure that escaped a guard, as the log would put it: HRESULT and its two texts.
struct FailureTexts
{
    HRESULT hr = E_FAIL;
    std::string first, second;
};

FailureTexts DescribeCurrentFailure()
{
    FailureTexts f;
    try {
        throw;
    } catch (CException* e) {
        f.first = ExceptionText(e);
        e->Delete();
    } catch (const _com_error& e) {
        f.hr = e.Error();
        f.first = ComErrorMessageText(f.hr);
        f.second = ToAnsi(ComErrorDescription(e));
    } catch (...) {
        const DWORD err = GetLastError();
        f.hr = err ? HResultFromLastError(err) : E_FAIL;
        f.first = SystemMessageText(f.hr);
    }
    return f;
}

// A failed call on the caller's progress object, raised with that interface's identifier.
void CheckProgressCall(HRESULT hr)
{
    if (SUCCEEDED(hr))
        return;
    IErrorInfo* pInfo = nullptr;
    if (GetErrorInfo(0, &pInfo) != S_OK || pInfo == nullptr) {
        ICreateErrorInfo* pCreate = nullptr;
        if (SUCCEEDED(CreateErrorInfo(&pCreate)) && pCreate != nullptr) {
            pCreate->SetGUID(IID_IReaderProgress);
            pCreate->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&pInfo));
            pCreate->Release();
        }
    }
    throw _com_error(hr, pInfo, false);
}

class CProgressText
{
public:
    explicit CProgressText(const std::wstring& text) : m_b(SysAllocStringLen(text.data(), UINT(text.size()))) {}
    ~CProgressText() { SysFreeString(m_b); }
    CProgressText(const CProgressText&) = delete;
    CProgressText& operator=(const CProgressText&) = delete;
    operator BSTR() const { return m_b; }

private:
    BSTR m_b;
};

} // namespace

CTrelReadKeyDlg::CTrelReadKeyDlg(HWND hParent) : CDialog(IDD_READKEY, hParent), m_portFile(std::string()) {}

CTrelReadKeyDlg::~CTrelReadKeyDlg()
{
    if (m_statusFont != nullptr)
        DeleteObject(m_statusFont);
}

BOOL CTrelReadKeyDlg::OnInitDialog()
{
    SendDlgItemMessageW(m_hWnd, IDC_COM_RADIO, BM_SETCHECK, BST_CHECKED, 0);
    SelectComMode();
    if (m_pResult != nullptr)
        *m_pResult = 0;
    m_attemptsLeft = kAttempts;
    try {
        MakeStatusFont();
        if (m_portItem.empty())
            m_portItem = ReadSettingString("KeyPort", kSettingsSubkey);

        ListComPorts(m_comPorts, FALSE);
        if (m_portItem.size() > 3 && StartsWith(m_portItem, "COM"))
            m_comPorts.push_back(m_portItem);
        const std::string chosenPath = GetPortPath(m_portItem);
        const int comPosition = FillBox(GetDlgItem(IDC_COM_PORTS), m_comPorts, true,
                                        [&](const std::string& item) { return GetPortPath(item) == chosenPath; });
        if (comPosition != 0)
            SelectComMode();

        ListUsbConverters(m_usbPorts, FALSE);
        const int usbPosition = FillBox(GetDlgItem(IDC_USB_PORTS), m_usbPorts, false,
                                        [&](const std::string& item) { return item == m_portItem; });
        if (usbPosition != 0)
            SelectUsbMode();
        if (comPosition == 0 && usbPosition == 0)
            m_portItem.clear();

        SetTimer(m_hWnd, kPollTimer, m_timerPeriod, nullptr);
        SetStatusText(IDS_CHOOSE_PORT);
    } catch (...) {
        ShowInitFailure();
    }
    if (!m_cardLibReady && CardReaderInitialize())
        m_cardLibReady = TRUE;
    return TRUE;
}

void CTrelReadKeyDlg::ShowInitFailure()
{
    const FailureTexts f = DescribeCurrentFailure();
    if (FAILED(f.hr)) {
        const std::string once = ComposeErrorText(f.hr, f.first, f.second, nullptr, 0);
        const std::string text = ComposeErrorText(f.hr, once, f.second, nullptr, 0);
        MessageBoxW(m_hWnd, FromAnsi(text).c_str(), FromAnsi(LoadResString(IDS_PROJNAME)).c_str(), MB_ICONEXCLAMATION);
    }
}

int CTrelReadKeyDlg::FillBox(HWND hBox, const std::vector<std::string>& items, bool displayNames,
                             const std::function<bool(const std::string&)>& matches)
{
    SendMessageW(hBox, CB_RESETCONTENT, 0, 0);
    LRESULT first = SendMessageW(hBox, CB_ADDSTRING, 0,
                                 reinterpret_cast<LPARAM>(LoadResStringW(IDS_NOT_SELECTED).c_str()));
    if (first >= 0)
        SendMessageW(hBox, CB_SETITEMDATA, WPARAM(first), LPARAM(-1));
    int chosen = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const std::wstring text = FromAnsi(displayNames ? GetPortDisplayName(items[i]) : items[i]);
        const LRESULT position = SendMessageW(hBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        if (position < 0)
            continue;
        SendMessageW(hBox, CB_SETITEMDATA, WPARAM(position), LPARAM(i));
        if (matches(items[i]))
            chosen = int(position);
    }
    SendMessageW(hBox, CB_SETCURSEL, WPARAM(chosen), 0);
    return chosen;
}

void CTrelReadKeyDlg::MakeStatusFont()
{
    if (m_statusFont == nullptr)
        m_statusFont = CreateFontW(20, 0, 0, 0, 800, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, L"Courier New");
    if (m_statusFont == nullptr)
        throw _com_error(E_FAIL);
    SendDlgItemMessageW(m_hWnd, IDC_STATUS, WM_SETFONT, reinterpret_cast<WPARAM>(m_statusFont), TRUE);
}

void CTrelReadKeyDlg::SetStatusText(UINT stringId)
{
    SetStatusText(LoadResStringW(stringId));
}

void CTrelReadKeyDlg::SetStatusText(const std::wstring& text)
{
    HWND hStatus = GetDlgItem(IDC_STATUS);
    if (hStatus != nullptr)
        SetWindowTextW(hStatus, text.c_str());
}

void CTrelReadKeyDlg::PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns the thread
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

HBRUSH CTrelReadKeyDlg::OnCtlColor(HDC hdc, HWND hControl, UINT message)
{
    HBRUSH brush = CDialog::OnCtlColor(hdc, hControl, message);
    if (hControl != nullptr && GetDlgCtrlID(hControl) == IDC_STATUS)
        SetTextColor(hdc, m_busy ? RGB(128, 0, 0) : RGB(255, 0, 0));
    return brush;
}

bool CTrelReadKeyDlg::OnCommand(WORD id, WORD code, HWND)
{
    if (id == IDC_COM_PORTS && code == CBN_SELCHANGE) {
        ApplyComChoice();
    } else if (id == IDC_COM_PORTS && code == CBN_EDITCHANGE) {
        SetTimer(m_hWnd, kTypingTimer, kTypingDelayMs, nullptr);
        m_editTimerRunning = TRUE;
    } else if (id == IDC_USB_PORTS && code == CBN_SELCHANGE) {
        ApplyUsbChoice();
    } else if (id == IDC_COM_RADIO && code == BN_CLICKED) {
        SelectComMode();
    } else if (id == IDC_USB_RADIO && code == BN_CLICKED) {
        SelectUsbMode();
    } else {
        return false;
    }
    return true;
}

void CTrelReadKeyDlg::OnTimer(UINT_PTR id)
{
    if (id == kTypingTimer) {
        KillTimer(m_hWnd, kTypingTimer);
        ApplyComChoice();
        m_editTimerRunning = FALSE;
    }
    PollOnce([this] { TryReadKey(); }, IDS_KEY_READ_ERROR, IDS_KEY_READ);
}

void CTrelReadKeyDlg::PollOnce(const std::function<void()>& attempt, UINT errorText, UINT successText)
{
    if (m_timerPeriod < 100) {
        KillTimer(m_hWnd, kPollTimer);
        m_timerPeriod = 500;
        SetTimer(m_hWnd, kPollTimer, m_timerPeriod, nullptr);
    }
    if (m_pResult == nullptr || *m_pResult != 0 || m_hWnd == nullptr || !IsWindowVisible(m_hWnd) || m_busy)
        return;
    m_busy = TRUE;
    HWND hStatus = GetDlgItem(IDC_STATUS);
    InvalidateRect(hStatus, nullptr, TRUE);
    PumpMessages();
    if (!IsRunning()) {  // cancelled while the status line was repainted
        m_busy = FALSE;
        return;
    }
    try {
        attempt();
    } catch (const _com_error& e) {
        SetStatusText(LoadResStringW(errorText) + L": " + ComErrorDescription(e));
        ForgetPort();
    } catch (CException* e) {
        e->Delete();
        SetStatusText(errorText);
        ForgetPort();
    } catch (...) {
        SetStatusText(errorText);
        ForgetPort();
    }
    InvalidateRect(hStatus, nullptr, TRUE);
    PumpMessages();
    --m_attemptsLeft;
    m_busy = FALSE;
    InvalidateRect(hStatus, nullptr, TRUE);  // painted red again once the loop gets to it
    if (m_attemptsLeft == 0) {
        SetStatusText(errorText);
        EndDialog(IDOK);
    } else if (*m_pResult != 0) {
        SetStatusText(successText);
        EndDialog(IDOK);
    }
}

void CTrelReadKeyDlg::ForgetPort()
{
    SendDlgItemMessageW(m_hWnd, IDC_COM_PORTS, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(m_hWnd, IDC_USB_PORTS, CB_SETCURSEL, 0, 0);  // so the same converter can be picked again
    m_portItem.clear();
    try {
        ClosePort();  // an abandoned port must not stay locked while the dialog runs
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
}

void CTrelReadKeyDlg::SelectComMode()
{
    EnableWindow(GetDlgItem(IDC_COM_PORTS), TRUE);
    EnableWindow(GetDlgItem(IDC_USB_PORTS), FALSE);
    SendDlgItemMessageW(m_hWnd, IDC_USB_RADIO, BM_SETCHECK, BST_UNCHECKED, 0);
    SendDlgItemMessageW(m_hWnd, IDC_COM_RADIO, BM_SETCHECK, BST_CHECKED, 0);
}

void CTrelReadKeyDlg::SelectUsbMode()
{
    EnableWindow(GetDlgItem(IDC_USB_PORTS), TRUE);
    EnableWindow(GetDlgItem(IDC_COM_PORTS), FALSE);
    SendDlgItemMessageW(m_hWnd, IDC_COM_RADIO, BM_SETCHECK, BST_UNCHECKED, 0);
    SendDlgItemMessageW(m_hWnd, IDC_USB_RADIO, BM_SETCHECK, BST_CHECKED, 0);
}

void CTrelReadKeyDlg::ApplyComChoice()
{
    HWND hBox = GetDlgItem(IDC_COM_PORTS);
    const LRESULT selection = SendMessageW(hBox, CB_GETCURSEL, 0, 0);
    const LRESULT data = selection >= 0 ? SendMessageW(hBox, CB_GETITEMDATA, WPARAM(selection), 0) : -1;
    if (selection < 0 || data == -1 || data < 0 || size_t(data) >= m_comPorts.size()) {
        // Typed text counts only while nothing is picked from the list: "<НЕ ВЫБРАН>" picked means none.
        if (m_editTimerRunning && selection < 0) {
            wchar_t typed[256] = {};
            GetWindowTextW(hBox, typed, 256);
            std::string item = ToAnsi(typed);
            if (!item.empty())
                CharUpperBuffA(&item[0], DWORD(item.size()));
            if (StartsWith(item, "COM")) {
                // A port still open for the previous choice would otherwise go on being read.
                if (GetPortPath(item) != GetPortPath(m_portItem))
                    ClosePort();
                m_portItem = item;
                return;
            }
        }
        ClosePort();
        m_portItem.clear();
        SetStatusText(IDS_CHOOSE_PORT);
        return;
    }
    const std::string& item = m_comPorts[size_t(data)];
    if (GetPortPath(m_portItem) == GetPortPath(item))
        return;
    ClosePort();
    m_portItem = item;
}

void CTrelReadKeyDlg::ApplyUsbChoice()
{
    HWND hBox = GetDlgItem(IDC_USB_PORTS);
    const LRESULT selection = SendMessageW(hBox, CB_GETCURSEL, 0, 0);
    const LRESULT data = selection >= 0 ? SendMessageW(hBox, CB_GETITEMDATA, WPARAM(selection), 0) : -1;
    if (selection < 0 || data < 0 || size_t(data) >= m_usbPorts.size()) {
        ClosePort();
        m_portItem.clear();
        SetStatusText(IDS_CHOOSE_PORT);
        return;
    }
    if (m_portItem == m_usbPorts[size_t(data)])
        return;
    ClosePort();
    m_portItem = m_usbPorts[size_t(data)];
}

void CTrelReadKeyDlg::ClosePort()
{
    m_portFile.Close();
    m_portOpen = FALSE;
}

void CTrelReadKeyDlg::TryReadKey()
{
    if (m_portItem.empty())
        return;
    try {
        SetStatusText(IDS_PRESENT_KEY);
        ReadKeyOnce();
    } catch (const _com_error& e) {
        const HRESULT hr = e.Error();
        if (hr != E_ACCESSDENIED && hr != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) && hr != E_FAIL)
            throw;
        // The port is held by another process: the port host may read it for us, and must be able
        // to open it (a failed echo test leaves our handle open).
        ClosePort();
        long value = 0;
        if (ReadKeyThroughHost(m_portItem, value) && m_pResult != nullptr)
            *m_pResult = value;
    }
}

void CTrelReadKeyDlg::ReadKeyOnce()
{
    uint32_t number = 0;
    if (ReadCardNumber(m_portItem, number) != -1) {
        *m_pResult = static_cast<LONG>(number);
        return;
    }
    OpenChosenPort();
    uint32_t key = 0;
    {
        CTrelKeyReader reader(&m_portFile);
        try {
            key = reader.ReadKeyNumber();
        } catch (CException* e) {
            e->Delete();
            key = 0;
        } catch (...) {
            key = 0;  // a failed exchange reads as no key
        }
    }
    *m_pResult = static_cast<LONG>(key);
}

void CTrelReadKeyDlg::OpenChosenPort()
{
    if (m_portOpen)
        return;
    m_portFile.Close();  // a handle left by a failed open goes under the name it was opened with
    m_portFile.SetPortName(PortNameFromItem(m_portItem, m_portFile.GetPortName()));
    m_portFile.Open();
    m_portOpen = TRUE;
}

void CTrelReadKeyDlg::OnCancel()
{
    if (m_cardLibReady) {
        CardReaderFinalize();
        m_cardLibReady = FALSE;
    }
    KillTimer(m_hWnd, kPollTimer);
    EndDialog(IDCANCEL);
}

BOOL CTrelReadKeyDlg::DestroyWindow()
{
    if (m_cardLibReady) {
        CardReaderFinalize();
        m_cardLibReady = FALSE;
    }
    try {
        WriteSettingString("KeyPort", m_portItem, kSettingsSubkey);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
        // the choice is simply not remembered
    }
    return CDialog::DestroyWindow();
}

void RunReadLoop(const std::function<void()>& attempt, IDispatch* pDispUI, LONG* piRes, UINT startText,
                 UINT successText, UINT errorText)
{
    IReaderProgress* progress = nullptr;
    if (pDispUI != nullptr) {
        const HRESULT hr = pDispUI->QueryInterface(IID_IReaderProgress, reinterpret_cast<void**>(&progress));
        if (FAILED(hr) && hr != E_NOINTERFACE)
            CheckProgressCall(hr);
        if (FAILED(hr))
            progress = nullptr;
    }
    struct Release
    {
        IReaderProgress* p;
        ~Release()
        {
            if (p != nullptr)
                p->Release();
        }
    } release{progress};

    if (progress != nullptr)
        CheckProgressCall(progress->ShowStart(CProgressText(LoadResStringW(startText)), 100));
    try {
        for (int attempts = 0; *piRes == 0;) {
            attempt();
            if (progress != nullptr) {
                VARIANT_BOOL goOn = VARIANT_TRUE;
                CheckProgressCall(progress->QueryContinue(CProgressText(L""), 0, &goOn));
                if (goOn == VARIANT_FALSE) {
                    CheckProgressCall(progress->ShowEnd(CProgressText(L"")));
                    return;
                }
            } else if (++attempts >= kAttemptsWithoutProgress) {
                break;  // nobody can stop us: end as the dialog does
            }
        }
    } catch (...) {
        if (progress != nullptr)
            progress->ShowEnd(CProgressText(LoadResStringW(errorText)));
        throw;
    }
    if (*piRes != 0 && progress != nullptr)
        CheckProgressCall(progress->ShowEnd(CProgressText(LoadResStringW(successText))));
}

void ReadKeyBody(const std::string& portItem, IDispatch* pDispUI, HWND hParent, LONG* piRes)
{
    CTrelReadKeyDlg dialog(hParent);
    dialog.m_portItem = portItem;
    dialog.m_pResult = piRes;
    if (portItem.empty()) {
        dialog.DoModal();
        return;
    }
    RunReadLoop([&] { dialog.TryReadKey(); }, pDispUI, piRes, IDS_PRESENT_KEY, IDS_KEY_READ, IDS_KEY_READ_ERROR);
}
