// PSEG: printer page segments holding one IM image, 1 bit per pixel.
//
// The file is a sequence of structured fields, each in a record of its own:
//   0x5A             carriage control byte
//   2 bytes          length, big-endian, counting itself and everything after it up to the
//                    end of the field (so 8 + the data's length)
//   3 bytes          identifier
//   1 byte           flags: 0x80 an extension follows (its first byte is its own length),
//                    0x08 the data ends in padding (its last byte is the padding's length, or
//                    0 after a big-endian 2-byte length)
//   2 bytes          sequence number (ignored)
//   data
// Fields understood (any other answers 1601):
//   D3A85F  begin page segment (8-byte name)        D3A95F  end page segment
//   D3A87B  begin IM image (8-byte name)            D3A97B  end IM image
//   D3A77B  image output control (ignored)          D3EEEE  no operation (ignored)
//   D3A67B  image input descriptor:
//             0 x and y unit bases, 2 x units, 4 y units (per 10 inches), 6..11 zeros,
//             12 width, 14 height (pixels, big-endian words), 16..37 zeros,
//             38 default cell width, 40 default cell height (0: the whole image),
//             42 X'0001', 44 image colour (ignored); only bytes 12..15 are required
//   D3AC7B  image cell position: 0 x, 2 y, 4 cell width, 6 cell height (0: the default cell),
//             8 fill width, 10 fill height (0: the cell's); the cell's raster is repeated over
//             the fill area when it is larger
//   D3EE7B  image raster data: rows of the current cell (the whole image until the first cell
//             position), width / 8 bytes each, top row first, most significant bit leftmost,
//             1 = black; a row may continue from one raster field into the next
// Order: an optional begin page segment, begin image, the input descriptor before any cell
// position or raster data (1602), end image. A field out of that order answers 1607. Only the
// first image is read; everything after its end is ignored. Width, default cell width, cell
// width and cell x position must be multiples of 8 (1603..1606); cells are clipped to the
// picture. Pixels no raster covers are white. The picture reads as 1 bit, index 0 white,
// 1 black.
//
// Read option fixrec: records may also start without the 0x5A (carriage controls stripped)
// and/or behind a 4-byte variable-length record prefix (2-byte big-endian record length counting
// the prefix, then two zero bytes), as files taken from variable-length data sets are.
// Without it such a record answers 1600.
//
// The writer: begin page segment, a no-operation field with "Written by TrelClientHelper",
// begin image, output control, input descriptor (240 pixels per inch), raster data of whole
// rows up to 8 KiB per field, end image, end page segment. Texts and names (the file's base name
// upper-cased, letters and digits only, at most 8, blank-padded) are EBCDIC. The palette entry
// of lower luminance becomes black. A width that is not a multiple of 8 is padded with white
// pixels on the right. Write option double: every pixel becomes 2 × 2. At most 2400 × 2400
// pixels (after doubling), else 6.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormatPseg = 13;
constexpr int PSEG_ERR_NO_5A = 1600, PSEG_ERR_RECORD = 1601, PSEG_ERR_NO_SIZE = 1602, PSEG_ERR_WIDTH = 1603,
              PSEG_ERR_DEFAULT_CELL = 1604, PSEG_ERR_CELL_SIZE = 1605, PSEG_ERR_CELL_POSITION = 1606,
              PSEG_ERR_ORDER = 1607;

enum : uint32_t {
    kBeginSegment = 0xD3A85F,
    kEndSegment = 0xD3A95F,
    kBeginImage = 0xD3A87B,
    kEndImage = 0xD3A97B,
    kOutputControl = 0xD3A77B,
    kInputDescriptor = 0xD3A67B,
    kCellPosition = 0xD3AC7B,
    kRasterData = 0xD3EE7B,
    kNoOperation = 0xD3EEEE
};

constexpr uint8_t kCarriageControl = 0x5A;
constexpr size_t kIntroducerBytes = 8;  // length, identifier, flags, sequence number
constexpr size_t kMaxField = 65535;
constexpr int32_t kMaxWriteSide = 2400;
constexpr size_t kMaxRasterPerField = 8192;
constexpr uint32_t kStateTag = 0x50534731;  // "PSG1": the header reader has run

struct PsegState {
    uint32_t tag;
    int32_t width, height;
    int32_t cellWidth, cellHeight;  // the default cell
    long next;                      // the field after the input descriptor
    uint8_t fixrec;
};

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatPseg, info);
}

unsigned Be16(const unsigned char* p)
{
    return unsigned(p[0]) << 8 | unsigned(p[1]);
}

// ---- fields ----

struct Field {
    uint32_t id = 0;
    const unsigned char* data = nullptr;
    size_t length = 0;
};

// Reads the next structured field into buf (kMaxField bytes). Answers 7 at the end of the file.
int ReadField(CodecReader& in, bool fixrec, unsigned char* buf, Field& f)
{
    int c = in.Byte();
    if (c < 0)
        return CODEC_ERR_READ;
    long rest = -1;     // what a record prefix says is left of the record
    size_t have = 0;    // bytes of the field already in buf
    if (c != kCarriageControl) {
        if (!fixrec)
            return PSEG_ERR_NO_5A;
        unsigned char b[4] = {uint8_t(c)};
        if (!in.ReadExact(b + 1, 3))
            return CODEC_ERR_READ;
        if (b[2] == 0 && b[3] == 0) {
            rest = long(Be16(b)) - 4;
            if ((c = in.Byte()) < 0)
                return CODEC_ERR_READ;
            if (c == kCarriageControl) {
                --rest;
            } else {
                buf[0] = uint8_t(c);
                have = 1;
            }
        } else if (b[2] == 0xD3) {
            std::memcpy(buf, b, 4);  // no carriage control: length and identifier
            have = 4;
        } else {
            return PSEG_ERR_NO_5A;
        }
    }
    if (!in.ReadExact(buf + have, 4 - have))
        return CODEC_ERR_READ;
    const size_t length = Be16(buf);
    if (length < kIntroducerBytes)
        return PSEG_ERR_RECORD;
    if (rest >= 0 && rest < long(length))
        return PSEG_ERR_NO_5A;
    if (!in.ReadExact(buf + 4, length - 4))
        return CODEC_ERR_READ;
    if (rest > long(length) && !in.Skip(size_t(rest - long(length))))
        return CODEC_ERR_READ;
    f.id = uint32_t(buf[2]) << 16 | uint32_t(buf[3]) << 8 | buf[4];
    const unsigned flags = buf[5];
    size_t start = kIntroducerBytes, end = length;
    if (flags & 0x80) {
        if (start >= end || buf[start] == 0 || buf[start] > end - start)
            return PSEG_ERR_RECORD;
        start += buf[start];
    }
    if (flags & 0x08) {
        if (start >= end)
            return PSEG_ERR_RECORD;
        size_t pad = buf[end - 1];
        if (pad == 0)
            pad = end - start >= 3 ? Be16(buf + end - 3) : 0;
        if (pad == 0 || pad > end - start)
            return PSEG_ERR_RECORD;
        end -= pad;
    }
    f.data = buf + start;
    f.length = end - start;
    return CODEC_OK;
}

bool Known(uint32_t id)
{
    switch (id) {
    case kBeginSegment: case kEndSegment: case kBeginImage: case kEndImage: case kOutputControl:
    case kInputDescriptor: case kCellPosition: case kRasterData: case kNoOperation:
        return true;
    default:
        return false;
    }
}

// ---- reading ----

int ReadInputDescriptor(const Field& f, PsegState& s)
{
    if (f.length < 16)
        return PSEG_ERR_RECORD;
    const unsigned width = Be16(f.data + 12), height = Be16(f.data + 14);
    if (width == 0 || height == 0)
        return CODEC_ERR_SIZE;
    if (width % 8 != 0)
        return PSEG_ERR_WIDTH;
    if (codec_check_size(width, height, 1) != CODEC_OK)
        return CODEC_ERR_SIZE;
    s.width = int32_t(width);
    s.height = int32_t(height);
    s.cellWidth = f.length >= 42 ? int32_t(Be16(f.data + 38)) : 0;
    s.cellHeight = f.length >= 42 ? int32_t(Be16(f.data + 40)) : 0;
    if (s.cellWidth % 8 != 0)
        return PSEG_ERR_DEFAULT_CELL;
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    PsegState s{};
    s.fixrec = opts.Flag("fixrec") ? 1 : 0;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kMaxField]);
    if (!in || !buf)
        return CODEC_ERR_MEMORY;
    bool inSegment = false, inImage = false, first = true;
    for (;;) {
        Field f;
        int rc = ReadField(*in, s.fixrec != 0, buf.get(), f);
        if (rc != CODEC_OK)
            return rc;
        if (!Known(f.id))
            return PSEG_ERR_RECORD;
        const bool wasFirst = first;
        first = first && f.id == kNoOperation;
        switch (f.id) {
        case kNoOperation:
            break;
        case kBeginSegment:
            if (!wasFirst)
                return PSEG_ERR_ORDER;
            inSegment = true;
            break;
        case kBeginImage:
            if (inImage)
                return PSEG_ERR_ORDER;
            inImage = true;
            break;
        case kOutputControl:
            if (!inImage)
                return PSEG_ERR_ORDER;
            break;
        case kInputDescriptor:
            if (!inImage)
                return PSEG_ERR_ORDER;
            if ((rc = ReadInputDescriptor(f, s)) != CODEC_OK)
                return rc;
            s.next = in->Tell();
            s.tag = kStateTag;
            header->width = s.width;
            header->height = s.height;
            header->bpp = 1;
            *codec_private<PsegState>(header) = s;
            return CODEC_OK;
        case kCellPosition:
        case kRasterData:
        case kEndImage:
            return inImage ? PSEG_ERR_NO_SIZE : PSEG_ERR_ORDER;
        case kEndSegment:
            return inSegment ? PSEG_ERR_NO_SIZE : PSEG_ERR_ORDER;
        }
    }
}

const PsegState* CheckedState(ImageHeader* header)
{
    const PsegState* s = codec_private<PsegState>(header);
    if (s->tag != kStateTag || s->width != header->width || s->height != header->height || header->bpp != 1)
        return nullptr;
    return s;
}

int ReadPalette(int, ImageHeader* header, PaletteEntry* palette)
{
    if (CheckedState(header) == nullptr)
        return CODEC_ERR_ARGUMENT;
    palette[0] = PaletteEntry{255, 255, 255};
    palette[1] = PaletteEntry{0, 0, 0};
    return CODEC_OK;
}

// Where raster data goes: a cell of the picture, filled row by row, and the area it repeats over.
struct Cell {
    int64_t x = 0, y = 0, width = 0, height = 0, fillWidth = 0, fillHeight = 0;
    int64_t row = 0, byte = 0;  // next raster byte's place within the cell
};

class Raster
{
public:
    Raster(const PsegState& s, unsigned char* data)
        : m_width(s.width), m_height(s.height), m_stride(codec_stride(s.width, 1)), m_data(data),
          m_budget(4 * (int64_t(m_stride) * m_height + m_height))
    {
    }

    unsigned char* Row(int64_t y) const { return m_data + size_t(m_height - 1 - y) * m_stride; }

    void Put(Cell& c, const unsigned char* bytes, size_t count)
    {
        const int64_t rowBytes = c.width / 8;
        if (rowBytes == 0)
            return;
        while (count > 0 && c.row < c.height) {
            const size_t n = size_t(std::min<int64_t>(int64_t(count), rowBytes - c.byte));
            const int64_t y = c.y + c.row, x = c.x / 8 + c.byte, room = m_width / 8 - x;
            if (y < m_height && room > 0)
                std::memcpy(Row(y) + x, bytes, size_t(std::min<int64_t>(int64_t(n), room)));
            bytes += n;
            count -= n;
            c.byte += int64_t(n);
            if (c.byte == rowBytes) {
                c.byte = 0;
                ++c.row;
            }
        }
    }

    // Repeats the cell over its fill area, clipped to the picture. False when the picture's
    // replication budget is spent: a small file must not make us fill a huge area many times.
    bool Replicate(const Cell& c)
    {
        if (c.width == 0 || c.height == 0 || (c.fillWidth <= c.width && c.fillHeight <= c.height))
            return true;
        const int64_t right = std::min<int64_t>(c.x + c.fillWidth, m_width);
        const int64_t bottom = std::min<int64_t>(c.y + c.fillHeight, m_height);
        for (int64_t y = c.y; y < bottom; ++y) {
            const unsigned char* src = Row(c.y + (y - c.y) % c.height) + c.x / 8;
            unsigned char* dst = Row(y);
            m_budget -= 1;
            for (int64_t tx = c.x; tx < right; tx += c.width) {
                if (tx == c.x && y < c.y + c.height)
                    continue;
                for (int64_t b = 0; b < c.width / 8 && tx + 8 * b < right; ++b) {
                    const int64_t bits = right - (tx + 8 * b);
                    const unsigned mask = bits >= 8 ? 0xFF : (0xFF00u >> bits) & 0xFF;
                    unsigned char& d = dst[tx / 8 + b];
                    d = static_cast<unsigned char>((d & ~mask) | (src[b] & mask));
                }
                m_budget -= c.width / 8;
            }
            if (m_budget < 0)
                return false;
        }
        return true;
    }

private:
    int64_t m_width, m_height;
    size_t m_stride;
    unsigned char* m_data;
    int64_t m_budget;  // bytes replication may still write
};

int ReadCellPosition(const Field& f, const PsegState& s, Cell& c)
{
    if (f.length < 12)
        return PSEG_ERR_RECORD;
    c = Cell{};
    c.x = Be16(f.data);
    c.y = Be16(f.data + 2);
    c.width = Be16(f.data + 4);
    c.height = Be16(f.data + 6);
    c.fillWidth = Be16(f.data + 8);
    c.fillHeight = Be16(f.data + 10);
    if (c.x % 8 != 0)
        return PSEG_ERR_CELL_POSITION;
    if (c.width == 0)
        c.width = s.cellWidth != 0 ? s.cellWidth : s.width - std::min<int64_t>(c.x, s.width);
    if (c.height == 0)
        c.height = s.cellHeight != 0 ? s.cellHeight : s.height - std::min<int64_t>(c.y, s.height);
    if (c.width % 8 != 0)
        return PSEG_ERR_CELL_SIZE;
    if (c.fillWidth == 0)
        c.fillWidth = c.width;
    if (c.fillHeight == 0)
        c.fillHeight = c.height;
    return CODEC_OK;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const PsegState* s = CheckedState(header);
    if (s == nullptr)
        return CODEC_ERR_ARGUMENT;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kMaxField]);
    if (!in || !buf)
        return CODEC_ERR_MEMORY;
    // A new reader takes the file position for 0.
    if (codec_io_seek(fd, 0, SEEK_SET) != 0 || !in->Seek(s->next))
        return CODEC_ERR_READ;
    std::memset(data, 0, codec_stride(s->width, 1) * size_t(s->height));
    Raster raster(*s, data);
    Cell cell;
    cell.width = cell.fillWidth = s->width;
    cell.height = cell.fillHeight = s->height;
    for (;;) {
        Field f;
        int rc = ReadField(*in, s->fixrec != 0, buf.get(), f);
        if (rc != CODEC_OK)
            return rc;
        switch (f.id) {
        case kNoOperation:
        case kOutputControl:
            break;
        case kCellPosition:
            if (!raster.Replicate(cell))
                return PSEG_ERR_RECORD;
            if ((rc = ReadCellPosition(f, *s, cell)) != CODEC_OK)
                return rc;
            break;
        case kRasterData:
            raster.Put(cell, f.data, f.length);
            break;
        case kEndImage:
            return raster.Replicate(cell) ? CODEC_OK : PSEG_ERR_RECORD;
        default:
            return Known(f.id) ? PSEG_ERR_ORDER : PSEG_ERR_RECORD;
        }
    }
}

// ---- writing ----

unsigned char Ebcdic(char c)
{
    if (c >= 'a' && c <= 'i') return static_cast<unsigned char>(0x81 + (c - 'a'));
    if (c >= 'j' && c <= 'r') return static_cast<unsigned char>(0x91 + (c - 'j'));
    if (c >= 's' && c <= 'z') return static_cast<unsigned char>(0xA2 + (c - 's'));
    if (c >= 'A' && c <= 'I') return static_cast<unsigned char>(0xC1 + (c - 'A'));
    if (c >= 'J' && c <= 'R') return static_cast<unsigned char>(0xD1 + (c - 'J'));
    if (c >= 'S' && c <= 'Z') return static_cast<unsigned char>(0xE2 + (c - 'S'));
    if (c >= '0' && c <= '9') return static_cast<unsigned char>(0xF0 + (c - '0'));
    switch (c) {
    case '.': return 0x4B;
    case '-': return 0x60;
    case '_': return 0x6D;
    case ':': return 0x7A;
    case '/': return 0x61;
    default: return 0x40;  // blank
    }
}

// The name for the begin and end fields: the file's base name, letters and digits, upper case.
void SegmentName(const char* fileName, unsigned char name[8])
{
    std::memset(name, Ebcdic(' '), 8);
    const char* base = fileName ? fileName : "";
    for (const char* p = base; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            base = p + 1;
    int n = 0;
    for (const char* p = base; *p && *p != '.' && n < 8; ++p) {
        char c = *p;
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            name[n++] = Ebcdic(c);
    }
    if (n == 0)
        std::memcpy(name, "\xD7\xE2\xC5\xC7\x40\x40\x40\x40", 8);  // "PSEG"
}

void WriteField(CodecWriter& out, uint32_t id, const unsigned char* data, size_t length)
{
    out.Byte(kCarriageControl);
    out.U16be(unsigned(kIntroducerBytes + length));
    out.Byte(id >> 16);
    out.Byte(id >> 8);
    out.Byte(id);
    out.Byte(0);
    out.U16be(0);
    out.Write(data, length);
}

unsigned Luminance(const PaletteEntry& e)
{
    return e.red * 77u + e.green * 150u + e.blue * 29u;
}

// Each bit of a byte doubled: 16 bits, most significant first.
unsigned DoubleBits(unsigned char b)
{
    unsigned v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 2 | (((b >> i) & 1) ? 3u : 0u);
    return v;
}

int Write(const char* fileName, int fd, const ImageHeader* header, const PaletteEntry* palette,
          const unsigned char* data, const char* options)
{
    if (header->bpp != 1)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    const int scale = opts.Flag("double") ? 2 : 1;
    const int64_t width = int64_t(header->width) * scale, height = int64_t(header->height) * scale;
    if (width > kMaxWriteSide || height > kMaxWriteSide)
        return CODEC_ERR_SIZE;
    const size_t rowBytes = size_t((width + 7) / 8);
    const int32_t paddedWidth = int32_t(rowBytes * 8);
    // Black is what prints: the darker entry.
    const unsigned char invert = Luminance(palette[0]) < Luminance(palette[1]) ? 0xFF : 0x00;
    const unsigned tailBits = unsigned(width % 8);
    const unsigned char tailMask = tailBits ? static_cast<unsigned char>(0xFF00u >> tailBits) : 0xFF;

    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    std::unique_ptr<unsigned char[]> raster(new (std::nothrow) unsigned char[kMaxRasterPerField]);
    if (!out || !raster)
        return CODEC_ERR_MEMORY;

    unsigned char name[8];
    SegmentName(fileName, name);
    WriteField(*out, kBeginSegment, name, sizeof(name));
    static const char kComment[] = "Written by TrelClientHelper";
    unsigned char comment[sizeof(kComment) - 1];
    for (size_t i = 0; i < sizeof(comment); ++i)
        comment[i] = Ebcdic(kComment[i]);
    WriteField(*out, kNoOperation, comment, sizeof(comment));
    WriteField(*out, kBeginImage, name, sizeof(name));

    unsigned char control[24] = {};
    control[8] = 0x2D;                     // y axis at 90 degrees
    control[18] = 0x03, control[19] = 0xE8;  // scale 1000 / 1000
    control[20] = 0x03, control[21] = 0xE8;
    control[22] = 0xFF, control[23] = 0xFF;
    WriteField(*out, kOutputControl, control, sizeof(control));

    unsigned char descriptor[46] = {};
    descriptor[2] = 0x09, descriptor[3] = 0x60;  // 2400 per 10 inches
    descriptor[4] = 0x09, descriptor[5] = 0x60;
    descriptor[12] = uint8_t(paddedWidth >> 8), descriptor[13] = uint8_t(paddedWidth);
    descriptor[14] = uint8_t(height >> 8), descriptor[15] = uint8_t(height);
    descriptor[38] = uint8_t(paddedWidth >> 8), descriptor[39] = uint8_t(paddedWidth);
    descriptor[40] = uint8_t(height >> 8), descriptor[41] = uint8_t(height);
    descriptor[43] = 0x01;
    descriptor[44] = 0xFF, descriptor[45] = 0xFF;
    WriteField(*out, kInputDescriptor, descriptor, sizeof(descriptor));

    const size_t stride = codec_stride(header->width, 1);
    const size_t rowsPerField = kMaxRasterPerField / rowBytes;
    size_t filled = 0, rowsInField = 0;
    const size_t srcBytes = size_t((header->width + 7) / 8);
    for (int64_t y = 0; y < height && !out->Failed(); ++y) {
        const unsigned char* src = data + size_t(header->height - 1 - y / scale) * stride;
        unsigned char* dst = raster.get() + filled;
        if (scale == 1) {
            for (size_t j = 0; j < srcBytes; ++j)
                dst[j] = static_cast<unsigned char>(src[j] ^ invert);
        } else {
            for (size_t j = 0; j < srcBytes; ++j) {
                const unsigned d = DoubleBits(static_cast<unsigned char>(src[j] ^ invert));
                if (2 * j < rowBytes)
                    dst[2 * j] = uint8_t(d >> 8);
                if (2 * j + 1 < rowBytes)
                    dst[2 * j + 1] = uint8_t(d);
            }
        }
        dst[rowBytes - 1] &= tailMask;  // the padding on the right is white
        filled += rowBytes;
        if (++rowsInField == rowsPerField || y + 1 == height) {
            WriteField(*out, kRasterData, raster.get(), filled);
            filled = rowsInField = 0;
        }
    }
    WriteField(*out, kEndImage, name, sizeof(name));
    WriteField(*out, kEndSegment, name, sizeof(name));
    return out->Finish();
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatPseg, code);
}

} // namespace

const CodecFormat codec_pseg_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
