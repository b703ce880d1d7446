// JPEG reader: header, grey ramp and rows of any input, through the library and our source.
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A few hundred bytes may declare 80 megapixels that the library then fills in, seconds of
    // work that finds nothing new; such inputs get their header read and no more.
    constexpr int64_t kMaxPixels = int64_t(4096) * 4096;
    {
        memio::Scope io;
        ImageHeader header;
        int fd = io.Add(data, size);
        if (codec_read_header("fuzz.jpg", fd, CODEC_FORMAT_JPEG, &header, "") == 0 &&
            int64_t(header.width) * header.height > kMaxPixels)
            return 0;
    }
    return FuzzReader(CODEC_FORMAT_JPEG, data, size);
}
