#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "acquire/VideoFrame.h"
#include "codecs/codec.h"

TEST(VideoDialogSize, MaximisedOnSmallScreensElseAtMost662x542)
{
    EXPECT_TRUE(VideoDialogSizeForScreen(640, 480).maximise);
    EXPECT_TRUE(VideoDialogSizeForScreen(682, 562).maximise);  // both within the limit
    const VideoDialogSize wide = VideoDialogSizeForScreen(683, 562);
    EXPECT_FALSE(wide.maximise);
    EXPECT_EQ(wide.width, 662);
    EXPECT_EQ(wide.height, 542);
    const VideoDialogSize low = VideoDialogSizeForScreen(1920, 500);  // one side too large is enough
    EXPECT_FALSE(low.maximise);
    EXPECT_EQ(low.width, 662);
    EXPECT_EQ(low.height, 480);
    const VideoDialogSize big = VideoDialogSizeForScreen(1024, 768);
    EXPECT_EQ(big.width, 662);
    EXPECT_EQ(big.height, 542);
}

TEST(VideoDialogLayout, FrameTakesTheSizeButtonsMove)
{
    const VideoDialogLayout l = VideoDialogLayoutForClient(500, 400);
    EXPECT_EQ(l.frameWidth, 486);
    EXPECT_EQ(l.frameHeight, 362);
    EXPECT_EQ(l.cancelX, 372);
    EXPECT_EQ(l.okX, 235);
    EXPECT_EQ(l.cancelY, 376);
    EXPECT_EQ(l.okY, 376);
}

TEST(FrameNames, NextFreeNameFromTheDrawnNumberOnWrappingAt32768)
{
    EXPECT_EQ(FrameFileName(0), "FV_0.jpg");
    EXPECT_EQ(FrameFileName(32767), "FV_32767.jpg");
    std::set<std::string> existing = {"c:\\t\\FV_32766.jpg", "c:\\t\\FV_32767.jpg"};
    auto taken = [&](const std::string& n) { return existing.count(n) != 0; };
    EXPECT_EQ(NextFreeFrameName("c:\\t\\", 5, taken), "c:\\t\\FV_5.jpg");
    EXPECT_EQ(NextFreeFrameName("c:\\t\\", 32766, taken), "c:\\t\\FV_0.jpg");
    // A name handed out is taken by the next grab, even with the same number drawn.
    std::set<std::string> reserved;
    auto reserve = [&](const std::string& n) { return !reserved.insert(n).second; };
    const std::string first = NextFreeFrameName("d\\", 7, reserve);
    const std::string second = NextFreeFrameName("d\\", 7, reserve);
    EXPECT_EQ(first, "d\\FV_7.jpg");
    EXPECT_EQ(second, "d\\FV_8.jpg");
    int asked = 0;
    EXPECT_EQ(NextFreeFrameName("d\\", 3, [&](const std::string&) { return ++asked, true; }), "");
    EXPECT_EQ(asked, 32768) << "every name is asked about once, then the search ends";
}

namespace {

// A 3 x 2 frame in the grabber's rows: bottom-up, each row padded to 12 bytes.
std::vector<unsigned char> SmallFrame()
{
    std::vector<unsigned char> rows(24, 0xEE);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            unsigned char* p = &rows[size_t(y) * 12 + size_t(x) * 3];
            p[0] = static_cast<unsigned char>(10 * y + x);  // blue
            p[1] = 100;
            p[2] = 200;
        }
    return rows;
}

} // namespace

TEST(GrabbedFrame, OnlyABufferOfTheFormatsExactSizeIsTaken)
{
    const std::vector<unsigned char> rows = SmallFrame();
    auto take = [&](size_t filled, int32_t w, int32_t h, int bits, uint32_t compression, VideoFrame& frame) {
        std::vector<unsigned char> buffer = rows;
        return TakeGrabbedFrame(std::move(buffer), filled, w, h, bits, compression, false, frame);
    };
    VideoFrame frame;
    EXPECT_EQ(take(rows.size(), 3, 2, 24, 0, frame), FrameCopyResult::Ok);
    EXPECT_EQ(frame.width, 3);
    EXPECT_EQ(frame.height, 2);
    EXPECT_EQ(frame.rows, rows);
    VideoFrame untouched;
    EXPECT_EQ(take(rows.size() - 1, 3, 2, 24, 0, untouched), FrameCopyResult::SizeMismatch);
    EXPECT_EQ(take(rows.size() + 12, 3, 2, 24, 0, untouched), FrameCopyResult::SizeMismatch);
    EXPECT_EQ(take(rows.size(), 3, 3, 24, 0, untouched), FrameCopyResult::SizeMismatch) << "more than the buffer holds";
    EXPECT_TRUE(untouched.rows.empty());
    EXPECT_EQ(take(rows.size(), 3, 2, 32, 0, untouched), FrameCopyResult::BadFormat);
    EXPECT_EQ(take(rows.size(), 3, 2, 24, 1, untouched), FrameCopyResult::BadFormat);
    EXPECT_EQ(take(rows.size(), 0, 2, 24, 0, untouched), FrameCopyResult::BadFormat);
    EXPECT_EQ(take(rows.size(), 3, 0, 24, 0, untouched), FrameCopyResult::BadFormat);
    EXPECT_EQ(take(rows.size(), 100000, 2, 24, 0, untouched), FrameCopyResult::BadFormat);
    EXPECT_EQ(VideoFrameBytes(640, 480, 24, 0), 921600u);
    EXPECT_EQ(VideoFrameBytes(641, 1, 24, 0), 1924u);  // rows padded to 4 bytes
}

TEST(GrabbedFrame, TopDownRowsAreTurnedAndGreyKeepsThreeChannels)
{
    const std::vector<unsigned char> rows = SmallFrame();
    VideoFrame frame;
    ASSERT_EQ(TakeGrabbedFrame(std::vector<unsigned char>(rows), rows.size(), 3, -2, 24, 0, false, frame),
              FrameCopyResult::Ok);
    EXPECT_EQ(frame.height, 2);
    EXPECT_EQ(frame.rows[0], 10) << "the top row given first ends up last";
    EXPECT_EQ(frame.rows[12], 0);
    ASSERT_EQ(TakeGrabbedFrame(std::vector<unsigned char>(rows), rows.size(), 3, 2, 24, 0, true, frame),
              FrameCopyResult::Ok);
    const unsigned luma = (29u * 1 + 150u * 100 + 77u * 200 + 128u) >> 8;
    EXPECT_EQ(frame.rows[3], luma);
    EXPECT_EQ(frame.rows[4], luma);
    EXPECT_EQ(frame.rows[5], luma);
}

TEST(FrameFile, WrittenAsJpegOrReportedAndRemoved)
{
    VideoFrame frame;
    frame.width = 64;
    frame.height = 48;
    frame.rows.assign(codec_stride(64, 24) * 48, 0);
    for (int y = 0; y < 48; ++y)  // bottom half red, top half blue
        for (int x = 0; x < 64; ++x)
            frame.rows[codec_stride(64, 24) * size_t(y) + size_t(x) * 3 + (y < 24 ? 2 : 0)] = 255;
    const std::string name = testing::TempDir() + "frame_test.jpg";
    ASSERT_EQ(WriteFrameJpeg(name, frame), CODEC_OK);
    const int fd = codec_io_open(name.c_str(), codec_mode_read_binary());
    ASSERT_GE(fd, 0);
    ImageHeader header = {};
    ASSERT_EQ(codec_read_header(name.c_str(), fd, CODEC_FORMAT_JPEG, &header, ""), CODEC_OK);
    std::vector<unsigned char> back(codec_stride(64, 24) * 48);
    ASSERT_EQ(codec_read_data(fd, CODEC_FORMAT_JPEG, &header, back.data()), CODEC_OK);
    codec_io_close(fd);
    EXPECT_EQ(header.width, 64);
    EXPECT_EQ(header.height, 48);
    EXPECT_GT(back[2], 230) << "bottom row red";
    EXPECT_LT(back[0], 25);
    EXPECT_GT(back[codec_stride(64, 24) * 47], 230) << "top row blue";
    std::remove(name.c_str());

    const std::string nowhere = testing::TempDir() + "no-such-folder/frame.jpg";
    EXPECT_EQ(WriteFrameJpeg(nowhere, frame), CODEC_ERR_WRITE);
    // A disk that fails half-way: an error, and no half-written file left behind.
    codec_io_write = [](int, const void*, unsigned) { return -1; };
    EXPECT_NE(WriteFrameJpeg(name, frame), CODEC_OK);
    codec_io_reset();
    FILE* left = std::fopen(name.c_str(), "rb");
    EXPECT_EQ(left, nullptr);
    if (left != nullptr)
        std::fclose(left);
    frame.rows.pop_back();
    EXPECT_EQ(WriteFrameJpeg(name, frame), CODEC_ERR_SIZE) << "rows that do not fill the frame are refused";
}
