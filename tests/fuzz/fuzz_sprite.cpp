// The Sprite reader, first and second sprite. A sprite that reads is written back and must read
// back the same: our writer and reader agree on every picture the reader produces.
#include <cstdlib>

#include "fuzz_reader.h"

namespace {

void ReadWriteRead(const uint8_t* data, size_t size, const char* options)
{
    ImageHeader h;
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    if (memio::ReadPicture(12, data, size, options, h, pal, rows) != 0)
        return;
    std::vector<unsigned char> file;
    {
        memio::Scope io;
        int fd = io.Add(nullptr, 0);
        if (codec_write("f.spr", fd, 12, &h, pal.data(), rows.data(), "") != 0)
            std::abort();
        file = io.Data(fd);
    }
    ImageHeader h2;
    std::vector<PaletteEntry> pal2;
    std::vector<unsigned char> rows2;
    if (memio::ReadPicture(12, file.data(), file.size(), "", h2, pal2, rows2) != 0 || h2.width != h.width ||
        h2.height != h.height || h2.bpp != h.bpp || rows2 != rows)
        std::abort();
    for (int i = 0; i < (1 << h.bpp); ++i)
        if (pal[i].red != pal2[i].red || pal[i].green != pal2[i].green || pal[i].blue != pal2[i].blue)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadWriteRead(data, size, "");
    ReadWriteRead(data, size, "index=1");
    return 0;
}
