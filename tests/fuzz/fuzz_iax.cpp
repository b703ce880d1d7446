// The IAX reader: the file's length against the width option decides everything.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader(10, data, size, "width=7");
    return FuzzReader(10, data, size);
}
