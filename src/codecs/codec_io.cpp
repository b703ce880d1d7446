// The replaceable I/O layer, option parsing and buffered file access shared by the codecs.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

#include "codecs/codec_internal.h"

#ifdef _WIN32
#include <io.h>
#define TREL_OPEN _open
#define TREL_CLOSE _close
#define TREL_LSEEK _lseek
#define TREL_READ _read
#define TREL_WRITE _write
#define TREL_PERMS (_S_IREAD | _S_IWRITE)
#else
#include <unistd.h>
#define TREL_OPEN open
#define TREL_CLOSE close
#define TREL_LSEEK lseek
#define TREL_READ read
#define TREL_WRITE write
#define TREL_PERMS 0666
#ifndef O_BINARY
#define O_BINARY 0
#endif
#endif

namespace {

int PlatformOpen(const char* name, int mode)
{
    return name ? TREL_OPEN(name, mode) : -1;
}
int PlatformCreate(const char* name, int mode)
{
    return name ? TREL_OPEN(name, mode | O_CREAT | O_TRUNC, TREL_PERMS) : -1;
}
int PlatformClose(int fd)
{
    return TREL_CLOSE(fd);
}
long PlatformSeek(int fd, long position, int origin)
{
    return static_cast<long>(TREL_LSEEK(fd, position, origin));
}
int PlatformRead(int fd, void* buffer, unsigned count)
{
    return static_cast<int>(TREL_READ(fd, buffer, count));
}
int PlatformWrite(int fd, const void* buffer, unsigned count)
{
    return static_cast<int>(TREL_WRITE(fd, buffer, count));
}

} // namespace

int (*codec_io_open)(const char*, int) = PlatformOpen;
int (*codec_io_create)(const char*, int) = PlatformCreate;
int (*codec_io_close)(int) = PlatformClose;
long (*codec_io_seek)(int, long, int) = PlatformSeek;
int (*codec_io_read)(int, void*, unsigned) = PlatformRead;
int (*codec_io_write)(int, const void*, unsigned) = PlatformWrite;

void codec_io_reset(void)
{
    codec_io_open = PlatformOpen;
    codec_io_create = PlatformCreate;
    codec_io_close = PlatformClose;
    codec_io_seek = PlatformSeek;
    codec_io_read = PlatformRead;
    codec_io_write = PlatformWrite;
}

int codec_mode_read_binary(void)
{
    return O_RDONLY | O_BINARY;
}

int codec_mode_write_binary(void)
{
    return O_WRONLY | O_BINARY;
}

// ---- options ----

int CodecOptions::Parse(const char* text)
{
    m_count = 0;
    m_buffer[0] = '\0';
    if (text == nullptr)
        return CODEC_OK;
    size_t len = std::strlen(text);
    if (len >= sizeof(m_buffer))
        return CODEC_ERR_OPTIONS;
    std::memcpy(m_buffer, text, len + 1);
    for (char* p = m_buffer; *p;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            *p++ = '\0';
        if (*p == '\0')
            break;
        m_tokens[m_count++] = p;
        while (*p && *p != ' ' && *p != '\t' && *p != ',')
            ++p;
    }
    return CODEC_OK;
}

bool CodecOptions::Flag(const char* name) const
{
    for (int i = 0; i < m_count; ++i)
        if (codec_equal_nocase(m_tokens[i], name))
            return true;
    return false;
}

const char* CodecOptions::Text(const char* name) const
{
    size_t n = std::strlen(name);
    for (int i = 0; i < m_count; ++i) {
        const char* t = m_tokens[i];
        size_t k = 0;
        while (k < n && t[k] && std::tolower(static_cast<unsigned char>(t[k])) ==
                                    std::tolower(static_cast<unsigned char>(name[k])))
            ++k;
        if (k == n)
            return t + n;
    }
    return nullptr;
}

bool CodecOptions::Number(const char* name, long* value) const
{
    const char* t = Text(name);
    if (t == nullptr)
        return false;
    const char* p = t;
    if (*p == '-' || *p == '+')
        ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return false;
    char* end = nullptr;
    long v = std::strtol(t, &end, 10);
    *value = v;
    return true;
}

int CodecOptions::CountFlags(std::initializer_list<const char*> names) const
{
    int n = 0;
    for (const char* name : names)
        n += Flag(name) ? 1 : 0;
    return n;
}

// ---- buffered access ----

bool CodecReader::Fill()
{
    if (m_eof)
        return false;
    m_base += static_cast<long>(m_len);
    m_pos = 0;
    m_len = 0;
    int n = codec_io_read(m_fd, m_buffer, sizeof(m_buffer));
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_len = static_cast<size_t>(n);
    return true;
}

bool CodecReader::Seek(long position)
{
    if (position < 0)
        return false;
    // Inside what is buffered already: no system call. A reader that has read nothing yet does
    // not know where the file stands, so it always seeks.
    if (m_len > 0 && position >= m_base && position <= m_base + static_cast<long>(m_len)) {
        m_pos = static_cast<size_t>(position - m_base);
        return true;
    }
    if (codec_io_seek(m_fd, position, SEEK_SET) != position)
        return false;
    m_base = position;
    m_pos = m_len = 0;
    m_eof = false;
    return true;
}

size_t CodecReader::Read(void* out, size_t count)
{
    unsigned char* dst = static_cast<unsigned char*>(out);
    size_t done = 0;
    while (done < count) {
        if (m_pos == m_len && !Fill())
            break;
        size_t n = m_len - m_pos;
        if (n > count - done)
            n = count - done;
        std::memcpy(dst + done, m_buffer + m_pos, n);
        m_pos += n;
        done += n;
    }
    return done;
}

int CodecReader::Byte()
{
    if (m_pos == m_len && !Fill())
        return -1;
    return m_buffer[m_pos++];
}

bool CodecReader::Skip(size_t count)
{
    while (count > 0) {
        if (m_pos == m_len && !Fill())
            return false;
        size_t n = m_len - m_pos;
        if (n > count)
            n = count;
        m_pos += n;
        count -= n;
    }
    return true;
}

bool CodecReader::AtEnd()
{
    return m_pos == m_len && !Fill();
}

bool CodecReader::U16le(uint16_t* v)
{
    unsigned char b[2];
    if (!ReadExact(b, 2))
        return false;
    *v = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool CodecReader::U32le(uint32_t* v)
{
    unsigned char b[4];
    if (!ReadExact(b, 4))
        return false;
    *v = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
    return true;
}

bool CodecReader::U16be(uint16_t* v)
{
    unsigned char b[2];
    if (!ReadExact(b, 2))
        return false;
    *v = static_cast<uint16_t>((b[0] << 8) | b[1]);
    return true;
}

bool CodecReader::U32be(uint32_t* v)
{
    unsigned char b[4];
    if (!ReadExact(b, 4))
        return false;
    *v = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
    return true;
}

void CodecWriter::Write(const void* data, size_t count)
{
    const unsigned char* src = static_cast<const unsigned char*>(data);
    while (count > 0 && !m_failed) {
        if (m_len == sizeof(m_buffer) && !Flush())
            return;
        size_t n = sizeof(m_buffer) - m_len;
        if (n > count)
            n = count;
        std::memcpy(m_buffer + m_len, src, n);
        m_len += n;
        src += n;
        count -= n;
    }
}

bool CodecWriter::Flush()
{
    if (m_failed)
        return false;
    size_t done = 0;
    while (done < m_len) {
        int n = codec_io_write(m_fd, m_buffer + done, static_cast<unsigned>(m_len - done));
        if (n <= 0) {
            m_failed = true;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    m_len = 0;
    return true;
}
