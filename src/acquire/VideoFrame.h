// The video frame dialog's rules that need no window: its size on a screen, the layout of its
// controls, the frame file's name, and the grabbed frame's pixels. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The size the dialog opens with on a screen of the given size.
struct VideoDialogSize
{
    bool maximise = false;
    int width = 0, height = 0;  // when not maximised
};
VideoDialogSize VideoDialogSizeForScreen(int screenWidth, int screenHeight);

// Where the controls go for a client area of cx x cy: the frame keeps its place and takes the
// size, the buttons keep their size and move.
struct VideoDialogLayout
{
    int frameWidth, frameHeight;
    int cancelX, cancelY;
    int okX, okY;
};
VideoDialogLayout VideoDialogLayoutForClient(int cx, int cy);
constexpr int kVideoDialogMinTrackWidth = 140;
constexpr int kVideoDialogMinTrackHeight = 80;

// Frame files: "FV_%u.jpg" with a number from 0 to 32767.
constexpr unsigned kFrameNumberCount = 32768;
std::string FrameFileName(unsigned number);
// The first name from `start` on (wrapping at 32768) for which `taken` says no; empty when every
// name is taken. `taken` may reserve the name it is asked about and answer false.
std::string NextFreeFrameName(const std::string& folder, unsigned start,
                              const std::function<bool(const std::string&)>& taken);

// A 24-bit frame in device-independent-bitmap rows: bottom-up, blue-green-red, rows padded to 4.
struct VideoFrame
{
    int32_t width = 0, height = 0;
    std::vector<unsigned char> rows;
};

// The bytes a frame of the grabber's bitmap header holds; 0 when the header describes nothing we
// take (not 24 bits, not uncompressed, no size, or too large).
size_t VideoFrameBytes(int32_t width, int32_t height, int bitCount, uint32_t compression);

enum class FrameCopyResult { Ok, BadFormat, SizeMismatch };
// Takes over the grabber's buffer, `size` bytes of it filled, for a bitmap header of width x height
// (a negative height means rows top-down) as `frame`; only exactly the header's size is taken.
// With `grey` every pixel becomes its luminance in all three channels.
FrameCopyResult TakeGrabbedFrame(std::vector<unsigned char>&& buffer, size_t size, int32_t width, int32_t height,
                                 int bitCount, uint32_t compression, bool grey, VideoFrame& frame);

// Writes the frame as a JPEG file (quality 95) through the picture codecs; the codec's result code.
// A file left behind by a failed write is removed.
int WriteFrameJpeg(const std::string& fileName, const VideoFrame& frame);
int WriteFrameJpeg(const std::string& fileName, int32_t width, int32_t height, const unsigned char* rows, size_t size);
