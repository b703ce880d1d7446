// Undoing what a failing call changed outside itself: the body runs, and on any failure the undo
// steps run before the same exception goes on to the caller's boundary.
#pragma once
#include <windows.h>

// A body that has changed something outside itself undoes it when a failure passes through,
// then lets the same exception go on to the boundary unchanged.
template <class Body, class Undo>
void UndoOnFailure(Body&& body, Undo&& undo)
{
    try {
        body();
    } catch (...) {
        try {
            undo();
        } catch (...) {
            // The original failure is the one the caller must see.
        }
        throw;
    }
}

// Undo steps of the clean-up table.
void DeleteWorkCopy(const char* fileName);   // the copy of the caller's file in the working folder
void ShowParentAgain(HWND hParent);          // a hidden parent window is shown again, topmost
