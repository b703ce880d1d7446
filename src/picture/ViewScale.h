// The picture as a control shows it: scaled once to the window's size. Shrinking takes the mean of
// four samples spread over the area each shown pixel covers (an exact 2 x 2 mean when halving), so
// a twelve-megapixel photo is reduced in a few milliseconds; enlarging interpolates as Stretch does.
#pragma once
#include <cstdint>
#include <vector>

// 24-bit rows, bottom-up and padded to 4 bytes, in and out. False for sizes below 1 or when memory
// runs out.
bool ScalePixelsForView(const uint8_t* src, int32_t width, int32_t height, int32_t newWidth, int32_t newHeight,
                        std::vector<uint8_t>& out);
