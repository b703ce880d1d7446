#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kTarga = 4;

// An 18-byte Targa header as the format lays it out.
std::vector<unsigned char> TgaHeader(int type, int pixelBits, int width, int height, int descriptor = 0,
                                     int mapFirst = 0, int mapLength = 0, int mapBits = 0, int idLength = 0)
{
    return {uint8_t(idLength), uint8_t(mapLength || mapBits ? 1 : 0), uint8_t(type),
            uint8_t(mapFirst), uint8_t(mapFirst >> 8), uint8_t(mapLength), uint8_t(mapLength >> 8), uint8_t(mapBits),
            0, 0, 0, 0, uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8),
            uint8_t(pixelBits), uint8_t(descriptor)};
}

void Append(std::vector<unsigned char>& v, std::initializer_list<int> bytes)
{
    for (int b : bytes)
        v.push_back(uint8_t(b));
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

Read ReadTga(const std::vector<unsigned char>& file)
{
    Read r;
    r.rc = memio::ReadPicture(kTarga, file.data(), file.size(), "", r.header, r.palette, r.rows);
    return r;
}

std::vector<unsigned char> WriteTga(const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
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
    struct Case {
        int bpp;
        const char* options;
        int type, pixelBits, descriptor;
        size_t size;  // header, map and pixels
    } cases[] = {{8, "", 1, 8, 0, 18 + 768 + 35 * 9},    {8, "ydown", 1, 8, 0x20, 18 + 768 + 35 * 9},
                 {24, "", 2, 24, 0, 18 + 35 * 9 * 3},     {24, "32,ydown", 2, 32, 0x28, 18 + 35 * 9 * 4},
                 {24, "YUP 24", 2, 24, 0, 18 + 35 * 9 * 3}, {24, "16", 2, 16, 0, 18 + 35 * 9 * 2}};
    for (const Case& c : cases) {
        peer::Picture pic = peer::MakePicture(35, 9, c.bpp, 2);
        int rc = -1;
        std::vector<unsigned char> file = WriteTga(pic, c.options, &rc);
        ASSERT_EQ(rc, 0) << c.options;
        ASSERT_EQ(file.size(), c.size) << c.options;
        EXPECT_EQ(file[2], c.type);
        EXPECT_EQ(file[16], c.pixelBits);
        EXPECT_EQ(file[17], c.descriptor) << c.options;
        EXPECT_EQ(file[12] | file[13] << 8, 35);
        // The first pixel in the file: the bottom row, or the top one with "ydown".
        size_t first = 18 + (c.type == 1 ? 768 : 0);
        PaletteEntry expect = pic.Rgb(0, c.descriptor & 0x20 ? 0 : 8);
        if (c.bpp == 8) {
            EXPECT_EQ(file[18 + 3 * file[first] + 2], expect.red);
        } else if (c.pixelBits != 16) {
            EXPECT_EQ(file[first + 2], expect.red);
        }
        Read back = ReadTga(file);
        ASSERT_EQ(back.rc, 0) << c.options;
        if (c.pixelBits == 16) {  // 5 bits a channel, scaled back rounded
            for (size_t i = 0; i < pic.rows.size(); ++i) {
                if (i % pic.Stride() < 35 * 3) {
                    ASSERT_EQ(back.rows[i], ((pic.rows[i] >> 3) * 255 + 15) / 31) << i;
                }
            }
            continue;
        }
        EXPECT_EQ(back.rows, pic.rows) << c.options;
        for (int i = 0; c.bpp == 8 && i < 256; ++i)
            ASSERT_TRUE(back.palette[i].red == pic.palette[i].red && back.palette[i].blue == pic.palette[i].blue);
    }
    // A grey ramp palette makes a grey file without a map.
    int rc = -1;
    std::vector<unsigned char> grey = WriteTga(GreyRamp(peer::MakePicture(5, 3, 8)), "", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(grey[1], 0);
    EXPECT_EQ(grey[2], 3);
    EXPECT_EQ(grey.size(), 18u + 15u);
    EXPECT_EQ(ReadTga(grey).palette[200].green, 200);

    peer::Picture pic = peer::MakePicture(4, 4, 24);
    for (const char* bad : {"16 32", "24,16", "ydown yup"}) {
        EXPECT_EQ(WriteTga(pic, bad, &rc).size(), 0u);
        EXPECT_EQ(rc, 3) << bad;
    }
    WriteTga(peer::MakePicture(4, 4, 4), "", &rc);
    EXPECT_EQ(rc, 2);
    memio::Scope io;
    int fd = io.Add(nullptr, 0, 50);
    EXPECT_EQ(codec_write("x.tga", fd, kTarga, &pic.header, pic.palette.data(), pic.rows.data(), "32"), 8);
}

TEST(TargaCodec, ReadsRunLengthMapsOriginsAndPixelSizes)
{
    // Run-length colour-mapped, 3 × 2, top row first, an image ID, a 16-bit map from index 10;
    // one run crosses from the first row into the second.
    std::vector<unsigned char> f = TgaHeader(9, 8, 3, 2, 0x20, 10, 2, 16, 3);
    Append(f, {'a', 'b', 'c'});
    Append(f, {0x1F, 0x7C, 0xE0, 0x03});        // map: 0x7C1F = red 31, blue 31; 0x03E0 = green 31
    Append(f, {0x00, 10, 0x83, 11, 0x00, 10});  // raw 10, run 4 × 11, raw 10
    Read r = ReadTga(f);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 8);
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{10, 11, 11, 0}));
    EXPECT_EQ(r.Row(1), (std::vector<unsigned char>{11, 11, 10, 0}));
    EXPECT_TRUE(r.palette[10].red == 255 && r.palette[10].green == 0 && r.palette[10].blue == 255);
    EXPECT_TRUE(r.palette[11].red == 0 && r.palette[11].green == 255);
    EXPECT_EQ(r.palette[0].red, 0);

    // 32-bit B-G-R-A, right to left: alpha dropped, pixels mirrored.
    f = TgaHeader(2, 32, 2, 1, 0x18);
    Append(f, {1, 2, 3, 9, 4, 5, 6, 9});
    r = ReadTga(f);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{4, 5, 6, 1, 2, 3, 0, 0}));

    // 15-bit run-length true colour, bottom row first; 24-bit entries in the map of a true-colour
    // file are skipped.
    f = TgaHeader(10, 15, 2, 2, 0, 0, 1, 24);
    Append(f, {7, 7, 7});
    Append(f, {0x81, 0x00, 0x7C, 0x01, 0x1F, 0x00, 0x01, 0x00});  // run 2 × red, raw blue, 1
    r = ReadTga(f);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(1), (std::vector<unsigned char>{0, 0, 255, 0, 0, 255, 0, 0}));
    EXPECT_EQ(r.Row(0), (std::vector<unsigned char>{255, 0, 0, 8, 0, 0, 0, 0}));

    // Grey, run-length.
    f = TgaHeader(11, 8, 5, 1);
    Append(f, {0x84, 77});
    r = ReadTga(f);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0)[4], 77);
    EXPECT_EQ(r.palette[77].blue, 77);
}

TEST(TargaCodec, BadHeadersAndTruncatedData)
{
    std::vector<unsigned char> ok = TgaHeader(1, 8, 2, 2, 0, 0, 2, 24);
    Append(ok, {1, 2, 3, 4, 5, 6, 0, 1, 1, 0});
    ASSERT_EQ(ReadTga(ok).rc, 0);
    auto with = [&](int at, int value) {
        std::vector<unsigned char> f = ok;
        f[size_t(at)] = uint8_t(value);
        return f;
    };
    EXPECT_EQ(ReadTga(with(16, 12)).rc, 400);
    EXPECT_EQ(ReadTga(with(16, 16)).rc, 401);  // 16-bit indices
    EXPECT_EQ(ReadTga(with(2, 32)).rc, 401);   // Huffman coded
    EXPECT_EQ(ReadTga(with(2, 2)).rc, 401);    // 8-bit true colour
    EXPECT_EQ(ReadTga(with(7, 8)).rc, 402);
    EXPECT_EQ(ReadTga(with(7, 32)).rc, 7);     // a 32-bit map runs past the end
    EXPECT_EQ(ReadTga(with(1, 2)).rc, 5);
    EXPECT_EQ(ReadTga(with(1, 0)).rc, 5);      // colour-mapped without a map
    EXPECT_EQ(ReadTga(with(2, 0)).rc, 5);
    EXPECT_EQ(ReadTga(with(2, 12)).rc, 5);
    EXPECT_EQ(ReadTga(with(12, 0)).rc, 6);
    EXPECT_EQ(ReadTga(TgaHeader(2, 24, 20000, 20000)).rc, 6);  // 1.2 GB
    EXPECT_EQ(ReadTga(std::vector<unsigned char>(ok.begin(), ok.end() - 1)).rc, 7);
    EXPECT_EQ(ReadTga(std::vector<unsigned char>(ok.begin(), ok.begin() + 17)).rc, 7);
    for (int type : {2, 10}) {  // far too little data: refused before the caller allocates
        std::vector<unsigned char> tiny = TgaHeader(type, 24, 8000, 4000);
        Append(tiny, {0xFF, 1, 2, 3});
        memio::Scope io;
        ImageHeader h{};
        EXPECT_EQ(codec_read_header("x", io.Add(tiny), kTarga, &h, ""), 7);
    }
    std::vector<unsigned char> rle = TgaHeader(10, 24, 4, 1);
    Append(rle, {0x82, 1, 2, 3});  // 3 of 4 pixels
    EXPECT_EQ(ReadTga(rle).rc, 7);
}

TEST(TargaPeers, ReadsWhatNetpbmAndImageMagickWrite)
{
    struct Case {
        int bpp;
        bool grey;
        std::string command;  // IN and OUT replaced
    } cases[] = {
        {8, false, "ppmtotga -cmap IN > OUT"},
        {8, false, "ppmtotga -cmap -norle IN > OUT"},
        {8, true, "ppmtotga -mono IN > OUT"},
        {24, false, "ppmtotga -rgb IN > OUT"},
        {24, false, "ppmtotga -rgb -norle IN > OUT"},
        // ImageMagick writes the rows in the order it holds them and marks the file with its
        // orientation: a picture without one comes out upside down, hence the -orient.
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
        if (c.grey)
            src = GreyRamp(src);
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
    // 16-bit pixels: as netpbm scales them to 8 bits.
    peer::Picture src = peer::MakePicture(40, 20, 24, 8);
    std::string tga = peer::Path("sixteen.tga"), ref16 = peer::Path("sixteen.ppm");
    int rc = -1;
    peer::WriteFileBytes(tga, WriteTga(src, "16", &rc));
    ASSERT_TRUE(peer::Run("(tgatoppm " + tga + " | pnmdepth 255 > " + ref16 + ")"));
    peer::Picture ours;
    ASSERT_EQ(peer::Load(tga, ours), 0);
    peer::Rgb ref;
    ASSERT_TRUE(peer::ReadPnm(ref16, ref));
    EXPECT_EQ(peer::CountDifferences(ours, ref), 0);
}

TEST(TargaPeers, NetpbmAndImageMagickReadWhatWeWrite)
{
    struct Case {
        int bpp;
        bool grey;
        const char* options;
    } cases[] = {{8, false, ""}, {8, true, ""}, {8, false, "ydown"}, {24, false, ""}, {24, false, "32 ydown"}};
    for (const Case& c : cases) {
        peer::Picture pic = peer::MakePicture(45, 27, c.bpp, 6);
        if (c.grey)
            pic = GreyRamp(pic);
        std::string file = peer::Path("ours.tga");
        ASSERT_EQ(peer::Save(file, pic, c.options), 0);
        // ImageMagick shows a file the way up it says only with -auto-orient.
        for (std::string tool :
             {"tgatoppm " + file + " > ", "convert " + file + " -auto-orient -strip -depth 8 ppm:- > "}) {
            std::string ppm = peer::Path("back.ppm");
            ASSERT_TRUE(peer::Run("(" + tool + ppm + ")")) << tool;
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(ppm, ref)) << tool;
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0) << tool << " " << c.bpp << c.options;
        }
    }
}
