// Bitmap codec: Windows bitmaps (BITMAPINFOHEADER and the later V4/V5 headers), OS/2 1.1 bitmaps
// (BITMAPCOREHEADER), OS/2 2.0 bitmaps (BITMAPINFOHEADER2) and OS/2 bitmap arrays.
//
// Reading
//   Depths 1, 4, 8 and 24, uncompressed, and RLE8 / RLE4. 16- and 32-bit files (uncompressed or
//   with BI_BITFIELDS masks) come out as 24-bit pictures without their alpha: today's tools write
//   them for screenshots and for pictures with alpha. Top-down files (negative height) come out
//   bottom-up like all others. OS/2 Huffman 1D and RLE24 answer 303; icons and pointers (CI, IC,
//   CP, PT), alone or in an array, answer 5. The header reader answers 7 when uncompressed data
//   cannot fit the file (only the last row's padding may be missing), so a short file never has the
//   caller allocate for a picture it cannot hold.
//   Options:
//     index=N  the N-th bitmap (from 0) of a bitmap array; a plain file is bitmap 0; 304 past the end.
//     inv      inverts the palette's colours (red, green and blue become 255 - value), every entry
//              of the 2^bpp; 24-bit pictures are unchanged.
//     invb     inverts the bits of 1-bit pictures, so each pixel takes the other palette entry;
//              other depths are unchanged.
//   A palette shorter than 2^bpp entries is filled up with black. RLE streams are decoded
//   defensively: runs past the row end and deltas past the right edge are clipped, a delta or
//   end-of-line past the top row ends the picture, and pixels the stream skips are colour 0. A
//   stream that ends before the picture is complete, without an end-of-bitmap code, answers 7 and
//   leaves the rows decoded so far in the buffer. Offsets into the headers or past the end of the
//   file and bitmap array chains that do not move forward also answer 7.
//
// Writing: uncompressed, every depth.
//   win (default)  Windows 3.0: 40-byte BITMAPINFOHEADER, palette entries blue, green, red, 0.
//   2.0            OS/2 2.0: the full 64-byte BITMAPINFOHEADER2, its OS/2 fields 0 (pels per metre,
//                  bottom-up, no halftoning, RGB); palette entries blue, green, red, 0.
//   1.1            OS/2 1.1: 12-byte BITMAPCOREHEADER, palette entries blue, green, red.
//   More than one of these answers 3.
//   1-bit pictures are written black and white: a pixel is white when its palette colour has a luma
//   of 128 or more, else black; two colours that differ but fall on the same side are kept apart
//   (the brighter one is white). The palette is black, white (set bits white) by default and with
//   "lightfg", white, black (set bits black) with "darkfg"; "inv" and "invb" each swap that order.
//   The bits always follow the palette, so the file shows the same picture with any of them.
//   "darkfg" with "lightfg" answers 3.
#include <cstdio>

#include "codecs/codec_internal.h"

namespace {

constexpr int BMP_ERR_PLANES = 300;
constexpr int BMP_ERR_BIT_COUNT = 301;
constexpr int BMP_ERR_CBFIX = 302;
constexpr int BMP_ERR_COMPRESSION = 303;
constexpr int BMP_ERR_INDEX = 304;

enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

constexpr uint32_t kFileHeaderSize = 14;       // BITMAPFILEHEADER
constexpr uint32_t kArrayHeaderSize = 14;      // BITMAPARRAYHEADER before its BITMAPFILEHEADER
constexpr uint32_t kCoreHeaderSize = 12;       // BITMAPCOREHEADER
constexpr uint32_t kInfoHeaderSize = 40;       // BITMAPINFOHEADER
constexpr uint32_t kInfoHeader2Size = 64;      // BITMAPINFOHEADER2, complete
constexpr uint32_t kLargestInfoHeader = 124;   // BITMAPV5HEADER

// What the header reader leaves for the palette and data readers.
struct BitmapState {
    uint32_t paletteOffset;
    uint32_t paletteCount;    // entries present in the file
    uint32_t paletteEntrySize;
    uint32_t dataOffset;
    uint32_t compression;
    uint32_t masks[3];        // red, green, blue of 16- and 32-bit files
    int32_t fileBpp;          // 1, 4, 8, 16, 24 or 32
    int32_t width, height;
    bool topDown;
    bool invertPalette;
    bool invertBits;
};

uint16_t Le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const unsigned char* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// ---- reading ----

// Follows a bitmap array's chain to the index-th BITMAPARRAYHEADER; leaves the position of its
// BITMAPFILEHEADER in fileHeader. A plain file is a one-element chain.
int FindBitmapFileHeader(CodecReader& in, long fileSize, long index, uint32_t* fileHeader)
{
    unsigned char type[2];
    if (!in.ReadExact(type, 2))
        return CODEC_ERR_READ;
    if (type[0] == 'B' && type[1] == 'M') {
        *fileHeader = 0;
        return index == 0 ? CODEC_OK : BMP_ERR_INDEX;
    }
    if (type[0] != 'B' || type[1] != 'A')
        return CODEC_ERR_SIGNATURE;
    uint32_t position = 0;
    for (long i = 0;; ++i) {
        unsigned char b[kArrayHeaderSize];
        if (!in.Seek(position) || !in.ReadExact(b, sizeof(b)))
            return CODEC_ERR_READ;
        if (b[0] != 'B' || b[1] != 'A')
            return i == 0 ? CODEC_ERR_SIGNATURE : CODEC_ERR_READ;
        if (i == index) {
            *fileHeader = position + kArrayHeaderSize;
            return CODEC_OK;
        }
        uint32_t next = Le32(b + 6);
        if (next == 0)
            return BMP_ERR_INDEX;
        // Forward only: a chain pointing back would never end.
        if (next <= position || next >= static_cast<unsigned long>(fileSize))
            return CODEC_ERR_READ;
        position = next;
    }
}

int CheckCompression(uint32_t infoSize, int32_t bpp, uint32_t compression)
{
    switch (compression) {
    case BI_RGB:
        return CODEC_OK;
    case BI_RLE8:
        return bpp == 8 ? CODEC_OK : BMP_ERR_COMPRESSION;
    case BI_RLE4:
        return bpp == 4 ? CODEC_OK : BMP_ERR_COMPRESSION;
    case BI_BITFIELDS:
        // In OS/2 2.0 headers the same value is Huffman 1D.
        if (infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize < 108)
            return BMP_ERR_COMPRESSION;
        return bpp == 16 || bpp == 32 ? CODEC_OK : BMP_ERR_COMPRESSION;
    default:
        return BMP_ERR_COMPRESSION;
    }
}

bool KnownInfoSize(uint32_t size)
{
    return size == kCoreHeaderSize || (size >= 16 && size <= kInfoHeader2Size) || size == 108 ||
           size == kLargestInfoHeader;
}

// BITMAPFILEHEADER and the information header after it, of any kind.
int ReadBitmapHeaders(CodecReader& in, long fileSize, uint32_t fileHeader, ImageHeader* header, BitmapState* s)
{
    unsigned char fh[kFileHeaderSize];
    if (!in.Seek(fileHeader) || !in.ReadExact(fh, sizeof(fh)))
        return CODEC_ERR_READ;
    if (fh[0] != 'B' || fh[1] != 'M')
        return CODEC_ERR_SIGNATURE;
    uint32_t dataOffset = Le32(fh + 10);

    unsigned char info[kLargestInfoHeader] = {};
    if (!in.ReadExact(info, 4))
        return CODEC_ERR_READ;
    uint32_t infoSize = Le32(info);
    if (!KnownInfoSize(infoSize))
        return BMP_ERR_CBFIX;
    if (!in.ReadExact(info + 4, infoSize - 4))
        return CODEC_ERR_READ;

    int64_t width, height;
    uint32_t planes, compression = BI_RGB, clrUsed = 0;
    int32_t bpp;
    if (infoSize == kCoreHeaderSize) {
        width = Le16(info + 4);
        height = Le16(info + 6);
        planes = Le16(info + 8);
        bpp = Le16(info + 10);
        s->paletteEntrySize = 3;
    } else {
        // Fields past a short OS/2 2.0 header stay 0.
        width = static_cast<int32_t>(Le32(info + 4));
        height = static_cast<int32_t>(Le32(info + 8));
        planes = Le16(info + 12);
        bpp = Le16(info + 14);
        compression = Le32(info + 16);
        clrUsed = Le32(info + 32);
        s->paletteEntrySize = 4;
    }
    if (planes != 1)
        return BMP_ERR_PLANES;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return BMP_ERR_BIT_COUNT;
    if (int rc = CheckCompression(infoSize, bpp, compression))
        return rc;
    s->topDown = height < 0;
    if (height < 0)
        height = -height;
    int32_t outBpp = bpp > 8 ? 24 : bpp;
    if (int rc = codec_check_size(width, height, outBpp))
        return rc;

    uint64_t paletteOffset = uint64_t(fileHeader) + kFileHeaderSize + infoSize;
    if (bpp == 16 || bpp == 32) {
        if (compression == BI_BITFIELDS && infoSize == kInfoHeaderSize) {
            unsigned char m[12];
            if (!in.ReadExact(m, sizeof(m)))
                return CODEC_ERR_READ;
            std::memcpy(info + 40, m, sizeof(m));
            paletteOffset += sizeof(m);
        }
        if (compression == BI_BITFIELDS) {
            for (int c = 0; c < 3; ++c)
                s->masks[c] = Le32(info + 40 + 4 * c);
        } else if (bpp == 16) {
            s->masks[0] = 0x7C00, s->masks[1] = 0x03E0, s->masks[2] = 0x001F;
        } else {
            s->masks[0] = 0xFF0000, s->masks[1] = 0x00FF00, s->masks[2] = 0x0000FF;
        }
    }
    if (dataOffset < paletteOffset)
        return CODEC_ERR_READ;

    uint32_t colours = 0;
    if (bpp <= 8) {
        colours = 1u << bpp;
        if (clrUsed != 0 && clrUsed < colours)
            colours = clrUsed;
        // Some writers leave less room than the palette needs; the data offset wins.
        uint64_t room = (dataOffset - paletteOffset) / s->paletteEntrySize;
        if (room < colours)
            colours = static_cast<uint32_t>(room);
    }
    uint64_t fileStride = ((uint64_t(width) * uint64_t(bpp) + 31) / 32) * 4;
    uint64_t dataNeeded = compression == BI_RLE8 || compression == BI_RLE4
                              ? 2
                              : fileStride * uint64_t(height - 1) + (uint64_t(width) * uint64_t(bpp) + 7) / 8;
    if (uint64_t(dataOffset) + dataNeeded > uint64_t(fileSize))
        return CODEC_ERR_READ;

    s->paletteOffset = static_cast<uint32_t>(paletteOffset);
    s->paletteCount = colours;
    s->dataOffset = dataOffset;
    s->compression = compression;
    s->fileBpp = bpp;
    s->width = static_cast<int32_t>(width);
    s->height = static_cast<int32_t>(height);
    header->width = s->width;
    header->height = s->height;
    header->bpp = outBpp;
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    long index = 0;
    if (opts.Text("index=") != nullptr && (!opts.Number("index=", &index) || index < 0))
        return CODEC_ERR_OPTIONS;

    long fileSize = codec_io_seek(fd, 0, SEEK_END);
    if (fileSize < 0 || codec_io_seek(fd, 0, SEEK_SET) != 0)
        return CODEC_ERR_READ;
    BitmapState* s = codec_private<BitmapState>(header);
    *s = BitmapState{};
    s->invertPalette = opts.Flag("inv");
    s->invertBits = opts.Flag("invb");
    CodecReader in(fd);
    uint32_t fileHeader = 0;
    if (int rc = FindBitmapFileHeader(in, fileSize, index, &fileHeader))
        return rc;
    return ReadBitmapHeaders(in, fileSize, fileHeader, header, s);
}

// The state is ours only if the header reader filled it and the caller kept the sizes; the
// palette and row loops rely on its bounds.
const BitmapState* CheckedState(const ImageHeader* header)
{
    const BitmapState* s = codec_private<BitmapState>(header);
    int32_t bpp = s->fileBpp;
    bool depthOk = bpp == 1 || bpp == 4 || bpp == 8 ? header->bpp == bpp
                   : bpp == 16 || bpp == 24 || bpp == 32 ? header->bpp == 24
                                                         : false;
    if (!depthOk || s->width != header->width || s->height != header->height ||
        codec_check_size(s->width, s->height, header->bpp) != CODEC_OK ||
        (s->paletteEntrySize != 3 && s->paletteEntrySize != 4) || s->paletteCount > (bpp <= 8 ? 1u << bpp : 0u))
        return nullptr;
    bool packingOk = s->compression == BI_RGB || (s->compression == BI_RLE8 && bpp == 8) ||
                     (s->compression == BI_RLE4 && bpp == 4) || (s->compression == BI_BITFIELDS && bpp > 8);
    if (!packingOk)
        return nullptr;
    return s;
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const BitmapState* s = CheckedState(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    if (s->fileBpp > 8)
        return CODEC_OK;
    unsigned char raw[256 * 4];
    size_t bytes = size_t(s->paletteCount) * s->paletteEntrySize;
    CodecReader in(fd);
    if (bytes > 0 && (!in.Seek(s->paletteOffset) || !in.ReadExact(raw, bytes)))
        return CODEC_ERR_READ;
    uint32_t colours = 1u << s->fileBpp;
    for (uint32_t i = 0; i < colours; ++i) {
        PaletteEntry e{0, 0, 0};
        if (i < s->paletteCount) {
            const unsigned char* p = raw + i * s->paletteEntrySize;
            e = PaletteEntry{p[2], p[1], p[0]};
        }
        if (s->invertPalette)
            e = PaletteEntry{uint8_t(255 - e.red), uint8_t(255 - e.green), uint8_t(255 - e.blue)};
        palette[i] = e;
    }
    return CODEC_OK;
}

void InvertBits(unsigned char* data, size_t stride, int32_t width, int32_t height)
{
    size_t bytes = (size_t(width) + 7) / 8;
    for (int32_t y = 0; y < height; ++y) {
        unsigned char* row = data + size_t(y) * stride;
        for (size_t i = 0; i < bytes; ++i)
            row[i] = static_cast<unsigned char>(~row[i]);
    }
}

// Rows of 1, 4, 8 or 24 bits are stored exactly as the caller wants them.
int ReadUncompressed(CodecReader& in, const BitmapState& s, unsigned char* data)
{
    size_t stride = codec_stride(s.width, s.fileBpp);
    size_t rowBytes = (size_t(s.width) * size_t(s.fileBpp) + 7) / 8;
    for (int32_t i = 0; i < s.height; ++i) {
        unsigned char* row = data + size_t(s.topDown ? s.height - 1 - i : i) * stride;
        size_t got = in.Read(row, stride);
        // The last row's padding may be missing.
        if (got < stride && (i != s.height - 1 || got < rowBytes))
            return CODEC_ERR_READ;
    }
    if (s.invertBits && s.fileBpp == 1)
        InvertBits(data, stride, s.width, s.height);
    return CODEC_OK;
}

// One colour channel of a 16- or 32-bit pixel, widened to 8 bits by repeating its bits (5-bit
// 10110 becomes 10110101, so the largest value becomes 255) or narrowed by dropping the low ones.
struct Channel {
    uint32_t mask = 0, shift = 0, bits = 0;
    uint8_t widen[256] = {};

    explicit Channel(uint32_t m) : mask(m)
    {
        if (m == 0)
            return;
        while (!((m >> shift) & 1))
            ++shift;
        while (bits < 32 - shift && (m >> shift) >> bits)
            ++bits;
        if (bits >= 8)
            return;
        for (uint32_t v = 0; v < (1u << bits); ++v) {
            uint32_t r = 0, have = 0;
            for (; have < 8; have += bits)
                r = (r << bits) | v;
            widen[v] = static_cast<uint8_t>(r >> (have - 8));
        }
    }
    uint8_t operator()(uint32_t pixel) const
    {
        uint32_t v = (pixel & mask) >> shift;
        return bits < 8 ? widen[v] : static_cast<uint8_t>(v >> (bits - 8));
    }
};

int ReadBitFields(CodecReader& in, const BitmapState& s, unsigned char* data)
{
    const Channel red(s.masks[0]), green(s.masks[1]), blue(s.masks[2]);
    size_t stride = codec_stride(s.width, 24);
    size_t fileStride = codec_stride(s.width, s.fileBpp);
    size_t rowBytes = size_t(s.width) * size_t(s.fileBpp / 8);
    unsigned char* raw = new (std::nothrow) unsigned char[fileStride];
    if (raw == nullptr)
        return CODEC_ERR_MEMORY;
    int rc = CODEC_OK;
    for (int32_t i = 0; i < s.height; ++i) {
        size_t got = in.Read(raw, fileStride);
        if (got < fileStride && (i != s.height - 1 || got < rowBytes)) {
            rc = CODEC_ERR_READ;
            break;
        }
        unsigned char* out = data + size_t(s.topDown ? s.height - 1 - i : i) * stride;
        const unsigned char* p = raw;
        if (s.fileBpp == 32) {
            for (int32_t x = 0; x < s.width; ++x, p += 4, out += 3) {
                uint32_t v = Le32(p);
                out[0] = blue(v), out[1] = green(v), out[2] = red(v);
            }
        } else {
            for (int32_t x = 0; x < s.width; ++x, p += 2, out += 3) {
                uint32_t v = Le16(p);
                out[0] = blue(v), out[1] = green(v), out[2] = red(v);
            }
        }
    }
    delete[] raw;
    return rc;
}

// Where RLE pixels land: x and y count from the first pixel of the first stored row (the top
// one in a top-down file); pixels outside the picture are dropped.
struct RleCanvas {
    unsigned char* data;
    size_t stride;
    int32_t width, height;
    bool topDown;
    int32_t x = 0, y = 0;

    unsigned char* Row() const { return data + size_t(topDown ? height - 1 - y : y) * stride; }
    bool Complete() const { return y >= height || (y == height - 1 && x >= width); }
    // Pixels of a run that still fit in this row.
    int32_t Fit(int32_t count) const { return x >= width ? 0 : (count < width - x ? count : width - x); }
    void Advance(int32_t count) { x = count < width - x ? x + count : width; }
    void SetNibble(int32_t at, unsigned v)
    {
        unsigned char& b = Row()[at / 2];
        b = static_cast<unsigned char>(at % 2 ? (b & 0xF0) | v : (b & 0x0F) | (v << 4));
    }
};

// End-of-line, end-of-bitmap and delta codes.
enum class Escape { Continue, Finished, Truncated };

Escape RleEscape(CodecReader& in, int code, RleCanvas& c)
{
    if (code == 0) {
        c.x = 0;
        ++c.y;
        return c.y >= c.height ? Escape::Finished : Escape::Continue;
    }
    if (code == 1)
        return Escape::Finished;
    int dx = in.Byte(), dy = in.Byte();
    if (dx < 0 || dy < 0)
        return Escape::Truncated;
    c.Advance(dx);
    c.y += dy;
    return c.y >= c.height ? Escape::Finished : Escape::Continue;
}

int RleEnd(const RleCanvas& c)
{
    return c.Complete() ? CODEC_OK : CODEC_ERR_READ;
}

int DecodeRle8(CodecReader& in, RleCanvas& c)
{
    for (;;) {
        int count = in.Byte(), value = in.Byte();
        if (value < 0)
            return RleEnd(c);
        if (count > 0) {
            std::memset(c.Row() + c.x, value, size_t(c.Fit(count)));
            c.Advance(count);
            continue;
        }
        if (value <= 2) {
            Escape e = RleEscape(in, value, c);
            if (e != Escape::Continue)
                return e == Escape::Finished ? CODEC_OK : RleEnd(c);
            continue;
        }
        // Absolute run: value literal pixels, padded to a 16-bit boundary.
        size_t fit = size_t(c.Fit(value));
        if (in.Read(c.Row() + c.x, fit) != fit || !in.Skip(size_t(value) - fit + (value & 1)))
            return RleEnd(c);
        c.Advance(value);
    }
}

int DecodeRle4(CodecReader& in, RleCanvas& c)
{
    for (;;) {
        int count = in.Byte(), value = in.Byte();
        if (value < 0)
            return RleEnd(c);
        if (count > 0) {
            // Two pixels alternate: high nibble first.
            int32_t fit = c.Fit(count);
            for (int32_t i = 0; i < fit; ++i)
                c.SetNibble(c.x + i, i % 2 ? value & 0x0F : value >> 4);
            c.Advance(count);
            continue;
        }
        if (value <= 2) {
            Escape e = RleEscape(in, value, c);
            if (e != Escape::Continue)
                return e == Escape::Finished ? CODEC_OK : RleEnd(c);
            continue;
        }
        unsigned char literal[128];
        size_t bytes = (size_t(value) + 1) / 2;
        if (!in.ReadExact(literal, bytes) || ((bytes & 1) && in.Byte() < 0))
            return RleEnd(c);
        int32_t fit = c.Fit(value);
        for (int32_t i = 0; i < fit; ++i)
            c.SetNibble(c.x + i, i % 2 ? literal[i / 2] & 0x0F : literal[i / 2] >> 4);
        c.Advance(value);
    }
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const BitmapState* s = CheckedState(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    CodecReader in(fd);
    if (!in.Seek(s->dataOffset))
        return CODEC_ERR_READ;
    if (s->fileBpp == 16 || s->fileBpp == 32)
        return ReadBitFields(in, *s, data);
    if (s->compression == BI_RGB)
        return ReadUncompressed(in, *s, data);
    size_t stride = codec_stride(s->width, s->fileBpp);
    std::memset(data, 0, stride * size_t(s->height));
    RleCanvas canvas{data, stride, s->width, s->height, s->topDown};
    return s->compression == BI_RLE8 ? DecodeRle8(in, canvas) : DecodeRle4(in, canvas);
}

// ---- writing ----

enum class Variant { Windows30, Os2v11, Os2v20 };

struct BitmapWriteOptions {
    Variant variant = Variant::Windows30;
    bool whiteFirst = false;  // 1-bit palette order
};

int ParseWriteOptions(const char* text, BitmapWriteOptions* o)
{
    CodecOptions opts;
    if (opts.Parse(text) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    if (opts.CountFlags({"win", "1.1", "2.0"}) > 1 || opts.CountFlags({"darkfg", "lightfg"}) > 1)
        return CODEC_ERR_OPTIONS;
    o->variant = opts.Flag("1.1") ? Variant::Os2v11 : opts.Flag("2.0") ? Variant::Os2v20 : Variant::Windows30;
    o->whiteFirst = opts.Flag("darkfg") != opts.Flag("inv");
    o->whiteFirst = o->whiteFirst != opts.Flag("invb");
    return CODEC_OK;
}

unsigned Luma(const PaletteEntry& e)
{
    return (299u * e.red + 587u * e.green + 114u * e.blue + 500u) / 1000u;
}

// The byte a 1-bit picture's byte becomes: the written bit of each pixel is the index of its
// black or white in the written palette.
struct MonoMapping {
    unsigned char flip;  // xor with the picture's bits
    unsigned char fill;  // or with the result (both colours map to the same bit)
    unsigned char keep;  // and with the picture's bits

    unsigned char operator()(unsigned char b) const { return static_cast<unsigned char>(((b & keep) ^ flip) | fill); }
};

MonoMapping MapMonochrome(const PaletteEntry* palette, bool whiteFirst)
{
    unsigned l0 = Luma(palette[0]), l1 = Luma(palette[1]);
    bool white0 = l0 >= 128, white1 = l1 >= 128;
    if (white0 == white1 && l0 != l1) {
        white0 = l0 > l1;
        white1 = !white0;
    }
    // Bit written for a pixel of each source index.
    unsigned bit0 = white0 != whiteFirst, bit1 = white1 != whiteFirst;
    if (bit0 == 0 && bit1 == 1)
        return MonoMapping{0x00, 0x00, 0xFF};
    if (bit0 == 1 && bit1 == 0)
        return MonoMapping{0xFF, 0x00, 0xFF};
    return MonoMapping{0x00, static_cast<unsigned char>(bit0 ? 0xFF : 0x00), 0x00};
}

void WriteMonochromeRows(CodecWriter& out, const ImageHeader* header, const unsigned char* data, MonoMapping map)
{
    size_t stride = codec_stride(header->width, 1);
    size_t bytes = (size_t(header->width) + 7) / 8;
    unsigned char tail = static_cast<unsigned char>(header->width % 8 ? 0xFF00u >> (header->width % 8) : 0xFF);
    unsigned char row[8192];  // a 65535-pixel row
    for (int32_t y = 0; y < header->height; ++y) {
        const unsigned char* src = data + size_t(y) * stride;
        for (size_t i = 0; i < bytes; ++i)
            row[i] = map(src[i]);
        row[bytes - 1] &= tail;
        std::memset(row + bytes, 0, stride - bytes);
        out.Write(row, stride);
    }
}

void WriteBitmapFileHeader(CodecWriter& out, uint32_t fileSize, uint32_t dataOffset)
{
    out.Byte('B');
    out.Byte('M');
    out.U32le(fileSize);
    out.U16le(0);
    out.U16le(0);
    out.U32le(dataOffset);
}

void WriteBitmapCoreHeader(CodecWriter& out, const ImageHeader* header)
{
    out.U32le(kCoreHeaderSize);
    out.U16le(static_cast<unsigned>(header->width));
    out.U16le(static_cast<unsigned>(header->height));
    out.U16le(1);
    out.U16le(static_cast<unsigned>(header->bpp));
}

// BITMAPINFOHEADER, or with size 64 the OS/2 BITMAPINFOHEADER2 that begins the same way.
void WriteBitmapInfoHeader(CodecWriter& out, uint32_t size, const ImageHeader* header, uint32_t imageSize)
{
    out.U32le(size);
    out.U32le(static_cast<uint32_t>(header->width));
    out.U32le(static_cast<uint32_t>(header->height));
    out.U16le(1);
    out.U16le(static_cast<unsigned>(header->bpp));
    out.U32le(BI_RGB);
    out.U32le(imageSize);
    for (uint32_t at = 24; at < size; at += 4)
        out.U32le(0);
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    BitmapWriteOptions o;
    if (int rc = ParseWriteOptions(options, &o))
        return rc;
    int32_t bpp = header->bpp;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24)
        return CODEC_ERR_BPP;
    if (int rc = codec_check_size(header->width, header->height, bpp))
        return rc;

    uint32_t colours = bpp == 24 ? 0 : 1u << bpp;
    uint32_t infoSize = o.variant == Variant::Os2v11   ? kCoreHeaderSize
                        : o.variant == Variant::Os2v20 ? kInfoHeader2Size
                                                       : kInfoHeaderSize;
    uint32_t entrySize = o.variant == Variant::Os2v11 ? 3 : 4;
    uint32_t dataOffset = kFileHeaderSize + infoSize + entrySize * colours;
    size_t stride = codec_stride(header->width, bpp);
    uint32_t imageSize = static_cast<uint32_t>(stride * size_t(header->height));

    CodecWriter out(fd);
    WriteBitmapFileHeader(out, dataOffset + imageSize, dataOffset);
    if (o.variant == Variant::Os2v11)
        WriteBitmapCoreHeader(out, header);
    else
        WriteBitmapInfoHeader(out, infoSize, header, imageSize);

    static const PaletteEntry kBlack{0, 0, 0}, kWhite{255, 255, 255};
    for (uint32_t i = 0; i < colours; ++i) {
        const PaletteEntry& e = bpp == 1 ? ((i == 0) == o.whiteFirst ? kWhite : kBlack) : palette[i];
        out.Byte(e.blue);
        out.Byte(e.green);
        out.Byte(e.red);
        if (entrySize == 4)
            out.Byte(0);
    }
    if (bpp == 1)
        WriteMonochromeRows(out, header, data, MapMonochrome(palette, o.whiteFirst));
    else
        out.Write(data, imageSize);
    return out.Finish();
}

int Query(FormatInfo* info)
{
    return codec_query_format(CODEC_FORMAT_BITMAP, info);
}

const char* ErrorText(int code)
{
    return codec_error_text(CODEC_FORMAT_BITMAP, code);
}

} // namespace

const CodecFormat codec_bitmap_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
