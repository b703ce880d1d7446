// The TIFF reader on arbitrary files: the first image and the second one of the chain.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader(3, data, size);
    FuzzReader(3, data, size, "index=1");
    return 0;
}
