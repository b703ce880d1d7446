// Popularity colour reduction of 24-bit pictures to a palette.
#include <vector>

#include "codecs/codec_internal.h"

namespace {

constexpr int kHashSlots = 5191;
constexpr int kMaxEntries = 2049;
constexpr uint16_t kEmpty = 0xFFFF;

struct Entry {
    uint8_t r, g, b;
    uint32_t count;
    int index;
};

int Bits(uint8_t mask)
{
    int n = 0;
    for (; mask; mask &= static_cast<uint8_t>(mask - 1))
        ++n;
    return n;
}

inline int Hash(unsigned r, unsigned g, unsigned b)
{
    return static_cast<int>(((g + b) * (r + b) * (r + g)) % kHashSlots);
}

// The slot holding the colour, or the empty slot where it belongs.
inline int Find(const uint16_t* table, const Entry* entries, uint8_t r, uint8_t g, uint8_t b)
{
    int slot = Hash(r, g, b);
    for (;;) {
        uint16_t e = table[slot];
        if (e == kEmpty)
            return slot;
        const Entry& x = entries[e];
        if (x.r == r && x.g == g && x.b == b)
            return slot;
        if (++slot == kHashSlots)
            slot = 0;
    }
}

} // namespace

bool codec_reduce_colours(const ImageHeader* header, const unsigned char* data, PaletteEntry* palette,
                          unsigned char* indices, int colours, uint8_t redMask, uint8_t greenMask, uint8_t blueMask)
{
    if (header == nullptr || data == nullptr || palette == nullptr || indices == nullptr || header->bpp != 24 ||
        header->width <= 0 || header->height <= 0)
        return false;
    if (colours > 256)
        colours = 256;
    if (colours < 1)
        colours = 1;
    const int32_t w = header->width, h = header->height;
    const size_t inStride = codec_stride(w, 24), outStride = codec_stride(w, 8);

    std::vector<uint16_t> table;
    std::vector<Entry> entries;
    try {
        table.resize(kHashSlots);
        entries.resize(kMaxEntries);
    } catch (const std::bad_alloc&) {
        return false;
    }

    // Count; when the picture has too many colours, narrow one mask and count again.
    int used = 0;
    for (;;) {
        std::fill(table.begin(), table.end(), kEmpty);
        used = 0;
        bool overflow = false;
        for (int32_t y = 0; y < h && !overflow; ++y) {
            const unsigned char* p = data + static_cast<size_t>(y) * inStride;
            for (int32_t x = 0; x < w; ++x, p += 3) {
                uint8_t b = p[0] & blueMask, g = p[1] & greenMask, r = p[2] & redMask;
                int slot = Find(table.data(), entries.data(), r, g, b);
                if (table[slot] != kEmpty) {
                    ++entries[table[slot]].count;
                    continue;
                }
                if (used == kMaxEntries) {
                    overflow = true;
                    break;
                }
                entries[used] = Entry{r, g, b, 1, -1};
                table[slot] = static_cast<uint16_t>(used++);
            }
        }
        if (!overflow)
            break;
        if (Bits(redMask) < Bits(greenMask))
            greenMask = static_cast<uint8_t>((greenMask * 2) & 0xFF);
        else if (Bits(blueMask) < Bits(redMask))
            redMask = static_cast<uint8_t>((redMask * 2) & 0xFF);
        else
            blueMask = static_cast<uint8_t>((blueMask * 2) & 0xFF);
    }

    // The most frequent colours become the palette, in order of frequency.
    int chosen = 0;
    while (chosen < colours && chosen < used) {
        int best = -1;
        uint32_t bestCount = 0;
        for (int i = 0; i < used; ++i)
            if (entries[i].index < 0 && (best < 0 || entries[i].count > bestCount)) {
                best = i;
                bestCount = entries[i].count;
            }
        Entry& e = entries[best];
        e.index = chosen;
        e.count = 0;
        palette[chosen] = PaletteEntry{e.r, e.g, e.b};
        ++chosen;
    }
    for (int i = chosen; i < 256; ++i)
        palette[i] = PaletteEntry{128, 128, 128};

    // The rest map to the nearest chosen colour.
    for (int i = 0; i < used; ++i) {
        Entry& e = entries[i];
        if (e.index >= 0)
            continue;
        long bestDist = -1;
        for (int k = 0; k < chosen; ++k) {
            long dr = long(e.r) - palette[k].red, dg = long(e.g) - palette[k].green, db = long(e.b) - palette[k].blue;
            long d = dr * dr + dg * dg + db * db;
            if (bestDist < 0 || d < bestDist) {
                bestDist = d;
                e.index = k;
            }
        }
    }

    for (int32_t y = 0; y < h; ++y) {
        const unsigned char* p = data + static_cast<size_t>(y) * inStride;
        unsigned char* out = indices + static_cast<size_t>(y) * outStride;
        for (int32_t x = 0; x < w; ++x, p += 3) {
            int slot = Find(table.data(), entries.data(), p[2] & redMask, p[1] & greenMask, p[0] & blueMask);
            out[x] = static_cast<unsigned char>(entries[table[slot]].index);
        }
        for (size_t x = static_cast<size_t>(w); x < outStride; ++x)
            out[x] = 0;
    }
    return true;
}
