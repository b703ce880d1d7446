// One fuzz target per reader: the input is a whole file, read through the in-memory I/O layer
// header, palette and data, as the bitmap object reads a picture. Pictures whose rows would take
// more than 16 MiB stop after the header: zeroing such buffers for every input would slow the
// fuzzer to a crawl without reaching any other code.
#pragma once
#include <cstddef>
#include <cstdint>

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
