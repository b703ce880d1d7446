#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kPcx = 2;

// A PCX header as the format lays it out.
std::vector<unsigned char> PcxHeader(int version, int bits, int planes, int width, int height, int bytesPerLine)
{
    std::vector<unsigned char> h(128, 0);
    h[0] = 0x0A;
    h[1] = uint8_t(version);
    h[2] = 1;
    h[3] = uint8_t(bits);
    h[4] = 3;  // xmin 3, ymin 0: only the differences count
    h[8] = uint8_t(width - 1 + 3);
    h[9] = uint8_t((width - 1 + 3) >> 8);
    h[10] = uint8_t(height - 1);
    h[11] = uint8_t((height - 1) >> 8);
    h[65] = uint8_t(planes);
    h[66] = uint8_t(bytesPerLine);
    h[67] = uint8_t(bytesPerLine >> 8);
    return h;
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
    const unsigned char* Row(int yFromTop) const
    {
        return rows.data() + size_t(header.height - 1 - yFromTop) * codec_stride(header.width, header.bpp);
    }
};

Read ReadPcx(const std::vector<unsigned char>& file, const char* options = "")
{
    Read r;
    r.rc = memio::ReadPicture(kPcx, file.data(), file.size(), options, r.header, r.palette, r.rows);
    return r;
}

std::vector<unsigned char> WritePcx(const peer::Picture& pic, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("x.pcx", fd, kPcx, &pic.header, pic.palette.data(), pic.rows.data(), "");
    return io.Data(fd);
}

} // namespace

TEST(PcxCodec, WritesEachDepthInItsLayoutAndReadsItBack)
{
    struct Case {
        int bpp, bits, planes, bytesPerLine;
    } cases[] = {{1, 1, 1, 6}, {4, 1, 4, 6}, {8, 8, 1, 38}, {24, 8, 3, 38}};
    for (const Case& c : cases) {
        peer::Picture pic = peer::MakePicture(37, 23, c.bpp, 5);
        int rc = -1;
        std::vector<unsigned char> file = WritePcx(pic, &rc);
        ASSERT_EQ(rc, 0) << c.bpp;
        ASSERT_GT(file.size(), 128u);
        EXPECT_EQ(file[0], 0x0A);
        EXPECT_EQ(file[1], 5);
        EXPECT_EQ(file[2], 1);
        EXPECT_EQ(file[3], c.bits) << c.bpp;
        EXPECT_EQ(file[65], c.planes) << c.bpp;
        EXPECT_EQ(file[66] | file[67] << 8, c.bytesPerLine) << c.bpp;  // even
        EXPECT_EQ(file[8] | file[9] << 8, 36);
        EXPECT_EQ(file[10] | file[11] << 8, 22);
        if (c.bpp == 8) {
            ASSERT_GT(file.size(), 128u + 769u);
            const unsigned char* t = file.data() + file.size() - 769;
            EXPECT_EQ(t[0], 0x0C);
            EXPECT_EQ(t[1 + 3 * 200], pic.palette[200].red);
            EXPECT_EQ(t[3 + 3 * 255], pic.palette[255].blue);
        } else if (c.bpp != 24) {
            EXPECT_EQ(file[16 + 3 * 1 + 1], pic.palette[1].green);  // header palette
        }
        Read back = ReadPcx(file);
        ASSERT_EQ(back.rc, 0) << c.bpp;
        EXPECT_EQ(back.header.bpp, c.bpp);
        EXPECT_EQ(back.rows, pic.rows) << c.bpp;
        for (int i = 0; c.bpp != 24 && i < (1 << c.bpp); ++i)
            EXPECT_TRUE(back.palette[i].red == pic.palette[i].red && back.palette[i].blue == pic.palette[i].blue);
    }
    // Runs: long runs split at 63, literal bytes of 0xC0 and above coded as runs of one.
    peer::Picture flat = peer::MakePicture(129, 1, 8);
    for (int x = 0; x < 129; ++x)
        flat.rows[size_t(x)] = x < 128 ? 0xC5 : 7;
    int rc = -1;
    std::vector<unsigned char> file = WritePcx(flat, &rc);
    ASSERT_EQ(rc, 0);
    std::vector<unsigned char> expect = {0xFF, 0xC5, 0xFF, 0xC5, 0xC2, 0xC5, 0x07, 0x00};
    EXPECT_EQ(std::vector<unsigned char>(file.begin() + 128, file.end() - 769), expect);

    // Depths the format does not write, and a failing disk.
    peer::Picture two = peer::MakePicture(4, 4, 8);
    two.header.bpp = 2;
    EXPECT_EQ(WritePcx(two, &rc).size(), 0u);
    EXPECT_EQ(rc, 2);
    peer::Picture big = peer::MakePicture(300, 300, 24);
    memio::Scope io;
    int fd = io.Add(nullptr, 0, 1000);
    EXPECT_EQ(codec_write("x.pcx", fd, kPcx, &big.header, big.palette.data(), big.rows.data(), ""), 8);
}

TEST(PcxCodec, ReadsPlanarCgaAndAlphaLayoutsWithRunsAcrossPlanesAndLines)
{
    // 1×3 EGA planes, 10 × 2: pixel x of row 0 has plane bits x & 7; row 1 is all colour 5,
    // given as one run of 6 bytes that covers all three planes... and the following line too.
    std::vector<unsigned char> f = PcxHeader(5, 1, 3, 10, 3, 2);
    f[16 + 3 * 5] = 11;  // header palette entry 5 red
    // row 0: plane 0 = 0101 0101 01, plane 1 = 0011 0011 00, plane 2 = 0000 1111 00
    Append(f, {0x55, 0x40, 0x33, 0x00, 0x0F, 0x00});
    // rows 1 and 2: planes 0 and 2 all ones, plane 1 zero; one run carries on into row 2
    Append(f, {0xC2, 0xFF, 0xC2, 0x00, 0xC4, 0xFF, 0xC2, 0x00, 0xC2, 0xFF});
    Read r = ReadPcx(f);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 4);
    ASSERT_EQ(r.header.width, 10);
    std::vector<unsigned char> top(r.Row(0), r.Row(0) + 8);
    EXPECT_EQ(top, (std::vector<unsigned char>{0x01, 0x23, 0x45, 0x67, 0x01, 0, 0, 0}));
    EXPECT_EQ(r.Row(1)[0], 0x55);
    EXPECT_EQ(r.Row(2)[4], 0x55);
    EXPECT_EQ(r.palette[5].red, 11);

    // 2 bits × 1 plane (CGA), read as 4 bits: 0123 3210 → nibbles 0 1 2 3 3 2 1 0.
    std::vector<unsigned char> cga = PcxHeader(5, 2, 1, 7, 1, 2);
    Append(cga, {0x1B, 0xC1, 0xE4});
    r = ReadPcx(cga);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 4);
    EXPECT_EQ(std::vector<unsigned char>(r.Row(0), r.Row(0) + 4), (std::vector<unsigned char>{0x01, 0x23, 0x32, 0x10}));

    // 8 bits × 4 planes: red, green, blue, alpha; alpha is dropped.
    std::vector<unsigned char> rgba = PcxHeader(5, 8, 4, 2, 1, 2);
    Append(rgba, {10, 11, 20, 21, 30, 31, 0, 9});
    r = ReadPcx(rgba);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 24);
    EXPECT_EQ(std::vector<unsigned char>(r.Row(0), r.Row(0) + 8),
              (std::vector<unsigned char>{30, 20, 10, 31, 21, 11, 0, 0}));
}

TEST(PcxCodec, FilesWithoutPaletteInformationGetTheDefaultColours)
{
    // Version 3 (no palette) and version 5 with an all-black header palette.
    for (int version : {3, 5}) {
        std::vector<unsigned char> mono = PcxHeader(version, 1, 1, 8, 1, 2);
        if (version == 3)
            mono[16] = 200;  // ignored
        Append(mono, {0x0F, 0x00});
        Read r = ReadPcx(mono);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.palette[0].red, 0);
        EXPECT_EQ(r.palette[1].green, 255);
        std::vector<unsigned char> ega = PcxHeader(version, 4, 1, 2, 1, 2);
        Append(ega, {0x4E, 0x00});
        r = ReadPcx(ega);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.palette[4].red, 170);   // red
        EXPECT_EQ(r.palette[14].blue, 85);  // yellow
    }
}

TEST(PcxCodec, BadHeadersTrailersAndTruncation)
{
    std::vector<unsigned char> good = PcxHeader(5, 8, 1, 4, 2, 4);
    Append(good, {1, 2, 3, 4, 0xC4, 9});
    good.push_back(0x0C);
    for (int i = 0; i < 768; ++i)
        good.push_back(uint8_t(i));
    ASSERT_EQ(ReadPcx(good).rc, 0);

    auto with = [&](int at, int value) {
        std::vector<unsigned char> f = good;
        f[size_t(at)] = uint8_t(value);
        return f;
    };
    EXPECT_EQ(ReadPcx(with(0, 0x0B)).rc, 5);
    EXPECT_EQ(ReadPcx({}).rc, 7);
    EXPECT_EQ(ReadPcx(with(1, 1)).rc, 700);
    EXPECT_EQ(ReadPcx(with(1, 6)).rc, 700);
    EXPECT_EQ(ReadPcx(with(1, 0)).rc, 0);
    EXPECT_EQ(ReadPcx(with(2, 0)).rc, 701);
    EXPECT_EQ(ReadPcx(with(65, 2)).rc, 702);  // 8 × 2
    EXPECT_EQ(ReadPcx(with(3, 2)).rc, 0);     // 2 × 1
    EXPECT_EQ(ReadPcx(PcxHeader(5, 2, 2, 4, 2, 4)).rc, 702);
    EXPECT_EQ(ReadPcx(PcxHeader(5, 4, 3, 4, 2, 4)).rc, 702);
    EXPECT_EQ(ReadPcx(with(66, 3)).rc, 6);    // fewer bytes per line than pixels
    EXPECT_EQ(ReadPcx(with(6, 5)).rc, 6);     // ymin past ymax
    EXPECT_EQ(ReadPcx(with(10, 0xFF)).rc, 7); // taller than its data
    EXPECT_EQ(ReadPcx(PcxHeader(5, 8, 3, 20000, 20000, 20000)).rc, 6);  // 1.2 GB
    EXPECT_EQ(ReadPcx(std::vector<unsigned char>(good.begin(), good.begin() + 100)).rc, 7);
    {
        // Far too little data for the picture: refused by the header reader, before the caller
        // allocates; with "trunc" the picture is accepted.
        std::vector<unsigned char> tiny = PcxHeader(5, 8, 3, 8000, 4000, 8000);
        Append(tiny, {0xFF, 0, 0xFF, 0});
        memio::Scope io;
        int fd = io.Add(tiny);
        ImageHeader h{};
        EXPECT_EQ(codec_read_header("x", fd, kPcx, &h, ""), 7);
        EXPECT_EQ(codec_read_header("x", fd, kPcx, &h, "trunc"), 0);
    }

    // The trailer: missing marker 703; with "trunc" a grey ramp.
    std::vector<unsigned char> noMarker = with(int(good.size()) - 769, 0x0D);
    EXPECT_EQ(ReadPcx(noMarker).rc, 703);
    Read r = ReadPcx(noMarker, "TRUNC");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.palette[77].green, 77);

    // Run-length data that ends early: 7, or with "trunc" the rows decoded so far.
    std::vector<unsigned char> cut = PcxHeader(5, 8, 3, 2, 3, 2);
    Append(cut, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(ReadPcx(cut).rc, 7);
    r = ReadPcx(cut, "trunc");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(std::vector<unsigned char>(r.Row(0), r.Row(0) + 6), (std::vector<unsigned char>{5, 3, 1, 6, 4, 2}));
    EXPECT_EQ(r.Row(1)[0], 0);  // the red byte 7 arrived, blue did not
    EXPECT_EQ(r.Row(1)[2], 7);
    EXPECT_EQ(r.Row(2)[2], 0);
}

TEST(PcxCodec, PaletteAndDataReadersCheckTheFileAgain)
{
    std::vector<unsigned char> f = PcxHeader(5, 8, 1, 2, 1, 2);
    Append(f, {0xC2, 1});
    f.push_back(0x0C);
    f.resize(f.size() + 768, 0);
    memio::Scope io;
    int fd = io.Add(f);
    ImageHeader h{};
    ASSERT_EQ(codec_read_header("x.pcx", fd, kPcx, &h, ""), 0);
    io.Data(fd)[f.size() - 769] = 0;  // the file changed under us
    std::vector<PaletteEntry> palette(256);
    EXPECT_EQ(codec_read_palette(fd, kPcx, &h, palette.data()), 703);
    io.Data(fd).resize(129);
    std::vector<unsigned char> rows(4);
    EXPECT_EQ(codec_read_data(fd, kPcx, &h, rows.data()), 7);
    ImageHeader blank{};
    blank.width = blank.height = 2;
    blank.bpp = 8;
    EXPECT_EQ(codec_read_data(fd, kPcx, &blank, rows.data()), 9);  // no header read
}

TEST(PcxPeers, ReadsWhatNetpbmAndImageMagickWrite)
{
    struct Case {
        int bpp, colours;
        std::string command;  // IN and OUT replaced
    } cases[] = {
        {24, 0, "ppmtopcx -24bit IN > OUT"},   {8, 256, "ppmtopcx -8bit IN > OUT"},
        {1, 2, "ppmtopcx IN > OUT"},           {4, 4, "ppmtopcx IN > OUT"},    // 1 × 2
        {4, 8, "ppmtopcx IN > OUT"},           {4, 16, "ppmtopcx IN > OUT"},   // 1 × 3, 1 × 4
        {4, 4, "ppmtopcx -packed IN > OUT"},   {4, 16, "ppmtopcx -packed IN > OUT"},  // 2 × 1, 4 × 1
        {24, 0, "convert IN OUT"},             {8, 256, "convert IN -type Palette OUT"},
    };
    int n = 0;
    for (const Case& c : cases) {
        peer::Picture src = peer::MakePicture(53, 29, c.bpp, 11);
        if (c.bpp == 4)
            for (unsigned char& b : src.rows)
                b = uint8_t((((b >> 4) % c.colours) << 4) | ((b & 15) % c.colours));
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
        std::string file = peer::Path("ours" + std::to_string(bpp) + ".pcx");
        ASSERT_EQ(peer::Save(file, pic), 0);
        for (std::string tool : {"pcxtoppm '" + file + "' > ", "convert '" + file + "' -strip -depth 8 ppm:- > "}) {
            std::string ppm = peer::Path("back.ppm");
            ASSERT_TRUE(peer::Run("(" + tool + ppm + ")")) << tool;
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(ppm, ref)) << tool;
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0) << tool << " " << bpp;
        }
    }
}
