#include <gtest/gtest.h>

#include <set>
#include <string>

#include "codecs/codec.h"
#include "codecs/codec_internal.h"
#include "support/memio.h"

TEST(CodecFormats, GuessByExtension)
{
    int f = -1;
    for (const char* name : {"photo.JPG", "photo.jpeg", "Photo.Jpe", "C:\\x.y\\photo.jpg"}) {
        EXPECT_EQ(codec_guess_format(name, &f), 0) << name;
        EXPECT_EQ(f, 16) << name;
    }
    for (const char* name : {"photo", "photo.xyz", "C:\\dir.jpg\\photo", "dir.bmp/photo", "photo.", ""})
        EXPECT_EQ(codec_guess_format(name, &f), 4) << name;
    EXPECT_EQ(codec_guess_format(nullptr, &f), 9);
    EXPECT_EQ(codec_guess_format("a.bmp", nullptr), 9);

    // Every extension of every format leads back to its own format, whatever the case.
    for (int format = 0; format < CODEC_FORMAT_COUNT; ++format) {
        FormatInfo info{};
        ASSERT_EQ(codec_query_format(format, &info), 0);
        std::string list = info.extensions;
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find(' ', start);
            std::string ext = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
            std::string lower = ext;
            for (char& c : lower)
                c = char(tolower(c));
            EXPECT_EQ(codec_guess_format(("x." + lower).c_str(), &f), 0);
            EXPECT_EQ(f, format) << ext;
            start = end == std::string::npos ? list.size() : end + 1;
        }
    }
    EXPECT_EQ(codec_guess_format("p.pseg3820", &f), 0);
    EXPECT_EQ(f, 13);
    EXPECT_EQ(codec_guess_format("p.sprite", &f), 0);
    EXPECT_EQ(f, 12);
}

TEST(CodecFormats, TableNamesFlagsAndTexts)
{
    struct Row {
        const char* shortName;
        unsigned flags;
        int firstCode, lastCode;
    } rows[] = {{"Bitmap", 0xFF, 300, 304},   {"GIF", 0x77, 1100, 1104},   {"PCX", 0xFF, 700, 703},
                {"TIFF", 0xFF, 800, 829},     {"Targa", 0xCC, 400, 402},   {"ILBM", 0xFF, 900, 909},
                {"YUV12C", 0x88, 1000, 1000}, {"Greymap", 0x44, 100, 100}, {"Pixmap", 0x88, 200, 200},
                {"KIPS", 0x44, 500, 501},     {"IAX", 0x44, 1500, 1500},   {"XBitmap", 0x11, 1300, 1310},
                {"Sprite", 0x77, 1400, 1403}, {"PSEG", 0x11, 1600, 1607},  {"GemRas", 0xFF, 1700, 1707},
                {"Portrait", 0x88, 1800, 1801}, {"JPEG", 0x8C, 1900, 1900}};
    std::set<std::string> longNames;
    for (int format = 0; format < CODEC_FORMAT_COUNT; ++format) {
        FormatInfo info{};
        ASSERT_EQ(codec_query_format(format, &info), 0);
        EXPECT_STREQ(info.shortName, rows[format].shortName);
        EXPECT_EQ(info.flags, rows[format].flags) << info.shortName;
        EXPECT_TRUE(longNames.insert(info.longName).second);
        for (int code = rows[format].firstCode; code <= rows[format].lastCode; ++code) {
            if (format == 3 && code == 820)
                EXPECT_EQ(codec_error_text(format, code), nullptr);
            else
                EXPECT_NE(codec_error_text(format, code), nullptr) << info.shortName << " " << code;
        }
        EXPECT_EQ(codec_error_text(format, rows[format].lastCode + 1), nullptr);
        EXPECT_EQ(codec_error_text(format, 5), nullptr);  // common codes have no format text
    }
    EXPECT_STREQ(codec_error_text(0, 302), "cbFix bad");
    EXPECT_STREQ(codec_error_text(3, 822), "PhotometricInterpreation tag is Y-Cb-Cr colour space, not supported");
    EXPECT_STREQ(codec_error_text(11, 1303), "expected[");
    EXPECT_STREQ(codec_error_text(16, 1900), "quality is not in 0..100");
    FormatInfo info{};
    EXPECT_EQ(codec_query_format(17, &info), 9);
    EXPECT_EQ(codec_query_format(-1, &info), 9);
    EXPECT_EQ(codec_error_text(17, 300), nullptr);
    EXPECT_STREQ(codec_common_error_text(7), "read error or unexpected end of file");
}

TEST(CodecOptions, TokensFlagsAndValues)
{
    CodecOptions o;
    ASSERT_EQ(o.Parse("  quality=80,PROG\tindex=2 transcol=edge,,"), 0);
    EXPECT_TRUE(o.Flag("prog"));
    EXPECT_FALSE(o.Flag("pro"));
    long v = 0;
    EXPECT_TRUE(o.Number("quality=", &v));
    EXPECT_EQ(v, 80);
    EXPECT_TRUE(o.Number("INDEX=", &v));
    EXPECT_EQ(v, 2);
    EXPECT_STREQ(o.Text("transcol="), "edge");
    EXPECT_FALSE(o.Number("transcol=", &v));
    EXPECT_FALSE(o.Number("xpos=", &v));
    // The first matching token wins.
    ASSERT_EQ(o.Parse("quality=10 quality=90"), 0);
    EXPECT_TRUE(o.Number("quality=", &v));
    EXPECT_EQ(v, 10);
    EXPECT_EQ(o.CountFlags({"inv", "invb"}), 0);
    ASSERT_EQ(o.Parse("inv invb"), 0);
    EXPECT_EQ(o.CountFlags({"inv", "invb", "darkfg"}), 2);

    // The work buffer holds 103 characters and the terminating zero; longer texts are refused.
    std::string fits(103, 'x'), tooLong(104, 'x');
    EXPECT_EQ(o.Parse(fits.c_str()), 0);
    EXPECT_TRUE(o.Flag(fits.c_str()));
    EXPECT_EQ(o.Parse(tooLong.c_str()), 3);
    EXPECT_EQ(o.Parse(nullptr), 0);
    EXPECT_FALSE(o.Flag("x"));
    // The most tokens the buffer can hold.
    std::string many;
    for (int i = 0; i < 51; ++i)
        many += "a,";
    EXPECT_EQ(o.Parse(many.c_str()), 0);
    EXPECT_TRUE(o.Flag("A"));
}

TEST(CodecIo, ReaderAndWriterOverReplaceableCalls)
{
    memio::Scope io;
    std::vector<unsigned char> bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7);
    int fd = io.Add(bytes);
    CodecReader r(fd);
    uint32_t u = 0;
    ASSERT_TRUE(r.U32le(&u));
    EXPECT_EQ(u, 0x150E0700u);
    ASSERT_TRUE(r.Seek(70000));
    EXPECT_EQ(r.Byte(), static_cast<unsigned char>(70000 * 7));
    EXPECT_EQ(r.Tell(), 70001);
    ASSERT_TRUE(r.Seek(3));
    uint16_t s = 0;
    ASSERT_TRUE(r.U16be(&s));
    EXPECT_EQ(s, (0x15 << 8) | 0x1C);
    ASSERT_TRUE(r.Seek(199998));
    unsigned char two[4];
    EXPECT_EQ(r.Read(two, 4), 2u);
    EXPECT_EQ(r.Byte(), -1);
    EXPECT_TRUE(r.AtEnd());

    // A write that runs out of room fails, and stays failed.
    int out = io.Add(nullptr, 0, 70000);
    {
        CodecWriter w(out);
        w.Write(bytes.data(), 65536);
        EXPECT_TRUE(w.Flush());
        w.Write(bytes.data(), 10000);
        EXPECT_EQ(w.Finish(), CODEC_ERR_WRITE);
        w.Byte(1);
        EXPECT_TRUE(w.Failed());
    }
    EXPECT_EQ(io.Data(out).size(), 70000u);
}

TEST(CodecFrame, MissingArgumentsAndUnbuiltFormats)
{
    ImageHeader h{};
    PaletteEntry pal[256];
    unsigned char data[16] = {};
    EXPECT_EQ(codec_read_header("x", 0, 0, nullptr, ""), 9);
    EXPECT_EQ(codec_read_header("x", 0, 17, &h, ""), 9);
    EXPECT_EQ(codec_read_palette(0, 0, &h, nullptr), 9);
    EXPECT_EQ(codec_read_data(0, 0, &h, nullptr), 9);
    h.width = h.height = 2;
    h.bpp = 8;
    EXPECT_EQ(codec_write("x", 0, 0, &h, nullptr, data, ""), 9);  // a palette picture needs its palette
    h.width = 0;
    EXPECT_EQ(codec_write("x", 0, 1, &h, pal, data, ""), 6);
    h.width = 70000;
    EXPECT_EQ(codec_write("x", 0, 1, &h, pal, data, ""), 6);
    EXPECT_EQ(codec_check_size(4000, 3000, 24), 0);
    EXPECT_EQ(codec_check_size(65535, 65535, 24), 6);  // over the allocation limit
    EXPECT_EQ(codec_check_size(10, 10, 16), 6);
    EXPECT_EQ(codec_check_size(-1, 10, 8), 6);
}
