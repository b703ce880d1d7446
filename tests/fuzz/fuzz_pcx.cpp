// The PCX reader on arbitrary files, strict and with "trunc" (damaged data kept).
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader(2, data, size);
    FuzzReader(2, data, size, "trunc");
    return 0;
}
