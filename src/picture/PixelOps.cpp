#include "picture/PixelOps.h"

#include <cmath>
#include <cstring>
#include <new>

namespace {

bool Allocate(std::vector<uint8_t>& out, size_t bytes)
{
    try {
        out.assign(bytes, 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

inline int32_t Clamp(int32_t v, int32_t lo, int32_t hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

} // namespace

bool StretchPixels24(const uint8_t* src, int32_t width, int32_t height, int32_t left, int32_t top, int32_t right,
                     int32_t bottom, int32_t newWidth, int32_t newHeight, std::vector<uint8_t>& out)
{
    if (src == nullptr || width <= 0 || height <= 0 || newWidth <= 0 || newHeight <= 0)
        return false;
    if (left < 0 || top < 0 || right < 0 || bottom < 0 || right >= width || bottom >= height || left >= right ||
        top >= bottom) {
        left = 0;
        top = 0;
        right = width - 1;
        bottom = height - 1;
    }
    const float sx = static_cast<float>(right - left + 1) / static_cast<float>(newWidth);
    const float sy = static_cast<float>(bottom - top + 1) / static_cast<float>(newHeight);
    const int32_t rx = sx > 1.0f ? static_cast<int32_t>(std::floor(sx * 0.5f)) : 0;
    const int32_t ry = sy > 1.0f ? static_cast<int32_t>(std::floor(sy * 0.5f)) : 0;
    const size_t inStride = DibStride(width, 24), outStride = DibStride(newWidth, 24);
    if (!Allocate(out, outStride * static_cast<size_t>(newHeight)))
        return false;

    if (sx == 1.0f && sy == 1.0f) {
        for (int32_t y = 0; y < newHeight; ++y)
            std::memcpy(out.data() + size_t(y) * outStride, src + size_t(y + top) * inStride + size_t(left) * 3,
                        size_t(newWidth) * 3);
        return true;
    }

    if (sx >= 1.0f && sy >= 1.0f) {
        // Window sums in two passes: the window's source rows are added into per-column totals
        // (a straight loop over contiguous bytes), then each pixel adds its window's columns. The
        // integer sums are those of adding the window pixel by pixel.
        const int32_t lo = Clamp(left - rx, 0, width - 1);
        const int32_t hi =
            Clamp(static_cast<int32_t>(sx * static_cast<float>(newWidth - 1)) + left + rx, 0, width - 1);
        const size_t count = size_t(hi - lo + 1) * 3;
        std::vector<uint32_t> columns;
        std::vector<int32_t> firstColumn, lastColumn;
        try {
            columns.resize(count);
            firstColumn.resize(size_t(newWidth));
            lastColumn.resize(size_t(newWidth));
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (int32_t x = 0; x < newWidth; ++x) {
            const int32_t cx = static_cast<int32_t>(sx * static_cast<float>(x)) + left;
            firstColumn[size_t(x)] = Clamp(cx - rx, 0, width - 1);
            lastColumn[size_t(x)] = Clamp(cx + rx, 0, width - 1);
        }
        uint32_t* const sums = columns.data();
        for (int32_t y = 0; y < newHeight; ++y) {
            const int32_t cy = static_cast<int32_t>(sy * static_cast<float>(y)) + top;
            const int32_t y0 = Clamp(cy - ry, 0, height - 1), y1 = Clamp(cy + ry, 0, height - 1);
            const uint8_t* first = src + size_t(y0) * inStride + size_t(lo) * 3;
            for (size_t i = 0; i < count; ++i)
                sums[i] = first[i];
            for (int32_t yy = y0 + 1; yy <= y1; ++yy) {
                const uint8_t* p = src + size_t(yy) * inStride + size_t(lo) * 3;
                for (size_t i = 0; i < count; ++i)
                    sums[i] += p[i];
            }
            const uint32_t rows = uint32_t(y1 - y0 + 1);
            uint8_t* dst = out.data() + size_t(y) * outStride;
            for (int32_t x = 0; x < newWidth; ++x, dst += 3) {
                const int32_t x0 = firstColumn[size_t(x)], x1 = lastColumn[size_t(x)];
                uint32_t sb = 0, sg = 0, sr = 0;
                for (const uint32_t* c = sums + size_t(x0 - lo) * 3; c <= sums + size_t(x1 - lo) * 3; c += 3) {
                    sb += c[0];
                    sg += c[1];
                    sr += c[2];
                }
                const uint32_t n = rows * uint32_t(x1 - x0 + 1);
                dst[0] = uint8_t(sb / n);
                dst[1] = uint8_t(sg / n);
                dst[2] = uint8_t(sr / n);
            }
        }
        return true;
    }

    // Enlarging in at least one direction: bilinear. A source one pixel wide or high would put
    // the second neighbour outside the picture; neighbours are kept inside it.
    for (int32_t y = 0; y < newHeight; ++y) {
        float v = static_cast<float>(top) + sy * static_cast<float>(y);
        if (v < static_cast<float>(top))
            v = static_cast<float>(top);
        if (v >= static_cast<float>(bottom))
            v = static_cast<float>(bottom - 1);
        const int32_t vi = static_cast<int32_t>(std::floor(v));
        const float fv = v - static_cast<float>(vi);
        const int32_t r0 = Clamp(vi, 0, height - 1), r1 = Clamp(vi + 1, 0, height - 1);
        const uint8_t* row0 = src + size_t(r0) * inStride;
        const uint8_t* row1 = src + size_t(r1) * inStride;
        uint8_t* dst = out.data() + size_t(y) * outStride;
        for (int32_t x = 0; x < newWidth; ++x, dst += 3) {
            float u = static_cast<float>(left) + sx * static_cast<float>(x);
            if (u < static_cast<float>(left))
                u = static_cast<float>(left);
            if (u >= static_cast<float>(right))
                u = static_cast<float>(right - 1);
            const int32_t ui = static_cast<int32_t>(std::floor(u));
            const float fu = u - static_cast<float>(ui);
            const int32_t c0 = Clamp(ui, 0, width - 1), c1 = Clamp(ui + 1, 0, width - 1);
            const float w00 = (1.0f - fu) * (1.0f - fv), w10 = fu * (1.0f - fv), w01 = (1.0f - fu) * fv,
                        w11 = fu * fv;
            for (int ch = 0; ch < 3; ++ch) {
                const float value = row0[c0 * 3 + ch] * w00 + row0[c1 * 3 + ch] * w10 + row1[c0 * 3 + ch] * w01 +
                                    row1[c1 * 3 + ch] * w11;
                dst[ch] = static_cast<uint8_t>(value);
            }
        }
    }
    return true;
}

bool RotatePixels24(const uint8_t* src, int32_t width, int32_t height, int degrees, int32_t& newWidth,
                    int32_t& newHeight, std::vector<uint8_t>& out)
{
    if (src == nullptr || width <= 0 || height <= 0)
        return false;
    const double angle = degrees * 0.017453292519444445;
    const double c = std::cos(angle), s = std::sin(angle);
    newWidth = static_cast<int32_t>(std::fabs(c) * width + std::fabs(s) * height);
    newHeight = static_cast<int32_t>(std::fabs(c) * height + std::fabs(s) * width);
    if (newWidth <= 0 || newHeight <= 0)
        return false;
    const size_t inStride = DibStride(width, 24), outStride = DibStride(newWidth, 24);
    if (!Allocate(out, outStride * static_cast<size_t>(newHeight)))
        return false;
    const int32_t halfW = width / 2, halfH = height / 2, halfNewW = newWidth / 2, halfNewH = newHeight / 2;
    for (int32_t j = 0; j < newHeight; ++j) {
        const double yo = j - halfNewH;
        uint8_t* dst = out.data() + size_t(j) * outStride;
        for (int32_t i = 0; i < newWidth; ++i, dst += 3) {
            const double xo = i - halfNewW;
            const double u = halfW + c * xo + s * yo;
            const double v = halfH + c * yo - s * xo;
            if (u < 0 || v < 0 || u > width - 2 || v > height - 2) {
                dst[0] = dst[1] = dst[2] = 255;
                continue;
            }
            const int32_t ui = static_cast<int32_t>(u), vi = static_cast<int32_t>(v);
            const double fu = u - ui, fv = v - vi;
            const uint8_t* p0 = src + size_t(vi) * inStride + size_t(ui) * 3;
            const uint8_t* p1 = p0 + inStride;
            for (int ch = 0; ch < 3; ++ch) {
                const double value = p0[ch] * (1 - fu) * (1 - fv) + p0[3 + ch] * fu * (1 - fv) +
                                     p1[ch] * (1 - fu) * fv + p1[3 + ch] * fu * fv;
                dst[ch] = static_cast<uint8_t>(std::floor(value + 0.5));
            }
        }
    }
    return true;
}

void ExpandIndexed8To24(const uint8_t* src, int32_t width, int32_t height, const uint8_t* colourTable, uint8_t* out)
{
    const size_t inStride = DibStride(width, 8), outStride = DibStride(width, 24);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* s = src + size_t(y) * inStride;
        uint8_t* d = out + size_t(y) * outStride;
        for (int32_t x = 0; x < width; ++x, d += 3) {
            const uint8_t* entry = colourTable + size_t(s[x]) * 4;
            d[0] = entry[0];
            d[1] = entry[1];
            d[2] = entry[2];
        }
        std::memset(d, 0, outStride - size_t(width) * 3);
    }
}

void PackIndices(const uint8_t* indices, int32_t width, int32_t height, int32_t bpp, uint8_t* out)
{
    const size_t inStride = DibStride(width, 8), outStride = DibStride(width, bpp);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* s = indices + size_t(y) * inStride;
        uint8_t* d = out + size_t(y) * outStride;
        std::memset(d, 0, outStride);
        for (int32_t x = 0; x < width; ++x) {
            if (bpp == 4)
                d[x / 2] |= static_cast<uint8_t>((s[x] & 0x0F) << (x % 2 ? 0 : 4));
            else
                d[x / 8] |= static_cast<uint8_t>((s[x] & 0x01) << (7 - x % 8));
        }
    }
}

void StandardSize(long width, long height, long defWidth, long defHeight, long& newWidth, long& newHeight)
{
    if (height > width) {
        newHeight = defHeight;
        newWidth = static_cast<long>(std::floor(static_cast<double>(width) / height * defHeight));
    } else {
        newWidth = defWidth;
        newHeight = static_cast<long>(std::floor(static_cast<double>(height) / width * defWidth));
    }
}
