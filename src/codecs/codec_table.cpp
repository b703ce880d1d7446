// The format table, format guessing, dispatch and the texts of every format's error codes.
#include <cctype>
#include <cstdio>

#include "codecs/codec_internal.h"

namespace {

struct CodeText {
    int code;
    const char* text;
};

struct FormatRow {
    FormatInfo info;
    const CodeText* texts;
    const CodecFormat* codec;
};

const CodeText kBitmapTexts[] = {
    {300, "number of bitmap planes is not 1"}, {301, "bit count not 1, 4, 8 or 24"}, {302, "cbFix bad"},
    {303, "compression type not uncompressed, RLE4 or RLE8"}, {304, "less bitmaps in file than index requested"},
    {0, nullptr}};
const CodeText kGifTexts[] = {
    {1100, "bad bits per pixel"}, {1101, "terminator found before requested image descriptor"},
    {1102, "code size not in range 2 to 9"}, {1103, "encoded data is corrupt"}, {1104, "bad header"}, {0, nullptr}};
const CodeText kPcxTexts[] = {
    {700, "version number not 4 or 5"}, {701, "encoding mode not 1"},
    {702, "unsupported bpp/plane / plane combination"}, {703, "corrupt file trailer"}, {0, nullptr}};
const CodeText kTiffTexts[] = {
    {800, "version number not 42"}, {801, "too many tags in file"}, {802, "bad tag type"}, {803, "corrupt header"},
    {804, "ImageWidth, ImageLength or StripOffsets tag missing"},
    {805, "SamplesPerPixel tag must be 1 for bitmap or greyscale file"},
    {806, "BitsPerSample tag must be 1,4 or 8 for bitmap or greyscale file"},
    {807, "SamplesPerPixel tag must be 3 or more for RGB file"}, {808, "BitsPerSample tag must be 8 for RGB file"},
    {809, "SamplesPerPixel tag must be 1 for palettised file"},
    {810, "BitsPerSample tag must be 1,4 or 8 for palettised file"},
    {811, "SamplesPerPixel tag must be 4 for CMYK file"}, {812, "BitsPerSample tag must be 8 for CMYK file"},
    {813, "Compression tag is CCITT 1D Modified Huffman, not supported"},
    {814, "Compression tag is CCITT T.4 G3 Facsimile, not supported"},
    {815, "Compression tag is CCITT T.6 G4 Facsimile, not supported"},
    {816, "Compression tag not uncompressed, PackBits or LZW, not supported"}, {817, "ColorMap tag missing"},
    {818, "encoded data is corrupt"}, {819, "Predictor tag bad"},
    {821, "PhotometricInterpretation tag is transparency mask, not supported"},
    {822, "PhotometricInterpreation tag is Y-Cb-Cr colour space, not supported"},
    {823, "PhotometricInterpretation tag unsupported/bad"}, {824, "FillOrder tag must be 1"},
    {825, "PlanarConfiguration tag must be 1 for non RGB files"},
    {826, "PlanarConfiguration tag must be 1 or 2 for RGB files"},
    {827, "InkSet tag indicates non-CMYK colour seperations"}, {828, "Orientation tag must be 1 or 4"},
    {829, "less bitmaps in file than index requested"}, {0, nullptr}};
const CodeText kTargaTexts[] = {
    {400, "bits per pixel not 8, 16, 24 or 32"}, {401, "unsupported compression type for bits per pixel"},
    {402, "color map entry size not 24 bits per pixel"}, {0, nullptr}};
const CodeText kIlbmTexts[] = {
    {900, "no FORM signiture"}, {901, "no ILBM signiture"}, {902, "multiple BMHD bitmap headers"},
    {903, "no BMHD bitmap header"}, {904, "bad size of BMHD bitmap header"}, {905, "unsupported/bad bits per pixel"},
    {906, "CMAP colour map is the wrong size"}, {907, "compression type not uncompressed nor RLE"},
    {908, "CAMG chunk is the wrong size"}, {909, "Unsupported version of SHAM (not 0)"}, {0, nullptr}};
const CodeText kYuvTexts[] = {{1000, "width not a multiple of 4 pixels"}, {0, nullptr}};
const CodeText kGreymapTexts[] = {{100, "bad maximum pixel intensity"}, {0, nullptr}};
const CodeText kPixmapTexts[] = {{200, "bad maximum pixel intensity"}, {0, nullptr}};
const CodeText kKipsTexts[] = {
    {500, "can't open complementary palette file"}, {501, "can't create complementary palette file"}, {0, nullptr}};
const CodeText kIaxTexts[] = {{1500, "file length is not a multiple of its width"}, {0, nullptr}};
const CodeText kXbmTexts[] = {
    {1300, "expected identifier"}, {1301, "unexpected end of file"}, {1302, "expected char or short"},
    {1303, "expected["}, {1304, "expected ]"}, {1305, "expected ="}, {1306, "expected {"}, {1307, "expected }"},
    {1308, "expected ,"}, {1309, "expected number"}, {1310, "expected ;"}, {0, nullptr}};
const CodeText kSpriteTexts[] = {
    {1400, "sprite has first bit that is not a multiple of 8"}, {1401, "sprite defined in unknown mode"},
    {1402, "less sprites in file than index requested"},
    {1403, "8 bit file does not have 0, 16 or 64 palette entries in it"}, {0, nullptr}};
const CodeText kPsegTexts[] = {
    {1600, "record in the PSEG file does not start with 0x5a (try fixrec option)"},
    {1601, "bad/unknown record in PSEG file"},
    {1602, "size record not seen before raster data or image cell position records"},
    {1603, "width must be a multiple of 8"}, {1604, "default cell size must be a multiple of 8"},
    {1605, "cell size must be a multiple of 8"}, {1606, "cell position must be a multiple of 8"},
    {1607, "record found in an unexpected place"}, {0, nullptr}};
const CodeText kGemTexts[] = {
    {1700, "not GEM Raster, probably green channel of an Intel DVI image"},
    {1701, "not GEM Raster, probably IMDS image"}, {1702, "version number not 1"},
    {1703, "header length must be 8 words or more"}, {1704, "number of planes not in range 1 to 8, or 24"},
    {1705, "flag not 0 or 1"}, {1706, "number of planes in colour image must be 1,3 or 4"},
    {1707, "palette type not 0 in XIMG header"}, {0, nullptr}};
const CodeText kPortraitTexts[] = {
    {1800, "file is not correct size"}, {1801, "portrait files can only hold 512x512 images"}, {0, nullptr}};
const CodeText kJpegTexts[] = {{1900, "quality is not in 0..100"}, {0, nullptr}};

const FormatRow kFormats[CODEC_FORMAT_COUNT] = {
    {{"Bitmap", "OS/2 1.1, 1.2, 2.0 / Windows 3.0 bitmap", "BMP VGA BGA RLE DIB RL4 RL8", 0xFF}, kBitmapTexts,
     &codec_bitmap_format},
    {{"GIF", "CompuServe Graphics Interchange Format", "GIF", 0x77}, kGifTexts, &codec_gif_format},
    {{"PCX", "ZSoft PC Paintbrush Image format", "PCX PCC", 0xFF}, kPcxTexts, &codec_pcx_format},
    {{"TIFF", "Tagged Image File Format support (almost TIFF 6.0 Baseline)", "TIF TIFF", 0xFF}, kTiffTexts,
     &codec_tiff_format},
    {{"Targa", "Truevision Targa/Vista bitmap", "TGA VST AFI", 0xCC}, kTargaTexts, &codec_targa_format},
    {{"ILBM", "Amiga IFF / ILBM Interleaved bitmap", "IFF LBM", 0xFF}, kIlbmTexts, &codec_ilbm_format},
    {{"YUV12C", "YUV12C M-Motion Video Frame Buffer", "VID", 0x88}, kYuvTexts, &codec_yuv12c_format},
    {{"Greymap", "Portable Greyscale-map (binary P5 type)", "PGM", 0x44}, kGreymapTexts, &codec_greymap_format},
    {{"Pixmap", "Portable Pixel-map (binary P6 type)", "PPM", 0x88}, kPixmapTexts, &codec_pixmap_format},
    {{"KIPS", "IBM KIPS", "KPS", 0x44}, kKipsTexts, &codec_kips_format},
    {{"IAX", "IBM Image Access eXecutive", "IAX", 0x44}, kIaxTexts, &codec_iax_format},
    {{"XBitmap", "X Windows Bitmap", "XBM", 0x11}, kXbmTexts, &codec_xbitmap_format},
    {{"Sprite", "Archimedes Sprite from RiscOS", "SPR SPRITE", 0x77}, kSpriteTexts, &codec_sprite_format},
    {{"PSEG", "IBM Printer Page Segment", "PSE PSEG PSEG38PP PSEG3820", 0x11}, kPsegTexts, &codec_pseg_format},
    {{"GemRas", "GEM Raster", "IMG", 0xFF}, kGemTexts, &codec_gemras_format},
    {{"Portrait", "Portrait", "CVP", 0x88}, kPortraitTexts, &codec_portrait_format},
    {{"JPEG", "JPEG File Interchange Format", "JPG JPEG JPE", 0x8C}, kJpegTexts, &codec_jpeg_format},
};

const CodecFormat* Codec(int format)
{
    if (format < 0 || format >= CODEC_FORMAT_COUNT)
        return nullptr;
    return kFormats[format].codec;
}

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t' || c == ',';
}

} // namespace

// The JPEG codec answers its stored library messages itself.
const char* codec_jpeg_message_text(int code);

bool codec_equal_nocase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

int codec_guess_format(const char* fileName, int* format)
{
    if (fileName == nullptr || format == nullptr)
        return CODEC_ERR_ARGUMENT;
    const char* dot = std::strrchr(fileName, '.');
    if (dot == nullptr || std::strchr(dot, '\\') != nullptr || std::strchr(dot, '/') != nullptr)
        return CODEC_ERR_NO_FORMAT;
    const char* ext = dot + 1;
    if (std::strlen(ext) >= CODEC_WORK_BUFFER)
        return CODEC_ERR_NO_FORMAT;
    for (int f = 0; f < CODEC_FORMAT_COUNT; ++f) {
        char list[CODEC_WORK_BUFFER];
        std::snprintf(list, sizeof(list), "%s", kFormats[f].info.extensions);
        for (char* p = list; *p;) {
            while (*p && IsSeparator(*p))
                ++p;
            char* start = p;
            while (*p && !IsSeparator(*p))
                ++p;
            char saved = *p;
            *p = '\0';
            if (*start && codec_equal_nocase(start, ext)) {
                *format = f;
                return CODEC_OK;
            }
            *p = saved;
        }
    }
    return CODEC_ERR_NO_FORMAT;
}

int codec_query_format(int format, FormatInfo* info)
{
    if (info == nullptr || format < 0 || format >= CODEC_FORMAT_COUNT)
        return CODEC_ERR_ARGUMENT;
    *info = kFormats[format].info;
    return CODEC_OK;
}

int codec_read_header(const char* fileName, int fd, int format, ImageHeader* header, const char* options)
{
    if (header == nullptr || format < 0 || format >= CODEC_FORMAT_COUNT)
        return CODEC_ERR_ARGUMENT;
    const CodecFormat* c = Codec(format);
    if (c == nullptr)
        return CODEC_ERR_NOT_AVAILABLE;
    std::memset(header, 0, sizeof(*header));
    if (codec_io_seek(fd, 0, SEEK_SET) != 0)
        return CODEC_ERR_READ;
    return c->read_header(fileName, fd, header, options ? options : "");
}

int codec_read_palette(int fd, int format, ImageHeader* header, PaletteEntry* palette)
{
    if (header == nullptr || palette == nullptr || format < 0 || format >= CODEC_FORMAT_COUNT)
        return CODEC_ERR_ARGUMENT;
    const CodecFormat* c = Codec(format);
    return c == nullptr ? CODEC_ERR_NOT_AVAILABLE : c->read_palette(fd, header, palette);
}

int codec_read_data(int fd, int format, ImageHeader* header, unsigned char* data)
{
    if (header == nullptr || data == nullptr || format < 0 || format >= CODEC_FORMAT_COUNT)
        return CODEC_ERR_ARGUMENT;
    const CodecFormat* c = Codec(format);
    return c == nullptr ? CODEC_ERR_NOT_AVAILABLE : c->read_data(fd, header, data);
}

int codec_write(const char* fileName, int fd, int format, const ImageHeader* header, const PaletteEntry* palette,
                const unsigned char* data, const char* options)
{
    if (header == nullptr || data == nullptr || format < 0 || format >= CODEC_FORMAT_COUNT)
        return CODEC_ERR_ARGUMENT;
    if (header->bpp != 24 && palette == nullptr)
        return CODEC_ERR_ARGUMENT;
    const CodecFormat* c = Codec(format);
    if (c == nullptr)
        return CODEC_ERR_NOT_AVAILABLE;
    if (header->width <= 0 || header->height <= 0 || header->width > CODEC_MAX_DIMENSION ||
        header->height > CODEC_MAX_DIMENSION)
        return CODEC_ERR_SIZE;
    return c->write(fileName, fd, header, palette, data, options ? options : "");
}

const char* codec_error_text(int format, int code)
{
    if (format < 0 || format >= CODEC_FORMAT_COUNT)
        return nullptr;
    if (format == CODEC_FORMAT_JPEG && code >= 1910 && code <= 1929)
        return codec_jpeg_message_text(code);
    for (const CodeText* t = kFormats[format].texts; t->text; ++t)
        if (t->code == code)
            return t->text;
    return nullptr;
}

const char* codec_common_error_text(int code)
{
    static const char* const texts[] = {"success",
                                        "out of memory",
                                        "bit depth not supported by this format's writer",
                                        "bad or conflicting options",
                                        "no format for this file name",
                                        "not a file of this format",
                                        "bad width or height",
                                        "read error or unexpected end of file",
                                        "write error",
                                        "missing argument",
                                        "this format's codec is not part of this version"};
    return code >= 0 && code <= 10 ? texts[code] : nullptr;
}

int codec_check_size(int64_t width, int64_t height, int32_t bpp)
{
    if (width <= 0 || height <= 0 || width > CODEC_MAX_DIMENSION || height > CODEC_MAX_DIMENSION)
        return CODEC_ERR_SIZE;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24)
        return CODEC_ERR_SIZE;
    if (codec_stride(static_cast<int32_t>(width), bpp) * static_cast<size_t>(height) > CODEC_MAX_IMAGE_BYTES)
        return CODEC_ERR_SIZE;
    return CODEC_OK;
}
