// The Portrait reader: the input as a file (only its length is checked), and the input repeated to
// the one length the format has, so that the planes are read as well.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader(15, data, size);
    if (size == 0)
        return 0;
    std::vector<uint8_t> frame(3 * 512 * 512);
    size_t filled = std::min(size, frame.size());
    std::memcpy(frame.data(), data, filled);
    for (; filled < frame.size(); filled *= 2)
        std::memcpy(frame.data() + filled, frame.data(), std::min(filled, frame.size() - filled));
    return FuzzReader(15, frame.data(), frame.size());
}
