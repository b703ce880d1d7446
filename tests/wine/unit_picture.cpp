// ResizePicture and the bitmap object through the component's own code, on pictures written
// by the codecs.
#include <gtest/gtest.h>
#include <windows.h>
#include <fstream>
#include <vector>

#include "codecs/codec.h"
#include "framework/Module.h"
#include "picture/Dib.h"
#include "picture/PictureCommands.h"
#include "picture/WorkFolder.h"
#include "shell/CallFrame.h"
#include "shell/ClientHelper.h"

namespace {

std::string Temp(const std::string& name)
{
    return GetWorkFolder() + name;
}

// A 24-bit picture with a gradient, written through the codecs.
void WritePicture(const std::string& path, int width, int height)
{
    ImageHeader h = {};
    h.width = width;
    h.height = height;
    h.bpp = 24;
    std::vector<unsigned char> rows(codec_stride(width, 24) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = rows.data() + size_t(y) * codec_stride(width, 24) + size_t(x) * 3;
            p[0] = static_cast<unsigned char>(x);
            p[1] = static_cast<unsigned char>(y);
            p[2] = static_cast<unsigned char>(x + y);
        }
    int format = 0;
    ASSERT_EQ(codec_guess_format(path.c_str(), &format), 0);
    int fd = codec_io_create(path.c_str(), codec_mode_write_binary());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(codec_write(path.c_str(), fd, format, &h, nullptr, rows.data(), ""), 0);
    codec_io_close(fd);
}

void SizeOf(const std::string& path, int& width, int& height)
{
    CDIB dib;
    ASSERT_TRUE(dib.Load(path.c_str())) << path;
    width = dib.Width();
    height = dib.Height();
}

FILETIME WriteTime(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

int CountWorkCopies(const std::string& suffix)
{
    WIN32_FIND_DATAA fd;
    int n = 0;
    HANDLE h = FindFirstFileA((GetWorkFolder() + "FV*" + suffix).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do
        ++n;
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return n;
}

} // namespace

TEST(ResizePicture, ResizesInPlaceAndLeavesARightSizedFileAlone)
{
    struct Case {
        int w, h, ew, eh;
    } cases[] = {{1600, 1200, 640, 480}, {1200, 1600, 360, 480}, {1000, 333, 640, 213}};
    for (const Case& c : cases) {
        std::string path = Temp("trel_resize_" + std::to_string(c.w) + ".bmp");
        WritePicture(path, c.w, c.h);
        EXPECT_EQ(ResizePictureBody(path, 640, 480, false), path);
        int w = 0, h = 0;
        SizeOf(path, w, h);
        EXPECT_EQ(w, c.ew) << c.w << "x" << c.h;
        EXPECT_EQ(h, c.eh) << c.w << "x" << c.h;

        // Already the right size: the file is not written again.
        FILETIME before = WriteTime(path);
        Sleep(20);
        EXPECT_EQ(ResizePictureBody(path, 640, 480, false), path);
        FILETIME after = WriteTime(path);
        EXPECT_EQ(CompareFileTime(&before, &after), 0);
        DeleteFileA(path.c_str());
    }
}

TEST(ResizePicture, CopiesAreMadeAndDeletedOnFailure)
{
    std::string path = Temp("trel_copy_source.bmp");
    WritePicture(path, 800, 600);
    std::string copy = ResizePictureBody(path, 640, 480, true);
    EXPECT_NE(copy, path);
    EXPECT_EQ(copy.rfind(GetWorkFolder() + "FV", 0), 0u) << copy;
    int w = 0, h = 0;
    SizeOf(copy, w, h);
    EXPECT_EQ(w, 640);
    SizeOf(path, w, h);
    EXPECT_EQ(w, 800);  // the caller's file is untouched
    DeleteFileA(copy.c_str());
    DeleteFileA(path.c_str());

    // A file that is no picture: string 102, and the copy is gone again.
    std::string bad = Temp("trel_not_a_picture.bmp");
    { std::ofstream(bad, std::ios::binary) << "this is no bitmap"; }
    int before = CountWorkCopies("_trel_not_a_picture.bmp");
    HRESULT hr = RunInFrame(L"CClientHelper::ResizePicture()", [&] { ResizePictureBody(bad, 640, 480, true); });
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(CountWorkCopies("_trel_not_a_picture.bmp"), before);
    DeleteFileA(bad.c_str());
}

TEST(ResizePicture, ACommaSplitsTheNameFromCodecOptions)
{
    std::string path = Temp("trel_comma.bmp");
    WritePicture(path, 1600, 1200);
    // "name,options": the part before the comma is loaded; the options go to the codec.
    EXPECT_EQ(ResizePictureBody(path + ",index=0", 640, 480, false), path + ",index=0");
    int w = 0, h = 0;
    SizeOf(path, w, h);
    EXPECT_EQ(w, 640);
    // A name whose part before the comma is no picture fails to load.
    HRESULT hr = RunInFrame(L"CClientHelper::ResizePicture()",
                            [&] { ResizePictureBody(Temp("trel_no,such.bmp"), 640, 480, false); });
    EXPECT_EQ(hr, E_FAIL);
    DeleteFileA(path.c_str());
}

TEST(Dib, SaveReducesForFormatsWithoutTrueColour)
{
    std::string src = Temp("trel_dib_src.bmp"), gif = Temp("trel_dib_out.gif");
    WritePicture(src, 64, 48);
    CDIB dib;
    ASSERT_TRUE(dib.Load(src.c_str()));
    ASSERT_TRUE(dib.Save(gif.c_str()));
    CDIB back;
    ASSERT_TRUE(back.Load(gif.c_str()));
    EXPECT_EQ(back.BitsPerPixel(), 8);
    EXPECT_EQ(back.Width(), 64);
    ASSERT_TRUE(back.ConvertTo24Bit());
    EXPECT_EQ(back.BitsPerPixel(), 24);
    EXPECT_EQ(back.Colors(), 16777216);
    // A second Load on a full object fails and keeps the picture.
    EXPECT_FALSE(back.Load(src.c_str()));
    EXPECT_EQ(back.Width(), 64);
    // No extension the codecs know: Load and Save fail.
    EXPECT_FALSE(dib.Save(Temp("trel_dib_out.xyz").c_str()));
    CDIB none;
    EXPECT_FALSE(none.Load(Temp("trel_dib_src.xyz").c_str()));
    DeleteFileA(src.c_str());
    DeleteFileA(gif.c_str());
}

TEST(ResizePicture, TrueColourGemRasterFile)
{
    // 1280 x 960 in four one-coloured quarters, as a 24-plane raster made by hand: each plane row
    // is two solid runs of 80 bytes (00 or FF) for the left and right halves; planes go red,
    // green, blue, each from its lowest bit.
    const unsigned char quarters[4][3] = {{10, 28, 69}, {200, 150, 5}, {255, 0, 128}, {33, 240, 99}};
    std::string file;
    for (unsigned w : {1u, 8u, 24u, 1u, 85u, 85u, 1280u, 960u})
        file += {char(w >> 8), char(w & 0xFF)};
    for (int y = 0; y < 960; ++y)
        for (int plane = 0; plane < 24; ++plane)
            for (int half = 0; half < 2; ++half) {
                const unsigned char* c = quarters[(y < 480 ? 0 : 2) + half];
                bool set = (c[plane / 8] >> (plane % 8)) & 1;
                file += char(set ? 0x80 | 80 : 80);
            }
    std::string path = Temp("trel_truecolour.img");
    { std::ofstream(path, std::ios::binary) << file; }

    EXPECT_EQ(ResizePictureBody(path, 640, 480, false), path);
    CDIB dib;
    ASSERT_TRUE(dib.Load(path.c_str()));
    ASSERT_EQ(dib.Width(), 640);
    ASSERT_EQ(dib.Height(), 480);
    ASSERT_EQ(dib.BitsPerPixel(), 24);
    size_t stride = codec_stride(640, 24);
    for (int q = 0; q < 4; ++q) {
        int x = q % 2 ? 480 : 160, yTop = q < 2 ? 120 : 360;
        const BYTE* p = dib.Bits() + size_t(479 - yTop) * stride + size_t(x) * 3;  // rows bottom-up, blue first
        EXPECT_EQ(p[2], quarters[q][0]) << q;
        EXPECT_EQ(p[1], quarters[q][1]) << q;
        EXPECT_EQ(p[0], quarters[q][2]) << q;
    }
    DeleteFileA(path.c_str());
}
