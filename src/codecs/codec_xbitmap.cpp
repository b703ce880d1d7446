// XBitmap: X Window System bitmaps, C source text.
//
// X11 form:
//   #define name_width 16
//   #define name_height 16
//   #define name_x_hot 1          (optional, as is _y_hot)
//   static char name_bits[] = { 0x00, 0xff, ... };     (or "unsigned char")
// X10 form: the same with "static short name_bits[]" and 16-bit values.
// Every row starts on a new value; bit 0 of a value is the leftmost pixel, a set bit is the
// foreground. Numbers are hexadecimal (0x), octal (leading 0) or decimal; comments are C's.
// Other preprocessor lines and #defines of other names are skipped; "static", "const",
// "unsigned" and "signed" may come before the element type.
//
// Pictures read as 1 bit: index 1 is the foreground, black, index 0 white. The writer writes
// X11 form, 12 values a line, named after the file (its base name without extension, made a C
// identifier; "image" without one); a picture whose index 0 is darker than index 1 has its bits
// inverted so that the dark pixels stay the foreground.
#include <cstdio>
#include <memory>

#include "codecs/codec_internal.h"

namespace {

enum {
    XBM_ERR_IDENTIFIER = 1300,
    XBM_ERR_EOF = 1301,
    XBM_ERR_TYPE = 1302,
    XBM_ERR_OPEN_BRACKET = 1303,
    XBM_ERR_CLOSE_BRACKET = 1304,
    XBM_ERR_EQUALS = 1305,
    XBM_ERR_OPEN_BRACE = 1306,
    XBM_ERR_CLOSE_BRACE = 1307,
    XBM_ERR_COMMA = 1308,
    XBM_ERR_NUMBER = 1309,
    XBM_ERR_SEMICOLON = 1310
};

constexpr int kFormatXbm = 11;
constexpr uint32_t kStateTag = 0x58424D31;  // "XBM1": the header reader has run
constexpr size_t kMaxToken = 255;
constexpr int kValuesPerLine = 12;
constexpr size_t kMaxNameLength = 200;

struct XbmState {
    uint32_t tag;
    int32_t width, height;
    int32_t valueBits;  // 8 or 16
    long dataOffset;    // just after the opening brace
};

// ---- reading: tokens ----

enum TokenKind { kEnd, kIdentifier, kNumber, kPunct, kBad };

struct Token {
    TokenKind kind = kEnd;
    char punct = 0;
    char text[kMaxToken + 1] = {};
    uint64_t value = 0;  // numbers; saturates
};

// Character classes and digit values of the C source: the C library's classifiers cost a call
// per character, which dominated reading large bitmaps.
enum : uint8_t { kSpaceChar = 1, kWordStart = 2, kDigitChar = 4 };
struct CharTable {
    uint8_t kind[256] = {};
    uint8_t digit[256] = {};  // value of a hexadecimal digit, 99 for anything else
    constexpr CharTable()
    {
        for (int c = 0; c < 256; ++c) {
            bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z', number = c >= '0' && c <= '9';
            kind[c] = uint8_t((c == ' ' || (c >= '\t' && c <= '\r') ? kSpaceChar : 0) |
                              (lower || upper || c == '_' ? kWordStart : 0) | (number ? kDigitChar : 0));
            digit[c] = uint8_t(number                 ? c - '0'
                               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                      : 99);
        }
    }
};
constexpr CharTable kChars;

// C tokens over the file, comments skipped; reads through its own block so that a character
// costs no call.
class Tokenizer
{
public:
    explicit Tokenizer(CodecReader& in) : m_in(in) {}

    Token& Next()
    {
        int c = SkipSpace();
        m_token.kind = kEnd;
        m_token.text[0] = '\0';
        if (c < 0)
            return m_token;
        if (kChars.kind[c] & kWordStart)
            return Word(c, kIdentifier);
        if (kChars.kind[c] & kDigitChar)
            return Word(c, kNumber);
        m_token.kind = kPunct;
        m_token.punct = char(c);
        return m_token;
    }
    // Skips the rest of the line (preprocessor lines this reader does not use).
    void SkipLine()
    {
        int c;
        while ((c = Get()) >= 0 && c != '\n') {
        }
    }
    // File position of the next character.
    long Tell() const { return m_in.Tell() - long(m_len - m_pos); }

private:
    int Get()
    {
        if (m_pos == m_len) {
            m_len = m_in.Read(m_block, sizeof(m_block));
            m_pos = 0;
            if (m_len == 0)
                return -1;
        }
        return m_block[m_pos++];
    }
    // Gives back the character just read (only ever one).
    void Unget() { --m_pos; }

    int SkipSpace()
    {
        for (;;) {
            int c = Get();
            if (c < 0 || !((kChars.kind[c] & kSpaceChar) || c == '/'))
                return c;
            if (c != '/')
                continue;
            int d = Get();
            if (d == '*') {
                int prev = 0;
                while ((c = Get()) >= 0 && !(prev == '*' && c == '/'))
                    prev = c;
                if (c < 0)
                    return -1;
            } else if (d == '/') {
                SkipLine();
            } else {
                if (d >= 0)
                    Unget();
                return '/';
            }
        }
    }

    Token& Word(int c, TokenKind kind)
    {
        size_t n = 0;
        bool tooLong = false;
        while (c >= 0 && (kChars.kind[c] & (kWordStart | kDigitChar))) {
            if (n < kMaxToken)
                m_token.text[n++] = char(c);
            else
                tooLong = true;
            c = Get();
        }
        if (c >= 0)
            Unget();
        m_token.text[n] = '\0';
        m_token.kind = tooLong ? kBad : kind;
        if (kind == kNumber && !tooLong && !ParseNumber(m_token.text, &m_token.value))
            m_token.kind = kBad;
        return m_token;
    }

    static bool ParseNumber(const char* t, uint64_t* value)
    {
        unsigned base = 10;
        if (t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            base = 16;
            t += 2;
            if (*t == '\0')
                return false;
        } else if (t[0] == '0') {
            base = 8;
        }
        uint64_t v = 0;
        for (; *t; ++t) {
            unsigned d = kChars.digit[static_cast<unsigned char>(*t)];
            if (d >= base)
                return false;
            v = v > (uint64_t(1) << 40) ? v : v * base + d;
        }
        *value = v;
        return true;
    }

    CodecReader& m_in;
    Token m_token;
    unsigned char m_block[4096];
    size_t m_pos = 0, m_len = 0;
};

bool EndsWith(const char* text, const char* suffix)
{
    size_t n = std::strlen(text), k = std::strlen(suffix);
    return n >= k && std::strcmp(text + n - k, suffix) == 0;
}

bool IsPunct(const Token& t, char c)
{
    return t.kind == kPunct && t.punct == c;
}

// The error for a token that is not the one expected: end of file has its own.
int Expected(const Token& t, int code)
{
    return t.kind == kEnd ? XBM_ERR_EOF : code;
}

// "#define name value": the sizes are taken from names ending in _width and _height.
int ReadDefine(Tokenizer& tok, int64_t* width, int64_t* height)
{
    Token& name = tok.Next();
    if (name.kind != kIdentifier)
        return Expected(name, XBM_ERR_IDENTIFIER);
    bool isWidth = EndsWith(name.text, "_width") || std::strcmp(name.text, "width") == 0;
    bool isHeight = EndsWith(name.text, "_height") || std::strcmp(name.text, "height") == 0;
    Token& value = tok.Next();
    if (value.kind != kNumber)
        return Expected(value, XBM_ERR_NUMBER);
    int64_t v = value.value > 0x7FFFFFFF ? 0x7FFFFFFF : int64_t(value.value);
    if (isWidth)
        *width = v;
    else if (isHeight)
        *height = v;
    return CODEC_OK;
}

// "[static] [unsigned] char|short name[] = {": leaves the tokenizer just after the brace.
int ReadDeclaration(Tokenizer& tok, Token& first, int32_t* valueBits)
{
    Token* t = &first;
    while (t->kind == kIdentifier &&
           (std::strcmp(t->text, "static") == 0 || std::strcmp(t->text, "const") == 0 ||
            std::strcmp(t->text, "unsigned") == 0 || std::strcmp(t->text, "signed") == 0))
        t = &tok.Next();
    if (t->kind != kIdentifier || (std::strcmp(t->text, "char") != 0 && std::strcmp(t->text, "short") != 0))
        return Expected(*t, XBM_ERR_TYPE);
    *valueBits = t->text[0] == 'c' ? 8 : 16;
    t = &tok.Next();
    if (t->kind != kIdentifier)
        return Expected(*t, XBM_ERR_IDENTIFIER);
    t = &tok.Next();
    if (!IsPunct(*t, '['))
        return Expected(*t, XBM_ERR_OPEN_BRACKET);
    t = &tok.Next();
    if (t->kind == kNumber)
        t = &tok.Next();
    if (!IsPunct(*t, ']'))
        return Expected(*t, XBM_ERR_CLOSE_BRACKET);
    t = &tok.Next();
    if (!IsPunct(*t, '='))
        return Expected(*t, XBM_ERR_EQUALS);
    t = &tok.Next();
    if (!IsPunct(*t, '{'))
        return Expected(*t, XBM_ERR_OPEN_BRACE);
    return CODEC_OK;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char*)
{
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    Tokenizer tok(*in);
    int64_t width = 0, height = 0;
    int32_t valueBits = 0;
    for (;;) {
        Token& t = tok.Next();
        if (t.kind == kEnd)
            return XBM_ERR_EOF;
        if (IsPunct(t, '#')) {
            Token& directive = tok.Next();
            if (directive.kind != kIdentifier)
                return Expected(directive, XBM_ERR_IDENTIFIER);
            if (std::strcmp(directive.text, "define") != 0) {
                tok.SkipLine();
                continue;
            }
            int rc = ReadDefine(tok, &width, &height);
            if (rc != CODEC_OK)
                return rc;
            continue;
        }
        if (t.kind != kIdentifier)
            return XBM_ERR_IDENTIFIER;
        int rc = ReadDeclaration(tok, t, &valueBits);
        if (rc != CODEC_OK)
            return rc;
        break;
    }
    if (codec_check_size(width, height, 1) != CODEC_OK)
        return CODEC_ERR_SIZE;
    XbmState* s = codec_private<XbmState>(header);
    s->tag = kStateTag;
    s->width = header->width = int32_t(width);
    s->height = header->height = int32_t(height);
    header->bpp = 1;
    s->valueBits = valueBits;
    s->dataOffset = tok.Tell();
    return CODEC_OK;
}

int CheckState(const ImageHeader* header, const XbmState* s)
{
    if (s->tag != kStateTag)
        return CODEC_ERR_ARGUMENT;
    if (header->width != s->width || header->height != s->height || header->bpp != 1)
        return CODEC_ERR_SIZE;
    return CODEC_OK;
}

int ReadPalette(int, ImageHeader* header, PaletteEntry* palette)
{
    int rc = CheckState(header, codec_private<XbmState>(header));
    if (rc != CODEC_OK)
        return rc;
    palette[0] = PaletteEntry{255, 255, 255};
    palette[1] = PaletteEntry{0, 0, 0};
    return CODEC_OK;
}

// Bit 0 leftmost to bit 7 leftmost.
struct BitReverse {
    uint8_t table[256] = {};
    constexpr BitReverse()
    {
        for (unsigned b = 0; b < 256; ++b) {
            unsigned r = 0;
            for (unsigned k = 0; k < 8; ++k)
                r |= ((b >> k) & 1) << (7 - k);
            table[b] = uint8_t(r);
        }
    }
};
constexpr BitReverse kReverse;

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    const XbmState* s = codec_private<XbmState>(header);
    int rc = CheckState(header, s);
    if (rc != CODEC_OK)
        return rc;
    std::unique_ptr<CodecReader> in = codec_open_reader(fd);
    if (!in)
        return CODEC_ERR_MEMORY;
    if (!in->Seek(s->dataOffset))
        return CODEC_ERR_READ;
    Tokenizer tok(*in);
    size_t stride = codec_stride(s->width, 1), rowBytes = (size_t(s->width) + 7) / 8;
    size_t perRow = s->valueBits == 8 ? rowBytes : (size_t(s->width) + 15) / 16;
    unsigned char lastMask = uint8_t(0xFF00u >> (s->width % 8 ? s->width % 8 : 8));
    for (int32_t y = 0; y < s->height; ++y) {
        unsigned char* row = data + size_t(s->height - 1 - y) * stride;
        std::memset(row, 0, stride);
        for (size_t i = 0; i < perRow; ++i) {
            if (y > 0 || i > 0) {
                Token& comma = tok.Next();
                if (!IsPunct(comma, ','))
                    return Expected(comma, XBM_ERR_COMMA);
            }
            Token& t = tok.Next();
            if (t.kind != kNumber)
                return Expected(t, XBM_ERR_NUMBER);
            // A short holds two bytes of the row, the low one first.
            if (s->valueBits == 8) {
                row[i] = kReverse.table[t.value & 0xFF];
            } else {
                row[2 * i] = kReverse.table[t.value & 0xFF];
                if (2 * i + 1 < rowBytes)
                    row[2 * i + 1] = kReverse.table[(t.value >> 8) & 0xFF];
            }
        }
        row[rowBytes - 1] &= lastMask;
    }
    Token* t = &tok.Next();
    if (IsPunct(*t, ','))
        t = &tok.Next();
    if (!IsPunct(*t, '}'))
        return Expected(*t, XBM_ERR_CLOSE_BRACE);
    t = &tok.Next();
    if (!IsPunct(*t, ';'))
        return Expected(*t, XBM_ERR_SEMICOLON);
    return CODEC_OK;
}

// ---- writing ----

// The file's base name without extension as a C identifier.
void NameFromFile(const char* fileName, char* name)
{
    const char* base = fileName ? fileName : "";
    for (const char* p = base; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            base = p + 1;
    const char* dot = std::strrchr(base, '.');
    size_t length = dot ? size_t(dot - base) : std::strlen(base);
    if (length > kMaxNameLength)
        length = kMaxNameLength;
    size_t n = 0;
    if (length > 0 && (kChars.kind[static_cast<unsigned char>(base[0])] & kDigitChar))
        name[n++] = '_';
    for (size_t i = 0; i < length; ++i)
        name[n++] = kChars.kind[static_cast<unsigned char>(base[i])] & (kWordStart | kDigitChar) ? base[i] : '_';
    name[n] = '\0';
    if (n == 0)
        std::strcpy(name, "image");
}

unsigned Luminance(const PaletteEntry& c)
{
    return (c.red * 77u + c.green * 150u + c.blue * 29u) / 256;
}

int Write(const char* fileName, int fd, const ImageHeader* header, const PaletteEntry* palette,
          const unsigned char* data, const char*)
{
    if (header->bpp != 1)
        return CODEC_ERR_BPP;
    char name[kMaxNameLength + 2];
    NameFromFile(fileName, name);
    std::unique_ptr<CodecWriter> out(new (std::nothrow) CodecWriter(fd));
    if (!out)
        return CODEC_ERR_MEMORY;
    char text[2 * kMaxNameLength + 64];
    int n = std::snprintf(text, sizeof(text), "#define %s_width %d\n#define %s_height %d\nstatic char %s_bits[] = {\n",
                          name, int(header->width), name, int(header->height), name);
    out->Write(text, size_t(n));

    static const char hex[] = "0123456789abcdef";
    uint8_t invert = Luminance(palette[0]) < Luminance(palette[1]) ? 0xFF : 0x00;
    size_t stride = codec_stride(header->width, 1), rowBytes = (size_t(header->width) + 7) / 8;
    unsigned char lastMask = uint8_t(0xFF00u >> (header->width % 8 ? header->width % 8 : 8));
    uint64_t total = rowBytes * uint64_t(header->height), done = 0;
    // One text line: "   0x00, " per value.
    char line[kValuesPerLine * 6 + 8];
    size_t used = 0;
    for (int32_t y = header->height - 1; y >= 0 && !out->Failed(); --y) {
        const unsigned char* row = data + size_t(y) * stride;
        for (size_t i = 0; i < rowBytes; ++i) {
            uint8_t b = row[i] ^ invert;
            if (i + 1 == rowBytes)
                b &= lastMask;
            b = kReverse.table[b];
            if (done % kValuesPerLine == 0) {
                std::memcpy(line, "  ", 2);
                used = 2;
            }
            line[used++] = ' ';
            line[used++] = '0';
            line[used++] = 'x';
            line[used++] = hex[b >> 4];
            line[used++] = hex[b & 15];
            ++done;
            if (done == total) {
                std::memcpy(line + used, "};\n", 3);
                out->Write(line, used + 3);
            } else if (done % kValuesPerLine == 0) {
                std::memcpy(line + used, ",\n", 2);
                out->Write(line, used + 2);
            } else {
                line[used++] = ',';
            }
        }
    }
    return out->Finish();
}

int Query(FormatInfo* info)
{
    return codec_query_format(kFormatXbm, info);
}

const char* ErrorText(int code)
{
    return codec_error_text(kFormatXbm, code);
}

} // namespace

const CodecFormat codec_xbitmap_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
