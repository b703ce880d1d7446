// Option text: the parser against its own tokens, then the writers of bitmap, GIF and JPEG with the
// text as their options. Nothing may read or write past the parser's work buffer.
#include <cstdlib>
#include <string>

#include "../support/memio.h"
#include "codecs/codec_internal.h"

namespace {

struct Picture {
    ImageHeader header{};
    PaletteEntry palette[256];
    unsigned char rows[8 * 5 * 3];
};

// 7×5 pictures in every depth: a few colours, an edge pixel that is not index 0.
const Picture* Pictures()
{
    static Picture pictures[4];
    static bool made = false;
    if (!made) {
        const int depths[4] = {1, 4, 8, 24};
        for (int i = 0; i < 4; ++i) {
            Picture& p = pictures[i];
            p.header.width = 7;
            p.header.height = 5;
            p.header.bpp = depths[i];
            for (int c = 0; c < 256; ++c)
                p.palette[c] = PaletteEntry{uint8_t(c), uint8_t(255 - c), uint8_t(c * 7)};
            for (size_t b = 0; b < sizeof(p.rows); ++b)
                p.rows[b] = uint8_t(b * 37 + 1);
        }
        made = true;
    }
    return pictures;
}

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t' || c == ',';
}

void CheckParser(const std::string& text)
{
    CodecOptions opts;
    int rc = opts.Parse(text.c_str());
    if ((rc == CODEC_OK) != (text.size() < CODEC_WORK_BUFFER))
        std::abort();
    if (rc != CODEC_OK)
        return;
    for (size_t p = 0; p < text.size();) {
        while (p < text.size() && IsSeparator(text[p]))
            ++p;
        size_t start = p;
        while (p < text.size() && !IsSeparator(text[p]))
            ++p;
        if (p == start)
            break;
        std::string token = text.substr(start, p - start);
        const char* rest = opts.Text(token.c_str());
        if (!opts.Flag(token.c_str()) || rest == nullptr || std::strlen(rest) >= CODEC_WORK_BUFFER)
            std::abort();
        size_t eq = token.find('=');
        long value = 0;
        if (eq != std::string::npos && opts.Text(token.substr(0, eq + 1).c_str()) == nullptr)
            std::abort();
        if (eq != std::string::npos)
            opts.Number(token.substr(0, eq + 1).c_str(), &value);
    }
    long value = 0;
    for (const char* name : {"index=", "transcol=", "quality=", "xpos=", "background="})
        opts.Number(name, &value);
    if (opts.CountFlags({"ilace", "errok", "progressive"}) > 3)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));  // the options are a C string
    CheckParser(text);

    const Picture* pictures = Pictures();
    for (int format : {CODEC_FORMAT_BITMAP, CODEC_FORMAT_GIF, CODEC_FORMAT_JPEG})
        for (int i = 0; i < 4; ++i) {
            memio::Scope io;
            int fd = io.Add(nullptr, 0);
            const Picture& p = pictures[i];
            codec_write("fuzz", fd, format, &p.header, p.palette, p.rows, text.c_str());
        }
    return 0;
}
