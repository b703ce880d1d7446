#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "picture/PixelOps.h"

namespace {

struct Pic {
    int32_t w, h;
    std::vector<uint8_t> px;
    Pic(int32_t width, int32_t height) : w(width), h(height), px(DibStride(width, 24) * size_t(height), 0) {}
    uint8_t* At(int32_t x, int32_t y) { return px.data() + size_t(y) * DibStride(w, 24) + size_t(x) * 3; }
};

const uint8_t* At(const std::vector<uint8_t>& px, int32_t w, int32_t x, int32_t y)
{
    return px.data() + size_t(y) * DibStride(w, 24) + size_t(x) * 3;
}

} // namespace

TEST(Stretch, HalvingAveragesThreeByThreeWindowsCutAtTheEdges)
{
    Pic p(400, 300);
    for (int32_t y = 0; y < 300; ++y)
        for (int32_t x = 0; x < 400; ++x) {
            p.At(x, y)[0] = uint8_t(x % 200);  // blue follows the column
            p.At(x, y)[1] = uint8_t(y % 200);  // green the row
            p.At(x, y)[2] = uint8_t((x + y) % 2 ? 90 : 0);
        }
    std::vector<uint8_t> out;
    ASSERT_TRUE(StretchPixels24(p.px.data(), 400, 300, -1, -1, -1, -1, 200, 150, out));
    ASSERT_EQ(out.size(), DibStride(200, 24) * 150);
    // Inside: the 3 × 3 window around (2x, 2y).
    EXPECT_EQ(At(out, 200, 10, 20)[0], 20);
    EXPECT_EQ(At(out, 200, 10, 20)[1], 40);
    EXPECT_EQ(At(out, 200, 10, 20)[2], (90 * 4) / 9);  // 4 of the 9 pixels are 90 on a chequerboard
    // At the left and bottom edge the window is cut to 2 × 2: (0 + 1) / 2 truncates to 0.
    EXPECT_EQ(At(out, 200, 0, 0)[0], 0);
    EXPECT_EQ(At(out, 200, 0, 0)[1], 0);
    EXPECT_EQ(At(out, 200, 0, 0)[2], 45);  // 90 + 90 over 4 pixels
    // At the right edge column 398's window reaches 399 but not 400.
    EXPECT_EQ(At(out, 200, 199, 5)[0], uint8_t((197 % 200 + 198 % 200 + 199 % 200) / 3));
}

TEST(Stretch, SameSizeCopiesAndRectanglesCutOut)
{
    Pic p(7, 5);
    for (size_t i = 0; i < p.px.size(); ++i)
        p.px[i] = uint8_t(i * 13);
    std::vector<uint8_t> out;
    ASSERT_TRUE(StretchPixels24(p.px.data(), 7, 5, 0, 0, 6, 4, 7, 5, out));
    for (int32_t y = 0; y < 5; ++y)
        EXPECT_EQ(0, memcmp(At(out, 7, 0, y), p.At(0, y), 21)) << y;
    // A 3 × 2 rectangle at the same size is cut out unchanged.
    ASSERT_TRUE(StretchPixels24(p.px.data(), 7, 5, 2, 1, 4, 2, 3, 2, out));
    EXPECT_EQ(0, memcmp(At(out, 3, 0, 0), p.At(2, 1), 9));
    EXPECT_EQ(0, memcmp(At(out, 3, 0, 1), p.At(2, 2), 9));
    // Invalid rectangles mean the whole picture.
    for (auto r : {std::array<int, 4>{0, 0, 7, 4}, {3, 0, 3, 4}, {0, 2, 6, 1}, {-1, 0, 6, 4}}) {
        ASSERT_TRUE(StretchPixels24(p.px.data(), 7, 5, r[0], r[1], r[2], r[3], 7, 5, out));
        EXPECT_EQ(0, memcmp(At(out, 7, 0, 0), p.At(0, 0), 21));
    }
    EXPECT_FALSE(StretchPixels24(p.px.data(), 7, 5, -1, -1, -1, -1, 0, 5, out));
}

TEST(Stretch, EnlargingInterpolatesAndStaysInside)
{
    Pic p(2, 2);
    p.At(0, 0)[0] = 0;
    p.At(1, 0)[0] = 100;
    p.At(0, 1)[0] = 200;
    p.At(1, 1)[0] = 100;
    std::vector<uint8_t> out;
    ASSERT_TRUE(StretchPixels24(p.px.data(), 2, 2, -1, -1, -1, -1, 4, 4, out));
    // u = 0.5 × x, clamped to right − 1 = 0 from x = 2 on: the second column blends half way.
    EXPECT_EQ(At(out, 4, 0, 0)[0], 0);
    EXPECT_EQ(At(out, 4, 1, 0)[0], 50);
    EXPECT_EQ(At(out, 4, 1, 1)[0], 100);  // (0 + 100 + 200 + 100) / 4
    EXPECT_EQ(At(out, 4, 3, 3)[0], 0);    // clamped back to the first pixel

    // A one-pixel-wide column enlarged: every read stays inside the picture (ASan watches).
    Pic tall(3, 6);
    for (int32_t y = 0; y < 6; ++y)
        tall.At(2, y)[1] = uint8_t(40 * y);
    ASSERT_TRUE(StretchPixels24(tall.px.data(), 3, 6, 2, 0, 2, 5, 5, 12, out));
    // left == right is not a valid rectangle: the whole picture is used instead.
    ASSERT_TRUE(StretchPixels24(tall.px.data(), 1, 6, -1, -1, -1, -1, 4, 12, out));
    Pic one(1, 1);
    one.At(0, 0)[2] = 77;
    ASSERT_TRUE(StretchPixels24(one.px.data(), 1, 1, -1, -1, -1, -1, 3, 3, out));
    EXPECT_EQ(At(out, 3, 2, 2)[2], 77);
}

TEST(Rotate, ZeroDegreesKeepsTheSizeAndWhitensTheLastColumnAndRow)
{
    Pic p(6, 4);
    for (size_t i = 0; i < p.px.size(); ++i)
        p.px[i] = uint8_t(i);
    int32_t w = 0, h = 0;
    std::vector<uint8_t> out;
    ASSERT_TRUE(RotatePixels24(p.px.data(), 6, 4, 0, w, h, out));
    EXPECT_EQ(w, 6);
    EXPECT_EQ(h, 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 6; ++x) {
            bool white = x == 5 || y == 3;
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_EQ(At(out, 6, x, y)[ch], white ? 255 : p.At(x, y)[ch]) << x << "," << y;
        }
}

TEST(Rotate, QuarterTurnSwapsTheSides)
{
    Pic p(8, 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 8; ++x)
            p.At(x, y)[0] = uint8_t(10 * x + y);
    int32_t w = 0, h = 0;
    std::vector<uint8_t> out;
    ASSERT_TRUE(RotatePixels24(p.px.data(), 8, 4, 90, w, h, out));
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 8);
    // Output (i, j): x' = i − 2, y' = j − 4; u = 4 + y', v = 2 − x' (cos ≈ 0, sin ≈ 1).
    EXPECT_EQ(At(out, 4, 3, 5)[0], 10 * 5 + 1);
    EXPECT_EQ(At(out, 4, 1, 5)[0], 255);  // v = 3 is the last source row: white
    EXPECT_EQ(At(out, 4, 2, 2)[0], 10 * 2 + 2);
    int32_t w2 = 0, h2 = 0;
    ASSERT_TRUE(RotatePixels24(p.px.data(), 8, 4, 45, w2, h2, out));
    EXPECT_EQ(w2, 8);  // trunc(0.7071 × 8 + 0.7071 × 4)
    EXPECT_EQ(h2, 8);
    EXPECT_EQ(At(out, 8, 0, 0)[0], 255);  // a corner outside the source
}

TEST(Indexed, ExpandAndPack)
{
    const int32_t w = 5, h = 2;
    std::vector<uint8_t> idx(DibStride(w, 8) * h, 0);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            idx[size_t(y) * DibStride(w, 8) + size_t(x)] = uint8_t((x + y) % 4);
    uint8_t table[256 * 4] = {};
    for (int i = 0; i < 4; ++i) {
        table[i * 4] = uint8_t(i);
        table[i * 4 + 1] = uint8_t(10 * i);
        table[i * 4 + 2] = uint8_t(100 + i);
    }
    std::vector<uint8_t> rgb(DibStride(w, 24) * h, 0xEE);
    ExpandIndexed8To24(idx.data(), w, h, table, rgb.data());
    EXPECT_EQ(rgb[DibStride(w, 24) + 3 * 2 + 1], 30);  // (2 + 1) % 4 = 3 → green 30
    EXPECT_EQ(rgb[15], 0);                             // row padding zeroed

    std::vector<uint8_t> p4(DibStride(w, 4) * h, 0xFF), p1(DibStride(w, 1) * h, 0xFF);
    PackIndices(idx.data(), w, h, 4, p4.data());
    EXPECT_EQ(p4[0], 0x01);
    EXPECT_EQ(p4[1], 0x23);
    EXPECT_EQ(p4[2], 0x00);  // fifth pixel 0, padding zero
    EXPECT_EQ(p4[4], 0x12);
    PackIndices(idx.data(), w, h, 1, p1.data());
    EXPECT_EQ(p1[0], 0x50);  // 0 1 0 1 0 (low bits of 0 1 2 3 0)
    EXPECT_EQ(p1[1], 0x00);
}

TEST(StandardSize, HeightDecidesForPortraitsWidthOtherwise)
{
    long w = 0, h = 0;
    StandardSize(1600, 1200, 640, 480, w, h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    StandardSize(1200, 1600, 640, 480, w, h);
    EXPECT_EQ(w, 360);
    EXPECT_EQ(h, 480);
    StandardSize(1000, 333, 640, 480, w, h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 213);
    StandardSize(500, 500, 640, 480, w, h);  // square: the width decides
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 640);
}
