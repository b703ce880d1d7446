// Writes the photograph-like page of the TWAIN source stand-in as a binary PPM, so that the
// benchmarks encode exactly the pixels a scan hands over.  scanpage WIDTH HEIGHT OUT.ppm
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "standins/twain_pattern.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: scanpage WIDTH HEIGHT OUT.ppm\n");
        return 2;
    }
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]);
    if (w <= 0 || h <= 0 || w > 20000 || h > 20000)
        return 2;
    FILE* f = std::fopen(argv[3], "wb");
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
