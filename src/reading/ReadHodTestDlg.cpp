#include "reading/ReadHodTestDlg.h"

#include <comdef.h>

#include "devices/HodTest.h"
#include "framework/AfxException.h"
#include "framework/Module.h"
#include "ports/PortDiscovery.h"
#include "ports/Settings.h"
#include "resources/resource.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

BOOL CTrelReadHodTestDlg::OnInitDialog()
{
    // A Hod-Test is read through COM ports only.
    for (int id : {IDC_USB_RADIO, IDC_USB_PORTS}) {
        EnableWindow(GetDlgItem(id), FALSE);
        ShowWindow(GetDlgItem(id), SW_HIDE);
    }
    SendDlgItemMessageW(m_hWnd, IDC_COM_RADIO, BM_SETCHECK, BST_CHECKED, 0);
    SelectComMode();
    if (m_pResult != nullptr)
        *m_pResult = 0;
    m_attemptsLeft = 40;
    try {
        MakeStatusFont();
        if (m_portItem.empty())
            m_portItem = ReadSettingString("HodTestPort", kSettingsSubkey);
        ListFreeComPorts(m_comPorts);
        const std::string chosenPath = GetPortPath(m_portItem);
        const int position = FillBox(GetDlgItem(IDC_COM_PORTS), m_comPorts, true,
                                     [&](const std::string& item) { return GetPortPath(item) == chosenPath; });
        if (position != 0)
            SelectComMode();
        else
            m_portItem.clear();
        SetTimer(m_hWnd, 1, m_timerPeriod, nullptr);
        SetStatusText(IDS_CHOOSE_PORT);
    } catch (...) {
        ShowInitFailure();
    }
    return TRUE;
}

void CTrelReadHodTestDlg::OnTimer(UINT_PTR)
{
    // Either timer runs the cycle; typing into the box never applies a port here.
    PollOnce([this] { TryReadHodTest(); }, IDS_HODTEST_READ_ERROR, IDS_HODTEST_READ);
}

void CTrelReadHodTestDlg::TryReadHodTest()
{
    if (m_portItem.empty())
        return;
    try {
        SetStatusText(IDS_CONNECT_HODTEST);
        ReadHodTestOnce();
    } catch (const _com_error& e) {
        if (e.Error() != E_ACCESSDENIED)
            throw;
        // the port is busy: this attempt reads nothing, the next one tries again
    }
}

void CTrelReadHodTestDlg::ReadHodTestOnce()
{
    OpenChosenPort();
    CTrelHodTest device(&m_portFile);
    if (!device.CheckPresent())
        return;
    HodTestHeader header = {};
    if (device.ReadHeader(&header) && m_pResult != nullptr)
        *m_pResult = static_cast<LONG>(header.hodTestNumber);
}

BOOL CTrelReadHodTestDlg::DestroyWindow()
{
    try {
        WriteSettingString("HodTestPort", m_portItem, kSettingsSubkey);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
        // the choice is simply not remembered
    }
    return CDialog::DestroyWindow();
}

void ReadHodTestBody(const std::string& portItem, IDispatch* pDispUI, HWND hParent, LONG* piRes)
{
    CTrelReadHodTestDlg dialog(hParent);
    dialog.m_portItem = portItem;
    dialog.m_pResult = piRes;
    if (portItem.empty()) {
        dialog.DoModal();
        return;
    }
    RunReadLoop([&] { dialog.TryReadHodTest(); }, pDispUI, piRes, IDS_CONNECT_HODTEST, IDS_HODTEST_READ,
                IDS_HODTEST_READ_ERROR);
}
