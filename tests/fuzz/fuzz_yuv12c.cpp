// The YUV12C reader over arbitrary files.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return FuzzReader(6, data, size);
}
