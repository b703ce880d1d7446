// JPEG codec against libjpeg-turbo's own tools: cjpeg files read as djpeg decodes them, our files
// equal cjpeg's byte for byte, and the library's failures arrive as stored messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/wait.h>
#include <tuple>

#include "support/memio.h"
#include "support/peer.h"

namespace {

constexpr int kJpeg = CODEC_FORMAT_JPEG;

bool IsMessageCode(int code)
{
    return code >= 1910 && code <= 1929;
}

std::string MessageOf(int code)
{
    const char* text = codec_error_text(kJpeg, code);
    return text ? text : "(none)";
}

// djpeg's decode of a file; it exits 2 after warnings (a cut-off file), which still counts.
bool Djpeg(const std::string& jpg, peer::Rgb& out)
{
    std::string pnm = jpg + ".pnm";
    std::remove(pnm.c_str());
    int status = std::system(("djpeg -pnm -outfile '" + pnm + "' '" + jpg + "' 2>/dev/null").c_str());
    if (status == -1 || !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2))
        return false;
    return peer::ReadPnm(pnm, out);
}

// A test picture written by cjpeg with the given arguments.
std::string PeerJpeg(const std::string& name, int width, int height, const std::string& args, unsigned seed = 3)
{
    std::string ppm = peer::Path(name + ".ppm"), jpg = peer::Path(name + ".jpg");
    peer::WritePpm(ppm, peer::MakePicture(width, height, 24, seed));
    EXPECT_TRUE(peer::Run("cjpeg " + args + " -outfile '" + jpg + "' '" + ppm + "'")) << name;
    return jpg;
}

void ExpectReadsLikeDjpeg(const std::string& jpg, int bpp)
{
    peer::Picture ours;
    ASSERT_EQ(peer::Load(jpg, ours), 0) << jpg;
    EXPECT_EQ(ours.header.bpp, bpp) << jpg;
    peer::Rgb ref;
    ASSERT_TRUE(Djpeg(jpg, ref)) << jpg;
    EXPECT_EQ(peer::CountDifferences(ours, ref), 0) << jpg;
}

std::vector<unsigned char> WriteToMemory(const peer::Picture& pic, const char* options, int* rc, long writeLimit = -1)
{
    memio::Scope io;
    int fd = io.Add(nullptr, 0, writeLimit);
    *rc = codec_write("out.jpg", fd, kJpeg, &pic.header, pic.palette.data(), pic.rows.data(), options);
    return io.Data(fd);
}

int ReadFromMemory(const std::vector<unsigned char>& bytes)
{
    ImageHeader header;
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    return memio::ReadPicture(kJpeg, bytes.data(), bytes.size(), "", header, palette, rows);
}

TEST(CodecJpegRead, PeerFilesDecodeAsDjpegDoes)
{
    struct Case {
        const char* name;
        int width, height;
        const char* args;
        int bpp;
    } cases[] = {
        {"baseline", 203, 117, "-quality 75", 24},         {"q5", 64, 40, "-quality 5", 24},
        {"q100", 64, 40, "-quality 100", 24},               {"progressive", 203, 117, "-progressive", 24},
        {"grey", 203, 117, "-grayscale", 8},                {"grey-prog", 33, 21, "-grayscale -progressive", 8},
        {"restart", 203, 117, "-restart 1 -quality 90", 24}, {"optimized", 100, 50, "-optimize", 24},
        {"h2v1", 57, 31, "-sample 2x1", 24},                {"h1v1", 57, 31, "-sample 1x1 -quality 95", 24},
        {"one", 1, 1, "", 24},                               {"odd", 17, 9, "", 24},
        {"wide", 4001, 3, "", 24},                           {"tall", 3, 301, "-progressive", 24},
    };
    for (const Case& c : cases)
        ExpectReadsLikeDjpeg(PeerJpeg(c.name, c.width, c.height, c.args), c.bpp);
}

// Adobe CMYK and YCCK files (the way ImageMagick writes them) come out as colour.
TEST(CodecJpegRead, CmykBecomesColourAsDjpegDoes)
{
    std::string ppm = peer::Path("cmyk.ppm");
    peer::WritePpm(ppm, peer::MakePicture(45, 29, 24, 9));
    for (const char* sampling : {"1x1", "2x2"}) {
        std::string jpg = peer::Path(std::string("cmyk") + sampling + ".jpg");
        ASSERT_TRUE(peer::Run("convert '" + ppm + "' -colorspace CMYK -sampling-factor " + sampling + " '" + jpg + "'"));
        ExpectReadsLikeDjpeg(jpg, 24);
    }
}

// Rows go straight into the caller's buffer: only the picture's bytes, padding cleared, nothing
// written past the end.
TEST(CodecJpegRead, FillsRowsExactlyWithPaddingCleared)
{
    for (auto [width, bpp] : {std::pair{17, 24}, std::pair{4001, 24}, std::pair{17, 8}, std::pair{6, 8}}) {
        std::string jpg = PeerJpeg("rows" + std::to_string(width), width, 5, bpp == 8 ? "-grayscale" : "");
        peer::Picture pic;
        int fd = codec_io_open(jpg.c_str(), codec_mode_read_binary());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(codec_read_header(jpg.c_str(), fd, kJpeg, &pic.header, ""), 0);
        ASSERT_EQ(pic.header.bpp, bpp);
        size_t size = pic.Stride() * 5, used = size_t(width) * size_t(bpp / 8);
        pic.rows.assign(size + 64, 0xCC);
        EXPECT_EQ(codec_read_palette(fd, kJpeg, &pic.header, pic.palette.data()), 0);
        EXPECT_EQ(codec_read_data(fd, kJpeg, &pic.header, pic.rows.data()), 0);
        codec_io_close(fd);
        for (size_t y = 0; y < 5; ++y)
            for (size_t i = used; i < pic.Stride(); ++i)
                EXPECT_EQ(pic.rows[y * pic.Stride() + i], 0) << width << " row " << y;
        for (size_t i = size; i < pic.rows.size(); ++i)
            ASSERT_EQ(pic.rows[i], 0xCC) << "overrun at width " << width;
        for (int i = 0; bpp == 8 && i < 256; ++i)
            EXPECT_TRUE(pic.palette[i].red == i && pic.palette[i].green == i && pic.palette[i].blue == i);
    }
}

TEST(CodecJpegRead, CutOffFileStillReadsAsDjpegDoes)
{
    int compared = 0;
    for (const char* args : {"-quality 90", "-progressive", "-restart 2 -grayscale"}) {
        std::string jpg = PeerJpeg("cut", 160, 120, args, 5);
        std::vector<unsigned char> whole = peer::ReadFileBytes(jpg);
        for (size_t keep : {whole.size() / 3, whole.size() * 2 / 3, whole.size() - 2}) {
            std::string cut = peer::Path("cut-part.jpg");
            peer::WriteFileBytes(cut, std::vector<unsigned char>(whole.begin(), whole.begin() + long(keep)));
            peer::Picture ours;
            ASSERT_EQ(peer::Load(cut, ours), 0) << args << " cut at " << keep;
            peer::Rgb ref;
            if (!Djpeg(cut, ref))
                continue;
            EXPECT_EQ(peer::CountDifferences(ours, ref), 0) << args << " cut at " << keep;
            ++compared;
        }
    }
    EXPECT_GE(compared, 6);
}

// Failures keep the library's text; twenty slots are filled least recently first, the lowest of
// equally old ones first (seen in a fresh process), so the twenty-first message replaces the first.
TEST(CodecJpegRead, LibraryMessagesFillTwentySlots)
{
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::string tool = std::string(self).substr(0, std::string(self).rfind('/')) + "/trelimg";
    peer::WriteFileBytes(peer::Path("empty.jpg"), {});
    EXPECT_TRUE(peer::Run("'" + tool + "' info '" + peer::Path("empty.jpg") +
                          "' 2>&1 | grep -qx 'trelimg: .*: error 1910: Empty input file'"));
    int code = ReadFromMemory({});
    EXPECT_TRUE(IsMessageCode(code)) << code;
    EXPECT_EQ(MessageOf(code), "Empty input file");

    std::vector<int> codes;
    auto text = [](int i) {
        char t[64];
        std::snprintf(t, sizeof(t), "Not a JPEG file: starts with 0x%02x 0x%02x", i, i + 1);
        return std::string(t);
    };
    for (int i = 0; i < 21; ++i) {
        codes.push_back(ReadFromMemory({uint8_t(i), uint8_t(i + 1), 0, 0}));
        ASSERT_TRUE(IsMessageCode(codes.back()));
    }
    std::vector<int> first20(codes.begin(), codes.begin() + 20);
    std::sort(first20.begin(), first20.end());
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(first20[size_t(i)], 1910 + i);
    EXPECT_EQ(codes[20], codes[0]);
    for (int i = 1; i <= 20; ++i)
        EXPECT_EQ(MessageOf(codes[size_t(i)]), text(i));
    EXPECT_EQ(codec_error_text(kJpeg, 1930), nullptr);
}

int FailingRead(int, void*, unsigned)
{
    return -1;
}

// Between header and data the file may change or fail: the caller's rows must not be overrun
// and a read error must not pass for a cut-off file.
TEST(CodecJpegRead, DataReaderDoesNotTrustTheFile)
{
    std::vector<unsigned char> small = peer::ReadFileBytes(PeerJpeg("small", 20, 10, ""));
    std::vector<unsigned char> large = peer::ReadFileBytes(PeerJpeg("large", 40, 10, ""));
    std::vector<unsigned char> grey = peer::ReadFileBytes(PeerJpeg("greysmall", 20, 10, "-grayscale"));
    for (const auto* changed : {&large, &grey, &small}) {
        memio::Scope io;
        int fd = io.Add(small);
        ImageHeader header;
        ASSERT_EQ(codec_read_header("x.jpg", fd, kJpeg, &header, ""), 0);
        io.Data(fd) = *changed;
        if (changed == &small)
            codec_io_read = FailingRead;
        std::vector<unsigned char> rows(codec_stride(header.width, header.bpp) * size_t(header.height));
        int code = codec_read_data(fd, kJpeg, &header, rows.data());
        if (changed == &small)
            EXPECT_EQ(MessageOf(code), "Input file read error");
        else
            EXPECT_EQ(code, CODEC_ERR_SIZE);
    }
}

// Sizes beyond the picture limit are refused before anyone allocates for them.
TEST(CodecJpegRead, OversizedPictureIsRefusedAtHeader)
{
    std::vector<unsigned char> jpg = peer::ReadFileBytes(PeerJpeg("limits", 16, 16, "-grayscale"));
    size_t sof = 0;
    while (sof + 9 < jpg.size() && !(jpg[sof] == 0xFF && jpg[sof + 1] == 0xC0))
        ++sof;
    ASSERT_LT(sof + 9, jpg.size());
    for (auto [width, height, rc] : {std::tuple{65500, 4099, 6}, std::tuple{65500, 4098, 0}}) {
        jpg[sof + 5] = uint8_t(height >> 8), jpg[sof + 6] = uint8_t(height);
        jpg[sof + 7] = uint8_t(width >> 8), jpg[sof + 8] = uint8_t(width);
        memio::Scope io;
        ImageHeader header;
        EXPECT_EQ(codec_read_header("x.jpg", io.Add(jpg), kJpeg, &header, ""), rc) << width << "x" << height;
    }
}

// A progressive file whose last scan repeats without end is refused rather than decoded for ever.
TEST(CodecJpegRead, EndlessScansAreRefused)
{
    std::vector<unsigned char> jpg = peer::ReadFileBytes(PeerJpeg("scans", 64, 64, "-progressive"));
    ASSERT_EQ(ReadFromMemory(jpg), 0);
    size_t lastScan = 0;
    for (size_t i = 0; i + 1 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] == 0xDA)
            lastScan = i;
    std::vector<unsigned char> scan(jpg.begin() + long(lastScan), jpg.end() - 2);
    std::vector<unsigned char> many(jpg.begin(), jpg.end() - 2);
    for (int i = 0; i < 600; ++i)
        many.insert(many.end(), scan.begin(), scan.end());
    many.insert(many.end(), {0xFF, 0xD9});
    int code = ReadFromMemory(many);
    EXPECT_EQ(MessageOf(code), "Too many scans in progressive file (more than 500)");
}

// Same library, same settings: the same bytes (quality 5 needs baseline tables forced).
TEST(CodecJpegWrite, OutputEqualsCjpegByteForByte)
{
    const std::pair<const char*, const char*> settings[] = {{"", "-quality 75 -baseline"},
                                                            {"PROG", "-quality 75 -baseline -progressive"},
                                                            {"quality=5", "-quality 5 -baseline"}};
    for (auto [width, height] : {std::pair{203, 117}, std::pair{1, 1}, std::pair{4001, 3}}) {
        peer::Picture pic = peer::MakePicture(width, height, 24, 11);
        std::string ppm = peer::Path("w.ppm"), ref = peer::Path("w-ref.jpg");
        peer::WritePpm(ppm, pic);
        for (auto [options, args] : settings) {
            ASSERT_TRUE(peer::Run(std::string("cjpeg ") + args + " -outfile '" + ref + "' '" + ppm + "'"));
            int rc = -1;
            EXPECT_EQ(WriteToMemory(pic, options, &rc), peer::ReadFileBytes(ref)) << width << "x" << height << " " << args;
            EXPECT_EQ(rc, 0);
        }
    }
}

// Our files decode with djpeg exactly as we decode them; "prog" writes a progressive frame.
TEST(CodecJpegWrite, OutputDecodesAlikeWithDjpeg)
{
    peer::Picture pic = peer::MakePicture(150, 77, 24, 4);
    for (const char* options : {"", "prog", "quality=30,prog", "quality=100"}) {
        std::string jpg = peer::Path("ours.jpg");
        ASSERT_EQ(peer::Save(jpg, pic, options), 0) << options;
        std::vector<unsigned char> bytes = peer::ReadFileBytes(jpg);
        bool sof0 = false, sof2 = false;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            sof0 |= bytes[i] == 0xFF && bytes[i + 1] == 0xC0;
            sof2 |= bytes[i] == 0xFF && bytes[i + 1] == 0xC2;
        }
        bool prog = std::strstr(options, "prog") != nullptr;
        EXPECT_EQ(sof2, prog) << options;
        EXPECT_EQ(sof0, !prog) << options;
        ExpectReadsLikeDjpeg(jpg, 24);
    }
}

TEST(CodecJpegWrite, QualityOptionAndDepth)
{
    peer::Picture pic = peer::MakePicture(120, 90, 24, 2);
    int rc = -1;
    size_t q0 = WriteToMemory(pic, "quality=0", &rc).size();
    ASSERT_EQ(rc, 0);
    for (const char* options : {"quality=1", "quality=10", "quality=50", "", "Quality=100"}) {
        EXPECT_LE(q0, WriteToMemory(pic, options, &rc).size()) << options;
        EXPECT_EQ(rc, 0) << options;
    }
    EXPECT_LT(q0, WriteToMemory(pic, "quality=10", &rc).size());
    EXPECT_LT(WriteToMemory(pic, "quality=50", &rc).size(), WriteToMemory(pic, "quality=100", &rc).size());
    for (const char* options : {"quality=101", "quality=-1", "quality=", "quality=high", "quality=99999999999999999999"}) {
        EXPECT_TRUE(WriteToMemory(pic, options, &rc).empty()) << options;
        EXPECT_EQ(rc, 1900) << options;
    }
    EXPECT_STREQ(codec_error_text(kJpeg, 1900), "quality is not in 0..100");
    std::string longText(120, ' ');
    WriteToMemory(pic, (longText + "quality=50").c_str(), &rc);
    EXPECT_EQ(rc, CODEC_ERR_OPTIONS);
    for (int bpp : {1, 4, 8}) {
        EXPECT_TRUE(WriteToMemory(peer::MakePicture(10, 10, bpp), "", &rc).empty());
        EXPECT_EQ(rc, CODEC_ERR_BPP) << bpp;
    }
}

TEST(CodecJpegWrite, FailedWriteGivesLibraryMessage)
{
    // Fails while the compressed data is flowing (a large picture) and at the final flush (a small one).
    for (auto [width, limit] : {std::pair{300, 6000L}, std::pair{8, 100L}, std::pair{300, 0L}}) {
        int rc = -1;
        WriteToMemory(peer::MakePicture(width, width, 24), "", &rc, limit);
        EXPECT_TRUE(IsMessageCode(rc)) << width << " " << rc;
        EXPECT_EQ(MessageOf(rc), "Output file write error --- out of disk space?");
    }
}

TEST(CodecJpeg, NamesSelectTheFormat)
{
    for (const char* name : {"photo.JPG", "photo.jpeg", "Photo.Jpe", "dir.x/photo.jpg"}) {
        int format = -1;
        EXPECT_EQ(codec_guess_format(name, &format), 0) << name;
        EXPECT_EQ(format, kJpeg) << name;
    }
    FormatInfo info{};
    ASSERT_EQ(codec_query_format(kJpeg, &info), 0);
    EXPECT_EQ(info.flags, 0x8Cu);
}

} // namespace
