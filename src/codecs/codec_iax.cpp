// IAX: raw 8-bit greyscale pixels with nothing else in the file.
//
// Layout: height rows of width bytes, top row first, 0 = black, 255 = white. The file holds no
// width: it comes from the read option width=N (1..65535, default 512) and the height is the file
// length divided by it (1500 when it does not divide evenly). The picture reads as 8 bits over a
// grey ramp palette.
//
// Write options: r, g, b or k pick how a palette entry becomes a grey level: one channel, or the
// luminance (red × 77 + green × 150 + blue × 29) / 256 (k, the default). Two of them give 3.
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormatIax = 10;
constexpr int IAX_ERR_LENGTH = 1500;
constexpr long kDefaultWidth = 512;
constexpr uint32_t kStateTag = 0x49415831;  // "IAX1": the header reader has run

struct IaxState {
    uint32_t tag;
    int32_t width, height;
};

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatIax, info);
}

int ReadWidthOption(const char* options, long* width)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    *width = kDefaultWidth;
    if (opts.Text("width=") != nullptr && !opts.Number("width=", width))
        return CODEC_ERR_OPTIONS;
    if (*width < 1 || *width > CODEC_MAX_DIMENSION)
        return CODEC_ERR_OPTIONS;
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    long width = 0;
    int rc = ReadWidthOption(options, &width);
    if (rc != CODEC_OK)
        return rc;
    long length = codec_io_seek(fd, 0, SEEK_END);
    if (length < 0)
        return CODEC_ERR_READ;
    if (length == 0)
        return CODEC_ERR_SIZE;
    if (length % width != 0)
        return IAX_ERR_LENGTH;
    long height = length / width;
    if (codec_check_size(width, height, 8) != CODEC_OK)
        return CODEC_ERR_SIZE;
    header->width = static_cast<int32_t>(width);
    header->height = static_cast<int32_t>(height);
    header->bpp = 8;
    IaxState* state = codec_private<IaxState>(header);
    state->tag = kStateTag;
    state->width = header->width;
    state->height = header->height;
    return CODEC_OK;
}

const IaxState* CheckedState(ImageHeader* header)
{
    const IaxState* state = codec_private<IaxState>(header);
    if (state->tag != kStateTag || state->width != header->width || state->height != header->height ||
        header->bpp != 8)
        return nullptr;
    return state;
}

int ReadPalette(int, ImageHeader* header, PaletteEntry* palette)
{
    if (CheckedState(header) == nullptr)
        return CODEC_ERR_ARGUMENT;
    for (int i = 0; i < 256; ++i)
        palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
    return CODEC_OK;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const IaxState* state = CheckedState(header);
    if (state == nullptr)
        return CODEC_ERR_ARGUMENT;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    // A new reader takes the file position for 0; the header reader left it at the end.
    if (codec_io_seek(fd, 0, SEEK_SET) != 0)
        return CODEC_ERR_READ;
    const size_t width = size_t(state->width), stride = codec_stride(state->width, 8);
    for (int32_t y = 0; y < state->height; ++y) {
        unsigned char* row = data + size_t(state->height - 1 - y) * stride;
        if (!in->ReadExact(row, width))
            return CODEC_ERR_READ;
        std::memset(row + width, 0, stride - width);
    }
    return CODEC_OK;
}

// The grey level of each palette entry under the r/g/b/k options.
int GreyTable(const char* options, const PaletteEntry* palette, unsigned char grey[256])
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    if (opts.CountFlags({"r", "g", "b", "k"}) > 1)
        return CODEC_ERR_OPTIONS;
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = palette[i];
        if (opts.Flag("r"))
            grey[i] = e.red;
        else if (opts.Flag("g"))
            grey[i] = e.green;
        else if (opts.Flag("b"))
            grey[i] = e.blue;
        else
            grey[i] = static_cast<unsigned char>((e.red * 77 + e.green * 150 + e.blue * 29) / 256);
    }
    return CODEC_OK;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    if (header->bpp != 8)
        return CODEC_ERR_BPP;
    unsigned char grey[256];
    int rc = GreyTable(options, palette, grey);
    if (rc != CODEC_OK)
        return rc;
    const size_t width = size_t(header->width), stride = codec_stride(header->width, 8);
    std::unique_ptr<unsigned char[]> line(new (std::nothrow) unsigned char[width]);
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    if (!line || !out)
        return CODEC_ERR_MEMORY;
    for (int32_t y = 0; y < header->height && !out->Failed(); ++y) {
        const unsigned char* src = data + size_t(header->height - 1 - y) * stride;
        for (size_t x = 0; x < width; ++x)
            line[x] = grey[src[x]];
        out->Write(line.get(), width);
    }
    return out->Finish();
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatIax, code);
}

} // namespace

const CodecFormat codec_iax_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
