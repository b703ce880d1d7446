// PCX: ZSoft PC Paintbrush pictures.
//
// A 128-byte little-endian header:
//    0  manufacturer, 0x0A
//    1  version: 0 (2.5), 2 (2.8 with palette), 3 (2.8 without palette), 4 (for Windows), 5 (3.0 on)
//    2  encoding, 1 = run-length
//    3  bits per pixel in each plane
//    4  xmin, ymin, xmax, ymax (16 bits each, inclusive)
//   12  horizontal and vertical resolution
//   16  16-colour palette: red, green, blue × 16
//   64  reserved
//   65  number of planes
//   66  bytes per line in each plane (even)
//   68  palette interpretation (1 colour, 2 grey)
//   70  screen width and height; the rest up to 128 is filler
// The scan lines follow top to bottom, each holding its planes one after the other. Run-length
// coding: a byte with both top bits set repeats the following byte (its low 6 bits) times; any
// other byte stands for itself. Some writers let runs carry on into the next plane or line, so
// the data is decoded as one stream. 256-colour pictures end with 0x0C and a 768-byte palette.
//
// Layouts read (bits × planes): 1×1 as 1 bit; 2×1 (CGA), 1×2, 1×3, 1×4 (EGA) and 4×1 as 4 bits;
// 8×1 as 8 bits; 8×3 and 8×4 as 24 bits (the fourth plane, alpha, is dropped). Versions 0, 2,
// 3, 4 and 5 are read. Pictures of up to 16 colours take the header's palette, except when the
// file has none (version 0 or 3, or all 48 bytes zero): then black and white, or the standard
// EGA colours.
//
// Read option "trunc": a damaged file still gives a picture. Run-length data that ends early
// keeps the rows decoded so far (the rest stay index 0), and a 256-colour file without its
// palette trailer gets a grey ramp.
//
// Written: version 5, run-length coded plane by plane; 1 bit as 1×1 and 4 bits as 1×4 with the
// header palette, 8 bits as 8×1 with the palette trailer, 24 bits as 8×3.
#include <climits>
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormat = 2;

enum { PCX_ERR_VERSION = 700, PCX_ERR_ENCODING = 701, PCX_ERR_LAYOUT = 702, PCX_ERR_TRAILER = 703 };

enum : int { kManufacturer = 0x0A, kHeaderSize = 128, kTrailerMarker = 0x0C, kTrailerSize = 769 };

constexpr uint32_t kStateTag = 0x50435831;  // "PCX1": the header reader has run

// What the header reader leaves for the palette and data readers.
struct PcxState {
    uint32_t tag;
    int32_t width, height, bpp;
    uint8_t bitsPerPlane, planes;
    uint8_t defaultPalette;  // the header carries no palette
    uint8_t trunc;
    uint32_t bytesPerLine;
    long dataEnd;            // where the run-length data stops (the trailer, or far beyond the file)
    long trailer;            // the 0x0C marker; -1 when missing (accepted with "trunc")
    uint8_t headerPalette[48];
};

const PaletteEntry kEgaPalette[16] = {
    {0, 0, 0},      {0, 0, 170},    {0, 170, 0},    {0, 170, 170},  {170, 0, 0},    {170, 0, 170},
    {170, 85, 0},   {170, 170, 170}, {85, 85, 85},  {85, 85, 255},  {85, 255, 85},  {85, 255, 255},
    {255, 85, 85},  {255, 85, 255}, {255, 255, 85}, {255, 255, 255}};

unsigned Le16(const unsigned char* p)
{
    return unsigned(p[0]) | (unsigned(p[1]) << 8);
}

// The depth a bits-per-plane × planes layout reads as; 0 for layouts not read.
int DepthOf(unsigned bits, unsigned planes)
{
    if (bits == 1 && planes == 1)
        return 1;
    if ((bits == 1 && planes >= 2 && planes <= 4) || (bits == 2 && planes == 1) || (bits == 4 && planes == 1))
        return 4;
    if (bits == 8 && planes == 1)
        return 8;
    if (bits == 8 && (planes == 3 || planes == 4))
        return 24;
    return 0;
}

// ---- reading ----

// Finds the 256-colour palette trailer at the end of the file: its offset, -1 when absent.
int FindTrailer(int fd, long* trailer)
{
    long size = codec_io_seek(fd, 0, SEEK_END);
    if (size < 0)
        return CODEC_ERR_READ;
    *trailer = -1;
    if (size < kHeaderSize + kTrailerSize)
        return CODEC_OK;
    long at = size - kTrailerSize;
    unsigned char marker = 0;
    if (codec_io_seek(fd, at, SEEK_SET) != at || codec_io_read(fd, &marker, 1) != 1)
        return CODEC_ERR_READ;
    if (marker == kTrailerMarker)
        *trailer = at;
    return CODEC_OK;
}

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
        size_t got = in->Read(h, sizeof(h));
        if (got > 0 && h[0] != kManufacturer)
            return CODEC_ERR_SIGNATURE;
        if (got < sizeof(h))
            return CODEC_ERR_READ;
    }
    unsigned version = h[1], encoding = h[2], bits = h[3], planes = h[65];
    if (version > 5 || version == 1)
        return PCX_ERR_VERSION;
    if (encoding != 1)
        return PCX_ERR_ENCODING;
    int bpp = DepthOf(bits, planes);
    if (bpp == 0)
        return PCX_ERR_LAYOUT;
    unsigned xmin = Le16(h + 4), ymin = Le16(h + 6), xmax = Le16(h + 8), ymax = Le16(h + 10);
    if (xmax < xmin || ymax < ymin)
        return CODEC_ERR_SIZE;
    int64_t width = int64_t(xmax) - xmin + 1, height = int64_t(ymax) - ymin + 1;
    uint32_t bytesPerLine = Le16(h + 66);
    if (codec_check_size(width, height, bpp) != CODEC_OK || uint64_t(bytesPerLine) * 8 < uint64_t(width) * bits)
        return CODEC_ERR_SIZE;

    PcxState* s = codec_private<PcxState>(header);
    s->trunc = opts.Flag("trunc");
    s->dataEnd = LONG_MAX;
    s->trailer = -1;
    if (bpp == 8) {
        int rc = FindTrailer(fd, &s->trailer);
        if (rc != CODEC_OK)
            return rc;
        if (s->trailer < 0 && !s->trunc)
            return PCX_ERR_TRAILER;
        if (s->trailer >= 0)
            s->dataEnd = s->trailer;
    }
    // A file too short for its picture fails before the caller allocates for it: a byte pair
    // codes at most 63 bytes.
    if (!s->trunc) {
        long end = s->trailer >= 0 ? s->trailer : codec_io_seek(fd, 0, SEEK_END);
        uint64_t decoded = uint64_t(height) * bytesPerLine * planes;
        if (end < kHeaderSize || uint64_t(end - kHeaderSize) < (2 * decoded + 62) / 63)
            return CODEC_ERR_READ;
    }
    s->tag = kStateTag;
    s->width = header->width = int32_t(width);
    s->height = header->height = int32_t(height);
    s->bpp = header->bpp = bpp;
    s->bitsPerPlane = uint8_t(bits);
    s->planes = uint8_t(planes);
    s->bytesPerLine = bytesPerLine;
    std::memcpy(s->headerPalette, h + 16, sizeof(s->headerPalette));
    bool blank = true;
    for (uint8_t b : s->headerPalette)
        blank = blank && b == 0;
    s->defaultPalette = version == 0 || version == 3 || blank;
    return CODEC_OK;
}

// The palette and data readers work only on the header their header reader filled in.
int CheckState(const ImageHeader* header, const PcxState* s)
{
    return codec_check_state(header, s, kStateTag);
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const PcxState* s = codec_private<PcxState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    if (s->bpp == 24)
        return CODEC_OK;
    if (s->bpp == 8) {
        if (s->trailer < 0) {  // only with "trunc"
            for (int i = 0; i < 256; ++i)
                palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
            return CODEC_OK;
        }
        std::unique_ptr<CodecReader> in = codec_open_reader(fd);
        if (!in)
            return CODEC_ERR_MEMORY;
        unsigned char t[kTrailerSize];
        if (!in->Seek(s->trailer) || !in->ReadExact(t, sizeof(t)))
            return CODEC_ERR_READ;
        if (t[0] != kTrailerMarker)
            return PCX_ERR_TRAILER;
        for (int i = 0; i < 256; ++i)
            palette[i] = PaletteEntry{t[1 + 3 * i], t[2 + 3 * i], t[3 + 3 * i]};
        return CODEC_OK;
    }
    if (s->defaultPalette) {
        if (s->bpp == 1) {
            palette[0] = PaletteEntry{0, 0, 0};
            palette[1] = PaletteEntry{255, 255, 255};
        } else {
            std::memcpy(palette, kEgaPalette, sizeof(kEgaPalette));
        }
        return CODEC_OK;
    }
    for (int i = 0; i < (1 << s->bpp); ++i)
        palette[i] = PaletteEntry{s->headerPalette[3 * i], s->headerPalette[3 * i + 1], s->headerPalette[3 * i + 2]};
    return CODEC_OK;
}

// The run-length coded scan lines as one stream of bytes, up to a limit in the file.
class RunLengthSource
{
public:
    RunLengthSource(CodecReader& in, long available) : m_in(in), m_available(available) {}

    // Fills a whole scan line; false when the data ends first (the line is then zero-filled past
    // what was decoded).
    bool Line(uint8_t* out, size_t length)
    {
        size_t i = 0;
        while (i < length) {
            if (m_run > 0) {
                size_t n = m_run < length - i ? m_run : length - i;
                std::memset(out + i, m_value, n);
                m_run -= n;
                i += n;
                continue;
            }
            if (m_pos == m_len && !Refill())
                break;
            uint8_t c = m_buffer[m_pos++];
            if ((c & 0xC0) != 0xC0) {
                out[i++] = c;
                continue;
            }
            if (m_pos == m_len && !Refill())
                break;
            m_run = c & 0x3F;
            m_value = m_buffer[m_pos++];
        }
        if (i < length)
            std::memset(out + i, 0, length - i);
        return i == length;
    }

private:
    bool Refill()
    {
        if (m_available <= 0)
            return false;
        size_t want = sizeof(m_buffer) < size_t(m_available) ? sizeof(m_buffer) : size_t(m_available);
        size_t got = m_in.Read(m_buffer, want);
        m_available -= long(got);
        m_pos = 0;
        m_len = got;
        return got > 0;
    }

    CodecReader& m_in;
    long m_available;
    size_t m_pos = 0, m_len = 0;
    size_t m_run = 0;
    uint8_t m_value = 0;
    uint8_t m_buffer[16384];
};

// Spreads the 8 bits of a plane byte over the nibbles of 4 packed 4-bit pixels.
struct NibbleSpread {
    uint8_t bytes[256][4] = {};
    constexpr NibbleSpread()
    {
        for (int b = 0; b < 256; ++b)
            for (int j = 0; j < 4; ++j)
                bytes[b][j] = uint8_t((((b >> (7 - 2 * j)) & 1) << 4) | ((b >> (6 - 2 * j)) & 1));
    }
};

// 1×2, 1×3 and 1×4 plane lines to packed 4-bit pixels (plane 0 is the lowest bit).
void PlanesToNibbles(const uint8_t* line, size_t bytesPerLine, unsigned planes, int32_t width, uint8_t* row)
{
    static constexpr NibbleSpread spread;
    size_t outBytes = (size_t(width) + 1) / 2;
    size_t groups = (size_t(width) + 7) / 8;
    for (size_t g = 0; g < groups; ++g) {
        uint8_t quad[4] = {0, 0, 0, 0};
        for (unsigned p = 0; p < planes; ++p) {
            const uint8_t* q = spread.bytes[line[p * bytesPerLine + g]];
            quad[0] |= uint8_t(q[0] << p);
            quad[1] |= uint8_t(q[1] << p);
            quad[2] |= uint8_t(q[2] << p);
            quad[3] |= uint8_t(q[3] << p);
        }
        size_t at = 4 * g, n = outBytes - at < 4 ? outBytes - at : 4;
        std::memcpy(row + at, quad, n);
    }
}

// 2 bits per pixel (CGA) to packed 4-bit pixels.
void CgaToNibbles(const uint8_t* line, int32_t width, uint8_t* row)
{
    size_t outBytes = (size_t(width) + 1) / 2;
    for (size_t i = 0; i < outBytes; ++i) {
        uint8_t b = line[i / 2];
        unsigned shift = i % 2 ? 0 : 4;  // the first two pixels of a byte sit in its top nibble
        unsigned pair = (b >> shift) & 0x0F;
        row[i] = uint8_t((((pair >> 2) & 3) << 4) | (pair & 3));
    }
}

// 8×3 (and 8×4) plane lines to blue, green, red pixels.
void PlanesToBgr(const uint8_t* line, size_t bytesPerLine, int32_t width, uint8_t* row)
{
    const uint8_t* r = line;
    const uint8_t* g = line + bytesPerLine;
    const uint8_t* b = line + 2 * bytesPerLine;
    for (int32_t x = 0; x < width; ++x) {
        row[0] = b[x];
        row[1] = g[x];
        row[2] = r[x];
        row += 3;
    }
}

// Zeroes what lies beyond the last pixel of a row: the unused bits of its last byte and the
// padding to the stride.
void ClearPadding(uint8_t* row, int32_t width, int bpp, size_t stride)
{
    size_t bits = size_t(width) * size_t(bpp);
    size_t used = (bits + 7) / 8;
    if (bits % 8)
        row[used - 1] &= uint8_t(0xFF << (8 - bits % 8));
    std::memset(row + used, 0, stride - used);
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const PcxState* s = codec_private<PcxState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    if (!in->Seek(kHeaderSize))
        return CODEC_ERR_READ;
    std::unique_ptr<RunLengthSource> source(new (std::nothrow) RunLengthSource(*in, s->dataEnd - kHeaderSize));
    size_t lineBytes = size_t(s->bytesPerLine) * s->planes;
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[lineBytes]);
    if (!source || !line)
        return CODEC_ERR_MEMORY;

    const size_t stride = codec_stride(s->width, s->bpp);
    const size_t packedBytes = (size_t(s->width) * size_t(s->bpp) + 7) / 8;
    for (int32_t y = 0; y < s->height; ++y) {
        bool whole = source->Line(line.get(), lineBytes);
        if (!whole && !s->trunc)
            return CODEC_ERR_READ;
        uint8_t* row = data + size_t(s->height - 1 - y) * stride;
        if (s->bpp == 24)
            PlanesToBgr(line.get(), s->bytesPerLine, s->width, row);
        else if (s->bitsPerPlane == 1 && s->planes > 1)
            PlanesToNibbles(line.get(), s->bytesPerLine, s->planes, s->width, row);
        else if (s->bitsPerPlane == 2)
            CgaToNibbles(line.get(), s->width, row);
        else
            std::memcpy(row, line.get(), packedBytes);
        ClearPadding(row, s->width, s->bpp, stride);
        if (!whole) {  // "trunc": the rows not reached stay index 0
            for (int32_t rest = y + 1; rest < s->height; ++rest)
                std::memset(data + size_t(s->height - 1 - rest) * stride, 0, stride);
            break;
        }
    }
    return CODEC_OK;
}

// ---- writing ----

// Run-length codes one plane line: runs of up to 63 bytes, and single bytes that look like a
// count (both top bits set) as runs of one.
size_t EncodeLine(const uint8_t* in, size_t length, uint8_t* out)
{
    uint8_t* o = out;
    size_t i = 0;
    while (i < length) {
        uint8_t v = in[i];
        size_t run = 1;
        while (run < 63 && i + run < length && in[i + run] == v)
            ++run;
        if (run > 1 || (v & 0xC0) == 0xC0)
            *o++ = uint8_t(0xC0 | run);
        *o++ = v;
        i += run;
    }
    return size_t(o - out);
}

// Packed 4-bit pixels to four 1-bit plane lines (plane 0 the lowest bit).
void NibblesToPlanes(const uint8_t* row, int32_t width, size_t bytesPerLine, uint8_t* planes)
{
    static constexpr struct Gather {
        uint32_t lanes[256] = {};  // for each plane p, byte p holds the two pixels' bits p
        constexpr Gather()
        {
            for (unsigned b = 0; b < 256; ++b) {
                lanes[b] = 0;
                for (unsigned p = 0; p < 4; ++p)
                    lanes[b] |= uint32_t((((b >> (4 + p)) & 1) << 1) | ((b >> p) & 1)) << (8 * p);
            }
        }
    } gather;
    size_t inBytes = (size_t(width) + 1) / 2;
    for (size_t g = 0; 4 * g < inBytes; ++g) {
        uint32_t acc = 0;
        for (size_t k = 0; k < 4; ++k) {
            size_t at = 4 * g + k;
            uint8_t b = at < inBytes ? row[at] : 0;
            if (at == inBytes - 1 && width % 2)
                b &= 0xF0;  // the unused half of the last byte
            acc |= gather.lanes[b] << (6 - 2 * k);
        }
        for (unsigned p = 0; p < 4; ++p)
            planes[p * bytesPerLine + g] = uint8_t(acc >> (8 * p));
    }
}

void PutHeader(CodecWriter& out, const ImageHeader* header, const PaletteEntry* palette, unsigned bits,
               unsigned planes, unsigned bytesPerLine)
{
    uint8_t h[kHeaderSize] = {};
    h[0] = kManufacturer;
    h[1] = 5;
    h[2] = 1;
    h[3] = uint8_t(bits);
    auto put16 = [&h](int at, unsigned v) {
        h[at] = uint8_t(v);
        h[at + 1] = uint8_t(v >> 8);
    };
    put16(8, unsigned(header->width - 1));
    put16(10, unsigned(header->height - 1));
    put16(12, 72);
    put16(14, 72);
    if (header->bpp != 24) {
        int colours = header->bpp == 1 ? 2 : 16;
        for (int i = 0; i < colours; ++i) {
            h[16 + 3 * i] = palette[i].red;
            h[17 + 3 * i] = palette[i].green;
            h[18 + 3 * i] = palette[i].blue;
        }
    }
    h[65] = uint8_t(planes);
    put16(66, bytesPerLine);
    put16(68, 1);
    out.Write(h, sizeof(h));
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    const int bpp = header->bpp;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24)
        return CODEC_ERR_BPP;
    const int32_t width = header->width, height = header->height;
    const unsigned bits = bpp == 4 ? 1 : bpp == 24 ? 8 : unsigned(bpp);
    const unsigned planes = bpp == 4 ? 4 : bpp == 24 ? 3 : 1;
    size_t bytesPerLine = (size_t(width) * bits + 7) / 8;
    bytesPerLine += bytesPerLine % 2;
    const size_t lineBytes = bytesPerLine * planes;
    const size_t stride = codec_stride(width, bpp);

    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[lineBytes]);
    std::unique_ptr<uint8_t[]> coded(new (std::nothrow) uint8_t[2 * lineBytes]);
    if (!out || !line || !coded)
        return CODEC_ERR_MEMORY;
    PutHeader(*out, header, palette, bits, planes, unsigned(bytesPerLine));
    std::memset(line.get(), 0, lineBytes);
    for (int32_t y = 0; y < height && !out->Failed(); ++y) {
        const uint8_t* row = data + size_t(height - 1 - y) * stride;
        uint8_t* l = line.get();
        if (bpp == 24) {
            for (int32_t x = 0; x < width; ++x) {
                l[x] = row[3 * x + 2];
                l[bytesPerLine + x] = row[3 * x + 1];
                l[2 * bytesPerLine + x] = row[3 * x];
            }
        } else if (bpp == 4) {
            NibblesToPlanes(row, width, bytesPerLine, l);
        } else {
            size_t used = (size_t(width) * bits + 7) / 8;
            std::memcpy(l, row, used);
            if (bpp == 1 && width % 8)
                l[used - 1] &= uint8_t(0xFF << (8 - width % 8));
        }
        for (unsigned p = 0; p < planes; ++p)
            out->Write(coded.get(), EncodeLine(l + p * bytesPerLine, bytesPerLine, coded.get()));
    }
    if (bpp == 8) {
        uint8_t trailer[kTrailerSize];
        trailer[0] = kTrailerMarker;
        for (int i = 0; i < 256; ++i) {
            trailer[1 + 3 * i] = palette[i].red;
            trailer[2 + 3 * i] = palette[i].green;
            trailer[3 + 3 * i] = palette[i].blue;
        }
        out->Write(trailer, sizeof(trailer));
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

const CodecFormat codec_pcx_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
