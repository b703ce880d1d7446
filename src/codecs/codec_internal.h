// Shared by the format codecs: the table entry, option parsing, buffered file access and limits.
#pragma once
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "codecs/codec.h"

struct CodecFormat {
    int (*query)(FormatInfo* info);
    int (*read_header)(const char* fileName, int fd, ImageHeader* header, const char* options);
    int (*read_palette)(int fd, ImageHeader* header, PaletteEntry* palette);
    int (*read_data)(int fd, ImageHeader* header, unsigned char* data);
    int (*write)(const char* fileName, int fd, const ImageHeader* header, const PaletteEntry* palette,
                 const unsigned char* data, const char* options);
    const char* (*error_text)(int code);
};

// Each codec defines its entry (one source file per format).
extern const CodecFormat codec_bitmap_format;
extern const CodecFormat codec_gif_format;
extern const CodecFormat codec_pcx_format;
extern const CodecFormat codec_tiff_format;
extern const CodecFormat codec_targa_format;
extern const CodecFormat codec_ilbm_format;
extern const CodecFormat codec_yuv12c_format;
extern const CodecFormat codec_greymap_format;
extern const CodecFormat codec_pixmap_format;
extern const CodecFormat codec_kips_format;
extern const CodecFormat codec_iax_format;
extern const CodecFormat codec_xbitmap_format;
extern const CodecFormat codec_sprite_format;
extern const CodecFormat codec_pseg_format;
extern const CodecFormat codec_gemras_format;
extern const CodecFormat codec_portrait_format;
extern const CodecFormat codec_jpeg_format;

// The largest picture a reader allocates for (a 32-bit process must still hold it twice).
constexpr size_t CODEC_MAX_IMAGE_BYTES = size_t(256) << 20;
constexpr int32_t CODEC_MAX_DIMENSION = 65535;

// 0 when width × height × bpp fits the limits, else CODEC_ERR_SIZE.
int codec_check_size(int64_t width, int64_t height, int32_t bpp);

// The format's private state inside ImageHeader::priv.
template <class T>
T* codec_private(ImageHeader* header)
{
    static_assert(sizeof(T) <= CODEC_PRIVATE_SIZE, "codec state too large for the header's private area");
    static_assert(std::is_trivially_copyable<T>::value, "codec state must be plain data");
    return reinterpret_cast<T*>(header->priv);
}
template <class T>
const T* codec_private(const ImageHeader* header)
{
    return reinterpret_cast<const T*>(header->priv);
}

// Option text: tokens separated by blanks, tabs or commas, compared without regard to case.
// The text is copied into a work buffer of CODEC_WORK_BUFFER bytes; a longer text is refused.
class CodecOptions
{
public:
    // Returns CODEC_OK, or CODEC_ERR_OPTIONS when the text does not fit the work buffer.
    int Parse(const char* text);
    bool Flag(const char* name) const;
    // The first token that begins with name ("quality="): its text after the name, or null.
    const char* Text(const char* name) const;
    // The decimal number after the name; false when the option is absent or has no number.
    bool Number(const char* name, long* value) const;
    // Counts how many of the flags are present (for mutually exclusive options).
    int CountFlags(std::initializer_list<const char*> names) const;

private:
    char m_buffer[CODEC_WORK_BUFFER] = {};
    const char* m_tokens[CODEC_WORK_BUFFER / 2 + 1] = {};
    int m_count = 0;
};

bool codec_equal_nocase(const char* a, const char* b);

// Buffered reading through codec_io_read. A short read is remembered; callers check Failed()
// (or the return values) and answer CODEC_ERR_READ.
class CodecReader
{
public:
    explicit CodecReader(int fd) : m_fd(fd) {}
    bool Seek(long position);              // absolute; drops the buffer
    long Tell() const { return m_base + static_cast<long>(m_pos); }
    size_t Read(void* out, size_t count);  // what could be read
    bool ReadExact(void* out, size_t count) { return Read(out, count) == count; }
    int Byte();                            // -1 at end of file
    bool Skip(size_t count);
    bool U16le(uint16_t* v);
    bool U32le(uint32_t* v);
    bool U16be(uint16_t* v);
    bool U32be(uint32_t* v);
    bool AtEnd();

private:
    bool Fill();
    int m_fd;
    long m_base = 0;      // file position of m_buffer[0]
    size_t m_pos = 0, m_len = 0;
    bool m_eof = false;
    unsigned char m_buffer[65536];
};

// Buffered writing through codec_io_write; the first failure sticks.
class CodecWriter
{
public:
    explicit CodecWriter(int fd) : m_fd(fd) {}
    ~CodecWriter() { Flush(); }
    void Write(const void* data, size_t count);
    void Byte(unsigned value) { unsigned char b = static_cast<unsigned char>(value); Write(&b, 1); }
    void U16le(unsigned v) { unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)}; Write(b, 2); }
    void U32le(uint32_t v) { unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; Write(b, 4); }
    void U16be(unsigned v) { unsigned char b[2] = {uint8_t(v >> 8), uint8_t(v)}; Write(b, 2); }
    void U32be(uint32_t v) { unsigned char b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; Write(b, 4); }
    bool Flush();
    bool Failed() const { return m_failed; }
    // CODEC_OK after a successful flush, else CODEC_ERR_WRITE.
    int Finish() { return Flush() && !m_failed ? CODEC_OK : CODEC_ERR_WRITE; }

private:
    int m_fd;
    bool m_failed = false;
    size_t m_len = 0;
    unsigned char m_buffer[65536];
};

// A reader on the heap (its 64 KiB buffer is no stack object); null when memory runs out.
inline std::unique_ptr<CodecReader> codec_open_reader(int fd)
{
    return std::unique_ptr<CodecReader>(new (std::nothrow) CodecReader(fd));
}

// n value-initialised elements, or false when memory runs out.
template <class T>
bool codec_allocate(std::vector<T>& v, size_t n)
{
    try {
        v.assign(n, T());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// The palette and data readers work only on the header their own header reader filled in: the
// state it left (tag, width, height, bpp) must still match the caller's header.
template <class State>
int codec_check_state(const ImageHeader* header, const State* s, uint32_t tag)
{
    if (s->tag != tag)
        return CODEC_ERR_ARGUMENT;
    if (header->width != s->width || header->height != s->height || header->bpp != s->bpp)
        return CODEC_ERR_SIZE;
    return CODEC_OK;
}

inline unsigned codec_be16(const unsigned char* p)
{
    return (unsigned(p[0]) << 8) | p[1];
}
