#include <gtest/gtest.h>

#include <utility>

#include "support/memio.h"
#include "support/peer.h"

namespace {

using Codes = std::vector<std::pair<unsigned, int>>;  // code, width in bits

// Pixels of `pic` that differ from ImageMagick's decode of image `index` of the file; -1 on failure.
long DifferencesFromImageMagick(const peer::Picture& pic, const std::string& gif, int index = 0)
{
    std::string ppm = gif + std::to_string(index) + ".ppm";
    peer::Rgb ref;
    if (!peer::Run("convert '" + gif + "[" + std::to_string(index) + "]' ppm:" + ppm) || !peer::ReadPnm(ppm, ref))
        return -1;
    return peer::CountDifferences(pic, ref);
}

void ExpectSameAsImageMagick(const std::string& gif, int index, int bpp)
{
    SCOPED_TRACE(gif + " image " + std::to_string(index));
    peer::Picture pic;
    ASSERT_EQ(peer::Load(gif, pic, ("index=" + std::to_string(index)).c_str()), 0);
    EXPECT_EQ(pic.header.bpp, bpp);
    EXPECT_EQ(DifferencesFromImageMagick(pic, gif, index), 0);
}

std::string GifText(const std::string& gif)
{
    std::string out = gif + ".txt";
    EXPECT_TRUE(peer::Run("(giftext -e " + gif + " > " + out + ")"));
    auto bytes = peer::ReadFileBytes(out);
    return std::string(bytes.begin(), bytes.end());
}

// A one-image GIF around hand-made LZW codes; the colour table has `entries` entries.
std::vector<unsigned char> HandGif(int width, int height, int entries, int codeSize, const Codes& codes,
                                   bool close = true)
{
    std::vector<unsigned char> f = {'G', 'I', 'F', '8', '9', 'a', uint8_t(width), uint8_t(width >> 8),
                                    uint8_t(height), uint8_t(height >> 8), 0, 0, 0};
    if (entries > 0) {
        int field = 0;
        while ((2 << field) < entries)
            ++field;
        f[10] = uint8_t(0x80 | field);
        for (int i = 0; i < (2 << field); ++i)
            f.insert(f.end(), {uint8_t(i * 10 + 5), uint8_t(i * 3), uint8_t(250 - i)});
    }
    f.insert(f.end(), {0x2C, 0, 0, 0, 0, uint8_t(width), uint8_t(width >> 8), uint8_t(height),
                       uint8_t(height >> 8), 0, uint8_t(codeSize)});
    std::vector<unsigned char> data;
    uint32_t acc = 0;
    int count = 0;
    for (auto [code, bits] : codes) {
        acc |= code << count;
        for (count += bits; count >= 8; count -= 8, acc >>= 8)
            data.push_back(uint8_t(acc));
    }
    if (count > 0)
        data.push_back(uint8_t(acc));
    for (size_t i = 0; i < data.size(); i += 255) {
        size_t n = std::min<size_t>(255, data.size() - i);
        f.push_back(uint8_t(n));
        f.insert(f.end(), data.begin() + long(i), data.begin() + long(i + n));
    }
    if (close)
        f.insert(f.end(), {0, 0x3B});
    return f;
}

// Top-down pixel indices of an 8-bit picture read from memory.
std::vector<int> Indices(const ImageHeader& h, const std::vector<unsigned char>& rows)
{
    std::vector<int> out;
    size_t stride = codec_stride(h.width, h.bpp);
    for (int y = h.height - 1; y >= 0; --y)
        for (int x = 0; x < h.width; ++x) {
            const unsigned char* r = rows.data() + size_t(y) * stride;
            out.push_back(h.bpp == 8 ? r[x] : h.bpp == 4 ? (r[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (r[x / 8] >> (7 - x % 8)) & 1);
        }
    return out;
}

// Reads into a buffer full of junk: every pixel and padding byte must be written (-2 if not).
int ReadMemory(const std::vector<unsigned char>& f, const char* options, std::vector<int>* pixels = nullptr)
{
    memio::Scope io;
    int fd = io.Add(f);
    ImageHeader h;
    std::vector<PaletteEntry> palette(256);
    int rc = codec_read_header("x.gif", fd, 1, &h, options);
    if (rc == 0)
        rc = codec_read_palette(fd, 1, &h, palette.data());
    if (rc != 0)
        return rc;
    size_t stride = codec_stride(h.width, h.bpp), used = (size_t(h.width) * size_t(h.bpp) + 7) / 8;
    std::vector<unsigned char> rows(stride * size_t(h.height), 0xAB);
    if ((rc = codec_read_data(fd, 1, &h, rows.data())) != 0)
        return rc;
    for (size_t i = 0; i < rows.size(); ++i)
        if (i % stride >= used && rows[i] != 0)
            return -2;
    if (pixels)
        *pixels = Indices(h, rows);
    return 0;
}

std::vector<unsigned char> WriteMemory(const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("x.gif", fd, 1, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

} // namespace

TEST(GifRead, ImageMagickFilesPixelExact)
{
    peer::Picture src = peer::MakePicture(97, 61, 24);
    peer::WritePpm(peer::Path("src.ppm"), src);
    struct Case {
        const char* name;
        const char* args;
        int bpp;
    } cases[] = {{"c2.gif", "-colors 2", 1},       {"c7.gif", "-colors 7", 4},
                 {"c16i.gif", "-colors 16 -interlace GIF", 4}, {"c256.gif", "-colors 256", 8},
                 {"c200i.gif", "-colors 200 -interlace GIF", 8}, {"c2i.gif", "-colors 2 -interlace GIF", 1}};
    for (const Case& c : cases) {
        ASSERT_TRUE(peer::Run(std::string("convert ") + peer::Path("src.ppm") + " " + c.args + " " + peer::Path(c.name)));
        ExpectSameAsImageMagick(peer::Path(c.name), 0, c.bpp);
    }
    ASSERT_TRUE(peer::Run("convert " + peer::Path("src.ppm") + " -colors 40 GIF87:" + peer::Path("old.gif")));
    ASSERT_EQ(peer::ReadFileBytes(peer::Path("old.gif"))[4], '7');
    ExpectSameAsImageMagick(peer::Path("old.gif"), 0, 8);
}

TEST(GifRead, ImageIndexSelectsFramesWithTheirOwnSizeAndTable)
{
    for (int i = 0; i < 3; ++i)
        peer::WritePpm(peer::Path("f" + std::to_string(i) + ".ppm"), peer::MakePicture(30 + 11 * i, 20 - 5 * i, 24, 5 + i));
    std::string multi = peer::Path("multi.gif");
    ASSERT_TRUE(peer::Run("convert " + peer::Path("f0.ppm") + " " + peer::Path("f1.ppm") + " -colors 12 " +
                          peer::Path("f2.ppm") + " -colors 100 " + multi));
    EXPECT_NE(GifText(multi).find("Image Has Color Map"), std::string::npos);
    ExpectSameAsImageMagick(multi, 0, 4);
    ExpectSameAsImageMagick(multi, 1, 4);
    ExpectSameAsImageMagick(multi, 2, 8);
    peer::Picture pic;
    EXPECT_EQ(peer::Load(multi, pic, "index=3"), 1101);
    EXPECT_EQ(peer::Load(multi, pic, "index=-1"), 3);
    EXPECT_EQ(peer::Load(multi, pic, "index=x"), 3);
}

// gifbuild: extensions of every kind between images, local tables of 2 and 8 entries, an
// interlaced image with a transparent colour, an image offset on the screen.
TEST(GifRead, GifbuildExtensionsAndLocalTables)
{
    const char* gifScript =
        "screen width 12\nscreen height 9\nscreen colors 4\nscreen background 1\nscreen map\n"
        "rgb 010 020 030 is a\nrgb 200 100 050 is b\nrgb 000 255 000 is c\nrgb 255 255 255 is d\nend\n"
        "netscape loop 0\n\nimage\ncomment\nhello world\nsecond line\nend\n"
        "graphics control\ndisposal mode 1\ndelay 7\ntransparent index 1\nend\n"
        "image left 1\nimage top 2\nimage interlaced\nimage map\nrgb 255 000 000 is x\nrgb 000 000 255 is y\nend\n"
        "image bits 7 by 9\nxyxyxyy\nyyxxyyx\nxxxxxxx\nyyyyyyy\nxyyxxyx\nyxxyyxy\nxxxyyyx\nyyyxxxy\nxyxyxyx\n\n"
        "image\nimage bits 5 by 3\nabcda\ndcbad\naaddc\nextension 01\nplain text stuff here\nend\n\n"
        "image\nimage map\nrgb 001 002 003 is 0\nrgb 004 005 006 is 1\nrgb 007 008 009 is 2\nrgb 010 011 012 is 3\n"
        "rgb 013 014 015 is 4\nrgb 016 017 018 is 5\nrgb 019 020 021 is 6\nrgb 022 023 024 is 7\nend\n"
        "image bits 4 by 2\n0123\n4567\n";
    peer::WriteFileBytes(peer::Path("gifbuild.txt"), std::vector<unsigned char>(gifScript, gifScript + strlen(gifScript)));
    std::string gif = peer::Path("built.gif");
    ASSERT_TRUE(peer::Run("(gifbuild " + peer::Path("gifbuild.txt") + " > " + gif + ")"));
    std::string text = GifText(gif);
    ASSERT_NE(text.find("Image is Interlaced"), std::string::npos);
    ASSERT_NE(text.find("plaintext"), std::string::npos);
    ExpectSameAsImageMagick(gif, 0, 1);
    ExpectSameAsImageMagick(gif, 1, 4);
    ExpectSameAsImageMagick(gif, 2, 4);
    peer::Picture pic;
    ASSERT_EQ(peer::Load(gif, pic, "index=2"), 0);
    EXPECT_EQ(pic.palette[8].red + pic.palette[15].blue, 0);  // entries past the table are black
}

TEST(GifWrite, ImageMagickDecodesEveryDepthAndGiftextSeesTheStructure)
{
    for (int bpp : {1, 4, 8})
        for (const char* options : {"", "ilace", "transcol=5", "transcol=edge ilace"}) {
            SCOPED_TRACE(std::to_string(bpp) + " " + options);
            peer::Picture pic = peer::MakePicture(61 + bpp, 37, bpp, unsigned(bpp));
            std::string gif = peer::Path("w" + std::to_string(bpp) + ".gif");
            bool unfit = bpp == 1 && std::string(options) == "transcol=5";  // no index 5 in 1 bit
            ASSERT_EQ(peer::Save(gif, pic, options), unfit ? 3 : 0);
            if (unfit)
                continue;
            EXPECT_EQ(DifferencesFromImageMagick(pic, gif), 0);
            std::string text = GifText(gif);
            EXPECT_NE(text.find("Code Size = " + std::to_string(bpp == 1 ? 2 : bpp)), std::string::npos);
            EXPECT_NE(text.find(strstr(options, "ilace") ? "Image is Interlaced" : "Non Interlaced"), std::string::npos);
            int transparent = strstr(options, "edge") ? pic.rows[0] >> (8 - bpp) : strstr(options, "=5") ? 5 : -1;
            EXPECT_EQ(text.find("Transparent Index: " + std::to_string(transparent)) != std::string::npos,
                      transparent >= 0);
        }
    peer::Picture pic = peer::MakePicture(20, 10, 4);
    std::string gif = peer::Path("placed.gif");
    ASSERT_EQ(peer::Save(gif, pic, "xpos=3,ypos=4 xscreen=40\tyscreen=30 background=9"), 0);
    std::string text = GifText(gif);
    EXPECT_NE(text.find("Width = 40, Height = 30"), std::string::npos);
    EXPECT_NE(text.find("BackGround = 9"), std::string::npos);
    EXPECT_NE(text.find("Left = 3, Top = 4, Width = 20, Height = 10"), std::string::npos);
    EXPECT_EQ(DifferencesFromImageMagick(pic, gif), 0);
}

TEST(GifWrite, HeaderFieldByField)
{
    peer::Picture pic = peer::MakePicture(3, 2, 1);
    pic.palette[0] = {1, 2, 3};
    pic.palette[1] = {4, 5, 6};
    int rc = -1;
    auto f = WriteMemory(pic, "transcol=1 background=1 xscreen=258 yscreen=20 xpos=2 ypos=3 ilace", &rc);
    ASSERT_EQ(rc, 0);
    const std::vector<unsigned char> head = {'G', 'I', 'F', '8', '9', 'a', 2, 1, 20, 0, 0x80, 1, 0,
                                             1, 2, 3, 4, 5, 6,
                                             0x21, 0xF9, 4, 1, 0, 0, 1, 0,
                                             0x2C, 2, 0, 3, 0, 3, 0, 2, 0, 0x40, 2};
    ASSERT_GT(f.size(), head.size() + 2);
    EXPECT_EQ(std::vector<unsigned char>(f.begin(), f.begin() + long(head.size())), head);
    EXPECT_EQ(f.back(), 0x3B);
    EXPECT_EQ(f[f.size() - 2], 0);
    std::vector<int> pixels;
    ASSERT_EQ(ReadMemory(f, "", &pixels), 0);
    EXPECT_EQ(pixels, Indices(pic.header, pic.rows));

    // No transparency: GIF87a, no extension; table size and colour resolution follow the depth.
    for (int bpp : {4, 8}) {
        auto g = WriteMemory(peer::MakePicture(5, 5, bpp), "", &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(std::string(g.begin(), g.begin() + 6), "GIF87a");
        EXPECT_EQ(g[10], bpp == 4 ? 0xB3 : 0xF7);
        size_t descriptor = 13 + 3 * (size_t(1) << bpp);
        EXPECT_EQ(g[descriptor], 0x2C);
        EXPECT_EQ(g[descriptor + 10], bpp);
    }
}

TEST(GifWrite, RefusesBadDepthOptionsAndReportsWriteFailure)
{
    peer::Picture pic = peer::MakePicture(8, 8, 8);
    int rc = 0;
    std::string tooLong = "ilace " + std::string(CODEC_WORK_BUFFER, 'x');
    for (const char* bad : {"transcol=256", "transcol=-1", "transcol=red", "background=300", "xscreen=0",
                            "yscreen=65536", "xpos=99999", "ypos=", tooLong.c_str()}) {
        WriteMemory(pic, bad, &rc);
        EXPECT_EQ(rc, 3) << bad;
    }
    WriteMemory(peer::MakePicture(8, 8, 24), "", &rc);
    EXPECT_EQ(rc, 2);
    memio::Scope io;
    int fd = io.Add(nullptr, 0, 100);
    EXPECT_EQ(codec_write("x.gif", fd, 1, &pic.header, pic.palette.data(), pic.rows.data(), ""), 8);
}

// Our reader on our writer: every depth and odd width, interlaced heights 1, 2, 7, 8, flat pictures
// (string-of-itself codes) and noise that fills the table and forces clear codes.
TEST(GifWrite, RoundTripThroughOurReader)
{
    std::vector<peer::Picture> pictures;
    for (int bpp : {1, 4, 8})
        for (int w : {1, 7, 9, 33})
            pictures.push_back(peer::MakePicture(w, 1 + w % 9, bpp, unsigned(w)));
    peer::Picture flat = peer::MakePicture(300, 200, 8);
    std::fill(flat.rows.begin(), flat.rows.end(), 3);
    pictures.push_back(flat);
    peer::Picture noise = peer::MakePicture(257, 301, 8);
    uint32_t s = 7;
    for (auto& b : noise.rows)
        b = uint8_t((s = s * 1664525u + 1013904223u) >> 24);
    pictures.push_back(noise);
    for (const peer::Picture& pic : pictures)
        for (const char* options : {"", "ilace"}) {
            int rc = -1;
            auto f = WriteMemory(pic, options, &rc);
            ASSERT_EQ(rc, 0);
            std::vector<int> pixels;
            ASSERT_EQ(ReadMemory(f, "", &pixels), 0) << pic.header.width << "x" << pic.header.height;
            EXPECT_EQ(pixels, Indices(pic.header, pic.rows)) << pic.header.width << " bpp " << pic.header.bpp;
        }
}

TEST(GifRead, CorruptLzwStreams)
{
    // 4x2, two colours, code size 2: clear 4, end 5, first free code 6, 3-bit codes.
    struct Case {
        const char* what;
        Codes codes;
        std::vector<int> kept;
        int errorWhenCut;  // without the zero-length block and trailer
    } cases[] = {
        {"code beyond the next free one", {{4, 3}, {1, 3}, {7, 3}}, {1}, 1103},
        {"string of itself right after clear", {{4, 3}, {6, 3}}, {}, 1103},
        {"end code before the picture is full", {{4, 3}, {1, 3}, {1, 3}, {5, 3}}, {1, 1}, 1103},
        {"data ends before the picture is full", {{4, 3}, {1, 3}, {6, 3}}, {1, 1, 1}, 7},
    };
    for (const Case& c : cases) {
        std::vector<int> pixels, expected(8, 0);
        std::copy(c.kept.begin(), c.kept.end(), expected.begin());
        auto f = HandGif(4, 2, 2, 2, c.codes);
        EXPECT_EQ(ReadMemory(f, ""), 1103) << c.what;
        EXPECT_EQ(ReadMemory(f, "errok", &pixels), 0) << c.what;
        EXPECT_EQ(pixels, expected) << c.what;
        f.resize(f.size() - 2);  // no terminating block nor trailer: truncated
        EXPECT_EQ(ReadMemory(f, ""), c.errorWhenCut) << c.what;
        EXPECT_EQ(ReadMemory(f, "errok"), 0) << c.what;
    }
    // More pixels than the picture holds: the excess is ignored, end code or not.
    std::vector<int> pixels;
    EXPECT_EQ(ReadMemory(HandGif(2, 1, 2, 2, {{4, 3}, {1, 3}, {0, 3}, {1, 3}, {6, 3}}, false), "", &pixels), 0);
    EXPECT_EQ(pixels, (std::vector<int>{1, 0}));
    // Code sizes: 1 and 10 are refused; 9 is accepted with pixel values the depth cannot hold read as 0.
    EXPECT_EQ(ReadMemory(HandGif(2, 1, 2, 1, {{2, 2}, {1, 2}, {1, 2}}), ""), 1102);
    EXPECT_EQ(ReadMemory(HandGif(2, 1, 2, 10, {{1024, 11}, {1, 11}, {1, 11}}), ""), 1102);
    EXPECT_EQ(ReadMemory(HandGif(3, 1, 256, 9, {{512, 10}, {3, 10}, {300, 10}, {255, 10}, {513, 10}}), "", &pixels), 0);
    EXPECT_EQ(pixels, (std::vector<int>{3, 0, 255}));
    // No colour table at all: 8 bits over a grey ramp.
    ImageHeader h;
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    auto bare = HandGif(2, 1, 0, 2, {{4, 3}, {3, 3}, {1, 3}});
    ASSERT_EQ(memio::ReadPicture(1, bare.data(), bare.size(), "", h, palette, rows), 0);
    EXPECT_EQ(h.bpp, 8);
    EXPECT_EQ(rows[0] + rows[1] * 10, 13);
    EXPECT_EQ(palette[3].green + palette[200].red, 203);
}

// A table that fills up without a clear code stays in use as it is, the way ImageMagick reads it.
TEST(GifRead, FullTableWithoutClearCode)
{
    Codes codes = {{4, 3}};
    std::vector<int> expected;
    uint32_t s = 1;
    auto width = [&] {  // next free code before this one is 4 + (codes so far), capped at 12 bits
        int w = 3;
        while (w < 12 && 4 + codes.size() >= (1u << w))
            ++w;
        return w;
    };
    for (int i = 0; i < 4091 + 57; ++i) {
        int p = int((s = s * 1103515245u + 12345u) >> 30) & 1;
        codes.push_back({unsigned(p), width()});
        expected.push_back(p);
    }
    codes.push_back({6, 12});     // the first two pixels
    codes.push_back({4095, 12});  // the last entry: pixels 4089 and 4090
    codes.push_back({5, 12});
    expected.insert(expected.end(), {expected[0], expected[1], expected[4089], expected[4090]});
    auto f = HandGif(24, 173, 2, 2, codes);
    std::vector<int> pixels;
    ASSERT_EQ(ReadMemory(f, "", &pixels), 0);
    EXPECT_EQ(pixels, expected);
    std::string gif = peer::Path("full.gif");
    peer::WriteFileBytes(gif, f);
    ExpectSameAsImageMagick(gif, 0, 1);
}

TEST(GifRead, SignatureTruncationAndStructureErrors)
{
    peer::Picture pic = peer::MakePicture(40, 30, 8);
    int rc = -1;
    auto f = WriteMemory(pic, "transcol=2 ilace", &rc);
    ASSERT_EQ(rc, 0);
    // Every cut before the last pixel's code is a read error; errok accepts cuts in the data and
    // keeps each interlaced row either decoded or index 0.
    const size_t dataStart = 13 + 768 + 8 + 10;
    const std::vector<int> whole = Indices(pic.header, pic.rows);
    for (size_t n = 0; n + 5 <= f.size(); ++n) {
        std::vector<unsigned char> cut(f.begin(), f.begin() + long(n));
        EXPECT_EQ(ReadMemory(cut, ""), 7) << n;
        std::vector<int> pixels;
        ASSERT_EQ(ReadMemory(cut, "errok", &pixels), n > dataStart ? 0 : 7) << n;
        for (size_t i = 0; i < pixels.size(); ++i)
            ASSERT_TRUE(pixels[i] == whole[i] || pixels[i] == 0) << n << " " << i;
    }
    for (const char* sig : {"GIF88a", "GIF89b", "gif89a", "JIF"}) {
        std::vector<unsigned char> bad = f;
        std::copy(sig, sig + strlen(sig), bad.begin());
        EXPECT_EQ(ReadMemory(bad, ""), 5) << sig;
    }
    std::vector<unsigned char> stray = f;
    stray[13 + 768] = 0x00;  // neither extension, image nor trailer
    EXPECT_EQ(ReadMemory(stray, ""), 1104);
    std::vector<unsigned char> empty = f;
    empty[13 + 768 + 8 + 5] = 0;  // width 0
    empty[13 + 768 + 8 + 6] = 0;
    EXPECT_EQ(ReadMemory(empty, ""), 6);
}
