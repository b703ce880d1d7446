#include "picture/ViewScale.h"

#include <new>

#include "picture/PixelOps.h"

bool ScalePixelsForView(const uint8_t* src, int32_t w, int32_t h, int32_t nw, int32_t nh, std::vector<uint8_t>& out)
{
    if (src == nullptr || w <= 0 || h <= 0 || nw <= 0 || nh <= 0)
        return false;
    if (nw > w || nh > h)
        return StretchPixels24(src, w, h, -1, -1, -1, -1, nw, nh, out);
    const size_t stride = DibStride(w, 24), newStride = DibStride(nw, 24);
    try {
        out.assign(newStride * size_t(nh), 0);
        // The samples of each shown pixel: a quarter and three quarters into the area it covers.
        std::vector<int32_t> x0(nw), x1(nw);
        for (int32_t x = 0; x < nw; ++x) {
            x0[x] = 3 * int32_t((int64_t(4 * x + 1) * w) / (4 * int64_t(nw)));
            x1[x] = 3 * int32_t((int64_t(4 * x + 3) * w) / (4 * int64_t(nw)));
        }
        for (int32_t y = 0; y < nh; ++y) {
            const uint8_t* r0 = src + stride * size_t((int64_t(4 * y + 1) * h) / (4 * int64_t(nh)));
            const uint8_t* r1 = src + stride * size_t((int64_t(4 * y + 3) * h) / (4 * int64_t(nh)));
            uint8_t* d = out.data() + newStride * size_t(y);
            for (int32_t x = 0; x < nw; ++x, d += 3) {
                const int32_t a = x0[x], b = x1[x];
                for (int c = 0; c < 3; ++c)
                    d[c] = uint8_t((r0[a + c] + r0[b + c] + r1[a + c] + r1[b + c] + 2) / 4);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
