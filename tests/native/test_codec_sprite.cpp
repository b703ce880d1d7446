#include <gtest/gtest.h>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kSprite = 12;

struct SpriteLayout {
    uint32_t mode = 12;
    uint32_t words = 1, rows = 1, first = 0, last = 31;
    std::vector<uint32_t> palette;  // 0xRRGGBB
    std::vector<unsigned char> image;
    uint32_t imageOffset = 0;  // 0: right after the palette
};

void Put32(std::vector<unsigned char>& f, uint32_t v)
{
    f.insert(f.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

uint32_t Get32(const std::vector<unsigned char>& f, size_t at)
{
    return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 | uint32_t(f[at + 3]) << 24;
}

// A sprite file laid out as the format describes: area header without its size word, then sprites.
std::vector<unsigned char> SpriteFile(const std::vector<SpriteLayout>& sprites)
{
    std::vector<unsigned char> body;
    for (const SpriteLayout& s : sprites) {
        const uint32_t image = s.imageOffset ? s.imageOffset : uint32_t(44 + 8 * s.palette.size());
        Put32(body, uint32_t(image + s.image.size()));
        const char name[12] = "sprite";
        body.insert(body.end(), name, name + 12);
        for (uint32_t v : {s.words - 1, s.rows - 1, s.first, s.last, image, image, s.mode})
            Put32(body, v);
        for (uint32_t rgb : s.palette)
            for (int twice = 0; twice < 2; ++twice)
                Put32(body, (rgb & 0xFF) << 24 | ((rgb >> 8) & 0xFF) << 16 | ((rgb >> 16) & 0xFF) << 8);
        body.insert(body.end(), s.image.begin(), s.image.end());
    }
    std::vector<unsigned char> f;
    Put32(f, uint32_t(sprites.size()));
    Put32(f, 16);
    Put32(f, uint32_t(16 + body.size()));
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

struct Read {
    int rc;
    ImageHeader h{};
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    Read(const std::vector<unsigned char>& f, const char* options = "")
    {
        rc = memio::ReadPicture(kSprite, f.data(), f.size(), options, h, pal, rows);
    }
    int Pixel(int x, int y) const
    {
        const unsigned char* r = rows.data() + size_t(h.height - 1 - y) * codec_stride(h.width, h.bpp);
        return h.bpp == 8 ? r[x] : h.bpp == 4 ? (r[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (r[x / 8] >> (7 - x % 8)) & 1;
    }
};

bool Is(const PaletteEntry& e, uint32_t rgb)
{
    return e.red == (rgb >> 16) && e.green == ((rgb >> 8) & 0xFF) && e.blue == (rgb & 0xFF);
}

std::vector<unsigned char> WriteSprite(const peer::Picture& pic, const char* name, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write(name, fd, kSprite, &pic.header, pic.palette.data(), pic.rows.data(), "");
    return io.Data(fd);
}

} // namespace

TEST(SpriteCodec, PixelsArePackedFromTheLowBits)
{
    SpriteLayout one;  // 1 bpp, 10 pixels: bit 0 is the leftmost pixel
    one.mode = 0;
    one.rows = 2;
    one.last = 9;
    one.image = {0x01, 0x02, 0, 0, 0x02, 0, 0, 0};
    Read r1(SpriteFile({one}));
    ASSERT_EQ(r1.rc, 0);
    EXPECT_EQ(r1.h.width, 10);
    EXPECT_EQ(r1.h.height, 2);
    EXPECT_EQ(r1.h.bpp, 1);
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(r1.Pixel(x, 0), x == 0 || x == 9) << x;
        EXPECT_EQ(r1.Pixel(x, 1), x == 1) << x;
    }
    EXPECT_TRUE(Is(r1.pal[0], 0xFFFFFF) && Is(r1.pal[1], 0x000000));  // desktop colours

    SpriteLayout four;  // 4 bpp with its own palette: the low nibble is the left pixel
    four.image = {0x21, 0x43, 0x65, 0x87};
    for (uint32_t i = 0; i < 16; ++i)
        four.palette.push_back(0x010203 * i + 0x400000);
    Read r4(SpriteFile({four}));
    ASSERT_EQ(r4.rc, 0);
    EXPECT_EQ(r4.h.width, 8);
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(r4.Pixel(x, 0), x + 1);
    EXPECT_TRUE(Is(r4.pal[5], 0x010203 * 5 + 0x400000));

    SpriteLayout two;  // 2 bpp reads as 4 bits; 5 pixels
    two.mode = 8;
    two.last = 9;
    two.image = {0xE4, 0x02, 0, 0};
    Read r2(SpriteFile({two}));
    ASSERT_EQ(r2.rc, 0);
    EXPECT_EQ(r2.h.bpp, 4);
    EXPECT_EQ(r2.h.width, 5);
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(r2.Pixel(x, 0), x < 4 ? x : 2);
    EXPECT_TRUE(Is(r2.pal[0], 0xFFFFFF) && Is(r2.pal[3], 0x000000) && Is(r2.pal[15], 0));
}

TEST(SpriteCodec, FirstBitSkipsLeftHandPixels)
{
    SpriteLayout eight;  // 8 bpp, first byte unused: 5 pixels
    eight.mode = 28;
    eight.words = 2;
    eight.first = 8;
    eight.last = 15;
    eight.image = {99, 1, 2, 3, 4, 5, 77, 77};
    Read r8(SpriteFile({eight}));
    ASSERT_EQ(r8.rc, 0);
    EXPECT_EQ(r8.h.width, 5);
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(r8.Pixel(x, 0), x + 1);

    SpriteLayout one;  // 1 bpp from bit 3: pixel 0 is bit 3
    one.mode = 18;
    one.first = 3;
    one.last = 12;
    one.image = {0x08, 0x10, 0, 0};
    Read r1(SpriteFile({one}));
    ASSERT_EQ(r1.rc, 0);
    EXPECT_EQ(r1.h.width, 10);
    EXPECT_EQ(r1.Pixel(0, 0), 1);
    EXPECT_EQ(r1.Pixel(9, 0), 1);
    EXPECT_EQ(r1.Pixel(5, 0), 0);

    eight.first = 4;
    EXPECT_EQ(Read(SpriteFile({eight})).rc, 1400);
    SpriteLayout four;
    four.first = 2;
    four.image = {0, 0, 0, 0};
    EXPECT_EQ(Read(SpriteFile({four})).rc, 1400);
}

TEST(SpriteCodec, EightBitPalettes)
{
    SpriteLayout s;
    s.mode = 15;
    s.words = 64;
    for (int i = 0; i < 256; ++i)
        s.image.push_back(uint8_t(i));
    Read none(SpriteFile({s}));
    ASSERT_EQ(none.rc, 0);
    EXPECT_TRUE(Is(none.pal[0x00], 0x000000));
    EXPECT_TRUE(Is(none.pal[0xFF], 0xFFFFFF));
    EXPECT_TRUE(Is(none.pal[0x03], 0x333333));  // tint only
    EXPECT_TRUE(Is(none.pal[0x10], 0x880000));  // top red bit
    EXPECT_TRUE(Is(none.pal[0x84], 0x440088));  // red bit 2, top blue bit
    EXPECT_TRUE(Is(none.pal[0x60], 0x00CC00));  // both high green bits

    // 16 and 64 entries of the default colours expand to the default palette.
    for (int entries : {16, 64}) {
        SpriteLayout p = s;
        for (int i = 0; i < entries; ++i) {
            const PaletteEntry& e = none.pal[size_t(i)];
            p.palette.push_back(uint32_t(e.red) << 16 | uint32_t(e.green) << 8 | e.blue);
        }
        Read r(SpriteFile({p}));
        ASSERT_EQ(r.rc, 0) << entries;
        for (int i = 0; i < 256; ++i)
            EXPECT_TRUE(Is(r.pal[size_t(i)], uint32_t(none.pal[size_t(i)].red) << 16 |
                                                 uint32_t(none.pal[size_t(i)].green) << 8 | none.pal[size_t(i)].blue))
                << entries << " " << i;
    }
    SpriteLayout custom = s;
    custom.palette.assign(16, 0x102030);
    Read r16(SpriteFile({custom}));
    ASSERT_EQ(r16.rc, 0);
    EXPECT_TRUE(Is(r16.pal[0x95], 0x982030 | 0x000088));  // +top red (0x10), +top blue (0x80)

    SpriteLayout full = s;
    for (uint32_t i = 0; i < 256; ++i)
        full.palette.push_back(i * 0x010101 ^ 0x00FF00);
    Read r256(SpriteFile({full}));
    ASSERT_EQ(r256.rc, 0);
    EXPECT_TRUE(Is(r256.pal[200], 200 * 0x010101 ^ 0x00FF00));
    EXPECT_EQ(r256.Pixel(200, 0), 200);

    SpriteLayout odd = s;
    odd.palette.assign(20, 0);
    EXPECT_EQ(Read(SpriteFile({odd})).rc, 1403);
}

TEST(SpriteCodec, ModesIndexAndCorruptFiles)
{
    SpriteLayout s;
    s.image = {0x10, 0, 0, 0};
    s.mode = 3u << 27 | 90u << 14 | 90u << 1 | 1;  // mode word: 4 bpp
    Read newStyle(SpriteFile({s}));
    ASSERT_EQ(newStyle.rc, 0);
    EXPECT_EQ(newStyle.h.bpp, 4);
    EXPECT_EQ(newStyle.h.width, 8);
    for (uint32_t mode : {5u << 27 | 90u << 14 | 90u << 1 | 1, 54u, 300u})
        EXPECT_EQ([&] { SpriteLayout m = s; m.mode = mode; return Read(SpriteFile({m})).rc; }(), 1401) << mode;

    SpriteLayout second = s;
    second.mode = 13;
    second.words = 2;
    second.rows = 3;
    second.image.assign(24, 42);
    std::vector<unsigned char> two = SpriteFile({s, second});
    Read r(two, "index=1");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.h.width, 8);
    EXPECT_EQ(r.h.height, 3);
    EXPECT_EQ(r.h.bpp, 8);
    EXPECT_EQ(r.Pixel(7, 2), 42);
    EXPECT_EQ(Read(two, "index=2").rc, 1402);
    EXPECT_EQ(Read(two, "index=-1").rc, 3);
    EXPECT_EQ(Read(SpriteFile({}), "").rc, 1402);

    std::vector<unsigned char> bad = two;
    bad[4] = 12;  // first sprite before the end of the area header
    EXPECT_EQ(Read(bad).rc, 5);
    bad = two;
    bad[12] = 40;  // next-sprite offset shorter than a sprite header
    EXPECT_EQ(Read(bad, "index=1").rc, 7);
    EXPECT_EQ(Read(std::vector<unsigned char>(two.begin(), two.end() - 1), "index=1").rc, 7);
    EXPECT_EQ(Read(std::vector<unsigned char>(two.begin(), two.begin() + 30)).rc, 7);
    SpriteLayout wide = s;
    wide.words = 0x40000;  // over 65535 pixels
    EXPECT_EQ(Read(SpriteFile({wide})).rc, 6);
    SpriteLayout early = s;
    early.imageOffset = 40;  // image inside the sprite header
    EXPECT_EQ(Read(SpriteFile({early})).rc, 7);
}

TEST(SpriteCodec, WriterFieldsAndRoundTrips)
{
    peer::Picture pic = peer::MakePicture(13, 5, 1);
    for (size_t y = 0; y < 5; ++y)
        pic.rows[y * pic.Stride() + 3] = 0xFF;  // padding the writer must not copy
    int rc = -1;
    std::vector<unsigned char> f = WriteSprite(pic, "C:\\Dir.x\\My.Picture-Name.spr", &rc);
    ASSERT_EQ(rc, 0);
    const uint32_t size = 44 + 2 * 8 + 5 * 4;
    ASSERT_EQ(f.size(), 12 + size);
    EXPECT_EQ(Get32(f, 0), 1u);
    EXPECT_EQ(Get32(f, 4), 16u);
    EXPECT_EQ(Get32(f, 8), 16 + size);
    EXPECT_EQ(Get32(f, 12), size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[16]), 12), "my.picture-n");
    EXPECT_EQ(Get32(f, 28), 0u);   // one word per row
    EXPECT_EQ(Get32(f, 32), 4u);   // five rows
    EXPECT_EQ(Get32(f, 36), 0u);   // first bit
    EXPECT_EQ(Get32(f, 40), 12u);  // last bit
    EXPECT_EQ(Get32(f, 44), 60u);  // image after two palette pairs
    EXPECT_EQ(Get32(f, 48), 60u);  // no mask
    EXPECT_EQ(Get32(f, 52), 25u);
    const PaletteEntry& p1 = pic.palette[1];
    EXPECT_EQ(Get32(f, 64), uint32_t(p1.blue) << 24 | uint32_t(p1.green) << 16 | uint32_t(p1.red) << 8);
    EXPECT_EQ(Get32(f, 68), Get32(f, 64));
    for (int y = 0; y < 5; ++y) {
        const uint32_t word = Get32(f, 12 + 60 + 4 * size_t(y));
        EXPECT_EQ(word >> 13, 0u) << "unused bits of row " << y;
        for (int x = 0; x < 13; ++x)
            EXPECT_EQ((word >> x) & 1, pic.Rgb(x, y).red == pic.palette[1].red ? 1u : 0u) << x << "," << y;
    }

    f = WriteSprite(pic, "noext", &rc);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[16]), 5), "noext");
    EXPECT_EQ(f[21], 0);

    for (int bpp : {1, 4, 8}) {
        peer::Picture src = peer::MakePicture(bpp == 8 ? 7 : 21, 6, bpp, unsigned(bpp));
        f = WriteSprite(src, "round.spr", &rc);
        ASSERT_EQ(rc, 0) << bpp;
        EXPECT_EQ(Get32(f, 52), bpp == 1 ? 25u : bpp == 4 ? 27u : 28u);
        Read r(f);
        ASSERT_EQ(r.rc, 0) << bpp;
        ASSERT_EQ(r.h.bpp, bpp);
        ASSERT_EQ(r.h.width, src.header.width);
        for (int i = 0; i < (1 << bpp); ++i)
            EXPECT_TRUE(r.pal[size_t(i)].red == src.palette[size_t(i)].red &&
                        r.pal[size_t(i)].green == src.palette[size_t(i)].green &&
                        r.pal[size_t(i)].blue == src.palette[size_t(i)].blue);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < src.header.width; ++x) {
                PaletteEntry c = src.Rgb(x, y), d = r.pal[size_t(r.Pixel(x, y))];
                ASSERT_TRUE(c.red == d.red && c.green == d.green && c.blue == d.blue) << bpp << " " << x << "," << y;
            }
    }
    peer::Picture rgb = peer::MakePicture(4, 4, 24);
    WriteSprite(rgb, "x.spr", &rc);
    EXPECT_EQ(rc, 2);
}
