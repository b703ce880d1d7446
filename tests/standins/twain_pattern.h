// The picture the TWAIN source stand-in scans, shared with the tests that check the saved file.
// Coordinates are as a person sees the page: x to the right, y downwards from the top.
#pragma once
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
