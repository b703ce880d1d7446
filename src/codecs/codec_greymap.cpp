// Greymap: binary netpbm greymaps (P5).
//
// The header is text: "P5", the width, the height and the maximum grey value as decimal
// numbers, separated by whitespace, where a "#" starts a comment that runs to the end of the
// line; exactly one whitespace byte follows the maximum value. Then the rows, top first, one
// byte per pixel for maximum values of 1..255 (two bytes past 255: refused as a bad maximum).
// Values are scaled to 0..255 rounded, as netpbm's pnmdepth does; values past the maximum
// read as 255. Only the first picture of a multi-picture file is read.
//
// Read as 8 bits over a grey ramp. Written from 8-bit pictures with maximum 255: each palette
// entry gives one grey level, its luminance (red × 77 + green × 150 + blue × 29) / 256, or one
// of its channels with the option "r", "g" or "b" ("k" asks for the luminance).
//
// The header reader is shared with the pixmap codec (P6).
#include <cstdio>
#include <memory>

#include "codecs/codec_pnm.h"

namespace {

constexpr int kFormat = 7;

enum { PGM_ERR_MAXVAL = 100 };

constexpr uint32_t kStateTag = 0x50474D31;  // "PGM1": the header reader has run
constexpr uint32_t kNumberCap = 99999999;   // far past any size or maximum accepted

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

void SkipComment(CodecReader& in)
{
    int c;
    do
        c = in.Byte();
    while (c >= 0 && c != '\n' && c != '\r');
}

// A decimal number after whitespace and comments, and the byte that ends it (a comment ending
// it counts as its line end). A field that is not a number answers the field's error.
int ReadNumber(CodecReader& in, int fieldError, uint32_t* value)
{
    int c = in.Byte();
    while (c == '#' || IsSpace(c)) {
        if (c == '#')
            SkipComment(in);
        c = in.Byte();
    }
    if (c < 0)
        return CODEC_ERR_READ;
    if (c < '0' || c > '9')
        return fieldError;
    uint32_t v = 0;
    for (; c >= '0' && c <= '9'; c = in.Byte())
        v = v > kNumberCap ? v : v * 10 + uint32_t(c - '0');
    if (c < 0)
        return CODEC_ERR_READ;
    if (c == '#')
        SkipComment(in);
    else if (!IsSpace(c))
        return fieldError;
    *value = v;
    return CODEC_OK;
}

// A netpbm header of the given type ('5', '6'): its numbers and where the raster starts.
int ReadPnmHeader(int fd, char type, int maxvalError, uint32_t* width, uint32_t* height, uint32_t* maxval,
                  long* rasterOffset)
{
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char magic[2];
    size_t got = in->Read(magic, sizeof(magic));
    if ((got > 0 && magic[0] != 'P') || (got == 2 && magic[1] != uint8_t(type)))
        return CODEC_ERR_SIGNATURE;
    if (got < 2)
        return CODEC_ERR_READ;
    int rc = ReadNumber(*in, CODEC_ERR_SIZE, width);
    if (rc == CODEC_OK)
        rc = ReadNumber(*in, CODEC_ERR_SIZE, height);
    if (rc == CODEC_OK)
        rc = ReadNumber(*in, maxvalError, maxval);
    if (rc != CODEC_OK)
        return rc;
    if (*maxval == 0 || *maxval > 255)
        return maxvalError;
    *rasterOffset = in->Tell();
    return CODEC_OK;
}

} // namespace

// Samples of 0..maxval to 0..255, rounded; the values past maxval to 255.
void codec_pnm_scale_table(uint32_t maxval, uint8_t table[256])
{
    for (uint32_t v = 0; v < 256; ++v)
        table[v] = v >= maxval ? 255 : uint8_t((v * 255 + maxval / 2) / maxval);
}

int codec_pnm_begin(int fd, char type, int maxvalError, int32_t bpp, uint32_t tag, ImageHeader* header,
                    const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    uint32_t width = 0, height = 0, maxval = 0;
    long rasterOffset = 0;
    int rc = ReadPnmHeader(fd, type, maxvalError, &width, &height, &maxval, &rasterOffset);
    if (rc != CODEC_OK)
        return rc;
    if (codec_check_size(width, height, bpp) != CODEC_OK)
        return CODEC_ERR_SIZE;
    // A file too short for its raster fails before the caller allocates for it.
    long size = codec_io_seek(fd, 0, SEEK_END);
    if (size < rasterOffset || uint64_t(size - rasterOffset) < uint64_t(width) * height * uint32_t(bpp / 8))
        return CODEC_ERR_READ;
    PnmState* s = codec_private<PnmState>(header);
    s->tag = tag;
    s->width = header->width = int32_t(width);
    s->height = header->height = int32_t(height);
    header->bpp = bpp;
    s->maxval = maxval;
    s->rasterOffset = rasterOffset;
    return CODEC_OK;
}

int codec_pnm_state(const ImageHeader* header, int32_t bpp, uint32_t tag, const PnmState** state)
{
    const PnmState* s = codec_private<PnmState>(header);
    if (s->tag != tag)
        return CODEC_ERR_ARGUMENT;
    if (header->bpp != bpp || header->width != s->width || header->height != s->height)
        return CODEC_ERR_SIZE;
    *state = s;
    return CODEC_OK;
}

namespace {

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    return codec_pnm_begin(fd, '5', PGM_ERR_MAXVAL, 8, kStateTag, header, options);
}

int ReadPalette(int, ImageHeader* header, PaletteEntry* palette)
{
    const PnmState* s = nullptr;
    int rc = codec_pnm_state(header, 8, kStateTag, &s);
    if (rc != CODEC_OK)
        return rc;
    for (int i = 0; i < 256; ++i)
        palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
    return CODEC_OK;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const PnmState* s = nullptr;
    int rc = codec_pnm_state(header, 8, kStateTag, &s);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s->rasterOffset))
        return CODEC_ERR_READ;
    uint8_t scale[256];
    codec_pnm_scale_table(s->maxval, scale);
    const size_t width = size_t(s->width), stride = codec_stride(s->width, 8);
    for (int32_t y = 0; y < s->height; ++y) {
        uint8_t* row = data + size_t(s->height - 1 - y) * stride;
        if (!in->ReadExact(row, width))
            return CODEC_ERR_READ;
        if (s->maxval != 255)
            for (size_t x = 0; x < width; ++x)
                row[x] = scale[row[x]];
        std::memset(row + width, 0, stride - width);
    }
    return CODEC_OK;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK || opts.CountFlags({"r", "g", "b", "k"}) > 1)
        return CODEC_ERR_OPTIONS;
    if (header->bpp != 8)
        return CODEC_ERR_BPP;
    uint8_t grey[256];
    const bool r = opts.Flag("r"), g = opts.Flag("g"), b = opts.Flag("b");
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = palette[i];
        grey[i] = r ? e.red : g ? e.green : b ? e.blue : uint8_t((e.red * 77 + e.green * 150 + e.blue * 29) / 256);
    }
    const int32_t width = header->width, height = header->height;
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[size_t(width)]);
    if (!out || !line)
        return CODEC_ERR_MEMORY;
    char text[48];
    int n = std::snprintf(text, sizeof(text), "P5\n%d %d\n255\n", int(width), int(height));
    out->Write(text, size_t(n));
    const size_t stride = codec_stride(width, 8);
    for (int32_t y = 0; y < height && !out->Failed(); ++y) {
        const uint8_t* row = data + size_t(height - 1 - y) * stride;
        for (int32_t x = 0; x < width; ++x)
            line[size_t(x)] = grey[row[x]];
        out->Write(line.get(), size_t(width));
    }
    return out->Finish();
}

int Query(FormatInfo* info)
{
    return codec_query_format(kFormat, info);
}

// The texts live in the format table.
const char* ErrorText(int code)
{
    return codec_error_text(kFormat, code);
}

} // namespace

const CodecFormat codec_greymap_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
