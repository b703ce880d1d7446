// A file's bytes as text: two upper-case hexadecimal digits per byte, high half first, nothing
// between them. Portable; the output type is the caller's (narrow or wide characters).
#pragma once
#include <cstddef>
#include <cstdint>

template <class Char>
void HexEncode(const uint8_t* data, size_t count, Char* out)
{
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<Char>(digits[data[i] >> 4]);
        out[2 * i + 1] = static_cast<Char>(digits[data[i] & 0x0F]);
    }
}

// The largest file EncodeFile turns into text: the text takes four bytes per file byte as a
// BSTR, and a 32-bit process must hold the file and the text at once.
constexpr unsigned long long kMaxEncodeFileBytes = 64ull << 20;
