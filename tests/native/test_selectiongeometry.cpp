// The selection control's rectangle arithmetic: fitting a given selection, drags with and without
// the ratio, the picture's edges, hit-testing and the picture-to-view mapping.
#include <gtest/gtest.h>

#include <cmath>

#include "picture/SelectionGeometry.h"

namespace {

SelLimits Picture(int32_t w, int32_t h, double ratio = 0.0)
{
    SelLimits l;
    l.width = w;
    l.height = h;
    l.ratio = ratio;
    l.keepRatio = ratio > 0.0;
    return l;
}

void ExpectInsideAndOfRatio(const SelRect& r, const SelLimits& l)
{
    EXPECT_GE(r.left, 0);
    EXPECT_GE(r.top, 0);
    EXPECT_LE(r.right, l.width);
    EXPECT_LE(r.bottom, l.height);
    EXPECT_LE(r.left, r.right);
    EXPECT_LE(r.top, r.bottom);
    if (l.KeepsRatio() && !r.IsEmpty()) {
        EXPECT_LE(std::fabs(r.Height() - r.Width() * l.ratio), 1.0)
            << r.left << "," << r.top << "," << r.right << "," << r.bottom;
    }
}

TEST(SelectionFit, AGivenSelectionOfTheRatioInsideThePictureStaysAsItIs)
{
    const SelLimits l = Picture(1000, 800, 400.0 / 300.0);
    EXPECT_EQ(FitSelection({0, 0, 300, 400}, l), (SelRect{0, 0, 300, 400}));
    EXPECT_EQ(FitSelection({10, 20, 160, 220}, l), (SelRect{10, 20, 160, 220}));
}

TEST(SelectionFit, OutsideReversedOrEmptySelectionsAreMadeValid)
{
    const SelLimits l = Picture(200, 100, 400.0 / 300.0);
    // Remembered from a larger picture: cut to the picture, then the longer side shortened.
    SelRect r = FitSelection({0, 0, 300, 400}, l);
    EXPECT_EQ(r, (SelRect{0, 0, 75, 100}));
    // Edges given in the wrong order.
    EXPECT_EQ(FitSelection({160, 140, 10, 20}, Picture(200, 200)), (SelRect{10, 20, 160, 140}));
    // Empty or wholly outside: the largest rectangle of the ratio at the top left.
    EXPECT_EQ(FitSelection({5, 5, 5, 50}, l), (SelRect{0, 0, 75, 100}));
    EXPECT_EQ(FitSelection({500, 500, 900, 900}, Picture(200, 100)), (SelRect{0, 0, 200, 100}));
    EXPECT_EQ(FitSelection({-50, -50, 20, 20}, Picture(200, 100)), (SelRect{0, 0, 20, 20}));
}

TEST(SelectionDrag, MovingNeverLeavesThePictureAndKeepsTheSize)
{
    const SelLimits l = Picture(400, 300);
    const SelRect s{100, 100, 200, 150};
    EXPECT_EQ(DragSelection(s, SEL_INSIDE, 30, -20, l), (SelRect{130, 80, 230, 130}));
    EXPECT_EQ(DragSelection(s, SEL_INSIDE, 1000, 1000, l), (SelRect{300, 250, 400, 300}));
    EXPECT_EQ(DragSelection(s, SEL_INSIDE, -1000, -1000, l), (SelRect{0, 0, 100, 50}));
}

TEST(SelectionDrag, EdgesAndCornersWithoutTheRatio)
{
    const SelLimits l = Picture(400, 300);
    const SelRect s{100, 100, 200, 150};
    EXPECT_EQ(DragSelection(s, SEL_RIGHT, 50, 99, l), (SelRect{100, 100, 250, 150}));
    EXPECT_EQ(DragSelection(s, SEL_TOP, 99, -60, l), (SelRect{100, 40, 200, 150}));
    EXPECT_EQ(DragSelection(s, SEL_BOTTOMLEFT, -20, 30, l), (SelRect{80, 100, 200, 180}));
    // Past the opposite edge the selection turns over; past the picture's edge it is cut.
    EXPECT_EQ(DragSelection(s, SEL_LEFT, 150, 0, l), (SelRect{200, 100, 250, 150}));
    EXPECT_EQ(DragSelection(s, SEL_BOTTOMRIGHT, 1000, 1000, l), (SelRect{100, 100, 400, 300}));
    // Two edges brought together: an empty selection, which the dialog treats as none.
    EXPECT_TRUE(DragSelection(s, SEL_RIGHT, -100, 0, l).IsEmpty());
}

TEST(SelectionDrag, TheRatioIsKeptByEveryHandleUpToThePicturesEdges)
{
    const SelLimits l = Picture(640, 480, 400.0 / 300.0);
    const SelRect s{100, 50, 250, 250};
    for (SelHandle h : {SEL_LEFT, SEL_TOP, SEL_RIGHT, SEL_BOTTOM, SEL_TOPLEFT, SEL_TOPRIGHT, SEL_BOTTOMLEFT,
                        SEL_BOTTOMRIGHT, SEL_NONE, SEL_INSIDE})
        for (int dx : {-700, -37, 0, 12, 90, 700})
            for (int dy : {-500, -11, 0, 45, 500}) {
                SCOPED_TRACE(testing::Message() << "handle " << h << " by " << dx << "," << dy);
                ExpectInsideAndOfRatio(DragSelection(s, h, dx, dy, l), l);
            }
    // The right edge moved out: the height follows downwards from the top.
    EXPECT_EQ(DragSelection(s, SEL_RIGHT, 30, 0, l), (SelRect{100, 50, 280, 290}));
    // The bottom right corner pulled far out stops before the bottom of the picture is passed.
    EXPECT_EQ(DragSelection(s, SEL_BOTTOMRIGHT, 1000, 1000, l), (SelRect{100, 50, 422, 479}));
    // A new selection drawn up and to the left of the press point.
    SelRect n = DragSelection({300, 300, 300, 300}, SEL_NONE, -60, -10, l);
    EXPECT_EQ(n, (SelRect{240, 220, 300, 300}));
}

TEST(SelectionHitTest, CornersBeforeEdgesBeforeInside)
{
    const SelRect v{100, 100, 200, 160};
    EXPECT_EQ(HitTestSelection(v, 101, 98, 4), SEL_TOPLEFT);
    EXPECT_EQ(HitTestSelection(v, 203, 163, 4), SEL_BOTTOMRIGHT);
    EXPECT_EQ(HitTestSelection(v, 198, 100, 4), SEL_TOPRIGHT);
    EXPECT_EQ(HitTestSelection(v, 150, 102, 4), SEL_TOP);
    EXPECT_EQ(HitTestSelection(v, 97, 130, 4), SEL_LEFT);
    EXPECT_EQ(HitTestSelection(v, 150, 130, 4), SEL_INSIDE);
    EXPECT_EQ(HitTestSelection(v, 150, 170, 4), SEL_NONE);
    EXPECT_EQ(HitTestSelection(v, 90, 130, 4), SEL_NONE);
    // On a sliver both edges are near: the nearer one is taken, so it can still be widened.
    EXPECT_EQ(HitTestSelection({100, 100, 103, 160}, 104, 130, 4), SEL_RIGHT);
    EXPECT_EQ(HitTestSelection({100, 100, 103, 160}, 100, 130, 4), SEL_LEFT);
}

TEST(SelectionView, PicturesFitWithTheirAspectAndMapBackToPicturePixels)
{
    ViewFit f = FitPictureInView(4000, 3000, 800, 800);
    EXPECT_DOUBLE_EQ(f.scale, 0.2);
    EXPECT_EQ(f.width, 800);
    EXPECT_EQ(f.height, 600);
    EXPECT_EQ(f.x, 0);
    EXPECT_EQ(f.y, 100);
    EXPECT_EQ(PictureToView(f, {1000, 500, 2000, 1500}), (SelRect{200, 200, 400, 400}));
    EXPECT_EQ(ViewToPictureX(f, 400, 4000), 2000);
    EXPECT_EQ(ViewToPictureY(f, 50, 3000), 0);      // above the picture: its top edge
    EXPECT_EQ(ViewToPictureX(f, 900, 4000), 4000);  // right of it: its right edge
    EXPECT_EQ(ViewToPictureDistance(f, 3), 15);
    // Small pictures are enlarged to the window; nothing to show gives a zero scale.
    EXPECT_DOUBLE_EQ(FitPictureInView(100, 50, 400, 400).scale, 4.0);
    EXPECT_EQ(FitPictureInView(0, 50, 400, 400).scale, 0.0);
    EXPECT_EQ(ViewToPictureDistance(FitPictureInView(0, 50, 400, 400), 10), 0);
}

} // namespace

#include <vector>

#include "picture/PixelOps.h"
#include "picture/ViewScale.h"

namespace {

TEST(SelectionView, TheShownPictureIsTheMeanOfItsSamplesAndEnlargesLikeStretch)
{
    // 4 x 4, each 2 x 2 block one colour apart from a single odd pixel: halving gives the blocks' means.
    const int32_t w = 4, h = 4;
    std::vector<uint8_t> src(DibStride(w, 24) * h, 0);
    auto at = [&](int x, int y) { return &src[DibStride(w, 24) * y + 3 * x]; };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                at(x, y)[c] = uint8_t(40 * (x / 2) + 100 * (y / 2) + c);
    at(3, 3)[0] = 84;  // block (1,1) blue: 140, 140, 140, 84 -> 126
    std::vector<uint8_t> out;
    ASSERT_TRUE(ScalePixelsForView(src.data(), w, h, 2, 2, out));
    const size_t s = DibStride(2, 24);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 40);
    EXPECT_EQ(out[s + 1], 101);
    EXPECT_EQ(out[s + 3], 126);
    EXPECT_EQ(out[s + 5], 142);
    // Enlarging is Stretch's interpolation; impossible sizes fail.
    std::vector<uint8_t> stretched;
    ASSERT_TRUE(ScalePixelsForView(src.data(), w, h, 8, 3, out));
    ASSERT_TRUE(StretchPixels24(src.data(), w, h, -1, -1, -1, -1, 8, 3, stretched));
    EXPECT_EQ(out, stretched);
    EXPECT_FALSE(ScalePixelsForView(src.data(), w, h, 0, 3, out));
}

} // namespace
