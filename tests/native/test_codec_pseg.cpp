#include <gtest/gtest.h>

#include <iterator>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kPseg = 13;
using Bytes = std::vector<unsigned char>;

enum : uint32_t {
    BPS = 0xD3A85F, EPS = 0xD3A95F, BII = 0xD3A87B, EII = 0xD3A97B, IOC = 0xD3A77B,
    IID = 0xD3A67B, ICP = 0xD3AC7B, IRD = 0xD3EE7B, NOP = 0xD3EEEE
};

Bytes Field(uint32_t id, const Bytes& data, uint8_t flags = 0)
{
    const size_t len = 8 + data.size();
    Bytes f = {0x5A, uint8_t(len >> 8), uint8_t(len), uint8_t(id >> 16), uint8_t(id >> 8), uint8_t(id), flags, 0, 0};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes Be16s(std::initializer_list<unsigned> values)
{
    Bytes b;
    for (unsigned v : values)
        b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    return b;
}

Bytes Descriptor(unsigned width, unsigned height, unsigned cellWidth = 0, unsigned cellHeight = 0)
{
    Bytes d(46, 0);
    Bytes size = Be16s({width, height}), cell = Be16s({cellWidth, cellHeight});
    std::copy(size.begin(), size.end(), d.begin() + 12);
    std::copy(cell.begin(), cell.end(), d.begin() + 38);
    d[43] = 1;
    return d;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kName = {0xC1, 0xC2, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40};

// A page segment around one image: the fields between the input descriptor and the end.
Bytes Segment(const Bytes& descriptor, const Bytes& body)
{
    return Cat({Field(BPS, kName), Field(BII, kName), Field(IOC, Bytes(24, 0)), Field(IID, descriptor), body,
                Field(EII, kName), Field(EPS, kName)});
}

struct Read {
    int rc;
    ImageHeader h{};
    std::vector<PaletteEntry> pal;
    Bytes rows;
    Read(const Bytes& f, const char* options = "")
    {
        rc = memio::ReadPicture(kPseg, f.data(), f.size(), options, h, pal, rows);
    }
    int Pixel(int x, int y) const
    {
        return (rows[size_t(h.height - 1 - y) * codec_stride(h.width, 1) + size_t(x / 8)] >> (7 - x % 8)) & 1;
    }
    unsigned char RowByte(int y, int b) const { return rows[size_t(h.height - 1 - y) * codec_stride(h.width, 1) + size_t(b)]; }
};

struct Parsed {
    uint32_t id;
    Bytes data;
};

// Our own writer's output, split into fields (no extension or padding is ever written).
std::vector<Parsed> Parse(const Bytes& f)
{
    std::vector<Parsed> out;
    for (size_t p = 0; p + 9 <= f.size();) {
        EXPECT_EQ(f[p], 0x5A);
        size_t len = size_t(f[p + 1]) << 8 | f[p + 2];
        out.push_back({uint32_t(f[p + 3]) << 16 | uint32_t(f[p + 4]) << 8 | f[p + 5],
                       Bytes(f.begin() + long(p + 9), f.begin() + long(p + 1 + len))});
        p += 1 + len;
    }
    return out;
}

Bytes WritePseg(const peer::Picture& pic, const char* name, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write(name, fd, kPseg, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

} // namespace

TEST(PsegCodec, RasterRowsTopDownAcrossFields)
{
    Bytes f = Segment(Descriptor(16, 3), Cat({Field(IRD, {0x80}), Field(NOP, {1, 2, 3}),
                                             Field(IRD, {0x01, 0xFF, 0x00, 0x00})}));
    Read r(f);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.h.width, 16);
    EXPECT_EQ(r.h.height, 3);
    EXPECT_EQ(r.h.bpp, 1);
    EXPECT_TRUE(r.pal[0].red == 255 && r.pal[0].blue == 255 && r.pal[1].red == 0 && r.pal[1].green == 0);
    for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(r.Pixel(x, 0), x == 0 || x == 15) << x;
        EXPECT_EQ(r.Pixel(x, 1), x < 8) << x;
        EXPECT_EQ(r.Pixel(x, 2), 0) << x;  // no raster: white
    }

    // An extension before the data and padding after it are not pixels.
    Bytes g = Segment(Descriptor(8, 2), Cat({Field(IRD, {3, 0xEE, 0xEE, 0x81}, 0x80),
                                            Field(IRD, {0x7E, 0xEE, 0xEE, 3}, 0x08)}));
    Read p(g);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.RowByte(0, 0), 0x81);
    EXPECT_EQ(p.RowByte(1, 0), 0x7E);
}

TEST(PsegCodec, CellsArePlacedAndRepeatedOverTheirFillArea)
{
    Bytes body = Cat({Field(ICP, Be16s({8, 1, 8, 1, 24, 3})), Field(IRD, {0xF0}),
                      Field(ICP, Be16s({0, 0, 16, 1, 0, 0})), Field(IRD, {0x12, 0x34}),
                      Field(ICP, Be16s({24, 0, 0, 0, 0, 0})), Field(IRD, {0x81, 0x42}),
                      Field(ICP, Be16s({24, 3, 16, 2, 0, 0})), Field(IRD, {0x99, 0x55, 0x66, 0x77})});
    Read r(Segment(Descriptor(32, 4, 8, 2), body));
    ASSERT_EQ(r.rc, 0);
    const unsigned char want[4][4] = {
        {0x12, 0x34, 0x00, 0x81}, {0x00, 0xF0, 0xF0, 0x42}, {0x00, 0xF0, 0xF0, 0xF0}, {0x00, 0xF0, 0xF0, 0x99}};
    for (int y = 0; y < 4; ++y)
        for (int b = 0; b < 4; ++b)
            EXPECT_EQ(r.RowByte(y, b), want[y][b]) << y << "," << b;

    // A fill area that is not a whole number of bytes wide stops at its edge.
    Read part(Segment(Descriptor(24, 1), Cat({Field(ICP, Be16s({0, 0, 8, 1, 12, 1})), Field(IRD, {0xFF})})));
    ASSERT_EQ(part.rc, 0);
    EXPECT_EQ(part.RowByte(0, 1), 0xF0);
    EXPECT_EQ(part.RowByte(0, 2), 0x00);
}

TEST(PsegCodec, RecordAndOrderErrors)
{
    const Bytes d = Descriptor(16, 2);
    struct {
        const char* what;
        Bytes file;
        int rc;
    } cases[] = {
        {"no carriage control", Bytes{0x00, 0x10, 0xD3}, 1600},
        {"unknown field", Cat({Field(BPS, kName), Field(0xD3A8AF, kName)}), 1601},
        {"short length", Bytes{0x5A, 0x00, 0x07, 0xD3, 0xA8, 0x5F, 0, 0, 0}, 1601},
        {"extension too long", Cat({Field(BPS, {9, 1}, 0x80)}), 1601},
        {"raster before size", Cat({Field(BII, kName), Field(IRD, {1, 2})}), 1602},
        {"image ends before size", Cat({Field(BII, kName), Field(EII, kName)}), 1602},
        {"width", Segment(Descriptor(12, 2), {}), 1603},
        {"default cell", Segment(Descriptor(16, 2, 12, 2), {}), 1604},
        {"cell width", Segment(d, Field(ICP, Be16s({0, 0, 12, 1, 0, 0}))), 1605},
        {"cell position", Segment(d, Field(ICP, Be16s({4, 0, 8, 1, 0, 0}))), 1606},
        {"descriptor outside image", Cat({Field(BPS, kName), Field(IID, d)}), 1607},
        {"segment begins late", Cat({Field(BII, kName), Field(BPS, kName)}), 1607},
        {"second image begins", Segment(d, Field(BII, kName)), 1607},
        {"segment ends in image", Cat({Field(BII, kName), Field(IID, d), Field(EPS, kName)}), 1607},
        {"end of file in image", Cat({Field(BII, kName), Field(IID, d), Field(IRD, {1, 2})}), 7},
        {"end of file in field", Bytes{0x5A, 0x00, 0x10, 0xD3, 0xA8}, 7},
        {"empty", Bytes{}, 7},
    };
    for (auto& c : cases)
        EXPECT_EQ(Read(c.file).rc, c.rc) << c.what;

    // A handful of bytes may not make us fill a big picture again and again.
    Bytes body;
    for (int i = 0; i < 200; ++i)
        body = Cat({body, Field(ICP, Be16s({0, 0, 8, 1, 512, 512})), Field(IRD, {0xAA})});
    EXPECT_EQ(Read(Segment(Descriptor(512, 512), body)).rc, 1601);
}

TEST(PsegCodec, FixrecAcceptsStrippedControlsAndRecordPrefixes)
{
    Bytes fields[] = {Field(BPS, kName), Field(BII, kName), Field(IID, Descriptor(8, 2)), Field(IRD, {0xC3, 0x3C}),
                      Field(EII, kName), Field(EPS, kName)};
    Bytes stripped, prefixed, prefixedStripped;
    for (size_t i = 0; i < std::size(fields); ++i) {
        const Bytes& f = fields[i];
        stripped.insert(stripped.end(), f.begin() + 1, f.end());
        const size_t pad = i == 2 ? 3 : 0;  // a record longer than its field
        const size_t n = 4 + f.size() + pad;
        prefixed = Cat({prefixed, Bytes{uint8_t(n >> 8), uint8_t(n), 0, 0}, f, Bytes(pad, 0x40)});
        const size_t m = 4 + f.size() - 1;
        prefixedStripped = Cat({prefixedStripped, Bytes{uint8_t(m >> 8), uint8_t(m), 0, 0}, Bytes(f.begin() + 1, f.end())});
    }
    EXPECT_EQ(Read(stripped).rc, 1600);
    EXPECT_EQ(Read(prefixed).rc, 1600);
    for (const Bytes* file : {&stripped, &prefixed, &prefixedStripped}) {
        Read r(*file, "fixrec");
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.RowByte(0, 0), 0xC3);
        EXPECT_EQ(r.RowByte(1, 0), 0x3C);
    }
    // A prefix shorter than the field it carries is not a record prefix.
    Bytes shortPrefix = Cat({Bytes{0x00, 0x08, 0, 0}, fields[0]});
    EXPECT_EQ(Read(shortPrefix, "fixrec").rc, 1600);
}

TEST(PsegCodec, WriterFieldsTextsAndPadding)
{
    peer::Picture pic = peer::MakePicture(20, 3, 1);
    int rc = -1;
    Bytes f = WritePseg(pic, "dir.x/my_seg1.pseg", "", &rc);
    ASSERT_EQ(rc, 0);
    std::vector<Parsed> fields = Parse(f);
    std::vector<uint32_t> ids;
    for (auto& p : fields)
        ids.push_back(p.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{BPS, NOP, BII, IOC, IID, IRD, EII, EPS}));
    const Bytes name = {0xD4, 0xE8, 0xE2, 0xC5, 0xC7, 0xF1, 0x40, 0x40};  // "MYSEG1"
    EXPECT_EQ(fields[0].data, name);
    EXPECT_EQ(fields[2].data, name);
    EXPECT_EQ(fields[7].data, name);
    const Bytes comment = {0xE6, 0x99, 0x89, 0xA3, 0xA3, 0x85, 0x95, 0x40, 0x82, 0xA8, 0x40, 0xE3, 0x99, 0x85,
                           0x93, 0xC3, 0x93, 0x89, 0x85, 0x95, 0xA3, 0xC8, 0x85, 0x93, 0x97, 0x85, 0x99};
    EXPECT_EQ(fields[1].data, comment);
    ASSERT_GE(fields[4].data.size(), 16u);
    EXPECT_EQ(Bytes(fields[4].data.begin() + 12, fields[4].data.begin() + 16), Be16s({24, 3}));
    EXPECT_EQ(fields[5].data.size(), 9u);

    // The width grows to 24 with white; the darker palette entry is what prints.
    for (bool swapped : {false, true}) {
        peer::Picture src = pic;
        src.palette[0] = swapped ? PaletteEntry{10, 10, 10} : PaletteEntry{250, 240, 230};
        src.palette[1] = swapped ? PaletteEntry{200, 255, 200} : PaletteEntry{0, 0, 90};
        f = WritePseg(src, "p.pse", "", &rc);
        ASSERT_EQ(rc, 0);
        Read r(f);
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.h.width, 24);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 24; ++x) {
                const int dark = x < 20 ? ((src.Rgb(x, y).green < 128) ? 1 : 0) : 0;
                ASSERT_EQ(r.Pixel(x, y), dark) << swapped << " " << x << "," << y;
            }
    }
}

TEST(PsegCodec, DoubleAndSizeLimits)
{
    peer::Picture pic = peer::MakePicture(5, 3, 1);
    int rc = -1;
    Bytes f = WritePseg(pic, "d.pse", "double", &rc);
    ASSERT_EQ(rc, 0);
    Read r(f);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.h.width, 16);
    ASSERT_EQ(r.h.height, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 16; ++x) {
            // MakePicture's entry 1 is the darker: it prints.
            const int want = x < 10 && pic.Rgb(x / 2, y / 2).red == pic.palette[1].red ? 1 : 0;
            ASSERT_EQ(r.Pixel(x, y), want) << x << "," << y;
        }

    peer::Picture tall = peer::MakePicture(2400, 100, 1);
    f = WritePseg(tall, "t.pse", "", &rc);
    ASSERT_EQ(rc, 0);
    int rasters = 0;
    for (auto& p : Parse(f))
        rasters += p.id == IRD ? 1 : 0;
    EXPECT_EQ(rasters, 4);  // 27 rows of 300 bytes per field
    Read t(f);
    ASSERT_EQ(t.rc, 0);
    EXPECT_EQ(t.rows, tall.rows);  // no padding at 2400 pixels, and entry 1 stays black

    struct {
        int w, h;
        const char* options;
        int rc;
    } limits[] = {{2401, 1, "", 6}, {1, 2401, "", 6}, {1201, 1, "double", 6}, {1200, 1200, "double", 0}};
    for (auto& l : limits) {
        peer::Picture p = peer::MakePicture(l.w, l.h, 1);
        WritePseg(p, "l.pse", l.options, &rc);
        EXPECT_EQ(rc, l.rc) << l.w << "x" << l.h << " " << l.options;
    }
    peer::Picture eight = peer::MakePicture(8, 8, 8);
    WritePseg(eight, "e.pse", "", &rc);
    EXPECT_EQ(rc, 2);
}
