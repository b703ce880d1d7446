// JPEG through libjpeg: reads greyscale (8-bit with a grey ramp) and colour (24-bit), writes 24-bit.
// The library reports fatal errors by calling our exit, which keeps its text in one of twenty
// message slots and jumps back to the operation; the operation answers 1910 + the slot.
//
// setjmp/longjmp: each function that calls setjmp only calls one body function after it and
// keeps its state in a struct its caller owns, so nothing read after the jump is an indeterminate
// local; no object with a destructor lives in any frame the jump crosses.
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

#include "codecs/codec_internal.h"

const char* codec_jpeg_message_text(int code);

namespace {

// ---- message slots ----

constexpr int kFirstMessageCode = 1910;
constexpr int kMessageSlots = 20;
constexpr size_t kMessageChars = 199;

struct MessageSlots {
    char text[kMessageSlots][kMessageChars + 1];
    unsigned long long age[kMessageSlots];
    bool used[kMessageSlots];
};
MessageSlots g_messages;

// Keeps the text in the least recently filled slot; returns the slot's code.
int StoreMessage(const char* text)
{
    int oldest = 0;
    for (int i = 0; i < kMessageSlots; ++i) {
        ++g_messages.age[i];
        if (g_messages.age[i] > g_messages.age[oldest])
            oldest = i;
    }
    size_t n = std::strlen(text);
    if (n > kMessageChars)
        n = kMessageChars;
    std::memcpy(g_messages.text[oldest], text, n);
    g_messages.text[oldest][n] = '\0';
    g_messages.age[oldest] = 0;
    g_messages.used[oldest] = true;
    return kFirstMessageCode + oldest;
}

// ---- error manager ----

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    int code;
};

// A pathological progressive file can repeat scans without end, each one a pass over the whole
// picture; no real encoder writes anywhere near this many.
constexpr int kMaxScans = 500;
constexpr int kTooManyScans = 1000;
const char* const kAddonMessages[] = {"Too many scans in progressive file (more than %d)", nullptr};

void OutputMessage(j_common_ptr) {}

void ErrorExit(j_common_ptr cinfo)
{
    ErrorManager* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    char text[JMSG_LENGTH_MAX] = {};
    (*cinfo->err->format_message)(cinfo, text);
    err->code = StoreMessage(text);
    std::longjmp(err->jump, 1);
}

void InstallErrors(ErrorManager* err)
{
    jpeg_std_error(&err->pub);
    err->pub.output_message = OutputMessage;
    err->pub.error_exit = ErrorExit;
    err->pub.addon_message_table = kAddonMessages;
    err->pub.first_addon_message = kTooManyScans;
    err->pub.last_addon_message = kTooManyScans;
    err->code = 0;
}

// ---- source: reads through codec_io_read ----

constexpr unsigned kBlockSize = 4096;

struct Source {
    jpeg_source_mgr pub;
    int fd;
    bool started;
    JOCTET buffer[kBlockSize];
};

void InitSource(j_decompress_ptr cinfo)
{
    reinterpret_cast<Source*>(cinfo->src)->started = false;
}

boolean FillInputBuffer(j_decompress_ptr cinfo)
{
    Source* src = reinterpret_cast<Source*>(cinfo->src);
    int n = codec_io_read(src->fd, src->buffer, kBlockSize);
    if (n < 0)
        ERREXIT(cinfo, JERR_FILE_READ);
    if (n == 0) {
        if (!src->started)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // A cut-off file still decodes: what is missing reads as the end of the image.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = static_cast<size_t>(n);
    src->started = true;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count)
{
    jpeg_source_mgr* src = cinfo->src;
    if (count <= 0)
        return;
    while (static_cast<unsigned long>(count) > src->bytes_in_buffer) {
        count -= static_cast<long>(src->bytes_in_buffer);
        FillInputBuffer(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

void AttachSource(j_decompress_ptr cinfo, Source* src, int fd)
{
    src->pub.init_source = InitSource;
    src->pub.fill_input_buffer = FillInputBuffer;
    src->pub.skip_input_data = SkipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.next_input_byte = nullptr;
    src->pub.bytes_in_buffer = 0;
    src->fd = fd;
    src->started = false;
    cinfo->src = &src->pub;
}

// ---- destination: writes through codec_io_write ----

struct Destination {
    jpeg_destination_mgr pub;
    int fd;
    JOCTET buffer[kBlockSize];
};

void WriteAll(j_compress_ptr cinfo, const JOCTET* data, size_t count)
{
    Destination* dest = reinterpret_cast<Destination*>(cinfo->dest);
    while (count > 0) {
        int n = codec_io_write(dest->fd, data, static_cast<unsigned>(count));
        if (n <= 0)
            ERREXIT(cinfo, JERR_FILE_WRITE);
        data += n;
        count -= static_cast<size_t>(n);
    }
}

void InitDestination(j_compress_ptr cinfo)
{
    Destination* dest = reinterpret_cast<Destination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kBlockSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo)
{
    Destination* dest = reinterpret_cast<Destination*>(cinfo->dest);
    // The library calls this with the whole buffer full, whatever free_in_buffer says.
    WriteAll(cinfo, dest->buffer, kBlockSize);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kBlockSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo)
{
    Destination* dest = reinterpret_cast<Destination*>(cinfo->dest);
    WriteAll(cinfo, dest->buffer, kBlockSize - dest->pub.free_in_buffer);
}

void AttachDestination(j_compress_ptr cinfo, Destination* dest, int fd)
{
    dest->pub.init_destination = InitDestination;
    dest->pub.empty_output_buffer = EmptyOutputBuffer;
    dest->pub.term_destination = TermDestination;
    dest->fd = fd;
    cinfo->dest = &dest->pub;
}

// ---- reading ----

struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress;
    Source src;
};

void LimitScans(j_common_ptr common)
{
    j_decompress_ptr cinfo = reinterpret_cast<j_decompress_ptr>(common);
    if (cinfo->input_scan_number > kMaxScans)
        ERREXIT1(cinfo, kTooManyScans, kMaxScans);
}

// Greyscale stays one byte a pixel; CMYK and YCCK come out as CMYK and are turned into colour
// here, since the library has no conversion for them; everything else decodes to colour.
void ChooseOutput(j_decompress_ptr cinfo)
{
    switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo->out_color_space = JCS_GRAYSCALE;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo->out_color_space = JCS_CMYK;
        break;
    default:
#ifdef JCS_EXTENSIONS
        cinfo->out_color_space = JCS_EXT_BGR;
#else
        cinfo->out_color_space = JCS_RGB;
#endif
        break;
    }
}

int OutputBpp(j_decompress_ptr cinfo)
{
    return cinfo->out_color_space == JCS_GRAYSCALE ? 8 : 24;
}

// Opens the stream up to the first scan and settles the output colour space and size.
void BeginDecode(Decoder* d, int fd)
{
    jpeg_create_decompress(&d->cinfo);
    AttachSource(&d->cinfo, &d->src, fd);
    d->progress.progress_monitor = LimitScans;
    d->cinfo.progress = &d->progress;
    jpeg_read_header(&d->cinfo, TRUE);
    ChooseOutput(&d->cinfo);
    jpeg_calc_output_dimensions(&d->cinfo);
}

int HeaderBody(Decoder* d, int fd, ImageHeader* header)
{
    BeginDecode(d, fd);
    int bpp = OutputBpp(&d->cinfo);
    int rc = codec_check_size(d->cinfo.output_width, d->cinfo.output_height, bpp);
    if (rc != CODEC_OK)
        return rc;
    // Starting validates everything the data reader will need; a file of several scans starts in
    // buffered mode so that its scans are not all decoded just to learn the size.
    d->cinfo.buffered_image = jpeg_has_multiple_scans(&d->cinfo);
    jpeg_start_decompress(&d->cinfo);
    header->width = static_cast<int32_t>(d->cinfo.output_width);
    header->height = static_cast<int32_t>(d->cinfo.output_height);
    header->bpp = bpp;
    return CODEC_OK;
}

int DecodeHeader(Decoder* d, int fd, ImageHeader* header)
{
    if (setjmp(d->err.jump)) {
        jpeg_destroy_decompress(&d->cinfo);
        return d->err.code;
    }
    int rc = HeaderBody(d, fd, header);
    jpeg_destroy_decompress(&d->cinfo);
    return rc;
}

int ReadHeader(const char*, int fd, ImageHeader* header, const char*)
{
    Decoder d = {};
    InstallErrors(&d.err);
    d.cinfo.err = &d.err.pub;
    return DecodeHeader(&d, fd, header);
}

int ReadPalette(int, ImageHeader* header, PaletteEntry* palette)
{
    if (header->bpp == 24)
        return CODEC_OK;
    if (header->bpp != 8)
        return CODEC_ERR_SIZE;
    for (int i = 0; i < 256; ++i)
        palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i)};
    return CODEC_OK;
}

// Inverted (Adobe) CMYK as the library delivers it, to blue, green, red.
void CmykRowToBgr(const JSAMPLE* cmyk, unsigned char* bgr, JDIMENSION width)
{
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        unsigned k = cmyk[3];
        bgr[0] = static_cast<unsigned char>((cmyk[2] * k + 127) / 255);
        bgr[1] = static_cast<unsigned char>((cmyk[1] * k + 127) / 255);
        bgr[2] = static_cast<unsigned char>((cmyk[0] * k + 127) / 255);
    }
}

#ifndef JCS_EXTENSIONS
void SwapRedBlue(unsigned char* row, JDIMENSION width)
{
    for (JDIMENSION x = 0; x < width; ++x, row += 3) {
        unsigned char t = row[0];
        row[0] = row[2];
        row[2] = t;
    }
}
#endif

int DataBody(Decoder* d, int fd, const ImageHeader* header, unsigned char* data)
{
    BeginDecode(d, fd);
    // The caller sized its rows from the header; a file changed since then must not overrun them.
    if (static_cast<int64_t>(d->cinfo.output_width) != header->width ||
        static_cast<int64_t>(d->cinfo.output_height) != header->height || OutputBpp(&d->cinfo) != header->bpp)
        return CODEC_ERR_SIZE;
    jpeg_start_decompress(&d->cinfo);
    const JDIMENSION width = d->cinfo.output_width;
    const size_t stride = codec_stride(header->width, header->bpp);
    const size_t used = static_cast<size_t>(width) * static_cast<size_t>(header->bpp / 8);
    JSAMPARRAY cmyk = nullptr;
    if (d->cinfo.out_color_space == JCS_CMYK)
        cmyk = (*d->cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d->cinfo), JPOOL_IMAGE, width * 4, 1);
    // Top of the picture first, into the last row in memory.
    unsigned char* row = data + stride * static_cast<size_t>(header->height - 1);
    while (d->cinfo.output_scanline < d->cinfo.output_height) {
        JSAMPROW target = cmyk ? cmyk[0] : row;
        if (jpeg_read_scanlines(&d->cinfo, &target, 1) != 1)
            return CODEC_ERR_READ;
        if (cmyk)
            CmykRowToBgr(cmyk[0], row, width);
#ifndef JCS_EXTENSIONS
        else if (header->bpp == 24)
            SwapRedBlue(row, width);
#endif
        std::memset(row + used, 0, stride - used);
        row -= stride;
    }
    jpeg_finish_decompress(&d->cinfo);
    return CODEC_OK;
}

int DecodeData(Decoder* d, int fd, const ImageHeader* header, unsigned char* data)
{
    if (setjmp(d->err.jump)) {
        jpeg_destroy_decompress(&d->cinfo);
        return d->err.code;
    }
    int rc = DataBody(d, fd, header, data);
    jpeg_destroy_decompress(&d->cinfo);
    return rc;
}

int ReadData(int fd, ImageHeader* header, unsigned char* data)
{
    if (codec_io_seek(fd, 0, SEEK_SET) != 0)
        return CODEC_ERR_READ;
    if (codec_check_size(header->width, header->height, header->bpp) != CODEC_OK)
        return CODEC_ERR_SIZE;
    Decoder d = {};
    InstallErrors(&d.err);
    d.cinfo.err = &d.err.pub;
    return DecodeData(&d, fd, header, data);
}

// ---- writing ----

struct Encoder {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    Destination dest;
};

void EncodeBody(Encoder* e, int fd, const ImageHeader* header, const unsigned char* data, int quality,
                bool progressive)
{
    jpeg_create_compress(&e->cinfo);
    AttachDestination(&e->cinfo, &e->dest, fd);
    e->cinfo.image_width = static_cast<JDIMENSION>(header->width);
    e->cinfo.image_height = static_cast<JDIMENSION>(header->height);
    e->cinfo.input_components = 3;
#ifdef JCS_EXTENSIONS
    e->cinfo.in_color_space = JCS_EXT_BGR;
#else
    e->cinfo.in_color_space = JCS_RGB;
#endif
    jpeg_set_defaults(&e->cinfo);
    jpeg_set_quality(&e->cinfo, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(&e->cinfo);
    jpeg_start_compress(&e->cinfo, TRUE);
    const size_t stride = codec_stride(header->width, 24);
#ifndef JCS_EXTENSIONS
    JSAMPARRAY rgb = (*e->cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&e->cinfo), JPOOL_IMAGE,
                                                    e->cinfo.image_width * 3, 1);
#endif
    const unsigned char* row = data + stride * static_cast<size_t>(header->height - 1);
    while (e->cinfo.next_scanline < e->cinfo.image_height) {
#ifdef JCS_EXTENSIONS
        // The library only reads the rows it is given.
        JSAMPROW source = const_cast<JSAMPROW>(row);
#else
        std::memcpy(rgb[0], row, e->cinfo.image_width * 3);
        SwapRedBlue(rgb[0], e->cinfo.image_width);
        JSAMPROW source = rgb[0];
#endif
        jpeg_write_scanlines(&e->cinfo, &source, 1);
        row -= stride;
    }
    jpeg_finish_compress(&e->cinfo);
}

int Encode(Encoder* e, int fd, const ImageHeader* header, const unsigned char* data, int quality, bool progressive)
{
    if (setjmp(e->err.jump)) {
        jpeg_destroy_compress(&e->cinfo);
        return e->err.code;
    }
    EncodeBody(e, fd, header, data, quality, progressive);
    jpeg_destroy_compress(&e->cinfo);
    return CODEC_OK;
}

constexpr int kQualityRange = 1900;

int Write(const char*, int fd, const ImageHeader* header, const PaletteEntry*, const unsigned char* data,
          const char* options)
{
    if (header->bpp != 24)
        return CODEC_ERR_BPP;
    CodecOptions opts;
    int rc = opts.Parse(options);
    if (rc != CODEC_OK)
        return rc;
    long quality = 75;
    if (opts.Text("quality=") != nullptr && (!opts.Number("quality=", &quality) || quality < 0 || quality > 100))
        return kQualityRange;
    Encoder e = {};
    InstallErrors(&e.err);
    e.cinfo.err = &e.err.pub;
    return Encode(&e, fd, header, data, static_cast<int>(quality), opts.Flag("prog"));
}

int Query(FormatInfo* info)
{
    return codec_query_format(CODEC_FORMAT_JPEG, info);
}

// The table holds the fixed texts; only the stored messages are ours.
const char* ErrorText(int code)
{
    return codec_jpeg_message_text(code);
}

} // namespace

const char* codec_jpeg_message_text(int code)
{
    int slot = code - kFirstMessageCode;
    if (slot < 0 || slot >= kMessageSlots || !g_messages.used[slot])
        return nullptr;
    return g_messages.text[slot];
}

const CodecFormat codec_jpeg_format = {Query, ReadHeader, ReadPalette, ReadData, Write, ErrorText};
