#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kGreymap = 7, kPixmap = 8;

std::vector<unsigned char> Bytes(const std::string& header, std::initializer_list<int> raster = {})
{
    std::vector<unsigned char> v(header.begin(), header.end());
    for (int b : raster)
        v.push_back(uint8_t(b));
    return v;
}

struct Read {
    int rc;
    ImageHeader header{};
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    std::vector<unsigned char> Row(int yFromTop) const
    {
        size_t stride = codec_stride(header.width, header.bpp);
        const unsigned char* r = rows.data() + size_t(header.height - 1 - yFromTop) * stride;
        return std::vector<unsigned char>(r, r + stride);
    }
};

Read ReadPnm(int format, const std::vector<unsigned char>& file)
{
    Read r;
    r.rc = memio::ReadPicture(format, file.data(), file.size(), "", r.header, r.palette, r.rows);
    return r;
}

std::vector<unsigned char> WritePnm(int format, const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("x", fd, format, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

} // namespace

TEST(GreymapPixmapCodec, HeaderWhitespaceCommentsAndTheSingleByteAfterTheMaximum)
{
    // Comments anywhere before the maximum (even right after it), any whitespace; the raster
    // starts one byte after the maximum even when its first bytes look like whitespace.
    Read r = ReadPnm(kGreymap, Bytes("P5#c\n3\t#x 9\r\n\v2 # y\n255#z\n", {'\n', ' ', 7, 8, 9, 10}));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.width, 3);
    ASSERT_EQ(r.header.height, 2);
    EXPECT_EQ(r.header.bpp, 8);
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{'\n', ' ', 7, 0}));
    EXPECT_EQ(r.Row(1), (std::vector<unsigned char>{8, 9, 10, 0}));
    EXPECT_EQ(r.palette[123].red, 123);

    r = ReadPnm(kPixmap, Bytes("P6 2 1 255 ", {1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 24);
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{3, 2, 1, 6, 5, 4, 0, 0}));
}

TEST(GreymapPixmapCodec, SmallMaximaScaleLikePnmdepthAndBadHeadersFail)
{
    // maximum 2: 0, 1, 2 → 0, 128, 255; values past the maximum read as 255.
    Read r = ReadPnm(kGreymap, Bytes("P5 4 1 2\n", {0, 1, 2, 3}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{0, 128, 255, 255}));
    r = ReadPnm(kPixmap, Bytes("P6 1 1 7\n", {1, 6, 3}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{109, 219, 36, 0}));

    struct Case {
        int format;
        const char* file;
        int rc;
    } cases[] = {
        {kGreymap, "P6 1 1 255\n", 5},      {kPixmap, "P5 1 1 255\n", 5},     {kGreymap, "P2 1 1 255\n", 5},
        {kGreymap, "BM", 5},                {kGreymap, "P", 7},                {kPixmap, "", 7},
        {kGreymap, "P5 1 1", 7},
        {kGreymap, "P5 1 1 255", 7},        {kGreymap, "P5 1 1 0\n", 100},     {kGreymap, "P5 1 1 256\n", 100},
        {kPixmap, "P6 1 1 65535\n", 200},   {kPixmap, "P6 1 1 25x\n", 200},    {kPixmap, "P6 1 1 -1\n", 200},
        {kGreymap, "P5 x 1 255\n", 6},      {kGreymap, "P5 0 1 255\n", 6},     {kGreymap, "P5 65536 1 255\n", 6},
        {kGreymap, "P5 1 99999999999 255\n", 6}, {kPixmap, "P6 20000 20000 255\n", 6},
        {kGreymap, "P5 2 2 255\n\1\2\3", 7}, {kPixmap, "P6 1 1 255\n\1\2", 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadPnm(c.format, Bytes(c.file)).rc, c.rc) << c.file;
    // Far too little raster: refused by the header reader, before the caller allocates.
    memio::Scope io;
    ImageHeader h{};
    EXPECT_EQ(codec_read_header("x", io.Add(Bytes("P6 8000 4000 255\n", {1, 2, 3})), kPixmap, &h, ""), 7);
}

TEST(GreymapPixmapCodec, WritersTakeGreyFromThePaletteAndRoundTrip)
{
    peer::Picture pic = peer::MakePicture(3, 2, 8);
    pic.palette[0] = PaletteEntry{200, 100, 50};
    pic.rows[0] = 0;  // bottom-left pixel
    struct Case {
        const char* options;
        int grey;
    } cases[] = {{"", (200 * 77 + 100 * 150 + 50 * 29) / 256}, {"k", 124}, {"R", 200}, {"g", 100}, {"b", 50}};
    for (const Case& c : cases) {
        int rc = -1;
        std::vector<unsigned char> file = WritePnm(kGreymap, pic, c.options, &rc);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(std::string(file.begin(), file.begin() + 11), "P5\n3 2\n255\n");
        ASSERT_EQ(file.size(), 11u + 6u);
        EXPECT_EQ(file[11 + 3], c.grey) << c.options;  // second row of the file: the bottom one
    }
    int rc = -1;
    EXPECT_EQ(WritePnm(kGreymap, pic, "r,b", &rc).size(), 0u);
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(WritePnm(kGreymap, pic, "k g", &rc).size(), 0u);
    EXPECT_EQ(rc, 3);
    WritePnm(kGreymap, peer::MakePicture(3, 2, 24), "", &rc);
    EXPECT_EQ(rc, 2);
    WritePnm(kPixmap, pic, "", &rc);
    EXPECT_EQ(rc, 2);

    for (int format : {kGreymap, kPixmap}) {
        peer::Picture src = peer::MakePicture(33, 17, format == kGreymap ? 8 : 24, 9);
        for (int i = 0; i < 256; ++i)
            src.palette[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
        std::vector<unsigned char> file = WritePnm(format, src, "", &rc);
        ASSERT_EQ(rc, 0);
        Read back = ReadPnm(format, file);
        ASSERT_EQ(back.rc, 0);
        EXPECT_EQ(back.rows, src.rows);
        memio::Scope io;
        int fd = io.Add(nullptr, 0, 40);
        EXPECT_EQ(codec_write("x", fd, format, &src.header, src.palette.data(), src.rows.data(), ""), 8);
    }
}

TEST(GreymapPixmapPeers, ReadsNetpbmFilesAtAnyMaximumAsPnmdepthScalesThem)
{
    struct Case {
        const char* make;  // writes a PGM or PPM to stdout
        const char* ext;
    } cases[] = {
        {"pgmramp -diag 61 37", "pgm"},
        {"pgmramp -ellipse 61 37 | pnmdepth 7", "pgm"},
        {"pgmramp -lr 300 2 | pnmdepth 254", "pgm"},
        {"pgmramp -rect 40 40 | pnmdepth 1", "pgm"},
        {"ppmpat -gingham3 57 23", "ppm"},
        {"ppmpat -madras 57 23 | pnmdepth 100", "ppm"},
        {"ppmpat -tartan 57 23 | pnmdepth 3", "ppm"},
        {"convert -size 30x20 plasma:fractal -depth 8 ppm:-", "ppm"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string file = peer::Path("netpbm" + std::to_string(n++) + "." + c.ext), ref = peer::Path("ref.ppm");
        ASSERT_TRUE(peer::Run(std::string("(") + c.make + " > " + file + ")")) << c.make;
        ASSERT_TRUE(peer::Run("(pnmdepth 255 " + file + " > " + ref + ")"));
        peer::Picture ours;
        ASSERT_EQ(peer::Load(file, ours), 0) << c.make;
        peer::Rgb want;
        ASSERT_TRUE(peer::ReadPnm(ref, want)) << c.make;
        EXPECT_EQ(peer::CountDifferences(ours, want), 0) << c.make;
    }
}

TEST(GreymapPixmapPeers, NetpbmAndImageMagickReadWhatWeWrite)
{
    for (const char* ext : {"pgm", "ppm"}) {
        peer::Picture pic = peer::MakePicture(59, 21, ext[1] == 'g' ? 8 : 24, 12);
        for (int i = 0; ext[1] == 'g' && i < 256; ++i)
            pic.palette[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
        std::string file = peer::Path(std::string("ours.") + ext);
        ASSERT_EQ(peer::Save(file, pic), 0);
        for (std::string tool : {"pamtopnm " + file + " > ", "convert " + file + " -strip -depth 8 ppm:- > "}) {
            std::string ppm = peer::Path("back.pnm");
            ASSERT_TRUE(peer::Run("(" + tool + ppm + ")")) << tool;
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(ppm, ref)) << tool;
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0) << tool << ext;
        }
    }
}
