#include "picture/SelectionGeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

int32_t Clamp(int64_t value, int32_t low, int32_t high)
{
    if (high < low)
        return low;
    return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(value, low), high));
}

// The rectangle between a fixed corner ax, ay and the pointer px, py, cut to the picture. With the
// ratio kept, widthDrives says which side follows the pointer; the other side follows the ratio,
// and both shrink together when the picture's edge would cut one of them.
SelRect FromAnchor(int32_t ax, int32_t ay, int64_t px, int64_t py, bool widthDrives, const SelLimits& limits)
{
    const int32_t x = Clamp(px, 0, limits.width), y = Clamp(py, 0, limits.height);
    const bool toRight = x >= ax, toBottom = y >= ay;
    int32_t w = std::abs(x - ax), h = std::abs(y - ay);
    if (limits.KeepsRatio()) {
        const double ratio = limits.ratio;
        const double roomW = toRight ? limits.width - ax : ax;
        const double roomH = toBottom ? limits.height - ay : ay;
        if (widthDrives) {
            w = static_cast<int32_t>(std::floor(std::min({static_cast<double>(w), roomW, roomH / ratio})));
            h = static_cast<int32_t>(std::lround(w * ratio));
        } else {
            h = static_cast<int32_t>(std::floor(std::min({static_cast<double>(h), roomH, roomW * ratio})));
            w = static_cast<int32_t>(std::lround(h / ratio));
        }
        w = std::min<int32_t>(w, static_cast<int32_t>(roomW));
        h = std::min<int32_t>(h, static_cast<int32_t>(roomH));
    }
    SelRect r;
    r.left = toRight ? ax : ax - w;
    r.right = r.left + w;
    r.top = toBottom ? ay : ay - h;
    r.bottom = r.top + h;
    return r;
}

} // namespace

SelRect FitSelection(SelRect rect, const SelLimits& limits)
{
    if (rect.left > rect.right)
        std::swap(rect.left, rect.right);
    if (rect.top > rect.bottom)
        std::swap(rect.top, rect.bottom);
    rect.left = Clamp(rect.left, 0, limits.width);
    rect.right = Clamp(rect.right, 0, limits.width);
    rect.top = Clamp(rect.top, 0, limits.height);
    rect.bottom = Clamp(rect.bottom, 0, limits.height);
    if (rect.IsEmpty())
        rect = SelRect{0, 0, limits.width, limits.height};
    if (limits.KeepsRatio()) {
        const double wanted = rect.Width() * limits.ratio;
        if (wanted >= rect.Height() + 1.0)
            rect.right = rect.left + static_cast<int32_t>(std::lround(rect.Height() / limits.ratio));
        else if (wanted <= rect.Height() - 1.0)
            rect.bottom = rect.top + static_cast<int32_t>(std::lround(wanted));
    }
    return rect;
}

SelRect DragSelection(const SelRect& s, SelHandle handle, int32_t dx, int32_t dy, const SelLimits& limits)
{
    // Which side follows the pointer at a corner: the one the pointer moved further along,
    // measured in the ratio's terms.
    const bool widthLeads = !limits.KeepsRatio() || std::fabs(dx * limits.ratio) >= std::fabs(double(dy));
    switch (handle) {
    case SEL_INSIDE: {
        SelRect r = s;
        r.left = Clamp(int64_t(s.left) + dx, 0, limits.width - s.Width());
        r.top = Clamp(int64_t(s.top) + dy, 0, limits.height - s.Height());
        r.right = r.left + s.Width();
        r.bottom = r.top + s.Height();
        return r;
    }
    case SEL_NONE: {
        const bool wide = !limits.KeepsRatio() || std::fabs(dx * limits.ratio) >= std::fabs(double(dy));
        return FromAnchor(s.left, s.top, int64_t(s.left) + dx, int64_t(s.top) + dy, wide, limits);
    }
    case SEL_LEFT:
        return FromAnchor(s.right, s.top, int64_t(s.left) + dx, s.bottom, true, limits);
    case SEL_RIGHT:
        return FromAnchor(s.left, s.top, int64_t(s.right) + dx, s.bottom, true, limits);
    case SEL_TOP:
        return FromAnchor(s.left, s.bottom, s.right, int64_t(s.top) + dy, false, limits);
    case SEL_BOTTOM:
        return FromAnchor(s.left, s.top, s.right, int64_t(s.bottom) + dy, false, limits);
    case SEL_TOPLEFT:
        return FromAnchor(s.right, s.bottom, int64_t(s.left) + dx, int64_t(s.top) + dy, widthLeads, limits);
    case SEL_TOPRIGHT:
        return FromAnchor(s.left, s.bottom, int64_t(s.right) + dx, int64_t(s.top) + dy, widthLeads, limits);
    case SEL_BOTTOMLEFT:
        return FromAnchor(s.right, s.top, int64_t(s.left) + dx, int64_t(s.bottom) + dy, widthLeads, limits);
    case SEL_BOTTOMRIGHT:
        return FromAnchor(s.left, s.top, int64_t(s.right) + dx, int64_t(s.bottom) + dy, widthLeads, limits);
    }
    return s;
}

SelHandle HitTestSelection(const SelRect& v, int32_t x, int32_t y, int32_t tolerance)
{
    if (x < v.left - tolerance || x > v.right + tolerance || y < v.top - tolerance || y > v.bottom + tolerance)
        return SEL_NONE;
    const int32_t dl = std::abs(x - v.left), dr = std::abs(x - v.right);
    const int32_t dt = std::abs(y - v.top), db = std::abs(y - v.bottom);
    // On a selection narrower than two tolerances both edges are near: the closer one wins.
    const bool nearL = dl <= tolerance && dl <= dr, nearR = dr <= tolerance && dr < dl;
    const bool nearT = dt <= tolerance && dt <= db, nearB = db <= tolerance && db < dt;
    if (nearT && nearL)
        return SEL_TOPLEFT;
    if (nearT && nearR)
        return SEL_TOPRIGHT;
    if (nearB && nearL)
        return SEL_BOTTOMLEFT;
    if (nearB && nearR)
        return SEL_BOTTOMRIGHT;
    if (nearL)
        return SEL_LEFT;
    if (nearR)
        return SEL_RIGHT;
    if (nearT)
        return SEL_TOP;
    if (nearB)
        return SEL_BOTTOM;
    if (x > v.left && x < v.right && y > v.top && y < v.bottom)
        return SEL_INSIDE;
    return SEL_NONE;
}

ViewFit FitPictureInView(int32_t pw, int32_t ph, int32_t cw, int32_t ch)
{
    ViewFit fit;
    if (pw <= 0 || ph <= 0 || cw <= 0 || ch <= 0)
        return fit;
    fit.scale = std::min(double(cw) / pw, double(ch) / ph);
    fit.width = std::max<int32_t>(1, static_cast<int32_t>(std::lround(pw * fit.scale)));
    fit.height = std::max<int32_t>(1, static_cast<int32_t>(std::lround(ph * fit.scale)));
    fit.x = (cw - fit.width) / 2;
    fit.y = (ch - fit.height) / 2;
    return fit;
}

int32_t PictureToViewX(const ViewFit& fit, int32_t x)
{
    return fit.x + static_cast<int32_t>(std::lround(x * fit.scale));
}

int32_t PictureToViewY(const ViewFit& fit, int32_t y)
{
    return fit.y + static_cast<int32_t>(std::lround(y * fit.scale));
}

SelRect PictureToView(const ViewFit& fit, const SelRect& r)
{
    return SelRect{PictureToViewX(fit, r.left), PictureToViewY(fit, r.top), PictureToViewX(fit, r.right),
                   PictureToViewY(fit, r.bottom)};
}

int32_t ViewToPictureDistance(const ViewFit& fit, int32_t d)
{
    return fit.scale > 0.0 ? static_cast<int32_t>(std::lround(d / fit.scale)) : 0;
}

int32_t ViewToPictureX(const ViewFit& fit, int32_t x, int32_t pictureWidth)
{
    return Clamp(ViewToPictureDistance(fit, x - fit.x), 0, pictureWidth);
}

int32_t ViewToPictureY(const ViewFit& fit, int32_t y, int32_t pictureHeight)
{
    return Clamp(ViewToPictureDistance(fit, y - fit.y), 0, pictureHeight);
}
