// One fuzz target per reader: the input is a whole file, read through the in-memory I/O layer
// header, palette and data, as the bitmap object reads a picture.
#pragma once
#include <cstddef>
#include <cstdint>

#include "../support/memio.h"

inline int FuzzReader(int format, const uint8_t* data, size_t size, const char* options = "")
{
    ImageHeader header;
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    memio::ReadPicture(format, data, size, options, header, palette, rows);
    return 0;
}
