// The read-Hod-Test dialog: the read-key dialog with COM ports only, polling a Hod-Test for its
// number. Without a window the same attempts serve ReadHodTest's loop.
#pragma once
#include "reading/ReadKeyDlg.h"

class CTrelReadHodTestDlg : public CTrelReadKeyDlg
{
public:
    explicit CTrelReadHodTestDlg(HWND hParent) : CTrelReadKeyDlg(hParent) {}
    ~CTrelReadHodTestDlg() override = default;
    BOOL DestroyWindow() override;

    void TryReadHodTest();
    void ReadHodTestOnce();

protected:
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR id) override;
};

// ReadHodTest's work: the dialog when no port is given, else attempts in a loop.
void ReadHodTestBody(const std::string& portItem, IDispatch* pDispUI, HWND hParent, LONG* piRes);
