#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kKips = 9;

// KIPS needs real files beside each other. The folder's name lives in plain storage so that it is
// still there when the clean-up at exit runs.
char g_folder[] = "/tmp/trel-kips-XXXXXX";

std::string Path(const std::string& name)
{
    static bool made = [] {
        if (mkdtemp(g_folder) == nullptr)
            return false;
        std::atexit([] {
            if (std::system((std::string("rm -rf '") + g_folder + "'").c_str()) != 0) {
            }
        });
        return true;
    }();
    EXPECT_TRUE(made);
    return std::string(g_folder) + "/" + name;
}

std::vector<unsigned char> KipsHeader(unsigned width, unsigned height)
{
    std::vector<unsigned char> h = {'D', 'F', 'I', 'M', 'A', 'G', '0', '0',
                                    uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8)};
    h.resize(32, 0);
    return h;
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

TEST(KipsCodec, WritesPictureAndPalFileLaidOutAsDocumented)
{
    peer::Picture pic = peer::MakePicture(5, 3, 8, 4);
    const std::string path = Path("one.kps");
    ASSERT_EQ(peer::Save(path, pic), 0);
    std::vector<unsigned char> f = peer::ReadFileBytes(path);
    ASSERT_EQ(f.size(), 32u + 15);
    EXPECT_EQ(std::vector<unsigned char>(f.begin(), f.begin() + 32), KipsHeader(5, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(f[32 + size_t(y) * 5 + size_t(x)], pic.rows[size_t(2 - y) * pic.Stride() + size_t(x)]);
    std::vector<unsigned char> pal = peer::ReadFileBytes(Path("one.pal"));
    ASSERT_EQ(pal.size(), 768u);
    EXPECT_TRUE(pal[3 * 7] == pic.palette[7].red && pal[3 * 7 + 1] == pic.palette[7].green &&
                pal[3 * 7 + 2] == pic.palette[7].blue);

    peer::Picture back;
    ASSERT_EQ(peer::Load(path, back), 0);
    EXPECT_EQ(back.header.width, 5);
    EXPECT_EQ(back.header.bpp, 8);
    EXPECT_EQ(back.rows, pic.rows);
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(back.palette[i].red == pic.palette[i].red && back.palette[i].green == pic.palette[i].green &&
                    back.palette[i].blue == pic.palette[i].blue)
            << i;
}

TEST(KipsCodec, KplCompanionIsPlanarWithSignature)
{
    peer::Picture pic = peer::MakePicture(4, 2, 8, 9);
    const std::string path = Path("Two.KPS");
    ASSERT_EQ(peer::Save(path, pic, "kpl"), 0);
    std::vector<unsigned char> kpl = peer::ReadFileBytes(Path("Two.KPL"));
    ASSERT_EQ(kpl.size(), 32u + 768);
    EXPECT_EQ(std::vector<unsigned char>(kpl.begin(), kpl.begin() + 32), KipsHeader(256, 3));
    EXPECT_TRUE(kpl[32 + 9] == pic.palette[9].red && kpl[32 + 256 + 9] == pic.palette[9].green &&
                kpl[32 + 512 + 9] == pic.palette[9].blue);
    EXPECT_FALSE(Exists(Path("Two.PAL")));

    peer::Picture back;
    ASSERT_EQ(peer::Load(path, back, "KPL"), 0);
    EXPECT_EQ(back.palette[9].green, pic.palette[9].green);
    EXPECT_EQ(back.rows, pic.rows);
    EXPECT_EQ(peer::Load(path, back), 500);  // looks for Two.PAL
    EXPECT_EQ(peer::Load(path, back, "pal kpl"), 3);

    kpl[0] = 'X';
    peer::WriteFileBytes(Path("Two.KPL"), kpl);
    EXPECT_EQ(peer::Load(path, back, "kpl"), 5);
    kpl[0] = 'D';
    kpl.resize(700);
    peer::WriteFileBytes(Path("Two.KPL"), kpl);
    EXPECT_EQ(peer::Load(path, back, "kpl"), 7);
}

TEST(KipsCodec, CompanionNameFollowsThePictureName)
{
    peer::Picture pic = peer::MakePicture(2, 2, 8);
    ASSERT_EQ(peer::Save(Path("lower.kps"), pic), 0);
    EXPECT_TRUE(Exists(Path("lower.pal")));
    ASSERT_EQ(peer::Save(Path("Mixed.Kps"), pic), 0);
    EXPECT_TRUE(Exists(Path("Mixed.PAL")));

    // Without an extension the format cannot be guessed: call the codec directly.
    const std::string bare = Path("bare");
    int fd = codec_io_create(bare.c_str(), codec_mode_write_binary());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(codec_write(bare.c_str(), fd, kKips, &pic.header, pic.palette.data(), pic.rows.data(), "kpl"), 0);
    codec_io_close(fd);
    EXPECT_TRUE(Exists(bare + ".KPL"));
}

TEST(KipsCodec, CompanionErrorsAndHeaderChecks)
{
    peer::Picture pic = peer::MakePicture(3, 2, 8);
    {
        memio::Scope io;  // memio can neither open nor create other files
        int out = io.Add(nullptr, 0);
        EXPECT_EQ(codec_write("m.kps", out, kKips, &pic.header, pic.palette.data(), pic.rows.data(), ""), 501);
        std::vector<unsigned char> file = KipsHeader(3, 2);
        file.resize(38, 1);
        int in = io.Add(file);
        ImageHeader h{};
        EXPECT_EQ(codec_read_header("m.kps", in, kKips, &h, ""), 500);
    }
    peer::Picture four = peer::MakePicture(3, 2, 4);
    EXPECT_EQ(peer::Save(Path("four.kps"), four), 2);
    EXPECT_EQ(peer::Save(Path("both.kps"), pic, "kpl,pal"), 3);

    const std::string path = Path("three.kps");
    ASSERT_EQ(peer::Save(path, pic), 0);
    std::vector<unsigned char> good = peer::ReadFileBytes(path);
    peer::Picture back;
    std::vector<unsigned char> bad = good;
    bad[1] = 'x';
    peer::WriteFileBytes(path, bad);
    EXPECT_EQ(peer::Load(path, back), 5);
    bad = good;
    bad[8] = 0;  // width 0
    peer::WriteFileBytes(path, bad);
    EXPECT_EQ(peer::Load(path, back), 6);
    peer::WriteFileBytes(path, std::vector<unsigned char>(good.begin(), good.end() - 1));
    EXPECT_EQ(peer::Load(path, back), 7);
    peer::WriteFileBytes(path, good);
    std::vector<unsigned char> pal = peer::ReadFileBytes(Path("three.pal"));
    peer::WriteFileBytes(Path("three.pal"), std::vector<unsigned char>(pal.begin(), pal.end() - 1));
    EXPECT_EQ(peer::Load(path, back), 7);
    peer::WriteFileBytes(Path("three.pal"), pal);
    ASSERT_EQ(peer::Load(path, back), 0);

    // The palette file disappears between the header and the palette.
    int fd = codec_io_open(path.c_str(), codec_mode_read_binary());
    ASSERT_GE(fd, 0);
    ImageHeader h{};
    ASSERT_EQ(codec_read_header(path.c_str(), fd, kKips, &h, ""), 0);
    std::remove(Path("three.pal").c_str());
    std::vector<PaletteEntry> entries(256);
    EXPECT_EQ(codec_read_palette(fd, kKips, &h, entries.data()), 500);
    codec_io_close(fd);

    // A companion name too long for the header's private area is refused, not cut short.
    std::string longName = Path(std::string(240, 'n') + ".kps");
    memio::Scope io;
    std::vector<unsigned char> file = KipsHeader(3, 2);
    file.resize(38, 1);
    int in = io.Add(file);
    EXPECT_EQ(codec_read_header(longName.c_str(), in, kKips, &h, ""), 500);
}
