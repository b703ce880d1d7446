#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kXbm = 11;

struct Read {
    int rc = -1;
    ImageHeader header{};
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    // The row's bytes, top row 0, leftmost pixel in the top bit.
    std::vector<int> Row(int y) const
    {
        size_t stride = codec_stride(header.width, 1);
        const unsigned char* r = rows.data() + size_t(header.height - 1 - y) * stride;
        return std::vector<int>(r, r + (header.width + 7) / 8);
    }
};

Read ReadText(const std::string& text)
{
    Read r;
    r.rc = memio::ReadPicture(kXbm, reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", r.header,
                              r.palette, r.rows);
    return r;
}

std::string WriteText(const peer::Picture& pic, const char* fileName, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write(fileName, fd, kXbm, &pic.header, pic.palette.data(), pic.rows.data(), "");
    const std::vector<unsigned char>& d = io.Data(fd);
    return std::string(d.begin(), d.end());
}

peer::Picture BlackOnWhite(int width, int height, unsigned seed)
{
    peer::Picture pic = peer::MakePicture(width, height, 1, seed);
    pic.palette[0] = PaletteEntry{255, 255, 255};
    pic.palette[1] = PaletteEntry{0, 0, 0};
    return pic;
}

// A 1-bit picture as a raw PBM (1 = black), top row first.
void WritePbm(const std::string& path, const peer::Picture& pic)
{
    std::string head = "P4\n" + std::to_string(pic.header.width) + " " + std::to_string(pic.header.height) + "\n";
    std::vector<unsigned char> d(head.begin(), head.end());
    size_t rowBytes = (size_t(pic.header.width) + 7) / 8;
    for (int y = 0; y < pic.header.height; ++y) {
        const unsigned char* r = pic.rows.data() + size_t(pic.header.height - 1 - y) * pic.Stride();
        d.insert(d.end(), r, r + rowBytes);
    }
    peer::WriteFileBytes(path, d);
}

// ---- peer cross-checks ----

TEST(XBitmapPeer, ReadsWhatPeersWrite)
{
    for (int width : {1, 7, 8, 9, 16, 17, 37}) {
        SCOPED_TRACE(width);
        peer::Picture src = BlackOnWhite(width, 11, unsigned(width));
        std::string pbm = peer::Path("x" + std::to_string(width) + ".pbm");
        WritePbm(pbm, src);
        peer::Rgb expected;
        expected.width = width;
        expected.height = 11;
        for (int y = 0; y < 11; ++y)
            for (int x = 0; x < width; ++x)
                expected.pixels.push_back(src.Rgb(x, y));
        for (std::string cmd : {"pbmtoxbm", "pbmtoxbm -x10", "convert"}) {
            if (cmd == "convert" && width != 9 && width != 37)
                continue;  // ImageMagick is slow to start: two widths that end inside a byte
            SCOPED_TRACE(cmd);
            std::string xbm = pbm + std::to_string(cmd.size()) + ".xbm";
            std::string run = cmd == "convert" ? "convert " + pbm + " " + xbm : "(" + cmd + " " + pbm + " > " + xbm + ")";
            ASSERT_TRUE(peer::Run(run));
            peer::Picture ours;
            ASSERT_EQ(peer::Load(xbm, ours), 0);
            EXPECT_EQ(peer::CountDifferences(ours, expected), 0);
        }
    }
}

TEST(XBitmapPeer, PeersReadWhatWeWrite)
{
    for (int width : {1, 8, 13, 40}) {
        SCOPED_TRACE(width);
        peer::Picture src = BlackOnWhite(width, 9, unsigned(width) + 1);
        std::string xbm = peer::Path("w" + std::to_string(width) + ".xbm");
        ASSERT_EQ(peer::Save(xbm, src), 0);
        peer::Rgb ref;
        ASSERT_TRUE(peer::Run("(xbmtopbm " + xbm + " | ppmtoppm > " + xbm + ".n.ppm)"));
        ASSERT_TRUE(peer::ReadPnm(xbm + ".n.ppm", ref));
        EXPECT_EQ(peer::CountDifferences(src, ref), 0);
        if (width % 8 == 0)
            continue;  // ImageMagick is slow to start: the widths that end inside a byte
        ASSERT_TRUE(peer::Run("convert " + xbm + " -depth 8 ppm:" + xbm + ".m.ppm"));
        ASSERT_TRUE(peer::ReadPnm(xbm + ".m.ppm", ref));
        EXPECT_EQ(peer::CountDifferences(src, ref), 0);
    }
}

// ---- layouts ----

TEST(XBitmapLayout, WriterText)
{
    peer::Picture pic;
    pic.header = ImageHeader{10, 2, 1, {}};
    pic.rows.assign(8, 0);
    pic.palette[0] = PaletteEntry{255, 255, 255};
    pic.palette[1] = PaletteEntry{0, 0, 0};
    pic.rows[4] = 0x80;  // top row: leftmost pixel black, and the last one
    pic.rows[5] = 0x7F;  // pixels 9..15 set; only pixel 9 is in the picture
    pic.rows[0] = 0x01;  // bottom row: pixel 7
    int rc = 0;
    std::string text = WriteText(pic, "C:\\pics\\my-pic.v2.xbm", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text, "#define my_pic_v2_width 10\n#define my_pic_v2_height 2\n"
                    "static char my_pic_v2_bits[] = {\n   0x01, 0x02, 0x80, 0x00};\n");

    // Names: leading digit, no name at all; twelve values a line.
    peer::Picture wide = BlackOnWhite(8 * 13, 1, 3);
    text = WriteText(wide, "/tmp/3d.xbm", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text.substr(0, 22), "#define _3d_width 104\n");
    size_t firstLine = text.find("{\n") + 2;
    std::string line = text.substr(firstLine, text.find('\n', firstLine) - firstLine);
    EXPECT_EQ(line.size(), 3 + 12 * 6 - 1u);
    EXPECT_EQ(std::count(line.begin(), line.end(), 'x'), 12);
    text = WriteText(wide, nullptr, &rc);
    EXPECT_EQ(text.substr(0, 24), "#define image_width 104\n");

    // White on black keeps the dark pixels as the foreground.
    peer::Picture inverted = pic;
    std::swap(inverted.palette[0], inverted.palette[1]);
    text = WriteText(inverted, "a.xbm", &rc);
    EXPECT_NE(text.find("{\n   0xfe, 0x01, 0x7f, 0x03};"), std::string::npos) << text;
}

TEST(XBitmapLayout, ReaderSyntax)
{
    // X11 with comments, hot spot, other preprocessor lines, unsigned char, mixed number bases,
    // a trailing comma.
    Read r = ReadText("/* a picture */\n#ifndef X\n#define pic_width 10 // wide\n#define pic_height 2\n"
                      "#define pic_x_hot 1\n#define pic_y_hot 0\nstatic const unsigned char pic_bits[4] = {\n"
                      "  0x01, 0X3, /* middle */ 128, 0377, };\n#endif\n");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.width, 10);
    EXPECT_EQ(r.header.height, 2);
    EXPECT_EQ(r.header.bpp, 1);
    EXPECT_EQ(r.Row(0), (std::vector<int>{0x80, 0xC0}));
    EXPECT_EQ(r.Row(1), (std::vector<int>{0x01, 0xC0}));  // padding bits past the width are clear
    EXPECT_EQ(r.palette[0].red, 255);
    EXPECT_EQ(r.palette[1].red, 0);

    // X10: a short per 16 pixels, low byte first.
    r = ReadText("#define x_width 20\n#define x_height 1\nstatic short x_bits[] = {\n 0x8001, 0x000f };\n");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0), (std::vector<int>{0x80, 0x01, 0xF0}));
}

// ---- errors ----

TEST(XBitmapErrors, ParseCodes)
{
    const std::string head = "#define a_width 8\n#define a_height 2\n";
    struct Case {
        std::string text;
        int rc;
    } cases[] = {
        {"#define 12 4\n", 1300},
        {head + "static char 3[] = {1,2};", 1300},
        {head + "= {", 1300},
        {head + "static char a_bits[] = {1,", 1301},
        {head + "static char a_bits[] = {1, 2 /* open", 1301},
        {"#define a_width 8\n", 1301},
        {head + "static int a_bits[] = {1,2};", 1302},
        {head + "static char a_bits = {1,2};", 1303},
        {head + "static char a_bits[2 = {1,2};", 1304},
        {head + "static char a_bits[] {1,2};", 1305},
        {head + "static char a_bits[] = 1,2};", 1306},
        {head + "static char a_bits[] = {1,2,3};", 1307},
        {head + "static char a_bits[] = {1 2};", 1308},
        {head + "static char a_bits[] = {1,};", 1309},
        {head + "static char a_bits[] = {1,0x};", 1309},
        {head + "static char a_bits[] = {1,09};", 1309},
        {"#define a_width x\n", 1309},
        {head + "static char a_bits[] = {1,2}", 1301},
        {head + "static char a_bits[] = {1,2}\n}", 1310},
        {"#define a_height 2\nstatic char a_bits[] = {1,2};", 6},
        {"#define a_width 70000\n#define a_height 1\nstatic char a_bits[] = {1};", 6},
        {"#define a" + std::string(300, 'b') + "_width 8\n", 1300},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadText(c.text).rc, c.rc) << c.text;
}

TEST(XBitmapErrors, TruncatedTextAndWriterRefusals)
{
    int rc = 0;
    std::string whole = WriteText(BlackOnWhite(21, 4, 2), "t.xbm", &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(ReadText(whole).rc, 0);
    for (size_t cut = 0; cut + 2 < whole.size(); ++cut) {
        int got = ReadText(whole.substr(0, cut)).rc;
        // Whatever token the cut leaves last, the text is refused with a parse code.
        EXPECT_TRUE((got >= 1300 && got <= 1310) || got == 6) << cut << " gave " << got;
    }
    peer::Picture p4 = peer::MakePicture(5, 5, 4);
    WriteText(p4, "x.xbm", &rc);
    EXPECT_EQ(rc, 2);
    peer::Picture p1 = BlackOnWhite(5, 5, 1);
    memio::Scope io;
    for (long limit : {0L, 30L}) {
        int fd = io.Add(nullptr, 0, limit);
        EXPECT_EQ(codec_write("x.xbm", fd, kXbm, &p1.header, p1.palette.data(), p1.rows.data(), ""), 8);
    }
}

} // namespace
