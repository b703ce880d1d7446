// TIFF: Tagged Image File Format, the baseline subset plus LZW, PackBits, CMYK and planar RGB.
//
// File layout: an 8-byte header ("II" little-endian or "MM" big-endian, the number 42, the offset
// of the first image file directory). Each directory (IFD) is a 16-bit entry count, 12-byte
// entries (tag, field type, value count, value or offset: values of 4 bytes or less sit in the
// entry itself, left-justified) and the offset of the next directory (0 ends the chain). Pixel
// rows are stored top row first in strips of RowsPerStrip rows; StripOffsets and StripByteCounts
// locate them. A row starts on a byte boundary; samples are packed from the top bit.
//   Compression 1 (none), 5 (LZW: codes of 9..12 bits, top bit first, 256 clear, 257 end of
//   information, the code width grows one code early), 32773 (PackBits: n < 128 copies n+1
//   bytes, n > 128 repeats the next byte 257-n times, 128 is skipped).
//   Predictor 2 (with LZW): each 8-bit sample is stored as the difference from the same sample
//   of the pixel to its left.
//
// Read: the image directory chosen by option "index=N" (0-based; 829 when the chain is shorter).
//   WhiteIsZero / BlackIsZero 1 bit   -> 1 bit, palette white/black or black/white
//   WhiteIsZero / BlackIsZero 4, 8    -> 4 / 8 bits, ascending grey ramp (WhiteIsZero pixels are
//                                        inverted so that the ramp runs black to white)
//   Palette 1, 4, 8 with ColorMap     -> same depth, the top 8 bits of each 16-bit map value
//   RGB 8,8,8 (extra samples dropped), chunky or planar -> 24 bits
//   CMYK 8,8,8,8 chunky (InkSet 1)    -> 24 bits, R = (255-C)(255-K)/255 rounded to nearest
//   Orientation 1 (top row first) or 4 (bottom row first). Strips whose StripByteCounts are
//   missing run to the end of the file (uncompressed strips need exactly their rows). LZW
//   strips in the old bit order of early writers (low bit first, no early width change) are
//   recognised by their first code and read too. PlanarConfiguration 2 is accepted for pictures
//   of one sample per pixel, where it is the same layout. A directory whose picture could not
//   fit in the file, even at the compression's largest expansion, is refused with 7 before
//   anything is allocated.
// Write: little-endian, one directory, strips of about 8 KiB, tags in ascending order, 72 dpi.
//   1 bit  -> bilevel: the darker palette entry becomes black, the lighter white (BlackIsZero or
//             WhiteIsZero, the bits themselves unchanged); option "pal1bpp" keeps the two
//             colours as a 1-bit Palette image with a ColorMap instead.
//   4, 8   -> BlackIsZero greyscale when the palette is the ascending grey ramp, else Palette.
//   24     -> RGB chunky.
//   Option "lzw" compresses with LZW; 24-bit RGB and 8-bit greyscale then use Predictor 2
//   (palette indices and 1/4-bit samples have no useful neighbour differences).
//   Options artist=, software=, make=, model=, hostcomputer=, documentname=, pagename= and
//   imagedescription= add those ASCII tags (an empty value adds nothing).
#include <climits>
#include <cstdio>
#include <memory>
#include <utility>

#include "codecs/codec_internal.h"

namespace {

enum {
    TIFF_ERR_VERSION = 800,
    TIFF_ERR_TOO_MANY_TAGS = 801,
    TIFF_ERR_TAG_TYPE = 802,
    TIFF_ERR_HEADER = 803,
    TIFF_ERR_MISSING = 804,
    TIFF_ERR_GREY_SAMPLES = 805,
    TIFF_ERR_GREY_BITS = 806,
    TIFF_ERR_RGB_SAMPLES = 807,
    TIFF_ERR_RGB_BITS = 808,
    TIFF_ERR_PALETTE_SAMPLES = 809,
    TIFF_ERR_PALETTE_BITS = 810,
    TIFF_ERR_CMYK_SAMPLES = 811,
    TIFF_ERR_CMYK_BITS = 812,
    TIFF_ERR_CCITT_RLE = 813,
    TIFF_ERR_CCITT_T4 = 814,
    TIFF_ERR_CCITT_T6 = 815,
    TIFF_ERR_COMPRESSION = 816,
    TIFF_ERR_COLORMAP = 817,
    TIFF_ERR_CORRUPT = 818,
    TIFF_ERR_PREDICTOR = 819,
    TIFF_ERR_MASK = 821,
    TIFF_ERR_YCBCR = 822,
    TIFF_ERR_PHOTOMETRIC = 823,
    TIFF_ERR_FILL_ORDER = 824,
    TIFF_ERR_PLANAR = 825,
    TIFF_ERR_RGB_PLANAR = 826,
    TIFF_ERR_INK_SET = 827,
    TIFF_ERR_ORIENTATION = 828,
    TIFF_ERR_INDEX = 829
};

enum : uint16_t {
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagFillOrder = 266,
    kTagDocumentName = 269,
    kTagImageDescription = 270,
    kTagMake = 271,
    kTagModel = 272,
    kTagStripOffsets = 273,
    kTagOrientation = 274,
    kTagSamplesPerPixel = 277,
    kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279,
    kTagXResolution = 282,
    kTagYResolution = 283,
    kTagPlanarConfiguration = 284,
    kTagPageName = 285,
    kTagResolutionUnit = 296,
    kTagSoftware = 305,
    kTagArtist = 315,
    kTagHostComputer = 316,
    kTagPredictor = 317,
    kTagColorMap = 320,
    kTagInkSet = 332
};

enum : uint16_t { kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4, kTypeRational = 5 };

enum : uint16_t { kCompressionNone = 1, kCompressionCcittRle = 2, kCompressionT4 = 3, kCompressionT6 = 4,
                  kCompressionLzw = 5, kCompressionPackBits = 32773 };

enum : uint16_t { kWhiteIsZero = 0, kBlackIsZero = 1, kRgb = 2, kPalette = 3, kMask = 4, kSeparated = 5,
                  kYCbCr = 6 };

enum class Kind : uint8_t { Bilevel, Grey, Palette, Rgb, Cmyk };

// Directories of real files hold a few dozen entries; more is corruption, not content.
constexpr unsigned kMaxEntries = 1024;
// One raw row (all samples of a chunky pixel row) may not exceed this.
constexpr uint64_t kMaxRawRow = uint64_t(16) << 20;
// Rows are decoded in chunks of about this many bytes.
constexpr size_t kChunkBytes = size_t(256) << 10;
constexpr uint32_t kStateTag = 0x54494631;  // "TIF1": the header reader has run

size_t TypeSize(uint16_t type)
{
    static const unsigned char sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < sizeof(sizes) ? sizes[type] : 0;
}

template <class T>
std::unique_ptr<T> codec_allocate()
{
    return std::unique_ptr<T>(new (std::nothrow) T);
}

template <class T>
std::unique_ptr<T[]> AllocateArray(size_t n)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

// ---- reading: file structure ----

struct ByteOrder {
    bool big;
    uint16_t U16(const unsigned char* p) const
    {
        return big ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
    }
    uint32_t U32(const unsigned char* p) const
    {
        return big ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
                   : uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
};

// One directory entry as stored: the value field stays raw until its type and count are known.
struct Field {
    uint16_t type;
    uint32_t count;
    unsigned char raw[4];
    bool present;
};

struct Directory {
    Field width, length, bitsPerSample, compression, photometric, fillOrder, stripOffsets, orientation,
        samplesPerPixel, rowsPerStrip, stripByteCounts, planar, predictor, colorMap, inkSet;
};

// What the header reader leaves for the palette and data readers.
struct TiffState {
    uint32_t tag;
    uint8_t bigEndian;
    Kind kind;
    uint8_t whiteIsZero;
    uint8_t planar;      // 1 chunky, 2 planar (RGB only)
    uint8_t predictor;   // 2: horizontal differencing under LZW
    uint8_t bottomUp;    // Orientation 4
    uint8_t bits;        // bits per sample
    uint8_t haveByteCounts;
    uint16_t compression;
    uint32_t samples;
    int32_t width, height, bpp;
    uint32_t rowsPerStrip;
    uint32_t stripsPerPlane;
    Field stripOffsets, stripByteCounts, colorMap;
};

// The file's size; the position is back at 0, where a new CodecReader believes it is.
long FileSize(int fd)
{
    long end = codec_io_seek(fd, 0, SEEK_END);
    if (end < 0 || codec_io_seek(fd, 0, SEEK_SET) != 0)
        return -1;
    return end;
}

// Value `index` of a field of an unsigned integer type (BYTE, SHORT or LONG).
bool FieldValue(CodecReader& in, ByteOrder order, const Field& f, uint32_t index, uint32_t* value)
{
    size_t size = TypeSize(f.type);
    unsigned char b[4];
    const unsigned char* p;
    if (uint64_t(f.count) * size <= 4) {
        p = f.raw + size_t(index) * size;
    } else {
        uint64_t at = uint64_t(order.U32(f.raw)) + uint64_t(index) * size;
        if (at > uint64_t(LONG_MAX) || !in.Seek(long(at)) || !in.ReadExact(b, size))
            return false;
        p = b;
    }
    *value = size == 1 ? *p : size == 2 ? order.U16(p) : order.U32(p);
    return true;
}

// Values [first, first + n) of an unsigned integer field into out, in blocks.
bool FieldValues(CodecReader& in, ByteOrder order, const Field& f, uint32_t first, uint32_t n, uint32_t* out)
{
    size_t size = TypeSize(f.type);
    if (uint64_t(f.count) * size <= 4) {
        for (uint32_t i = 0; i < n; ++i)
            if (!FieldValue(in, order, f, first + i, out + i))
                return false;
        return true;
    }
    uint64_t at = uint64_t(order.U32(f.raw)) + uint64_t(first) * size;
    if (at > uint64_t(LONG_MAX) || !in.Seek(long(at)))
        return false;
    unsigned char block[4096];
    const uint32_t perBlock = uint32_t(sizeof(block) / size);
    for (uint32_t done = 0; done < n;) {
        uint32_t k = n - done < perBlock ? n - done : perBlock;
        if (!in.ReadExact(block, k * size))
            return false;
        for (uint32_t i = 0; i < k; ++i) {
            const unsigned char* p = block + i * size;
            out[done + i] = size == 1 ? *p : size == 2 ? order.U16(p) : order.U32(p);
        }
        done += k;
    }
    return true;
}

// An out-of-line value array must lie inside the file.
bool FieldInFile(ByteOrder order, const Field& f, uint64_t fileSize)
{
    uint64_t bytes = uint64_t(f.count) * TypeSize(f.type);
    return bytes <= 4 || uint64_t(order.U32(f.raw)) + bytes <= fileSize;
}

// The offset of the directory after the one at `offset`.
int NextDirectory(CodecReader& in, ByteOrder order, uint32_t offset, uint64_t fileSize, uint32_t* next)
{
    unsigned char b[4];
    if (offset < 8)
        return TIFF_ERR_HEADER;
    if (uint64_t(offset) + 2 > fileSize || !in.Seek(long(offset)) || !in.ReadExact(b, 2))
        return CODEC_ERR_READ;
    uint64_t at = uint64_t(offset) + 2 + 12 * uint64_t(order.U16(b));
    if (at + 4 > fileSize || !in.Seek(long(at)) || !in.ReadExact(b, 4))
        return CODEC_ERR_READ;
    *next = order.U32(b);
    return CODEC_OK;
}

// Walks the directory chain to the index-th directory; a chain that comes back on itself is
// caught without remembering every offset (Brent's cycle detection).
int FindDirectory(CodecReader& in, ByteOrder order, uint32_t first, long index, uint64_t fileSize, uint32_t* found)
{
    uint32_t current = first, saved = first;
    uint64_t power = 1, steps = 0;
    for (long i = 0; i < index; ++i) {
        int rc = NextDirectory(in, order, current, fileSize, &current);
        if (rc != CODEC_OK)
            return rc;
        if (current == 0)
            return TIFF_ERR_INDEX;
        if (current == saved)
            return TIFF_ERR_HEADER;
        if (++steps == power) {
            saved = current;
            power <<= 1;
            steps = 0;
        }
    }
    *found = current;
    return CODEC_OK;
}

Field* DirectoryField(Directory& d, uint16_t tag)
{
    switch (tag) {
    case kTagImageWidth: return &d.width;
    case kTagImageLength: return &d.length;
    case kTagBitsPerSample: return &d.bitsPerSample;
    case kTagCompression: return &d.compression;
    case kTagPhotometric: return &d.photometric;
    case kTagFillOrder: return &d.fillOrder;
    case kTagStripOffsets: return &d.stripOffsets;
    case kTagOrientation: return &d.orientation;
    case kTagSamplesPerPixel: return &d.samplesPerPixel;
    case kTagRowsPerStrip: return &d.rowsPerStrip;
    case kTagStripByteCounts: return &d.stripByteCounts;
    case kTagPlanarConfiguration: return &d.planar;
    case kTagPredictor: return &d.predictor;
    case kTagColorMap: return &d.colorMap;
    case kTagInkSet: return &d.inkSet;
    default: return nullptr;
    }
}

// Reads the directory's entries we use; the first of duplicate entries counts.
int ReadDirectory(CodecReader& in, ByteOrder order, uint32_t offset, uint64_t fileSize, Directory& d)
{
    std::memset(&d, 0, sizeof(d));
    unsigned char b[12];
    if (offset < 8)
        return TIFF_ERR_HEADER;
    if (uint64_t(offset) + 2 > fileSize || !in.Seek(long(offset)) || !in.ReadExact(b, 2))
        return CODEC_ERR_READ;
    unsigned entries = order.U16(b);
    if (entries == 0)
        return TIFF_ERR_HEADER;
    if (entries > kMaxEntries)
        return TIFF_ERR_TOO_MANY_TAGS;
    for (unsigned i = 0; i < entries; ++i) {
        if (!in.ReadExact(b, 12))
            return CODEC_ERR_READ;
        Field* f = DirectoryField(d, order.U16(b));
        if (f == nullptr || f->present)
            continue;
        f->type = order.U16(b + 2);
        f->count = order.U32(b + 4);
        std::memcpy(f->raw, b + 8, 4);
        bool colorMap = f == &d.colorMap;
        bool integer = f->type == kTypeByte || f->type == kTypeShort || f->type == kTypeLong;
        if (colorMap ? f->type != kTypeShort : !integer)
            return TIFF_ERR_TAG_TYPE;
        f->present = f->count > 0;
    }
    return CODEC_OK;
}

int Scalar(CodecReader& in, ByteOrder order, const Field& f, uint32_t fallback, uint32_t* value)
{
    if (!f.present) {
        *value = fallback;
        return CODEC_OK;
    }
    return FieldValue(in, order, f, 0, value) ? CODEC_OK : CODEC_ERR_READ;
}

// Every BitsPerSample value (one per sample, or fewer) must be `want`.
int CheckBits(CodecReader& in, ByteOrder order, const Field& f, uint32_t samples, uint32_t want, bool* ok)
{
    uint32_t n = f.present ? (f.count < samples ? f.count : samples) : 0;
    *ok = true;
    if (n == 0) {
        *ok = want == 1;
        return CODEC_OK;
    }
    for (uint32_t i = 0; i < n && *ok; ++i) {
        uint32_t v = 0;
        if (!FieldValue(in, order, f, i, &v))
            return CODEC_ERR_READ;
        *ok = v == want;
    }
    return CODEC_OK;
}

int CompressionSupported(uint32_t c)
{
    switch (c) {
    case kCompressionNone:
    case kCompressionLzw:
    case kCompressionPackBits: return CODEC_OK;
    case kCompressionCcittRle: return TIFF_ERR_CCITT_RLE;
    case kCompressionT4: return TIFF_ERR_CCITT_T4;
    case kCompressionT6: return TIFF_ERR_CCITT_T6;
    default: return TIFF_ERR_COMPRESSION;
    }
}

// PhotometricInterpretation, SamplesPerPixel and BitsPerSample together: the kind of picture.
int ResolveKind(CodecReader& in, ByteOrder order, const Directory& d, uint32_t samples, TiffState* s)
{
    uint32_t photometric = 0;
    if (!d.photometric.present)
        return TIFF_ERR_PHOTOMETRIC;
    if (!FieldValue(in, order, d.photometric, 0, &photometric))
        return CODEC_ERR_READ;
    uint32_t bits = 1;
    int rc = Scalar(in, order, d.bitsPerSample, 1, &bits);
    if (rc != CODEC_OK)
        return rc;
    bool sameBits = false;
    switch (photometric) {
    case kWhiteIsZero:
    case kBlackIsZero:
    case kPalette: {
        bool palette = photometric == kPalette;
        if (samples != 1)
            return palette ? TIFF_ERR_PALETTE_SAMPLES : TIFF_ERR_GREY_SAMPLES;
        if (bits != 1 && bits != 4 && bits != 8)
            return palette ? TIFF_ERR_PALETTE_BITS : TIFF_ERR_GREY_BITS;
        s->kind = palette ? Kind::Palette : bits == 1 ? Kind::Bilevel : Kind::Grey;
        s->whiteIsZero = photometric == kWhiteIsZero;
        s->bpp = int32_t(bits);
        break;
    }
    case kRgb:
        if (samples < 3)
            return TIFF_ERR_RGB_SAMPLES;
        if ((rc = CheckBits(in, order, d.bitsPerSample, samples, 8, &sameBits)) != CODEC_OK)
            return rc;
        if (!sameBits)
            return TIFF_ERR_RGB_BITS;
        s->kind = Kind::Rgb;
        s->bpp = 24;
        break;
    case kSeparated: {
        uint32_t inks = 1;
        if ((rc = Scalar(in, order, d.inkSet, 1, &inks)) != CODEC_OK)
            return rc;
        if (inks != 1)
            return TIFF_ERR_INK_SET;
        if (samples != 4)
            return TIFF_ERR_CMYK_SAMPLES;
        if ((rc = CheckBits(in, order, d.bitsPerSample, samples, 8, &sameBits)) != CODEC_OK)
            return rc;
        if (!sameBits)
            return TIFF_ERR_CMYK_BITS;
        s->kind = Kind::Cmyk;
        s->bpp = 24;
        break;
    }
    case kMask: return TIFF_ERR_MASK;
    case kYCbCr: return TIFF_ERR_YCBCR;
    default: return TIFF_ERR_PHOTOMETRIC;
    }
    s->bits = uint8_t(s->kind == Kind::Rgb || s->kind == Kind::Cmyk ? 8 : bits);
    return CODEC_OK;
}

// The remaining layout tags, checked once the kind is known.
int ResolveLayout(CodecReader& in, ByteOrder order, const Directory& d, TiffState* s)
{
    uint32_t fillOrder = 1, planar = 1, orientation = 1, predictor = 1;
    int rc;
    if ((rc = Scalar(in, order, d.fillOrder, 1, &fillOrder)) != CODEC_OK ||
        (rc = Scalar(in, order, d.planar, 1, &planar)) != CODEC_OK ||
        (rc = Scalar(in, order, d.orientation, 1, &orientation)) != CODEC_OK ||
        (rc = Scalar(in, order, d.predictor, 1, &predictor)) != CODEC_OK)
        return rc;
    if (fillOrder != 1)
        return TIFF_ERR_FILL_ORDER;
    if (s->kind == Kind::Rgb) {
        if (planar != 1 && planar != 2)
            return TIFF_ERR_RGB_PLANAR;
    } else if (planar != 1 && !(planar == 2 && s->samples == 1)) {
        // One sample per pixel is laid out the same either way.
        return TIFF_ERR_PLANAR;
    }
    s->planar = uint8_t(s->kind == Kind::Rgb ? planar : 1);
    if (orientation != 1 && orientation != 4)
        return TIFF_ERR_ORIENTATION;
    s->bottomUp = orientation == 4;
    // The predictor belongs to LZW; other compressions ignore it.
    s->predictor = 1;
    if (s->compression == kCompressionLzw) {
        if (predictor != 1 && !(predictor == 2 && s->bits == 8))
            return TIFF_ERR_PREDICTOR;
        s->predictor = uint8_t(predictor);
    }
    return CODEC_OK;
}

uint64_t RawRowBytes(const TiffState* s)
{
    uint64_t samples = s->planar == 2 ? 1 : s->samples;
    return (uint64_t(s->width) * s->bits * samples + 7) / 8;
}

unsigned PlanesUsed(const TiffState* s)
{
    return s->planar == 2 ? 3 : 1;
}

int ResolveStrips(CodecReader& in, ByteOrder order, const Directory& d, uint64_t fileSize, TiffState* s)
{
    uint32_t rows = uint32_t(s->height);
    int rc = Scalar(in, order, d.rowsPerStrip, rows, &rows);
    if (rc != CODEC_OK)
        return rc;
    if (rows == 0)
        return TIFF_ERR_HEADER;
    if (rows > uint32_t(s->height))
        rows = uint32_t(s->height);
    s->rowsPerStrip = rows;
    s->stripsPerPlane = (uint32_t(s->height) + rows - 1) / rows;
    uint64_t strips = uint64_t(s->stripsPerPlane) * PlanesUsed(s);
    if (d.stripOffsets.count < strips || (d.stripByteCounts.present && d.stripByteCounts.count < strips))
        return TIFF_ERR_HEADER;
    if (!FieldInFile(order, d.stripOffsets, fileSize) ||
        (d.stripByteCounts.present && !FieldInFile(order, d.stripByteCounts, fileSize)))
        return CODEC_ERR_READ;
    s->stripOffsets = d.stripOffsets;
    s->stripByteCounts = d.stripByteCounts;
    s->haveByteCounts = d.stripByteCounts.present;
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
    long size = FileSize(fd);
    if (size < 0)
        return CODEC_ERR_READ;
    uint64_t fileSize = uint64_t(size);
    auto in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char b[8];
    size_t got = in->Seek(0) ? in->Read(b, sizeof(b)) : 0;
    if (got < 2)
        return CODEC_ERR_READ;
    if (!((b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M')))
        return CODEC_ERR_SIGNATURE;
    if (got < sizeof(b))
        return CODEC_ERR_READ;
    ByteOrder order{b[0] == 'M'};
    if (order.U16(b + 2) != 42)
        return TIFF_ERR_VERSION;
    uint32_t offset = order.U32(b + 4);
    if (offset == 0)
        return TIFF_ERR_HEADER;
    int rc = FindDirectory(*in, order, offset, index, fileSize, &offset);
    if (rc != CODEC_OK)
        return rc;
    Directory d;
    if ((rc = ReadDirectory(*in, order, offset, fileSize, d)) != CODEC_OK)
        return rc;
    if (!d.width.present || !d.length.present || !d.stripOffsets.present)
        return TIFF_ERR_MISSING;

    TiffState* s = codec_private<TiffState>(header);
    std::memset(s, 0, sizeof(*s));
    s->bigEndian = order.big;
    uint32_t width = 0, height = 0, compression = 1, samples = 1;
    if ((rc = Scalar(*in, order, d.width, 0, &width)) != CODEC_OK ||
        (rc = Scalar(*in, order, d.length, 0, &height)) != CODEC_OK ||
        (rc = Scalar(*in, order, d.compression, 1, &compression)) != CODEC_OK ||
        (rc = Scalar(*in, order, d.samplesPerPixel, 1, &samples)) != CODEC_OK)
        return rc;
    if ((rc = CompressionSupported(compression)) != CODEC_OK)
        return rc;
    s->compression = uint16_t(compression);
    s->samples = samples;
    if ((rc = ResolveKind(*in, order, d, samples, s)) != CODEC_OK)
        return rc;
    if ((rc = ResolveLayout(*in, order, d, s)) != CODEC_OK)
        return rc;
    if ((rc = codec_check_size(width, height, s->bpp)) != CODEC_OK)
        return rc;
    s->width = int32_t(width);
    s->height = int32_t(height);
    if (RawRowBytes(s) > kMaxRawRow)
        return CODEC_ERR_SIZE;
    if ((rc = ResolveStrips(*in, order, d, fileSize, s)) != CODEC_OK)
        return rc;
    // No strip decodes to more than this many bytes per stored byte: a picture the file cannot
    // hold is refused before anyone allocates for it.
    const uint64_t expansion = compression == kCompressionNone ? 1 : compression == kCompressionPackBits ? 64 : 3500;
    if (RawRowBytes(s) * uint64_t(s->height) * PlanesUsed(s) > fileSize * expansion)
        return CODEC_ERR_READ;
    if (s->kind == Kind::Palette) {
        if (!d.colorMap.present)
            return TIFF_ERR_COLORMAP;
        if (d.colorMap.count != 3u << s->bits)
            return TIFF_ERR_HEADER;
        if (!FieldInFile(order, d.colorMap, fileSize))
            return CODEC_ERR_READ;
        s->colorMap = d.colorMap;
    }
    s->tag = kStateTag;
    header->width = s->width;
    header->height = s->height;
    header->bpp = s->bpp;
    return CODEC_OK;
}

// The state the header reader left, if the header still matches it.
const TiffState* State(const ImageHeader* header)
{
    const TiffState* s = codec_private<TiffState>(header);
    if (s->tag != kStateTag || header->width != s->width || header->height != s->height || header->bpp != s->bpp)
        return nullptr;
    return s;
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const TiffState* s = State(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    if (s->bpp == 24)
        return CODEC_OK;
    unsigned entries = 1u << s->bits;
    if (s->kind != Kind::Palette) {
        // Grey pixels of WhiteIsZero files are inverted by the data reader; bilevel ones are not.
        bool descending = s->kind == Kind::Bilevel && s->whiteIsZero;
        for (unsigned i = 0; i < entries; ++i) {
            uint8_t v = uint8_t(i * 255 / (entries - 1));
            if (descending)
                v = uint8_t(255 - v);
            palette[i] = PaletteEntry{v, v, v};
        }
        return CODEC_OK;
    }
    auto in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    long size = FileSize(fd);
    ByteOrder order{s->bigEndian != 0};
    if (size < 0 || !FieldInFile(order, s->colorMap, uint64_t(size)))
        return CODEC_ERR_READ;
    uint32_t map[3 * 256];
    if (!FieldValues(*in, order, s->colorMap, 0, 3 * entries, map))
        return CODEC_ERR_READ;
    for (unsigned i = 0; i < entries; ++i)
        palette[i] = PaletteEntry{uint8_t(map[i] >> 8), uint8_t(map[entries + i] >> 8),
                                  uint8_t(map[2 * entries + i] >> 8)};
    return CODEC_OK;
}

// ---- reading: strip data ----

// The bytes of one strip, from its offset up to its end (clamped to the file's end). Reads go
// straight to the file in windows that start no larger than the strip needs, so that files of
// many tiny strips cost no more than their pixels.
class StripSource
{
public:
    explicit StripSource(int fd) : m_fd(fd) {}

    bool Begin(uint64_t offset, uint64_t end, bool clamped, size_t firstWindow)
    {
        m_p = m_e = m_buffer;
        m_left = end - offset;
        m_short = clamped;
        m_window = firstWindow < sizeof(m_buffer) ? firstWindow : sizeof(m_buffer);
        return offset <= uint64_t(LONG_MAX) && codec_io_seek(m_fd, long(offset), SEEK_SET) == long(offset);
    }
    // The next two bytes, left in place; false when the strip is shorter.
    bool Peek2(unsigned char* b)
    {
        while (m_e - m_p < 2) {
            size_t have = size_t(m_e - m_p);
            std::memmove(m_buffer, m_p, have);
            m_p = m_buffer;
            m_e = m_buffer + have;
            size_t got = FileRead(m_buffer + have, 2 - have);
            if (got == 0)
                return false;
            m_e += got;
        }
        b[0] = m_p[0];
        b[1] = m_p[1];
        return true;
    }
    int Byte()
    {
        if (m_p == m_e && !Refill())
            return -1;
        return *m_p++;
    }
    size_t Read(unsigned char* out, size_t n)
    {
        size_t done = 0;
        while (done < n) {
            if (m_p == m_e) {
                // Large requests bypass the window.
                if (n - done >= sizeof(m_buffer)) {
                    size_t got = FileRead(out + done, n - done);
                    if (got == 0)
                        break;
                    done += got;
                    continue;
                }
                if (!Refill())
                    break;
            }
            size_t k = size_t(m_e - m_p) < n - done ? size_t(m_e - m_p) : n - done;
            std::memcpy(out + done, m_p, k);
            m_p += k;
            done += k;
        }
        return done;
    }
    // Ran out because the file ended (rather than the strip's declared bytes).
    int EndCode() const { return m_short ? int(CODEC_ERR_READ) : int(TIFF_ERR_CORRUPT); }

private:
    // Up to n bytes of the strip from the file; a short read marks the file as ending early.
    size_t FileRead(unsigned char* out, size_t n)
    {
        if (n > m_left)
            n = size_t(m_left);
        size_t done = 0;
        while (done < n) {
            size_t k = n - done < (size_t(1) << 30) ? n - done : size_t(1) << 30;
            int got = codec_io_read(m_fd, out + done, unsigned(k));
            if (got <= 0)
                break;
            done += size_t(got);
        }
        m_left -= done;
        if (done < n) {
            m_short = true;
            m_left = 0;
        }
        return done;
    }
    bool Refill()
    {
        size_t got = FileRead(m_buffer, m_window);
        m_window = sizeof(m_buffer);
        m_p = m_buffer;
        m_e = m_buffer + got;
        return got > 0;
    }

    int m_fd;
    uint64_t m_left = 0;
    bool m_short = false;
    size_t m_window = 0;
    const unsigned char* m_p = nullptr;
    const unsigned char* m_e = nullptr;
    unsigned char m_buffer[16384];
};

class LzwDecoder
{
public:
    enum : unsigned { kClear = 256, kEoi = 257, kFirst = 258, kMaxCodes = 4096, kMaxWidth = 12 };

    LzwDecoder()
    {
        for (unsigned i = 0; i < 256; ++i)
            m_table[i] = Code{0, 1, uint8_t(i), uint8_t(i)};
    }

    void Begin(bool oldStyle)
    {
        m_oldStyle = oldStyle;
        m_bits = 0;
        m_count = 0;
        m_pendingPos = m_pendingLen = 0;
        m_width = 9;
        m_free = kFirst;
        m_prev = -1;
    }

    // Exactly n bytes of decoded data, or the error that stopped it.
    int Fill(StripSource& src, unsigned char* out, size_t n)
    {
        if (m_pendingPos < m_pendingLen) {
            size_t k = m_pendingLen - m_pendingPos < n ? m_pendingLen - m_pendingPos : n;
            std::memcpy(out, m_pending + m_pendingPos, k);
            m_pendingPos += unsigned(k);
            out += k;
            n -= k;
        }
        // The state lives in locals: stores through `out` may alias any member.
        uint32_t bits = m_bits;
        unsigned count = m_count, width = m_width, free = m_free;
        int prev = m_prev;
        const unsigned early = m_oldStyle ? 0 : 1;
        Code* const table = m_table;
        int rc = CODEC_OK;
        while (n > 0) {
            while (count < width) {
                int b = src.Byte();
                if (b < 0) {
                    rc = src.EndCode();
                    goto done;
                }
                if (m_oldStyle)
                    bits |= uint32_t(b) << count;
                else
                    bits = (bits << 8) | uint32_t(b);
                count += 8;
            }
            unsigned c;
            count -= width;
            if (m_oldStyle) {
                c = bits & ((1u << width) - 1);
                bits >>= width;
            } else {
                c = (bits >> count) & ((1u << width) - 1);
            }
            if (c == kClear) {
                width = 9;
                free = kFirst;
                prev = -1;
                continue;
            }
            if (c == kEoi || (prev < 0 ? c >= 256 : c > free)) {
                rc = TIFF_ERR_CORRUPT;
                goto done;
            }
            if (prev >= 0 && free < kMaxCodes) {
                // The new entry is the previous string and the first byte of this one (which,
                // for the code being defined right now, is the previous string's first byte).
                const Code& p = table[prev];
                table[free] = Code{uint16_t(prev), uint16_t(p.length + 1), c < free ? table[c].first : p.first,
                                   p.first};
                ++free;
                if (free + early >= (1u << width) && width < kMaxWidth)
                    ++width;
            }
            prev = int(c);
            const unsigned len = table[c].length;
            if (len == 1) {
                *out++ = uint8_t(c);
                --n;
            } else if (len <= n) {
                Emit(c, out, len);
                out += len;
                n -= len;
            } else {
                Emit(c, m_pending, len);
                std::memcpy(out, m_pending, n);
                m_pendingPos = unsigned(n);
                m_pendingLen = len;
                n = 0;
            }
        }
    done:
        m_bits = bits;
        m_count = count;
        m_width = width;
        m_free = free;
        m_prev = prev;
        return rc;
    }

private:
    struct Code {
        uint16_t prefix;
        uint16_t length;
        uint8_t suffix;
        uint8_t first;
    };

    void Emit(unsigned code, unsigned char* out, unsigned len) const
    {
        unsigned char* p = out + len;
        for (;;) {
            const Code& e = m_table[code];
            *--p = e.suffix;
            if (p == out)
                break;
            code = e.prefix;
        }
    }

    Code m_table[kMaxCodes];
    unsigned char m_pending[kMaxCodes];
    unsigned m_pendingPos = 0, m_pendingLen = 0;
    unsigned m_width = 9, m_free = kFirst;
    int m_prev = -1;
    bool m_oldStyle = false;
    uint32_t m_bits = 0;
    unsigned m_count = 0;
};

class PackBitsDecoder
{
public:
    void Begin() { m_literal = m_repeat = 0; }

    int Fill(StripSource& src, unsigned char* out, size_t n)
    {
        while (n > 0) {
            if (m_literal > 0) {
                size_t k = m_literal < n ? m_literal : n;
                if (src.Read(out, k) != k)
                    return src.EndCode();
                m_literal -= k;
                out += k;
                n -= k;
            } else if (m_repeat > 0) {
                size_t k = m_repeat < n ? m_repeat : n;
                std::memset(out, m_value, k);
                m_repeat -= k;
                out += k;
                n -= k;
            } else {
                int b = src.Byte();
                if (b < 0)
                    return src.EndCode();
                if (b < 128) {
                    m_literal = size_t(b) + 1;
                } else if (b > 128) {
                    int v = src.Byte();
                    if (v < 0)
                        return src.EndCode();
                    m_value = uint8_t(v);
                    m_repeat = 257 - size_t(b);
                }
            }
        }
        return CODEC_OK;
    }

private:
    size_t m_literal = 0, m_repeat = 0;
    uint8_t m_value = 0;
};

// Everything the data reader needs at once, allocated together.
struct DataReader {
    explicit DataReader(int fd) : src(fd) {}
    StripSource src;
    LzwDecoder lzw;
    PackBitsDecoder packBits;
};

void UndoPredictor(unsigned char* row, size_t bytes, size_t step)
{
    // Running sums in registers: the common steps have no load-after-store chain.
    if (step == 1) {
        uint8_t v = row[0];
        for (size_t i = 1; i < bytes; ++i)
            row[i] = v = uint8_t(v + row[i]);
    } else if (step == 3) {
        uint8_t r = row[0], g = row[1], b = row[2];
        for (size_t i = 3; i + 2 < bytes; i += 3) {
            row[i] = r = uint8_t(r + row[i]);
            row[i + 1] = g = uint8_t(g + row[i + 1]);
            row[i + 2] = b = uint8_t(b + row[i + 2]);
        }
    } else {
        for (size_t i = step; i < bytes; ++i)
            row[i] = uint8_t(row[i] + row[i - step]);
    }
}

// One decoded file row into its picture row.
void StoreRow(const TiffState* s, const unsigned char* src, unsigned char* dst, unsigned plane, size_t rawRow)
{
    const int32_t w = s->width;
    switch (s->kind) {
    case Kind::Bilevel:
    case Kind::Palette:
        std::memcpy(dst, src, rawRow);
        break;
    case Kind::Grey:
        if (s->whiteIsZero)
            for (size_t i = 0; i < rawRow; ++i)
                dst[i] = uint8_t(~src[i]);
        else
            std::memcpy(dst, src, rawRow);
        break;
    case Kind::Rgb:
        if (s->planar == 2) {
            unsigned char* d = dst + (2 - plane);
            for (int32_t x = 0; x < w; ++x)
                d[3 * x] = src[x];
        } else if (s->samples == 3) {
            for (int32_t x = 0; x < w; ++x, src += 3, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        } else {
            const size_t step = s->samples;
            for (int32_t x = 0; x < w; ++x, src += step, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        }
        break;
    case Kind::Cmyk:
        for (int32_t x = 0; x < w; ++x, src += 4, dst += 3) {
            unsigned k = 255u - src[3];
            dst[0] = uint8_t(((255u - src[2]) * k + 127) / 255);
            dst[1] = uint8_t(((255u - src[1]) * k + 127) / 255);
            dst[2] = uint8_t(((255u - src[0]) * k + 127) / 255);
        }
        break;
    }
}

// Reads one strip's rows of one plane into the picture.
int ReadStrip(DataReader& r, const TiffState* s, uint32_t firstRow, unsigned plane, unsigned char* chunk,
              size_t chunkRows, size_t rawRow, unsigned char* data)
{
    const size_t stride = codec_stride(s->width, s->bpp);
    const uint32_t rows = s->rowsPerStrip < uint32_t(s->height) - firstRow ? s->rowsPerStrip
                                                                            : uint32_t(s->height) - firstRow;
    for (uint32_t done = 0; done < rows;) {
        size_t k = chunkRows < rows - done ? chunkRows : rows - done;
        size_t bytes = k * rawRow;
        int rc = CODEC_OK;
        if (s->compression == kCompressionNone) {
            if (r.src.Read(chunk, bytes) != bytes)
                rc = CODEC_ERR_READ;
        } else if (s->compression == kCompressionPackBits) {
            rc = r.packBits.Fill(r.src, chunk, bytes);
        } else {
            rc = r.lzw.Fill(r.src, chunk, bytes);
        }
        if (rc != CODEC_OK)
            return rc;
        for (size_t j = 0; j < k; ++j) {
            unsigned char* raw = chunk + j * rawRow;
            if (s->predictor == 2)
                UndoPredictor(raw, rawRow, s->planar == 2 ? 1 : s->samples);
            uint32_t y = firstRow + done + uint32_t(j);
            uint32_t row = s->bottomUp ? y : uint32_t(s->height) - 1 - y;
            StoreRow(s, raw, data + size_t(row) * stride, plane, rawRow);
        }
        done += uint32_t(k);
    }
    return CODEC_OK;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const TiffState* s = State(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    long size = FileSize(fd);
    if (size < 0)
        return CODEC_ERR_READ;
    const uint64_t fileSize = uint64_t(size);
    const ByteOrder order{s->bigEndian != 0};
    if (!FieldInFile(order, s->stripOffsets, fileSize) ||
        (s->haveByteCounts && !FieldInFile(order, s->stripByteCounts, fileSize)))
        return CODEC_ERR_READ;

    const size_t rawRow = size_t(RawRowBytes(s));
    const size_t chunkRows = rawRow >= kChunkBytes ? 1 : kChunkBytes / rawRow;
    const uint32_t strips = s->stripsPerPlane * PlanesUsed(s);
    auto offsets = AllocateArray<uint32_t>(strips);
    auto counts = AllocateArray<uint32_t>(strips);
    auto chunk = AllocateArray<unsigned char>(chunkRows * rawRow);
    auto r = std::unique_ptr<DataReader>(new (std::nothrow) DataReader(fd));
    if (!offsets || !counts || !chunk || !r)
        return CODEC_ERR_MEMORY;
    {
        // Strips are read in plane order; strip p of plane q is entry q * stripsPerPlane + p.
        auto in = codec_open_reader(fd);
        if (!in)
            return CODEC_ERR_MEMORY;
        if (!FieldValues(*in, order, s->stripOffsets, 0, strips, offsets.get()) ||
            (s->haveByteCounts && !FieldValues(*in, order, s->stripByteCounts, 0, strips, counts.get())))
            return CODEC_ERR_READ;
    }
    const uint64_t stripBytes = uint64_t(s->rowsPerStrip) * rawRow;
    for (unsigned plane = 0; plane < PlanesUsed(s); ++plane) {
        for (uint32_t i = 0; i < s->stripsPerPlane; ++i) {
            uint32_t n = plane * s->stripsPerPlane + i;
            uint64_t offset = offsets[n];
            if (offset >= fileSize)
                return CODEC_ERR_READ;
            uint64_t end = s->haveByteCounts ? offset + counts[n] : fileSize;
            bool clamped = end > fileSize;
            if (clamped)
                end = fileSize;
            if (!r->src.Begin(offset, end, clamped, size_t(stripBytes < 16384 ? stripBytes + 64 : 16384)))
                return CODEC_ERR_READ;
            if (s->compression == kCompressionPackBits) {
                r->packBits.Begin();
            } else if (s->compression == kCompressionLzw) {
                // The old bit order begins with a clear code written low bit first.
                unsigned char b[2];
                if (!r->src.Peek2(b))
                    return r->src.EndCode();
                r->lzw.Begin(b[0] == 0 && (b[1] & 1) != 0);
            }
            int rc = ReadStrip(*r, s, i * s->rowsPerStrip, plane, chunk.get(), chunkRows, rawRow, data);
            if (rc != CODEC_OK)
                return rc;
        }
    }
    return CODEC_OK;
}

// ---- writing ----

class LzwEncoder
{
public:
    enum : unsigned { kClear = 256, kEoi = 257, kFirst = 258, kFull = 4094, kSlots = 8192 };

    explicit LzwEncoder(CodecWriter& out) : m_out(out) {}

    void Begin()
    {
        m_bytes = 0;
        m_acc = 0;
        m_count = 0;
        m_started = false;
        m_width = 9;
        Put(kClear);
        Reset();
    }

    void Encode(const unsigned char* p, size_t n)
    {
        size_t i = 0;
        if (!m_started && n > 0) {
            m_omega = p[i++];
            m_started = true;
        }
        unsigned omega = m_omega;
        for (; i < n; ++i) {
            const unsigned k = p[i];
            const uint32_t key = (omega << 8) | k;
            unsigned h = (key * 2654435761u) >> 19;
            for (;;) {
                Slot& slot = m_slots[h];
                if (slot.generation != m_generation) {
                    Put(omega);
                    slot = Slot{key, uint16_t(m_free), m_generation};
                    ++m_free;
                    if (m_free == kFull) {
                        Put(kClear);
                        Reset();
                    } else if (m_free > (1u << m_width) - 1) {
                        ++m_width;
                    }
                    omega = k;
                    break;
                }
                if (slot.key == key) {
                    omega = slot.code;
                    break;
                }
                h = (h + 1) & (kSlots - 1);
            }
        }
        m_omega = omega;
    }

    // Ends the strip; the number of bytes it took.
    uint32_t End()
    {
        if (m_started) {
            Put(m_omega);
            // The decoder adds an entry for this last code before it reads the end code.
            if (m_free + 1 > (1u << m_width) - 1 && m_width < 12)
                ++m_width;
        }
        Put(kEoi);
        if (m_count > 0)
            Out(uint8_t(m_acc << (8 - m_count)));
        Drain();
        return m_bytes;
    }

private:
    struct Slot {
        uint32_t key;
        uint16_t code;
        uint16_t generation;
    };

    void Reset()
    {
        m_width = 9;
        m_free = kFirst;
        // A new generation empties the table without touching it.
        if (++m_generation == 0) {
            std::memset(m_slots, 0, sizeof(m_slots));
            m_generation = 1;
        }
    }

    void Put(unsigned code)
    {
        m_acc = (m_acc << m_width) | code;
        m_count += m_width;
        while (m_count >= 8) {
            m_count -= 8;
            Out(uint8_t(m_acc >> m_count));
        }
    }

    void Out(uint8_t b)
    {
        if (m_len == sizeof(m_buffer))
            Drain();
        m_buffer[m_len++] = b;
        ++m_bytes;
    }

    void Drain()
    {
        m_out.Write(m_buffer, m_len);
        m_len = 0;
    }

    CodecWriter& m_out;
    Slot m_slots[kSlots] = {};
    uint16_t m_generation = 0;
    unsigned m_free = kFirst, m_width = 9, m_omega = 0;
    bool m_started = false;
    uint32_t m_acc = 0;
    unsigned m_count = 0;
    uint32_t m_bytes = 0;
    size_t m_len = 0;
    unsigned char m_buffer[8192];
};

// One directory entry to write: a single value, an array of numbers, or text.
struct OutEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value;           // when values and text are null
    const uint32_t* values;   // RATIONAL: numerator, denominator pairs
    const char* text;
};

uint32_t EntryBytes(const OutEntry& e)
{
    return e.count * uint32_t(TypeSize(e.type));
}

void PutValue(CodecWriter& out, uint16_t type, uint32_t v)
{
    if (type == kTypeShort)
        out.U16le(v);
    else
        out.U32le(v);
}

void WriteEntryData(CodecWriter& out, const OutEntry& e)
{
    if (e.text != nullptr) {
        out.Write(e.text, e.count - 1);
        out.Byte(0);
    } else if (e.values == nullptr) {
        PutValue(out, e.type, e.value);
    } else {
        uint32_t n = e.type == kTypeRational ? 2 * e.count : e.count;
        for (uint32_t i = 0; i < n; ++i)
            PutValue(out, e.type == kTypeRational ? uint16_t(kTypeLong) : e.type, e.values[i]);
    }
}

// The directory at `offset`, its out-of-line values right after it (each on a word boundary).
void WriteDirectory(CodecWriter& out, OutEntry* entries, unsigned n, uint32_t offset)
{
    for (unsigned i = 1; i < n; ++i)
        for (unsigned j = i; j > 0 && entries[j - 1].tag > entries[j].tag; --j)
            std::swap(entries[j - 1], entries[j]);
    uint32_t extra = offset + 2 + 12 * n + 4;
    out.U16le(n);
    for (unsigned i = 0; i < n; ++i) {
        const OutEntry& e = entries[i];
        out.U16le(e.tag);
        out.U16le(e.type);
        out.U32le(e.count);
        uint32_t bytes = EntryBytes(e);
        if (bytes <= 4) {
            WriteEntryData(out, e);
            for (uint32_t k = bytes; k < 4; ++k)
                out.Byte(0);
        } else {
            out.U32le(extra);
            extra += (bytes + 1) & ~1u;
        }
    }
    out.U32le(0);
    for (unsigned i = 0; i < n; ++i) {
        uint32_t bytes = EntryBytes(entries[i]);
        if (bytes > 4) {
            WriteEntryData(out, entries[i]);
            if (bytes & 1)
                out.Byte(0);
        }
    }
}

bool IsGreyRamp(const PaletteEntry* palette, unsigned entries)
{
    for (unsigned i = 0; i < entries; ++i) {
        unsigned v = i * 255 / (entries - 1);
        if (palette[i].red != v || palette[i].green != v || palette[i].blue != v)
            return false;
    }
    return true;
}

unsigned Luminance(const PaletteEntry& p)
{
    return (p.red * 77u + p.green * 150u + p.blue * 29u) / 256;
}

struct WriteLayout {
    uint16_t photometric;
    uint16_t samples;
    uint16_t predictor;
    bool lzw;
    size_t rawRow;
    uint32_t rowsPerStrip, strips;
};

// One picture row as the file stores it: RGB order, padding bits cleared, differenced.
void PrepareRow(const ImageHeader* h, const WriteLayout& l, const unsigned char* src, unsigned char* dst)
{
    if (h->bpp == 24) {
        for (size_t i = 0; i < l.rawRow; i += 3) {
            dst[i] = src[i + 2];
            dst[i + 1] = src[i + 1];
            dst[i + 2] = src[i];
        }
    } else {
        std::memcpy(dst, src, l.rawRow);
        unsigned usedBits = unsigned((size_t(h->width) * unsigned(h->bpp)) % 8);
        if (usedBits != 0)
            dst[l.rawRow - 1] &= uint8_t(0xFF << (8 - usedBits));
    }
    if (l.predictor == 2) {
        const size_t step = h->bpp == 24 ? 3 : 1;
        for (size_t i = l.rawRow - 1; i >= step; --i)
            dst[i] = uint8_t(dst[i] - dst[i - step]);
    }
}

int WriteStrips(CodecWriter& out, const ImageHeader* h, const WriteLayout& l, const unsigned char* data,
                uint32_t* offsets, uint32_t* counts, uint32_t* position)
{
    const size_t stride = codec_stride(h->width, h->bpp);
    auto row = AllocateArray<unsigned char>(l.rawRow);
    std::unique_ptr<LzwEncoder> lzw(l.lzw ? new (std::nothrow) LzwEncoder(out) : nullptr);
    if (!row || (l.lzw && !lzw))
        return CODEC_ERR_MEMORY;
    uint32_t pos = *position;
    for (uint32_t s = 0; s < l.strips && !out.Failed(); ++s) {
        uint32_t first = s * l.rowsPerStrip;
        uint32_t rows = l.rowsPerStrip < uint32_t(h->height) - first ? l.rowsPerStrip : uint32_t(h->height) - first;
        if (lzw)
            lzw->Begin();
        for (uint32_t y = first; y < first + rows; ++y) {
            PrepareRow(h, l, data + size_t(uint32_t(h->height) - 1 - y) * stride, row.get());
            if (lzw)
                lzw->Encode(row.get(), l.rawRow);
            else
                out.Write(row.get(), l.rawRow);
        }
        offsets[s] = pos;
        counts[s] = lzw ? lzw->End() : uint32_t(rows * l.rawRow);
        pos += counts[s];
    }
    if (pos & 1) {
        out.Byte(0);
        ++pos;
    }
    *position = pos;
    return out.Failed() ? CODEC_ERR_WRITE : CODEC_OK;
}

struct AsciiOption {
    const char* name;
    uint16_t tag;
};
const AsciiOption kAsciiOptions[] = {
    {"documentname=", kTagDocumentName}, {"imagedescription=", kTagImageDescription}, {"make=", kTagMake},
    {"model=", kTagModel}, {"pagename=", kTagPageName}, {"software=", kTagSoftware}, {"artist=", kTagArtist},
    {"hostcomputer=", kTagHostComputer}};

int Write(const char*, int fd, const ImageHeader* h, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    if (h->bpp != 1 && h->bpp != 4 && h->bpp != 8 && h->bpp != 24)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;

    WriteLayout l{};
    l.lzw = opts.Flag("lzw");
    l.samples = h->bpp == 24 ? 3 : 1;
    unsigned entries = h->bpp == 24 ? 0 : 1u << h->bpp;
    if (h->bpp == 24)
        l.photometric = kRgb;
    else if (h->bpp == 1)
        l.photometric = opts.Flag("pal1bpp")                                ? kPalette
                        : Luminance(palette[0]) <= Luminance(palette[1]) ? kBlackIsZero
                                                                         : kWhiteIsZero;
    else
        l.photometric = IsGreyRamp(palette, entries) ? kBlackIsZero : kPalette;
    l.predictor = l.lzw && (h->bpp == 24 || (h->bpp == 8 && l.photometric == kBlackIsZero)) ? 2 : 1;
    l.rawRow = h->bpp == 24 ? size_t(h->width) * 3 : (size_t(h->width) * unsigned(h->bpp) + 7) / 8;
    l.rowsPerStrip = uint32_t(l.rawRow >= 8192 ? 1 : 8192 / l.rawRow);
    if (l.rowsPerStrip > uint32_t(h->height))
        l.rowsPerStrip = uint32_t(h->height);
    l.strips = (uint32_t(h->height) + l.rowsPerStrip - 1) / l.rowsPerStrip;
    // Offsets are 32-bit; LZW at worst grows the data by half.
    if (uint64_t(l.rawRow) * uint64_t(h->height) * (l.lzw ? 2 : 1) + (uint64_t(1) << 20) > UINT32_MAX)
        return CODEC_ERR_SIZE;

    auto offsets = AllocateArray<uint32_t>(l.strips);
    auto counts = AllocateArray<uint32_t>(l.strips);
    auto out = std::unique_ptr<CodecWriter>(new (std::nothrow) CodecWriter(fd));
    if (!offsets || !counts || !out)
        return CODEC_ERR_MEMORY;
    // The directory follows the strips; the header learns its offset at the end.
    out->Write("II", 2);
    out->U16le(42);
    out->U32le(0);
    uint32_t position = 8;
    int rc = WriteStrips(*out, h, l, data, offsets.get(), counts.get(), &position);
    if (rc != CODEC_OK)
        return rc;

    static const uint32_t kBits[3] = {8, 8, 8};
    static const uint32_t kResolution[2] = {72, 1};
    uint32_t colorMap[3 * 256];
    OutEntry e[32];
    unsigned n = 0;
    auto single = [&](uint16_t tag, uint16_t type, uint32_t v) { e[n++] = OutEntry{tag, type, 1, v, nullptr, nullptr}; };
    auto array = [&](uint16_t tag, uint16_t type, uint32_t count, const uint32_t* v) {
        e[n++] = OutEntry{tag, type, count, 0, v, nullptr};
    };
    single(kTagImageWidth, kTypeLong, uint32_t(h->width));
    single(kTagImageLength, kTypeLong, uint32_t(h->height));
    if (h->bpp == 24)
        array(kTagBitsPerSample, kTypeShort, 3, kBits);
    else
        single(kTagBitsPerSample, kTypeShort, uint32_t(h->bpp));
    single(kTagCompression, kTypeShort, l.lzw ? kCompressionLzw : kCompressionNone);
    single(kTagPhotometric, kTypeShort, l.photometric);
    array(kTagStripOffsets, kTypeLong, l.strips, offsets.get());
    single(kTagSamplesPerPixel, kTypeShort, l.samples);
    single(kTagRowsPerStrip, kTypeLong, l.rowsPerStrip);
    array(kTagStripByteCounts, kTypeLong, l.strips, counts.get());
    array(kTagXResolution, kTypeRational, 1, kResolution);
    array(kTagYResolution, kTypeRational, 1, kResolution);
    single(kTagPlanarConfiguration, kTypeShort, 1);
    single(kTagResolutionUnit, kTypeShort, 2);
    if (l.predictor == 2)
        single(kTagPredictor, kTypeShort, 2);
    if (l.photometric == kPalette) {
        for (unsigned i = 0; i < entries; ++i) {
            colorMap[i] = palette[i].red * 257u;
            colorMap[entries + i] = palette[i].green * 257u;
            colorMap[2 * entries + i] = palette[i].blue * 257u;
        }
        array(kTagColorMap, kTypeShort, 3 * entries, colorMap);
    }
    for (const AsciiOption& a : kAsciiOptions) {
        const char* text = opts.Text(a.name);
        if (text != nullptr && *text != '\0')
            e[n++] = OutEntry{a.tag, kTypeAscii, uint32_t(std::strlen(text) + 1), 0, nullptr, text};
    }
    WriteDirectory(*out, e, n, position);
    if ((rc = out->Finish()) != CODEC_OK)
        return rc;
    unsigned char patch[4] = {uint8_t(position), uint8_t(position >> 8), uint8_t(position >> 16),
                              uint8_t(position >> 24)};
    if (codec_io_seek(fd, 4, SEEK_SET) != 4 || codec_io_write(fd, patch, 4) != 4)
        return CODEC_ERR_WRITE;
    return CODEC_OK;
}

int Query(FormatInfo* info)
{
    return codec_query_format(3, info);
}

const char* ErrorText(int code)
{
    return codec_error_text(3, code);
}

} // namespace

const CodecFormat codec_tiff_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
