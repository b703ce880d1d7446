// The X bitmap reader on arbitrary files; a picture it accepts must survive our writer and
// reader unchanged (colour for colour).
#include "fuzz_reader.h"

namespace {

constexpr int kFormat = 11;

PaletteEntry Colour(const ImageHeader& h, const std::vector<PaletteEntry>& palette,
                    const std::vector<unsigned char>& rows, int x, int y)
{
    const unsigned char* r = rows.data() + size_t(y) * codec_stride(h.width, h.bpp);
    if (h.bpp == 24)
        return PaletteEntry{r[3 * x + 2], r[3 * x + 1], r[3 * x]};
    unsigned i = h.bpp == 8 ? r[x] : h.bpp == 4 ? (r[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (r[x / 8] >> (7 - x % 8)) & 1;
    return palette[i];
}

void RoundTrip(const ImageHeader& h, const std::vector<PaletteEntry>& palette, const std::vector<unsigned char>& rows)
{
    std::vector<unsigned char> file;
    {
        memio::Scope io;
        int fd = io.Add(nullptr, 0);
        if (codec_write("fuzz", fd, kFormat, &h, palette.data(), rows.data(), "") != 0)
            __builtin_trap();
        file = io.Data(fd);
    }
    ImageHeader h2;
    std::vector<PaletteEntry> palette2;
    std::vector<unsigned char> rows2;
    if (memio::ReadPicture(kFormat, file.data(), file.size(), "", h2, palette2, rows2) != 0 || h2.width != h.width ||
        h2.height != h.height)
        __builtin_trap();
    for (int y = 0; y < h.height; ++y)
        for (int x = 0; x < h.width; ++x) {
            PaletteEntry a = Colour(h, palette, rows, x, y), b = Colour(h2, palette2, rows2, x, y);
            if (a.red != b.red || a.green != b.green || a.blue != b.blue)
                __builtin_trap();
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Headers that promise huge pictures are only read as far as the header: the data readers
    // work a row at a time, and filling hundreds of megabytes would starve the search.
    ImageHeader h;
    {
        memio::Scope io;
        int fd = io.Add(data, size);
        if (codec_read_header("fuzz", fd, kFormat, &h, "") != 0 ||
            codec_stride(h.width, h.bpp) * size_t(h.height) > (size_t(8) << 20))
            return 0;
    }
    std::vector<PaletteEntry> palette;
    std::vector<unsigned char> rows;
    if (memio::ReadPicture(kFormat, data, size, "", h, palette, rows) == 0 && int64_t(h.width) * h.height <= 65536)
        RoundTrip(h, palette, rows);
    return 0;
}
