// Pixmap: binary netpbm pixmaps (P6).
//
// The header is text: "P6", the width, the height and the maximum sample value as decimal
// numbers, separated by whitespace, where a "#" starts a comment that runs to the end of the
// line; exactly one whitespace byte follows the maximum value. Then the rows, top first, three
// bytes per pixel (red, green, blue) for maximum values of 1..255 (two bytes a sample past 255:
// refused as a bad maximum). Samples are scaled to 0..255 rounded, as netpbm's pnmdepth does;
// samples past the maximum read as 255. Only the first picture of a multi-picture file is read.
//
// Read as 24 bits; written from 24-bit pictures with maximum 255. The header reader is the
// greymap codec's.
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

int codec_pnm_read_header(int fd, char type, int maxvalError, uint32_t* width, uint32_t* height, uint32_t* maxval,
                          long* rasterOffset);
void codec_pnm_scale_table(uint32_t maxval, uint8_t table[256]);

namespace {

constexpr int kFormat = 8;

enum { PPM_ERR_MAXVAL = 200 };

constexpr uint32_t kStateTag = 0x50504D31;  // "PPM1": the header reader has run

// What the header reader leaves for the data reader.
struct PpmState {
    uint32_t tag;
    int32_t width, height;
    uint32_t maxval;
    long rasterOffset;
};

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    uint32_t width = 0, height = 0, maxval = 0;
    long rasterOffset = 0;
    int rc = codec_pnm_read_header(fd, '6', PPM_ERR_MAXVAL, &width, &height, &maxval, &rasterOffset);
    if (rc != CODEC_OK)
        return rc;
    if (codec_check_size(width, height, 24) != CODEC_OK)
        return CODEC_ERR_SIZE;
    // A file too short for its raster fails before the caller allocates for it.
    long size = codec_io_seek(fd, 0, SEEK_END);
    if (size < rasterOffset || uint64_t(size - rasterOffset) < uint64_t(width) * height * 3)
        return CODEC_ERR_READ;
    PpmState* s = codec_private<PpmState>(header);
    s->tag = kStateTag;
    s->width = header->width = int32_t(width);
    s->height = header->height = int32_t(height);
    header->bpp = 24;
    s->maxval = maxval;
    s->rasterOffset = rasterOffset;
    return CODEC_OK;
}

// The data reader works only on the header its header reader filled in.
int CheckState(const ImageHeader* header, const PpmState* s)
{
    if (s->tag != kStateTag)
        return CODEC_ERR_ARGUMENT;
    if (header->bpp != 24 || header->width != s->width || header->height != s->height)
        return CODEC_ERR_SIZE;
    return CODEC_OK;
}

// No palette at 24 bits: the caller's stays as it is.
int ReadPalette(int, ImageHeader* header, PaletteEntry*)
{
    return CheckState(header, codec_private<PpmState>(header));
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const PpmState* s = codec_private<PpmState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s->rasterOffset))
        return CODEC_ERR_READ;
    uint8_t scale[256];
    codec_pnm_scale_table(s->maxval, scale);
    const size_t used = size_t(s->width) * 3, stride = codec_stride(s->width, 24);
    for (int32_t y = 0; y < s->height; ++y) {
        uint8_t* row = data + size_t(s->height - 1 - y) * stride;
        if (!in->ReadExact(row, used))
            return CODEC_ERR_READ;
        if (s->maxval == 255) {
            for (size_t i = 0; i < used; i += 3) {
                uint8_t red = row[i];
                row[i] = row[i + 2];
                row[i + 2] = red;
            }
        } else {
            for (size_t i = 0; i < used; i += 3) {
                uint8_t red = scale[row[i]];
                row[i] = scale[row[i + 2]];
                row[i + 1] = scale[row[i + 1]];
                row[i + 2] = red;
            }
        }
        std::memset(row + used, 0, stride - used);
    }
    return CODEC_OK;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry*, const unsigned char* data,
          const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    if (header->bpp != 24)
        return CODEC_ERR_BPP;
    const int32_t width = header->width, height = header->height;
    const size_t used = size_t(width) * 3, stride = codec_stride(width, 24);
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[used]);
    if (!out || !line)
        return CODEC_ERR_MEMORY;
    char text[48];
    int n = std::snprintf(text, sizeof(text), "P6\n%d %d\n255\n", int(width), int(height));
    out->Write(text, size_t(n));
    for (int32_t y = 0; y < height && !out->Failed(); ++y) {
        const uint8_t* row = data + size_t(height - 1 - y) * stride;
        uint8_t* l = line.get();
        for (size_t i = 0; i < used; i += 3) {
            l[i] = row[i + 2];
            l[i + 1] = row[i + 1];
            l[i + 2] = row[i];
        }
        out->Write(l, used);
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

const CodecFormat codec_pixmap_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
