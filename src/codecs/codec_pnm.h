// The netpbm pieces the greymap (P5) and pixmap (P6) codecs share; they live in the greymap codec.
#pragma once
#include <cstdint>

#include "codecs/codec_internal.h"

// What a netpbm header reader leaves for the palette and data readers.
struct PnmState {
    uint32_t tag;  // the codec's mark: its header reader has run
    int32_t width, height;
    uint32_t maxval;
    long rasterOffset;
};

// Reads a header of the given type ('5', '6') into the picture header (at bpp bits) and the state,
// refusing sizes the codec cannot hold and files too short for their raster.
int codec_pnm_begin(int fd, char type, int maxvalError, int32_t bpp, uint32_t tag, ImageHeader* header,
                    const char* options);
// The state the header reader left, or an error when the header did not come from it.
int codec_pnm_state(const ImageHeader* header, int32_t bpp, uint32_t tag, const PnmState** state);
// Samples of 0..maxval to 0..255.
void codec_pnm_scale_table(uint32_t maxval, uint8_t table[256]);
