// Rectangle arithmetic of the picture selection control, kept apart from the window so that it
// runs anywhere. Rectangles are in picture pixels with right and bottom exclusive: 0, 0, 300, 400
// is 300 pixels wide and 400 high.
#pragma once
#include <cstdint>

struct SelRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
    bool IsEmpty() const { return right <= left || bottom <= top; }
    bool operator==(const SelRect& o) const
    {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

// What the selection must respect: the picture's size, and the height / width ratio while
// keepRatio is set (a ratio of 0 or less keeps nothing).
struct SelLimits {
    int32_t width = 0, height = 0;
    double ratio = 0.0;
    bool keepRatio = false;
    bool KeepsRatio() const { return keepRatio && ratio > 0.0; }
};

// Where a pointer is over the selection, and what a drag from there changes.
enum SelHandle {
    SEL_NONE,        // outside: a drag draws a new selection
    SEL_INSIDE,      // a drag moves the selection
    SEL_LEFT, SEL_TOP, SEL_RIGHT, SEL_BOTTOM,
    SEL_TOPLEFT, SEL_TOPRIGHT, SEL_BOTTOMLEFT, SEL_BOTTOMRIGHT
};

// A selection given from outside made valid: edges in order, inside the picture, and of the ratio
// when it is kept (the longer side shortened, the top left corner staying). An empty or wholly
// outside rectangle becomes the largest rectangle of the ratio at the picture's top left.
SelRect FitSelection(SelRect rect, const SelLimits& limits);

// The selection after a drag by dx, dy picture pixels from the handle, starting from the
// selection as it was when the drag began. SEL_NONE draws a new selection from the point
// start.left, start.top. The result never leaves the picture and keeps the ratio when asked;
// it may be empty when the drag brings two edges together.
SelRect DragSelection(const SelRect& start, SelHandle handle, int32_t dx, int32_t dy, const SelLimits& limits);

// The handle under the point x, y for a selection drawn at view coordinates (right and bottom
// exclusive); tolerance is how near an edge counts as on it.
SelHandle HitTestSelection(const SelRect& view, int32_t x, int32_t y, int32_t tolerance);

// A picture shown whole in a client area with its aspect kept and centred.
struct ViewFit {
    double scale = 0.0;               // view pixels per picture pixel
    int32_t x = 0, y = 0;             // where the picture's top left corner is drawn
    int32_t width = 0, height = 0;    // the drawn size
};
ViewFit FitPictureInView(int32_t pictureWidth, int32_t pictureHeight, int32_t clientWidth, int32_t clientHeight);

// Picture coordinates to view coordinates and back (the latter clamped into the picture).
int32_t PictureToViewX(const ViewFit& fit, int32_t x);
int32_t PictureToViewY(const ViewFit& fit, int32_t y);
SelRect PictureToView(const ViewFit& fit, const SelRect& rect);
// A distance in view pixels as picture pixels (rounded to the nearest).
int32_t ViewToPictureDistance(const ViewFit& fit, int32_t viewDistance);
int32_t ViewToPictureX(const ViewFit& fit, int32_t x, int32_t pictureWidth);
int32_t ViewToPictureY(const ViewFit& fit, int32_t y, int32_t pictureHeight);
