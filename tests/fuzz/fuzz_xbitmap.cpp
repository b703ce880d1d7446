// The X bitmap reader on arbitrary files; a picture it accepts must survive our writer and
// reader unchanged (colour for colour).
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return FuzzReaderAndRoundTrip(11, data, size);
}
