// trelimg: the picture codecs from the command line.
//   trelimg info FILE [READ-OPTIONS]
//   trelimg convert IN OUT [WRITE-OPTIONS] [--read OPTIONS]
//   trelimg reduce IN OUT COLOURS          24-bit picture to a palette of COLOURS (popularity)
//   trelimg resize IN OUT WIDTH HEIGHT     the component's ResizePicture: to the standard size
// Exit code 0 on success, 1 with the codec's message otherwise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "acquire/VideoFrame.h"
#include "codecs/codec.h"
#include "picture/PixelOps.h"

namespace {

// Picture rows in fresh anonymous pages: they arrive zeroed, so nothing is cleared twice, and a
// large picture asks for transparent huge pages, which saves thousands of page faults per run.
class PixelBuffer {
public:
    PixelBuffer() = default;
    explicit PixelBuffer(size_t size) { Allocate(size); }
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;
    ~PixelBuffer() { Release(); }

    void Allocate(size_t size)
    {
        Release();
        if (size == 0)
            return;
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        if (size >= (size_t(2) << 20))
            madvise(p, size, MADV_HUGEPAGE);
        m_data = static_cast<unsigned char*>(p);
        m_size = size;
    }
    void swap(PixelBuffer& other)
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
    }
    unsigned char* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    void Release()
    {
        if (m_data != nullptr)
            munmap(m_data, m_size);
        m_data = nullptr;
        m_size = 0;
    }
    unsigned char* m_data = nullptr;
    size_t m_size = 0;
};

struct Picture {
    ImageHeader header{};
    std::vector<PaletteEntry> palette = std::vector<PaletteEntry>(256);
    PixelBuffer rows;
};

int Fail(int format, int code, const char* what)
{
    const char* text = codec_error_text(format, code);
    if (text == nullptr)
        text = codec_common_error_text(code);
    std::fprintf(stderr, "trelimg: %s: error %d: %s\n", what, code, text ? text : "unknown error");
    return 1;
}

int Load(const char* name, const char* options, Picture& pic, int& format)
{
    int rc = codec_guess_format(name, &format);
    if (rc != 0)
        return Fail(-1, rc, name);
    int fd = codec_io_open(name, codec_mode_read_binary());
    if (fd < 0) {
        std::perror(name);
        return 1;
    }
    rc = codec_read_header(name, fd, format, &pic.header, options);
    if (rc == 0) {
        pic.rows.Allocate(codec_stride(pic.header.width, pic.header.bpp) * size_t(pic.header.height));
        rc = codec_read_palette(fd, format, &pic.header, pic.palette.data());
    }
    if (rc == 0)
        rc = codec_read_data(fd, format, &pic.header, pic.rows.data());
    codec_io_close(fd);
    return rc == 0 ? 0 : Fail(format, rc, name);
}

// 1/4/8-bit rows to 8-bit indices, or palette pictures to 24 bits.
void Unpack(Picture& pic, int toBpp)
{
    const ImageHeader& h = pic.header;
    size_t inStride = codec_stride(h.width, h.bpp), outStride = codec_stride(h.width, toBpp);
    PixelBuffer out(outStride * size_t(h.height));
    for (int32_t y = 0; y < h.height; ++y) {
        const unsigned char* src = pic.rows.data() + size_t(y) * inStride;
        unsigned char* dst = out.data() + size_t(y) * outStride;
        for (int32_t x = 0; x < h.width; ++x) {
            unsigned index = h.bpp == 8 ? src[x]
                             : h.bpp == 4 ? (src[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F
                                          : (src[x / 8] >> (7 - x % 8)) & 1;
            if (toBpp == 8) {
                dst[x] = static_cast<unsigned char>(index);
            } else {
                dst[3 * x] = pic.palette[index].blue;
                dst[3 * x + 1] = pic.palette[index].green;
                dst[3 * x + 2] = pic.palette[index].red;
            }
        }
    }
    pic.rows.swap(out);
    pic.header.bpp = toBpp;
}

// 8-bit indices (all below 2^toBpp) packed to 1 or 4 bits.
void Pack(Picture& pic, int toBpp)
{
    const ImageHeader& h = pic.header;
    size_t inStride = codec_stride(h.width, 8), outStride = codec_stride(h.width, toBpp);
    PixelBuffer out(outStride * size_t(h.height));
    for (int32_t y = 0; y < h.height; ++y) {
        const unsigned char* src = pic.rows.data() + size_t(y) * inStride;
        unsigned char* dst = out.data() + size_t(y) * outStride;
        for (int32_t x = 0; x < h.width; ++x) {
            if (toBpp == 4)
                dst[x / 2] |= static_cast<unsigned char>((src[x] & 0x0F) << (x % 2 ? 0 : 4));
            else
                dst[x / 8] |= static_cast<unsigned char>((src[x] & 1) << (7 - x % 8));
        }
    }
    pic.rows.swap(out);
    pic.header.bpp = toBpp;
}

bool Reduce(Picture& pic, int colours)
{
    PixelBuffer indices(codec_stride(pic.header.width, 8) * size_t(pic.header.height));
    if (!codec_reduce_colours(&pic.header, pic.rows.data(), pic.palette.data(), indices.data(), colours, 0xFF, 0xFF,
                              0xFF))
        return false;
    pic.rows.swap(indices);
    pic.header.bpp = 8;
    return true;
}

// Brings the picture to a depth the format writes, the way the component's bitmap object does.
bool FitDepth(Picture& pic, unsigned flags)
{
    auto writes = [&](int bpp) {
        return (flags & (bpp == 1 ? 0x10u : bpp == 4 ? 0x20u : bpp == 8 ? 0x40u : 0x80u)) != 0;
    };
    if (writes(pic.header.bpp))
        return true;
    if (pic.header.bpp != 24 && writes(24)) {
        Unpack(pic, 24);
        return true;
    }
    if (pic.header.bpp != 24)
        Unpack(pic, 24);
    int target = writes(8) ? 8 : writes(4) ? 4 : writes(1) ? 1 : 0;
    if (target == 0 || !Reduce(pic, 1 << target))
        return false;
    if (target < 8)
        Pack(pic, target);
    return true;
}

int Save(const char* name, const char* options, Picture& pic)
{
    int format = 0;
    int rc = codec_guess_format(name, &format);
    if (rc != 0)
        return Fail(-1, rc, name);
    FormatInfo info{};
    codec_query_format(format, &info);
    if (!FitDepth(pic, info.flags))
        return Fail(format, CODEC_ERR_BPP, name);
    int fd = codec_io_create(name, codec_mode_write_binary());
    if (fd < 0) {
        std::perror(name);
        return 1;
    }
    rc = codec_write(name, fd, format, &pic.header, pic.palette.data(), pic.rows.data(), options);
    codec_io_close(fd);
    if (rc != 0) {
        std::remove(name);
        return Fail(format, rc, name);
    }
    return 0;
}

// Timing aids for scripts/bench.sh (not in the usage text): pure decode, and encode from a binary
// PPM, so that a comparison with the peer tools measures the codec and nothing else.
int BenchDecode(const char* name)
{
    Picture pic;
    int format = 0;
    return Load(name, "", pic, format);
}

// A binary PPM (P6, one or two bytes a sample) as 24-bit rows, bottom-up.
bool ReadPpm(const char* name, Picture& pic)
{
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr)
        return false;
    auto number = [f]() -> long {
        int c = std::fgetc(f);
        while (c == '#' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (c == '#')
                while (c != '\n' && c != EOF)
                    c = std::fgetc(f);
            c = std::fgetc(f);
        }
        long v = -1;
        for (; c >= '0' && c <= '9' && v < 100000; c = std::fgetc(f))
            v = (v < 0 ? 0 : v * 10) + (c - '0');
        return v;  // the one blank after the number is consumed with it
    };
    bool ok = std::fgetc(f) == 'P' && std::fgetc(f) == '6';
    long width = ok ? number() : -1, height = ok ? number() : -1, maxval = ok ? number() : -1;
    ok = width > 0 && width <= 65535 && height > 0 && height <= 65535 && maxval > 0 && maxval <= 65535;
    if (ok) {
        pic.header.width = int32_t(width);
        pic.header.height = int32_t(height);
        pic.header.bpp = 24;
        size_t stride = codec_stride(pic.header.width, 24), samples = size_t(width) * 3;
        size_t bytes = maxval > 255 ? 2 : 1;
        pic.rows.Allocate(stride * size_t(height));
        std::vector<unsigned char> wide(bytes == 2 ? samples * 2 : 0);
        for (long y = height - 1; ok && y >= 0; --y) {
            unsigned char* row = pic.rows.data() + size_t(y) * stride;
            unsigned char* in = bytes == 2 ? wide.data() : row;
            ok = std::fread(in, bytes, samples, f) == samples;
            const uint32_t top = uint32_t(maxval);
            for (size_t i = 0; ok && top != 255 && i < samples; ++i) {
                uint32_t v = bytes == 2 ? (uint32_t(in[2 * i]) << 8) | in[2 * i + 1] : in[i];
                row[i] = static_cast<unsigned char>((std::min(v, top) * 255 + top / 2) / top);
            }
            for (long x = 0; x < width; ++x)
                std::swap(row[3 * x], row[3 * x + 2]);
        }
    }
    std::fclose(f);
    return ok;
}

int BenchEncode(const char* in, const char* out, const char* options)
{
    Picture pic;
    if (!ReadPpm(in, pic)) {
        std::fprintf(stderr, "trelimg: %s: not a binary PPM\n", in);
        return 1;
    }
    return Save(out, options, pic);
}

// The video frame dialog's JPEG write of a grabbed frame, from a binary PPM of the same pixels;
// with a count, the frame is written that many times and the mean processor time of one write is
// printed (processor time: other work on a busy machine does not count).
int BenchFrame(const char* in, const char* out, int count)
{
    Picture pic;
    if (!ReadPpm(in, pic)) {
        std::fprintf(stderr, "trelimg: %s: not a binary PPM\n", in);
        return 1;
    }
    const std::clock_t start = std::clock();
    for (int i = 0; i < (count > 0 ? count : 1); ++i) {
        const int rc = WriteFrameJpeg(out, pic.header.width, pic.header.height, pic.rows.data(),
                                      codec_stride(pic.header.width, 24) * size_t(pic.header.height));
        if (rc != CODEC_OK)
            return Fail(CODEC_FORMAT_JPEG, rc, out);
    }
    if (count > 0)
        std::printf("%.3f ms a write\n", double(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC / count);
    return 0;
}

// The component's ResizePicture pipeline: load, 24 bits, the standard size (the height decides for
// portraits), averaging stretch, save with the format's defaults (GIF with its edge colour made
// transparent, as the bitmap object saves it). A picture already of that size is not rewritten in place.
int Resize(const char* in, const char* out, long defWidth, long defHeight)
{
    Picture pic;
    int format = 0;
    if (Load(in, "", pic, format) != 0)
        return 1;
    if (pic.header.bpp != 24)
        Unpack(pic, 24);
    long newWidth = 0, newHeight = 0;
    StandardSize(pic.header.width, pic.header.height, defWidth, defHeight, newWidth, newHeight);
    const bool sameSize = newWidth == pic.header.width && newHeight == pic.header.height;
    if (sameSize && std::strcmp(in, out) == 0) {
        std::printf("%s: already %ld x %ld, not rewritten\n", out, newWidth, newHeight);
        return 0;
    }
    if (!sameSize) {
        std::vector<uint8_t> pixels;
        if (newWidth < 1 || newHeight < 1 || newWidth > 65535 || newHeight > 65535 ||
            !StretchPixels24(pic.rows.data(), pic.header.width, pic.header.height, -1, -1, -1, -1,
                             int32_t(newWidth), int32_t(newHeight), pixels))
            return Fail(-1, CODEC_ERR_MEMORY, "stretch");
        pic.rows.Allocate(pixels.size());
        std::memcpy(pic.rows.data(), pixels.data(), pixels.size());
        pic.header.width = int32_t(newWidth);
        pic.header.height = int32_t(newHeight);
    }
    int outFormat = 0;
    const bool gif = codec_guess_format(out, &outFormat) == 0 && outFormat == CODEC_FORMAT_GIF;
    if (Save(out, gif ? "transcol=edge" : "", pic) != 0)
        return 1;
    std::printf("%s: %ld x %ld\n", out, newWidth, newHeight);
    return 0;
}

// Throughput of the pixel work on a picture read from a file: megapixels of output per second.
int BenchPixels(const char* name, const char* what)
{
    Picture pic;
    int format = 0;
    if (Load(name, "", pic, format) != 0)
        return 1;
    if (pic.header.bpp != 24)
        Unpack(pic, 24);
    const int32_t w = pic.header.width, h = pic.header.height;
    struct Case {
        const char* label;
        int32_t width, height;
        int degrees;
    };
    const Case cases[] = {{"stretch to 640x480 (shrink)", 640, 480, -1},
                          {"stretch to 1.5x (enlarge)", w + w / 2, h + h / 2, -1},
                          {"rotate 90", 0, 0, 90},
                          {"rotate 17", 0, 0, 17}};
    for (const Case& c : cases) {
        if ((c.degrees < 0) != (std::strcmp(what, "stretch") == 0))
            continue;
        std::vector<uint8_t> out;
        int32_t ow = c.width, oh = c.height;
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = c.degrees < 0
                            ? StretchPixels24(pic.rows.data(), w, h, -1, -1, -1, -1, c.width, c.height, out)
                            : RotatePixels24(pic.rows.data(), w, h, c.degrees, ow, oh, out);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!ok)
            return Fail(-1, CODEC_ERR_MEMORY, c.label);
        std::printf("%-30s %dx%d -> %dx%d: %7.1f ms, %7.1f MP/s of output, %7.1f MP/s of input\n", c.label, w, h, ow, oh,
                    s * 1000, double(ow) * oh / s / 1e6, double(w) * h / s / 1e6);
    }
    return 0;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: trelimg info FILE [READ-OPTIONS]\n"
                 "       trelimg convert IN OUT [WRITE-OPTIONS] [--read READ-OPTIONS]\n"
                 "       trelimg reduce IN OUT COLOURS\n"
                 "       trelimg resize IN OUT WIDTH HEIGHT\n"
                 "       trelimg formats\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    std::string cmd = argv[1];
    if (cmd == "formats") {
        for (int f = 0; f < CODEC_FORMAT_COUNT; ++f) {
            FormatInfo info{};
            codec_query_format(f, &info);
            std::printf("%2d %-9s 0x%02X %-28s %s\n", f, info.shortName, info.flags, info.extensions, info.longName);
        }
        return 0;
    }
    if (cmd == "info" && argc >= 3) {
        Picture pic;
        int format = 0;
        if (Load(argv[2], argc > 3 ? argv[3] : "", pic, format) != 0)
            return 1;
        FormatInfo info{};
        codec_query_format(format, &info);
        std::printf("%s: %s, %d x %d, %d bits per pixel\n", argv[2], info.shortName, pic.header.width,
                    pic.header.height, pic.header.bpp);
        return 0;
    }
    if (cmd == "convert" && argc >= 4) {
        const char* writeOptions = "";
        const char* readOptions = "";
        for (int i = 4; i < argc; ++i) {
            if (std::strcmp(argv[i], "--read") == 0 && i + 1 < argc)
                readOptions = argv[++i];
            else
                writeOptions = argv[i];
        }
        Picture pic;
        int format = 0;
        if (Load(argv[2], readOptions, pic, format) != 0)
            return 1;
        return Save(argv[3], writeOptions, pic);
    }
    if (cmd == "resize" && argc >= 6)
        return Resize(argv[2], argv[3], std::atol(argv[4]), std::atol(argv[5]));
    if ((cmd == "bench-stretch" || cmd == "bench-rotate") && argc >= 3)
        return BenchPixels(argv[2], cmd.c_str() + 6);
    if (cmd == "bench-decode" && argc >= 3)
        return BenchDecode(argv[2]);
    if (cmd == "bench-frame" && argc >= 4)
        return BenchFrame(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 0);
    if (cmd == "bench-encode" && argc >= 4)
        return BenchEncode(argv[2], argv[3], argc > 4 ? argv[4] : "");
    if (cmd == "reduce" && argc >= 5) {
        Picture pic;
        int format = 0;
        if (Load(argv[2], "", pic, format) != 0)
            return 1;
        if (pic.header.bpp != 24)
            Unpack(pic, 24);
        if (!Reduce(pic, std::atoi(argv[4])))
            return Fail(-1, CODEC_ERR_MEMORY, "reduce");
        return Save(argv[3], "", pic);
    }
    return Usage();
}
