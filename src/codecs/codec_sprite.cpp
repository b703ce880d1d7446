// Sprite: RISC OS sprite files, one sprite of the file at 1, 2 (read as 4), 4 or 8 bits per pixel.
//
// A sprite file is a sprite area without its first word (the area's size). All words are 32-bit
// little-endian; every offset in the area header counts from the start of the area, four bytes
// before the start of the file.
//   file 0   number of sprites
//   file 4   offset to the first sprite (at least 16)
//   file 8   offset to the first free word
// Each sprite, from its first byte:
//   0   offset to the next sprite
//   4   name, 12 bytes, zero-padded
//   16  width in words - 1
//   20  height in rows - 1
//   24  first bit used in the first word of a row (0..31)
//   28  last bit used in the last word of a row (0..31)
//   32  offset to the image
//   36  offset to the transparency mask (equal to the image offset when there is none)
//   40  mode
//   44  palette, up to the image (or an earlier mask): pairs of words &BBGGRR00, the second
//       of each pair being the flash colour (ignored)
// Image rows are whole words, top row first. Pixels are packed from the lowest bit of each
// little-endian word: the leftmost pixel of a byte is in its low bits. The picture's width is
// (32 × words - first bit - (31 - last bit)) / bits per pixel, rounded down. The mask is ignored.
//
// Mode: values below 256 are old mode numbers; their depths follow the RISC OS mode table:
//   1 bpp: 0 3 4 6 18 23 25 29 33 37 41 44 50        2 bpp: 1 5 8 11 19 26 30 34 38 42 45 51
//   4 bpp: 2 7 9 12 14 16 17 20 22 27 31 35 39 43 46 48 52
//   8 bpp: 10 13 15 21 24 28 32 36 40 47 49 53
// Larger values with bit 0 set are mode words whose bits 27..31 give the type: 1 = 1 bpp,
// 2 = 2 bpp, 3 = 4 bpp, 4 = 8 bpp. Anything else answers 1401.
//
// Palettes: 1, 2 and 4 bpp sprites take as many entries as the file holds, the desktop's colours
// for the rest (1 bpp: white, black; 2 bpp: white, light grey, dark grey, black; 4 bpp: the
// sixteen desktop colours). 8 bpp sprites hold 0, 16, 64 or 256 entries (others: 1403):
//   0    the default 256-colour palette: pixel bits 7..0 are B3 G3 G2 R3 B2 R2 T1 T0 and each
//        4-bit gun is (high two bits from the pixel, low two bits the tint T) × 17
//   16   entries for pixel bits 3..0, with bit 4 adding the top red bit, bit 5 the second
//        green bit, bit 6 the top green bit and bit 7 the top blue bit (as the 16-entry
//        palette hardware of the first machines)
//   64   entries for pixel bits 5..0, with bits 6 and 7 adding the top green and blue bits
//   256  one entry per pixel value
// A first bit that is not a multiple of the pixel size (so of 8 at 8 bpp) answers 1400.
//
// Read option: index=N, the N-th sprite of the file (0-based; 1402 when there are fewer).
// The writer makes one sprite named after the file (its base name without extension, lower case,
// at most 12 characters), with old mode 25, 27 or 28 (640 × 480 at 1, 4 or 8 bpp), no mask and a
// full palette of 2, 16 or 256 entries.
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormatSprite = 12;
constexpr int SPRITE_ERR_FIRST_BIT = 1400, SPRITE_ERR_MODE = 1401, SPRITE_ERR_INDEX = 1402,
              SPRITE_ERR_PALETTE = 1403;
constexpr uint32_t kStateTag = 0x53505231;  // "SPR1": the header reader has run
constexpr uint32_t kSpriteHeaderBytes = 44;
constexpr int64_t kMaxOffset = 0x7FFFFFFF;

// What the header reader leaves for the palette and data readers.
struct SpriteState {
    uint32_t tag;
    int32_t width, height, bpp;
    int32_t fileBpp;          // 1, 2, 4 or 8
    int32_t firstBit;
    int32_t rowBytes;
    int32_t paletteEntries;   // pairs in the file
    long paletteOffset;       // file offsets
    long imageOffset;
};

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatSprite, info);
}

uint32_t Le32(const unsigned char* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Bits per pixel of a mode number or mode word; 0 when unknown.
int ModeBpp(uint32_t mode)
{
    static const uint8_t kOldModes[54] = {
        1, 2, 4, 1, 1, 2, 1, 4, 2, 4,  // 0..9
        8, 2, 4, 8, 4, 8, 4, 4, 1, 2,  // 10..19
        4, 8, 4, 1, 8, 1, 2, 4, 8, 1,  // 20..29
        2, 4, 8, 1, 2, 4, 8, 1, 2, 4,  // 30..39
        8, 1, 2, 4, 1, 2, 4, 8, 4, 8,  // 40..49
        1, 2, 4, 8};                   // 50..53
    if (mode < 256)
        return mode < sizeof(kOldModes) ? kOldModes[mode] : 0;
    if ((mode & 1) == 0)
        return 0;
    switch (mode >> 27) {
    case 1: return 1;
    case 2: return 2;
    case 3: return 4;
    case 4: return 8;
    default: return 0;
    }
}

// ---- palettes ----

PaletteEntry Rgb(uint32_t rgb)
{
    return PaletteEntry{uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
}

const uint32_t kDesktop2[2] = {0xFFFFFF, 0x000000};
const uint32_t kDesktop4[4] = {0xFFFFFF, 0xBBBBBB, 0x777777, 0x000000};
const uint32_t kDesktop16[16] = {0xFFFFFF, 0xDDDDDD, 0xBBBBBB, 0x999999, 0x777777, 0x555555, 0x333333, 0x000000,
                                 0x004499, 0xEEEE00, 0x00CC00, 0xDD0000, 0xEEEEBB, 0x558800, 0xFFBB00, 0x00BBFF};

PaletteEntry Default256(unsigned p)
{
    const unsigned tint = p & 3;
    const unsigned r = ((p >> 4) & 1) << 3 | ((p >> 2) & 1) << 2 | tint;
    const unsigned g = ((p >> 6) & 1) << 3 | ((p >> 5) & 1) << 2 | tint;
    const unsigned b = ((p >> 7) & 1) << 3 | ((p >> 3) & 1) << 2 | tint;
    return PaletteEntry{uint8_t(r * 17), uint8_t(g * 17), uint8_t(b * 17)};
}

// The top bits the pixel's high bits add to the colour of its 16- or 64-entry base.
PaletteEntry AddHighBits(PaletteEntry e, unsigned p, bool from16)
{
    if (from16) {
        e.red |= (p & 0x10) ? 0x88 : 0;
        e.green |= (p & 0x20) ? 0x44 : 0;
    }
    e.green |= (p & 0x40) ? 0x88 : 0;
    e.blue |= (p & 0x80) ? 0x88 : 0;
    return e;
}

// ---- reading ----

int IndexOption(const char* options, long* index)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    *index = 0;
    if (opts.Text("index=") != nullptr && (!opts.Number("index=", index) || *index < 0))
        return CODEC_ERR_OPTIONS;
    return CODEC_OK;
}

// Walks the chain of sprites to the wanted one; leaves its file offset in *position.
int FindSprite(CodecReader& in, long index, int64_t* position)
{
    unsigned char area[12];
    if (!in.ReadExact(area, sizeof(area)))
        return CODEC_ERR_READ;
    const uint32_t count = Le32(area), first = Le32(area + 4);
    if (first < 16)
        return CODEC_ERR_SIGNATURE;
    if (uint64_t(index) >= count)
        return SPRITE_ERR_INDEX;
    int64_t pos = int64_t(first) - 4;
    for (long i = 0; i < index; ++i) {
        uint32_t next = 0;
        if (pos > kMaxOffset || !in.Seek(long(pos)) || !in.U32le(&next))
            return CODEC_ERR_READ;
        if (next < kSpriteHeaderBytes)
            return CODEC_ERR_READ;
        pos += next;
    }
    if (pos > kMaxOffset)
        return CODEC_ERR_READ;
    *position = pos;
    return CODEC_OK;
}

int ReadSpriteHeader(CodecReader& in, int64_t pos, SpriteState& s)
{
    unsigned char h[kSpriteHeaderBytes];
    if (!in.Seek(long(pos)) || !in.ReadExact(h, sizeof(h)))
        return CODEC_ERR_READ;
    const uint32_t widthWords = Le32(h + 16), heightRows = Le32(h + 20), firstBit = Le32(h + 24),
                   lastBit = Le32(h + 28), image = Le32(h + 32), mask = Le32(h + 36), mode = Le32(h + 40);
    const int bpp = ModeBpp(mode);
    if (bpp == 0)
        return SPRITE_ERR_MODE;
    if (firstBit > 31 || lastBit > 31)
        return CODEC_ERR_SIZE;
    if (firstBit % unsigned(bpp) != 0)
        return SPRITE_ERR_FIRST_BIT;
    const int64_t words = int64_t(widthWords) + 1, height = int64_t(heightRows) + 1;
    const int64_t bits = words * 32 - firstBit - (31 - lastBit);
    const int64_t width = bits > 0 ? bits / bpp : 0;
    const int outBpp = bpp == 2 ? 4 : bpp;
    if (codec_check_size(width, height, outBpp) != CODEC_OK)
        return CODEC_ERR_SIZE;
    if (image < kSpriteHeaderBytes || pos + image > kMaxOffset)
        return CODEC_ERR_READ;
    const uint32_t paletteEnd = mask >= kSpriteHeaderBytes && mask < image ? mask : image;
    const uint32_t entries = (paletteEnd - kSpriteHeaderBytes) / 8;
    if (bpp == 8 && entries != 0 && entries != 16 && entries != 64 && entries != 256)
        return SPRITE_ERR_PALETTE;
    s.width = int32_t(width);
    s.height = int32_t(height);
    s.bpp = outBpp;
    s.fileBpp = bpp;
    s.firstBit = int32_t(firstBit);
    s.rowBytes = int32_t(words * 4);
    s.paletteEntries = int32_t(bpp == 8 ? entries : entries < (1u << bpp) ? entries : (1u << bpp));
    s.paletteOffset = long(pos + kSpriteHeaderBytes);
    s.imageOffset = long(pos + image);
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    long index = 0;
    int rc = IndexOption(options, &index);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    int64_t pos = 0;
    if ((rc = FindSprite(*in, index, &pos)) != CODEC_OK)
        return rc;
    SpriteState s{};
    if ((rc = ReadSpriteHeader(*in, pos, s)) != CODEC_OK)
        return rc;
    // A file too short for the sprite's image is refused before anyone allocates for it.
    const long length = codec_io_seek(fd, 0, SEEK_END);
    if (length < 0 || uint64_t(length) < uint64_t(s.imageOffset) + uint64_t(s.rowBytes) * uint64_t(s.height))
        return CODEC_ERR_READ;
    s.tag = kStateTag;
    header->width = s.width;
    header->height = s.height;
    header->bpp = s.bpp;
    *codec_private<SpriteState>(header) = s;
    return CODEC_OK;
}

const SpriteState* CheckedState(ImageHeader* header)
{
    const SpriteState* s = codec_private<SpriteState>(header);
    if (s->tag != kStateTag || s->width != header->width || s->height != header->height || s->bpp != header->bpp)
        return nullptr;
    return s;
}

// A reader positioned at a file offset (a new reader takes the file position for 0).
int SeekTo(int fd, CodecReader& in, long position)
{
    return codec_io_seek(fd, 0, SEEK_SET) == 0 && in.Seek(position) ? CODEC_OK : CODEC_ERR_READ;
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const SpriteState* s = CheckedState(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    PaletteEntry fromFile[256];
    if (s->paletteEntries > 0) {
        std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
        if (!in)
            return CODEC_ERR_MEMORY;
        if (SeekTo(fd, *in, s->paletteOffset) != CODEC_OK)
            return CODEC_ERR_READ;
        for (int32_t i = 0; i < s->paletteEntries; ++i) {
            unsigned char pair[8];
            if (!in->ReadExact(pair, sizeof(pair)))
                return CODEC_ERR_READ;
            fromFile[i] = PaletteEntry{pair[1], pair[2], pair[3]};
        }
    }
    if (s->fileBpp == 8) {
        for (unsigned p = 0; p < 256; ++p)
            palette[p] = s->paletteEntries == 0    ? Default256(p)
                         : s->paletteEntries == 16 ? AddHighBits(fromFile[p & 15], p, true)
                         : s->paletteEntries == 64 ? AddHighBits(fromFile[p & 63], p, false)
                                                   : fromFile[p];
        return CODEC_OK;
    }
    const uint32_t* desktop = s->fileBpp == 1 ? kDesktop2 : s->fileBpp == 2 ? kDesktop4 : kDesktop16;
    const int colours = 1 << s->fileBpp;
    for (int i = 0; i < (1 << s->bpp); ++i)
        palette[i] = i < s->paletteEntries ? fromFile[i] : i < colours ? Rgb(desktop[i]) : PaletteEntry{0, 0, 0};
    return CODEC_OK;
}

unsigned char ReverseBits(unsigned char b)
{
    b = static_cast<unsigned char>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<unsigned char>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<unsigned char>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// One sprite row (low bits leftmost) to a bitmap row (high bits leftmost); dst is zeroed.
void ConvertRow(const unsigned char* src, const SpriteState& s, unsigned char* dst)
{
    const size_t width = size_t(s.width), first = size_t(s.firstBit);
    switch (s.fileBpp) {
    case 8:
        std::memcpy(dst, src + first / 8, width);
        break;
    case 4:
        for (size_t i = 0, k = first / 4; i < width; ++i, ++k) {
            unsigned v = (src[k >> 1] >> ((k & 1) * 4)) & 0x0F;
            dst[i >> 1] |= static_cast<unsigned char>(v << ((i & 1) ? 0 : 4));
        }
        break;
    case 2:
        for (size_t i = 0, k = first / 2; i < width; ++i, ++k) {
            unsigned v = (src[k >> 2] >> ((k & 3) * 2)) & 3;
            dst[i >> 1] |= static_cast<unsigned char>(v << ((i & 1) ? 0 : 4));
        }
        break;
    default:
        if (first % 8 == 0) {
            const unsigned char* p = src + first / 8;
            for (size_t j = 0; j < width / 8; ++j)
                dst[j] = ReverseBits(p[j]);
            if (width % 8)
                dst[width / 8] = static_cast<unsigned char>(ReverseBits(p[width / 8]) & (0xFF00 >> (width % 8)));
        } else {
            for (size_t i = 0, k = first; i < width; ++i, ++k)
                dst[i >> 3] |= static_cast<unsigned char>(((src[k >> 3] >> (k & 7)) & 1) << (7 - (i & 7)));
        }
        break;
    }
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const SpriteState* s = CheckedState(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    std::unique_ptr<unsigned char[]> row(new (std::nothrow) unsigned char[size_t(s->rowBytes)]);
    if (!in || !row)
        return CODEC_ERR_MEMORY;
    if (SeekTo(fd, *in, s->imageOffset) != CODEC_OK)
        return CODEC_ERR_READ;
    const size_t stride = codec_stride(s->width, s->bpp);
    for (int32_t y = 0; y < s->height; ++y) {
        if (!in->ReadExact(row.get(), size_t(s->rowBytes)))
            return CODEC_ERR_READ;
        unsigned char* dst = data + size_t(s->height - 1 - y) * stride;
        std::memset(dst, 0, stride);
        ConvertRow(row.get(), *s, dst);
    }
    return CODEC_OK;
}

// ---- writing ----

// The sprite's name: the file's base name without extension, lower case, at most 12 bytes.
void SpriteName(const char* fileName, unsigned char name[12])
{
    std::memset(name, 0, 12);
    if (fileName == nullptr)
        return;
    const char* base = fileName;
    for (const char* p = fileName; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            base = p + 1;
    const char* dot = std::strrchr(base, '.');
    size_t length = dot ? size_t(dot - base) : std::strlen(base);
    for (size_t i = 0; i < length && i < 12; ++i) {
        char c = base[i];
        name[i] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
}

void PutLe32(unsigned char* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int Write(const char* fileName, int fd, const ImageHeader* header, const PaletteEntry* palette,
          const unsigned char* data, const char* options)
{
    const int bpp = header->bpp;
    if (bpp != 1 && bpp != 4 && bpp != 8)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    const uint64_t usedBits = uint64_t(header->width) * unsigned(bpp);
    const uint64_t words = (usedBits + 31) / 32, rowBytes = words * 4;  // equals the bitmap's stride
    const uint32_t entries = 1u << bpp;
    const uint64_t imageOffset = kSpriteHeaderBytes + 8ull * entries;
    const uint64_t spriteBytes = imageOffset + rowBytes * uint64_t(header->height);
    if (16 + spriteBytes > uint64_t(kMaxOffset))
        return CODEC_ERR_SIZE;
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<unsigned char[]> row(new (std::nothrow) unsigned char[size_t(rowBytes)]);
    if (!out || !row)
        return CODEC_ERR_MEMORY;

    unsigned char h[12 + kSpriteHeaderBytes];
    PutLe32(h, 1);
    PutLe32(h + 4, 16);
    PutLe32(h + 8, uint32_t(16 + spriteBytes));
    unsigned char* sp = h + 12;
    PutLe32(sp, uint32_t(spriteBytes));
    SpriteName(fileName, sp + 4);
    PutLe32(sp + 16, uint32_t(words - 1));
    PutLe32(sp + 20, uint32_t(header->height - 1));
    PutLe32(sp + 24, 0);
    PutLe32(sp + 28, uint32_t((usedBits - 1) % 32));
    PutLe32(sp + 32, uint32_t(imageOffset));
    PutLe32(sp + 36, uint32_t(imageOffset));
    PutLe32(sp + 40, bpp == 1 ? 25 : bpp == 4 ? 27 : 28);
    out->Write(h, sizeof(h));
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t word = uint32_t(palette[i].red) << 8 | uint32_t(palette[i].green) << 16 |
                              uint32_t(palette[i].blue) << 24;
        out->U32le(word);
        out->U32le(word);
    }

    // Bits past the last pixel are cleared: the bitmap's padding may hold anything.
    const size_t usedBytes = size_t((usedBits + 7) / 8);
    const unsigned tailBits = unsigned(usedBits % 8);
    for (int32_t y = 0; y < header->height && !out->Failed(); ++y) {
        const unsigned char* src = data + size_t(header->height - 1 - y) * size_t(rowBytes);
        unsigned char* dst = row.get();
        if (bpp == 8) {
            std::memcpy(dst, src, usedBytes);
        } else if (bpp == 4) {
            for (size_t j = 0; j < usedBytes; ++j)
                dst[j] = static_cast<unsigned char>(src[j] >> 4 | src[j] << 4);
        } else {
            for (size_t j = 0; j < usedBytes; ++j)
                dst[j] = ReverseBits(src[j]);
        }
        if (tailBits)
            dst[usedBytes - 1] &= static_cast<unsigned char>((1u << tailBits) - 1);
        std::memset(dst + usedBytes, 0, size_t(rowBytes) - usedBytes);
        out->Write(dst, size_t(rowBytes));
    }
    return out->Finish();
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatSprite, code);
}

} // namespace

const CodecFormat codec_sprite_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
