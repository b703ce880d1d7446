#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "acquire/CameraRules.h"
#include "acquire/CameraSdk.h"

namespace {

std::string Named(const ReleasedItemNaming& n)
{
    return std::string(n.prefix) + "." + n.extension;
}

} // namespace

TEST(CameraRules, ItemNamesByTypeAndFormat)
{
    ReleasedItemNaming n;
    ChooseItemNaming(0x99, 1, n);
    EXPECT_EQ(Named(n), "FV.JPG") << "an unknown first item starts from the picture's naming";
    ChooseItemNaming(16, 1, n);
    EXPECT_EQ(Named(n), "TH.JPG");
    ChooseItemNaming(0x77, 1, n);
    EXPECT_EQ(Named(n), "TH.JPG") << "an unknown type keeps the item before";
    ChooseItemNaming(32, 1, n);
    EXPECT_EQ(Named(n), "FV.JPG");
    ChooseItemNaming(32, 0, n);
    EXPECT_EQ(Named(n), "FV.CRW") << "any format but JPEG is the camera's raw format";
    ChooseItemNaming(32, 7, n);
    EXPECT_EQ(Named(n), "FV.CRW");
    ChooseItemNaming(80, 0, n);
    EXPECT_EQ(Named(n), "FP.JPG");
    EXPECT_TRUE(IsPictureItem(32) && IsPictureItem(80));
    EXPECT_FALSE(IsPictureItem(16) || IsPictureItem(0x77));
}

TEST(CameraRules, NamesAreBuiltInsideTheBuffer)
{
    char name[kReleasedNameBufferSize];
    ASSERT_TRUE(BuildReleasedFileName("C:\\TEMP\\", "FV", 12, "JPG", name, sizeof(name)));
    EXPECT_STREQ(name, "C:\\TEMP\\FV000012.JPG");
    ASSERT_TRUE(BuildReleasedFileName("C:\\TEMP\\", "TH", 1234567, "JPG", name, sizeof(name)));
    EXPECT_STREQ(name, "C:\\TEMP\\TH1234567.JPG") << "six digits at least, more when the counter needs them";
    ASSERT_TRUE(BuildReleasedFileName("C:\\TEMP\\", "FP", 4294967295u, "JPG", name, sizeof(name)));
    EXPECT_STREQ(name, "C:\\TEMP\\FP4294967295.JPG") << "the counter is unsigned";

    // The longest folder every name fits, and the first one refused.
    const std::string longest = "C:\\" + std::string(239, 'a') + "\\";
    ASSERT_EQ(longest.size(), 243u);
    EXPECT_TRUE(ReleasedNamesFit(longest));
    ASSERT_TRUE(BuildReleasedFileName(longest, "FV", 4294967295u, "CRW", name, sizeof(name)));
    EXPECT_EQ(std::string(name).size(), 259u);
    EXPECT_FALSE(ReleasedNamesFit(longest + "b"));

    // A name that does not fit leaves the buffer empty and untouched past its end.
    char small[24];
    std::memset(small, 'x', sizeof(small));
    EXPECT_FALSE(BuildReleasedFileName("C:\\TEMP\\FOLDER\\", "FV", 1, "JPG", small, 20));
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[20], 'x');
    EXPECT_FALSE(BuildReleasedFileName("C:\\", "FV", 1, "JPG", small, 0));
}

TEST(CameraRules, SizeAndQualityCodes)
{
    EXPECT_EQ(CameraQualityCode(1), 3u);
    EXPECT_EQ(CameraQualityCode(2), 2u);
    for (long other : {0L, 3L, -1L, 80L})
        EXPECT_EQ(CameraQualityCode(other), 5u) << other;
    EXPECT_EQ(CameraSizeCode(1), 1u);
    EXPECT_EQ(CameraSizeCode(2), 2u);
    for (long other : {0L, 3L, -2L, 640L})
        EXPECT_EQ(CameraSizeCode(other), 0u) << other;
}

TEST(CameraRules, EventAnswers)
{
    // Severity is bits 16..19 only.
    for (uint32_t id : {0x00040000u, 0x00040005u, 0x00140001u}) {
        const CameraEventReply r = AnswerCameraEvent(id);
        EXPECT_TRUE(r.shutdown) << std::hex << id;
        EXPECT_EQ(r.answer, 0u);
    }
    EXPECT_EQ(AnswerCameraEvent(0x00020005u).answer, 140u);
    EXPECT_FALSE(AnswerCameraEvent(0x00020005u).shutdown);
    for (uint32_t id : {0x00020006u, 0x00010005u, 0x00030005u, 0x00060005u, 0u}) {
        const CameraEventReply r = AnswerCameraEvent(id);
        EXPECT_EQ(r.answer, 0u) << std::hex << id;
        EXPECT_FALSE(r.shutdown) << std::hex << id;
    }
}
