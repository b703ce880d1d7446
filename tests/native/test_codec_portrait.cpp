#include <gtest/gtest.h>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kPortrait = 15;
constexpr size_t kPlane = 512 * 512;

std::vector<unsigned char> WritePortrait(const peer::Picture& pic, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("p.cvp", fd, kPortrait, &pic.header, pic.palette.data(), pic.rows.data(), "");
    return io.Data(fd);
}

} // namespace

TEST(PortraitCodec, ThreePlanesTopRowFirst)
{
    std::vector<unsigned char> file(3 * kPlane);
    for (size_t y = 0; y < 512; ++y)
        for (size_t x = 0; x < 512; ++x) {
            file[y * 512 + x] = uint8_t(x);              // red
            file[kPlane + y * 512 + x] = uint8_t(y);     // green
            file[2 * kPlane + y * 512 + x] = uint8_t(x ^ y);  // blue
        }
    ImageHeader h{};
    std::vector<PaletteEntry> pal(256, PaletteEntry{1, 2, 3});
    std::vector<unsigned char> rows;
    ASSERT_EQ(memio::ReadPicture(kPortrait, file.data(), file.size(), "", h, pal, rows), 0);
    ASSERT_EQ(h.width, 512);
    ASSERT_EQ(h.height, 512);
    ASSERT_EQ(h.bpp, 24);
    peer::Picture pic;
    pic.header = h;
    pic.rows = rows;
    for (auto [x, y] : std::initializer_list<std::pair<int, int>>{{0, 0}, {511, 0}, {3, 300}, {511, 511}}) {
        PaletteEntry c = pic.Rgb(x, y);
        EXPECT_EQ(c.red, uint8_t(x));
        EXPECT_EQ(c.green, uint8_t(y));
        EXPECT_EQ(c.blue, uint8_t(x ^ y));
    }
}

TEST(PortraitCodec, OnlyTheExactSizeReads)
{
    ImageHeader h{};
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    for (size_t size : {size_t(0), 3 * kPlane - 1, 3 * kPlane + 1, kPlane}) {
        std::vector<unsigned char> file(size, 5);
        EXPECT_EQ(memio::ReadPicture(kPortrait, file.data(), file.size(), "", h, pal, rows), 1800) << size;
    }
    // The file shrinks between the header and the data.
    memio::Scope io;
    std::vector<unsigned char> file(3 * kPlane, 5);
    int fd = io.Add(file);
    ASSERT_EQ(codec_read_header("p.cvp", fd, kPortrait, &h, ""), 0);
    io.Data(fd).resize(3 * kPlane - 10);
    rows.assign(512 * 1536, 0);
    EXPECT_EQ(codec_read_data(fd, kPortrait, &h, rows.data()), 7);
}

TEST(PortraitCodec, WriterLayoutRoundTripAndLimits)
{
    peer::Picture pic = peer::MakePicture(512, 512, 24, 3);
    int rc = -1;
    std::vector<unsigned char> file = WritePortrait(pic, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(file.size(), 3 * kPlane);
    PaletteEntry topLeft = pic.Rgb(0, 0), inner = pic.Rgb(17, 401);
    EXPECT_EQ(file[0], topLeft.red);
    EXPECT_EQ(file[kPlane], topLeft.green);
    EXPECT_EQ(file[2 * kPlane], topLeft.blue);
    EXPECT_EQ(file[2 * kPlane + 401 * 512 + 17], inner.blue);

    ImageHeader h{};
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    ASSERT_EQ(memio::ReadPicture(kPortrait, file.data(), file.size(), "", h, pal, rows), 0);
    EXPECT_EQ(rows, pic.rows);

    for (auto [w, hgt] : std::initializer_list<std::pair<int, int>>{{511, 512}, {512, 513}, {1, 1}}) {
        peer::Picture other = peer::MakePicture(w, hgt, 24);
        WritePortrait(other, &rc);
        EXPECT_EQ(rc, 1801) << w << "x" << hgt;
    }
    peer::Picture eight = peer::MakePicture(512, 512, 8);
    WritePortrait(eight, &rc);
    EXPECT_EQ(rc, 2);
}
