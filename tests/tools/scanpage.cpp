// The photograph-like page of the TWAIN source stand-in, for the benchmarks:
//   scanpage WIDTH HEIGHT OUT.ppm          writes it as a binary PPM (for the peer tools)
//   scanpage WIDTH HEIGHT --jpeg OUT.jpg   times our JPEG writer alone on it, held in memory as
//                                          the scanner hands it over (bottom-up blue-green-red rows)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/codec.h"
#include "standins/twain_pattern.h"

namespace {

int WritePpm(int w, int h, const char* out)
{
    FILE* f = std::fopen(out, "wb");
    if (f == nullptr)
        return 1;
    std::fprintf(f, "P6\n%d %d\n255\n", w, h);
    std::vector<unsigned char> row(size_t(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const ScanRgb c = ScanPhotoPixel(x, y);
            row[3 * x] = c.r;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.b;
        }
        std::fwrite(row.data(), 1, row.size(), f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

int TimeJpeg(int w, int h, const char* out)
{
    const size_t stride = ((size_t(w) * 24 + 31) / 32) * 4;
    std::vector<unsigned char> rows(stride * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const ScanRgb c = ScanPhotoPixel(x, y);
            unsigned char* p = rows.data() + size_t(h - 1 - y) * stride + size_t(x) * 3;
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
    ImageHeader header = {};
    header.width = w;
    header.height = h;
    header.bpp = 24;
    PaletteEntry palette[256] = {};
    int format = 0;
    if (codec_guess_format(out, &format) != CODEC_OK)
        return 1;
    std::vector<double> ms;
    for (int run = 0; run < 7; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = codec_io_create(out, codec_mode_write_binary());
        const int rc = fd >= 0 ? codec_write(out, fd, format, &header, palette, rows.data(), "") : CODEC_ERR_WRITE;
        if (fd >= 0)
            codec_io_close(fd);
        if (rc != CODEC_OK)
            return 1;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.0f\n", ms[ms.size() / 2]);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int w = argc > 2 ? std::atoi(argv[1]) : 0, h = argc > 2 ? std::atoi(argv[2]) : 0;
    if (w <= 0 || h <= 0 || w > 20000 || h > 20000 || (argc != 4 && argc != 5)) {
        std::fprintf(stderr, "usage: scanpage WIDTH HEIGHT OUT.ppm | scanpage WIDTH HEIGHT --jpeg OUT.jpg\n");
        return 2;
    }
    if (argc == 5 && std::strcmp(argv[3], "--jpeg") == 0)
        return TimeJpeg(w, h, argv[4]);
    return WritePpm(w, h, argv[3]);
}
