#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kPcx = 2;
using Bytes = std::vector<unsigned char>;

// A PCX header as the format lays it out (xmin 3: only the differences count), then data bytes.
Bytes Pcx(int version, int bits, int planes, int width, int height, int bytesPerLine, Bytes data = {})
{
    Bytes h(128, 0);
    int xmax = width - 1 + 3;
    h[0] = 0x0A, h[1] = uint8_t(version), h[2] = 1, h[3] = uint8_t(bits), h[4] = 3;
    h[8] = uint8_t(xmax), h[9] = uint8_t(xmax >> 8), h[10] = uint8_t(height - 1), h[11] = uint8_t((height - 1) >> 8);
    h[65] = uint8_t(planes), h[66] = uint8_t(bytesPerLine), h[67] = uint8_t(bytesPerLine >> 8);
    for (unsigned char b : data)  // insert() of a range trips a false -Warray-bounds in g++ 12
        h.push_back(b);
    return h;
}

struct Read {
    int rc;
    ImageHeader header{};
    std::vector<PaletteEntry> palette;
    Bytes rows;
    Bytes Row(int yFromTop, size_t n) const
    {
        if (rc != 0)  // a failed read has no rows
            return {};
        auto at = rows.begin() + long(size_t(header.height - 1 - yFromTop) * codec_stride(header.width, header.bpp));
        return Bytes(at, at + long(n));
    }
};

Read ReadPcx(const Bytes& file, const char* options = "")
{
    Read r;
    r.rc = memio::ReadPicture(kPcx, file.data(), file.size(), options, r.header, r.palette, r.rows);
    return r;
}

Bytes WritePcx(const peer::Picture& pic, int* rc, long writeLimit = -1)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0, writeLimit);
    *rc = codec_write("x.pcx", fd, kPcx, &pic.header, pic.palette.data(), pic.rows.data(), "");
    return io.Data(fd);
}

} // namespace

TEST(PcxCodec, WritesEachDepthInItsLayoutAndReadsItBack)
{
    struct Case { int bpp, bits, planes, bytesPerLine; };
    for (const Case& c : {Case{1, 1, 1, 6}, Case{4, 1, 4, 6}, Case{8, 8, 1, 38}, Case{24, 8, 3, 38}}) {
        peer::Picture pic = peer::MakePicture(37, 23, c.bpp, 5);
        int rc = -1;
        Bytes file = WritePcx(pic, &rc);
        ASSERT_EQ(rc, 0) << c.bpp;
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x0A, 5, 1, uint8_t(c.bits)}));
        EXPECT_EQ(file[65] | file[66] << 8 | file[67] << 16, c.planes | c.bytesPerLine << 8);
        EXPECT_EQ(c.bpp == 8 ? file[file.size() - 769] : 0x0C, 0x0C);  // the palette trailer
        Read back = ReadPcx(file);
        ASSERT_EQ(back.rc, 0) << c.bpp;
        EXPECT_EQ(back.rows, pic.rows) << c.bpp;
        for (int i = 0; c.bpp != 24 && i < (1 << c.bpp); ++i)
            EXPECT_TRUE(back.palette[i].red == pic.palette[i].red && back.palette[i].blue == pic.palette[i].blue);
    }
    // Runs split at 63; a single byte with both top bits set is a run of one; the pad byte.
    peer::Picture flat = peer::MakePicture(129, 1, 8);
    for (int x = 0; x < 129; ++x)
        flat.rows[size_t(x)] = x < 128 ? 0xC5 : 7;
    int rc = -1;
    Bytes file = WritePcx(flat, &rc);
    EXPECT_EQ(Bytes(file.begin() + 128, file.end() - 769), (Bytes{0xFF, 0xC5, 0xFF, 0xC5, 0xC2, 0xC5, 0x07, 0x00}));

    peer::Picture two = peer::MakePicture(4, 4, 8);
    two.header.bpp = 2;
    EXPECT_EQ(WritePcx(two, &rc).size(), 0u);
    EXPECT_EQ(rc, 2);
    WritePcx(peer::MakePicture(300, 300, 24), &rc, 1000);
    EXPECT_EQ(rc, 8);
}

TEST(PcxCodec, ReadsPlanarCgaAndAlphaLayoutsWithRunsAcrossPlanesAndLines)
{
    // 1 × 3 planes, 10 × 3. Row 0: pixel x has the value x & 7. Rows 1 and 2 are colour 5, one
    // run covering plane 2 of row 1 and plane 0 of row 2.
    Bytes f = Pcx(5, 1, 3, 10, 3, 2, {0x55, 0x40, 0x33, 0x00, 0x0F, 0x00,
                                      0xC2, 0xFF, 0xC2, 0x00, 0xC4, 0xFF, 0xC2, 0x00, 0xC2, 0xFF});
    f[16 + 3 * 5] = 11;
    Read r = ReadPcx(f);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 4);
    EXPECT_EQ(r.Row(0, 8), (Bytes{0x01, 0x23, 0x45, 0x67, 0x01, 0, 0, 0}));
    EXPECT_EQ(r.Row(1, 5), (Bytes{0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(r.Row(2, 5), (Bytes{0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(r.palette[5].red, 11);

    // 2 bits × 1 plane (CGA) as 4 bits: 0123 3210, the eighth pixel past the width.
    EXPECT_EQ(ReadPcx(Pcx(5, 2, 1, 7, 1, 2, {0x1B, 0xC1, 0xE4})).Row(0, 4), (Bytes{0x01, 0x23, 0x32, 0x10}));

    // 8 bits × 4 planes: red, green, blue and alpha, which is dropped.
    EXPECT_EQ(ReadPcx(Pcx(5, 8, 4, 2, 1, 2, {10, 11, 20, 21, 30, 31, 0, 9})).Row(0, 8),
              (Bytes{30, 20, 10, 31, 21, 11, 0, 0}));
}

TEST(PcxCodec, FilesWithoutPaletteInformationGetTheDefaultColours)
{
    Bytes mono = Pcx(3, 1, 1, 8, 1, 2, {0x0F, 0x00});  // version 3 has none: its bytes are ignored
    mono[16] = 200;
    Read r = ReadPcx(mono);
    EXPECT_TRUE(r.rc == 0 && r.palette[0].red == 0 && r.palette[1].green == 255);
    r = ReadPcx(Pcx(5, 4, 1, 2, 1, 2, {0x4E, 0x00}));  // all 48 bytes zero
    EXPECT_TRUE(r.rc == 0 && r.palette[4].red == 170 && r.palette[14].blue == 85);  // EGA red, yellow
}

TEST(PcxCodec, BadHeadersTrailersAndTruncation)
{
    Bytes good = Pcx(5, 8, 1, 4, 2, 4, {1, 2, 3, 4, 0xC4, 9, 0x0C});
    good.resize(good.size() + 768, 0);
    ASSERT_EQ(ReadPcx(good).rc, 0);
    auto with = [&](size_t at, int value) {
        Bytes f = good;
        f[at] = uint8_t(value);
        return ReadPcx(f).rc;
    };
    EXPECT_EQ(with(0, 0x0B), 5);
    EXPECT_EQ(ReadPcx({}).rc, 7);
    EXPECT_EQ(with(1, 1), 700);
    EXPECT_EQ(with(1, 6), 700);
    EXPECT_EQ(with(1, 0), 0);
    EXPECT_EQ(with(2, 0), 701);
    EXPECT_EQ(with(65, 2), 702);  // 8 × 2
    EXPECT_EQ(ReadPcx(Pcx(5, 2, 2, 4, 2, 4)).rc, 702);
    EXPECT_EQ(ReadPcx(Pcx(5, 4, 3, 4, 2, 4)).rc, 702);
    EXPECT_EQ(with(66, 3), 6);  // fewer bytes per line than pixels
    EXPECT_EQ(with(6, 5), 6);   // ymin past ymax
    EXPECT_EQ(ReadPcx(Pcx(5, 8, 3, 20000, 20000, 20000)).rc, 6);  // 1.2 GB
    EXPECT_EQ(with(10, 0xFF), 7);  // taller than its data
    EXPECT_EQ(ReadPcx(Bytes(good.begin(), good.begin() + 100)).rc, 7);
    EXPECT_EQ(with(good.size() - 769, 0x0D), 703);

    // "trunc": a grey ramp for the missing trailer, the rows decoded so far of cut data.
    Bytes noMarker = good;
    noMarker[good.size() - 769] = 0;
    Read r = ReadPcx(noMarker, "TRUNC");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.palette[77].green, 77);
    Bytes cut = Pcx(5, 8, 3, 2, 3, 2, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(ReadPcx(cut).rc, 7);
    r = ReadPcx(cut, "trunc");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Row(0, 6), (Bytes{5, 3, 1, 6, 4, 2}));
    EXPECT_EQ(r.Row(1, 3), (Bytes{0, 0, 7}));  // red arrived, green and blue did not
    EXPECT_EQ(r.Row(2, 3), (Bytes{0, 0, 0}));

    // Far too little data: refused by the header reader, before the caller allocates.
    memio::Scope io;
    int fd = io.Add(Pcx(5, 8, 3, 8000, 4000, 8000, {0xFF, 0, 0xFF, 0}));
    ImageHeader h{};
    EXPECT_EQ(codec_read_header("x", fd, kPcx, &h, ""), 7);
    EXPECT_EQ(codec_read_header("x", fd, kPcx, &h, "trunc"), 0);
}

TEST(PcxCodec, PaletteAndDataReadersCheckTheFileAgain)
{
    Bytes f = Pcx(5, 8, 1, 2, 1, 2, {0xC2, 1, 0x0C});
    f.resize(f.size() + 768, 0);
    memio::Scope io;
    int fd = io.Add(f);
    ImageHeader h{};
    ASSERT_EQ(codec_read_header("x.pcx", fd, kPcx, &h, ""), 0);
    io.Data(fd)[f.size() - 769] = 0;
    std::vector<PaletteEntry> palette(256);
    EXPECT_EQ(codec_read_palette(fd, kPcx, &h, palette.data()), 703);
    io.Data(fd).resize(129);
    Bytes rows(4);
    EXPECT_EQ(codec_read_data(fd, kPcx, &h, rows.data()), 7);
    ImageHeader blank{};
    blank.width = blank.height = 2;
    blank.bpp = 8;
    EXPECT_EQ(codec_read_data(fd, kPcx, &blank, rows.data()), 9);  // no header read
}

TEST(PcxPeers, ReadsWhatNetpbmAndImageMagickWrite)
{
    struct Case { int bpp, colours; std::string command; } cases[] = {
        {24, 0, "ppmtopcx -24bit IN > OUT"}, {8, 256, "ppmtopcx -8bit IN > OUT"}, {1, 2, "ppmtopcx IN > OUT"},
        {4, 4, "ppmtopcx IN > OUT"},         {4, 8, "ppmtopcx IN > OUT"},         {4, 16, "ppmtopcx IN > OUT"},
        {4, 4, "ppmtopcx -packed IN > OUT"}, {4, 16, "ppmtopcx -packed IN > OUT"}, {24, 0, "convert IN OUT"},
        {8, 256, "convert IN -type Palette OUT"},
    };  // 4 bits: 1 × 2, 1 × 3 and 1 × 4 planes; packed 2 × 1 and 4 × 1
    int n = 0;
    for (const Case& c : cases) {
        peer::Picture src = peer::MakePicture(53, 29, c.bpp, 11);
        for (unsigned char& b : src.rows)
            b = c.bpp == 4 ? uint8_t((((b >> 4) % c.colours) << 4) | ((b & 15) % c.colours)) : b;
        std::string in = peer::Path("src.ppm"), out = peer::Path("peer" + std::to_string(n++) + ".pcx");
        peer::WritePpm(in, src);
        std::string cmd = c.command;
        cmd.replace(cmd.find("IN"), 2, in);
        cmd.replace(cmd.find("OUT"), 3, out);
        ASSERT_TRUE(peer::Run("(" + cmd + ")")) << cmd;
        peer::Picture ours;
        ASSERT_EQ(peer::Load(out, ours), 0) << cmd;
        peer::Rgb ref;
        ASSERT_TRUE(peer::ReadPnm(in, ref));
        EXPECT_EQ(peer::CountDifferences(ours, ref), 0) << cmd << " " << c.colours;
    }
}

TEST(PcxPeers, NetpbmAndImageMagickReadWhatWeWrite)
{
    for (int bpp : {1, 4, 8, 24}) {
        peer::Picture pic = peer::MakePicture(61, 33, bpp, 4);
        if (bpp == 1) {  // ImageMagick reads 1-bit files as white (0) and black (1) whatever their palette
            pic.palette[0] = PaletteEntry{255, 255, 255};
            pic.palette[1] = PaletteEntry{0, 0, 0};
        }
        std::string file = peer::Path("ours" + std::to_string(bpp) + ".pcx"), ppm = peer::Path("back.ppm");
        ASSERT_EQ(peer::Save(file, pic), 0);
        for (std::string tool : {"pcxtoppm " + file, "convert " + file + " -strip -depth 8 ppm:-"}) {
            ASSERT_TRUE(peer::Run("(" + tool + " > " + ppm + ")")) << tool;
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(ppm, ref)) << tool;
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0) << tool << " " << bpp;
        }
    }
}
