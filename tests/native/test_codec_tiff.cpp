#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kTiff = 3;

// ---- hand-made files ----

struct Entry {
    uint16_t tag, type;
    std::vector<uint32_t> values;  // RATIONAL: pairs; StripOffsets: relative to the strip data
};
struct Dir {
    std::vector<Entry> entries;
    std::vector<unsigned char> data;
};

// Header, then per directory its strip data, the directory and its out-of-line values (or the
// strip data last).
std::vector<unsigned char> Build(const std::vector<Dir>& dirs, bool big = false, uint16_t version = 42,
                                 bool dataLast = false)
{
    std::vector<unsigned char> f;
    auto put = [&](std::vector<unsigned char>& v, uint32_t x, int bytes) {
        for (int i = 0; i < bytes; ++i)
            v.push_back(uint8_t(big ? x >> (8 * (bytes - 1 - i)) : x >> (8 * i)));
    };
    auto patch = [&](size_t at, uint32_t x) {
        std::vector<unsigned char> b;
        put(b, x, 4);
        std::copy(b.begin(), b.end(), f.begin() + long(at));
    };
    f = {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I')};
    put(f, version, 2);
    put(f, 0, 4);
    size_t link = 4;
    auto size = [](const Entry& e) { return e.type == 3 ? 2 : e.type == 1 ? 1 : 4; };
    for (const Dir& d : dirs) {
        uint32_t base = uint32_t(f.size());
        if (!dataLast)
            f.insert(f.end(), d.data.begin(), d.data.end());
        if (f.size() & 1)
            f.push_back(0);
        patch(link, uint32_t(f.size()));
        std::vector<unsigned char> extra;
        uint32_t extraAt = uint32_t(f.size() + 2 + 12 * d.entries.size() + 4);
        if (dataLast) {
            base = extraAt;
            for (const Entry& e : d.entries)
                base += e.values.size() * size(e) > 4 ? uint32_t(e.values.size() * size(e)) : 0;
        }
        put(f, uint32_t(d.entries.size()), 2);
        for (const Entry& e : d.entries) {
            std::vector<unsigned char> v;
            for (uint32_t x : e.values)
                put(v, e.tag == 273 ? x + base : x, size(e));
            uint32_t count = uint32_t(e.type == 5 ? e.values.size() / 2 : e.values.size());
            put(f, e.tag, 2);
            put(f, e.type, 2);
            put(f, count, 4);
            if (v.size() <= 4) {
                v.resize(4, 0);
                f.insert(f.end(), v.begin(), v.end());
            } else {
                put(f, extraAt + uint32_t(extra.size()), 4);
                extra.insert(extra.end(), v.begin(), v.end());
            }
        }
        link = f.size();
        put(f, 0, 4);
        f.insert(f.end(), extra.begin(), extra.end());
        if (dataLast)
            f.insert(f.end(), d.data.begin(), d.data.end());
    }
    return f;
}

// An 8-bit BlackIsZero picture, 5 x 3, pixel (x, y) = 16 y + x, in strips of two rows.
Dir Grey5x3(std::vector<Entry> more = {})
{
    Dir d;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            d.data.push_back(uint8_t(16 * y + x));
    d.entries = {{256, 3, {5}}, {257, 4, {3}}, {258, 3, {8}}, {259, 3, {1}}, {262, 3, {1}},
                 {273, 4, {0, 10}}, {278, 3, {2}}, {279, 4, {10, 5}}};
    for (const Entry& e : more) {
        bool replaced = false;
        for (Entry& old : d.entries)
            if (old.tag == e.tag) {
                old = e;
                replaced = true;
            }
        if (!replaced)
            d.entries.push_back(e);
    }
    return d;
}

Dir Without(Dir d, uint16_t tag)
{
    for (size_t i = 0; i < d.entries.size(); ++i)
        if (d.entries[i].tag == tag)
            d.entries.erase(d.entries.begin() + long(i));
    return d;
}

int Read(const std::vector<unsigned char>& file, peer::Picture& pic, const char* options = "")
{
    return memio::ReadPicture(kTiff, file.data(), file.size(), options, pic.header, pic.palette, pic.rows);
}

int ReadCode(const std::vector<unsigned char>& file, const char* options = "")
{
    peer::Picture pic;
    return Read(file, pic, options);
}

// LZW codes for `data`, independently of the codec: top bit first with the early width change,
// or the old low-bit-first order without it.
std::vector<unsigned char> LzwEncode(const std::vector<unsigned char>& data, bool oldStyle)
{
    std::vector<unsigned char> out;
    uint64_t acc = 0;
    int count = 0, width = 9;
    auto put = [&](unsigned code) {
        if (oldStyle) {
            acc |= uint64_t(code) << count;
            for (count += width; count >= 8; count -= 8, acc >>= 8)
                out.push_back(uint8_t(acc));
        } else {
            acc = (acc << width) | code;
            for (count += width; count >= 8; count -= 8)
                out.push_back(uint8_t(acc >> (count - 8)));
        }
    };
    std::map<std::pair<unsigned, unsigned>, unsigned> table;
    unsigned next = 258;
    const unsigned early = oldStyle ? 0 : 1;
    put(256);
    unsigned omega = data[0];
    for (size_t i = 1; i < data.size(); ++i) {
        auto it = table.find({omega, data[i]});
        if (it != table.end()) {
            omega = it->second;
            continue;
        }
        put(omega);
        table[{omega, data[i]}] = next++;
        omega = data[i];
        if (next + early > 4094) {
            put(256);
            table.clear();
            next = 258;
            width = 9;
        } else if (next + early >= (1u << width) + 1) {
            ++width;
        }
    }
    put(omega);
    if (next + 1 + early >= (1u << width) + 1 && width < 12)
        ++width;
    put(257);
    if (count > 0)
        out.push_back(uint8_t(oldStyle ? acc : acc << (8 - count)));
    return out;
}

TEST(TiffRead, GreyInBothByteOrdersAndOrientations)
{
    for (bool big : {false, true})
        for (int orientation : {1, 4}) {
            SCOPED_TRACE(std::string(big ? "MM" : "II") + " orientation " + std::to_string(orientation));
            peer::Picture pic;
            ASSERT_EQ(Read(Build({Grey5x3({{274, 3, {uint32_t(orientation)}}})}, big), pic), 0);
            EXPECT_EQ(pic.header.width, 5);
            EXPECT_EQ(pic.header.height, 3);
            EXPECT_EQ(pic.header.bpp, 8);
            for (int i = 0; i < 256; ++i)
                EXPECT_EQ(pic.palette[i].red + pic.palette[i].green + pic.palette[i].blue, 3 * i);
            // File row 0 is the top (orientation 1) or the bottom (4) of the picture.
            for (int y = 0; y < 3; ++y) {
                int fileRow = orientation == 1 ? y : 2 - y;
                for (int x = 0; x < 5; ++x)
                    EXPECT_EQ(pic.Rgb(x, y).red, 16 * fileRow + x) << x << "," << y;
            }
        }
    // Without StripByteCounts an uncompressed strip is as long as its rows; WhiteIsZero inverts.
    peer::Picture pic;
    ASSERT_EQ(Read(Build({Without(Grey5x3({{262, 3, {0}}}), 279)}), pic), 0);
    EXPECT_EQ(pic.Rgb(4, 2).red, 255 - 36);
    EXPECT_EQ(pic.palette[255].red, 255);
}

TEST(TiffRead, BilevelAndFourBitGrey)
{
    // 10 x 2, one bit: rows 0xA5 0xC0 and 0x0F 0x40.
    Dir bits;
    bits.data = {0xA5, 0xC0, 0x0F, 0x40};
    bits.entries = {{256, 3, {10}}, {257, 3, {2}}, {259, 3, {1}}, {262, 3, {0}}, {273, 4, {0}}};
    for (int white : {0, 1}) {
        bits.entries[3].values = {uint32_t(white ? 0 : 1)};
        peer::Picture pic;
        ASSERT_EQ(Read(Build({bits}), pic), 0);
        ASSERT_EQ(pic.header.bpp, 1);
        EXPECT_EQ(pic.palette[0].red, white ? 255 : 0);
        EXPECT_EQ(pic.palette[1].blue, white ? 0 : 255);
        EXPECT_EQ(pic.rows[0], 0x0F);  // the bottom row
        EXPECT_EQ(pic.rows[1] & 0xC0, 0x40);
        EXPECT_EQ(pic.rows[4], 0xA5);
    }
    // 4-bit greyscale: a 16-step ramp.
    Dir grey;
    grey.data = {0x01, 0xEF};
    grey.entries = {{256, 3, {4}}, {257, 3, {1}}, {258, 3, {4}}, {262, 3, {1}}, {273, 4, {0}}};
    peer::Picture pic;
    ASSERT_EQ(Read(Build({grey}, true), pic), 0);
    EXPECT_EQ(pic.header.bpp, 4);
    EXPECT_EQ(pic.rows[1], 0xEF);
    EXPECT_EQ(pic.palette[15].green, 255);
    EXPECT_EQ(pic.palette[3].green, 51);
}

TEST(TiffRead, PackBitsRunsAndChunkySamples)
{
    // 6 x 2 RGBA, PackBits: a literal of 2 pixels + a run spanning into the second row, a no-op.
    std::vector<unsigned char> packed = {7, 1, 2, 3, 4, 5, 6, 7, 8, uint8_t(-19), 9, 0x80, 7, 10, 20, 30, 40, 50,
                                         60, 70, 80, uint8_t(-11), 99};
    Dir d;
    d.data = packed;
    d.entries = {{256, 3, {6}}, {257, 3, {2}}, {258, 3, {8, 8, 8, 8}}, {259, 3, {32773}}, {262, 3, {2}},
                 {273, 4, {0}}, {277, 3, {4}}, {279, 4, {uint32_t(packed.size())}}, {338, 3, {2}}};
    peer::Picture pic;
    ASSERT_EQ(Read(Build({d}), pic), 0);
    ASSERT_EQ(pic.header.bpp, 24);
    EXPECT_EQ(pic.Rgb(0, 0).red, 1);
    EXPECT_EQ(pic.Rgb(0, 0).blue, 3);
    EXPECT_EQ(pic.Rgb(1, 0).red, 5);
    for (int x = 2; x < 6; ++x)
        EXPECT_EQ(pic.Rgb(x, 0).green, 9);
    EXPECT_EQ(pic.Rgb(0, 1).blue, 9);
    EXPECT_EQ(pic.Rgb(1, 1).red, 10);
    EXPECT_EQ(pic.Rgb(2, 1).red, 50);
    EXPECT_EQ(pic.Rgb(2, 1).blue, 70);
    EXPECT_EQ(pic.Rgb(5, 1).green, 99);
    // Declared bytes that end before the rows do: corrupt; bytes beyond the file: truncated.
    d.entries[7].values = {uint32_t(packed.size() - 3)};
    EXPECT_EQ(ReadCode(Build({d})), 818);
    d.entries[7].values = {uint32_t(packed.size() + 100)};
    EXPECT_EQ(ReadCode(Build({d}, false, 42, true)), 0);
    auto file = Build({d}, false, 42, true);
    file.resize(file.size() - 3);
    EXPECT_EQ(ReadCode(file), 7);
}

TEST(TiffRead, LzwPredictorAndCorruptCodes)
{
    // Predictor 2: each sample is the difference from the sample to its left.
    Dir d;
    d.data = LzwEncode({10, 20, 30, 5, 5, 5, 250, 10, 0}, false);
    d.entries = {{256, 3, {3}}, {257, 3, {1}}, {258, 3, {8, 8, 8}}, {259, 3, {5}}, {262, 3, {2}},
                 {273, 4, {0}}, {277, 3, {3}}, {317, 3, {2}}};
    peer::Picture pic;
    ASSERT_EQ(Read(Build({d}), pic), 0);
    EXPECT_EQ(pic.Rgb(1, 0).red, 15);
    EXPECT_EQ(pic.Rgb(2, 0).red, 9);
    EXPECT_EQ(pic.Rgb(2, 0).green, 35);
    EXPECT_EQ(pic.Rgb(2, 0).blue, 35);
    // A code beyond the table, and the end code before the rows are complete.
    d.data = {0x80, 0x4B, 0x00};  // clear, then 300
    EXPECT_EQ(ReadCode(Build({d})), 818);
    d.data = LzwEncode({1, 2, 3}, false);
    EXPECT_EQ(ReadCode(Build({d})), 818);
}

TEST(TiffRead, IndexFollowsTheDirectoryChain)
{
    Dir second = Grey5x3({{256, 3, {4}}});
    auto file = Build({Grey5x3(), second});
    peer::Picture pic;
    ASSERT_EQ(Read(file, pic, "index=1"), 0);
    EXPECT_EQ(pic.header.width, 4);
    ASSERT_EQ(Read(file, pic, "index=0"), 0);
    EXPECT_EQ(pic.header.width, 5);
    EXPECT_EQ(ReadCode(file, "index=2"), 829);
    EXPECT_EQ(ReadCode(file, "index=-1"), 3);
    EXPECT_EQ(ReadCode(file, "index=x"), 3);
    // A chain that leads back to itself ends, whatever the index.
    auto loop = Build({Grey5x3()});
    uint32_t ifd = loop[4] | loop[5] << 8;
    size_t next = ifd + 2 + 12 * 8;
    for (int i = 0; i < 4; ++i)
        loop[next + size_t(i)] = loop[4 + size_t(i)];
    EXPECT_EQ(ReadCode(loop, "index=1000000000"), 803);
}

TEST(TiffRead, OwnCodesForUnsupportedOrBadFields)
{
    struct Case {
        std::vector<Entry> change;
        int code;
    } cases[] = {
        {{{256, 2, {5}}}, 802},
        {{{278, 3, {0}}}, 803},
        {{{273, 4, {0}}}, 803},  // fewer strip offsets than strips
        {{{277, 3, {2}}}, 805},
        {{{258, 3, {2}}}, 806},
        {{{262, 3, {2}}, {277, 3, {2}}}, 807},
        {{{262, 3, {2}}, {277, 3, {3}}, {258, 3, {8, 16, 8}}}, 808},
        {{{262, 3, {3}}, {277, 3, {3}}}, 809},
        {{{262, 3, {3}}, {258, 3, {2}}}, 810},
        {{{262, 3, {5}}, {277, 3, {3}}}, 811},
        {{{262, 3, {5}}, {277, 3, {4}}, {258, 3, {8, 8, 8, 4}}}, 812},
        {{{259, 3, {2}}}, 813},
        {{{259, 3, {3}}}, 814},
        {{{259, 3, {4}}}, 815},
        {{{259, 3, {7}}}, 816},
        {{{262, 3, {3}}}, 817},
        {{{262, 3, {3}}, {320, 3, std::vector<uint32_t>(3 * 16)}}, 803},
        {{{259, 3, {5}}, {317, 3, {3}}}, 819},
        {{{258, 3, {4}}, {259, 3, {5}}, {317, 3, {2}}}, 819},
        {{{262, 3, {4}}}, 821},
        {{{262, 3, {6}}}, 822},
        {{{262, 3, {8}}}, 823},
        {{{266, 3, {2}}}, 824},
        {{{262, 3, {5}}, {277, 3, {4}}, {258, 3, {8, 8, 8, 8}}, {284, 3, {2}}}, 825},
        {{{262, 3, {2}}, {277, 3, {3}}, {258, 3, {8, 8, 8}}, {284, 3, {3}}}, 826},
        {{{262, 3, {5}}, {332, 3, {2}}}, 827},
        {{{274, 3, {3}}}, 828},
        {{{256, 4, {0}}}, 6},
        {{{256, 4, {70000}}}, 6},
        {{{273, 4, {0, 1000}}}, 7},  // a strip beyond the end of the file
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadCode(Build({Grey5x3(c.change)})), c.code) << c.change[0].tag << " " << c.change[0].values[0];
    EXPECT_EQ(ReadCode(Build({Without(Grey5x3(), 273)})), 804);
    EXPECT_EQ(ReadCode(Build({Without(Grey5x3(), 262)})), 823);
    EXPECT_EQ(ReadCode(Build({Grey5x3({{284, 3, {2}}})})), 0);  // one sample: planar is chunky
    EXPECT_EQ(ReadCode(Build({Grey5x3()}, false, 43)), 800);
    Dir many = Grey5x3();
    many.entries.resize(1025, Entry{999, 3, {1}});
    EXPECT_EQ(ReadCode(Build({many})), 801);
    auto file = Build({Grey5x3()});
    file[0] = 'X';
    EXPECT_EQ(ReadCode(file), 5);
    {
        // A picture the file cannot hold is refused before anyone allocates for it; the palette
        // and data readers check the file again.
        memio::Scope io;
        ImageHeader h;
        int fd = io.Add(Build({Grey5x3({{256, 4, {60000}}, {257, 4, {4000}}, {278, 4, {4000}}})}));
        EXPECT_EQ(codec_read_header("x.tif", fd, kTiff, &h, ""), 7);
        fd = io.Add(Build({Grey5x3({{262, 3, {3}}, {258, 3, {4}}, {320, 3, std::vector<uint32_t>(48, 0x4000)}})}));
        ASSERT_EQ(codec_read_header("x.tif", fd, kTiff, &h, ""), 0);
        io.Data(fd).resize(24);
        std::vector<PaletteEntry> palette(256);
        std::vector<unsigned char> rows(codec_stride(h.width, h.bpp) * size_t(h.height));
        EXPECT_EQ(codec_read_palette(fd, kTiff, &h, palette.data()), 7);
        EXPECT_EQ(codec_read_data(fd, kTiff, &h, rows.data()), 7);
    }
    // Every cut through the header and directory is a read error, never a crash.
    file = Build({Grey5x3()}, true);
    for (size_t cut = 0; cut < file.size(); ++cut)
        EXPECT_NE(ReadCode(std::vector<unsigned char>(file.begin(), file.begin() + long(cut))), 0) << cut;
}

// ---- writing ----

peer::Picture Reread(const peer::Picture& pic, const char* options, std::vector<unsigned char>* bytes = nullptr)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    EXPECT_EQ(codec_write("x.tif", fd, kTiff, &pic.header, pic.palette.data(), pic.rows.data(), options), 0);
    std::vector<unsigned char> file = io.Data(fd);
    if (bytes)
        *bytes = file;
    peer::Picture back;
    EXPECT_EQ(Read(file, back), 0);
    return back;
}

// Directory entries of a file we wrote (little-endian): tag -> type, count, value field.
std::map<uint16_t, std::vector<uint32_t>> Tags(const std::vector<unsigned char>& f, std::vector<uint16_t>* order)
{
    auto u16 = [&](size_t p) { return uint32_t(f[p] | f[p + 1] << 8); };
    auto u32 = [&](size_t p) { return u16(p) | u16(p + 2) << 16; };
    std::map<uint16_t, std::vector<uint32_t>> tags;
    uint32_t ifd = u32(4);
    EXPECT_EQ(ifd % 2, 0u);
    for (uint32_t i = 0; i < u16(ifd); ++i) {
        size_t e = ifd + 2 + 12 * i;
        order->push_back(uint16_t(u16(e)));
        tags[uint16_t(u16(e))] = {u16(e + 2), u32(e + 4), u32(e + 8)};
    }
    return tags;
}

TEST(TiffWrite, RoundTripsEveryDepthAndCompression)
{
    for (int bpp : {1, 4, 8, 24})
        for (auto [w, h] : {std::pair{1, 1}, {13, 7}, {301, 90}})
            for (const char* options : {"", "lzw", "lzw pal1bpp"}) {
                SCOPED_TRACE(std::to_string(bpp) + " bpp " + std::to_string(w) + "x" + std::to_string(h) + " " + options);
                peer::Picture pic = peer::MakePicture(w, h, bpp, unsigned(w + bpp));
                peer::Picture back = Reread(pic, options);
                ASSERT_EQ(back.header.bpp, bpp);
                EXPECT_EQ(back.rows, pic.rows);
                bool bilevel = bpp == 1 && std::string(options).find("pal1bpp") == std::string::npos;
                for (int i = 0; bpp < 24 && i < (1 << bpp); ++i) {
                    PaletteEntry want = pic.palette[i];
                    if (bilevel)  // MakePicture's entry 1 is the darker one
                        want = i == 1 ? PaletteEntry{0, 0, 0} : PaletteEntry{255, 255, 255};
                    EXPECT_EQ(back.palette[i].red, want.red) << i;
                    EXPECT_EQ(back.palette[i].blue, want.blue) << i;
                }
            }
}

TEST(TiffWrite, DirectoryFields)
{
    peer::Picture grey = peer::MakePicture(3000, 5, 8);
    for (int i = 0; i < 256; ++i)
        grey.palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
    std::vector<unsigned char> file;
    Reread(grey, "lzw artist=Ann software=trel,make=ACME model= imagedescription=a_picture", &file);
    std::vector<uint16_t> order;
    auto tags = Tags(file, &order);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(std::adjacent_find(order.begin(), order.end()), order.end());
    EXPECT_EQ(tags[262][2], 1u);  // grey ramp: BlackIsZero, no ColorMap
    EXPECT_EQ(tags.count(320), 0u);
    EXPECT_EQ(tags[317][2], 2u);
    EXPECT_EQ(tags[259][2], 5u);
    EXPECT_EQ(tags[278][2], 2u);  // 8 KiB strips
    EXPECT_EQ(tags[273][1], 3u);
    EXPECT_EQ(tags[296][2], 2u);
    uint32_t xres = tags[282][2];
    EXPECT_EQ(file[xres], 72);
    EXPECT_EQ(file[xres + 4], 1);
    EXPECT_EQ(tags[315][1], 4u);  // "Ann" fits the entry itself
    EXPECT_EQ(tags[315][2], uint32_t('A' | 'n' << 8 | 'n' << 16));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[0]) + tags[270][2]), "a_picture");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[0]) + tags[271][2]), "ACME");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[0]) + tags[305][2]), "trel");
    EXPECT_EQ(tags.count(272), 0u);
    // Palettes: no predictor; a 1-bit picture whose entry 0 is lighter is WhiteIsZero.
    peer::Picture pal = peer::MakePicture(9, 9, 8);
    order.clear();
    Reread(pal, "lzw", &file);
    tags = Tags(file, &order);
    EXPECT_EQ(tags[262][2], 3u);
    EXPECT_EQ(tags[320][1], 768u);
    EXPECT_EQ(tags.count(317), 0u);
    peer::Picture bits = peer::MakePicture(9, 9, 1);
    bits.palette[0] = PaletteEntry{200, 10, 10};
    bits.palette[1] = PaletteEntry{0, 90, 0};
    Reread(bits, "", &file);
    tags = Tags(file, &order);
    EXPECT_EQ(tags[262][2], 0u);
    EXPECT_EQ(tags.count(320), 0u);
}

TEST(TiffWrite, RefusesWhatItCannotWrite)
{
    peer::Picture pic = peer::MakePicture(40, 30, 8);
    // Made before this test's in-memory files: Reread's own scope restores the platform's calls.
    std::vector<unsigned char> whole;
    Reread(pic, "lzw", &whole);
    memio::Scope io;
    int fd = io.Add(nullptr, 0);
    ImageHeader h = pic.header;
    h.bpp = 16;
    EXPECT_EQ(codec_write("x.tif", fd, kTiff, &h, pic.palette.data(), pic.rows.data(), ""), 2);
    h = pic.header;
    h.width = h.height = 65535;  // more than 32-bit offsets reach; refused before the data is read
    h.bpp = 24;
    EXPECT_EQ(codec_write("x.tif", fd, kTiff, &h, pic.palette.data(), pic.rows.data(), ""), 6);
    std::string tooLong(120, 'a');
    EXPECT_EQ(codec_write("x.tif", fd, kTiff, &pic.header, pic.palette.data(), pic.rows.data(), tooLong.c_str()), 3);
    // A disk that fills up at any point is a write error, the header's final update included.
    for (long limit : {0L, 5L, 100L, long(whole.size()) - 10, long(whole.size())}) {
        int full = io.Add(nullptr, 0, limit);
        EXPECT_EQ(codec_write("x.tif", full, kTiff, &pic.header, pic.palette.data(), pic.rows.data(), "lzw"), 8)
            << limit;
    }
}

// ---- peers ----

void ExpectSame(const std::string& tif, const std::string& reference, const char* options = "")
{
    SCOPED_TRACE(tif);
    peer::Picture pic;
    ASSERT_EQ(peer::Load(tif, pic, options), 0);
    peer::Rgb ref;
    ASSERT_TRUE(peer::ReadPnm(reference, ref));
    EXPECT_EQ(peer::CountDifferences(pic, ref), 0);
}

TEST(TiffPeer, ReadsWhatImageMagickAndTiffcpWrite)
{
    const std::string d = peer::ScratchDir() + "/";
    peer::Picture photo = peer::MakePicture(211, 97, 24, 5);
    peer::WritePpm(d + "photo.ppm", photo);
    ASSERT_TRUE(peer::Run("convert " + d + "photo.ppm -colors 200 " + d + "pal.ppm"));
    ASSERT_TRUE(peer::Run("convert " + d + "photo.ppm -colorspace Gray " + d + "grey.ppm"));
    ASSERT_TRUE(peer::Run("convert " + d + "photo.ppm -colors 16 " + d + "pal16.ppm"));
    ASSERT_TRUE(peer::Run("convert " + d + "photo.ppm -threshold 50% " + d + "bw.ppm"));
    struct Kind {
        const char* source;
        const char* type;
        int bpp;
    } kinds[] = {{"photo", "TrueColor", 24}, {"pal", "Palette", 8}, {"pal16", "Palette", 4},
                 {"grey", "Grayscale", 8}, {"bw", "Bilevel -depth 1", 1}};
    for (const Kind& k : kinds)
        for (const char* compress : {"None", "LZW", "RLE"}) {
            std::string endian = compress[0] == 'L' ? "LSB" : "MSB";
            std::string name = d + k.source + compress + ".tif";
            ASSERT_TRUE(peer::Run("convert " + d + k.source + ".ppm -type " + k.type + " -compress " + compress +
                                  " -endian " + endian + " " + name));
            ExpectSame(name, d + k.source + ".ppm");
            peer::Picture pic;
            ASSERT_EQ(peer::Load(name, pic), 0);
            EXPECT_EQ(pic.header.bpp, k.bpp) << name;
        }
    ASSERT_TRUE(peer::Run("convert " + d + "photo.ppm -compress None " + d + "plain.tif"));
    for (const char* args : {"-c lzw:2", "-c lzw -r 1", "-c packbits", "-p separate -c lzw:2", "-p separate",
                             "-c lzw:2 -r 5000"}) {
        std::string out = d + "cp" + std::to_string(std::hash<std::string>()(args)) + ".tif";
        ASSERT_TRUE(peer::Run(std::string("tiffcp ") + args + " " + d + "plain.tif " + out));
        ExpectSame(out, d + "photo.ppm");
    }
    // Grey and palette through tiffcp with the predictor.
    ASSERT_TRUE(peer::Run("tiffcp -c lzw:2 " + d + "greyNone.tif " + d + "grey2.tif"));
    ExpectSame(d + "grey2.tif", d + "grey.ppm");
}

TEST(TiffPeer, CmykAndMultiPage)
{
    const std::string d = peer::ScratchDir() + "/";
    peer::WritePpm(d + "a.ppm", peer::MakePicture(64, 40, 24, 1));
    peer::WritePpm(d + "b.ppm", peer::MakePicture(33, 20, 24, 2));
    ASSERT_TRUE(peer::Run("convert " + d + "a.ppm -colorspace CMYK -compress LZW " + d + "cmyk.tif"));
    ASSERT_TRUE(peer::Run("convert " + d + "cmyk.tif -depth 8 " + d + "cmyk-im.ppm"));
    ExpectSame(d + "cmyk.tif", d + "cmyk-im.ppm");
    // tiff2rgba truncates where ImageMagick rounds: never more than one apart.
    ASSERT_TRUE(peer::Run("tiff2rgba " + d + "cmyk.tif " + d + "rgba.tif && convert " + d + "rgba.tif -alpha off -depth 8 " +
                          d + "cmyk-t2r.ppm"));
    peer::Picture pic;
    ASSERT_EQ(peer::Load(d + "cmyk.tif", pic), 0);
    peer::Rgb ref;
    ASSERT_TRUE(peer::ReadPnm(d + "cmyk-t2r.ppm", ref));
    int worst = 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x)
            worst = std::max({worst, std::abs(pic.Rgb(x, y).red - ref.At(x, y).red),
                              std::abs(pic.Rgb(x, y).blue - ref.At(x, y).blue)});
    EXPECT_LE(worst, 1);

    ASSERT_TRUE(peer::Run("convert " + d + "a.ppm " + d + "b.ppm -compress LZW " + d + "pages.tif"));
    ExpectSame(d + "pages.tif", d + "a.ppm", "index=0");
    ExpectSame(d + "pages.tif", d + "b.ppm", "index=1");
    EXPECT_EQ(peer::Load(d + "pages.tif", pic, "index=2"), 829);
}

// libtiff (under ImageMagick) reads the low-bit-first LZW of old writers the way we do.
TEST(TiffPeer, OldStyleLzwAsLibtiffReadsIt)
{
    const std::string d = peer::ScratchDir() + "/";
    // Long enough for every code width and a table that fills and clears.
    std::vector<unsigned char> raw;
    for (unsigned i = 0, s = 7; i < 97 * 200; ++i) {
        s = s * 1103515245u + 12345u;
        raw.push_back(uint8_t((s >> 16) % 5 == 0 ? s >> 24 : i / 97));
    }
    Dir dir;
    dir.data = LzwEncode(raw, true);
    dir.entries = {{256, 3, {97}}, {257, 3, {200}}, {258, 3, {8}}, {259, 3, {5}}, {262, 3, {1}},
                   {273, 4, {0}},  {279, 4, {uint32_t(dir.data.size())}}};
    peer::WriteFileBytes(d + "old.tif", Build({dir}));
    ASSERT_TRUE(peer::Run("convert " + d + "old.tif -depth 8 " + d + "old.ppm"));
    ExpectSame(d + "old.tif", d + "old.ppm");
}

TEST(TiffPeer, PeersReadWhatWeWrite)
{
    const std::string d = peer::ScratchDir() + "/";
    for (int bpp : {1, 4, 8, 24})
        for (const char* options : {"", "lzw", "pal1bpp", "lzw artist=me software=trelimg"}) {
            peer::Picture pic = peer::MakePicture(157, 61, bpp, 3);
            if (bpp == 1) {
                pic.palette[0] = PaletteEntry{0, 0, 0};
                pic.palette[1] = PaletteEntry{255, 255, 255};
            }
            if (bpp == 8)  // a grey picture goes out as BlackIsZero
                for (int i = 0; i < 256 && options[0] == 'l'; ++i)
                    pic.palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
            std::string name = d + "ours" + std::to_string(bpp) + "_" + std::to_string(std::hash<std::string>()(options));
            SCOPED_TRACE(name + " " + options);
            ASSERT_EQ(peer::Save(name + ".tif", pic, options), 0);
            ASSERT_TRUE(peer::Run("tiffinfo -D " + name + ".tif 2> " + name + ".err >/dev/null"));
            EXPECT_TRUE(peer::ReadFileBytes(name + ".err").empty());
            EXPECT_TRUE(peer::Run("tiffcp " + name + ".tif " + name + "-cp.tif"));
            ASSERT_TRUE(peer::Run("convert " + name + ".tif -depth 8 " + name + ".ppm"));
            peer::Rgb ref;
            ASSERT_TRUE(peer::ReadPnm(name + ".ppm", ref));
            EXPECT_EQ(peer::CountDifferences(pic, ref), 0);
        }
}

} // namespace
