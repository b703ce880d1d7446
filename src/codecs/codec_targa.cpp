// Targa: Truevision TGA pictures.
//
// An 18-byte little-endian header:
//    0  length of the image ID field that follows the header
//    1  colour map type: 0 none, 1 present
//    2  image type: 1 colour-mapped, 2 true-colour, 3 grey; 9, 10, 11 the same run-length coded
//    3  colour map: first entry index, number of entries (16 bits each), entry size in bits
//    8  x and y origin, width, height (16 bits each)
//   16  pixel size in bits
//   17  descriptor: bits 0-3 alpha bits, bit 4 right to left, bit 5 top row first
// Then the image ID, the colour map (entries of 15 or 16 bits x-R5-G5-B5, 24 bits B-G-R or
// 32 bits B-G-R-A), and the pixels: rows bottom first unless bit 5 says otherwise, pixels in
// the same layouts as the map entries (8-bit pixels are map indices or grey levels). Run-length
// packets: a byte whose top bit marks a run of one pixel repeated, else raw pixels, with the
// count in its low 7 bits plus one; packets may run on from one row into the next.
//
// Read: colour-mapped and grey 8-bit pictures as 8 bits (the colour map in place from its first
// entry index on, or a grey ramp), true-colour 15-, 16-, 24- and 32-bit pictures as 24 bits
// (alpha dropped; 5-bit channels scaled to 0..255 rounded). Colour maps of 15, 16, 24 and 32
// bits. The interleaving bits of the descriptor (long obsolete) are ignored.
//
// Written uncompressed, with neither ID nor colour map where not needed. 24-bit pictures as
// true-colour of 24 bits, or 16 or 32 with the options "16" and "32" (the 16-bit pixels carry
// their top bit set, the 32-bit ones an opaque alpha). 8-bit pictures as grey when the palette
// is the grey ramp, else colour-mapped with a 256-entry 24-bit map. Rows go bottom first, or top
// first with the option "ydown" ("yup", the default, says bottom first).
#include <cstdio>
#include <memory>
#include <utility>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormat = 4;

enum { TGA_ERR_PIXEL_SIZE = 400, TGA_ERR_TYPE = 401, TGA_ERR_MAP_ENTRY = 402 };

enum : int { kHeaderSize = 18 };
enum : int { kColourMapped = 1, kTrueColour = 2, kGrey = 3, kRunLength = 8 };
enum : int { kRightToLeft = 0x10, kTopFirst = 0x20 };

constexpr uint32_t kStateTag = 0x54474131;  // "TGA1": the header reader has run

// What the header reader leaves for the palette and data readers.
struct TgaState {
    uint32_t tag;
    int32_t width, height, bpp;
    uint8_t imageType;  // without the run-length bit
    uint8_t runLength;
    uint8_t pixelBits;
    uint8_t mapEntryBits;
    uint8_t descriptor;
    uint16_t mapFirst, mapLength;
    long mapOffset, dataOffset;
};

unsigned Le16(const unsigned char* p)
{
    return unsigned(p[0]) | (unsigned(p[1]) << 8);
}

// Bytes of a pixel or map entry of so many bits.
unsigned BytesOf(unsigned bits)
{
    return (bits + 7) / 8;
}

// The 5-bit channels of 15- and 16-bit pixels, scaled to 0..255 rounded.
struct FiveBitScale {
    uint8_t level[32] = {};
    constexpr FiveBitScale()
    {
        for (unsigned v = 0; v < 32; ++v)
            level[v] = uint8_t((v * 255 + 15) / 31);
    }
};
constexpr FiveBitScale kFive;

// One 15/16, 24 or 32-bit pixel or map entry as blue, green, red.
inline void ToBgr(const uint8_t* p, unsigned bytes, uint8_t* bgr)
{
    if (bytes == 2) {
        unsigned v = unsigned(p[0]) | (unsigned(p[1]) << 8);
        bgr[0] = kFive.level[v & 31];
        bgr[1] = kFive.level[(v >> 5) & 31];
        bgr[2] = kFive.level[(v >> 10) & 31];
    } else {
        bgr[0] = p[0];
        bgr[1] = p[1];
        bgr[2] = p[2];
    }
}

// ---- reading ----

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    unsigned char h[kHeaderSize];
    {
        std::unique_ptr<CodecReader> in = codec_open_reader(fd);
        if (!in)
            return CODEC_ERR_MEMORY;
        if (!in->ReadExact(h, sizeof(h)))
            return CODEC_ERR_READ;
    }
    unsigned idLength = h[0], mapType = h[1], imageType = h[2];
    unsigned mapFirst = Le16(h + 3), mapLength = Le16(h + 5), mapEntryBits = h[7];
    unsigned width = Le16(h + 12), height = Le16(h + 14), pixelBits = h[16];
    if (mapType > 1)
        return CODEC_ERR_SIGNATURE;
    if (imageType == 32 || imageType == 33)  // Huffman and quadtree coded: not read
        return TGA_ERR_TYPE;
    unsigned base = imageType & ~unsigned(kRunLength);
    if (imageType > 11 || base < kColourMapped || base > kGrey)
        return CODEC_ERR_SIGNATURE;
    if (pixelBits != 8 && pixelBits != 15 && pixelBits != 16 && pixelBits != 24 && pixelBits != 32)
        return TGA_ERR_PIXEL_SIZE;
    if ((base == kTrueColour) == (pixelBits == 8))
        return TGA_ERR_TYPE;
    if (base == kColourMapped) {
        if (mapType != 1)
            return CODEC_ERR_SIGNATURE;
        if (mapEntryBits != 15 && mapEntryBits != 16 && mapEntryBits != 24 && mapEntryBits != 32)
            return TGA_ERR_MAP_ENTRY;
    }
    int bpp = base == kTrueColour ? 24 : 8;
    if (codec_check_size(width, height, bpp) != CODEC_OK)
        return CODEC_ERR_SIZE;

    // A file too short for its pixels fails before the caller allocates for them: a run-length
    // packet holds at most 128 pixels.
    const long mapBytes = mapType ? long(mapLength) * long(BytesOf(mapEntryBits)) : 0;
    const long dataOffset = kHeaderSize + long(idLength) + mapBytes;
    const uint64_t pixels = uint64_t(width) * height, pixelBytes = BytesOf(pixelBits);
    const uint64_t least = imageType & kRunLength ? (pixels + 127) / 128 * (1 + pixelBytes) : pixels * pixelBytes;
    long size = codec_io_seek(fd, 0, SEEK_END);
    if (size < dataOffset || uint64_t(size - dataOffset) < least)
        return CODEC_ERR_READ;

    TgaState* s = codec_private<TgaState>(header);
    s->imageType = uint8_t(base);
    s->runLength = (imageType & kRunLength) != 0;
    s->pixelBits = uint8_t(pixelBits);
    s->mapEntryBits = uint8_t(mapEntryBits);
    s->descriptor = h[17];
    s->mapFirst = uint16_t(mapType ? mapFirst : 0);
    s->mapLength = uint16_t(mapType ? mapLength : 0);
    s->mapOffset = kHeaderSize + long(idLength);
    s->dataOffset = dataOffset;
    s->tag = kStateTag;
    s->width = header->width = int32_t(width);
    s->height = header->height = int32_t(height);
    s->bpp = header->bpp = bpp;
    return CODEC_OK;
}

// The palette and data readers work only on the header their header reader filled in.
int CheckState(const ImageHeader* header, const TgaState* s)
{
    return codec_check_state(header, s, kStateTag);
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const TgaState* s = codec_private<TgaState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    if (s->bpp == 24)
        return CODEC_OK;
    if (s->imageType == kGrey) {
        for (int i = 0; i < 256; ++i)
            palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
        return CODEC_OK;
    }
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s->mapOffset))
        return CODEC_ERR_READ;
    // Entries past index 255 cannot be reached by 8-bit pixels, but they must be there.
    const unsigned bytes = BytesOf(s->mapEntryBits);
    for (int i = 0; i < 256; ++i)
        palette[i] = PaletteEntry{0, 0, 0};
    for (unsigned i = 0; i < s->mapLength; ++i) {
        uint8_t entry[4], bgr[3];
        if (!in->ReadExact(entry, bytes))
            return CODEC_ERR_READ;
        unsigned index = s->mapFirst + i;
        if (index >= 256)
            continue;
        ToBgr(entry, bytes, bgr);
        palette[index] = PaletteEntry{bgr[2], bgr[1], bgr[0]};
    }
    return CODEC_OK;
}

// The pixels of a row as the file holds them, uncompressed or from run-length packets that
// may carry on from one row into the next.
class PixelSource
{
public:
    PixelSource(CodecReader& in, unsigned pixelBytes, bool runLength)
        : m_in(in), m_bytes(pixelBytes), m_runLength(runLength)
    {
    }

    bool Row(uint8_t* out, size_t pixels)
    {
        if (!m_runLength)
            return m_in.ReadExact(out, pixels * m_bytes);
        while (pixels > 0) {
            if (m_left == 0) {
                int packet = m_in.Byte();
                if (packet < 0)
                    return false;
                m_left = size_t(packet & 0x7F) + 1;
                m_repeat = (packet & 0x80) != 0;
                if (m_repeat && !m_in.ReadExact(m_pixel, m_bytes))
                    return false;
            }
            size_t n = m_left < pixels ? m_left : pixels;
            if (m_repeat) {
                for (size_t i = 0; i < n; ++i, out += m_bytes)
                    std::memcpy(out, m_pixel, m_bytes);
            } else {
                if (!m_in.ReadExact(out, n * m_bytes))
                    return false;
                out += n * m_bytes;
            }
            m_left -= n;
            pixels -= n;
        }
        return true;
    }

private:
    CodecReader& m_in;
    const unsigned m_bytes;
    const bool m_runLength;
    size_t m_left = 0;
    bool m_repeat = false;
    uint8_t m_pixel[4] = {};
};

// A row of file pixels to the picture's 8- or 24-bit row.
void ConvertRow(const uint8_t* in, unsigned pixelBytes, int32_t width, uint8_t* row)
{
    if (pixelBytes == 1 || pixelBytes == 3) {
        std::memcpy(row, in, size_t(width) * pixelBytes);
        return;
    }
    for (int32_t x = 0; x < width; ++x, in += pixelBytes, row += 3)
        ToBgr(in, pixelBytes, row);
}

void MirrorRow(uint8_t* row, int32_t width, int bpp)
{
    const size_t step = bpp == 24 ? 3 : 1;
    for (size_t a = 0, b = size_t(width) - 1; a < b; ++a, --b)
        for (size_t k = 0; k < step; ++k)
            std::swap(row[a * step + k], row[b * step + k]);
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const TgaState* s = codec_private<TgaState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s->dataOffset))
        return CODEC_ERR_READ;
    const unsigned pixelBytes = BytesOf(s->pixelBits);
    const size_t stride = codec_stride(s->width, s->bpp);
    const size_t used = size_t(s->width) * size_t(s->bpp / 8);
    // 24-bit rows are read straight into the picture; the others need room for their own layout.
    const bool direct = pixelBytes == 1 || pixelBytes == 3;
    std::unique_ptr<uint8_t[]> buffer;
    if (!direct) {
        buffer.reset(new (std::nothrow) uint8_t[size_t(s->width) * pixelBytes]);
        if (!buffer)
            return CODEC_ERR_MEMORY;
    }
    PixelSource source(*in, pixelBytes, s->runLength != 0);
    const bool topFirst = (s->descriptor & kTopFirst) != 0;
    for (int32_t y = 0; y < s->height; ++y) {
        uint8_t* row = data + size_t(topFirst ? s->height - 1 - y : y) * stride;
        if (!source.Row(direct ? row : buffer.get(), size_t(s->width)))
            return CODEC_ERR_READ;
        if (!direct)
            ConvertRow(buffer.get(), pixelBytes, s->width, row);
        if (s->descriptor & kRightToLeft)
            MirrorRow(row, s->width, s->bpp);
        std::memset(row + used, 0, stride - used);
    }
    return CODEC_OK;
}

// ---- writing ----

bool IsGreyRamp(const PaletteEntry* palette)
{
    for (int i = 0; i < 256; ++i)
        if (palette[i].red != i || palette[i].green != i || palette[i].blue != i)
            return false;
    return true;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    if (opts.CountFlags({"16", "24", "32"}) > 1 || opts.CountFlags({"ydown", "yup"}) > 1)
        return CODEC_ERR_OPTIONS;
    const int bpp = header->bpp;
    if (bpp != 8 && bpp != 24)
        return CODEC_ERR_BPP;
    const int32_t width = header->width, height = header->height;
    const bool grey = bpp == 8 && IsGreyRamp(palette);
    const unsigned pixelBits = bpp == 8 ? 8 : opts.Flag("16") ? 16 : opts.Flag("32") ? 32 : 24;
    const bool topFirst = opts.Flag("ydown");

    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[size_t(width) * 4]);
    if (!out || !line)
        return CODEC_ERR_MEMORY;
    uint8_t h[kHeaderSize] = {};
    const bool mapped = bpp == 8 && !grey;
    h[1] = mapped ? 1 : 0;
    h[2] = uint8_t(mapped ? kColourMapped : grey ? kGrey : kTrueColour);
    if (mapped) {
        h[5] = 0;  // 256 entries from index 0
        h[6] = 1;
        h[7] = 24;
    }
    h[12] = uint8_t(width);
    h[13] = uint8_t(width >> 8);
    h[14] = uint8_t(height);
    h[15] = uint8_t(height >> 8);
    h[16] = uint8_t(pixelBits);
    h[17] = uint8_t((topFirst ? kTopFirst : 0) | (pixelBits == 32 ? 8 : 0));
    out->Write(h, sizeof(h));
    if (mapped) {
        uint8_t map[256 * 3];
        for (int i = 0; i < 256; ++i) {
            map[3 * i] = palette[i].blue;
            map[3 * i + 1] = palette[i].green;
            map[3 * i + 2] = palette[i].red;
        }
        out->Write(map, sizeof(map));
    }

    const size_t stride = codec_stride(width, bpp);
    for (int32_t y = 0; y < height && !out->Failed(); ++y) {
        const uint8_t* row = data + size_t(topFirst ? height - 1 - y : y) * stride;
        if (pixelBits == 8 || pixelBits == 24) {
            out->Write(row, size_t(width) * (pixelBits / 8));
            continue;
        }
        uint8_t* l = line.get();
        if (pixelBits == 32) {
            for (int32_t x = 0; x < width; ++x, row += 3, l += 4) {
                l[0] = row[0];
                l[1] = row[1];
                l[2] = row[2];
                l[3] = 0xFF;
            }
        } else {
            for (int32_t x = 0; x < width; ++x, row += 3, l += 2) {
                unsigned v = 0x8000u | (unsigned(row[2] >> 3) << 10) | (unsigned(row[1] >> 3) << 5) | (row[0] >> 3);
                l[0] = uint8_t(v);
                l[1] = uint8_t(v >> 8);
            }
        }
        out->Write(line.get(), size_t(width) * (pixelBits / 8));
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

const CodecFormat codec_targa_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
