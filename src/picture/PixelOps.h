// Pixel work of the bitmap object on device-independent rows (bottom-up, rows padded to 4
// bytes, 24-bit pixels blue-green-red). Portable: the bitmap object hands its locked block in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

inline size_t DibStride(int32_t width, int32_t bpp)
{
    return ((static_cast<size_t>(width) * static_cast<size_t>(bpp) + 31) / 32) * 4;
}

// Resamples a 24-bit picture (or the inclusive rectangle left..right × top..bottom of it, rows
// counted in stored order; any invalid rectangle means the whole picture) to newWidth × newHeight.
// Shrinking averages a window around each sample, enlarging interpolates bilinearly. False for
// sizes below 1 or when memory runs out.
bool StretchPixels24(const uint8_t* src, int32_t width, int32_t height, int32_t left, int32_t top, int32_t right,
                     int32_t bottom, int32_t newWidth, int32_t newHeight, std::vector<uint8_t>& out);

// Rotates a 24-bit picture by whole degrees into a picture big enough to hold it; the corners
// outside the source are white. Gives the new size.
bool RotatePixels24(const uint8_t* src, int32_t width, int32_t height, int degrees, int32_t& newWidth,
                    int32_t& newHeight, std::vector<uint8_t>& out);

// 8-bit indices to 24-bit pixels through a colour table of 4-byte entries (blue, green, red, 0).
void ExpandIndexed8To24(const uint8_t* src, int32_t width, int32_t height, const uint8_t* colourTable,
                        uint8_t* out);

// One index byte per pixel (rows padded to 4) packed into 1- or 4-bit rows, top bits first.
void PackIndices(const uint8_t* indices, int32_t width, int32_t height, int32_t bpp, uint8_t* out);

// The size a picture of width × height gets for the standard size defWidth × defHeight: the height
// decides for portraits, the width otherwise, the other side in proportion and rounded down.
void StandardSize(long width, long height, long defWidth, long defHeight, long& newWidth, long& newHeight);
