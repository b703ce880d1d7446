// The KIPS reader. In memory its palette file cannot be opened, so the picture file is fuzzed up to
// that point; inputs starting with 'P' are instead a palette file, put beside a fixed picture in a
// scratch folder and read through the platform's files, as PAL and as KPL.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "fuzz_reader.h"

namespace {

char g_folder[] = "/tmp/trel-fuzz-kips-XXXXXX";  // plain storage: still there when atexit runs

void RemoveFolder()
{
    for (const char* name : {"/p.kps", "/p.pal", "/p.kpl"})
        std::remove((std::string(g_folder) + name).c_str());
    rmdir(g_folder);
}

const std::string& Folder()
{
    static const std::string dir = [] {
        if (mkdtemp(g_folder) == nullptr)
            std::abort();
        std::atexit(RemoveFolder);
        std::string s = g_folder;
        const unsigned char picture[32 + 6] = {'D', 'F', 'I', 'M', 'A', 'G', '0', '0', 3, 0, 2, 0};
        FILE* f = std::fopen((s + "/p.kps").c_str(), "wb");
        if (f == nullptr || std::fwrite(picture, 1, sizeof(picture), f) != sizeof(picture) || std::fclose(f) != 0)
            std::abort();
        return s;
    }();
    return dir;
}

void Save(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();
}

void ReadWithPalette(const char* options)
{
    const std::string picture = Folder() + "/p.kps";
    int fd = codec_io_open(picture.c_str(), codec_mode_read_binary());
    if (fd < 0)
        std::abort();
    ImageHeader h;
    std::vector<PaletteEntry> pal(256);
    std::vector<unsigned char> rows(16);
    if (codec_read_header(picture.c_str(), fd, 9, &h, options) == 0 &&
        codec_read_palette(fd, 9, &h, pal.data()) == 0)
        codec_read_data(fd, 9, &h, rows.data());
    codec_io_close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0 && data[0] == 'P') {
        Save(Folder() + "/p.pal", data + 1, size - 1);
        Save(Folder() + "/p.kpl", data + 1, size - 1);
        ReadWithPalette("");
        ReadWithPalette("kpl");
        return 0;
    }
    FuzzReader(9, data, size);
    return FuzzReader(9, data, size, "kpl");
}
