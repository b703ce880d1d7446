// GIF: GIF87a and GIF89a, any image of a multi-image file (read option index=N), global and local
// colour tables, interlaced images; writes one image with a global colour table, optionally
// interlaced and with a transparent colour.
//
// Read options:
//   index=N   the N-th image descriptor of the file (0-based); 1101 when the trailer comes first.
//   errok     corrupt or truncated LZW data is not an error: the pixels decoded so far are kept and
//             the rest of the picture stays index 0.
// Write options:
//   xscreen=, yscreen=   logical screen size, 1..65535 (default: the picture's size)
//   xpos=, ypos=         the image's place on the screen, 0..65535 (default 0, 0)
//   background=N         background colour index, 0..2^bpp-1 (default 0)
//   transcol=N|edge      transparent colour index, 0..2^bpp-1, or the colour of the bottom-left
//                        pixel; makes the file GIF89a with a graphic control extension
//   ilace                interlaced rows
// Values out of those ranges, or without a number, answer CODEC_ERR_OPTIONS.
//
// The picture is the selected image at its own size. Its depth follows the colour table in force
// (the local one, else the global one): 1 bit for 2 colours, 4 for up to 16, 8 for up to 256.
// A file without any colour table reads as 8 bits over a grey ramp. Pixel values the depth cannot
// hold (2 and 3 under a 2-colour table, above 255 with code size 9) read as index 0, as
// ImageMagick reads them.
#include <memory>

#include "codecs/codec_internal.h"

namespace {

enum {
    GIF_ERR_BPP = 1100,
    GIF_ERR_NO_IMAGE = 1101,
    GIF_ERR_CODE_SIZE = 1102,
    GIF_ERR_CORRUPT = 1103,
    GIF_ERR_HEADER = 1104
};

enum : int { kExtensionIntroducer = 0x21, kImageSeparator = 0x2C, kTrailer = 0x3B };
enum : int { kGraphicControlLabel = 0xF9 };
enum : int { kMaxCodes = 4096, kMaxCodeBits = 12 };

constexpr uint32_t kStateTag = 0x47494631;  // "GIF1": the header reader has run

// What the header reader leaves for the palette and data readers.
struct GifState {
    uint32_t tag;
    int32_t width, height, bpp;
    long tableOffset;    // the colour table in force; 0 when the file has none
    int32_t tableEntries;
    long dataOffset;     // the image's LZW minimum code size byte
    uint8_t interlaced;
    uint8_t errok;
};

unsigned Le16(const unsigned char* p)
{
    return unsigned(p[0]) | (unsigned(p[1]) << 8);
}

int BppForEntries(int entries)
{
    return entries <= 2 ? 1 : entries <= 16 ? 4 : 8;
}

// ---- reading: file structure ----

int ReadSignature(CodecReader& in)
{
    unsigned char sig[6];
    size_t got = in.Read(sig, sizeof(sig));
    bool gif87 = std::memcmp(sig, "GIF87a", got) == 0, gif89 = std::memcmp(sig, "GIF89a", got) == 0;
    if (!gif87 && !gif89)
        return CODEC_ERR_SIGNATURE;
    return got == sizeof(sig) ? CODEC_OK : CODEC_ERR_READ;
}

// Only the global colour table matters here: the picture is the image's own size.
int ReadLogicalScreenDescriptor(CodecReader& in, long& globalTable, int& globalEntries)
{
    unsigned char b[7];  // width, height, packed fields, background, pixel aspect ratio
    if (!in.ReadExact(b, sizeof(b)))
        return CODEC_ERR_READ;
    globalEntries = b[4] & 0x80 ? 2 << (b[4] & 7) : 0;
    globalTable = in.Tell();
    return in.Skip(size_t(globalEntries) * 3) ? CODEC_OK : CODEC_ERR_READ;
}

// A chain of data sub-blocks up to and including the zero-length one.
bool SkipSubBlocks(CodecReader& in)
{
    for (;;) {
        int length = in.Byte();
        if (length < 0)
            return false;
        if (length == 0)
            return true;
        if (!in.Skip(size_t(length)))
            return false;
    }
}

struct ImageDescriptor {
    unsigned width, height;
    unsigned flags;
};

int ReadImageDescriptor(CodecReader& in, ImageDescriptor& d)
{
    unsigned char b[9];  // left, top, width, height, packed fields
    if (!in.ReadExact(b, sizeof(b)))
        return CODEC_ERR_READ;
    d.width = Le16(b + 4);
    d.height = Le16(b + 6);
    d.flags = b[8];
    return CODEC_OK;
}

// Walks the blocks after the logical screen to the wanted image descriptor, leaving the reader
// after its local colour table.
int FindImage(CodecReader& in, long index, ImageDescriptor& d, long& localTable, int& localEntries)
{
    for (long seen = 0;;) {
        int introducer = in.Byte();
        if (introducer < 0)
            return CODEC_ERR_READ;
        if (introducer == kTrailer)
            return GIF_ERR_NO_IMAGE;
        if (introducer == kExtensionIntroducer) {
            if (in.Byte() < 0 || !SkipSubBlocks(in))  // label, then its sub-blocks
                return CODEC_ERR_READ;
            continue;
        }
        if (introducer != kImageSeparator)
            return GIF_ERR_HEADER;
        int rc = ReadImageDescriptor(in, d);
        if (rc != CODEC_OK)
            return rc;
        localEntries = d.flags & 0x80 ? 2 << (d.flags & 7) : 0;
        localTable = in.Tell();
        if (!in.Skip(size_t(localEntries) * 3))
            return CODEC_ERR_READ;
        if (seen++ == index)
            return CODEC_OK;
        if (in.Byte() < 0 || !SkipSubBlocks(in))  // LZW minimum code size, then the data
            return CODEC_ERR_READ;
    }
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char* options)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    long index = 0;
    if (opts.Text("index=") != nullptr && (!opts.Number("index=", &index) || index < 0))
        return CODEC_ERR_OPTIONS;

    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    int rc = ReadSignature(*in);
    if (rc != CODEC_OK)
        return rc;
    int globalEntries = 0;
    long globalTable = 0;
    rc = ReadLogicalScreenDescriptor(*in, globalTable, globalEntries);
    if (rc != CODEC_OK)
        return rc;

    ImageDescriptor d{};
    long localTable = 0;
    int localEntries = 0;
    rc = FindImage(*in, index, d, localTable, localEntries);
    if (rc != CODEC_OK)
        return rc;
    int codeSize = in->Byte();
    if (codeSize < 0)
        return CODEC_ERR_READ;
    if (codeSize < 2 || codeSize > 9)
        return GIF_ERR_CODE_SIZE;

    GifState* s = codec_private<GifState>(header);
    s->tableEntries = localEntries ? localEntries : globalEntries;
    s->tableOffset = localEntries ? localTable : globalEntries ? globalTable : 0;
    int bpp = s->tableEntries ? BppForEntries(s->tableEntries) : 8;
    if (codec_check_size(d.width, d.height, bpp) != CODEC_OK)
        return CODEC_ERR_SIZE;
    s->tag = kStateTag;
    s->width = header->width = int32_t(d.width);
    s->height = header->height = int32_t(d.height);
    s->bpp = header->bpp = bpp;
    s->dataOffset = in->Tell() - 1;
    s->interlaced = (d.flags & 0x40) != 0;
    s->errok = opts.Flag("errok");
    return CODEC_OK;
}

// The palette and data readers work only on the header their header reader filled in.
int CheckState(const ImageHeader* header, const GifState* s)
{
    if (s->tag != kStateTag)
        return CODEC_ERR_ARGUMENT;
    if (header->bpp != s->bpp)
        return GIF_ERR_BPP;
    if (header->width != s->width || header->height != s->height)
        return CODEC_ERR_SIZE;
    return CODEC_OK;
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const GifState* s = codec_private<GifState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    int colours = 1 << s->bpp;
    if (s->tableEntries == 0) {
        for (int i = 0; i < colours; ++i)
            palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
        return CODEC_OK;
    }
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char table[256 * 3];
    size_t bytes = size_t(s->tableEntries) * 3;
    if (s->tableEntries > colours || !in->Seek(s->tableOffset) || !in->ReadExact(table, bytes))
        return CODEC_ERR_READ;
    for (int i = 0; i < colours; ++i)
        palette[i] = i < s->tableEntries ? PaletteEntry{table[3 * i], table[3 * i + 1], table[3 * i + 2]}
                                         : PaletteEntry{0, 0, 0};
    return CODEC_OK;
}

// ---- reading: LZW image data ----

// The image data's sub-blocks as one bit stream, least significant bit first.
class DataBlocks
{
public:
    explicit DataBlocks(CodecReader& in) : m_in(in) {}

    // False at the end of the data; then Status() says whether it was the zero-length block.
    bool Code(int bits, unsigned* code)
    {
        while (m_count < bits) {
            if (m_pos == m_len && !NextBlock())
                return false;
            m_acc |= uint32_t(m_block[m_pos++]) << m_count;
            m_count += 8;
        }
        *code = m_acc & ((1u << bits) - 1);
        m_acc >>= bits;
        m_count -= bits;
        return true;
    }
    int Status() const { return m_status; }

private:
    bool NextBlock()
    {
        if (m_status != CODEC_OK)
            return false;
        int length = m_in.Byte();
        if (length < 0 || !m_in.ReadExact(m_block, size_t(length))) {
            m_status = CODEC_ERR_READ;
            return false;
        }
        if (length == 0) {
            m_status = GIF_ERR_CORRUPT;
            return false;
        }
        m_pos = 0;
        m_len = size_t(length);
        return true;
    }

    CodecReader& m_in;
    unsigned char m_block[255];
    size_t m_pos = 0, m_len = 0;
    uint32_t m_acc = 0;
    int m_count = 0;
    int m_status = CODEC_OK;
};

// Rows of the picture in the order the image data holds them; completed rows go into the
// caller's bottom-up buffer, packed to its depth.
class RowSink
{
public:
    RowSink(const GifState& s, unsigned char* data, unsigned char* rowBuffer)
        : m_width(size_t(s.width)), m_height(s.height), m_bpp(s.bpp), m_stride(codec_stride(s.width, s.bpp)),
          m_packed((m_width * size_t(s.bpp) + 7) / 8), m_data(data), m_buffer(rowBuffer),
          m_interlaced(s.interlaced != 0)
    {
        m_row = RowStart(0);
    }

    bool Done() const { return m_rowsDone == m_height; }

    // Appends pixels; false once the picture is full (the rest is ignored).
    bool Put(const uint8_t* pixels, size_t count)
    {
        while (count > 0) {
            size_t n = m_width - m_x;
            if (n > count)
                n = count;
            std::memcpy(m_row + m_x, pixels, n);
            m_x += n;
            pixels += n;
            count -= n;
            if (m_x == m_width && !EndRow())
                return false;
        }
        return true;
    }
    // Room left in the current row, and where it starts: strings that fit are written in place.
    size_t Room() const { return m_width - m_x; }
    uint8_t* Cursor() { return m_row + m_x; }
    bool Advance(size_t count)
    {
        m_x += count;
        return m_x < m_width || EndRow();
    }

    // After an accepted error: what was decoded stays, every pixel not reached is index 0.
    void FillRemaining()
    {
        if (Done())
            return;
        std::memset(m_row + m_x, 0, m_width - m_x);
        if (!EndRow())
            return;
        do
            std::memset(Destination(m_y), 0, m_stride);
        while (++m_rowsDone < m_height && NextY());
        m_rowsDone = m_height;
    }

private:
    unsigned char* Destination(int32_t y) { return m_data + size_t(m_height - 1 - y) * m_stride; }
    // 8-bit rows are decoded straight into the picture; 1- and 4-bit rows are packed afterwards.
    uint8_t* RowStart(int32_t y) { return m_bpp == 8 ? Destination(y) : m_buffer; }

    bool EndRow()
    {
        unsigned char* dst = Destination(m_y);
        if (m_bpp != 8)
            Pack(dst);
        std::memset(dst + m_packed, 0, m_stride - m_packed);
        if (++m_rowsDone == m_height || !NextY()) {
            m_rowsDone = m_height;
            return false;
        }
        m_x = 0;
        m_row = RowStart(m_y);
        return true;
    }

    void Pack(unsigned char* dst) const
    {
        const uint8_t* src = m_buffer;
        if (m_bpp == 4) {
            size_t x = 0;
            for (; x + 1 < m_width; x += 2)
                *dst++ = uint8_t((src[x] << 4) | src[x + 1]);
            if (x < m_width)
                *dst = uint8_t(src[x] << 4);
            return;
        }
        size_t x = 0;
        for (; x + 8 <= m_width; x += 8, src += 8)
            *dst++ = uint8_t((src[0] << 7) | (src[1] << 6) | (src[2] << 5) | (src[3] << 4) | (src[4] << 3) |
                             (src[5] << 2) | (src[6] << 1) | src[7]);
        if (x < m_width) {
            unsigned byte = 0;
            for (size_t b = 0; b < 8; ++b)
                byte = (byte << 1) | (x + b < m_width ? src[b] : 0);
            *dst = uint8_t(byte);
        }
    }

    // Interlaced images come in four passes: every 8th row from 0, every 8th from 4, every 4th
    // from 2, every 2nd from 1. False past the last row (the passes cover each row once, so only
    // a fault would get there).
    bool NextY()
    {
        static const int32_t start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
        if (!m_interlaced)
            return ++m_y < m_height;
        m_y += step[m_pass];
        while (m_y >= m_height && m_pass < 3)
            m_y = start[++m_pass];
        return m_y < m_height;
    }

    size_t m_width;
    int32_t m_height;
    int m_bpp;
    size_t m_stride;
    size_t m_packed;  // bytes of pixels in a row, before the padding
    unsigned char* m_data;
    uint8_t* m_buffer;
    bool m_interlaced;
    int32_t m_y = 0, m_rowsDone = 0;
    int m_pass = 0;
    size_t m_x = 0;
    uint8_t* m_row = nullptr;
};

// The decoder's string table: each code is its prefix code plus one pixel.
struct LzwTable {
    uint16_t prefix[kMaxCodes];
    uint16_t length[kMaxCodes];
    uint8_t suffix[kMaxCodes];
    uint8_t first[kMaxCodes];
    uint8_t strings[kMaxCodes];  // a string that does not fit the current row
};

// Writes the string of `code` (length[code] pixels) backwards from its end: no recursion.
inline void SpellString(const LzwTable& t, unsigned code, uint8_t* out)
{
    uint8_t* p = out + t.length[code];
    do {
        *--p = t.suffix[code];
        code = t.prefix[code];
    } while (p != out);
}

int DecodeLzw(DataBlocks& blocks, int minCodeSize, int bpp, LzwTable& t, RowSink& sink)
{
    const unsigned clear = 1u << minCodeSize, end = clear + 1;
    const unsigned pixelLimit = 1u << bpp;
    for (unsigned i = 0; i < clear; ++i) {
        t.suffix[i] = t.first[i] = uint8_t(i < pixelLimit ? i : 0);
        t.length[i] = 1;
        t.prefix[i] = 0;
    }
    int codeSize = minCodeSize + 1;
    unsigned next = clear + 2, previous = kMaxCodes;  // kMaxCodes: no previous code since a clear
    unsigned code;
    while (blocks.Code(codeSize, &code)) {
        if (code == clear) {
            codeSize = minCodeSize + 1;
            next = clear + 2;
            previous = kMaxCodes;
            continue;
        }
        if (code == end)
            return GIF_ERR_CORRUPT;  // the picture is not full yet
        if (previous == kMaxCodes) {
            if (code >= clear)
                return GIF_ERR_CORRUPT;
        } else if (code > next) {
            return GIF_ERR_CORRUPT;
        } else if (next < kMaxCodes) {
            // A full table stays as it is until a clear code comes.
            t.prefix[next] = uint16_t(previous);
            t.suffix[next] = code == next ? t.first[previous] : t.first[code];
            t.first[next] = t.first[previous];
            t.length[next] = uint16_t(t.length[previous] + 1);
            if (++next == (1u << codeSize) && codeSize < kMaxCodeBits)
                ++codeSize;
        }
        previous = code;
        size_t length = t.length[code];
        if (length <= sink.Room()) {
            SpellString(t, code, sink.Cursor());
            if (!sink.Advance(length))
                return CODEC_OK;
        } else {
            SpellString(t, code, t.strings);
            if (!sink.Put(t.strings, length))
                return CODEC_OK;
        }
    }
    return blocks.Status();
}

struct Decoder {
    explicit Decoder(int fd) : in(fd) {}
    CodecReader in;
    LzwTable table;
};

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const GifState* s = codec_private<GifState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<Decoder> dec(new (std::nothrow) Decoder(fd));
    std::unique_ptr<uint8_t[]> rowBuffer(new (std::nothrow) uint8_t[size_t(s->width)]);
    if (!dec || !rowBuffer)
        return CODEC_ERR_MEMORY;
    if (!dec->in.Seek(s->dataOffset))
        return CODEC_ERR_READ;
    int minCodeSize = dec->in.Byte();
    if (minCodeSize < 0)
        return CODEC_ERR_READ;
    if (minCodeSize < 2 || minCodeSize > 9)
        return GIF_ERR_CODE_SIZE;

    RowSink sink(*s, data, rowBuffer.get());
    DataBlocks blocks(dec->in);
    rc = DecodeLzw(blocks, minCodeSize, s->bpp, dec->table, sink);
    if (sink.Done())
        return CODEC_OK;
    if (rc == CODEC_OK)
        rc = GIF_ERR_CORRUPT;
    if (!s->errok)
        return rc;
    sink.FillRemaining();
    return CODEC_OK;
}

// ---- writing ----

struct WriteSettings {
    unsigned screenWidth, screenHeight, left, top, background;
    int transparent;  // -1: none
    bool interlaced;
};

// A numeric option within [low, high]; absent leaves the default.
bool RangeOption(const CodecOptions& opts, const char* name, long low, long high, unsigned* value)
{
    if (opts.Text(name) == nullptr)
        return true;
    long v = 0;
    if (!opts.Number(name, &v) || v < low || v > high)
        return false;
    *value = unsigned(v);
    return true;
}

int FirstPixel(const ImageHeader* header, const unsigned char* data)
{
    return header->bpp == 8 ? data[0] : header->bpp == 4 ? data[0] >> 4 : data[0] >> 7;
}

int ReadWriteSettings(const char* options, const ImageHeader* header, const unsigned char* data,
                      WriteSettings& w)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    const long maxIndex = (1L << header->bpp) - 1;
    w = WriteSettings{unsigned(header->width), unsigned(header->height), 0, 0, 0, -1, opts.Flag("ilace")};
    if (!RangeOption(opts, "xscreen=", 1, 65535, &w.screenWidth) ||
        !RangeOption(opts, "yscreen=", 1, 65535, &w.screenHeight) ||
        !RangeOption(opts, "xpos=", 0, 65535, &w.left) || !RangeOption(opts, "ypos=", 0, 65535, &w.top) ||
        !RangeOption(opts, "background=", 0, maxIndex, &w.background))
        return CODEC_ERR_OPTIONS;
    if (const char* t = opts.Text("transcol=")) {
        unsigned index = 0;
        if (codec_equal_nocase(t, "edge"))
            w.transparent = FirstPixel(header, data);
        else if (RangeOption(opts, "transcol=", 0, maxIndex, &index))
            w.transparent = int(index);
        else
            return CODEC_ERR_OPTIONS;
    }
    return CODEC_OK;
}

// The global colour table has 2^bpp entries; the colour resolution says bpp too.
void WriteLogicalScreen(CodecWriter& out, int bpp, const PaletteEntry* palette, const WriteSettings& w)
{
    out.Write(w.transparent >= 0 ? "GIF89a" : "GIF87a", 6);
    out.U16le(w.screenWidth);
    out.U16le(w.screenHeight);
    out.Byte(0x80 | unsigned(bpp - 1) * 0x11);
    out.Byte(w.background);
    out.Byte(0);  // pixel aspect ratio: none given
    for (int i = 0; i < (1 << bpp); ++i) {
        const unsigned char rgb[3] = {palette[i].red, palette[i].green, palette[i].blue};
        out.Write(rgb, 3);
    }
}

void WriteGraphicControlExtension(CodecWriter& out, int transparent)
{
    const unsigned char block[8] = {kExtensionIntroducer, kGraphicControlLabel, 4, 1 /* transparent colour */,
                                    0, 0 /* delay */, uint8_t(transparent), 0};
    out.Write(block, sizeof(block));
}

void WriteImageDescriptor(CodecWriter& out, const ImageHeader* header, const WriteSettings& w)
{
    out.Byte(kImageSeparator);
    out.U16le(w.left);
    out.U16le(w.top);
    out.U16le(unsigned(header->width));
    out.U16le(unsigned(header->height));
    out.Byte(w.interlaced ? 0x40 : 0);
}

// LZW codes into 255-byte data sub-blocks.
class CodePacker
{
public:
    explicit CodePacker(CodecWriter& out) : m_out(out) {}
    void Put(unsigned code, int bits)
    {
        m_acc |= uint32_t(code) << m_count;
        m_count += bits;
        while (m_count >= 8) {
            m_block[m_len++] = uint8_t(m_acc);
            m_acc >>= 8;
            m_count -= 8;
            if (m_len == 255)
                FlushBlock();
        }
    }
    void Finish()
    {
        if (m_count > 0)
            m_block[m_len++] = uint8_t(m_acc);
        m_acc = 0;
        m_count = 0;
        if (m_len > 0)
            FlushBlock();
        m_out.Byte(0);
    }

private:
    void FlushBlock()
    {
        m_out.Byte(unsigned(m_len));
        m_out.Write(m_block, m_len);
        m_len = 0;
    }
    CodecWriter& m_out;
    uint32_t m_acc = 0;
    int m_count = 0;
    size_t m_len = 0;
    uint8_t m_block[255];
};

// The encoder's dictionary: (prefix code, pixel) -> code, open addressing over twice the codes.
struct LzwDictionary {
    enum { kSlots = 8192 };
    uint32_t key[kSlots];
    uint16_t code[kSlots];  // 0: empty (real entries are above the end code)

    void Clear() { std::memset(code, 0, sizeof(code)); }
    // The slot holding k, or the empty slot where it would go.
    unsigned Find(uint32_t k) const
    {
        unsigned slot = (k * 2654435761u) >> 19;
        while (code[slot] != 0 && key[slot] != k)
            slot = (slot + 1) & (kSlots - 1);
        return slot;
    }
};

class LzwEncoder
{
public:
    LzwEncoder(LzwDictionary& dict, CodePacker& packer, int minCodeSize)
        : m_dict(dict), m_packer(packer), m_minCodeSize(minCodeSize), m_clear(1u << minCodeSize)
    {
        m_packer.Put(m_clear, minCodeSize + 1);
        Reset();
    }

    void Pixels(const uint8_t* p, size_t count)
    {
        size_t i = 0;
        if (!m_started && count > 0) {
            m_prefix = p[i++];
            m_started = true;
        }
        unsigned prefix = m_prefix;
        for (; i < count; ++i) {
            const uint32_t k = (uint32_t(prefix) << 8) | p[i];
            const unsigned slot = m_dict.Find(k);
            if (m_dict.code[slot] != 0) {
                prefix = m_dict.code[slot];
                continue;
            }
            m_packer.Put(prefix, m_codeSize);
            m_dict.key[slot] = k;
            m_dict.code[slot] = uint16_t(m_next);
            Grow();
            if (m_next == kMaxCodes) {
                // Full table: start over rather than code on with a frozen one.
                m_packer.Put(m_clear, m_codeSize);
                Reset();
            }
            prefix = p[i];
        }
        m_prefix = prefix;
    }

    void Finish()
    {
        if (m_started) {
            m_packer.Put(m_prefix, m_codeSize);
            // The decoder adds an entry for this code too; the end code must follow its width.
            Grow();
        }
        m_packer.Put(m_clear + 1, m_codeSize);
        m_packer.Finish();
    }

private:
    // The decoder reads each code one table entry behind the encoder: widen once the next
    // code would not fit the decoder's width.
    void Grow()
    {
        if (++m_next > (1u << m_codeSize) && m_codeSize < kMaxCodeBits)
            ++m_codeSize;
    }
    void Reset()
    {
        m_dict.Clear();
        m_codeSize = m_minCodeSize + 1;
        m_next = m_clear + 2;
    }

    LzwDictionary& m_dict;
    CodePacker& m_packer;
    int m_minCodeSize;
    unsigned m_clear;
    int m_codeSize = 0;
    unsigned m_next = 0;
    unsigned m_prefix = 0;
    bool m_started = false;
};

// One picture row, top row first, as one index byte per pixel.
void UnpackRow(const unsigned char* src, int bpp, size_t width, uint8_t* out)
{
    if (bpp == 8) {
        std::memcpy(out, src, width);
    } else if (bpp == 4) {
        for (size_t x = 0; x < width; ++x)
            out[x] = uint8_t(x & 1 ? src[x >> 1] & 0x0F : src[x >> 1] >> 4);
    } else {
        for (size_t x = 0; x < width; ++x)
            out[x] = uint8_t((src[x >> 3] >> (7 - (x & 7))) & 1);
    }
}

struct Encoder {
    explicit Encoder(int fd) : out(fd) {}
    CodecWriter out;
    LzwDictionary dict;
};

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    const int bpp = header->bpp;
    if (bpp != 1 && bpp != 4 && bpp != 8)
        return CODEC_ERR_BPP;
    WriteSettings w;
    int rc = ReadWriteSettings(options, header, data, w);
    if (rc != CODEC_OK)
        return rc;
    const size_t width = size_t(header->width), stride = codec_stride(header->width, bpp);
    const int32_t height = header->height;
    std::unique_ptr<Encoder> enc(new (std::nothrow) Encoder(fd));
    std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[width]);
    if (!enc || !row)
        return CODEC_ERR_MEMORY;

    WriteLogicalScreen(enc->out, bpp, palette, w);
    if (w.transparent >= 0)
        WriteGraphicControlExtension(enc->out, w.transparent);
    WriteImageDescriptor(enc->out, header, w);
    const int minCodeSize = bpp == 1 ? 2 : bpp;
    enc->out.Byte(unsigned(minCodeSize));
    CodePacker packer(enc->out);
    LzwEncoder lzw(enc->dict, packer, minCodeSize);
    static const int32_t start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = w.interlaced ? 0 : 3; pass < 4; ++pass) {
        const int32_t first = w.interlaced ? start[pass] : 0, by = w.interlaced ? step[pass] : 1;
        for (int32_t y = first; y < height && !enc->out.Failed(); y += by) {
            UnpackRow(data + size_t(height - 1 - y) * stride, bpp, width, row.get());
            lzw.Pixels(row.get(), width);
        }
    }
    lzw.Finish();
    enc->out.Byte(kTrailer);
    return enc->out.Finish();
}

int Query(FormatInfo* info)
{
    return codec_query_format(CODEC_FORMAT_GIF, info);
}

// The texts live in the format table.
const char* ErrorText(int code)
{
    return codec_error_text(CODEC_FORMAT_GIF, code);
}

} // namespace

const CodecFormat codec_gif_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
