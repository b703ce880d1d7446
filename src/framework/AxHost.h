// A small container for one ActiveX control in a dialog. A dialog template names the window class
// kAxHostClass for the item and gives the control's class identifier as the item's text; the host
// window creates the control, activates it in place over its whole client area, keeps it sized with
// itself, hands the keyboard focus on to it, and closes it when the window goes.
#pragma once
#include <windows.h>
#include <ole2.h>

constexpr wchar_t kAxHostClass[] = L"TrelAxHost";

// Registers the host's window class for the module; once is enough, more calls change nothing.
bool AxHostRegisterClass(HINSTANCE hInstance);

// The control held by the host window. When it could not be created, the HRESULT of the failed
// step (the class not registered, the control refusing activation, ...).
HRESULT AxHostQueryControl(HWND hHost, REFIID riid, void** ppv);

// The control's own window, or null when it has none.
HWND AxHostControlWindow(HWND hHost);
