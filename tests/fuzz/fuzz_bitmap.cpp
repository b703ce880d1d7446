// The bitmap reader on arbitrary files: the first bitmap, the second of an array, and the
// inversions.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader(CODEC_FORMAT_BITMAP, data, size);
    FuzzReader(CODEC_FORMAT_BITMAP, data, size, "index=1");
    FuzzReader(CODEC_FORMAT_BITMAP, data, size, "inv invb");
    return 0;
}
