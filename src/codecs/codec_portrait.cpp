// Portrait: a fixed 512 × 512 true-colour frame with no header.
//
// Layout: three planes of 512 × 512 bytes, red first, then green, then blue; each plane holds
// its rows top row first, left pixel first. The file is exactly 786432 bytes; any other length
// answers 1800. The writer takes only 24-bit 512 × 512 pictures (1801 otherwise).
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormatPortrait = 15;
constexpr int PORTRAIT_ERR_FILE_SIZE = 1800, PORTRAIT_ERR_PICTURE_SIZE = 1801;
constexpr int32_t kSide = 512;
constexpr long kPlaneBytes = long(kSide) * kSide;
constexpr long kFileBytes = 3 * kPlaneBytes;
constexpr uint32_t kStateTag = 0x43565031;  // "CVP1": the header reader has run

struct PortraitState {
    uint32_t tag;
};

// Plane order in the file and each plane's byte within a blue-green-red pixel.
constexpr int kPlaneChannel[3] = {2, 1, 0};

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatPortrait, info);
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    long length = codec_io_seek(fd, 0, SEEK_END);
    if (length < 0)
        return CODEC_ERR_READ;
    if (length != kFileBytes)
        return PORTRAIT_ERR_FILE_SIZE;
    header->width = kSide;
    header->height = kSide;
    header->bpp = 24;
    codec_private<PortraitState>(header)->tag = kStateTag;
    return CODEC_OK;
}

bool StateValid(ImageHeader* header)
{
    return codec_private<PortraitState>(header)->tag == kStateTag && header->width == kSide &&
           header->height == kSide && header->bpp == 24;
}

int ReadPalette(int, ImageHeader* header, PaletteEntry*)
{
    return StateValid(header) ? CODEC_OK : CODEC_ERR_ARGUMENT;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    if (!StateValid(header))
        return CODEC_ERR_ARGUMENT;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    // A new reader takes the file position for 0; the header reader left it at the end.
    if (codec_io_seek(fd, 0, SEEK_SET) != 0)
        return CODEC_ERR_READ;
    const size_t stride = codec_stride(kSide, 24);
    unsigned char line[kSide];
    for (int plane = 0; plane < 3; ++plane) {
        const int channel = kPlaneChannel[plane];
        for (int32_t y = 0; y < kSide; ++y) {
            if (!in->ReadExact(line, sizeof(line)))
                return CODEC_ERR_READ;
            unsigned char* dst = data + size_t(kSide - 1 - y) * stride + channel;
            for (int32_t x = 0; x < kSide; ++x)
                dst[3 * x] = line[x];
        }
    }
    return CODEC_OK;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry*, const unsigned char* data,
          const char* options)
{
    if (header->bpp != 24)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    if (header->width != kSide || header->height != kSide)
        return PORTRAIT_ERR_PICTURE_SIZE;
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    if (!out)
        return CODEC_ERR_MEMORY;
    const size_t stride = codec_stride(kSide, 24);
    unsigned char line[kSide];
    for (int plane = 0; plane < 3 && !out->Failed(); ++plane) {
        const int channel = kPlaneChannel[plane];
        for (int32_t y = 0; y < kSide; ++y) {
            const unsigned char* src = data + size_t(kSide - 1 - y) * stride + channel;
            for (int32_t x = 0; x < kSide; ++x)
                line[x] = src[3 * x];
            out->Write(line, sizeof(line));
        }
    }
    return out->Finish();
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatPortrait, code);
}

} // namespace

const CodecFormat codec_portrait_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
