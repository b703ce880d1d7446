// The read-key dialog as the operator sees it (template, texts, controls, status line), its
// polling and its end, and ReadKey's dialog-less loop with and without a progress object.
#include <gtest/gtest.h>
#include <windows.h>
#include <comdef.h>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ports/Settings.h"
#include "reading/ReadKeyDlg.h"
#include "progress_recorder.h"
#include "reading/ReaderProgress.h"
#include "resources/resource.h"
#include "screenshot.h"

namespace {

std::wstring WindowText(HWND h)
{
    wchar_t text[512] = {};
    GetWindowTextW(h, text, 512);
    return text;
}

std::wstring ComboItem(HWND box, int i)
{
    wchar_t text[512] = {};
    SendMessageW(box, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(text));
    return text;
}

// Runs ReadKey's dialog path on this thread while inspect works on the dialog from another.
void WithDialog(const std::function<void(HWND)>& inspect, LONG& result, const std::string& portItem = "")
{
    std::atomic<bool> seen{false};
    std::thread watcher([&] {
        for (int i = 0; i < 400 && !seen; ++i) {
            Sleep(25);
            HWND dialog = FindWindowW(L"#32770", L"Чтение ключа");
            if (dialog != nullptr && IsWindowVisible(dialog)) {
                seen = true;
                inspect(dialog);
            }
        }
    });
    try {
        ReadKeyBody(portItem, nullptr, nullptr, &result);
    } catch (...) {
        ADD_FAILURE() << "the dialog path raised";
    }
    watcher.join();
    EXPECT_TRUE(seen);
}

void ClickCancel(HWND dialog)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
}

class ReadKeyDialog : public ::testing::Test
{
protected:
    void SetUp() override { WriteSettingString("KeyPort", "", kSettingsSubkey); }
};

TEST_F(ReadKeyDialog, TemplateTextsAndControls)
{
    LONG result = 12345;
    WithDialog(
        [&](HWND dialog) {
            Sleep(300);  // the first tick comes after 50 ms; its attempt finds no port
            const LONG style = GetWindowLongW(dialog, GWL_STYLE), exStyle = GetWindowLongW(dialog, GWL_EXSTYLE);
            EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU);
            EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
            EXPECT_EQ(WindowText(GetDlgItem(dialog, IDCANCEL)), L"Отмена");
            EXPECT_EQ(WindowText(GetDlgItem(dialog, IDC_COM_RADIO)), L"COM-порт:");
            EXPECT_EQ(WindowText(GetDlgItem(dialog, IDC_USB_RADIO)), L"USB-конвертер");
            EXPECT_EQ(WindowText(GetDlgItem(dialog, IDC_STATUS)), L"Выберите порт или USB-конвертер");
            HWND com = GetDlgItem(dialog, IDC_COM_PORTS), usb = GetDlgItem(dialog, IDC_USB_PORTS);
            EXPECT_EQ(ComboItem(com, 0), L"<НЕ ВЫБРАН>");
            EXPECT_EQ(SendMessageW(com, CB_GETCURSEL, 0, 0), 0);
            EXPECT_EQ(SendMessageW(com, CB_GETITEMDATA, 0, 0), -1);
            EXPECT_EQ(ComboItem(usb, 0), L"<НЕ ВЫБРАН>");
            EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_COM_RADIO, BM_GETCHECK, 0, 0), BST_CHECKED);
            EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_USB_RADIO, BM_GETCHECK, 0, 0), BST_UNCHECKED);
            EXPECT_TRUE(IsWindowEnabled(com));
            EXPECT_FALSE(IsWindowEnabled(usb));
            // Positions in dialog units, as the template lays them out.
            RECT units = {66, 137, 66 + 50, 137 + 14}, actual;
            MapDialogRect(dialog, &units);
            GetWindowRect(GetDlgItem(dialog, IDCANCEL), &actual);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
            EXPECT_EQ(actual.left, units.left);
            EXPECT_EQ(actual.top, units.top);
            EXPECT_NEAR(actual.right - actual.left, units.right - units.left, 1);  // rounding of the two ends
            RECT client;
            GetClientRect(dialog, &client);
            RECT size = {0, 0, 191, 156};
            MapDialogRect(dialog, &size);
            EXPECT_EQ(client.right, size.right);
            EXPECT_EQ(client.bottom, size.bottom);
            // Tab order: Cancel, COM box, USB box (the disabled box is skipped while disabled).
            EXPECT_EQ(GetNextDlgTabItem(dialog, GetDlgItem(dialog, IDCANCEL), FALSE), com);
            // The radio buttons switch the boxes.
            SendMessageW(GetDlgItem(dialog, IDC_USB_RADIO), BM_CLICK, 0, 0);
            EXPECT_FALSE(IsWindowEnabled(com));
            EXPECT_TRUE(IsWindowEnabled(usb));
            EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_COM_RADIO, BM_GETCHECK, 0, 0), BST_UNCHECKED);
            SendMessageW(GetDlgItem(dialog, IDC_COM_RADIO), BM_CLICK, 0, 0);
            EXPECT_TRUE(IsWindowEnabled(com));
            EXPECT_FALSE(IsWindowEnabled(usb));
            EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_COM_RADIO, BM_GETCHECK, 0, 0), BST_CHECKED);
            EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_USB_RADIO, BM_GETCHECK, 0, 0), BST_UNCHECKED);
            Sleep(1200);  // the dialog's thread repaints first
            SaveScreenshot(dialog, "readkey_dialog.bmp");
            ClickCancel(dialog);
        },
        result);
    EXPECT_EQ(result, 0) << "the dialog clears the caller's variable";
    EXPECT_EQ(ReadSettingString("KeyPort", kSettingsSubkey), "");
}

// A stored port that the enumeration does not list is added and chosen; an attempt on a port that
// does not exist shows the error on the status line, resets the box and forgets the port, which
// is stored (empty) when the dialog closes.
TEST_F(ReadKeyDialog, StoredPortMissingFromTheListIsOfferedAndFailsOnTheStatusLine)
{
    WriteSettingString("KeyPort", "COM97", kSettingsSubkey);
    LONG result = 0;
    std::wstring chosen, status;
    LRESULT selectionAfter = -1;
    WithDialog(
        [&](HWND dialog) {
            HWND com = GetDlgItem(dialog, IDC_COM_PORTS);
            chosen = ComboItem(com, int(SendMessageW(com, CB_GETCURSEL, 0, 0)));
            for (int i = 0; i < 100 && WindowText(GetDlgItem(dialog, IDC_STATUS)).find(L"Ошибка") != 0; ++i)
                Sleep(50);
            status = WindowText(GetDlgItem(dialog, IDC_STATUS));
            selectionAfter = SendMessageW(com, CB_GETCURSEL, 0, 0);
            Sleep(300);
            SaveScreenshot(dialog, "readkey_dialog_error.bmp");
            ClickCancel(dialog);
        },
        result);
    EXPECT_EQ(chosen, L"COM97");
    EXPECT_EQ(status.rfind(L"Ошибка при считывании ключа: ", 0), 0u) << std::string(status.begin(), status.end());
    EXPECT_NE(status.find(L"CCOMFile::Open CreateFile()"), std::wstring::npos);
    EXPECT_EQ(selectionAfter, 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadSettingString("KeyPort", kSettingsSubkey), "") << "the failed port was forgotten";
}

// Nothing chosen: every tick still uses up an attempt, and after 40 the dialog ends by itself.
TEST_F(ReadKeyDialog, EndsByItselfAfterFortyAttempts)
{
    LONG result = 0;
    const DWORD start = GetTickCount();
    std::wstring status;
    HWND seen = nullptr;
    WithDialog([&](HWND dialog) { seen = dialog; }, result);
    const DWORD took = GetTickCount() - start;
    EXPECT_NE(seen, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, 19000u) << "40 ticks of 500 ms after the first at 50 ms";
    EXPECT_LT(took, 30000u);
}

TEST(ReadKeyLoop, PortErrorEndsTheLoopWithTheErrorText)
{
    CProgress progress;
    LONG result = 7;
    *(&result) = 0;
    HRESULT hr = S_OK;
    try {
        ReadKeyBody("COM96", &progress, nullptr, &result);
    } catch (const _com_error& e) {
        hr = e.Error();
    }
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(hr, E_FAIL) << "a missing port is not one of the port-host codes";
    ASSERT_EQ(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls[0], L"start Приложите ключ к считывателю 100");
    EXPECT_EQ(progress.calls[1], L"end Ошибка при считывании ключа");
    EXPECT_EQ(progress.refs, 1u) << "the progress object is released";
}

TEST(ReadKeyLoop, AValueOnEntryEndsTheLoopAtOnce)
{
    CProgress progress;
    LONG result = 55;
    ReadKeyBody("COM96", &progress, nullptr, &result);
    EXPECT_EQ(result, 55);
    ASSERT_EQ(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls[1], L"end Ключ успешно прочитан");
}

} // namespace

namespace {

// A converter that is not there fails to open with one of the codes that send an attempt to the
// port host; without a host nothing is read, and the loop runs until the progress object says stop.
TEST(ReadKeyLoop, ProgressObjectStopsTheLoop)
{
    CProgress progress;
    progress.stopAt = 3;
    LONG result = 0;
    HRESULT hr = S_OK;
    try {
        ReadKeyBody("USB4242", &progress, nullptr, &result);
    } catch (const _com_error& e) {
        hr = e.Error();
    }
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(progress.calls.size(), 5u);
    EXPECT_EQ(progress.calls[1], L"continue [] 0");
    EXPECT_EQ(progress.calls[3], L"continue [] 0");
    EXPECT_EQ(progress.calls[4], L"end ");
}

} // namespace
