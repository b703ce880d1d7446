// The PSEG reader, with and without fixrec. A picture that reads and fits the writer's limits is
// written back and must read back the same.
#include <cstdlib>

#include "fuzz_reader.h"

namespace {

void ReadWriteRead(const uint8_t* data, size_t size, const char* options)
{
    ImageHeader h;
    std::vector<PaletteEntry> pal;
    std::vector<unsigned char> rows;
    if (memio::ReadPicture(13, data, size, options, h, pal, rows) != 0 || h.width > 2400 || h.height > 2400)
        return;
    std::vector<unsigned char> file;
    {
        memio::Scope io;
        int fd = io.Add(nullptr, 0);
        if (codec_write("f.pse", fd, 13, &h, pal.data(), rows.data(), "") != 0)
            std::abort();
        file = io.Data(fd);
    }
    ImageHeader h2;
    std::vector<PaletteEntry> pal2;
    std::vector<unsigned char> rows2;
    if (memio::ReadPicture(13, file.data(), file.size(), "", h2, pal2, rows2) != 0 || h2.width != h.width ||
        h2.height != h.height || rows2 != rows)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadWriteRead(data, size, "");
    ReadWriteRead(data, size, "fixrec");
    return 0;
}
