// In-memory files behind the codecs' replaceable I/O layer, for fuzzing and for tests that
// must see exactly what a codec reads and writes.
#pragma once
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "codecs/codec.h"

namespace memio {

struct File {
    std::vector<unsigned char> data;
    size_t pos = 0;
    long writeLimit = -1;  // bytes a write may still take before it fails (-1: no limit)
};

inline std::map<int, File>& Files()
{
    static std::map<int, File> files;
    return files;
}

inline int Open(const char*, int) { return -1; }
inline int Create(const char*, int) { return -1; }
inline int Close(int fd) { return Files().erase(fd) ? 0 : -1; }
inline long Seek(int fd, long position, int origin)
{
    auto it = Files().find(fd);
    if (it == Files().end())
        return -1;
    long base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? long(it->second.pos) : long(it->second.data.size());
    long p = base + position;
    if (p < 0)
        return -1;
    it->second.pos = size_t(p);
    return p;
}
inline int Read(int fd, void* buffer, unsigned count)
{
    auto it = Files().find(fd);
    if (it == Files().end())
        return -1;
    File& f = it->second;
    if (f.pos >= f.data.size())
        return 0;
    size_t n = std::min<size_t>(count, f.data.size() - f.pos);
    std::memcpy(buffer, f.data.data() + f.pos, n);
    f.pos += n;
    return int(n);
}
inline int Write(int fd, const void* buffer, unsigned count)
{
    auto it = Files().find(fd);
    if (it == Files().end())
        return -1;
    File& f = it->second;
    if (f.writeLimit >= 0 && long(count) > f.writeLimit)
        count = unsigned(f.writeLimit);
    if (f.writeLimit >= 0)
        f.writeLimit -= count;
    if (count == 0)
        return -1;
    if (f.pos + count > f.data.size())
        f.data.resize(f.pos + count);
    std::memcpy(f.data.data() + f.pos, buffer, count);
    f.pos += count;
    return int(count);
}

// Installs the in-memory layer; restores the platform's calls when it goes out of scope.
struct Scope {
    // Scopes nest (a helper may open its own inside a test's): only the outermost one installs
    // and removes the layer, so an inner one never hands the codecs back to real files.
    static int& Depth()
    {
        static int depth = 0;
        return depth;
    }
    Scope()
    {
        if (Depth()++ > 0)
            return;
        codec_io_open = Open;
        codec_io_create = Create;
        codec_io_close = Close;
        codec_io_seek = Seek;
        codec_io_read = Read;
        codec_io_write = Write;
    }
    ~Scope()
    {
        if (--Depth() > 0)
            return;
        Files().clear();
        codec_io_reset();
    }
    // A new in-memory file holding the bytes; returns its handle.
    int Add(const unsigned char* data, size_t size, long writeLimit = -1)
    {
        int fd = 3;
        while (Files().count(fd))
            ++fd;
        File& f = Files()[fd];
        f.data.assign(data, data + size);
        f.writeLimit = writeLimit;
        return fd;
    }
    int Add(const std::vector<unsigned char>& data) { return Add(data.data(), data.size()); }
    std::vector<unsigned char>& Data(int fd) { return Files()[fd].data; }
};

// Reads a whole picture from an in-memory file; 0 and the rows on success.
inline int ReadPicture(int format, const unsigned char* bytes, size_t size, const char* options, ImageHeader& header,
                       std::vector<PaletteEntry>& palette, std::vector<unsigned char>& rows,
                       const char* fileName = "memory")
{
    Scope io;
    int fd = io.Add(bytes, size);
    int rc = codec_read_header(fileName, fd, format, &header, options);
    if (rc != 0)
        return rc;
    if (header.width <= 0 || header.height <= 0)
        return -1;
    palette.assign(256, PaletteEntry{0, 0, 0});
    rc = codec_read_palette(fd, format, &header, palette.data());
    if (rc != 0)
        return rc;
    rows.assign(codec_stride(header.width, header.bpp) * size_t(header.height), 0);
    return codec_read_data(fd, format, &header, rows.data());
}

} // namespace memio
