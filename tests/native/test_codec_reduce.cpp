#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <vector>

#include "support/peer.h"

namespace {

peer::Picture Picture24(int w, int h)
{
    peer::Picture p;
    p.header.width = w;
    p.header.height = h;
    p.header.bpp = 24;
    p.rows.assign(p.Stride() * size_t(h), 0xEE);  // padding bytes must not count as pixels
    return p;
}

void Set(peer::Picture& p, int x, int y, uint8_t r, uint8_t g, uint8_t b)
{
    unsigned char* px = p.rows.data() + size_t(p.header.height - 1 - y) * p.Stride() + size_t(3 * x);
    px[0] = b;
    px[1] = g;
    px[2] = r;
}

struct Reduced {
    std::vector<PaletteEntry> palette = std::vector<PaletteEntry>(256);
    std::vector<unsigned char> indices;
    int Index(const peer::Picture& p, int x, int y) const
    {
        return indices[size_t(p.header.height - 1 - y) * codec_stride(p.header.width, 8) + size_t(x)];
    }
};

Reduced Reduce(const peer::Picture& p, int colours, uint8_t rm = 0xFF, uint8_t gm = 0xFF, uint8_t bm = 0xFF)
{
    Reduced r;
    r.indices.assign(codec_stride(p.header.width, 8) * size_t(p.header.height), 0xCC);
    EXPECT_TRUE(codec_reduce_colours(&p.header, p.rows.data(), r.palette.data(), r.indices.data(), colours, rm, gm, bm));
    return r;
}

bool Same(const PaletteEntry& a, uint8_t r, uint8_t g, uint8_t b)
{
    return a.red == r && a.green == g && a.blue == b;
}

} // namespace

TEST(ReduceColours, FewColoursKeptExactlyInOrderOfFrequency)
{
    // 7 × 5 picture (odd width: padded rows) with 3 colours of counts 20, 10, 5.
    peer::Picture p = Picture24(7, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            int i = y * 7 + x;
            if (i < 20)
                Set(p, x, y, 10, 20, 30);
            else if (i < 30)
                Set(p, x, y, 200, 100, 0);
            else
                Set(p, x, y, 0, 0, 255);
        }
    Reduced r = Reduce(p, 256);
    EXPECT_TRUE(Same(r.palette[0], 10, 20, 30));
    EXPECT_TRUE(Same(r.palette[1], 200, 100, 0));
    EXPECT_TRUE(Same(r.palette[2], 0, 0, 255));
    for (int i = 3; i < 256; ++i)
        EXPECT_TRUE(Same(r.palette[i], 128, 128, 128)) << i;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            int i = y * 7 + x;
            EXPECT_EQ(r.Index(p, x, y), i < 20 ? 0 : i < 30 ? 1 : 2);
        }
    EXPECT_EQ(r.indices[7], 0);  // row padding is written as zero
}

TEST(ReduceColours, TwoHundredFiftySixColoursSurviveExactly)
{
    peer::Picture p = Picture24(64, 16);
    std::map<std::tuple<int, int, int>, int> seen;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 64; ++x) {
            int c = (y * 64 + x) % 256;
            Set(p, x, y, uint8_t(c), uint8_t(255 - c), uint8_t(c * 7));
        }
    Reduced r = Reduce(p, 256);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 64; ++x) {
            int c = (y * 64 + x) % 256;
            EXPECT_TRUE(Same(r.palette[r.Index(p, x, y)], uint8_t(c), uint8_t(255 - c), uint8_t(c * 7)));
        }
}

TEST(ReduceColours, TiesGoToTheFirstFoundAndTheRestMapToTheNearest)
{
    // Equal counts: the palette follows the order in which the colours were met (bottom row first).
    peer::Picture p = Picture24(4, 1);
    Set(p, 0, 0, 0, 0, 0);
    Set(p, 1, 0, 250, 250, 250);
    Set(p, 2, 0, 240, 240, 240);
    Set(p, 3, 0, 10, 0, 0);
    Reduced r = Reduce(p, 2);
    EXPECT_TRUE(Same(r.palette[0], 0, 0, 0));
    EXPECT_TRUE(Same(r.palette[1], 250, 250, 250));
    EXPECT_TRUE(Same(r.palette[2], 128, 128, 128));
    EXPECT_EQ(r.Index(p, 2, 0), 1);
    EXPECT_EQ(r.Index(p, 3, 0), 0);

    // Equally near two chosen colours: the first chosen wins.
    peer::Picture q = Picture24(5, 1);
    Set(q, 0, 0, 0, 0, 0);
    Set(q, 1, 0, 0, 0, 0);
    Set(q, 2, 0, 20, 0, 0);
    Set(q, 3, 0, 20, 0, 0);
    Set(q, 4, 0, 10, 0, 0);
    Reduced s = Reduce(q, 2);
    EXPECT_EQ(s.Index(q, 4, 0), 0);
}

namespace {

// 1100 base colours with even red and blue and odd green, each in 2^variants versions that differ
// only in the lowest bit of blue, then red, then green.
peer::Picture Variants(int variants)
{
    const int base = 1100, count = base << variants;
    peer::Picture p = Picture24(count / 50, 50);
    for (int i = 0; i < count; ++i) {
        int b = i % base, v = i / base;
        Set(p, i % (count / 50), i / (count / 50), uint8_t((b % 64) * 4 + ((v >> 1) & 1)),
            uint8_t((b / 64) * 2 + 1 - (v >> 2 & 1)), uint8_t((b % 7) * 8 + (v & 1)));
    }
    return p;
}

int LowBits(const Reduced& r, uint8_t PaletteEntry::*channel)
{
    int any = 0;
    for (int i = 0; i < 256; ++i)
        any |= r.palette[i].*channel & 1;
    return any;
}

} // namespace

TEST(ReduceColours, TooManyColoursNarrowBlueThenRedThenGreen)
{
    // 4400 colours: blue's lowest bit goes (2200 left, still too many), then red's (1100).
    Reduced two = Reduce(Variants(2), 256);
    EXPECT_EQ(LowBits(two, &PaletteEntry::blue), 0);
    EXPECT_EQ(LowBits(two, &PaletteEntry::red), 0);
    EXPECT_EQ(LowBits(two, &PaletteEntry::green), 1);

    // 2200 colours: only blue narrows.
    Reduced one = Reduce(Variants(1), 256);
    EXPECT_EQ(LowBits(one, &PaletteEntry::blue), 0);
    EXPECT_EQ(LowBits(one, &PaletteEntry::red), 0);  // the base colours have even red
    EXPECT_EQ(LowBits(one, &PaletteEntry::green), 1);

    // 8800 colours: blue, red, then green lose their lowest bit.
    Reduced three = Reduce(Variants(3), 256);
    EXPECT_EQ(LowBits(three, &PaletteEntry::green), 0);

    // 2049 distinct colours still fit without narrowing; the 2050th does not.
    peer::Picture fits = Picture24(2049, 1);
    for (int x = 0; x < 2049; ++x)
        Set(fits, x, 0, uint8_t(x & 0xFF), uint8_t(x >> 8), 1);
    Reduced exact = Reduce(fits, 256);
    EXPECT_EQ(LowBits(exact, &PaletteEntry::blue), 1);
    peer::Picture over = Picture24(2050, 1);
    for (int x = 0; x < 2050; ++x)
        Set(over, x, 0, uint8_t(x & 0xFF), uint8_t(x >> 8), 1);
    Reduced narrowed = Reduce(over, 256);
    EXPECT_EQ(LowBits(narrowed, &PaletteEntry::blue), 0);

    // Every 24-bit pattern at once narrows in turn and still ends with a full palette.
    peer::Picture q = Picture24(256, 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x)
            Set(q, x, y, uint8_t(x), uint8_t(y * 4 + (x & 3)), uint8_t(x ^ (y * 3)));
    Reduced s = Reduce(q, 256);
    EXPECT_FALSE(Same(s.palette[255], 128, 128, 128));
}

TEST(ReduceColours, CallerMasksApplyFromTheStart)
{
    peer::Picture p = Picture24(2, 1);
    Set(p, 0, 0, 0x13, 0x27, 0x3B);
    Set(p, 1, 0, 0x12, 0x26, 0x3A);
    Reduced r = Reduce(p, 256, 0xF0, 0xF0, 0xF0);
    EXPECT_TRUE(Same(r.palette[0], 0x10, 0x20, 0x30));
    EXPECT_EQ(r.Index(p, 1, 0), 0);
    ImageHeader h = p.header;
    h.bpp = 8;
    PaletteEntry pal[256];
    unsigned char out[8];
    EXPECT_FALSE(codec_reduce_colours(&h, p.rows.data(), pal, out, 256, 0xFF, 0xFF, 0xFF));
}
