// Screenshots of the component's windows under the test display, for people to look at.
#pragma once
#include <windows.h>
#include <cstdio>

// The dialog's window as painted on the screen, kept as a bitmap file for a person to look at.
inline void SaveScreenshot(HWND hWnd, const char* fileName)
{
    RECT r, window, display = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    GetWindowRect(hWnd, &window);
    // A maximised window's frame lies partly off the screen, where nothing can be copied from.
    if (!IntersectRect(&r, &window, &display))
        return;
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((DWORD(w) * 24 + 31) / 32) * 4, size = stride * DWORD(h);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + size;
    if (FILE* f = std::fopen(fileName, "wb")) {
        std::fwrite(&file, sizeof(file), 1, f);
        std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, f);
        std::fwrite(bits, 1, size, f);
        std::fclose(f);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}
