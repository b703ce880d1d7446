// The GIF reader on arbitrary files: the first image, the same with errok, and the second image.
#include "fuzz_reader.h"

namespace {

// A header may claim up to 256 MiB of picture; the harness filling that much under the sanitizers
// outlasts the fuzzer's timeout and reaches no code a small picture does not, so such files stop
// after their header.
constexpr size_t kMaxFuzzPicture = size_t(8) << 20;

bool FitsFuzzing(const uint8_t* data, size_t size, const char* options)
{
    memio::Scope io;
    int fd = io.Add(data, size);
    ImageHeader header;
    if (codec_read_header("fuzz.gif", fd, CODEC_FORMAT_GIF, &header, options) != CODEC_OK)
        return true;
    return codec_stride(header.width, header.bpp) * size_t(header.height) <= kMaxFuzzPicture;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const char* options : {"", "errok", "index=1"})
        if (FitsFuzzing(data, size, options))
            FuzzReader(CODEC_FORMAT_GIF, data, size, options);
    return 0;
}
