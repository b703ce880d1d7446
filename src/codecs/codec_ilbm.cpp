// ILBM: the Amiga IFF interleaved bitmap.
//
// File layout (all numbers big-endian): "FORM", u32 size, "ILBM", then chunks of 4-byte id,
// u32 size and data, each padded to an even length. Chunks used:
//   BMHD  20 bytes: u16 w, h; i16 x, y; u8 nPlanes, masking (1: an extra mask plane follows the
//         image planes of every row; 2: transparent colour; 3: lasso), compression (0 none,
//         1 ByteRun1), pad; u16 transparentColor; u8 xAspect, yAspect; i16 pageWidth, pageHeight
//   CMAP  red, green, blue bytes per colour register
//   CAMG  u32 viewport modes: 0x800 hold-and-modify (HAM), 0x80 extra-halfbrite (EHB)
//   SHAM  u16 version 0, then per line 16 registers as u16 0x0RGB (sliced HAM)
//   BODY  rows top first; each row holds its planes in turn, plane 0 (least significant bit)
//         first, each ((w + 15) / 16) * 2 bytes, leftmost pixel in the top bit; ByteRun1
//         compresses byte streams with a signed control byte n: 0..127 copy n + 1 bytes,
//         -1..-127 repeat the next byte 1 - n times, -128 nothing.
// Other chunks are skipped.
//
// Pictures read as: 1 plane → 1 bit, 2..4 planes → 4 bits, 5..8 planes → 8 bits (palette from
// CMAP, missing registers black, a grey ramp without CMAP); EHB (6 planes) → 8 bits, registers
// 32..63 being 0..31 at half brightness; HAM with 3..8 planes, 24 planes (red planes 0..7, green
// 8..15, blue 16..23) and SHAM pictures → 24 bits. A HAM line starts from colour register 0, as
// the display hardware does; a modify replaces the top (planes - 2) bits of one channel.
// CMAP is refused (906) when it holds no whole register or more than 256; extra bytes after the
// last whole register are ignored.
//
// Write options:
//   xpos=, ypos=          BMHD x, y (-32768..32767, default 0)
//   xaspect=, yaspect=    pixel aspect (0..255, default 1:1)
//   xscreen=, yscreen=    page size (1..65535, default the picture's size)
//   transcol=N            transparent colour register (masking 2); 0..2^planes - 1
//   ham6                  HAM6 instead of 24 planes (palette pictures are expanded first)
// Written: BMHD, CMAP below 24 planes, CAMG for HAM6, BODY compressed with ByteRun1 per plane row.
#include <cstdio>
#include <memory>
#include <vector>

#include "codecs/codec_internal.h"

namespace {

enum {
    ILBM_ERR_NO_FORM = 900,
    ILBM_ERR_NO_ILBM = 901,
    ILBM_ERR_MULTIPLE_BMHD = 902,
    ILBM_ERR_NO_BMHD = 903,
    ILBM_ERR_BMHD_SIZE = 904,
    ILBM_ERR_BPP = 905,
    ILBM_ERR_CMAP_SIZE = 906,
    ILBM_ERR_COMPRESSION = 907,
    ILBM_ERR_CAMG_SIZE = 908,
    ILBM_ERR_SHAM_VERSION = 909
};

constexpr int kFormatIlbm = 5;
constexpr uint32_t kStateTag = 0x494C4231;  // "ILB1": the header reader has run
constexpr uint32_t kCamgHam = 0x800, kCamgEhb = 0x80;
constexpr int kBmhdSize = 20;
constexpr int kMaskHasMask = 1, kMaskHasTransparentColor = 2;
constexpr int kShamColours = 16;

enum Mode : int32_t { kIndexed, kHalfbrite, kHam, kTrueColour };

struct IlbmState {
    uint32_t tag;
    int32_t width, height, bpp;
    int32_t planes;       // image planes in BODY
    int32_t maskPlane;    // 1 when a mask plane follows them
    int32_t compression;  // 0 or 1
    int32_t mode;
    long cmapOffset;      // 0 without CMAP
    int32_t cmapEntries;
    long bodyOffset;
    uint32_t bodySize;
    long shamOffset;      // first line palette; 0 without SHAM
    int32_t shamLines;
};

constexpr uint32_t Id(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

size_t PlaneRowBytes(int32_t width)
{
    return ((size_t(width) + 15) / 16) * 2;
}

// ---- reading: chunks ----

struct Chunks {
    bool bmhd = false;
    unsigned char bmhdData[kBmhdSize] = {};
    long cmapOffset = 0;
    uint32_t cmapSize = 0;
    bool camg = false;
    uint32_t camgModes = 0;
    long shamOffset = 0;
    uint32_t shamSize = 0;
    long bodyOffset = 0;
    uint32_t bodySize = 0;
    bool body = false;
};

int ReadFormHeader(CodecReader& in, long* formEnd)
{
    unsigned char b[12];
    size_t got = in.Read(b, sizeof(b));
    if (std::memcmp(b, "FORM", got < 4 ? got : 4) != 0)
        return ILBM_ERR_NO_FORM;
    if (got < 12)
        return CODEC_ERR_READ;
    if (std::memcmp(b + 8, "ILBM", 4) != 0)
        return ILBM_ERR_NO_ILBM;
    uint32_t size = (uint32_t(b[4]) << 24) | (uint32_t(b[5]) << 16) | (uint32_t(b[6]) << 8) | b[7];
    *formEnd = 8 + long(size > 0x7FFFFFF0u ? 0x7FFFFFF0u : size);
    return CODEC_OK;
}

// One chunk the header reader keeps: its contents or where they are.
int ReadChunk(CodecReader& in, uint32_t id, uint32_t size, long dataOffset, Chunks& c)
{
    switch (id) {
    case Id("BMHD"):
        if (c.bmhd)
            return ILBM_ERR_MULTIPLE_BMHD;
        if (size != kBmhdSize)
            return ILBM_ERR_BMHD_SIZE;
        if (!in.ReadExact(c.bmhdData, kBmhdSize))
            return CODEC_ERR_READ;
        c.bmhd = true;
        return CODEC_OK;
    case Id("CMAP"):
        if (size < 3 || size / 3 > 256)
            return ILBM_ERR_CMAP_SIZE;
        c.cmapOffset = dataOffset;
        c.cmapSize = size;
        return CODEC_OK;
    case Id("CAMG"): {
        uint32_t modes = 0;
        if (size != 4)
            return ILBM_ERR_CAMG_SIZE;
        if (!in.U32be(&modes))
            return CODEC_ERR_READ;
        c.camg = true;
        c.camgModes = modes;
        return CODEC_OK;
    }
    case Id("SHAM"): {
        uint16_t version = 0;
        if (size < 2 || !in.U16be(&version))
            return CODEC_ERR_READ;
        if (version != 0)
            return ILBM_ERR_SHAM_VERSION;
        c.shamOffset = dataOffset + 2;
        c.shamSize = size - 2;
        return CODEC_OK;
    }
    case Id("BODY"):
        if (!c.bmhd)
            return ILBM_ERR_NO_BMHD;
        c.body = true;
        c.bodyOffset = dataOffset;
        c.bodySize = size;
        return CODEC_OK;
    default:
        return CODEC_OK;
    }
}

// Walks the chunks of the FORM up to its end (or the end of the file).
int ReadChunks(CodecReader& in, long formEnd, Chunks& c)
{
    long pos = 12;
    while (pos + 8 <= formEnd) {
        unsigned char head[8];
        if (!in.Seek(pos) || !in.ReadExact(head, sizeof(head)))
            break;
        uint32_t id = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
        uint32_t size = (uint32_t(head[4]) << 24) | (uint32_t(head[5]) << 16) | (uint32_t(head[6]) << 8) | head[7];
        int rc = ReadChunk(in, id, size, pos + 8, c);
        if (rc != CODEC_OK)
            return rc;
        long next = pos + 8 + long(size) + long(size & 1);
        if (size > 0x7FFFFFF0u || next > formEnd)
            break;
        pos = next;
    }
    if (!c.bmhd)
        return ILBM_ERR_NO_BMHD;
    if (!c.body)
        return CODEC_ERR_READ;
    return CODEC_OK;
}

// The picture's kind and depth from BMHD, CAMG and SHAM.
int ClassifyPlanes(const Chunks& c, int planes, IlbmState& s)
{
    bool ham = c.camg && (c.camgModes & kCamgHam) != 0;
    bool ehb = c.camg && (c.camgModes & kCamgEhb) != 0;
    if (planes == 24 && !ham) {
        s.mode = kTrueColour;
        s.bpp = 24;
    } else if (ham) {
        if (planes < 3 || planes > 8)
            return ILBM_ERR_BPP;
        s.mode = kHam;
        s.bpp = 24;
    } else if (planes < 1 || planes > 8) {
        return ILBM_ERR_BPP;
    } else if (ehb && planes == 6) {
        s.mode = kHalfbrite;
        s.bpp = 8;
    } else {
        s.mode = kIndexed;
        s.bpp = planes == 1 ? 1 : planes <= 4 ? 4 : 8;
    }
    // Line palettes turn any picture of up to 8 planes into true colour.
    if (c.shamOffset != 0 && c.shamSize >= kShamColours * 2 && s.mode != kTrueColour)
        s.bpp = 24;
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char*)
{
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    long formEnd = 0;
    int rc = ReadFormHeader(*in, &formEnd);
    if (rc != CODEC_OK)
        return rc;
    Chunks c;
    rc = ReadChunks(*in, formEnd, c);
    if (rc != CODEC_OK)
        return rc;

    const unsigned char* b = c.bmhdData;
    int32_t width = int32_t(codec_be16(b)), height = int32_t(codec_be16(b + 2));
    int planes = b[8], masking = b[9], compression = b[10];
    IlbmState s{};
    rc = ClassifyPlanes(c, planes, s);
    if (rc != CODEC_OK)
        return rc;
    if (compression > 1)
        return ILBM_ERR_COMPRESSION;
    if (codec_check_size(width, height, s.bpp) != CODEC_OK)
        return CODEC_ERR_SIZE;
    s.tag = kStateTag;
    s.width = width;
    s.height = height;
    s.planes = planes;
    s.maskPlane = masking == kMaskHasMask ? 1 : 0;
    s.compression = compression;
    s.cmapOffset = c.cmapOffset;
    s.cmapEntries = int32_t(c.cmapSize / 3);
    s.bodyOffset = c.bodyOffset;
    s.bodySize = c.bodySize;
    if (s.bpp == 24 && s.mode != kTrueColour && c.shamOffset != 0 && c.shamSize >= kShamColours * 2) {
        s.shamOffset = c.shamOffset;
        s.shamLines = int32_t(c.shamSize / (kShamColours * 2));
    }
    *codec_private<IlbmState>(header) = s;
    header->width = width;
    header->height = height;
    header->bpp = s.bpp;
    return CODEC_OK;
}

int CheckState(const ImageHeader* header, const IlbmState* s)
{
    return codec_check_state(header, s, kStateTag);
}

// ---- reading: colour registers ----

// The registers the pixels index: CMAP (missing ones black) or a grey ramp without it, with the
// halfbrite half added for EHB.
int ReadColourRegisters(CodecReader& in, const IlbmState& s, PaletteEntry* regs, int count)
{
    int planes = s.mode == kHam ? s.planes - 2 : s.mode == kHalfbrite ? 5 : s.planes;
    int stored = 1 << planes;
    if (s.cmapOffset == 0) {
        for (int i = 0; i < stored; ++i) {
            uint8_t v = uint8_t((i * 255 + (stored - 1) / 2) / (stored - 1));
            regs[i] = PaletteEntry{v, v, v};
        }
    } else {
        unsigned char cmap[256 * 3];
        int entries = s.cmapEntries < stored ? s.cmapEntries : stored;
        if (!in.Seek(s.cmapOffset) || !in.ReadExact(cmap, size_t(entries) * 3))
            return CODEC_ERR_READ;
        for (int i = 0; i < stored; ++i)
            regs[i] = i < entries ? PaletteEntry{cmap[3 * i], cmap[3 * i + 1], cmap[3 * i + 2]} : PaletteEntry{0, 0, 0};
    }
    if (s.mode == kHalfbrite)
        for (int i = 0; i < 32; ++i)
            regs[32 + i] = PaletteEntry{uint8_t(regs[i].red >> 1), uint8_t(regs[i].green >> 1), uint8_t(regs[i].blue >> 1)};
    int used = s.mode == kHalfbrite ? 64 : stored;
    for (int i = used; i < count; ++i)
        regs[i] = PaletteEntry{0, 0, 0};
    return CODEC_OK;
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const IlbmState* s = codec_private<IlbmState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK || s->bpp == 24)
        return rc;
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    return ReadColourRegisters(*in, *s, palette, 1 << s->bpp);
}

// ---- reading: BODY ----

// BODY bytes, raw or through ByteRun1; a run may carry on into the next row.
class BodyStream
{
public:
    BodyStream(CodecReader& in, uint32_t size, bool compressed) : m_in(in), m_left(size), m_compressed(compressed) {}

    bool Read(unsigned char* out, size_t count)
    {
        if (!m_compressed)
            return Raw(out, count);
        while (count > 0) {
            if (m_literal == 0 && m_repeat == 0 && !Control())
                return false;
            if (m_literal > 0) {
                size_t n = m_literal < count ? m_literal : count;
                if (!Raw(out, n))
                    return false;
                m_literal -= n;
                out += n;
                count -= n;
            } else {
                size_t n = m_repeat < count ? m_repeat : count;
                std::memset(out, m_value, n);
                m_repeat -= n;
                out += n;
                count -= n;
            }
        }
        return true;
    }

private:
    bool Raw(unsigned char* out, size_t count)
    {
        if (count > m_left || !m_in.ReadExact(out, count))
            return false;
        m_left -= uint32_t(count);
        return true;
    }
    bool Control()
    {
        unsigned char n = 0;
        do {
            if (!Raw(&n, 1))
                return false;
        } while (n == 0x80);
        if (n < 0x80) {
            m_literal = size_t(n) + 1;
            return true;
        }
        unsigned char v = 0;
        if (!Raw(&v, 1))
            return false;
        m_value = v;
        m_repeat = 257 - size_t(n);
        return true;
    }

    CodecReader& m_in;
    uint32_t m_left;
    bool m_compressed;
    size_t m_literal = 0, m_repeat = 0;
    unsigned char m_value = 0;
};

// Byte k of an entry holds bit 7 - k of the index: the eight pixels one plane byte covers.
struct PlaneSpread {
    uint64_t bits[256] = {};
    constexpr PlaneSpread()
    {
        for (unsigned b = 0; b < 256; ++b) {
            uint64_t v = 0;
            for (unsigned k = 0; k < 8; ++k)
                v |= uint64_t((b >> (7 - k)) & 1) << (8 * k);
            bits[b] = v;
        }
    }
};
constexpr PlaneSpread kSpread;

inline uint64_t Load64(const unsigned char* p)
{
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k)
        v |= uint64_t(p[k]) << (8 * k);
    return v;
}

inline void Store64(unsigned char* p, uint64_t v)
{
    for (int k = 0; k < 8; ++k)
        p[k] = uint8_t(v >> (8 * k));
}

// Planes (rowBytes each, plane 0 first) to one byte per pixel; chunky holds rowBytes * 8 bytes.
void PlanesToChunky(const unsigned char* planes, size_t rowBytes, int count,
                    unsigned char* chunky)
{
    for (size_t i = 0; i < rowBytes; ++i) {
        uint64_t v = 0;
        for (int p = 0; p < count; ++p)
            v |= kSpread.bits[planes[size_t(p) * rowBytes + i]] << p;
        Store64(chunky + 8 * i, v);
    }
}

void PackIndices(const unsigned char* chunky, int32_t width, int bpp, unsigned char* out)
{
    if (bpp == 8) {
        std::memcpy(out, chunky, size_t(width));
    } else if (bpp == 4) {
        for (int32_t x = 0; x + 1 < width; x += 2)
            out[x / 2] = uint8_t((chunky[x] << 4) | (chunky[x + 1] & 0x0F));
        if (width & 1)
            out[width / 2] = uint8_t(chunky[width - 1] << 4);
    } else {
        std::memset(out, 0, (size_t(width) + 7) / 8);
        for (int32_t x = 0; x < width; ++x)
            out[x / 8] |= uint8_t((chunky[x] & 1) << (7 - x % 8));
    }
}

// Hold-and-modify: the top two planes pick a register or the channel the rest replaces.
void DecodeHam(const unsigned char* chunky, int32_t width, int planes, const PaletteEntry* regs, unsigned char* bgr)
{
    int valueBits = planes - 2, shift = 8 - valueBits;
    unsigned valueMask = (1u << valueBits) - 1, keep = (1u << shift) - 1;
    unsigned r = regs[0].red, g = regs[0].green, b = regs[0].blue;
    for (int32_t x = 0; x < width; ++x) {
        unsigned v = chunky[x] & valueMask;
        switch (chunky[x] >> valueBits) {
        case 0: r = regs[v].red; g = regs[v].green; b = regs[v].blue; break;
        case 1: b = (v << shift) | (b & keep); break;
        case 2: r = (v << shift) | (r & keep); break;
        default: g = (v << shift) | (g & keep); break;
        }
        bgr[3 * x] = uint8_t(b);
        bgr[3 * x + 1] = uint8_t(g);
        bgr[3 * x + 2] = uint8_t(r);
    }
}

void IndicesToBgr(const unsigned char* chunky, int32_t width, const PaletteEntry* regs, unsigned char* bgr)
{
    for (int32_t x = 0; x < width; ++x) {
        const PaletteEntry& c = regs[chunky[x]];
        bgr[3 * x] = c.blue;
        bgr[3 * x + 1] = c.green;
        bgr[3 * x + 2] = c.red;
    }
}

// Line y's registers 0..15 from the SHAM chunk (0x0RGB words).
int ReadShamLine(CodecReader& in, const IlbmState& s, int32_t y, long* at, PaletteEntry* regs)
{
    int32_t line = s.shamLines >= s.height ? y : int32_t(int64_t(y) * s.shamLines / s.height);
    long offset = s.shamOffset + long(line) * kShamColours * 2;
    if (offset == *at)
        return CODEC_OK;
    unsigned char words[kShamColours * 2];
    if (!in.Seek(offset) || !in.ReadExact(words, sizeof(words)))
        return CODEC_ERR_READ;
    for (int i = 0; i < kShamColours; ++i) {
        unsigned w = codec_be16(words + 2 * i);
        regs[i] = PaletteEntry{uint8_t(((w >> 8) & 15) * 17), uint8_t(((w >> 4) & 15) * 17), uint8_t((w & 15) * 17)};
    }
    *at = offset;
    return CODEC_OK;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const IlbmState* st = codec_private<IlbmState>(header);
    int rc = CheckState(header, st);
    if (rc != CODEC_OK)
        return rc;
    const IlbmState s = *st;
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    PaletteEntry regs[256];
    if (s.mode != kTrueColour && s.bpp == 24 && (rc = ReadColourRegisters(*in, s, regs, 256)) != CODEC_OK)
        return rc;
    // SHAM line palettes are read up front: BODY is read in one pass.
    bool sham = s.shamOffset != 0;
    std::vector<PaletteEntry> lines;
    if (sham) {
        if (!codec_allocate(lines, size_t(s.height) * kShamColours))
            return CODEC_ERR_MEMORY;
        long at = -1;
        PaletteEntry line[kShamColours];
        for (int32_t y = 0; y < s.height; ++y) {
            if ((rc = ReadShamLine(*in, s, y, &at, line)) != CODEC_OK)
                return rc;
            std::memcpy(&lines[size_t(y) * kShamColours], line, sizeof(line));
        }
    }

    size_t rowBytes = PlaneRowBytes(s.width);
    int stored = s.planes + s.maskPlane;
    std::vector<unsigned char> planes, chunky;
    if (!codec_allocate(planes, rowBytes * size_t(stored)) || !codec_allocate(chunky, rowBytes * 8 * (s.mode == kTrueColour ? 3 : 1)))
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s.bodyOffset))
        return CODEC_ERR_READ;
    BodyStream body(*in, s.bodySize, s.compression == 1);
    size_t stride = codec_stride(s.width, s.bpp);
    for (int32_t y = 0; y < s.height; ++y) {
        unsigned char* out = data + size_t(s.height - 1 - y) * stride;
        if (!body.Read(planes.data(), planes.size()))
            return CODEC_ERR_READ;
        if (s.mode == kTrueColour) {
            unsigned char* red = chunky.data();
            unsigned char* green = red + rowBytes * 8;
            unsigned char* blue = green + rowBytes * 8;
            PlanesToChunky(planes.data(), rowBytes, 8, red);
            PlanesToChunky(planes.data() + 8 * rowBytes, rowBytes, 8, green);
            PlanesToChunky(planes.data() + 16 * rowBytes, rowBytes, 8, blue);
            for (int32_t x = 0; x < s.width; ++x) {
                out[3 * x] = blue[x];
                out[3 * x + 1] = green[x];
                out[3 * x + 2] = red[x];
            }
            continue;
        }
        PlanesToChunky(planes.data(), rowBytes, s.planes, chunky.data());
        if (sham)
            std::memcpy(regs, &lines[size_t(y) * kShamColours], sizeof(PaletteEntry) * kShamColours);
        if (s.mode == kHam)
            DecodeHam(chunky.data(), s.width, s.planes, regs, out);
        else if (s.bpp == 24)
            IndicesToBgr(chunky.data(), s.width, regs, out);
        else
            PackIndices(chunky.data(), s.width, s.bpp, out);
    }
    return CODEC_OK;
}

// ---- writing ----

struct WriteSettings {
    long x = 0, y = 0, xAspect = 1, yAspect = 1, pageWidth = 0, pageHeight = 0;
    long transparent = -1;
    bool ham6 = false;
};

// A numeric option inside [low, high]; absent leaves the value alone.
bool NumberOption(const CodecOptions& opts, const char* name, long low, long high, long* value)
{
    if (opts.Text(name) == nullptr)
        return true;
    long v = 0;
    if (!opts.Number(name, &v) || v < low || v > high)
        return false;
    *value = v;
    return true;
}

int ParseWriteOptions(const char* text, const ImageHeader* header, WriteSettings& w)
{
    CodecOptions opts;
    if (opts.Parse(text) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    w.ham6 = opts.Flag("ham6");
    w.pageWidth = header->width;
    w.pageHeight = header->height;
    int registers = w.ham6 ? 16 : header->bpp == 24 ? 0 : 1 << header->bpp;
    if (!NumberOption(opts, "xpos=", -32768, 32767, &w.x) || !NumberOption(opts, "ypos=", -32768, 32767, &w.y) ||
        !NumberOption(opts, "xaspect=", 0, 255, &w.xAspect) || !NumberOption(opts, "yaspect=", 0, 255, &w.yAspect) ||
        !NumberOption(opts, "xscreen=", 1, 65535, &w.pageWidth) ||
        !NumberOption(opts, "yscreen=", 1, 65535, &w.pageHeight) ||
        !NumberOption(opts, "transcol=", 0, registers - 1, &w.transparent))
        return CODEC_ERR_OPTIONS;
    return CODEC_OK;
}

// ByteRun1 of one plane row: runs of three or more equal bytes repeat, the rest is copied.
size_t PackByteRun1(const unsigned char* src, size_t n, unsigned char* dst)
{
    size_t out = 0, i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 128 && src[i + run] == src[i])
            ++run;
        if (run >= 3) {
            dst[out++] = uint8_t(257 - run);
            dst[out++] = src[i];
            i += run;
            continue;
        }
        // Literals up to the next run of three.
        size_t start = i, count = 0;
        while (i < n && count < 128) {
            if (i + 2 < n && src[i] == src[i + 1] && src[i] == src[i + 2])
                break;
            ++i;
            ++count;
        }
        dst[out++] = uint8_t(count - 1);
        std::memcpy(dst + out, src + start, count);
        out += count;
    }
    return out;
}

// Eight pixel bytes to the plane bytes: bit p of pixel k becomes bit 7 - k of plane p.
void ChunkyToPlanes(const unsigned char* chunky, size_t rowBytes, int count, unsigned char* planes)
{
    for (size_t i = 0; i < rowBytes; ++i) {
        uint64_t v = Load64(chunky + 8 * i);
        for (int p = 0; p < count; ++p)
            planes[size_t(p) * rowBytes + i] =
                uint8_t((((v >> p) & 0x0101010101010101ull) * 0x8040201008040201ull) >> 56);
    }
}

void PutBmhd(CodecWriter& out, const ImageHeader* header, int planes, const WriteSettings& w)
{
    out.Write("BMHD", 4);
    out.U32be(kBmhdSize);
    out.U16be(unsigned(header->width));
    out.U16be(unsigned(header->height));
    out.U16be(unsigned(w.x) & 0xFFFF);
    out.U16be(unsigned(w.y) & 0xFFFF);
    out.Byte(unsigned(planes));
    out.Byte(w.transparent >= 0 ? kMaskHasTransparentColor : 0);
    out.Byte(1);  // ByteRun1
    out.Byte(0);
    out.U16be(w.transparent >= 0 ? unsigned(w.transparent) : 0);
    out.Byte(unsigned(w.xAspect));
    out.Byte(unsigned(w.yAspect));
    out.U16be(unsigned(w.pageWidth));
    out.U16be(unsigned(w.pageHeight));
}

void PutCmap(CodecWriter& out, const PaletteEntry* palette, int count)
{
    out.Write("CMAP", 4);
    out.U32be(uint32_t(count) * 3);
    for (int i = 0; i < count; ++i) {
        out.Byte(palette[i].red);
        out.Byte(palette[i].green);
        out.Byte(palette[i].blue);
    }
}

// ---- writing: HAM6 ----

// The 16 base registers: black first (a line starts from register 0, and some readers start
// from black), then a median cut of the picture's colours at 4 bits a channel.
struct Box {
    int lo[3], hi[3];
    uint64_t count;
};

void ShrinkBox(const std::vector<uint32_t>& histogram, Box& box)
{
    int lo[3] = {15, 15, 15}, hi[3] = {0, 0, 0};
    box.count = 0;
    for (int r = box.lo[0]; r <= box.hi[0]; ++r)
        for (int g = box.lo[1]; g <= box.hi[1]; ++g)
            for (int b = box.lo[2]; b <= box.hi[2]; ++b) {
                uint32_t n = histogram[size_t((r << 8) | (g << 4) | b)];
                if (n == 0)
                    continue;
                box.count += n;
                int c[3] = {r, g, b};
                for (int k = 0; k < 3; ++k) {
                    lo[k] = c[k] < lo[k] ? c[k] : lo[k];
                    hi[k] = c[k] > hi[k] ? c[k] : hi[k];
                }
            }
    if (box.count > 0)
        for (int k = 0; k < 3; ++k) {
            box.lo[k] = lo[k];
            box.hi[k] = hi[k];
        }
}

// Splits the box at the median of its longest side; false when it is a single colour.
bool SplitBox(const std::vector<uint32_t>& histogram, Box& box, Box& other)
{
    int axis = 0;
    for (int k = 1; k < 3; ++k)
        if (box.hi[k] - box.lo[k] > box.hi[axis] - box.lo[axis])
            axis = k;
    if (box.hi[axis] == box.lo[axis])
        return false;
    uint64_t half = box.count / 2, seen = 0;
    int cut = box.lo[axis];
    for (int v = box.lo[axis]; v < box.hi[axis]; ++v) {
        Box slice = box;
        slice.lo[axis] = slice.hi[axis] = v;
        ShrinkBox(histogram, slice);
        seen += slice.count;
        cut = v;
        if (seen >= half)
            break;
    }
    other = box;
    box.hi[axis] = cut;
    other.lo[axis] = cut + 1;
    ShrinkBox(histogram, box);
    ShrinkBox(histogram, other);
    return true;
}

PaletteEntry BoxColour(const std::vector<uint32_t>& histogram, const Box& box)
{
    uint64_t sum[3] = {0, 0, 0};
    for (int r = box.lo[0]; r <= box.hi[0]; ++r)
        for (int g = box.lo[1]; g <= box.hi[1]; ++g)
            for (int b = box.lo[2]; b <= box.hi[2]; ++b) {
                uint64_t n = histogram[size_t((r << 8) | (g << 4) | b)];
                sum[0] += n * unsigned(r);
                sum[1] += n * unsigned(g);
                sum[2] += n * unsigned(b);
            }
    uint64_t n = box.count ? box.count : 1;
    return PaletteEntry{uint8_t((sum[0] + n / 2) / n * 17), uint8_t((sum[1] + n / 2) / n * 17),
                        uint8_t((sum[2] + n / 2) / n * 17)};
}

// One row of the picture as red, green, blue bytes, whatever its depth.
void RowToRgb(const ImageHeader* header, const PaletteEntry* palette, const unsigned char* row, unsigned char* rgb)
{
    for (int32_t x = 0; x < header->width; ++x) {
        if (header->bpp == 24) {
            rgb[3 * x] = row[3 * x + 2];
            rgb[3 * x + 1] = row[3 * x + 1];
            rgb[3 * x + 2] = row[3 * x];
            continue;
        }
        unsigned i = header->bpp == 8 ? row[x]
                     : header->bpp == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15
                                        : (row[x / 8] >> (7 - x % 8)) & 1;
        rgb[3 * x] = palette[i].red;
        rgb[3 * x + 1] = palette[i].green;
        rgb[3 * x + 2] = palette[i].blue;
    }
}

bool ChooseHamRegisters(const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
                        PaletteEntry* regs)
{
    std::vector<uint32_t> histogram;
    std::vector<unsigned char> rgb;
    if (!codec_allocate(histogram, 4096) || !codec_allocate(rgb, size_t(header->width) * 3))
        return false;
    size_t stride = codec_stride(header->width, header->bpp);
    for (int32_t y = 0; y < header->height; ++y) {
        RowToRgb(header, palette, data + size_t(y) * stride, rgb.data());
        for (int32_t x = 0; x < header->width; ++x) {
            unsigned r = (rgb[3 * x] * 15u + 127) / 255, g = (rgb[3 * x + 1] * 15u + 127) / 255,
                     b = (rgb[3 * x + 2] * 15u + 127) / 255;
            ++histogram[(r << 8) | (g << 4) | b];
        }
    }
    Box boxes[15];
    boxes[0] = Box{{0, 0, 0}, {15, 15, 15}, 0};
    ShrinkBox(histogram, boxes[0]);
    int count = 1;
    while (count < 15) {
        // The most populous box that can still be split.
        int pick = -1;
        for (int i = 0; i < count; ++i)
            if ((boxes[i].lo[0] != boxes[i].hi[0] || boxes[i].lo[1] != boxes[i].hi[1] ||
                 boxes[i].lo[2] != boxes[i].hi[2]) &&
                (pick < 0 || boxes[i].count > boxes[pick].count))
                pick = i;
        if (pick < 0 || !SplitBox(histogram, boxes[pick], boxes[count]))
            break;
        ++count;
    }
    regs[0] = PaletteEntry{0, 0, 0};
    for (int i = 0; i < 15; ++i)
        regs[1 + i] = i < count ? BoxColour(histogram, boxes[i]) : PaletteEntry{0, 0, 0};
    return true;
}

inline int Distance(int dr, int dg, int db)
{
    return 3 * dr * dr + 4 * dg * dg + 2 * db * db;
}

// The modify value that brings a channel nearest to the target, the low nibble kept.
inline unsigned ModifyValue(int target, unsigned current)
{
    int low = int(current & 15);
    int v = (target - low + 8) >> 4;
    return unsigned(v < 0 ? 0 : v > 15 ? 15 : v);
}

// The register nearest to each colour at 5 bits a channel (its bin's centre): a table look-up
// instead of sixteen distances a pixel.
void BuildNearestRegister(const PaletteEntry* regs, uint8_t* nearest)
{
    for (int bin = 0; bin < 32768; ++bin) {
        int r = ((bin >> 10) & 31) * 8 + 4, g = ((bin >> 5) & 31) * 8 + 4, b = (bin & 31) * 8 + 4;
        int best = 0, bestCost = 1 << 30;
        for (int i = 0; i < 16; ++i) {
            int cost = Distance(regs[i].red - r, regs[i].green - g, regs[i].blue - b);
            if (cost < bestCost) {
                bestCost = cost;
                best = i;
            }
        }
        nearest[bin] = uint8_t(best);
    }
}

// Greedy HAM6 encoding of one row: each pixel takes whichever of its nearest register and the
// three channel modifies lands nearest to it, from the colour the display actually holds.
void EncodeHamRow(const unsigned char* rgb, int32_t width, const PaletteEntry* regs, const uint8_t* nearest,
                  unsigned char* codes)
{
    int r = regs[0].red, g = regs[0].green, b = regs[0].blue;
    for (int32_t x = 0; x < width; ++x) {
        int tr = rgb[3 * x], tg = rgb[3 * x + 1], tb = rgb[3 * x + 2];
        int best = nearest[((tr >> 3) << 10) | ((tg >> 3) << 5) | (tb >> 3)];
        int bestCost = Distance(regs[best].red - tr, regs[best].green - tg, regs[best].blue - tb);
        unsigned mb = ModifyValue(tb, unsigned(b)), mr = ModifyValue(tr, unsigned(r)), mg = ModifyValue(tg, unsigned(g));
        int nb = int(mb << 4) | (b & 15), nr = int(mr << 4) | (r & 15), ng = int(mg << 4) | (g & 15);
        int costB = Distance(r - tr, g - tg, nb - tb), costR = Distance(nr - tr, g - tg, b - tb),
            costG = Distance(r - tr, ng - tg, b - tb);
        if (costB < bestCost && costB <= costR && costB <= costG) {
            codes[x] = uint8_t(0x10 | mb);
            b = nb;
        } else if (costR < bestCost && costR <= costG) {
            codes[x] = uint8_t(0x20 | mr);
            r = nr;
        } else if (costG < bestCost) {
            codes[x] = uint8_t(0x30 | mg);
            g = ng;
        } else {
            codes[x] = uint8_t(best);
            r = regs[best].red;
            g = regs[best].green;
            b = regs[best].blue;
        }
    }
}

// ---- writing: BODY ----

class BodyWriter
{
public:
    BodyWriter(CodecWriter& out, size_t rowBytes) : m_out(out), m_rowBytes(rowBytes) {}
    bool Init() { return codec_allocate(m_packed, m_rowBytes + m_rowBytes / 128 + 2); }
    // Compresses and writes the planes of one row.
    void Row(const unsigned char* planes, int count)
    {
        for (int p = 0; p < count; ++p) {
            size_t n = PackByteRun1(planes + size_t(p) * m_rowBytes, m_rowBytes, m_packed.data());
            m_out.Write(m_packed.data(), n);
            m_size += n;
        }
    }
    uint64_t Size() const { return m_size; }

private:
    CodecWriter& m_out;
    size_t m_rowBytes;
    std::vector<unsigned char> m_packed;
    uint64_t m_size = 0;
};

int WriteBody(CodecWriter& out, BodyWriter& body, const ImageHeader* header, const PaletteEntry* palette,
              const unsigned char* data, const WriteSettings& w, const PaletteEntry* hamRegs)
{
    size_t rowBytes = PlaneRowBytes(header->width), stride = codec_stride(header->width, header->bpp);
    int planes = w.ham6 ? 6 : header->bpp;
    std::vector<unsigned char> chunky, planeRow, rgb, nearest;
    if (!codec_allocate(chunky, rowBytes * 8 * (header->bpp == 24 && !w.ham6 ? 3 : 1)) ||
        !codec_allocate(planeRow, rowBytes * size_t(planes)) || !codec_allocate(rgb, size_t(header->width) * 3) ||
        !codec_allocate(nearest, w.ham6 ? 32768 : 0))
        return CODEC_ERR_MEMORY;
    if (w.ham6)
        BuildNearestRegister(hamRegs, nearest.data());
    for (int32_t y = header->height - 1; y >= 0 && !out.Failed(); --y) {
        const unsigned char* row = data + size_t(y) * stride;
        if (w.ham6) {
            RowToRgb(header, palette, row, rgb.data());
            EncodeHamRow(rgb.data(), header->width, hamRegs, nearest.data(), chunky.data());
            ChunkyToPlanes(chunky.data(), rowBytes, 6, planeRow.data());
        } else if (header->bpp == 24) {
            unsigned char* red = chunky.data();
            unsigned char* green = red + rowBytes * 8;
            unsigned char* blue = green + rowBytes * 8;
            for (int32_t x = 0; x < header->width; ++x) {
                blue[x] = row[3 * x];
                green[x] = row[3 * x + 1];
                red[x] = row[3 * x + 2];
            }
            ChunkyToPlanes(red, rowBytes, 8, planeRow.data());
            ChunkyToPlanes(green, rowBytes, 8, planeRow.data() + 8 * rowBytes);
            ChunkyToPlanes(blue, rowBytes, 8, planeRow.data() + 16 * rowBytes);
        } else {
            for (int32_t x = 0; x < header->width; ++x)
                chunky[size_t(x)] = header->bpp == 8   ? row[x]
                                    : header->bpp == 4 ? uint8_t((row[x / 2] >> (x % 2 ? 0 : 4)) & 15)
                                                       : uint8_t((row[x / 8] >> (7 - x % 8)) & 1);
            ChunkyToPlanes(chunky.data(), rowBytes, planes, planeRow.data());
        }
        body.Row(planeRow.data(), planes);
    }
    return CODEC_OK;
}

// Sizes only known at the end go into place afterwards.
bool PatchSize(int fd, long offset, uint32_t value)
{
    if (offset < 0)
        return false;
    unsigned char b[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    return codec_io_seek(fd, offset, SEEK_SET) == offset && codec_io_write(fd, b, 4) == 4;
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    if (header->bpp != 1 && header->bpp != 4 && header->bpp != 8 && header->bpp != 24)
        return CODEC_ERR_BPP;
    WriteSettings w;
    int rc = ParseWriteOptions(options, header, w);
    if (rc != CODEC_OK)
        return rc;
    PaletteEntry hamRegs[16];
    if (w.ham6 && !ChooseHamRegisters(header, palette, data, hamRegs))
        return CODEC_ERR_MEMORY;
    int planes = w.ham6 ? 6 : header->bpp;

    long base = codec_io_seek(fd, 0, SEEK_CUR);
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    if (!out)
        return CODEC_ERR_MEMORY;
    BodyWriter body(*out, PlaneRowBytes(header->width));
    if (!body.Init())
        return CODEC_ERR_MEMORY;
    out->Write("FORM\0\0\0\0ILBM", 12);
    PutBmhd(*out, header, planes, w);
    long bodyAt = 12 + 8 + kBmhdSize;
    if (w.ham6) {
        PutCmap(*out, hamRegs, 16);
        out->Write("CAMG", 4);
        out->U32be(4);
        out->U32be(kCamgHam);
        bodyAt += 8 + 48 + 12;
    } else if (header->bpp != 24) {
        PutCmap(*out, palette, 1 << header->bpp);
        bodyAt += 8 + 3 * (1 << header->bpp);
    }
    out->Write("BODY\0\0\0\0", 8);
    rc = WriteBody(*out, body, header, palette, data, w, hamRegs);
    if (rc != CODEC_OK)
        return rc;
    uint64_t bodySize = body.Size();
    if (bodySize & 1)
        out->Byte(0);
    uint64_t formSize = uint64_t(bodyAt) + 8 + bodySize + (bodySize & 1) - 8;
    if ((rc = out->Finish()) != CODEC_OK)
        return rc;
    if (formSize > 0xFFFFFFFFull)
        return CODEC_ERR_SIZE;
    if (base < 0 || !PatchSize(fd, base + 4, uint32_t(formSize)) || !PatchSize(fd, base + bodyAt + 4, uint32_t(bodySize)) ||
        codec_io_seek(fd, 0, SEEK_END) < 0)
        return CODEC_ERR_WRITE;
    return CODEC_OK;
}

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatIlbm, info);
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatIlbm, code);
}

} // namespace

const CodecFormat codec_ilbm_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
