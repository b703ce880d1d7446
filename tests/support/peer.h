// Helpers for cross-checks against peer tools (ImageMagick, netpbm, giflib, libjpeg-turbo's tools):
// a scratch folder, running a command, loading and saving pictures through the codecs, and reading
// the PNM files the peers write.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "codecs/codec.h"

namespace peer {

// A scratch folder per test program, removed at exit. The name lives in a plain array so that
// the exit handler never sees a destroyed string.
inline const char* ScratchDirName()
{
    static char name[64] = "";
    if (name[0] == '\0') {
        std::snprintf(name, sizeof(name), "/tmp/trel-codec-XXXXXX");
        if (mkdtemp(name) == nullptr)
            std::snprintf(name, sizeof(name), "/tmp");
        std::atexit([] {
            if (std::strcmp(ScratchDirName(), "/tmp") != 0) {
                std::string cmd = std::string("rm -rf '") + ScratchDirName() + "'";
                if (std::system(cmd.c_str()) != 0) {
                }
            }
        });
    }
    return name;
}

inline std::string ScratchDir()
{
    return ScratchDirName();
}

inline std::string Path(const std::string& name)
{
    return ScratchDir() + "/" + name;
}

// Runs a shell command; true when it exits 0.
inline bool Run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Is the peer tool on this machine? (setup.sh installs them; a test that needs one fails without it.)
inline bool Have(const std::string& tool)
{
    return Run("command -v " + tool);
}

inline std::vector<unsigned char> ReadFileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

struct Picture {
    ImageHeader header{};
    std::vector<PaletteEntry> palette = std::vector<PaletteEntry>(256, PaletteEntry{0, 0, 0});
    std::vector<unsigned char> rows;  // device-independent rows, bottom-up, padded to 4 bytes

    size_t Stride() const { return codec_stride(header.width, header.bpp); }
    // The pixel at (x, y), y counted from the top, as red, green, blue.
    PaletteEntry Rgb(int x, int y) const
    {
        const unsigned char* row = rows.data() + size_t(header.height - 1 - y) * Stride();
        if (header.bpp == 24)
            return PaletteEntry{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
        unsigned i = header.bpp == 8 ? row[x]
                     : header.bpp == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15
                                       : (row[x / 8] >> (7 - x % 8)) & 1;
        return palette[i];
    }
};

// Loads a file through the codecs (format from its name); returns the codec's code.
inline int Load(const std::string& path, Picture& pic, const char* options = "")
{
    int format = 0;
    int rc = codec_guess_format(path.c_str(), &format);
    if (rc)
        return rc;
    int fd = codec_io_open(path.c_str(), codec_mode_read_binary());
    if (fd < 0)
        return CODEC_ERR_READ;
    rc = codec_read_header(path.c_str(), fd, format, &pic.header, options);
    if (!rc) {
        pic.rows.assign(pic.Stride() * size_t(pic.header.height), 0);
        rc = codec_read_palette(fd, format, &pic.header, pic.palette.data());
    }
    if (!rc)
        rc = codec_read_data(fd, format, &pic.header, pic.rows.data());
    codec_io_close(fd);
    return rc;
}

// Saves through the codecs (format from the name); returns the codec's code.
inline int Save(const std::string& path, const Picture& pic, const char* options = "")
{
    int format = 0;
    int rc = codec_guess_format(path.c_str(), &format);
    if (rc)
        return rc;
    int fd = codec_io_create(path.c_str(), codec_mode_write_binary());
    if (fd < 0)
        return CODEC_ERR_WRITE;
    rc = codec_write(path.c_str(), fd, format, &pic.header, pic.palette.data(), pic.rows.data(), options);
    codec_io_close(fd);
    return rc;
}

// An RGB picture read from a binary PPM (P6) or PGM (P5) file as peers write it, top row first.
struct Rgb {
    int width = 0, height = 0;
    std::vector<PaletteEntry> pixels;
    PaletteEntry At(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

inline bool ReadPnm(const std::string& path, Rgb& out)
{
    std::vector<unsigned char> d = ReadFileBytes(path);
    size_t p = 0;
    auto token = [&]() -> std::string {
        std::string t;
        while (p < d.size()) {
            if (d[p] == '#') {
                while (p < d.size() && d[p] != '\n')
                    ++p;
            } else if (isspace(d[p])) {
                ++p;
            } else {
                break;
            }
        }
        while (p < d.size() && !isspace(d[p]))
            t += char(d[p++]);
        return t;
    };
    std::string magic = token();
    if (magic != "P6" && magic != "P5")
        return false;
    out.width = std::atoi(token().c_str());
    out.height = std::atoi(token().c_str());
    int maxval = std::atoi(token().c_str());
    ++p;
    if (maxval != 255 || out.width <= 0 || out.height <= 0)
        return false;
    size_t n = size_t(out.width) * size_t(out.height);
    size_t bytes = n * (magic == "P6" ? 3 : 1);
    if (d.size() < p + bytes)
        return false;
    out.pixels.resize(n);
    for (size_t i = 0; i < n; ++i)
        out.pixels[i] = magic == "P6" ? PaletteEntry{d[p + 3 * i], d[p + 3 * i + 1], d[p + 3 * i + 2]}
                                      : PaletteEntry{d[p + i], d[p + i], d[p + i]};
    return true;
}

// Writes the picture's pixels as a binary PPM, top row first (for feeding peers).
inline void WritePpm(const std::string& path, const Picture& pic)
{
    std::string head = "P6\n" + std::to_string(pic.header.width) + " " + std::to_string(pic.header.height) + "\n255\n";
    std::vector<unsigned char> d(head.begin(), head.end());
    for (int y = 0; y < pic.header.height; ++y)
        for (int x = 0; x < pic.header.width; ++x) {
            PaletteEntry c = pic.Rgb(x, y);
            d.push_back(c.red);
            d.push_back(c.green);
            d.push_back(c.blue);
        }
    WriteFileBytes(path, d);
}

// Number of pixels that differ between our picture and the peer's.
inline long CountDifferences(const Picture& pic, const Rgb& ref)
{
    if (pic.header.width != ref.width || pic.header.height != ref.height)
        return -1;
    long diff = 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            PaletteEntry a = pic.Rgb(x, y), b = ref.At(x, y);
            diff += (a.red != b.red || a.green != b.green || a.blue != b.blue) ? 1 : 0;
        }
    return diff;
}

// A deterministic test picture: gradients, edges and noise, in any depth (palette pictures get a
// palette of distinct colours).
inline Picture MakePicture(int width, int height, int bpp, unsigned seed = 1)
{
    Picture pic;
    pic.header.width = width;
    pic.header.height = height;
    pic.header.bpp = bpp;
    pic.rows.assign(pic.Stride() * size_t(height), 0);
    unsigned colours = bpp == 24 ? 0 : 1u << bpp;
    for (unsigned i = 0; i < colours; ++i)
        pic.palette[i] = PaletteEntry{uint8_t(i * 37 + seed), uint8_t(255 - i * 11), uint8_t(i * 73 ^ 0x5A)};
    unsigned s = seed * 2654435761u;
    for (int y = 0; y < height; ++y) {
        unsigned char* row = pic.rows.data() + size_t(height - 1 - y) * pic.Stride();
        for (int x = 0; x < width; ++x) {
            s = s * 1103515245u + 12345u;
            if (bpp == 24) {
                row[3 * x] = uint8_t(x * 255 / (width > 1 ? width - 1 : 1));
                row[3 * x + 1] = uint8_t(y * 255 / (height > 1 ? height - 1 : 1));
                row[3 * x + 2] = uint8_t((x / 8 + y / 8) % 2 ? (s >> 16) : 200);
            } else {
                unsigned v = ((x / 3 + y / 5) + ((s >> 16) % 3 == 0 ? (s >> 20) : 0)) % colours;
                if (bpp == 8)
                    row[x] = uint8_t(v);
                else if (bpp == 4)
                    row[x / 2] |= uint8_t(v << (x % 2 ? 0 : 4));
                else
                    row[x / 8] |= uint8_t(v << (7 - x % 8));
            }
        }
    }
    return pic;
}

} // namespace peer
