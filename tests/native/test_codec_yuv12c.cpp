#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kYuv = 6;
using Bytes = std::vector<unsigned char>;

std::vector<unsigned char> Header(unsigned xpos, unsigned ypos, unsigned width, unsigned height)
{
    return {'Y', 'U', 'V', '1', '2', 'C', 0, 0, uint8_t(xpos), uint8_t(xpos >> 8), uint8_t(ypos), uint8_t(ypos >> 8),
            uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8)};
}

int Byte(double v)
{
    long r = std::lround(v);
    return r < 0 ? 0 : r > 255 ? 255 : int(r);
}

// The documented conversion in floating point, as a reference for the fixed-point code.
PaletteEntry Reference(int y, int u, int v)
{
    return PaletteEntry{uint8_t(Byte(y + 1.402 * (v - 128))),
                        uint8_t(Byte(y - 0.344136 * (u - 128) - 0.714136 * (v - 128))),
                        uint8_t(Byte(y + 1.772 * (u - 128)))};
}

std::vector<unsigned char> WriteYuv(const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("f.vid", fd, kYuv, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

peer::Picture Read(const std::vector<unsigned char>& file, int* rc)
{
    peer::Picture pic;
    std::vector<PaletteEntry> pal;
    *rc = memio::ReadPicture(kYuv, file.data(), file.size(), "", pic.header, pal, pic.rows);
    return pic;
}

} // namespace

TEST(Yuv12cCodec, HandBuiltGroupsDecodeByTheDocumentedFormula)
{
    // 8 × 2: top row a grey group and a saturated one, bottom row two colour groups.
    std::vector<unsigned char> file = Header(3, 4, 8, 2);
    const unsigned char groups[4][6] = {
        {10, 20, 30, 40, 128, 128}, {128, 128, 128, 128, 128, 255}, {100, 110, 120, 130, 60, 200}, {0, 255, 7, 90, 200, 30}};
    for (auto& g : groups)
        file.insert(file.end(), g, g + 6);
    int rc = -1;
    peer::Picture pic = Read(file, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(pic.header.width, 8);
    ASSERT_EQ(pic.header.height, 2);
    ASSERT_EQ(pic.header.bpp, 24);
    for (int x = 0; x < 4; ++x) {  // grey comes out exact
        PaletteEntry c = pic.Rgb(x, 0);
        EXPECT_TRUE(c.red == 10 * (x + 1) && c.green == 10 * (x + 1) && c.blue == 10 * (x + 1)) << x;
    }
    for (int g = 1; g < 4; ++g)
        for (int i = 0; i < 4; ++i) {
            const unsigned char* s = groups[g];
            PaletteEntry want = Reference(s[i], s[4], s[5]);
            PaletteEntry got = pic.Rgb((g % 2) * 4 + i, g / 2);
            EXPECT_EQ(got.red, want.red) << g << " " << i;
            EXPECT_EQ(got.green, want.green) << g << " " << i;
            EXPECT_EQ(got.blue, want.blue) << g << " " << i;
        }
    EXPECT_EQ(pic.Rgb(4, 0).red, 255);  // clamped
    EXPECT_EQ(pic.Rgb(4, 0).green, 37);
    EXPECT_EQ(pic.Rgb(4, 0).blue, 128);
}

TEST(Yuv12cCodec, HeaderAndDataErrors)
{
    Bytes ok = Header(0, 0, 4, 1);
    ok.insert(ok.end(), 6, 128);
    Bytes foreign = ok, width6 = Header(0, 0, 6, 1);
    foreign[2] = 'W';
    width6.insert(width6.end(), 12, 0);
    struct {
        const char* what;
        Bytes file;
        int rc;
    } cases[] = {{"good", ok, 0},
                 {"signature", foreign, 5},
                 {"signature cut short", Bytes(ok.begin(), ok.begin() + 3), 7},
                 {"header cut short", Bytes(ok.begin(), ok.begin() + 12), 7},
                 {"pixels cut short", Bytes(ok.begin(), ok.end() - 1), 7},
                 {"width", width6, 1000},
                 {"no width", Header(0, 0, 0, 1), 6},
                 {"no height", Header(0, 0, 4, 0), 6}};
    for (auto& c : cases) {
        int rc = -1;
        Read(c.file, &rc);
        EXPECT_EQ(rc, c.rc) << c.what;
    }
}

TEST(Yuv12cCodec, WriterHeaderFieldsAndOptions)
{
    peer::Picture pic = peer::MakePicture(12, 3, 24);
    int rc = -1;
    std::vector<unsigned char> file = WriteYuv(pic, "xpos=258, ypos=7", &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(file.size(), 16u + 3 * 18);
    EXPECT_EQ(std::vector<unsigned char>(file.begin(), file.begin() + 16), Header(258, 7, 12, 3));
    file = WriteYuv(pic, "", &rc);
    EXPECT_EQ(std::vector<unsigned char>(file.begin(), file.begin() + 16), Header(0, 0, 12, 3));
    for (const char* bad : {"xpos=65536", "ypos=-1", "xpos=left"}) {
        WriteYuv(pic, bad, &rc);
        EXPECT_EQ(rc, 3) << bad;
    }
    // One group of a single colour: Y, U and V by the documented formula, field by field.
    peer::Picture flat = peer::MakePicture(4, 1, 24);
    for (int x = 0; x < 4; ++x) {
        flat.rows[size_t(3 * x)] = 50;
        flat.rows[size_t(3 * x + 1)] = 100;
        flat.rows[size_t(3 * x + 2)] = 200;
    }
    file = WriteYuv(flat, "", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Bytes(file.begin() + 16, file.end()), (Bytes{124, 124, 124, 124, 86, 182}));

    peer::Picture odd = peer::MakePicture(10, 3, 24);
    WriteYuv(odd, "", &rc);
    EXPECT_EQ(rc, 1000);
    peer::Picture eight = peer::MakePicture(12, 3, 8);
    WriteYuv(eight, "", &rc);
    EXPECT_EQ(rc, 2);
}

TEST(Yuv12cCodec, RoundTripsExactForGreyCloseForColour)
{
    peer::Picture grey = peer::MakePicture(16, 9, 24);
    for (size_t i = 0; i + 2 < grey.rows.size(); i += 3)
        grey.rows[i + 1] = grey.rows[i + 2] = grey.rows[i];
    int rc = -1;
    std::vector<unsigned char> file = WriteYuv(grey, "", &rc);
    ASSERT_EQ(rc, 0);
    peer::Picture back = Read(file, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(back.rows, grey.rows);

    // A colour per group of four pixels: only rounding stands between us and the original.
    peer::Picture colour = peer::MakePicture(32, 8, 24);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) {
            unsigned char* px = colour.rows.data() + size_t(7 - y) * colour.Stride() + size_t(3 * x);
            const unsigned seed = unsigned(y * 8 + x / 4) * 2654435761u;
            px[0] = uint8_t(seed >> 8);
            px[1] = uint8_t(seed >> 16);
            px[2] = uint8_t(seed >> 24);
        }
    file = WriteYuv(colour, "", &rc);
    ASSERT_EQ(rc, 0);
    back = Read(file, &rc);
    ASSERT_EQ(rc, 0);
    int worst = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) {
            PaletteEntry a = colour.Rgb(x, y), b = back.Rgb(x, y);
            worst = std::max({worst, std::abs(a.red - b.red), std::abs(a.green - b.green), std::abs(a.blue - b.blue)});
        }
    EXPECT_LE(worst, 2);
}
