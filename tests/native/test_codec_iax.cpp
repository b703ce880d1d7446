#include <gtest/gtest.h>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kIax = 10;

std::vector<unsigned char> WriteIax(const peer::Picture& pic, const char* options, int* rc)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    *rc = codec_write("pic.iax", fd, kIax, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

} // namespace

TEST(IaxCodec, HeaderlessRowsTopDownOverGreyRamp)
{
    const std::vector<unsigned char> file = {10, 20, 30, 40, 50, 60};
    ImageHeader h{};
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    ASSERT_EQ(memio::ReadPicture(kIax, file.data(), file.size(), "width=3", h, pal, rows), 0);
    EXPECT_EQ(h.width, 3);
    EXPECT_EQ(h.height, 2);
    EXPECT_EQ(h.bpp, 8);
    // The first file row is the top row: the last bitmap row.
    EXPECT_EQ(std::vector<unsigned char>(rows.begin(), rows.begin() + 3), (std::vector<unsigned char>{40, 50, 60}));
    EXPECT_EQ(std::vector<unsigned char>(rows.begin() + 4, rows.begin() + 7), (std::vector<unsigned char>{10, 20, 30}));
    EXPECT_EQ(rows[3], 0);  // padding cleared
    for (int i : {0, 77, 255})
        EXPECT_TRUE(pal[i].red == i && pal[i].green == i && pal[i].blue == i);

    // Without the option rows are 512 wide.
    std::vector<unsigned char> big(1024, 7);
    ASSERT_EQ(memio::ReadPicture(kIax, big.data(), big.size(), "", h, pal, rows), 0);
    EXPECT_EQ(h.width, 512);
    EXPECT_EQ(h.height, 2);
}

TEST(IaxCodec, LengthAndOptionErrors)
{
    ImageHeader h{};
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    auto read = [&](size_t length, const char* options) {
        std::vector<unsigned char> file(length, 1);
        return memio::ReadPicture(kIax, file.data(), file.size(), options, h, pal, rows);
    };
    EXPECT_EQ(read(7, "width=3"), 1500);
    EXPECT_EQ(read(7, ""), 1500);
    EXPECT_EQ(read(0, "width=3"), 6);
    EXPECT_EQ(read(65536, "width=1"), 6);  // too tall
    for (const char* bad : {"width=0", "width=-3", "width=abc", "width=65536"})
        EXPECT_EQ(read(7, bad), 3) << bad;
    EXPECT_EQ(read(7, "width=7"), 0);
}

TEST(IaxCodec, DataReaderChecksTheFileAgain)
{
    memio::Scope io;
    std::vector<unsigned char> file(12, 9);
    int fd = io.Add(file);
    ImageHeader h{};
    ASSERT_EQ(codec_read_header("x.iax", fd, kIax, &h, "width=4"), 0);
    io.Data(fd).resize(10);
    std::vector<unsigned char> rows(codec_stride(h.width, 8) * size_t(h.height));
    EXPECT_EQ(codec_read_data(fd, kIax, &h, rows.data()), 7);
}

TEST(IaxCodec, GreyWriterTakesChannelOrLuminance)
{
    peer::Picture pic = peer::MakePicture(5, 2, 8);
    for (int i = 0; i < 256; ++i)
        pic.palette[i] = PaletteEntry{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)};
    const int index = pic.rows[0];  // bottom-left pixel: first byte of the last file row
    struct {
        const char* options;
        int expected;
    } cases[] = {{"", (index * 77 + (255 - index) * 150 + (index / 2) * 29) / 256},
                 {"K", (index * 77 + (255 - index) * 150 + (index / 2) * 29) / 256},
                 {"r", index},
                 {"g", 255 - index},
                 {"b", index / 2}};
    for (auto& c : cases) {
        int rc = -1;
        std::vector<unsigned char> file = WriteIax(pic, c.options, &rc);
        ASSERT_EQ(rc, 0) << c.options;
        ASSERT_EQ(file.size(), 10u);  // no header, no padding
        EXPECT_EQ(file[5], c.expected) << c.options;
    }
    int rc = -1;
    WriteIax(pic, "r,g", &rc);
    EXPECT_EQ(rc, 3);
    WriteIax(pic, "k b", &rc);
    EXPECT_EQ(rc, 3);
    peer::Picture four = peer::MakePicture(5, 2, 4);
    WriteIax(four, "", &rc);
    EXPECT_EQ(rc, 2);
}
