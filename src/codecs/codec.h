/* Picture file codecs: one format-neutral interface over seventeen formats, chosen by the
 * file name's extension. Pictures travel as device-independent bitmap rows: bottom-up, each row
 * padded to 4 bytes, 24-bit pixels blue-green-red, 1/4-bit pixels packed from the top bit.
 * Every operation returns an error code and never throws. */
#pragma once
#include <cstddef>
#include <cstdint>

enum {
    CODEC_OK = 0,
    CODEC_ERR_MEMORY = 1,         /* out of memory */
    CODEC_ERR_BPP = 2,            /* bit depth not supported by this format's writer */
    CODEC_ERR_OPTIONS = 3,        /* bad or conflicting options */
    CODEC_ERR_NO_FORMAT = 4,      /* no format for this file name */
    CODEC_ERR_SIGNATURE = 5,      /* not a file of this format */
    CODEC_ERR_SIZE = 6,           /* bad width or height */
    CODEC_ERR_READ = 7,           /* read error or unexpected end of file */
    CODEC_ERR_WRITE = 8,          /* write error */
    CODEC_ERR_ARGUMENT = 9,       /* missing argument */
    CODEC_ERR_NOT_AVAILABLE = 10  /* this format's codec is not part of this version */
};

enum { CODEC_FORMAT_COUNT = 17, CODEC_FORMAT_BITMAP = 0, CODEC_FORMAT_GIF = 1, CODEC_FORMAT_JPEG = 16 };

/* Flag bits of FormatInfo: which depths a format reads and writes. */
enum {
    CODEC_READS_1 = 0x01, CODEC_READS_4 = 0x02, CODEC_READS_8 = 0x04, CODEC_READS_24 = 0x08,
    CODEC_WRITES_1 = 0x10, CODEC_WRITES_4 = 0x20, CODEC_WRITES_8 = 0x40, CODEC_WRITES_24 = 0x80
};

enum { CODEC_PRIVATE_SIZE = 256, CODEC_WORK_BUFFER = 104 };

struct ImageHeader {
    int32_t width;
    int32_t height;
    int32_t bpp; /* 1, 4, 8 or 24 */
    /* Left by the header reader for the palette and data readers of the same file. */
    alignas(8) unsigned char priv[CODEC_PRIVATE_SIZE];
};

struct PaletteEntry {
    uint8_t red, green, blue;
};

struct FormatInfo {
    const char* shortName;
    const char* longName;
    const char* extensions; /* without dots, separated by blanks */
    unsigned flags;
};

int codec_guess_format(const char* fileName, int* format);
int codec_query_format(int format, FormatInfo* info);
int codec_read_header(const char* fileName, int fd, int format, ImageHeader* header, const char* options);
int codec_read_palette(int fd, int format, ImageHeader* header, PaletteEntry* palette);
int codec_read_data(int fd, int format, ImageHeader* header, unsigned char* data);
int codec_write(const char* fileName, int fd, int format, const ImageHeader* header, const PaletteEntry* palette,
                const unsigned char* data, const char* options);
/* The format's own text for one of its codes (and the JPEG library's stored messages); null for
 * codes it has no text for. */
const char* codec_error_text(int format, int code);
/* Texts of the common codes 0..10, for tools and logs; null for other codes. */
const char* codec_common_error_text(int code);

/* Popularity reduction of a 24-bit picture to at most `colours` palette entries (one index byte
 * per pixel, rows padded to 4 bytes). False when out of memory. */
bool codec_reduce_colours(const ImageHeader* header, const unsigned char* data, PaletteEntry* palette,
                          unsigned char* indices, int colours, uint8_t redMask, uint8_t greenMask, uint8_t blueMask);

/* Row stride of a picture in bytes. */
inline size_t codec_stride(int32_t width, int32_t bpp)
{
    return ((static_cast<size_t>(width) * static_cast<size_t>(bpp) + 31) / 32) * 4;
}

/* The I/O layer: replaceable, initially the platform's low-level file calls. Handles are small
 * integers, -1 is failure. codec_io_create adds create and truncate to the mode. */
extern int (*codec_io_open)(const char* name, int mode);
extern int (*codec_io_create)(const char* name, int mode);
extern int (*codec_io_close)(int fd);
extern long (*codec_io_seek)(int fd, long position, int origin);
extern int (*codec_io_read)(int fd, void* buffer, unsigned count);
extern int (*codec_io_write)(int fd, const void* buffer, unsigned count);
void codec_io_reset(void); /* back to the platform's calls */

/* Modes the bitmap object opens and creates with. */
int codec_mode_read_binary(void);
int codec_mode_write_binary(void);
