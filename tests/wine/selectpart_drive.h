// Drives the picture part selection dialog as an operator does: finds it, drags on the selection
// control with the mouse, types on it and presses its buttons. Shared by the C++ client's driver
// thread and the driver program the script client starts.
#pragma once
#include <windows.h>
#include <string>

#include "picture/SelectionGeometry.h"

const wchar_t kSelectDialogTitle[] = L"Выберите участок изображения";

struct SelectDialogDriver {
    HWND dialog = nullptr;
    HWND host = nullptr;     // item 253, the control's container
    HWND control = nullptr;  // the control's own window
    ViewFit fit;

    // Waits for the dialog to be shown with its control; false after timeoutMs.
    bool Find(DWORD timeoutMs)
    {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            dialog = FindWindowW(L"#32770", kSelectDialogTitle);
            if (dialog != nullptr && IsWindowVisible(dialog)) {
                host = GetDlgItem(dialog, 253);
                control = host ? GetWindow(host, GW_CHILD) : nullptr;
                if (control != nullptr)
                    return true;
            }
            Sleep(5);
        }
        return false;
    }
    // Where the control shows a picture of this size (as the control fits it).
    void Fit(int pictureWidth, int pictureHeight)
    {
        RECT rc;
        GetClientRect(control, &rc);
        fit = FitPictureInView(pictureWidth, pictureHeight, rc.right, rc.bottom);
    }
    POINT View(int x, int y) const { return POINT{PictureToViewX(fit, x), PictureToViewY(fit, y)}; }

    static LPARAM At(POINT p) { return MAKELPARAM(static_cast<WORD>(p.x), static_cast<WORD>(p.y)); }
    // The real pointer to a point of the control, with a button event there when asked (through the
    // system's input queue, so that the pointer's place and the button's state agree with what the
    // window is told, as they do for an operator).
    void Pointer(POINT at, DWORD buttons = 0)
    {
        POINT p = at;
        ClientToScreen(control, &p);
        const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
        INPUT in = {};
        in.type = INPUT_MOUSE;
        in.mi.dx = static_cast<LONG>((p.x * 65535LL + (w - 1) / 2) / (w - 1));
        in.mi.dy = static_cast<LONG>((p.y * 65535LL + (h - 1) / 2) / (h - 1));
        in.mi.dwFlags = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE | buttons;
        SendInput(1, &in, sizeof(INPUT));
    }
    // Waits until the dialog's thread has handled the input given so far.
    void Settle()
    {
        Sleep(60);
        SendMessageW(control, WM_NULL, 0, 0);
    }
    // A drag with the left button, in steps.
    void Drag(POINT from, POINT to, int steps)
    {
        SetForegroundWindow(dialog);
        Pointer(from);
        Pointer(from, MOUSEEVENTF_LEFTDOWN);
        Settle();
        for (int i = 1; i <= steps; ++i) {
            Pointer(POINT{from.x + (to.x - from.x) * i / steps, from.y + (to.y - from.y) * i / steps});
            Sleep(10);
        }
        Pointer(to, MOUSEEVENTF_LEFTUP);
        Settle();
    }
    // A click without movement.
    void Click(POINT p) { Drag(p, p, 0); }
    // A key typed on the keyboard (through the system's input queue), with Shift held when asked.
    void Key(WORD vk, bool shift = false)
    {
        SetForegroundWindow(dialog);
        INPUT in[4] = {};
        int n = 0;
        auto add = [&](WORD key, bool up) {
            in[n].type = INPUT_KEYBOARD;
            in[n].ki.wVk = key;
            in[n].ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
            if (key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN)
                in[n].ki.dwFlags |= KEYEVENTF_EXTENDEDKEY;
            ++n;
        };
        if (shift)
            add(VK_SHIFT, false);
        add(vk, false);
        add(vk, true);
        if (shift)
            add(VK_SHIFT, true);
        SendInput(n, in, sizeof(INPUT));
        Settle();
    }
    void Press(int id) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id)); }
    // The dialog has gone (the call returns soon after).
    bool WaitGone(DWORD timeoutMs)
    {
        const DWORD start = GetTickCount();
        while (IsWindow(dialog)) {
            if (GetTickCount() - start > timeoutMs)
                return false;
            Sleep(5);
        }
        return true;
    }
};
