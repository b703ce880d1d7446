// The read dialogs against device models on ptys. Run with the Windows version of NT 4 (see
// cmake/winetests.cmake), whose fixed port names list the ptys linked as COM ports: Wine has no
// device interfaces for them.
#include <gtest/gtest.h>
#include <windows.h>
#include <comdef.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "framework/Module.h"
#include "ports/Settings.h"
#include "reading/ReadHodTestDlg.h"
#include "progress_recorder.h"
#include "reading/ReaderProgress.h"
#include "resources/resource.h"
#include "screenshot.h"

namespace {

std::wstring ComboItem(HWND box, int i)
{
    wchar_t text[512] = {};
    SendMessageW(box, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(text));
    return text;
}


// Runs body on this thread while inspect works on the dialog (caption "Чтение ключа") from another.
bool WithDialog(const std::function<void()>& body, const std::function<void(HWND)>& inspect)
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
    body();
    watcher.join();
    return seen;
}

// COM15 is served by a Hod-Test with number 42, COM16 by a reader adapter with no device behind it.
TEST(ReadHodTestDialog, ListsFreePortsHidesUsbAndReadsTheChosenPort)
{
    WriteSettingString("HodTestPort", "PORT:\\\\.\\COM5|COM5", kSettingsSubkey);  // not there: cleared
    LONG result = -1;
    std::vector<std::wstring> items;
    bool usbHidden = false, usbDisabled = false;
    const DWORD start = GetTickCount();
    bool seen = WithDialog([&] { ReadHodTestBody("", nullptr, nullptr, &result); },
                           [&](HWND dialog) {
                               HWND box = GetDlgItem(dialog, IDC_COM_PORTS);
                               const int n = int(SendMessageW(box, CB_GETCOUNT, 0, 0));
                               for (int i = 0; i < n; ++i)
                                   items.push_back(ComboItem(box, i));
                               usbHidden = !IsWindowVisible(GetDlgItem(dialog, IDC_USB_PORTS)) &&
                                           !IsWindowVisible(GetDlgItem(dialog, IDC_USB_RADIO));
                               usbDisabled = !IsWindowEnabled(GetDlgItem(dialog, IDC_USB_PORTS));
                               Sleep(1200);  // the screen lags behind the dialog's thread
                               SaveScreenshot(dialog, "readhodtest_dialog.bmp");
                               for (int i = 0; i < n; ++i)
                                   if (items[size_t(i)] == L"COM15") {
                                       SendMessageW(box, CB_SETCURSEL, WPARAM(i), 0);
                                       SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_COM_PORTS, CBN_SELCHANGE),
                                                    reinterpret_cast<LPARAM>(box));
                                   }
                           });
    EXPECT_TRUE(seen);
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items[0], L"<НЕ ВЫБРАН>");
    EXPECT_NE(std::find(items.begin(), items.end(), L"COM15"), items.end());
    EXPECT_NE(std::find(items.begin(), items.end(), L"COM16"), items.end());
    EXPECT_EQ(std::find(items.begin(), items.end(), L"COM5"), items.end()) << "ports that do not open are left out";
    EXPECT_TRUE(usbHidden);
    EXPECT_TRUE(usbDisabled);
    EXPECT_EQ(result, 42);
    EXPECT_LT(GetTickCount() - start, 15000u);
    EXPECT_EQ(ReadSettingString("HodTestPort", kSettingsSubkey), "PORT:\\\\.\\COM15|COM15");
}

TEST(ReadHodTestDialog, StoredPortThatIsNotFreeIsClearedAndStoredEmpty)
{
    WriteSettingString("HodTestPort", "PORT:\\\\.\\COM5|COM5", kSettingsSubkey);
    LONG result = -1;
    LRESULT selection = -1;
    WithDialog([&] { ReadHodTestBody("", nullptr, nullptr, &result); },
               [&](HWND dialog) {
                   selection = SendDlgItemMessageW(dialog, IDC_COM_PORTS, CB_GETCURSEL, 0, 0);
                   PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
               });
    EXPECT_EQ(selection, 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadSettingString("HodTestPort", kSettingsSubkey), "");
}

TEST(ReadHodTestLoop, ReadsTheNumberOnAGivenPort)
{
    LONG result = 0;
    ReadHodTestBody("COM15", nullptr, nullptr, &result);
    EXPECT_EQ(result, 42);
}

TEST(ReadHodTestLoop, NoDeviceEndsAfterTheDialogsAttempts)
{
    LONG result = 0;
    const DWORD start = GetTickCount();
    ReadHodTestBody("COM16", nullptr, nullptr, &result);
    EXPECT_EQ(result, 0);
    printf("ReadHodTest with no Hod-Test behind the adapter: 40 attempts in %lu ms\n", GetTickCount() - start);
}

} // namespace

namespace {

// COM14 and COM17 carry ASCII-line key readers with the key 00C0FFEE. The stored port is preselected
// (the fixed names list every port, busy or not) and read at the first tick.
TEST(ReadKeyDialog, ReadsTheKeyOnTheStoredPort)
{
    WriteSettingString("KeyPort", "PORT:\\\\.\\COM14|COM14", kSettingsSubkey);
    LONG result = 0;
    std::wstring chosen;
    const DWORD start = GetTickCount();
    bool seen = WithDialog([&] { ReadKeyBody("", nullptr, nullptr, &result); },
                           [&](HWND dialog) {
                               HWND box = GetDlgItem(dialog, IDC_COM_PORTS);
                               chosen = ComboItem(box, int(SendMessageW(box, CB_GETCURSEL, 0, 0)));
                           });
    EXPECT_TRUE(seen);
    EXPECT_EQ(chosen, L"COM14");
    EXPECT_EQ(result, LONG(0x00C0FFEE));
    printf("read-key dialog: key read %lu ms after the dialog was asked for\n", GetTickCount() - start);
    EXPECT_EQ(ReadSettingString("KeyPort", kSettingsSubkey), "PORT:\\\\.\\COM14|COM14");
}

// The operator's part: a stored port (an adapter with no key) is preselected and stored again after
// Cancel; a COM name typed into the box is applied 2 seconds after the last key stroke and read;
// the dialog ends at once.
TEST(ReadKeyDialog, StoredPortKeptOnCancel)
{
    WriteSettingString("KeyPort", "PORT:\\\\.\\COM16|COM16", kSettingsSubkey);
    LONG result = 0;
    std::wstring chosen;
    WithDialog([&] { ReadKeyBody("", nullptr, nullptr, &result); },
               [&](HWND dialog) {
                   HWND box = GetDlgItem(dialog, IDC_COM_PORTS);
                   chosen = ComboItem(box, int(SendMessageW(box, CB_GETCURSEL, 0, 0)));
                   Sleep(1500);  // a few attempts that find no key
                   PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
               });
    EXPECT_EQ(chosen, L"COM16");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadSettingString("KeyPort", kSettingsSubkey), "PORT:\\\\.\\COM16|COM16");
}

TEST(ReadKeyDialog, TypedPortIsAppliedTwoSecondsLaterAndRead)
{
    WriteSettingString("KeyPort", "", kSettingsSubkey);
    LONG result = 0;
    DWORD typedAt = 0, endedAt = 0;
    std::wstring lastStatus;
    WithDialog([&] { ReadKeyBody("", nullptr, nullptr, &result); },
               [&](HWND dialog) {
                   // Typed into the box's edit field. COM17 is beyond the fixed names, so no list
                   // entry matches it.
                   HWND box = GetDlgItem(dialog, IDC_COM_PORTS);
                   HWND edit = FindWindowExW(box, nullptr, L"Edit", nullptr);
                   ASSERT_NE(edit, nullptr);
                   SendMessageW(edit, EM_SETSEL, 0, -1);
                   for (wchar_t c : std::wstring(L"com17"))
                       SendMessageW(edit, WM_CHAR, c, 1);
                   typedAt = GetTickCount();
                   const LRESULT selection = SendMessageW(box, CB_GETCURSEL, 0, 0);
                   EXPECT_EQ(selection, CB_ERR) << "typing leaves no list entry picked";
                   // Watch the status line until the dialog is gone.
                   for (int i = 0; i < 600 && IsWindow(dialog); ++i) {
                       wchar_t text[256] = {};
                       DWORD_PTR got = 0;
                       if (SendMessageTimeoutW(GetDlgItem(dialog, IDC_STATUS), WM_GETTEXT, 256,
                                               reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 200, &got) &&
                           got > 0)
                           lastStatus = text;
                       Sleep(10);
                   }
                   endedAt = GetTickCount();
               });
    EXPECT_EQ(result, LONG(0x00C0FFEE));
    EXPECT_GE(endedAt - typedAt, 2000u) << "applied only after the typing pause";
    EXPECT_LT(endedAt - typedAt, 6000u) << "the first attempt on the typed port reads the key";
    EXPECT_TRUE(lastStatus == L"Приложите ключ к считывателю" || lastStatus == L"Ключ успешно прочитан");
    EXPECT_EQ(ReadSettingString("KeyPort", kSettingsSubkey), "COM17") << "the typed name, upper-cased";
}

TEST(ReadKeyLoop, ReadsTheKeyAndTellsTheProgressObject)
{
    CProgress progress;
    LONG result = 0;
    ReadKeyBody("COM14", &progress, nullptr, &result);
    EXPECT_EQ(result, LONG(0x00C0FFEE));
    ASSERT_EQ(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls[0], L"start Приложите ключ к считывателю 100");
    EXPECT_EQ(progress.calls[1], L"continue [] 0") << "asked after the attempt that read the key, too";
    EXPECT_EQ(progress.calls[2], L"end Ключ успешно прочитан");
}

TEST(ReadHodTestLoop, TellsTheProgressObject)
{
    CProgress progress;
    LONG result = 0;
    ReadHodTestBody("COM15", &progress, nullptr, &result);
    EXPECT_EQ(result, 42);
    ASSERT_EQ(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls[0], L"start Подсоедините ход-тест 100");
    EXPECT_EQ(progress.calls[2], L"end Ход-Тест успешно прочитан");
}

} // namespace
