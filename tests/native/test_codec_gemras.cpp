#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kGem = 14;
using Bytes = std::vector<unsigned char>;

Bytes Words(std::initializer_list<unsigned> words)
{
    Bytes b;
    for (unsigned w : words)
        b.insert(b.end(), {uint8_t(w >> 8), uint8_t(w)});
    return b;
}
Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
unsigned Get16(const Bytes& v, size_t at)
{
    return (unsigned(v[at]) << 8) | v[at + 1];
}
Bytes Header(unsigned planes, unsigned width, unsigned height, unsigned patternLength = 2, unsigned words = 8)
{
    return Words({1, words, planes, patternLength, 85, 85, width, height});
}

struct Read : peer::Picture {
    int rc = -1;
    unsigned Index(int x, int y) const
    {
        const unsigned char* r = rows.data() + size_t(header.height - 1 - y) * Stride();
        return header.bpp == 8 ? r[x] : header.bpp == 4 ? (r[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (r[x / 8] >> (7 - x % 8)) & 1;
    }
};

Read ReadBytes(const Bytes& file)
{
    Read r;
    r.rc = memio::ReadPicture(kGem, file.data(), file.size(), "", r.header, r.palette, r.rows);
    return r;
}

Bytes WriteBytes(const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("x.img", fd, kGem, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

bool Same(const PaletteEntry& a, const PaletteEntry& b)
{
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// The colours a file without palette stands for, by pixel value (gemtopnm shows the same).
std::vector<PaletteEntry> StandardPalette()
{
    const char* thirds = "333300030330003303033222111200020220002202022000";
    std::vector<PaletteEntry> p(256, PaletteEntry{0, 0, 0});
    for (size_t i = 0; i < 16; ++i)
        p[i] = PaletteEntry{uint8_t((thirds[3 * i] - '0') * 85), uint8_t((thirds[3 * i + 1] - '0') * 85),
                            uint8_t((thirds[3 * i + 2] - '0') * 85)};
    return p;
}

// The picture's pixels as the peers' PPM reader gives them.
peer::Rgb Pixels(const peer::Picture& pic)
{
    peer::Rgb rgb;
    rgb.width = pic.header.width;
    rgb.height = pic.header.height;
    for (int y = 0; y < rgb.height; ++y)
        for (int x = 0; x < rgb.width; ++x)
            rgb.pixels.push_back(pic.Rgb(x, y));
    return rgb;
}

// Equal lines in a row, so that writers use scanline runs.
void RepeatLine(peer::Picture& pic, int from, int to)
{
    for (int y = from + 1; y < to; ++y)
        std::memcpy(pic.rows.data() + size_t(y) * pic.Stride(), pic.rows.data() + size_t(from) * pic.Stride(), pic.Stride());
}

// ---- peer cross-checks ----

TEST(GemRasPeer, ReadsWhatPbmtogemWrites)
{
    for (int width : {1, 13, 64, 203}) {
        SCOPED_TRACE(width);
        peer::Picture src = peer::MakePicture(width, 17, 1, unsigned(width));
        RepeatLine(src, 4, 12);
        src.palette[0] = PaletteEntry{255, 255, 255};
        src.palette[1] = PaletteEntry{0, 0, 0};
        std::string pbm = peer::Path("g" + std::to_string(width) + ".pbm"), img = pbm + ".img";
        peer::WritePpm(pbm + ".ppm", src);
        ASSERT_TRUE(peer::Run("(ppmtopgm " + pbm + ".ppm | pgmtopbm -threshold > " + pbm + ")"));
        ASSERT_TRUE(peer::Run("(pbmtogem " + pbm + " > " + img + ")"));
        peer::Picture ours;
        ASSERT_EQ(peer::Load(img, ours), 0);
        EXPECT_EQ(ours.header.bpp, 1);
        EXPECT_EQ(peer::CountDifferences(ours, Pixels(src)), 0);
    }
}

TEST(GemRasPeer, PeerReadsWhatWeWrite)
{
    const struct {
        int bpp;
        bool inverted;
    } cases[] = {{1, false}, {1, true}, {4, false}};
    int n = 0;
    for (auto [bpp, inverted] : cases) {
        SCOPED_TRACE(++n);
        peer::Picture src = peer::MakePicture(75, 21, bpp, 2);
        RepeatLine(src, 2, 9);
        if (bpp == 1) {
            src.palette[inverted ? 1 : 0] = PaletteEntry{255, 255, 255};
            src.palette[inverted ? 0 : 1] = PaletteEntry{0, 0, 0};
        } else {
            src.palette = StandardPalette();
        }
        std::string img = peer::Path("ours" + std::to_string(n) + ".img");
        ASSERT_EQ(peer::Save(img, src), 0);
        ASSERT_TRUE(peer::Run("(gemtopnm " + img + " | ppmtoppm | pamdepth 255 > " + img + ".ppm)"));
        peer::Rgb ref;
        ASSERT_TRUE(peer::ReadPnm(img + ".ppm", ref));
        EXPECT_EQ(peer::CountDifferences(src, ref), 0);
    }
}

// ---- files built by hand ----

TEST(GemRasLayout, EveryRunKind)
{
    // 16 x 5, one plane, pattern length 2.
    Bytes f = Header(1, 16, 5) + Bytes{0x00, 0x00, 0xFF, 0x02,  // the next line twice
                                       0x80, 0x02, 0xA5, 0x3C,  // bit string
                                       0x00, 0x01, 0x81, 0x18,  // pattern 81 18 once
                                       0x81, 0x00, 0x05, 0x12, 0x34,  // one FF; the pattern run is cut at the line's end
                                       0x01, 0x81};                   // one 00, one FF
    Read r = ReadBytes(f);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 1);
    // Bottom row first, 4 bytes a row.
    EXPECT_EQ(r.rows, (Bytes{0x00, 0xFF, 0, 0, 0xFF, 0x12, 0, 0, 0x81, 0x18, 0, 0, 0xA5, 0x3C, 0, 0, 0xA5, 0x3C, 0, 0}));
    EXPECT_TRUE(Same(r.palette[0], PaletteEntry{255, 255, 255}));
    EXPECT_TRUE(Same(r.palette[1], PaletteEntry{0, 0, 0}));
    f.pop_back();
    EXPECT_EQ(ReadBytes(f).rc, 7);
    // A scanline run needs its FF.
    EXPECT_EQ(ReadBytes(Header(1, 8, 1) + Bytes{0x00, 0x00, 0xFE, 0x02, 0x80, 0x01, 0x00}).rc, 7);
}

TEST(GemRasLayout, PlanesPalettesAndExtensions)
{
    // 4 planes, standard colours: pixel x has value x.
    Read r = ReadBytes(Header(4, 16, 1) + Bytes{0x80, 2, 0x55, 0x55, 0x80, 2, 0x33, 0x33, 0x80, 2, 0x0F, 0x0F, 0x80, 2, 0x00, 0xFF});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 4);
    std::vector<PaletteEntry> vdi = StandardPalette();
    for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(r.Index(x, 0), unsigned(x));
        EXPECT_TRUE(Same(r.palette[size_t(x)], vdi[size_t(x)])) << x;
    }
    // 3 planes: the first seven standard colours and black.
    r = ReadBytes(Header(3, 8, 1) + Bytes{0x80, 1, 0x55, 0x80, 1, 0x33, 0x80, 1, 0x0F});
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.Index(7, 0), 7u);
    EXPECT_TRUE(Same(r.palette[6], vdi[6]));
    EXPECT_TRUE(Same(r.palette[7], PaletteEntry{0, 0, 0}));

    // XIMG: 2 planes, 4 colours in 0..1000, a header longer than the palette needs.
    r = ReadBytes(Header(2, 4, 1, 1, 11 + 12 + 2) + Bytes{'X', 'I', 'M', 'G', 0, 0} +
                  Words({1000, 0, 0, 0, 1000, 0, 0, 0, 1000, 500, 502, 2000, 0xAAAA, 0xBBBB}) +
                  Bytes{0x80, 1, 0x50, 0x80, 1, 0x30});  // values 0 1 2 3
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 4);
    EXPECT_TRUE(Same(r.palette[0], PaletteEntry{255, 0, 0}));
    EXPECT_TRUE(Same(r.palette[2], PaletteEntry{0, 0, 255}));
    EXPECT_TRUE(Same(r.palette[3], PaletteEntry{128, 128, 255}));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.Index(i, 0), unsigned(i));

    // The 9-word header's flag 1: greyscale, white at 0; values 0x0F and 0xF0.
    Bytes g = Header(8, 2, 1, 1, 9) + Words({1});
    for (int p = 0; p < 8; ++p)
        g = g + Bytes{0x80, 1, uint8_t(p < 4 ? 0x80 : 0x40)};
    r = ReadBytes(g);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 8);
    EXPECT_EQ(r.Index(0, 0), 0x0Fu);
    EXPECT_EQ(r.Index(1, 0), 0xF0u);
    EXPECT_TRUE(Same(r.palette[0], PaletteEntry{255, 255, 255}));
    EXPECT_TRUE(Same(r.palette[0x0F], PaletteEntry{240, 240, 240}));

}

// A true-colour picture with pixel (x, y) = colour(x, y), as a 24-plane file laid out by hand: per
// line eight planes of red, eight of green, eight of blue, each from its lowest bit, every plane
// row one bit string record.
template <class Colour>
Bytes PlanarFile(int width, int height, Colour colour)
{
    size_t planeBytes = (size_t(width) + 7) / 8;
    Bytes f = Header(24, unsigned(width), unsigned(height), 1);
    for (int y = 0; y < height; ++y)
        for (int plane = 0; plane < 24; ++plane) {
            Bytes row(planeBytes, 0);
            for (int x = 0; x < width; ++x) {
                PaletteEntry c = colour(x, y);
                uint8_t channel = plane < 8 ? c.red : plane < 16 ? c.green : c.blue;
                if ((channel >> (plane % 8)) & 1)
                    row[size_t(x) / 8] |= uint8_t(0x80 >> (x % 8));
            }
            f = f + Bytes{0x80, uint8_t(planeBytes)} + row;
        }
    return f;
}

TEST(GemRasLayout, TrueColourPlanes)
{
    // Pixels whose plane bytes are never 00 or FF and never three alike, so that the writer's
    // records are the plain bit strings of the hand-made file.
    auto colour = [](int x, int y) {
        return PaletteEntry{uint8_t(10 + 37 * x + 11 * y), uint8_t(28 + 53 * x + 29 * y), uint8_t(69 + 91 * x + 7 * y)};
    };
    auto plainRecords = [](const Bytes& f) {
        for (size_t at = 16; at < f.size(); at += 2 + f[at + 1])
            if (f[at] != 0x80 || std::count(f.begin() + long(at) + 2, f.begin() + long(at) + 2 + f[at + 1], 0x00) ||
                std::count(f.begin() + long(at) + 2, f.begin() + long(at) + 2 + f[at + 1], 0xFF) ||
                (f[at + 2] == f[at + 3] && f[at + 3] == f[at + 4]))
                return false;
        return true;
    };
    Bytes file = PlanarFile(20, 10, colour);
    ASSERT_TRUE(plainRecords(file));
    Read r = ReadBytes(file);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 24);
    EXPECT_TRUE(Same(r.Rgb(0, 0), PaletteEntry{10, 28, 69}));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_TRUE(Same(r.Rgb(x, y), colour(x, y))) << x << "," << y;
    int rc = -1;
    EXPECT_EQ(WriteBytes(r, "", &rc), file);
    EXPECT_EQ(rc, 0);

    // Runs: 12 x 4 in one colour (red 0, green FF, blue 96), every line alike. Each plane row is
    // 00 00 (two zero bytes: 02) or FF F0 (one FF byte: 81, then the last byte as a bit string);
    // the four lines are one scanline run.
    const PaletteEntry solid{0x00, 0xFF, 0x96};
    Bytes runs = Header(24, 12, 4, 1) + Bytes{0x00, 0x00, 0xFF, 0x04};
    for (int plane = 0; plane < 24; ++plane) {
        uint8_t channel = plane < 8 ? solid.red : plane < 16 ? solid.green : solid.blue;
        runs = runs + ((channel >> (plane % 8)) & 1 ? Bytes{0x81, 0x80, 0x01, 0xF0} : Bytes{0x02});
    }
    r = ReadBytes(runs);
    ASSERT_EQ(r.rc, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 12; ++x)
            ASSERT_TRUE(Same(r.Rgb(x, y), solid)) << x << "," << y;
    EXPECT_EQ(WriteBytes(r, "", &rc), runs);
}

TEST(GemRasLayout, WriterHeaders)
{
    int rc = 0;
    peer::Picture p8 = peer::MakePicture(9, 2, 8, 4);
    Bytes f = WriteBytes(p8, "pixw=100 pixh=200", &rc);
    ASSERT_EQ(rc, 0);
    Bytes palette;
    for (size_t i = 0; i < 256; ++i)
        palette = palette + Words({(p8.palette[i].red * 1000u + 127) / 255, (p8.palette[i].green * 1000u + 127) / 255,
                                   (p8.palette[i].blue * 1000u + 127) / 255});
    Bytes head = Words({1, 11 + 3 * 256, 8, 1, 100, 200, 9, 2}) + Bytes{'X', 'I', 'M', 'G', 0, 0} + palette;
    ASSERT_GT(f.size(), head.size());
    EXPECT_EQ(Bytes(f.begin(), f.begin() + long(head.size())), head);

    peer::Picture mono = peer::MakePicture(9, 2, 1);
    mono.palette[0] = PaletteEntry{255, 255, 255};
    mono.palette[1] = PaletteEntry{0, 0, 0};
    f = WriteBytes(mono, "", &rc);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 16), Header(1, 9, 2, 1));
    f = WriteBytes(mono, "grey", &rc);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 18), Header(1, 9, 2, 1, 9) + Words({1}));
    // A coloured 1-bit palette keeps its colours in XIMG.
    mono.palette[1] = PaletteEntry{200, 0, 0};
    f = WriteBytes(mono, "", &rc);
    EXPECT_EQ(Get16(f, 2), 17u);
    Read r = ReadBytes(f);
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(Same(r.palette[1], PaletteEntry{200, 0, 0}));
}

TEST(GemRasLayout, RoundTrips)
{
    for (const char* options : {"", "pal", "pixw=1"})
        for (int bpp : {1, 4, 8, 24}) {
            SCOPED_TRACE(std::to_string(bpp) + " " + options);
            peer::Picture src = peer::MakePicture(70, 300, bpp, 6);
            RepeatLine(src, 0, 290);  // longer than one scanline run can count
            int rc = 0;
            Bytes f = WriteBytes(src, options, &rc);
            ASSERT_EQ(rc, 0);
            Read r = ReadBytes(f);
            ASSERT_EQ(r.rc, 0);
            ASSERT_EQ(r.header.bpp, bpp);
            EXPECT_EQ(peer::CountDifferences(r, Pixels(src)), 0);
            EXPECT_LT(f.size(), 22u + 6 * 256 + 12 * (70 * 3 + 20));  // the equal lines went out once
        }

    // Greyscale: the grey level of each pixel's colour, the palette a ramp.
    for (int bpp : {24, 4}) {
        peer::Picture src = peer::MakePicture(30, 5, bpp, 2);
        int rc = 0;
        Read r = ReadBytes(WriteBytes(src, "grey", &rc));
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.header.bpp, bpp == 24 ? 8 : 4);
        for (int x = 0; x < 30; ++x) {
            PaletteEntry c = src.Rgb(x, 2);
            int lum = int((c.red * 77u + c.green * 150u + c.blue * 29u) / 256);
            EXPECT_LE(std::abs(int(r.Rgb(x, 2).red) - lum), bpp == 24 ? 0 : 9) << x;
        }
    }
}

// ---- errors ----

TEST(GemRasErrors, HeaderCodes)
{
    Bytes data = {0x80, 1, 0};
    Bytes v2 = Header(1, 8, 1);
    v2[1] = 2;
    struct Case {
        const char* what;
        Bytes file;
        int rc;
    } cases[] = {
        {"DVI", Bytes{'V', 'D', 'V', 'I', 0, 0, 0, 0}, 1700},
        {"IMDS", Bytes{'I', 'M', 'D', 'S', 0, 1, 0, 8, 0, 0}, 1701},
        {"version 2", v2 + data, 1702},
        {"header 7 words", Header(1, 8, 1, 2, 7) + data, 1703},
        {"no planes", Header(0, 8, 1) + data, 1704},
        {"9 planes", Header(9, 8, 1) + data, 1704},
        {"16 planes", Header(16, 8, 1) + data, 1704},
        {"flag 2", Header(4, 8, 1, 2, 9) + Words({2}) + data, 1705},
        {"2 colour planes", Header(2, 8, 1) + data, 1706},
        {"5 colour planes", Header(5, 8, 1) + data, 1706},
        {"XIMG type 1", Header(4, 8, 1, 2, 59) + Bytes{'X', 'I', 'M', 'G', 0, 1} + data, 1707},
        {"XIMG cut", Header(1, 8, 1, 2, 11) + Bytes{'X', 'I', 'M', 'G'}, 7},
        {"width 0", Header(1, 0, 1) + data, 6},
        {"short header", Bytes{0, 1, 0, 8, 0}, 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadBytes(c.file).rc, c.rc) << c.what;
}

TEST(GemRasErrors, TruncatedAndChangedFiles)
{
    for (int bpp : {1, 4, 8, 24}) {
        int rc = 0;
        Bytes whole = WriteBytes(peer::MakePicture(19, 7, bpp, 8), "", &rc);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(ReadBytes(whole).rc, 0);
        for (size_t cut = 0; cut + 1 < whole.size(); ++cut)
            EXPECT_EQ(ReadBytes(Bytes(whole.begin(), whole.begin() + long(cut))).rc, 7) << bpp << " cut " << cut;
    }
    int rc = 0;
    Bytes file = WriteBytes(peer::MakePicture(20, 6, 8), "", &rc);
    memio::Scope io;
    int fd = io.Add(file);
    ImageHeader h{};
    ASSERT_EQ(codec_read_header("x.img", fd, kGem, &h, ""), 0);
    io.Data(fd).resize(40);
    std::vector<PaletteEntry> pal(256);
    EXPECT_EQ(codec_read_palette(fd, kGem, &h, pal.data()), 7);
    std::vector<unsigned char> rows(codec_stride(h.width, h.bpp) * size_t(h.height));
    EXPECT_EQ(codec_read_data(fd, kGem, &h, rows.data()), 7);
}

TEST(GemRasErrors, WriterRefusals)
{
    peer::Picture p = peer::MakePicture(10, 3, 4);
    int rc = 0;
    for (const char* bad : {"pal grey", "pixw=0", "pixh=65536", "pixw=", "pixh=a"}) {
        WriteBytes(p, bad, &rc);
        EXPECT_EQ(rc, 3) << bad;
    }
    p.header.bpp = 16;
    WriteBytes(p, "", &rc);
    EXPECT_EQ(rc, 2);
    peer::Picture p24 = peer::MakePicture(10, 3, 24);
    memio::Scope io;
    for (long limit : {0L, 10L, 30L}) {
        int fd = io.Add(nullptr, 0, limit);
        EXPECT_EQ(codec_write("x.img", fd, kGem, &p24.header, nullptr, p24.rows.data(), ""), 8) << limit;
    }
}

} // namespace
