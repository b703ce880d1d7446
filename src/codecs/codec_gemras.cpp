// GemRas: GEM raster (bit image) files.
//
// Header, big-endian words: version (1), header length in words (8 or more), planes, pattern
// length in bytes, pixel width and height in microns, width in pixels, height in lines. Longer
// headers carry either
//   XIMG: "XIMG", palette type (0 = RGB), then red, green, blue words (0..1000) per colour, the
//         colour of pixel value i at position i;
//   or a flag word (the 9-word header): 0 colour, 1 greyscale.
// The data follow the header. Each line holds its planes one after another (plane 0, the least
// significant bit of the pixel value, first), (width + 7) / 8 bytes each, leftmost pixel in the
// top bit, for 24 planes as for 1 or 4. True-colour (24-plane) lines hold eight planes of red,
// then eight of green, then eight of blue, each group from its least significant bit: the colour
// plane order of the common description of colour files ("Format of GEM bitmap", seasip.info:
// a four-plane picture stores R, G, B, I), with plane 0 the lowest bit as for every depth.
// Lines are encoded as
//   00 00 FF n   the next line is used n times
//   00 n p...    the pattern of pattern-length bytes, n times
//   80 n b...    n bytes as they are
//   0n / 8n      n (1..127) bytes of 00 / FF
// A run that goes past the end of the line is cut there.
//
// Pictures read as 1 bit (1 plane), 4 bits (2..4), 8 bits (5..8) or 24 bits. Palettes: XIMG when
// present; greyscale pictures a ramp from white (0) to black (all ones), as 1-plane pictures are
// white (0) and black (1); colour pictures without XIMG must have 1, 3 or 4 planes and get the
// standard VDI colours by pixel value: 0 white, 1 red, 2 green, 3 yellow, 4 blue, 5 magenta,
// 6 cyan, 7 light grey, 8 dark grey, 9 dark red, 10 dark green, 11 dark yellow, 12 dark blue,
// 13 dark magenta, 14 dark cyan, 15 black (3 planes: the first seven, and 7 black); channels
// are 255 full, 170 dark (and light grey), 85 for dark grey.
// Files that are not GEM raster but share its extension are recognised by their first bytes:
// "VDVI" (Intel DVI image files, whose green channel uses .IMG) and "IMDS".
//
// Write options:
//   pal          XIMG palette; without it one is still written unless the palette is the one the
//                file stands for without it (1 bit: white and black, either way round; 4 bits:
//                the standard colours), so that no picture loses its colours
//   grey         greyscale file (flag word 1) of the palette's luminance; 24-bit pictures become
//                8 planes of grey
//   pixw=, pixh= pixel size in microns, 1..65535 (default 85, about 300 dpi)
// A black and white picture is written white 0, black 1, its bits inverted when index 0 is black.
#include <cstdio>
#include <memory>
#include <vector>

#include "codecs/codec_internal.h"

namespace {

enum {
    GEM_ERR_DVI = 1700,
    GEM_ERR_IMDS = 1701,
    GEM_ERR_VERSION = 1702,
    GEM_ERR_HEADER_LENGTH = 1703,
    GEM_ERR_PLANES = 1704,
    GEM_ERR_FLAG = 1705,
    GEM_ERR_COLOUR_PLANES = 1706,
    GEM_ERR_PALETTE_TYPE = 1707
};

constexpr int kFormatGem = 14;
constexpr uint32_t kStateTag = 0x47454D31;  // "GEM1": the header reader has run
constexpr int kBaseWords = 8;
constexpr int kXimgWords = 11;  // base header, "XIMG", palette type
constexpr long kDefaultMicrons = 85;

enum Kind : int32_t { kMono, kStandardColour, kGrey, kXimg, kTrueColour };

struct GemState {
    uint32_t tag;
    int32_t width, height, bpp;
    int32_t planes;
    int32_t patternLength;
    int32_t kind;
    int32_t ximgColours;  // colours the XIMG header holds
    long dataOffset;
};

// The standard colours by pixel value, in thirds of full intensity (red, green, blue).
constexpr uint8_t kVdiThirds[16][3] = {{3, 3, 3}, {3, 0, 0}, {0, 3, 0}, {3, 3, 0}, {0, 0, 3}, {3, 0, 3},
                                       {0, 3, 3}, {2, 2, 2}, {1, 1, 1}, {2, 0, 0}, {0, 2, 0}, {2, 2, 0},
                                       {0, 0, 2}, {2, 0, 2}, {0, 2, 2}, {0, 0, 0}};

PaletteEntry StandardColour(int planes, int value)
{
    if (planes == 3 && value == 7)
        return PaletteEntry{0, 0, 0};
    const uint8_t* t = kVdiThirds[value & 15];
    return PaletteEntry{uint8_t(t[0] * 85), uint8_t(t[1] * 85), uint8_t(t[2] * 85)};
}

int BppForPlanes(int planes)
{
    return planes == 24 ? 24 : planes == 1 ? 1 : planes <= 4 ? 4 : 8;
}

// Bytes of one line: the planes one after another.
size_t LineBytes(int32_t width, int planes)
{
    return ((size_t(width) + 7) / 8) * size_t(planes);
}

// ---- reading: header ----

// Other formats that use the extension, told apart before the GEM header is believed.
int CheckForeign(const unsigned char* b, size_t got)
{
    if (got >= 4 && std::memcmp(b, "VDVI", 4) == 0)
        return GEM_ERR_DVI;
    if (got >= 4 && std::memcmp(b, "IMDS", 4) == 0)
        return GEM_ERR_IMDS;
    return CODEC_OK;
}

// The words after the base header: XIMG palette or the colour / greyscale flag.
int ReadExtension(CodecReader& in, unsigned headerWords, int planes, GemState& s)
{
    if (headerWords == kBaseWords)
        return CODEC_OK;
    unsigned char b[6];
    size_t want = headerWords >= kXimgWords ? 6 : 2;
    if (!in.ReadExact(b, want))
        return CODEC_ERR_READ;
    if (want == 6 && std::memcmp(b, "XIMG", 4) == 0) {
        if (codec_be16(b + 4) != 0)
            return GEM_ERR_PALETTE_TYPE;
        if (planes != 24) {
            unsigned fit = (headerWords - kXimgWords) / 3, colours = 1u << planes;
            s.kind = kXimg;
            s.ximgColours = int32_t(fit < colours ? fit : colours);
        }
        return CODEC_OK;
    }
    unsigned flag = codec_be16(b);
    if (flag > 1)
        return GEM_ERR_FLAG;
    if (flag == 1 && planes != 24)
        s.kind = kGrey;
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char*)
{
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char b[kBaseWords * 2];
    size_t got = in->Read(b, sizeof(b));
    int rc = CheckForeign(b, got);
    if (rc != CODEC_OK)
        return rc;
    if (got >= 2 && codec_be16(b) != 1)
        return GEM_ERR_VERSION;
    if (got < sizeof(b))
        return CODEC_ERR_READ;
    unsigned headerWords = codec_be16(b + 2), planes = codec_be16(b + 4);
    if (headerWords < kBaseWords)
        return GEM_ERR_HEADER_LENGTH;
    if (planes == 0 || (planes > 8 && planes != 24))
        return GEM_ERR_PLANES;
    GemState s{};
    s.kind = planes == 24 ? kTrueColour : planes == 1 ? kMono : kStandardColour;
    rc = ReadExtension(*in, headerWords, int(planes), s);
    if (rc != CODEC_OK)
        return rc;
    if (s.kind == kStandardColour && planes != 3 && planes != 4)
        return GEM_ERR_COLOUR_PLANES;
    int32_t width = int32_t(codec_be16(b + 12)), height = int32_t(codec_be16(b + 14));
    s.bpp = BppForPlanes(int(planes));
    if (codec_check_size(width, height, s.bpp) != CODEC_OK)
        return CODEC_ERR_SIZE;
    s.tag = kStateTag;
    s.width = header->width = width;
    s.height = header->height = height;
    header->bpp = s.bpp;
    s.planes = int32_t(planes);
    s.patternLength = int32_t(codec_be16(b + 6));
    s.dataOffset = long(headerWords) * 2;
    *codec_private<GemState>(header) = s;
    return CODEC_OK;
}

int CheckState(const ImageHeader* header, const GemState* s)
{
    return codec_check_state(header, s, kStateTag);
}

int ReadPalette(int fd, ImageHeader* header, PaletteEntry* palette)
{
    const GemState* s = codec_private<GemState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK || s->bpp == 24)
        return rc;
    int count = 1 << s->bpp, colours = 1 << s->planes;
    for (int i = 0; i < count; ++i)
        palette[i] = PaletteEntry{0, 0, 0};
    switch (s->kind) {
    case kMono:
    case kGrey:
        for (int i = 0; i < colours; ++i) {
            uint8_t v = uint8_t(255 - (i * 255 + (colours - 1) / 2) / (colours - 1));
            palette[i] = PaletteEntry{v, v, v};
        }
        return CODEC_OK;
    case kStandardColour:
        for (int i = 0; i < colours; ++i)
            palette[i] = StandardColour(s->planes, i);
        return CODEC_OK;
    default:
        break;
    }
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char words[256 * 6];
    if (!in->Seek(kXimgWords * 2) || !in->ReadExact(words, size_t(s->ximgColours) * 6))
        return CODEC_ERR_READ;
    auto level = [](unsigned v) { return uint8_t(((v > 1000 ? 1000 : v) * 255 + 500) / 1000); };
    for (int i = 0; i < s->ximgColours; ++i)
        palette[i] = PaletteEntry{level(codec_be16(words + 6 * i)), level(codec_be16(words + 6 * i + 2)),
                                  level(codec_be16(words + 6 * i + 4))};
    return CODEC_OK;
}

// ---- reading: data ----

// Decodes one line into the buffer; *repeat gets how often it is used.
class LineDecoder
{
public:
    LineDecoder(CodecReader& in, size_t lineBytes, unsigned char* pattern, size_t patternLength)
        : m_in(in), m_lineBytes(lineBytes), m_pattern(pattern), m_patternLength(patternLength)
    {
    }

    int Line(unsigned char* line, unsigned* repeat)
    {
        *repeat = 1;
        size_t pos = 0;
        while (pos < m_lineBytes) {
            int c = m_in.Byte();
            if (c < 0)
                return CODEC_ERR_READ;
            if (c == 0x00) {
                int rc = PatternOrScanlineRun(line, &pos, repeat);
                if (rc != CODEC_OK)
                    return rc;
            } else if (c == 0x80) {
                int n = m_in.Byte();
                if (n < 0)
                    return CODEC_ERR_READ;
                size_t keep = Fit(pos, size_t(n));
                if (!m_in.ReadExact(line + pos, keep) || !m_in.Skip(size_t(n) - keep))
                    return CODEC_ERR_READ;
                pos += keep;
            } else {
                size_t keep = Fit(pos, size_t(c & 0x7F));
                std::memset(line + pos, c & 0x80 ? 0xFF : 0x00, keep);
                pos += keep;
            }
        }
        return CODEC_OK;
    }

private:
    size_t Fit(size_t pos, size_t n) const { return n < m_lineBytes - pos ? n : m_lineBytes - pos; }

    int PatternOrScanlineRun(unsigned char* line, size_t* pos, unsigned* repeat)
    {
        int n = m_in.Byte();
        if (n < 0)
            return CODEC_ERR_READ;
        if (n == 0) {
            int flag = m_in.Byte(), count = m_in.Byte();
            if (flag != 0xFF || count < 0)
                return CODEC_ERR_READ;
            *repeat = count > 0 ? unsigned(count) : 1;
            return CODEC_OK;
        }
        if (!m_in.ReadExact(m_pattern, m_patternLength))
            return CODEC_ERR_READ;
        for (int i = 0; i < n && *pos < m_lineBytes; ++i) {
            size_t keep = Fit(*pos, m_patternLength);
            std::memcpy(line + *pos, m_pattern, keep);
            *pos += keep;
        }
        return CODEC_OK;
    }

    CodecReader& m_in;
    size_t m_lineBytes;
    unsigned char* m_pattern;
    size_t m_patternLength;
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

// A decoded line in the picture's row format.
void LineToRow(const GemState& s, const unsigned char* line, unsigned char* chunky, unsigned char* row)
{
    size_t planeBytes = (size_t(s.width) + 7) / 8;
    if (s.planes == 24) {
        // Red, green, blue groups of eight planes into blue, green, red bytes.
        for (int c = 0; c < 3; ++c) {
            const unsigned char* group = line + size_t(c) * 8 * planeBytes;
            unsigned char* out = row + (2 - c);
            for (size_t i = 0; i < planeBytes; ++i) {
                uint64_t v = 0;
                for (int p = 0; p < 8; ++p)
                    v |= kSpread.bits[group[size_t(p) * planeBytes + i]] << p;
                for (size_t k = 0; k < 8 && 8 * i + k < size_t(s.width); ++k)
                    out[3 * (8 * i + k)] = uint8_t(v >> (8 * k));
            }
        }
        return;
    }
    if (s.planes == 1) {
        std::memcpy(row, line, planeBytes);
        if (s.width % 8)
            row[planeBytes - 1] &= uint8_t(0xFF00u >> (s.width % 8));
        return;
    }
    for (size_t i = 0; i < planeBytes; ++i) {
        uint64_t v = 0;
        for (int p = 0; p < s.planes; ++p)
            v |= kSpread.bits[line[size_t(p) * planeBytes + i]] << p;
        for (int k = 0; k < 8; ++k)
            chunky[8 * i + size_t(k)] = uint8_t(v >> (8 * k));
    }
    if (s.bpp == 8) {
        std::memcpy(row, chunky, size_t(s.width));
        return;
    }
    for (int32_t x = 0; x + 1 < s.width; x += 2)
        row[x / 2] = uint8_t((chunky[x] << 4) | chunky[x + 1]);
    if (s.width & 1)
        row[s.width / 2] = uint8_t(chunky[s.width - 1] << 4);
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const GemState* st = codec_private<GemState>(header);
    int rc = CheckState(header, st);
    if (rc != CODEC_OK)
        return rc;
    const GemState s = *st;
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    size_t lineBytes = LineBytes(s.width, s.planes), stride = codec_stride(s.width, s.bpp);
    std::vector<unsigned char> line, chunky, pattern;
    if (!codec_allocate(line, lineBytes) || !codec_allocate(chunky, ((size_t(s.width) + 7) / 8) * 8) ||
        !codec_allocate(pattern, size_t(s.patternLength) + 1))
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s.dataOffset))
        return CODEC_ERR_READ;
    LineDecoder decoder(*in, lineBytes, pattern.data(), size_t(s.patternLength));
    for (int32_t y = 0; y < s.height;) {
        unsigned repeat = 1;
        if ((rc = decoder.Line(line.data(), &repeat)) != CODEC_OK)
            return rc;
        unsigned char* first = data + size_t(s.height - 1 - y) * stride;
        LineToRow(s, line.data(), chunky.data(), first);
        for (unsigned i = 1; i < repeat && y + 1 < s.height; ++i) {
            ++y;
            std::memcpy(data + size_t(s.height - 1 - y) * stride, first, stride);
        }
        ++y;
    }
    return CODEC_OK;
}

// ---- writing ----

struct WriteSettings {
    bool palette = false, grey = false;
    long pixelWidth = kDefaultMicrons, pixelHeight = kDefaultMicrons;
};

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

unsigned Luminance(const PaletteEntry& c)
{
    return (c.red * 77u + c.green * 150u + c.blue * 29u) / 256;
}

// Run coding of one plane's bytes: solid runs of 00 and FF, pattern runs (pattern length 1) of
// three or more equal bytes, bit strings for the rest.
void PutPlane(CodecWriter& out, const unsigned char* src, size_t n)
{
    size_t i = 0;
    auto runAt = [&](size_t at, size_t limit) {
        size_t run = 1;
        while (at + run < n && run < limit && src[at + run] == src[at])
            ++run;
        return run;
    };
    while (i < n) {
        unsigned char b = src[i];
        if (b == 0x00 || b == 0xFF) {
            size_t run = runAt(i, 127);
            out.Byte(unsigned(b & 0x80) | unsigned(run));
            i += run;
            continue;
        }
        size_t run = runAt(i, 255);
        if (run >= 3) {
            unsigned char item[3] = {0x00, uint8_t(run), b};
            out.Write(item, 3);
            i += run;
            continue;
        }
        size_t start = i;
        while (i < n && i - start < 255) {
            unsigned char c = src[i];
            size_t r = runAt(i, 3);
            if ((c == 0x00 || c == 0xFF) ? r >= 2 : r >= 3)
                break;
            ++i;
        }
        out.Byte(0x80);
        out.Byte(unsigned(i - start));
        out.Write(src + start, i - start);
    }
}

// The pixel values of one row, one byte each.
void RowValues(const ImageHeader* header, const unsigned char* row, const uint8_t* map, unsigned char* values)
{
    for (int32_t x = 0; x < header->width; ++x) {
        unsigned v = header->bpp == 8   ? row[x]
                     : header->bpp == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15
                                        : (row[x / 8] >> (7 - x % 8)) & 1;
        values[x] = map[v];
    }
}

void ValuesToPlanes(const unsigned char* values, size_t planeBytes, int planes, unsigned char* line)
{
    for (size_t i = 0; i < planeBytes; ++i) {
        uint64_t v = 0;
        for (int k = 0; k < 8; ++k)
            v |= uint64_t(values[8 * i + size_t(k)]) << (8 * k);
        for (int p = 0; p < planes; ++p)
            line[size_t(p) * planeBytes + i] =
                uint8_t((((v >> p) & 0x0101010101010101ull) * 0x8040201008040201ull) >> 56);
    }
}

// Is the palette the one a file without XIMG stands for?
bool IsStandardPalette(const PaletteEntry* palette, int bpp)
{
    int count = 1 << bpp;
    for (int i = 0; i < count; ++i) {
        PaletteEntry c = bpp == 1 ? (i ? PaletteEntry{0, 0, 0} : PaletteEntry{255, 255, 255}) : StandardColour(4, i);
        if (palette[i].red != c.red || palette[i].green != c.green || palette[i].blue != c.blue)
            return false;
    }
    return true;
}

bool IsInvertedMono(const PaletteEntry* palette)
{
    return palette[0].red == 0 && palette[0].green == 0 && palette[0].blue == 0 && palette[1].red == 255 &&
           palette[1].green == 255 && palette[1].blue == 255;
}

void PutHeader(CodecWriter& out, const ImageHeader* header, int planes, int kind, const WriteSettings& w,
               const PaletteEntry* palette)
{
    int colours = kind == kXimg ? 1 << planes : 0;
    unsigned words = kind == kXimg ? unsigned(kXimgWords + 3 * colours) : kind == kGrey ? kBaseWords + 1 : kBaseWords;
    out.U16be(1);
    out.U16be(words);
    out.U16be(unsigned(planes));
    out.U16be(1);  // pattern length
    out.U16be(unsigned(w.pixelWidth));
    out.U16be(unsigned(w.pixelHeight));
    out.U16be(unsigned(header->width));
    out.U16be(unsigned(header->height));
    if (kind == kGrey)
        out.U16be(1);
    if (kind != kXimg)
        return;
    out.Write("XIMG", 4);
    out.U16be(0);
    for (int i = 0; i < colours; ++i) {
        out.U16be((palette[i].red * 1000u + 127) / 255);
        out.U16be((palette[i].green * 1000u + 127) / 255);
        out.U16be((palette[i].blue * 1000u + 127) / 255);
    }
}

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry* palette, const unsigned char* data,
          const char* options)
{
    if (header->bpp != 1 && header->bpp != 4 && header->bpp != 8 && header->bpp != 24)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK)
        return CODEC_ERR_OPTIONS;
    WriteSettings w;
    w.palette = opts.Flag("pal");
    w.grey = opts.Flag("grey");
    if ((w.palette && w.grey) || !NumberOption(opts, "pixw=", 1, 65535, &w.pixelWidth) ||
        !NumberOption(opts, "pixh=", 1, 65535, &w.pixelHeight))
        return CODEC_ERR_OPTIONS;

    // What each palette index becomes in the file.
    int planes = header->bpp == 24 && w.grey ? 8 : header->bpp;
    int kind = header->bpp == 24 ? (w.grey ? kGrey : kTrueColour)
               : w.grey          ? kGrey
               : header->bpp == 1 && (IsStandardPalette(palette, 1) || IsInvertedMono(palette)) && !w.palette ? kMono
               : header->bpp == 4 && IsStandardPalette(palette, 4) && !w.palette ? kStandardColour
                                  : kXimg;
    uint8_t map[256];
    for (int i = 0; i < 256; ++i)
        map[i] = uint8_t(i);
    if (kind == kMono && Luminance(palette[0]) < Luminance(palette[1]))
        map[0] = 1, map[1] = 0;
    if (kind == kGrey && header->bpp != 24) {
        int top = (1 << planes) - 1;
        for (int i = 0; i < (1 << header->bpp); ++i)
            map[i] = uint8_t(((255 - Luminance(palette[i])) * unsigned(top) + 127) / 255);
    }

    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    size_t planeBytes = (size_t(header->width) + 7) / 8, lineBytes = LineBytes(header->width, planes);
    size_t stride = codec_stride(header->width, header->bpp);
    std::vector<unsigned char> values, line, next;
    if (!out || !codec_allocate(values, planeBytes * 8) || !codec_allocate(line, lineBytes) || !codec_allocate(next, lineBytes))
        return CODEC_ERR_MEMORY;
    PutHeader(*out, header, planes, kind, w, palette);

    auto makeLine = [&](int32_t y, unsigned char* dst) {
        const unsigned char* row = data + size_t(header->height - 1 - y) * stride;
        if (header->bpp == 24 && !w.grey) {
            for (int c = 0; c < 3; ++c) {
                for (int32_t x = 0; x < header->width; ++x)
                    values[size_t(x)] = row[3 * x + (2 - c)];
                ValuesToPlanes(values.data(), planeBytes, 8, dst + size_t(c) * 8 * planeBytes);
            }
            return;
        }
        if (header->bpp == 24) {
            for (int32_t x = 0; x < header->width; ++x) {
                PaletteEntry c{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
                values[size_t(x)] = uint8_t(255 - Luminance(c));
            }
        } else {
            RowValues(header, row, map, values.data());
        }
        ValuesToPlanes(values.data(), planeBytes, planes, dst);
    };

    int32_t y = 0;
    makeLine(0, line.data());
    while (y < header->height && !out->Failed()) {
        // Equal lines that follow go out once, with a scanline run.
        int32_t repeat = 1;
        bool nextMade = false;
        while (y + repeat < header->height && repeat < 255) {
            makeLine(y + repeat, next.data());
            if (std::memcmp(next.data(), line.data(), lineBytes) != 0) {
                nextMade = true;
                break;
            }
            ++repeat;
        }
        if (repeat > 1) {
            unsigned char item[4] = {0x00, 0x00, 0xFF, uint8_t(repeat)};
            out->Write(item, 4);
        }
        for (int p = 0; p < planes; ++p)
            PutPlane(*out, line.data() + size_t(p) * planeBytes, planeBytes);
        y += repeat;
        if (nextMade)
            line.swap(next);
        else if (y < header->height)
            makeLine(y, line.data());
    }
    return out->Finish();
}

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatGem, info);
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatGem, code);
}

} // namespace

const CodecFormat codec_gemras_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
