#include "framework/Undo.h"

void DeleteWorkCopy(const char* fileName)
{
    if (fileName != nullptr && *fileName != '\0')
        DeleteFileA(fileName);
}

void ShowParentAgain(HWND hParent)
{
    if (hParent == nullptr)
        return;
    ShowWindow(hParent, SW_SHOW);
    SetWindowPos(hParent, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}
