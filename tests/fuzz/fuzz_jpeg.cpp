// JPEG reader: header, grey ramp and rows of any input, through the library and our source.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return FuzzReader(CODEC_FORMAT_JPEG, data, size);
}
