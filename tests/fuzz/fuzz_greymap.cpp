// The greymap (P5) reader on arbitrary files.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader(7, data, size);
    return 0;
}
