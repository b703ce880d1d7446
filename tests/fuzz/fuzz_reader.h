// One fuzz target per reader: the input is a whole file, read through the in-memory I/O layer
// header, palette and data, as the bitmap object reads a picture. Pictures whose rows would take
// more than 16 MiB stop after the header: zeroing such buffers for every input would slow the
// fuzzer to a crawl without reaching any other code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../support/memio.h"

inline int FuzzReader(int format, const uint8_t* data, size_t size, const char* options = "")
{
    memio::Scope io;
    int fd = io.Add(data, size);
    ImageHeader header;
    if (codec_read_header("fuzz", fd, format, &header, options) != 0)
        return 0;
    if (header.width <= 0 || header.height <= 0 || header.bpp <= 0)
        return 0;
    const size_t bytes = codec_stride(header.width, header.bpp) * size_t(header.height);
    if (bytes > (size_t(16) << 20))
        return 0;
    std::vector<PaletteEntry> palette(256);
    std::vector<unsigned char> rows(bytes);
    if (codec_read_palette(fd, format, &header, palette.data()) != 0)
        return 0;
    codec_read_data(fd, format, &header, rows.data());
    return 0;
}

// The colour of one pixel of a picture in the codec's row layout.
inline PaletteEntry Colour(const ImageHeader& h, const std::vector<PaletteEntry>& palette,
                           const std::vector<unsigned char>& rows, int x, int y)
{
    const unsigned char* r = rows.data() + size_t(y) * codec_stride(h.width, h.bpp);
    if (h.bpp == 24)
        return PaletteEntry{r[3 * x + 2], r[3 * x + 1], r[3 * x]};
    unsigned i = h.bpp == 8 ? r[x] : h.bpp == 4 ? (r[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (r[x / 8] >> (7 - x % 8)) & 1;
    return palette[i];
}

// A picture the reader accepted must survive our writer and reader unchanged, colour for colour.
inline void RoundTrip(int format, const ImageHeader& h, const std::vector<PaletteEntry>& palette,
                      const std::vector<unsigned char>& rows)
{
    std::vector<unsigned char> file;
    {
        memio::Scope io;
        int fd = io.Add(nullptr, 0);
        if (codec_write("fuzz", fd, format, &h, palette.data(), rows.data(), "") != 0)
            __builtin_trap();
        file = io.Data(fd);
    }
    ImageHeader h2;
    std::vector<PaletteEntry> palette2;
    std::vector<unsigned char> rows2;
    if (memio::ReadPicture(format, file.data(), file.size(), "", h2, palette2, rows2) != 0 || h2.width != h.width ||
        h2.height != h.height)
        __builtin_trap();
    for (int y = 0; y < h.height; ++y)
        for (int x = 0; x < h.width; ++x) {
            PaletteEntry a = Colour(h, palette, rows, x, y), b = Colour(h2, palette2, rows2, x, y);
            if (a.red != b.red || a.green != b.green || a.blue != b.blue)
                __builtin_trap();
        }
}

// The reader on an arbitrary file, then the write-back check for the small pictures it accepts.
inline int FuzzReaderAndRoundTrip(int format, const uint8_t* data, size_t size)
{
    // Headers that promise huge pictures are only read as far as the header: the data readers
    // work a row at a time, and filling hundreds of megabytes would starve the search.
    ImageHeader h;
    {
        memio::Scope io;
        int fd = io.Add(data, size);
        if (codec_read_header("fuzz", fd, format, &h, "") != 0 ||
            codec_stride(h.width, h.bpp) * size_t(h.height) > (size_t(8) << 20))
            return 0;
    }
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    if (memio::ReadPicture(format, data, size, "", h, palette, rows) == 0 && int64_t(h.width) * h.height <= 65536)
        RoundTrip(format, h, palette, rows);
    return 0;
}
