// The picture selection control: an ActiveX control that shows a picture file scaled to its window
// and lets the operator mark a rectangle on it, then rewrites the file with that part at a target
// size. Scripts and containers drive it through IDispatch:
//   1 FileName       put/get  string   the picture file, loaded through the picture codecs
//   2 PictureWidth   get      long     the picture's width in pixels
//   3 PictureHeight  get      long     its height
//   4 ApplySelection method   long width, height, left, top, right, bottom: the file afterwards
//                                      holds that part at width x height, in its own format
//   5 SetSelection   method   long left, top, right, bottom, double ratio, bool keep ratio
//   6-9 SelLeft, SelTop, SelRight, SelBottom  get  long  the current selection
// Coordinates are picture pixels, right and bottom exclusive.
#pragma once
#include <windows.h>
#include <ole2.h>

// {7C3E5A90-2D4B-4F81-96A7-E8B1C4D2F360}
extern const CLSID CLSID_TrelPictureSelect;
constexpr wchar_t kPictureSelectClsid[] = L"{7C3E5A90-2D4B-4F81-96A7-E8B1C4D2F360}";
constexpr wchar_t kPictureSelectProgId[] = L"TrelPictureSelect.PictureSelect.1";
constexpr wchar_t kPictureSelectIndependentProgId[] = L"TrelPictureSelect.PictureSelect";

enum PictureSelectDispId {
    DISPID_PS_FILENAME = 1,
    DISPID_PS_WIDTH = 2,
    DISPID_PS_HEIGHT = 3,
    DISPID_PS_APPLY = 4,
    DISPID_PS_SETSELECTION = 5,
    DISPID_PS_LEFT = 6,
    DISPID_PS_TOP = 7,
    DISPID_PS_RIGHT = 8,
    DISPID_PS_BOTTOM = 9
};

// A new control (not aggregatable).
HRESULT CreatePictureSelectControl(IUnknown* pOuter, REFIID riid, void** ppv);

// Controls alive in this module, for its unloading.
LONG PictureSelectLiveObjects();
