#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kTarga = 4;
using Bytes = std::vector<unsigned char>;

// An 18-byte Targa header as the format lays it out, then the bytes that follow it.
Bytes Tga(int type, int pixelBits, int width, int height, int descriptor, Bytes rest = {}, int mapFirst = 0,
          int mapLength = 0, int mapBits = 0, int idLength = 0)
{
    Bytes h = {uint8_t(idLength), uint8_t(mapLength ? 1 : 0), uint8_t(type), uint8_t(mapFirst), uint8_t(mapFirst >> 8),
               uint8_t(mapLength), uint8_t(mapLength >> 8), uint8_t(mapBits), 0, 0, 0, 0, uint8_t(width),
               uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8), uint8_t(pixelBits), uint8_t(descriptor)};
    for (unsigned char b : rest)  // insert() of a range trips a false -Warray-bounds in g++ 12
        h.push_back(b);
    return h;
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

Read ReadTga(const Bytes& file)
{
    Read r;
    r.rc = memio::ReadPicture(kTarga, file.data(), file.size(), "", r.header, r.palette, r.rows);
    return r;
}

Bytes WriteTga(const peer::Picture& pic, const char* options, int* rc, long writeLimit = -1)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0, writeLimit);
    *rc = codec_write("x.tga", fd, kTarga, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

peer::Picture GreyRamp(peer::Picture pic)
{
    for (int i = 0; i < 256; ++i)
        pic.palette[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
    return pic;
}

} // namespace

TEST(TargaCodec, WritesEachLayoutAndReadsItBack)
{
    struct Case { int bpp; const char* options; int type, pixelBits, descriptor; size_t size; } cases[] = {
        {8, "", 1, 8, 0, 18 + 768 + 315},       {8, "ydown", 1, 8, 0x20, 18 + 768 + 315},
        {24, "", 2, 24, 0, 18 + 315 * 3},       {24, "32,ydown", 2, 32, 0x28, 18 + 315 * 4},
        {24, "YUP 24", 2, 24, 0, 18 + 315 * 3}, {24, "16", 2, 16, 0, 18 + 315 * 2}};  // 35 × 9 pixels
    for (const Case& c : cases) {
        peer::Picture pic = peer::MakePicture(35, 9, c.bpp, 2);
        int rc = -1;
        Bytes file = WriteTga(pic, c.options, &rc);
        ASSERT_EQ(rc, 0) << c.options;
        ASSERT_EQ(file.size(), c.size) << c.options;
        EXPECT_EQ(Bytes(file.begin() + 12, file.begin() + 18),
                  (Bytes{35, 0, 9, 0, uint8_t(c.pixelBits), uint8_t(c.descriptor)}));
        EXPECT_EQ(file[2], c.type);
        Read back = ReadTga(file);
        ASSERT_EQ(back.rc, 0) << c.options;
        if (c.pixelBits == 16) {  // 5 bits a channel, scaled back rounded
            for (size_t i = 0; i < pic.rows.size(); ++i)
                pic.rows[i] = i % pic.Stride() < 105 ? uint8_t(((pic.rows[i] >> 3) * 255 + 15) / 31) : 0;
        }
        EXPECT_EQ(back.rows, pic.rows) << c.options;
        for (int i = 0; c.bpp == 8 && i < 256; ++i)
            ASSERT_TRUE(back.palette[i].red == pic.palette[i].red && back.palette[i].blue == pic.palette[i].blue);
    }
    // A grey ramp palette makes a grey file without a map.
    int rc = -1;
    Bytes grey = WriteTga(GreyRamp(peer::MakePicture(5, 3, 8)), "", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Bytes(grey.begin(), grey.begin() + 3), (Bytes{0, 0, 3}));
    EXPECT_EQ(grey.size(), 18u + 15u);
    EXPECT_EQ(ReadTga(grey).palette[200].green, 200);

    peer::Picture pic = peer::MakePicture(4, 4, 24);
    for (const char* bad : {"16 32", "24,16", "ydown yup"}) {
        EXPECT_EQ(WriteTga(pic, bad, &rc).size(), 0u);
        EXPECT_EQ(rc, 3) << bad;
    }
    WriteTga(peer::MakePicture(4, 4, 4), "", &rc);
    EXPECT_EQ(rc, 2);
    WriteTga(pic, "32", &rc, 50);
    EXPECT_EQ(rc, 8);
}

TEST(TargaCodec, ReadsRunLengthMapsOriginsAndPixelSizes)
{
    // Run-length colour-mapped, 3 × 2, top row first, an image ID, a 16-bit map from index 10
    // (0x7C1F magenta, 0x03E0 green); the run of 4 crosses from the first row into the second.
    Read r = ReadTga(Tga(9, 8, 3, 2, 0x20, {'a', 'b', 'c', 0x1F, 0x7C, 0xE0, 0x03, 0x00, 10, 0x83, 11, 0x00, 10},
                         10, 2, 16, 3));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 8);
    EXPECT_EQ(r.Row(0), (Bytes{10, 11, 11, 0}));
    EXPECT_EQ(r.Row(1), (Bytes{11, 11, 10, 0}));
    EXPECT_TRUE(r.palette[10].red == 255 && r.palette[10].green == 0 && r.palette[10].blue == 255);
    EXPECT_TRUE(r.palette[11].red == 0 && r.palette[11].green == 255 && r.palette[0].red == 0);

    // 32-bit B-G-R-A, right to left: alpha dropped, pixels mirrored.
    r = ReadTga(Tga(2, 32, 2, 1, 0x18, {1, 2, 3, 9, 4, 5, 6, 9}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0), (Bytes{4, 5, 6, 1, 2, 3, 0, 0}));

    // 15-bit run-length true colour, bottom row first, after an unused 24-bit map entry: a run of
    // 2 red, then raw blue 31 and blue 1.
    r = ReadTga(Tga(10, 15, 2, 2, 0, {7, 7, 7, 0x81, 0x00, 0x7C, 0x01, 0x1F, 0x00, 0x01, 0x00}, 0, 1, 24));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(1), (Bytes{0, 0, 255, 0, 0, 255, 0, 0}));
    EXPECT_EQ(r.Row(0), (Bytes{255, 0, 0, 8, 0, 0, 0, 0}));

    r = ReadTga(Tga(11, 8, 5, 1, 0, {0x84, 77}));  // grey, run-length
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0)[4], 77);
    EXPECT_EQ(r.palette[77].blue, 77);
}

TEST(TargaCodec, BadHeadersAndTruncatedData)
{
    Bytes ok = Tga(1, 8, 2, 2, 0, {1, 2, 3, 4, 5, 6, 0, 1, 1, 0}, 0, 2, 24);
    ASSERT_EQ(ReadTga(ok).rc, 0);
    auto with = [&](size_t at, int value) {
        Bytes f = ok;
        f[at] = uint8_t(value);
        return ReadTga(f).rc;
    };
    EXPECT_EQ(with(16, 12), 400);
    EXPECT_EQ(with(16, 16), 401);  // 16-bit indices
    EXPECT_EQ(with(2, 32), 401);   // Huffman coded
    EXPECT_EQ(with(2, 2), 401);    // 8-bit true colour
    EXPECT_EQ(with(7, 8), 402);
    EXPECT_EQ(with(7, 32), 7);     // a 32-bit map leaves too little for the pixels
    EXPECT_EQ(with(1, 2), 5);
    EXPECT_EQ(with(1, 0), 5);      // colour-mapped without a map
    EXPECT_EQ(with(2, 0), 5);
    EXPECT_EQ(with(2, 12), 5);
    EXPECT_EQ(with(12, 0), 6);
    EXPECT_EQ(ReadTga(Tga(2, 24, 20000, 20000, 0)).rc, 6);  // 1.2 GB
    EXPECT_EQ(ReadTga(Bytes(ok.begin(), ok.end() - 1)).rc, 7);
    EXPECT_EQ(ReadTga(Bytes(ok.begin(), ok.begin() + 17)).rc, 7);
    EXPECT_EQ(ReadTga(Tga(10, 24, 4, 1, 0, {0x82, 1, 2, 3})).rc, 7);  // 3 of 4 pixels
    for (int type : {2, 10}) {  // far too little data: refused before the caller allocates
        memio::Scope io;
        ImageHeader h{};
        EXPECT_EQ(codec_read_header("x", io.Add(Tga(type, 24, 8000, 4000, 0, {0xFF, 1, 2, 3})), kTarga, &h, ""), 7);
    }
}

TEST(TargaPeers, ReadsWhatNetpbmAndImageMagickWrite)
{
    // ImageMagick writes the rows in the order it holds them and marks the file with its
    // orientation: a picture without one comes out upside down, hence the -orient.
    struct Case { int bpp; bool grey; std::string command; } cases[] = {
        {8, false, "ppmtotga -cmap IN > OUT"}, {8, false, "ppmtotga -cmap -norle IN > OUT"},
        {8, true, "ppmtotga -mono IN > OUT"},  {24, false, "ppmtotga -rgb IN > OUT"},
        {24, false, "ppmtotga -rgb -norle IN > OUT"},
        {8, false, "convert IN -type Palette -orient TopLeft OUT"},
        {8, false, "convert IN -type Palette -compress RLE -flip -orient BottomLeft OUT"},
        {24, false, "convert IN -orient TopLeft OUT"},
        {24, false, "convert IN -compress RLE -flip -orient BottomLeft OUT"},
        {8, true, "convert IN -colorspace Gray -orient TopLeft OUT"},
        {24, false, "convert IN -alpha set -channel A -evaluate set 50% -orient TopLeft OUT"},
    };
    int n = 0;
    for (const Case& c : cases) {
        peer::Picture src = peer::MakePicture(47, 31, c.bpp, 3);
        src = c.grey ? GreyRamp(src) : src;
        std::string in = peer::Path("src.ppm"), out = peer::Path("peer" + std::to_string(n++) + ".tga");
        peer::WritePpm(in, src);
        std::string cmd = c.command;
        cmd.replace(cmd.find("IN"), 2, in);
        cmd.replace(cmd.find("OUT"), 3, out);
        ASSERT_TRUE(peer::Run("(" + cmd + ")")) << cmd;
        peer::Picture ours;
        ASSERT_EQ(peer::Load(out, ours), 0) << cmd;
        peer::Rgb ref;
        ASSERT_TRUE(peer::ReadPnm(in, ref));
        EXPECT_EQ(peer::CountDifferences(ours, ref), 0) << cmd;
    }
    // 16-bit pixels as netpbm scales them to 8 bits.
    int rc = -1;
    std::string tga = peer::Path("sixteen.tga"), ref16 = peer::Path("sixteen.ppm");
    peer::WriteFileBytes(tga, WriteTga(peer::MakePicture(40, 20, 24, 8), "16", &rc));
    ASSERT_TRUE(peer::Run("(tgatoppm " + tga + " | pnmdepth 255 > " + ref16 + ")"));
    peer::Picture ours;
    ASSERT_EQ(peer::Load(tga, ours), 0);
    peer::Rgb ref;
    ASSERT_TRUE(peer::ReadPnm(ref16, ref));
    EXPECT_EQ(peer::CountDifferences(ours, ref), 0);
}

TEST(TargaPeers, NetpbmAndImageMagickReadWhatWeWrite)
{
    struct Case { int bpp; bool grey; const char* options; } cases[] = {
        {8, false, ""}, {8, true, ""}, {8, false, "ydown"}, {24, false, ""}, {24, false, "32 ydown"}};
    for (const Case& c : cases) {
        peer::Picture pic = peer::MakePicture(45, 27, c.bpp, 6);
        pic = c.grey ? GreyRamp(pic) : pic;
        std::string file = peer::Path("ours.tga"), ppm = peer::Path("back.ppm");
        ASSERT_EQ(peer::Save(file, pic, c.options), 0);
        // ImageMagick shows a file the way up it says only with -auto-orient.
        for (std::string tool : {"tgatoppm " + file, "convert " + file + " -auto-orient -strip -depth 8 ppm:-"}) {
            ASSERT_TRUE(peer::Run("(" + tool + " > " + ppm + ")")) << tool;
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(ppm, ref)) << tool;
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0) << tool << " " << c.bpp << c.options;
        }
    }
}
