// YUV12C: a frame buffer dump of the M-Motion video adapter, 4:1:1 YUV at 12 bits per pixel.
//
// Layout (all words 16-bit little-endian):
//   0   8 bytes  signature "YUV12C" followed by two zero bytes (only the six letters are checked)
//   8   word     xpos   where the frame sat in the adapter's buffer (kept by nobody on reading)
//   10  word     ypos
//   12  word     width  in pixels, a multiple of 4 (1000 otherwise)
//   14  word     height in rows
//   16  height rows, top row first, each width / 4 groups of 6 bytes:
//         Y0 Y1 Y2 Y3 U V  — four luminance samples, left to right, and the colour difference
//         samples the four pixels share.
//
// Colour: full-range ITU-R BT.601 (as JFIF uses), U and V stored with 128 added:
//   Y = 0.299 R + 0.587 G + 0.114 B
//   U = 0.5 B - 0.168736 R - 0.331264 G      (of the group's mean colour)
//   V = 0.5 R - 0.418688 G - 0.081312 B
//   R = Y + 1.402 V,  G = Y - 0.344136 U - 0.714136 V,  B = Y + 1.772 U
// in 16-bit fixed point, rounded to nearest and clamped. Grey pictures survive exactly; colour
// loses the detail that four pixels share one U and V.
//
// Write options: xpos=N, ypos=N (0..65535, default 0). The writer takes 24-bit pictures whose
// width is a multiple of 4 (1000 otherwise).
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormatYuv = 6;
constexpr int YUV_ERR_WIDTH = 1000;
constexpr unsigned char kSignature[6] = {'Y', 'U', 'V', '1', '2', 'C'};
constexpr long kHeaderBytes = 16;
constexpr uint32_t kStateTag = 0x59555631;  // "YUV1": the header reader has run

struct YuvState {
    uint32_t tag;
    int32_t width, height;
};

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatYuv, info);
}

unsigned Le16(const unsigned char* p)
{
    return unsigned(p[0]) | (unsigned(p[1]) << 8);
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char h[kHeaderBytes];
    size_t got = in->Read(h, sizeof(h));
    if (std::memcmp(h, kSignature, got < sizeof(kSignature) ? got : sizeof(kSignature)) != 0)
        return CODEC_ERR_SIGNATURE;
    if (got != sizeof(h))
        return CODEC_ERR_READ;
    const unsigned width = Le16(h + 12), height = Le16(h + 14);
    if (width == 0 || height == 0)
        return CODEC_ERR_SIZE;
    if (width % 4 != 0)
        return YUV_ERR_WIDTH;
    if (codec_check_size(width, height, 24) != CODEC_OK)
        return CODEC_ERR_SIZE;
    // A file too short for its pixels is refused before anyone allocates for them.
    const long length = codec_io_seek(fd, 0, SEEK_END);
    if (length < 0 || uint64_t(length) < kHeaderBytes + uint64_t(width / 4) * 6 * height)
        return CODEC_ERR_READ;
    header->width = int32_t(width);
    header->height = int32_t(height);
    header->bpp = 24;
    YuvState* state = codec_private<YuvState>(header);
    state->tag = kStateTag;
    state->width = header->width;
    state->height = header->height;
    return CODEC_OK;
}

const YuvState* CheckedState(ImageHeader* header)
{
    const YuvState* state = codec_private<YuvState>(header);
    if (state->tag != kStateTag || state->width != header->width || state->height != header->height ||
        header->bpp != 24)
        return nullptr;
    return state;
}

int ReadPalette(int, ImageHeader* header, PaletteEntry*)
{
    return CheckedState(header) ? CODEC_OK : CODEC_ERR_ARGUMENT;
}

// Fixed point: a value scaled by 2^shift, rounded to nearest and clamped to a byte. The bias
// keeps the shift on non-negative numbers so it rounds the same way everywhere.
unsigned char Round(int64_t scaled, int shift)
{
    const int64_t bias = int64_t(1024) << shift;
    int64_t v = ((scaled + bias + (int64_t(1) << (shift - 1))) >> shift) - 1024;
    return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// One group of four pixels from its six bytes to blue-green-red.
void GroupToBgr(const unsigned char* g, unsigned char* bgr)
{
    const int32_t u = int32_t(g[4]) - 128, v = int32_t(g[5]) - 128;
    const int32_t dr = 91881 * v, dg = -22554 * u - 46802 * v, db = 116130 * u;
    for (int i = 0; i < 4; ++i) {
        const int32_t y = int32_t(g[i]) << 16;
        bgr[3 * i] = Round(y + db, 16);
        bgr[3 * i + 1] = Round(y + dg, 16);
        bgr[3 * i + 2] = Round(y + dr, 16);
    }
}

// Four blue-green-red pixels to one group of six bytes.
void BgrToGroup(const unsigned char* bgr, unsigned char* g)
{
    int32_t sr = 0, sg = 0, sb = 0;
    for (int i = 0; i < 4; ++i) {
        const int32_t b = bgr[3 * i], gr = bgr[3 * i + 1], r = bgr[3 * i + 2];
        g[i] = Round(19595 * r + 38470 * gr + 7471 * b, 16);
        sr += r;
        sg += gr;
        sb += b;
    }
    // The sums carry four pixels: their scale is 2^18.
    g[4] = Round(int64_t(-11059 * sr - 21709 * sg + 32768 * sb) + (int64_t(128) << 18), 18);
    g[5] = Round(int64_t(32768 * sr - 27439 * sg - 5329 * sb) + (int64_t(128) << 18), 18);
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const YuvState* state = CheckedState(header);
    if (state == nullptr)
        return CODEC_ERR_ARGUMENT;
    const size_t groups = size_t(state->width) / 4, rowBytes = groups * 6, stride = codec_stride(state->width, 24);
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    std::unique_ptr<unsigned char[]> line(new (std::nothrow) unsigned char[rowBytes]);
    if (!in || !line)
        return CODEC_ERR_MEMORY;
    // A new reader takes the file position for 0.
    if (codec_io_seek(fd, 0, SEEK_SET) != 0 || !in->Seek(kHeaderBytes))
        return CODEC_ERR_READ;
    for (int32_t y = 0; y < state->height; ++y) {
        if (!in->ReadExact(line.get(), rowBytes))
            return CODEC_ERR_READ;
        unsigned char* dst = data + size_t(state->height - 1 - y) * stride;
        for (size_t i = 0; i < groups; ++i)
            GroupToBgr(line.get() + 6 * i, dst + 12 * i);
        std::memset(dst + 12 * groups, 0, stride - 12 * groups);
    }
    return CODEC_OK;
}

// A 0..65535 option value; absent means 0.
int PositionOption(const CodecOptions& opts, const char* name, unsigned* value)
{
    *value = 0;
    if (opts.Text(name) == nullptr)
        return CODEC_OK;
    long v = 0;
    if (!opts.Number(name, &v) || v < 0 || v > 65535)
        return CODEC_ERR_OPTIONS;
    *value = unsigned(v);
    return CODEC_OK;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry*, const unsigned char* data,
          const char* options)
{
    if (header->bpp != 24)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    unsigned xpos = 0, ypos = 0;
    if (opts.Parse(options) != CODEC_OK || PositionOption(opts, "xpos=", &xpos) != CODEC_OK ||
        PositionOption(opts, "ypos=", &ypos) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    if (header->width % 4 != 0)
        return YUV_ERR_WIDTH;
    const size_t groups = size_t(header->width) / 4, rowBytes = groups * 6, stride = codec_stride(header->width, 24);
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<unsigned char[]> line(new (std::nothrow) unsigned char[rowBytes]);
    if (!out || !line)
        return CODEC_ERR_MEMORY;
    out->Write(kSignature, sizeof(kSignature));
    out->U16le(0);
    out->U16le(xpos);
    out->U16le(ypos);
    out->U16le(unsigned(header->width));
    out->U16le(unsigned(header->height));
    for (int32_t y = 0; y < header->height && !out->Failed(); ++y) {
        const unsigned char* src = data + size_t(header->height - 1 - y) * stride;
        for (size_t i = 0; i < groups; ++i)
            BgrToGroup(src + 12 * i, line.get() + 6 * i);
        out->Write(line.get(), rowBytes);
    }
    return out->Finish();
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatYuv, code);
}

} // namespace

const CodecFormat codec_yuv12c_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
