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

#include "codecs/codec_pnm.h"

namespace {

constexpr int kFormat = 8;

enum { PPM_ERR_MAXVAL = 200 };

constexpr uint32_t kStateTag = 0x50504D31;  // "PPM1": the header reader has run

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    return codec_pnm_begin(fd, '6', PPM_ERR_MAXVAL, 24, kStateTag, header, options);
}

// No palette at 24 bits: the caller's stays as it is.
int ReadPalette(int, ImageHeader* header, PaletteEntry*)
{
    const PnmState* s = nullptr;
    return codec_pnm_state(header, 24, kStateTag, &s);
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const PnmState* s = nullptr;
    int rc = codec_pnm_state(header, 24, kStateTag, &s);
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
