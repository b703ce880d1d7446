// The picture the TWAIN source stand-in scans, shared with the tests that check the saved file.
// Coordinates are as a person sees the page: x to the right, y downwards from the top.
#pragma once
#include <cmath>
#include <cstdint>

struct ScanRgb {
    uint8_t r, g, b;
};

// Four quadrants of distinct colours (red, green / blue, yellow); a 1-bit page has only the
// top-left quadrant white on black.
inline ScanRgb ScanPatternColour(int x, int y, int width, int height, int bpp)
{
    const bool right = x >= width / 2, bottom = y >= height / 2;
    if (bpp == 1)
        return (!right && !bottom) ? ScanRgb{255, 255, 255} : ScanRgb{0, 0, 0};
    static const ScanRgb quadrants[4] = {{220, 30, 30}, {30, 200, 40}, {40, 50, 210}, {240, 220, 20}};
    return quadrants[(bottom ? 2 : 0) + (right ? 1 : 0)];
}

// Index of the quadrant colour in the 8-bit page's colour table (1-bit: 0 black, 1 white).
inline int ScanPatternIndex(int x, int y, int width, int height, int bpp)
{
    const bool right = x >= width / 2, bottom = y >= height / 2;
    if (bpp == 1)
        return (!right && !bottom) ? 1 : 0;
    return (bottom ? 2 : 0) + (right ? 1 : 0);
}

// A page with the texture of a photograph (smooth light and shade with grain), for measuring the
// JPEG writer on pixels like a scanner's; the native page writer and the stand-in share it.
inline double ScanPhotoWaveX(int x) { return std::sin(x * 0.0061); }
inline double ScanPhotoWaveY(int y) { return std::cos(y * 0.0043); }
inline double ScanPhotoWaveXY(int xy) { return std::sin(xy * 0.0027); }

// The pixel from its three waves (a page maker keeps them in tables).
inline ScanRgb ScanPhotoPixelFrom(int x, int y, double waveX, double waveY, double waveXY)
{
    uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    const int grain = static_cast<int>(h & 15) - 8;
    const double a = waveX * waveY, b = waveXY;
    auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    return ScanRgb{clamp(128 + 90 * a + grain), clamp(120 + 70 * b + grain), clamp(110 + 60 * a * b + grain)};
}

inline ScanRgb ScanPhotoPixel(int x, int y)
{
    return ScanPhotoPixelFrom(x, y, ScanPhotoWaveX(x), ScanPhotoWaveY(y), ScanPhotoWaveXY(x + y));
}
