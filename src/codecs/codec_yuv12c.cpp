// Placeholder until this format's codec is written.
#include "codecs/codec_internal.h"

namespace {
int Query(FormatInfo*) { return CODEC_ERR_NOT_AVAILABLE; }
int ReadHeader(const char*, int, ImageHeader*, const char*) { return CODEC_ERR_NOT_AVAILABLE; }
int ReadPalette(int, ImageHeader*, PaletteEntry*) { return CODEC_ERR_NOT_AVAILABLE; }
int ReadData(int, ImageHeader*, unsigned char*) { return CODEC_ERR_NOT_AVAILABLE; }
int Write(const char*, int, const ImageHeader*, const PaletteEntry*, const unsigned char*, const char*) { return CODEC_ERR_NOT_AVAILABLE; }
const char* ErrorText(int) { return nullptr; }
} // namespace

const CodecFormat codec_yuv12c_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
