#include "acquire/VideoFrame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "codecs/codec.h"

namespace {

// Largest screen-sized dialog, and how much screen it leaves free.
constexpr int kMaxDialogWidth = 662, kMaxDialogHeight = 542, kScreenMargin = 20;
// The frames the graph asks for are 640 x 480; far larger ones are refused as nonsense.
constexpr int32_t kMaxFrameSide = 16384;

} // namespace

VideoDialogSize VideoDialogSizeForScreen(int screenWidth, int screenHeight)
{
    const int w = screenWidth - kScreenMargin, h = screenHeight - kScreenMargin;
    VideoDialogSize size;
    if (w <= kMaxDialogWidth && h <= kMaxDialogHeight) {
        size.maximise = true;
        return size;
    }
    size.width = std::min(w, kMaxDialogWidth);
    size.height = std::min(h, kMaxDialogHeight);
    return size;
}

VideoDialogLayout VideoDialogLayoutForClient(int cx, int cy)
{
    return VideoDialogLayout{cx - 14, cy - 38, cx - 128, cy - 24, cx - 265, cy - 24};
}

std::string FrameFileName(unsigned number)
{
    char name[32];
    std::snprintf(name, sizeof(name), "FV_%u.jpg", number);
    return name;
}

std::string NextFreeFrameName(const std::string& folder, unsigned start,
                              const std::function<bool(const std::string&)>& taken)
{
    for (unsigned i = 0; i < kFrameNumberCount; ++i) {
        const std::string candidate = folder + FrameFileName((start + i) % kFrameNumberCount);
        if (!taken(candidate))
            return candidate;
    }
    return std::string();
}

size_t VideoFrameBytes(int32_t width, int32_t height, int bitCount, uint32_t compression)
{
    const int32_t rowsCount = height < 0 ? -height : height;
    if (bitCount != 24 || compression != 0 || width <= 0 || width > kMaxFrameSide || rowsCount <= 0 ||
        rowsCount > kMaxFrameSide)
        return 0;
    return codec_stride(width, 24) * static_cast<size_t>(rowsCount);
}

FrameCopyResult TakeGrabbedFrame(std::vector<unsigned char>&& buffer, size_t size, int32_t width, int32_t height,
                                 int bitCount, uint32_t compression, bool grey, VideoFrame& frame)
{
    const size_t expected = VideoFrameBytes(width, height, bitCount, compression);
    if (expected == 0)
        return FrameCopyResult::BadFormat;
    if (size != expected || buffer.size() < expected)
        return FrameCopyResult::SizeMismatch;
    const int32_t rowsCount = height < 0 ? -height : height;
    const size_t stride = codec_stride(width, 24);
    buffer.resize(expected);
    if (height < 0) {
        for (int32_t top = 0, bottom = rowsCount - 1; top < bottom; ++top, --bottom)
            std::swap_ranges(buffer.begin() + std::ptrdiff_t(stride * size_t(top)),
                             buffer.begin() + std::ptrdiff_t(stride * size_t(top + 1)),
                             buffer.begin() + std::ptrdiff_t(stride * size_t(bottom)));
    }
    if (grey) {
        for (int32_t y = 0; y < rowsCount; ++y) {
            unsigned char* p = &buffer[stride * static_cast<size_t>(y)];
            for (int32_t x = 0; x < width; ++x, p += 3) {
                // ITU-R BT.601 weights in 8-bit fixed point
                const unsigned luma = (29u * p[0] + 150u * p[1] + 77u * p[2] + 128u) >> 8;
                p[0] = p[1] = p[2] = static_cast<unsigned char>(luma);
            }
        }
    }
    frame.width = width;
    frame.height = rowsCount;
    frame.rows = std::move(buffer);
    return FrameCopyResult::Ok;
}

int WriteFrameJpeg(const std::string& fileName, const VideoFrame& frame)
{
    return WriteFrameJpeg(fileName, frame.width, frame.height, frame.rows.data(), frame.rows.size());
}

int WriteFrameJpeg(const std::string& fileName, int32_t width, int32_t height, const unsigned char* rows, size_t size)
{
    if (width <= 0 || height <= 0 || rows == nullptr || size != codec_stride(width, 24) * static_cast<size_t>(height))
        return CODEC_ERR_SIZE;
    ImageHeader header = {};
    header.width = width;
    header.height = height;
    header.bpp = 24;
    const int fd = codec_io_create(fileName.c_str(), codec_mode_write_binary());
    if (fd < 0)
        return CODEC_ERR_WRITE;
    int rc = codec_write(fileName.c_str(), fd, CODEC_FORMAT_JPEG, &header, nullptr, rows, "quality=95");
    if (codec_io_close(fd) != 0 && rc == CODEC_OK)
        rc = CODEC_ERR_WRITE;
    if (rc != CODEC_OK)
        std::remove(fileName.c_str());
    return rc;
}
