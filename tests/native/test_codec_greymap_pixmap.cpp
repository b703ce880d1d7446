#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kGreymap = 7, kPixmap = 8;
using Bytes = std::vector<unsigned char>;

Bytes Pnm(const std::string& header, Bytes raster = {})
{
    Bytes v(header.begin(), header.end());
    v.insert(v.end(), raster.begin(), raster.end());
    return v;
}

struct Read {
    int rc;
    ImageHeader header{};
    std::vector<PaletteEntry> palette;
    Bytes rows;
    Bytes Row(int yFromTop) const
    {
        if (rc != 0)  // a failed read has no rows
            return {};
        size_t stride = codec_stride(header.width, header.bpp);
        auto at = rows.begin() + long(size_t(header.height - 1 - yFromTop) * stride);
        return Bytes(at, at + long(stride));
    }
};

Read ReadPnm(int format, const Bytes& file)
{
    Read r;
    r.rc = memio::ReadPicture(format, file.data(), file.size(), "", r.header, r.palette, r.rows);
    return r;
}

Bytes WritePnm(int format, const peer::Picture& pic, const char* options, int* rc, long writeLimit = -1)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0, writeLimit);
    *rc = codec_write("x", fd, format, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

peer::Picture GreyRamp(peer::Picture pic)
{
    for (int i = 0; i < 256; ++i)
        pic.palette[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
    return pic;
}

} // namespace

TEST(GreymapPixmapCodec, HeaderWhitespaceCommentsAndTheSingleByteAfterTheMaximum)
{
    // Comments anywhere up to the maximum (even right after it), any whitespace; the raster
    // starts one byte after the maximum even when its first bytes look like whitespace.
    Read r = ReadPnm(kGreymap, Pnm("P5#c\n3\t#x 9\r\n\v2 # y\n255#z\n", {'\n', ' ', 7, 8, 9, 10}));
    ASSERT_EQ(r.rc, 0);
    ASSERT_TRUE(r.header.width == 3 && r.header.height == 2 && r.header.bpp == 8);
    EXPECT_EQ(r.Row(0), (Bytes{'\n', ' ', 7, 0}));
    EXPECT_EQ(r.Row(1), (Bytes{8, 9, 10, 0}));
    EXPECT_EQ(r.palette[123].red, 123);

    r = ReadPnm(kPixmap, Pnm("P6 2 1 255 ", {1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 24);
    EXPECT_EQ(r.Row(0), (Bytes{3, 2, 1, 6, 5, 4, 0, 0}));
}

TEST(GreymapPixmapCodec, SmallMaximaScaleAndBadHeadersFail)
{
    // maximum 2: 0, 1, 2 → 0, 128, 255; past the maximum → 255. maximum 7: 1, 6, 3 → 36, 219, 109.
    EXPECT_EQ(ReadPnm(kGreymap, Pnm("P5 4 1 2\n", {0, 1, 2, 3})).Row(0), (Bytes{0, 128, 255, 255}));
    EXPECT_EQ(ReadPnm(kPixmap, Pnm("P6 1 1 7\n", {1, 6, 3})).Row(0), (Bytes{109, 219, 36, 0}));

    struct Case { int format; const char* file; int rc; } cases[] = {
        {kGreymap, "P6 1 1 255\n", 5},      {kPixmap, "P5 1 1 255\n", 5},       {kGreymap, "P2 1 1 255\n", 5},
        {kGreymap, "BM", 5},                {kGreymap, "P", 7},                  {kPixmap, "", 7},
        {kGreymap, "P5 1 1", 7},            {kGreymap, "P5 1 1 255", 7},         {kGreymap, "P5 1 1 0\n", 100},
        {kGreymap, "P5 1 1 256\n", 100},    {kPixmap, "P6 1 1 65535\n", 200},    {kPixmap, "P6 1 1 25x\n", 200},
        {kPixmap, "P6 1 1 -1\n", 200},      {kGreymap, "P5 x 1 255\n", 6},       {kGreymap, "P5 0 1 255\n", 6},
        {kGreymap, "P5 65536 1 255\n", 6},  {kGreymap, "P5 1 99999999999 255\n", 6},
        {kPixmap, "P6 20000 20000 255\n", 6}, {kGreymap, "P5 2 2 255\n\1\2\3", 7}, {kPixmap, "P6 1 1 255\n\1\2", 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadPnm(c.format, Pnm(c.file)).rc, c.rc) << c.file;
    // Far too little raster: refused by the header reader, before the caller allocates.
    memio::Scope io;
    ImageHeader h{};
    EXPECT_EQ(codec_read_header("x", io.Add(Pnm("P6 8000 4000 255\n", {1, 2, 3})), kPixmap, &h, ""), 7);
}

TEST(GreymapPixmapCodec, WritersTakeGreyFromThePaletteAndRoundTrip)
{
    peer::Picture pic = peer::MakePicture(3, 2, 8);
    pic.palette[0] = PaletteEntry{200, 100, 50};
    pic.rows[0] = 0;  // bottom-left pixel: the file's fourth byte of raster
    struct Case { const char* options; int grey; } cases[] = {
        {"", (200 * 77 + 100 * 150 + 50 * 29) / 256}, {"k", 124}, {"R", 200}, {"g", 100}, {"b", 50}};
    int rc = -1;
    for (const Case& c : cases) {
        Bytes file = WritePnm(kGreymap, pic, c.options, &rc);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(std::string(file.begin(), file.begin() + 11), "P5\n3 2\n255\n");
        ASSERT_EQ(file.size(), 11u + 6u);
        EXPECT_EQ(file[11 + 3], c.grey) << c.options;
    }
    for (const char* bad : {"r,b", "k g"}) {
        EXPECT_EQ(WritePnm(kGreymap, pic, bad, &rc).size(), 0u);
        EXPECT_EQ(rc, 3);
    }
    WritePnm(kGreymap, peer::MakePicture(3, 2, 24), "", &rc);
    EXPECT_EQ(rc, 2);
    WritePnm(kPixmap, pic, "", &rc);
    EXPECT_EQ(rc, 2);

    for (int format : {kGreymap, kPixmap}) {
        peer::Picture src = GreyRamp(peer::MakePicture(33, 17, format == kGreymap ? 8 : 24, 9));
        Read back = ReadPnm(format, WritePnm(format, src, "", &rc));
        ASSERT_EQ(back.rc, 0);
        EXPECT_EQ(back.rows, src.rows);
        WritePnm(format, src, "", &rc, 40);
        EXPECT_EQ(rc, 8);
    }
}

TEST(GreymapPixmapPeers, ReadsNetpbmFilesAtAnyMaximumAsPnmdepthScalesThem)
{
    const char* makers[] = {  // each writes a PGM or PPM to stdout
        "pgmramp -diag 61 37",          "pgmramp -ellipse 61 37 | pnmdepth 7", "pgmramp -lr 300 2 | pnmdepth 254",
        "pgmramp -rect 40 40 | pnmdepth 1", "ppmpat -gingham3 57 23",          "ppmpat -madras 57 23 | pnmdepth 100",
        "ppmpat -tartan 57 23 | pnmdepth 3", "convert -size 30x20 plasma:fractal -depth 8 ppm:-"};
    int n = 0;
    for (const char* make : makers) {
        std::string file = peer::Path("netpbm" + std::to_string(n++) + (make[1] == 'g' ? ".pgm" : ".ppm"));
        std::string ref = peer::Path("ref.ppm");
        ASSERT_TRUE(peer::Run(std::string("(") + make + " > " + file + ")")) << make;
        ASSERT_TRUE(peer::Run("(pnmdepth 255 " + file + " > " + ref + ")"));
        peer::Picture ours;
        ASSERT_EQ(peer::Load(file, ours), 0) << make;
        peer::Rgb want;
        ASSERT_TRUE(peer::ReadPnm(ref, want)) << make;
        EXPECT_EQ(peer::CountDifferences(ours, want), 0) << make;
    }
}

TEST(GreymapPixmapPeers, NetpbmAndImageMagickReadWhatWeWrite)
{
    for (int bpp : {8, 24}) {
        peer::Picture pic = GreyRamp(peer::MakePicture(59, 21, bpp, 12));
        std::string file = peer::Path(bpp == 8 ? "ours.pgm" : "ours.ppm"), back = peer::Path("back.pnm");
        ASSERT_EQ(peer::Save(file, pic), 0);
        for (std::string tool : {"pamtopnm " + file, "convert " + file + " -strip -depth 8 ppm:-"}) {
            ASSERT_TRUE(peer::Run("(" + tool + " > " + back + ")")) << tool;
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(back, ref)) << tool;
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0) << tool << bpp;
        }
    }
}
