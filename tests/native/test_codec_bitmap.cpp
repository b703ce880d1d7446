// Bitmap codec: files ImageMagick writes read as ImageMagick decodes them, our files decoded by
// ImageMagick, hand-built RLE streams (valid and corrupt), bitmap arrays and damaged headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kBitmap = CODEC_FORMAT_BITMAP;
using Bytes = std::vector<unsigned char>;
const PaletteEntry kBlack{0, 0, 0}, kWhite{255, 255, 255};

void Put(Bytes& b, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
uint32_t Get(const Bytes& b, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[at + size_t(i)];
    return v;
}

struct Field {
    size_t at;
    int bytes;
    uint32_t value;
};
void ExpectFields(const Bytes& f, std::initializer_list<Field> fields)
{
    for (const Field& x : fields)
        EXPECT_EQ(Get(f, x.at, x.bytes), x.value) << "at " << x.at;
}

struct Layout {
    int32_t width, height;
    unsigned bpp;
    uint32_t compression;
    Bytes data;
    std::vector<PaletteEntry> palette = {};
    uint32_t infoSize = 40;  // 12: OS/2 1.1, 3-byte palette entries
    uint32_t clrUsed = 0;
};

// A bitmap file whose offsets count from `base` (its place inside a bitmap array).
Bytes Build(const Layout& s, uint32_t base = 0)
{
    Bytes info;
    int side = s.infoSize == 12 ? 2 : 4;
    std::vector<std::pair<uint32_t, int>> fields = {{s.infoSize, 4}, {s.width, side}, {s.height, side}, {1, 2},
                                                    {s.bpp, 2},      {s.compression, 4}, {s.data.size(), 4},
                                                    {0, 4},          {0, 4},             {s.clrUsed, 4}};
    for (auto [v, n] : fields)
        Put(info, v, n);
    info.resize(s.infoSize, 0);
    for (const PaletteEntry& e : s.palette)
        Put(info, e.blue | (e.green << 8) | (e.red << 16), s.infoSize == 12 ? 3 : 4);
    Bytes f = {'B', 'M'};
    for (uint32_t v : {uint32_t(14 + info.size() + s.data.size()), 0u, base + 14 + uint32_t(info.size())})
        Put(f, v, 4);
    f.insert(f.end(), info.begin(), info.end());
    f.insert(f.end(), s.data.begin(), s.data.end());
    return f;
}

int Read(const Bytes& file, peer::Picture& pic, const char* options = "")
{
    std::vector<PaletteEntry> palette;
    int rc = memio::ReadPicture(kBitmap, file.data(), file.size(), options, pic.header, palette, pic.rows);
    if (!palette.empty())
        pic.palette = palette;
    return rc;
}

int WriteToMemory(const peer::Picture& pic, const char* options, Bytes& out, long writeLimit = -1)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0, writeLimit);
    int rc = codec_write("memory.bmp", fd, kBitmap, &pic.header, pic.palette.data(), pic.rows.data(), options);
    out = io.Data(fd);
    return rc;
}

// Stored rows (bottom-up, padded) of a palette picture from its indices, top row first.
Bytes Rows(int width, int bpp, const std::vector<std::vector<int>>& top)
{
    size_t stride = codec_stride(width, bpp), h = top.size();
    Bytes rows(stride * h, 0);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < top[y].size(); ++x)
            rows[(h - 1 - y) * stride + x * size_t(bpp) / 8] |= uint8_t(top[y][x] << ((8 - bpp - x * size_t(bpp) % 8)));
    return rows;
}

bool ImageMagickDecode(const std::string& bmp, peer::Rgb& out)
{
    std::string ppm = bmp + ".ppm";
    return peer::Run("convert '" + bmp + "' -depth 8 ppm:'" + ppm + "'") && peer::ReadPnm(ppm, out);
}

void ExpectReadsLikeImageMagick(const std::string& bmp, int bpp)
{
    peer::Picture ours;
    ASSERT_EQ(peer::Load(bmp, ours), 0) << bmp;
    EXPECT_EQ(ours.header.bpp, bpp) << bmp;
    peer::Rgb ref;
    ASSERT_TRUE(ImageMagickDecode(bmp, ref)) << bmp;
    EXPECT_EQ(peer::CountDifferences(ours, ref), 0) << bmp;
}

TEST(BitmapWrite, Windows30HeaderFieldByField)
{
    peer::Picture pic = peer::MakePicture(5, 3, 8);
    Bytes f;
    ASSERT_EQ(WriteToMemory(pic, "", f), 0);
    ASSERT_EQ(f.size(), 54u + 1024 + 3 * 8);
    ExpectFields(f, {{0, 2, 'B' | 'M' << 8}, {2, 4, 1102}, {6, 4, 0}, {10, 4, 1078}, {14, 4, 40}, {18, 4, 5},
                     {22, 4, 3}, {26, 2, 1}, {28, 2, 8}, {30, 4, 0}, {34, 4, 24}, {38, 4, 0}, {42, 4, 0},
                     {46, 4, 0}, {50, 4, 0}});
    for (size_t i = 0; i < 256; ++i) {
        const PaletteEntry& e = pic.palette[i];
        ASSERT_EQ(Get(f, 54 + 4 * i, 4), uint32_t(e.blue | e.green << 8 | e.red << 16)) << i;
    }
    EXPECT_TRUE(std::equal(pic.rows.begin(), pic.rows.end(), f.begin() + 1078));
    // 24 bits: no palette; 1 bit: a black-and-white one.
    ASSERT_EQ(WriteToMemory(peer::MakePicture(3, 2, 24), "", f), 0);
    ExpectFields(f, {{2, 4, 54 + 24}, {10, 4, 54}});
    ASSERT_EQ(WriteToMemory(peer::MakePicture(3, 2, 1), "win", f), 0);
    ExpectFields(f, {{10, 4, 62}, {54, 4, 0}, {58, 4, 0xFFFFFF}});
}

TEST(BitmapWrite, Os2HeadersAndFaults)
{
    peer::Picture pic = peer::MakePicture(3, 2, 4);
    Bytes f, win;
    ASSERT_EQ(WriteToMemory(pic, "1.1", f), 0);
    ASSERT_EQ(f.size(), 26u + 48 + 2 * 4);
    ExpectFields(f, {{2, 4, 82}, {10, 4, 74}, {14, 4, 12}, {18, 2, 3}, {20, 2, 2}, {22, 2, 1}, {24, 2, 4},
                     {26 + 3 * 5, 3, uint32_t(pic.palette[5].blue | pic.palette[5].green << 8 | pic.palette[5].red << 16)}});
    // 2.0: the 64-byte header, its OS/2 fields 0, then the palette and rows of the Windows file.
    ASSERT_EQ(WriteToMemory(pic, "2.0", f), 0);
    ASSERT_EQ(WriteToMemory(pic, "", win), 0);
    ASSERT_EQ(f.size(), win.size() + 24);
    ExpectFields(f, {{10, 4, 14 + 64 + 64}, {14, 4, 64}});
    EXPECT_TRUE(std::equal(f.begin() + 18, f.begin() + 54, win.begin() + 18));
    EXPECT_EQ(std::count(f.begin() + 54, f.begin() + 78, 0), 24);
    EXPECT_TRUE(std::equal(f.begin() + 78, f.end(), win.begin() + 54));

    for (const char* bad : {"1.1 win", "1.1,2.0", "win 2.0", "darkfg lightfg"})
        EXPECT_EQ(WriteToMemory(pic, bad, f), CODEC_ERR_OPTIONS) << bad;
    pic.header.bpp = 16;
    EXPECT_EQ(WriteToMemory(pic, "", f), CODEC_ERR_BPP);
    EXPECT_EQ(WriteToMemory(peer::MakePicture(300, 300, 24), "", f, 100000), CODEC_ERR_WRITE);
}

TEST(BitmapPeer, ImageMagickDecodesEveryDepthAndVariant)
{
    for (int bpp : {1, 4, 8, 24})
        for (std::string variant : {"", "2.0", "1.1"}) {
            peer::Picture pic = peer::MakePicture(37, 23, bpp, 5), back;
            std::string path = peer::Path("ours" + std::to_string(bpp) + variant + ".bmp");
            ASSERT_EQ(peer::Save(path, pic, variant.c_str()), 0) << path;
            if (bpp == 1)  // both entries are light: the lighter one becomes white
                pic.palette[0] = kWhite, pic.palette[1] = kBlack;
            peer::Rgb expected, ref;
            peer::WritePpm(path + ".ppm", pic);
            ASSERT_TRUE(peer::ReadPnm(path + ".ppm", expected));
            ASSERT_EQ(peer::Load(path, back), 0) << path;
            EXPECT_EQ(peer::CountDifferences(back, expected), 0) << path;
            // ImageMagick 6.9 takes 3-byte palette entries after a 64-byte header: the 2.0 layout
            // of palette pictures is checked against the Windows file above.
            if (variant == "2.0" && bpp != 24)
                continue;
            ASSERT_TRUE(ImageMagickDecode(path, ref)) << path;
            EXPECT_EQ(peer::CountDifferences(back, ref), 0) << path;
        }
}

TEST(BitmapPeer, OneBitOptionsChooseTheOrderAndKeepThePicture)
{
    struct Case {
        const char* options;
        bool whiteFirst;
    } cases[] = {{"", false},    {"lightfg", false},   {"darkfg", true},     {"inv", true},
                 {"invb", true}, {"inv invb", false}, {"darkfg,inv", false}};
    // A dark and a light colour; then two dark ones, still told apart.
    std::vector<PaletteEntry> colours[] = {{{0, 0, 90}, {250, 240, 150}, kBlack, kWhite},
                                           {{30, 30, 30}, kBlack, kWhite, kBlack}};
    peer::Picture pic = peer::MakePicture(19, 7, 1);
    for (const auto& c : colours) {
        pic.palette[0] = c[0], pic.palette[1] = c[1];
        peer::Picture expected = pic;
        expected.palette[0] = c[2], expected.palette[1] = c[3];
        for (const Case& k : cases) {
            std::string path = peer::Path(std::string("mono-") + k.options + ".bmp");
            ASSERT_EQ(peer::Save(path, pic, k.options), 0) << k.options;
            EXPECT_EQ(peer::ReadFileBytes(path)[54], k.whiteFirst ? 255 : 0) << k.options;
            peer::Rgb ref;
            ASSERT_TRUE(ImageMagickDecode(path, ref));
            EXPECT_EQ(peer::CountDifferences(expected, ref), 0) << k.options;
        }
    }
}

TEST(BitmapPeer, ReadsImageMagickOutput)
{
    for (int bpp : {1, 4, 8, 24})
        peer::WritePpm(peer::Path("src" + std::to_string(bpp) + ".ppm"), peer::MakePicture(61, 29, bpp, 9));
    struct Case {
        int source;
        std::string args;  // the output name follows the last word
        int bpp;
    } cases[] = {{24, "", 24}, {24, "bmp3:", 24}, {24, "bmp2:", 24}, {24, "-alpha set ", 24},
                 {24, "-define bmp:subtype=RGB565 ", 24}, {24, "-define bmp:subtype=RGB555 ", 24},
                 {24, "-define bmp:subtype=ARGB4444 ", 24}, {8, "-type palette ", 8}, {8, "-type palette bmp3:", 8},
                 {8, "-type palette bmp2:", 8}, {8, "-type palette -compress RLE ", 8},
                 {8, "-type palette -compress RLE bmp3:", 8}, {4, "-type palette ", 4}, {4, "-type palette bmp2:", 4},
                 {1, "-type bilevel ", 1}, {1, "-type bilevel bmp3:", 1}, {1, "-type bilevel bmp2:", 1}};
    int n = 0;
    for (const Case& c : cases) {
        std::string bmp = peer::Path("im" + std::to_string(n++) + ".bmp");
        ASSERT_TRUE(peer::Run("convert " + peer::Path("src" + std::to_string(c.source) + ".ppm") + " " + c.args + bmp))
            << c.args;
        ExpectReadsLikeImageMagick(bmp, c.bpp);
    }
}

// Encoded and absolute runs (with their pad bytes), delta, end of line and end of bitmap.
TEST(BitmapRle, CodesDecodeLikeImageMagick)
{
    std::vector<PaletteEntry> palette;
    for (int i = 0; i < 16; ++i)
        palette.push_back(PaletteEntry{uint8_t(i * 16), uint8_t(255 - i * 8), uint8_t(i * 5)});
    Layout rle8{6, 4, 8, 1, {3, 5, 0, 3, 1, 2, 3, 0, 0, 0, 2, 7, 0, 2, 1, 1, 2, 9, 0, 0, 0, 4, 10, 11, 12, 13, 2, 14, 0, 1},
              palette};
    rle8.clrUsed = 16;
    Layout rle4{7, 3, 4, 2, {4, 0x12, 0, 3, 0x34, 0x50, 0, 0, 0, 5, 0x67, 0x89, 0xA0, 0, 0, 2, 1, 1, 1, 0xF0, 0, 1},
              palette};
    peer::Picture pic;
    ASSERT_EQ(Read(Build(rle8), pic), 0);
    EXPECT_EQ(pic.rows, Rows(6, 8, {{10, 11, 12, 13, 14, 14}, {0, 0, 0, 9, 9, 0}, {7, 7, 0, 0, 0, 0}, {5, 5, 5, 1, 2, 3}}));
    ASSERT_EQ(Read(Build(rle4), pic), 0);
    EXPECT_EQ(pic.rows, Rows(7, 4, {{0, 0, 0, 0, 0, 0, 15}, {6, 7, 8, 9, 10, 0, 0}, {1, 2, 1, 2, 3, 4, 5}}));
    for (const Layout& s : {rle8, rle4}) {
        std::string path = peer::Path("rle" + std::to_string(s.bpp) + ".bmp");
        peer::WriteFileBytes(path, Build(s));
        ExpectReadsLikeImageMagick(path, int(s.bpp));
    }
}

TEST(BitmapRle, CorruptStreamsAreClippedOrAnswer7)
{
    struct Case {
        unsigned bpp;
        int height;
        Bytes data;
        int rc;
        std::vector<std::vector<int>> rows;  // top first
    } cases[] = {
        // Runs past the row end stay in their row.
        {8, 3, {9, 1, 0, 6, 2, 2, 2, 2, 2, 2, 0, 0, 4, 3, 0, 1}, 0, {{0, 0, 0, 0}, {3, 3, 3, 3}, {1, 1, 1, 1}}},
        {4, 2, {15, 0x12, 0, 0, 0, 7, 0x34, 0x56, 0x70, 0, 0, 1}, 0, {{3, 4, 5, 6}, {1, 2, 1, 2}}},
        // A delta past the right edge drops the rest of the row, one past the top ends the picture.
        {8, 3, {2, 5, 0, 2, 255, 0, 3, 6, 0, 0, 2, 8, 0, 2, 1, 9, 4, 4}, 0, {{0, 0, 0, 0}, {8, 8, 0, 0}, {5, 5, 0, 0}}},
        // Data ending early: 7, with what was decoded.
        {8, 3, {4, 4, 0, 0, 2, 6}, CODEC_ERR_READ, {{0, 0, 0, 0}, {6, 6, 0, 0}, {4, 4, 4, 4}}},
        {8, 2, {4, 4, 0, 0, 0, 4, 1, 2}, CODEC_ERR_READ, {{1, 2, 0, 0}, {4, 4, 4, 4}}},
        {8, 2, {4, 4, 0, 0, 0, 2}, CODEC_ERR_READ, {{0, 0, 0, 0}, {4, 4, 4, 4}}},
        // A complete picture needs no end-of-bitmap code; top-down comes out bottom-up.
        {8, 2, {4, 4, 0, 0, 4, 5}, 0, {{5, 5, 5, 5}, {4, 4, 4, 4}}},
        {8, -2, {4, 4, 0, 0, 4, 5, 0, 1}, 0, {{4, 4, 4, 4}, {5, 5, 5, 5}}},
    };
    for (const Case& c : cases) {
        peer::Picture pic;
        EXPECT_EQ(Read(Build(Layout{4, c.height, c.bpp, c.bpp == 8 ? 1u : 2u, c.data}), pic), c.rc) << &c - cases;
        EXPECT_EQ(pic.rows, Rows(4, int(c.bpp), c.rows)) << &c - cases;
    }
}

TEST(BitmapRead, BitmapArraysByIndex)
{
    Layout layouts[] = {{2, 1, 8, 0, {1, 2, 0, 0}, {kBlack, kWhite, {9, 9, 9}}},
                    {3, 2, 4, 0, {0x12, 0x30, 0, 0, 0x45, 0x60, 0, 0}, {kBlack, kWhite}, 12},
                    {1, 1, 24, 0, {10, 20, 30, 0}}};
    auto array = [&](size_t count, uint32_t lastNext) {
        Bytes file;
        for (size_t i = 0; i < count; ++i) {
            Bytes bmp = Build(layouts[i], uint32_t(file.size()) + 14);
            file.insert(file.end(), {'B', 'A', 14, 0, 0, 0});
            Put(file, i + 1 < count ? uint32_t(file.size() + 8 + bmp.size()) : lastNext, 4);
            Put(file, 0, 4);
            file.insert(file.end(), bmp.begin(), bmp.end());
        }
        return file;
    };
    Bytes file = array(3, 0);
    peer::Picture pic;
    ASSERT_EQ(Read(file, pic), 0);
    EXPECT_EQ(pic.Rgb(0, 0).red + pic.Rgb(1, 0).red, 255 + 9);
    ASSERT_EQ(Read(file, pic, "index=1"), 0);
    EXPECT_EQ(pic.rows, Rows(3, 4, {{4, 5, 6}, {1, 2, 3}}));
    ASSERT_EQ(Read(file, pic, "inv, index=2"), 0);
    EXPECT_EQ(pic.rows, Bytes({10, 20, 30, 0}));
    EXPECT_EQ(Read(file, pic, "index=3"), 304);
    EXPECT_EQ(Read(Build(layouts[2]), pic, "index=1"), 304);
    EXPECT_EQ(Read(file, pic, "index=x"), CODEC_ERR_OPTIONS);
    EXPECT_EQ(Read(file, pic, "index=-1"), CODEC_ERR_OPTIONS);
    // Chains that point back, past the end, or at something else.
    EXPECT_EQ(Read(array(2, 14), pic, "index=5"), CODEC_ERR_READ);
    EXPECT_EQ(Read(array(2, 5000), pic, "index=2"), CODEC_ERR_READ);
    Bytes broken = file;
    broken[Get(file, 6, 4)] = 'X';
    EXPECT_EQ(Read(broken, pic, "index=1"), CODEC_ERR_READ);
    broken = file;
    broken[14] = 'C', broken[15] = 'I';
    EXPECT_EQ(Read(broken, pic), CODEC_ERR_SIGNATURE);
}

TEST(BitmapRead, HeaderFaultsAndTruncation)
{
    const Layout good{4, 2, 8, 0, Bytes(8, 1), {kBlack, kWhite}};
    Field faults[] = {{0, 1, 'X'},   {26, 2, 2},     {28, 2, 2},   {28, 2, 0},     {14, 4, 70},
                      {14, 4, 8},    {30, 4, 4},     {30, 4, 2},   {30, 4, 3},     {18, 4, 0},
                      {18, 4, ~3u},  {22, 4, 0},     {18, 4, 70000}, {10, 4, 20},  {10, 4, 5000}};
    int codes[] = {5, 300, 301, 301, 302, 302, 303, 303, 303, 6, 6, 6, 6, 7, 7};
    for (size_t i = 0; i < std::size(faults); ++i) {
        Bytes f = Build(good);
        for (int b = 0; b < faults[i].bytes; ++b)
            f[faults[i].at + size_t(b)] = uint8_t(faults[i].value >> (8 * b));
        peer::Picture pic;
        EXPECT_EQ(Read(f, pic), codes[i]) << faults[i].at << " " << faults[i].value;
    }
    peer::Picture pic;
    EXPECT_EQ(Read(Build(Layout{65535, 65535, 24, 0, {}}), pic), CODEC_ERR_SIZE);
    // In an OS/2 2.0 header the bit-field compression is Huffman 1D.
    EXPECT_EQ(Read(Build(Layout{1, 1, 16, 3, Bytes(4, 0), {}, 64}), pic), 303);

    for (int bpp : {1, 8, 24})
        for (const char* variant : {"", "1.1"}) {
            Bytes f;
            ASSERT_EQ(WriteToMemory(peer::MakePicture(32, 3, bpp), variant, f), 0);
            for (size_t cut = 0; cut < f.size(); ++cut)
                ASSERT_EQ(Read(Bytes(f.begin(), f.begin() + long(cut)), pic), CODEC_ERR_READ) << bpp << " " << cut;
        }
    // A file that shrinks after its header was read.
    Bytes f;
    ASSERT_EQ(WriteToMemory(peer::MakePicture(8, 8, 8), "", f), 0);
    memio::Scope io;
    int fd = io.Add(f);
    ImageHeader header;
    ASSERT_EQ(codec_read_header("m.bmp", fd, kBitmap, &header, ""), 0);
    io.Data(fd).resize(f.size() - 10);
    Bytes rows(64);
    EXPECT_EQ(codec_read_data(fd, kBitmap, &header, rows.data()), CODEC_ERR_READ);
    io.Data(fd).resize(100);
    std::vector<PaletteEntry> palette(256);
    EXPECT_EQ(codec_read_palette(fd, kBitmap, &header, palette.data()), CODEC_ERR_READ);
}

TEST(BitmapRead, TopDownShortPalettesAndInversions)
{
    // Top-down 8-bit with two palette entries of 256: the rest is black, or white inverted.
    Layout s{2, -3, 8, 0, {1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 0, 0}, {{10, 20, 30}, {200, 100, 0}}};
    s.clrUsed = 2;
    peer::Picture pic;
    ASSERT_EQ(Read(Build(s), pic), 0);
    EXPECT_EQ(pic.rows, Rows(2, 8, {{1, 0}, {0, 1}, {1, 1}}));
    EXPECT_EQ(pic.palette[1].red, 200);
    EXPECT_EQ(pic.palette[2].red + pic.palette[255].blue, 0);
    ASSERT_EQ(Read(Build(s), pic, "inv"), 0);
    EXPECT_EQ(pic.palette[0].red + pic.palette[0].blue, 245 + 225);
    EXPECT_EQ(pic.palette[2].green, 255);
    // 1-bit under a 16-byte OS/2 2.0 header: invb inverts the bits, the palette stays.
    ASSERT_EQ(Read(Build(Layout{10, 1, 1, 0, {0xA5, 0x40, 0, 0}, {kBlack, {0, 0, 255}}, 16}), pic, "invb"), 0);
    EXPECT_EQ(pic.rows[0], 0x5A);
    EXPECT_EQ(pic.rows[1] & 0xC0, 0x80);
    EXPECT_EQ(pic.palette[1].blue, 255);
    // 24 bits ignore both; 32-bit uncompressed is blue, green, red, unused.
    ASSERT_EQ(Read(Build(Layout{1, 1, 24, 0, {1, 2, 3, 0}}), pic, "inv invb"), 0);
    EXPECT_EQ(pic.rows, Bytes({1, 2, 3, 0}));
    ASSERT_EQ(Read(Build(Layout{1, 1, 32, 0, {1, 2, 3, 4}}), pic), 0);
    EXPECT_EQ(pic.rows, Bytes({1, 2, 3, 0}));
}

} // namespace
