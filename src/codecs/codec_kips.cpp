// KIPS: 8-bit pictures whose palette lives in a companion file beside the picture.
//
// Picture file (words 16-bit little-endian):
//   0   8 bytes   signature "DFIMAG00"
//   8   word      width in pixels
//   10  word      height in rows
//   12  20 bytes  reserved, written as zeros
//   32  height rows of width palette indices, top row first, no padding
//
// Companion palette, named after the picture with its extension replaced (appended when there is
// none), in one of two layouts chosen by the read/write option:
//   pal (default)  "NAME.PAL": 768 bytes, 256 entries of red, green, blue
//   kpl            "NAME.KPL": a 32-byte header laid out as the picture's (signature "DFIMAG00",
//                  width 256, height 3), then 256 reds, 256 greens and 256 blues
// The new extension is lower case when the picture's had lower-case letters and no capitals,
// else upper case. Both options together give 3. A companion that cannot be opened answers 500,
// one that cannot be created 501; a short companion 7, a KPL without its signature 5.
//
// The palette reader opens the companion again by name, so the header reader keeps the name in
// the header's private area: a name longer than kMaxCompanionName answers 500.
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

constexpr int kFormatKips = 9;
constexpr int KIPS_ERR_OPEN_PALETTE = 500, KIPS_ERR_CREATE_PALETTE = 501;
constexpr unsigned char kSignature[8] = {'D', 'F', 'I', 'M', 'A', 'G', '0', '0'};
constexpr size_t kHeaderBytes = 32;
constexpr size_t kPaletteBytes = 768;
constexpr uint32_t kStateTag = 0x4B505331;  // "KPS1": the header reader has run
constexpr size_t kMaxCompanionName = 235;

struct KipsState {
    uint32_t tag;
    int32_t width, height;
    uint8_t kpl;
    char companion[kMaxCompanionName + 1];
};

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatKips, info);
}

unsigned Le16(const unsigned char* p)
{
    return unsigned(p[0]) | (unsigned(p[1]) << 8);
}

void PutLe16(unsigned char* p, unsigned v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// pal or kpl; both is a conflict.
int CompanionOption(const char* options, bool* kpl)
{
    CodecOptions opts;
    if (opts.Parse(options) != CODEC_OK || opts.CountFlags({"pal", "kpl"}) > 1)
        return CODEC_ERR_OPTIONS;
    *kpl = opts.Flag("kpl");
    return CODEC_OK;
}

// The companion's name: the picture's with its extension replaced. False when it does not fit.
bool CompanionName(const char* fileName, bool kpl, char* out, size_t room)
{
    if (fileName == nullptr)
        return false;
    const char* base = fileName;
    for (const char* p = fileName; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            base = p + 1;
    const char* dot = std::strrchr(base, '.');
    size_t stem = dot ? size_t(dot - fileName) : std::strlen(fileName);
    bool lower = false, upper = false;
    for (const char* p = dot ? dot + 1 : ""; *p; ++p) {
        lower = lower || (*p >= 'a' && *p <= 'z');
        upper = upper || (*p >= 'A' && *p <= 'Z');
    }
    const char* ext = kpl ? (lower && !upper ? ".kpl" : ".KPL") : (lower && !upper ? ".pal" : ".PAL");
    if (stem + 4 >= room)
        return false;
    std::memcpy(out, fileName, stem);
    std::memcpy(out + stem, ext, 5);
    return true;
}

// Reads the companion's 256 entries (palette may be null: only checks it).
int ReadCompanion(const char* name, bool kpl, PaletteEntry* palette)
{
    int fd = codec_io_open(name, codec_mode_read_binary());
    if (fd < 0)
        return KIPS_ERR_OPEN_PALETTE;
    unsigned char bytes[kHeaderBytes + kPaletteBytes];
    size_t want = kpl ? sizeof(bytes) : kPaletteBytes, got = 0;
    while (got < want) {
        int n = codec_io_read(fd, bytes + got, unsigned(want - got));
        if (n <= 0)
            break;
        got += size_t(n);
    }
    codec_io_close(fd);
    if (kpl && std::memcmp(bytes, kSignature, got < sizeof(kSignature) ? got : sizeof(kSignature)) != 0)
        return CODEC_ERR_SIGNATURE;
    if (got != want)
        return CODEC_ERR_READ;
    if (palette != nullptr) {
        if (kpl) {
            const unsigned char* planes = bytes + kHeaderBytes;
            for (int i = 0; i < 256; ++i)
                palette[i] = PaletteEntry{planes[i], planes[256 + i], planes[512 + i]};
        } else {
            for (int i = 0; i < 256; ++i)
                palette[i] = PaletteEntry{bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]};
        }
    }
    return CODEC_OK;
}

int ReadHeader(const char* fileName, int fd, ImageHeader* header, const char* options)
{
    bool kpl = false;
    int rc = CompanionOption(options, &kpl);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    unsigned char h[kHeaderBytes];
    size_t got = in->Read(h, sizeof(h));
    if (std::memcmp(h, kSignature, got < sizeof(kSignature) ? got : sizeof(kSignature)) != 0)
        return CODEC_ERR_SIGNATURE;
    if (got != sizeof(h))
        return CODEC_ERR_READ;
    const unsigned width = Le16(h + 8), height = Le16(h + 10);
    if (codec_check_size(width, height, 8) != CODEC_OK)
        return CODEC_ERR_SIZE;
    // A file too short for its pixels is refused before anyone allocates for them.
    const long length = codec_io_seek(fd, 0, SEEK_END);
    if (length < 0 || uint64_t(length) < kHeaderBytes + uint64_t(width) * height)
        return CODEC_ERR_READ;
    KipsState* state = codec_private<KipsState>(header);
    if (!CompanionName(fileName, kpl, state->companion, sizeof(state->companion)))
        return KIPS_ERR_OPEN_PALETTE;
    rc = ReadCompanion(state->companion, kpl, nullptr);
    if (rc != CODEC_OK)
        return rc;
    header->width = int32_t(width);
    header->height = int32_t(height);
    header->bpp = 8;
    state->tag = kStateTag;
    state->width = header->width;
    state->height = header->height;
    state->kpl = kpl ? 1 : 0;
    return CODEC_OK;
}

const KipsState* CheckedState(ImageHeader* header)
{
    const KipsState* state = codec_private<KipsState>(header);
    if (state->tag != kStateTag || state->width != header->width || state->height != header->height ||
        header->bpp != 8 || std::memchr(state->companion, 0, sizeof(state->companion)) == nullptr)
        return nullptr;
    return state;
}

int ReadPalette(int, ImageHeader* header, PaletteEntry* palette)
{
    const KipsState* state = CheckedState(header);
    if (state == nullptr)
        return CODEC_ERR_ARGUMENT;
    return ReadCompanion(state->companion, state->kpl != 0, palette);
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const KipsState* state = CheckedState(header);
    if (state == nullptr)
        return CODEC_ERR_ARGUMENT;
    std::unique_ptr<CodecReader> in(new (std::nothrow) CodecReader(fd));
    if (!in)
        return CODEC_ERR_MEMORY;
    // A new reader takes the file position for 0.
    if (codec_io_seek(fd, 0, SEEK_SET) != 0 || !in->Seek(long(kHeaderBytes)))
        return CODEC_ERR_READ;
    const size_t width = size_t(state->width), stride = codec_stride(state->width, 8);
    for (int32_t y = 0; y < state->height; ++y) {
        unsigned char* row = data + size_t(state->height - 1 - y) * stride;
        if (!in->ReadExact(row, width))
            return CODEC_ERR_READ;
        std::memset(row + width, 0, stride - width);
    }
    return CODEC_OK;
}

void FillHeader(unsigned char* h, unsigned width, unsigned height)
{
    std::memset(h, 0, kHeaderBytes);
    std::memcpy(h, kSignature, sizeof(kSignature));
    PutLe16(h + 8, width);
    PutLe16(h + 10, height);
}

int WriteCompanion(const char* name, bool kpl, const PaletteEntry* palette)
{
    unsigned char bytes[kHeaderBytes + kPaletteBytes];
    unsigned char* p = bytes;
    if (kpl) {
        FillHeader(bytes, 256, 3);
        p += kHeaderBytes;
        for (int i = 0; i < 256; ++i) {
            p[i] = palette[i].red;
            p[256 + i] = palette[i].green;
            p[512 + i] = palette[i].blue;
        }
    } else {
        for (int i = 0; i < 256; ++i) {
            p[3 * i] = palette[i].red;
            p[3 * i + 1] = palette[i].green;
            p[3 * i + 2] = palette[i].blue;
        }
    }
    int fd = codec_io_create(name, codec_mode_write_binary());
    if (fd < 0)
        return KIPS_ERR_CREATE_PALETTE;
    size_t want = size_t(p - bytes) + kPaletteBytes, done = 0;
    while (done < want) {
        int n = codec_io_write(fd, bytes + done, unsigned(want - done));
        if (n <= 0)
            break;
        done += size_t(n);
    }
    bool closed = codec_io_close(fd) == 0;
    return done == want && closed ? CODEC_OK : CODEC_ERR_WRITE;
}

int Write(const char* fileName, int fd, const ImageHeader* header, const PaletteEntry* palette,
          const unsigned char* data, const char* options)
{
    if (header->bpp != 8)
        return CODEC_ERR_BPP;
    bool kpl = false;
    int rc = CompanionOption(options, &kpl);
    if (rc != CODEC_OK)
        return rc;
    char companion[kMaxCompanionName + 1];
    if (!CompanionName(fileName, kpl, companion, sizeof(companion)))
        return KIPS_ERR_CREATE_PALETTE;
    rc = WriteCompanion(companion, kpl, palette);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    if (!out)
        return CODEC_ERR_MEMORY;
    unsigned char h[kHeaderBytes];
    FillHeader(h, unsigned(header->width), unsigned(header->height));
    out->Write(h, sizeof(h));
    const size_t width = size_t(header->width), stride = codec_stride(header->width, 8);
    for (int32_t y = 0; y < header->height && !out->Failed(); ++y)
        out->Write(data + size_t(header->height - 1 - y) * stride, width);
    return out->Finish();
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatKips, code);
}

} // namespace

const CodecFormat codec_kips_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
