#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kIlbm = 5;
using Bytes = std::vector<unsigned char>;
using Rows = std::vector<std::vector<int>>;

Bytes Be(std::initializer_list<uint32_t> values, int width)
{
    Bytes b;
    for (uint32_t v : values)
        for (int k = width - 1; k >= 0; --k)
            b.push_back(uint8_t(v >> (8 * k)));
    return b;
}
Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
uint32_t Get(const Bytes& v, size_t at, int width)
{
    uint32_t x = 0;
    for (int k = 0; k < width; ++k)
        x = (x << 8) | v[at + size_t(k)];
    return x;
}

Bytes Chunk(const char* id, const Bytes& data)
{
    Bytes c = Bytes(id, id + 4) + Be({uint32_t(data.size())}, 4) + data;
    if (data.size() & 1)
        c.push_back(0);
    return c;
}
Bytes Bmhd(int w, int h, int planes, int masking = 0, int compression = 0)
{
    return Be({uint32_t(w), uint32_t(h), 0, 0}, 2) + Bytes{uint8_t(planes), uint8_t(masking), uint8_t(compression), 0, 0, 0, 1, 1} +
           Be({uint32_t(w), uint32_t(h)}, 2);
}
Bytes Cmap(const std::vector<PaletteEntry>& colours)
{
    Bytes b;
    for (const PaletteEntry& c : colours)
        b.insert(b.end(), {c.red, c.green, c.blue});
    return b;
}
// Uncompressed planes of rows of pixel values (plane p holds bit p), then a mask plane if asked.
Bytes Planar(const Rows& rows, int planes, int maskByte = -1)
{
    Bytes out;
    for (const auto& row : rows) {
        size_t rowBytes = (row.size() + 15) / 16 * 2;
        for (int p = 0; p < planes; ++p) {
            Bytes r(rowBytes, 0);
            for (size_t x = 0; x < row.size(); ++x)
                r[x / 8] |= uint8_t(((row[x] >> p) & 1) << (7 - x % 8));
            out = out + r;
        }
        if (maskByte >= 0)
            out.insert(out.end(), rowBytes, uint8_t(maskByte));
    }
    return out;
}
Bytes Form(const std::vector<Bytes>& chunks, const char* type = "ILBM")
{
    Bytes body(type, type + 4);
    for (const Bytes& c : chunks)
        body = body + c;
    return Bytes{'F', 'O', 'R', 'M'} + Be({uint32_t(body.size())}, 4) + body;
}

struct Read {
    int rc = -1;
    ImageHeader header{};
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    PaletteEntry At(int x, int y) const
    {
        peer::Picture p;
        p.header = header;
        p.rows = rows;
        p.palette = palette;
        return p.Rgb(x, y);
    }
};

Read ReadBytes(const Bytes& file)
{
    Read r;
    r.rc = memio::ReadPicture(kIlbm, file.data(), file.size(), "", r.header, r.palette, r.rows);
    return r;
}

Bytes WriteBytes(const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("x.iff", fd, kIlbm, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

bool Same(const PaletteEntry& a, const PaletteEntry& b)
{
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// ilbmtoppm's decode of a file, at maxval 255.
bool PeerDecode(const std::string& iff, peer::Rgb& out)
{
    std::string ppm = iff + ".peer.ppm";
    return peer::Run("(ilbmtoppm " + iff + " | pamdepth 255 > " + ppm + ")") && peer::ReadPnm(ppm, out);
}

// ---- peer cross-checks ----

TEST(IlbmPeer, ReadsWhatPpmtoilbmWrites)
{
    struct Case {
        const char* name;
        int sourceBpp;
        const char* options;
        int bpp;
    } cases[] = {{"two", 1, "", 1},       {"sixteen", 4, "", 4},   {"raw16", 4, "-nocompress", 4},
                 {"three", 1, "-fp 3", 4}, {"aga", 8, "-aga", 8},   {"six", 4, "-fp 6", 8},
                 {"ham6", 24, "-ham6", 24}, {"ham8", 24, "-ham8", 24}, {"deep", 24, "-24force", 24},
                 {"rawdeep", 24, "-24force -nocompress", 24}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer::Picture src = peer::MakePicture(77, 23, c.sourceBpp, 5);
        std::string ppm = peer::Path(std::string(c.name) + ".ppm"), iff = ppm + ".iff";
        peer::WritePpm(ppm, src);
        ASSERT_TRUE(peer::Run(std::string("(ppmtoilbm ") + c.options + " " + ppm + " > " + iff + ")"));
        peer::Picture ours;
        ASSERT_EQ(peer::Load(iff, ours), 0);
        EXPECT_EQ(ours.header.bpp, c.bpp);
        peer::Rgb ref;
        ASSERT_TRUE(PeerDecode(iff, ref));
        EXPECT_EQ(peer::CountDifferences(ours, ref), 0);
    }
}

TEST(IlbmPeer, PeerReadsWhatWeWrite)
{
    struct Case {
        int bpp;
        const char* options;
    } cases[] = {{1, ""}, {4, "xscreen=640 yscreen=512"}, {8, "transcol=7,xpos=-3,ypos=9,xaspect=10"}, {24, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bpp);
        peer::Picture src = peer::MakePicture(45, 19, c.bpp, 3);
        std::string iff = peer::Path("ours" + std::to_string(c.bpp) + ".iff");
        ASSERT_EQ(peer::Save(iff, src, c.options), 0);
        peer::Rgb ref;
        ASSERT_TRUE(PeerDecode(iff, ref));
        EXPECT_EQ(peer::CountDifferences(src, ref), 0);
        peer::Picture back;
        ASSERT_EQ(peer::Load(iff, back), 0);
        EXPECT_EQ(back.header.bpp, c.bpp);
        EXPECT_EQ(peer::CountDifferences(back, ref), 0);
    }
}

// HAM6 is lossy: the peer must see what we see, and that must be close to the picture.
TEST(IlbmPeer, Ham6WriterAgreesWithPeerAndStaysClose)
{
    for (int bpp : {24, 8}) {
        SCOPED_TRACE(bpp);
        peer::Picture src = peer::MakePicture(120, 40, bpp, 9);
        std::string iff = peer::Path("ham" + std::to_string(bpp) + ".iff");
        ASSERT_EQ(peer::Save(iff, src, "ham6"), 0);
        peer::Picture ours;
        ASSERT_EQ(peer::Load(iff, ours), 0);
        ASSERT_EQ(ours.header.bpp, 24);
        peer::Rgb ref;
        ASSERT_TRUE(PeerDecode(iff, ref));
        EXPECT_EQ(peer::CountDifferences(ours, ref), 0);
        double sum = 0;
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 120; ++x) {
                PaletteEntry a = ours.Rgb(x, y), b = src.Rgb(x, y);
                sum += std::abs(a.red - b.red) + std::abs(a.green - b.green) + std::abs(a.blue - b.blue);
            }
        // Noise columns make HAM fringe; a wrong channel or register shows as far more.
        EXPECT_LT(sum / (120 * 40 * 3), 20.0);
    }
    // A smooth ramp comes out within one modify step.
    peer::Picture ramp;
    ramp.header = ImageHeader{64, 2, 24, {}};
    for (int i = 0; i < 128; ++i)
        ramp.rows.insert(ramp.rows.end(), {uint8_t(i % 64 * 4), 0x88, uint8_t(255 - i % 64 * 4)});
    int rc = 0;
    Read r = ReadBytes(WriteBytes(ramp, "ham6", &rc));
    ASSERT_EQ(r.rc, 0);
    for (int x = 0; x < 64; ++x) {
        PaletteEntry c = r.At(x, 1);
        EXPECT_LE(std::abs(c.blue - x * 4) + std::abs(c.red - (255 - x * 4)) + std::abs(c.green - 0x88), 24) << x;
    }
}

// ---- files built by hand ----

TEST(IlbmLayout, WriterFieldsAndSizes)
{
    peer::Picture src = peer::MakePicture(21, 3, 4, 2);
    int rc = 0;
    Bytes f = WriteBytes(src, "xpos=-2 ypos=300 xaspect=10 yaspect=11 xscreen=320 yscreen=256 transcol=5", &rc);
    ASSERT_EQ(rc, 0);
    // FORM, BMHD (x -2, 4 planes, transparent colour 5 masking, ByteRun1), CMAP of 16.
    Bytes head = Bytes{'F', 'O', 'R', 'M'} + Be({uint32_t(f.size() - 8)}, 4) + Bytes{'I', 'L', 'B', 'M'} +
                 Chunk("BMHD", Be({21, 3, 0xFFFE, 300}, 2) + Bytes{4, 2, 1, 0} + Be({5}, 2) + Bytes{10, 11} +
                                   Be({320, 256}, 2)) +
                 Chunk("CMAP", Cmap(std::vector<PaletteEntry>(src.palette.begin(), src.palette.begin() + 16)));
    ASSERT_GT(f.size(), head.size() + 8);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + long(head.size())), head);
    EXPECT_EQ(std::string(f.begin() + 96, f.begin() + 100), "BODY");
    uint32_t body = Get(f, 100, 4);
    EXPECT_EQ(f.size(), 104 + body + (body & 1));

    // HAM6 adds CAMG and a 16-register CMAP whose register 0 is black.
    Bytes ham = WriteBytes(peer::MakePicture(8, 2, 24), "ham6", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ham[28], 6);
    EXPECT_EQ(Get(ham, 44, 4), 48u);
    EXPECT_EQ(Get(ham, 48, 3), 0u);
    EXPECT_EQ(Bytes(ham.begin() + 96, ham.begin() + 108), Chunk("CAMG", Be({0x800}, 4)));
    EXPECT_EQ(Get(ham, 4, 4), ham.size() - 8);
}

TEST(IlbmLayout, HoldAndModifyFromRegisterZero)
{
    std::vector<PaletteEntry> regs(16);
    for (int i = 0; i < 16; ++i)
        regs[size_t(i)] = PaletteEntry{uint8_t(i * 16 + 3), uint8_t(200 - i), uint8_t(i * 7)};
    // modify blue to 15, red to 8, register 1, modify green to 1, blue to 0
    Read r = ReadBytes(Form({Chunk("BMHD", Bmhd(5, 1, 6)), Chunk("CMAP", Cmap(regs)), Chunk("CAMG", Be({0x800}, 4)),
                             Chunk("BODY", Planar({{0x1F, 0x28, 0x01, 0x31, 0x10}}, 6))}));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 24);
    // Register 0 is (3, 200, 0); a modify keeps the channel's low four bits.
    const PaletteEntry ham6[] = {{3, 200, 0xF0}, {0x83, 200, 0xF0}, {19, 199, 7}, {19, 0x17, 7}, {19, 0x17, 0x07}};
    for (int x = 0; x < 5; ++x)
        EXPECT_TRUE(Same(r.At(x, 0), ham6[x])) << x;

    // HAM8: six value bits replace the top of the channel.
    r = ReadBytes(Form({Chunk("BMHD", Bmhd(4, 1, 8)), Chunk("CMAP", Cmap(std::vector<PaletteEntry>(64, {0x41, 0x82, 0xC3}))),
                        Chunk("CAMG", Be({0x804}, 4)), Chunk("BODY", Planar({{0x40 | 63, 0x80 | 1, 0xC0 | 32, 5}}, 8))}));
    ASSERT_EQ(r.rc, 0);
    const PaletteEntry ham8[] = {{0x41, 0x82, 0xFF}, {0x05, 0x82, 0xFF}, {0x05, 0x82, 0xFF}, {0x41, 0x82, 0xC3}};
    for (int x = 0; x < 4; ++x)
        EXPECT_TRUE(Same(r.At(x, 0), ham8[x])) << x;
}

TEST(IlbmLayout, HalfbriteMaskPlaneAndGreyRamp)
{
    std::vector<PaletteEntry> regs(32);
    for (int i = 0; i < 32; ++i)
        regs[size_t(i)] = PaletteEntry{uint8_t(i * 8 + 1), uint8_t(255 - i * 8), uint8_t(i * 3)};
    // EHB with a mask plane of all ones, which must not leak into the pixels.
    Read r = ReadBytes(Form({Chunk("BMHD", Bmhd(5, 2, 6, 1)), Chunk("CMAP", Cmap(regs)), Chunk("CAMG", Be({0x80}, 4)),
                             Chunk("BODY", Planar({{0, 31, 32, 63, 45}, {1, 2, 3, 33, 34}}, 6, 0xFF))}));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 8);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_TRUE(Same(r.palette[i], regs[i]));
        EXPECT_TRUE(Same(r.palette[32 + i], PaletteEntry{uint8_t(regs[i].red / 2), uint8_t(regs[i].green / 2),
                                                         uint8_t(regs[i].blue / 2)}));
    }
    EXPECT_EQ(Bytes(r.rows.begin() + 8, r.rows.begin() + 13), (Bytes{0, 31, 32, 63, 45}));
    EXPECT_EQ(Bytes(r.rows.begin(), r.rows.begin() + 5), (Bytes{1, 2, 3, 33, 34}));

    // Without CMAP: a grey ramp; a short CMAP (with a stray byte) leaves the rest black.
    r = ReadBytes(Form({Chunk("BMHD", Bmhd(3, 1, 3)), Chunk("BODY", Planar({{0, 3, 7}}, 3))}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 4);
    EXPECT_TRUE(Same(r.palette[3], PaletteEntry{109, 109, 109}));
    EXPECT_TRUE(Same(r.palette[7], PaletteEntry{255, 255, 255}));
    r = ReadBytes(Form({Chunk("BMHD", Bmhd(3, 1, 5)), Chunk("CMAP", Bytes{1, 2, 3, 4, 5, 6, 7}),
                        Chunk("BODY", Planar({{0, 1, 31}}, 5))}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 8);
    EXPECT_TRUE(Same(r.At(1, 0), PaletteEntry{4, 5, 6}));
    EXPECT_TRUE(Same(r.At(2, 0), PaletteEntry{0, 0, 0}));
}

TEST(IlbmLayout, ShamLinePalettes)
{
    // Two lines of HAM6, each with its own registers 0..15 (0x0RGB words).
    Bytes sham = Be({0}, 2);
    for (uint32_t line = 0; line < 2; ++line)
        for (uint32_t i = 0; i < 16; ++i)
            sham = sham + Be({line == 0 ? i << 8 : i}, 2);
    Rows rows = {{3, 0x2F}, {3, 0x10 | 5}};
    auto file = [&] {
        return Form({Chunk("BMHD", Bmhd(2, 2, 6)), Chunk("CAMG", Be({0x800}, 4)), Chunk("SHAM", sham),
                     Chunk("BODY", Planar(rows, 6))});
    };
    Read r = ReadBytes(file());
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.header.bpp, 24);
    EXPECT_TRUE(Same(r.At(0, 0), PaletteEntry{0x33, 0, 0}));
    EXPECT_TRUE(Same(r.At(1, 0), PaletteEntry{0xF3, 0, 0}));
    EXPECT_TRUE(Same(r.At(0, 1), PaletteEntry{0, 0, 0x33}));
    EXPECT_TRUE(Same(r.At(1, 1), PaletteEntry{0, 0, 0x53}));
    sham[1] = 1;
    EXPECT_EQ(ReadBytes(file()).rc, 909);

    // A SHAM that covers half the lines serves line pairs; a 4-plane picture becomes 24-bit.
    Bytes half = Be({0}, 2);
    for (int i = 0; i < 16; ++i)
        half = half + Be({0x0F0}, 2);
    r = ReadBytes(Form({Chunk("BMHD", Bmhd(1, 2, 4)), Chunk("SHAM", half), Chunk("BODY", Planar({{2}, {9}}, 4))}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.header.bpp, 24);
    EXPECT_TRUE(Same(r.At(0, 1), PaletteEntry{0, 255, 0}));
}

TEST(IlbmLayout, ChunkWalkByteRun1AndDeepPlanes)
{
    // An odd-sized unknown chunk (padded) before BMHD; ByteRun1 with a no-op and a run that
    // carries on from one row into the next; a chunk after BODY.
    Bytes body = {0x80, 0xFE, 0xAA, 0x00, 0x0F};  // no-op, 3 x AA (row 0 and the first of row 1), 0F
    Read r = ReadBytes(Form({Chunk("ANNO", Bytes{'h', 'i', '!'}), Chunk("BMHD", Bmhd(16, 2, 1, 0, 1)),
                             Chunk("CMAP", Bytes{0, 0, 0, 255, 255, 255}), Chunk("BODY", body), Chunk("DPI ", Bytes(4))}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(Bytes(r.rows.begin(), r.rows.begin() + 6), (Bytes{0xAA, 0x0F, 0, 0, 0xAA, 0xAA}));

    // 24 planes: red planes first, least significant bit first.
    r = ReadBytes(Form({Chunk("BMHD", Bmhd(2, 1, 24)), Chunk("BODY", Planar({{0x563412, 0xA000FF}}, 24))}));
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(Same(r.At(0, 0), PaletteEntry{0x12, 0x34, 0x56}));
    EXPECT_TRUE(Same(r.At(1, 0), PaletteEntry{0xFF, 0x00, 0xA0}));
}

// ---- errors ----

TEST(IlbmErrors, HeaderCodes)
{
    Bytes bmhd = Chunk("BMHD", Bmhd(4, 1, 2)), body = Chunk("BODY", Planar({{0, 1, 2, 3}}, 2));
    Bytes ham = Chunk("CAMG", Be({0x800}, 4));
    struct Case {
        const char* what;
        Bytes file;
        int rc;
    } cases[] = {
        {"not FORM", Bytes{'L', 'I', 'S', 'T', 0, 0, 0, 4, 'I', 'L', 'B', 'M'}, 900},
        {"PBM form", Form({bmhd, body}, "PBM "), 901},
        {"two BMHD", Form({bmhd, bmhd, body}), 902},
        {"no BMHD", Form({body}), 903},
        {"BMHD short", Form({Chunk("BMHD", Bytes(18, 0)), body}), 904},
        {"no planes", Form({Chunk("BMHD", Bmhd(4, 1, 0)), body}), 905},
        {"12 planes", Form({Chunk("BMHD", Bmhd(4, 1, 12)), body}), 905},
        {"HAM 9 planes", Form({Chunk("BMHD", Bmhd(4, 1, 9)), ham, body}), 905},
        {"CMAP empty", Form({bmhd, Chunk("CMAP", Bytes()), body}), 906},
        {"CMAP 257", Form({bmhd, Chunk("CMAP", Bytes(771, 1)), body}), 906},
        {"compression 2", Form({Chunk("BMHD", Bmhd(4, 1, 2, 0, 2)), body}), 907},
        {"CAMG short", Form({bmhd, Chunk("CAMG", Bytes(2, 0)), body}), 908},
        {"width 0", Form({Chunk("BMHD", Bmhd(0, 1, 2)), body}), 6},
        {"no BODY", Form({bmhd}), 7},
        {"BODY short of its rows", Form({Chunk("BMHD", Bmhd(16, 4, 1)), Chunk("BODY", Bytes(6, 1)), Chunk("XTRA", Bytes(64))}), 7},
        {"empty", Bytes(), 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadBytes(c.file).rc, c.rc) << c.what;
}

TEST(IlbmErrors, TruncatedAndChangedFiles)
{
    for (int bpp : {1, 4, 8, 24}) {
        int rc = 0;
        Bytes whole = WriteBytes(peer::MakePicture(33, 9, bpp, 4), "", &rc);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(ReadBytes(whole).rc, 0);
        for (size_t cut = 0; cut + 1 < whole.size(); ++cut) {
            int got = ReadBytes(Bytes(whole.begin(), whole.begin() + long(cut))).rc;
            EXPECT_TRUE(got == 7 || got == 903) << bpp << " cut at " << cut << " gave " << got;
        }
    }
    // The palette and data readers re-read the file: one that changed under them is an error.
    int rc = 0;
    Bytes file = WriteBytes(peer::MakePicture(20, 6, 8), "", &rc);
    memio::Scope io;
    int fd = io.Add(file);
    ImageHeader h{};
    ASSERT_EQ(codec_read_header("x.iff", fd, kIlbm, &h, ""), 0);
    io.Data(fd).resize(30);
    std::vector<PaletteEntry> pal(256);
    EXPECT_EQ(codec_read_palette(fd, kIlbm, &h, pal.data()), 7);
    std::vector<unsigned char> rows(codec_stride(h.width, h.bpp) * size_t(h.height));
    EXPECT_EQ(codec_read_data(fd, kIlbm, &h, rows.data()), 7);
    ImageHeader fresh{};
    EXPECT_EQ(codec_read_data(fd, kIlbm, &fresh, rows.data()), 9);
}

TEST(IlbmErrors, WriterRefusals)
{
    peer::Picture p4 = peer::MakePicture(10, 4, 4), p24 = peer::MakePicture(10, 4, 24);
    int rc = 0;
    for (const char* bad : {"xpos=40000", "ypos=-40000", "xaspect=256", "yaspect=-1", "xscreen=0", "yscreen=70000",
                            "transcol=16", "transcol=x", "xpos="}) {
        WriteBytes(p4, bad, &rc);
        EXPECT_EQ(rc, 3) << bad;
    }
    WriteBytes(p24, "transcol=0", &rc);  // 24 planes have no registers
    EXPECT_EQ(rc, 3);
    WriteBytes(p24, "ham6 transcol=15", &rc);
    EXPECT_EQ(rc, 0);
    p4.header.bpp = 2;
    WriteBytes(p4, "", &rc);
    EXPECT_EQ(rc, 2);
    memio::Scope io;
    for (long limit : {0L, 20L, 100L}) {
        int fd = io.Add(nullptr, 0, limit);
        EXPECT_EQ(codec_write("x.iff", fd, kIlbm, &p24.header, nullptr, p24.rows.data(), ""), 8) << limit;
    }
}

} // namespace
