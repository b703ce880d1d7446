#include <gtest/gtest.h>

#include "picture/WorkNames.h"

TEST(WorkNames, CopyNameUsesTheFileNamePart)
{
    EXPECT_EQ(WorkCopyName("C:\\TEMP\\", 123, "C:\\Photos\\a.jpg"), "C:\\TEMP\\FV123_a.jpg");
    EXPECT_EQ(WorkCopyName("C:\\TEMP\\", 0, "a,b.jpg"), "C:\\TEMP\\FV0_a,b.jpg");
    EXPECT_EQ(FileNamePart("C:\\Photos\\"), "");
    EXPECT_EQ(WithTrailingBackslash("C:\\TEMP"), "C:\\TEMP\\");
    EXPECT_EQ(WithTrailingBackslash("C:\\TEMP\\"), "C:\\TEMP\\");
}

TEST(WorkNames, StaleAfterOneWholeDay)
{
    const int64_t now = 1'700'000'000;
    EXPECT_FALSE(IsStaleWorkFile(now - 23 * 3600, now));
    EXPECT_FALSE(IsStaleWorkFile(now - 86399, now));
    EXPECT_TRUE(IsStaleWorkFile(now - 86400, now));
    EXPECT_TRUE(IsStaleWorkFile(now - 25 * 3600, now));
    // A last access in the future (clock changes) is never stale.
    EXPECT_FALSE(IsStaleWorkFile(now + 3 * 86400, now));
    EXPECT_FALSE(IsWorkFileName("."));
    EXPECT_FALSE(IsWorkFileName(".."));
    EXPECT_TRUE(IsWorkFileName("FV123_a.jpg"));
    EXPECT_TRUE(IsWorkFileName("fv_1.jpg"));
    EXPECT_FALSE(IsWorkFileName("PHOTO~1.JPG"));
}

TEST(WorkNames, EditorCommandDropsFourCharactersSafely)
{
    char value[1024] = "\"C:\\PhotoEd\\PhotoEd.exe\" \"%1\"";
    size_t n = strlen(value) + 1;
    EXPECT_EQ(EditorCommandFromValue(value, sizeof(value), n), "\"C:\\PhotoEd\\PhotoEd.exe\" ");
    // Too short to cut: empty, never a write or read outside the buffer.
    for (const char* shortValue : {"", "a", "abc", "abcd"}) {
        char buf[1024] = {};
        strcpy(buf, shortValue);
        EXPECT_EQ(EditorCommandFromValue(buf, sizeof(buf), strlen(shortValue) + 1), "") << shortValue;
    }
    EXPECT_EQ(EditorCommandFromValue("abcde", 6, 6), "a");
    // A value stored without its terminating zero still cuts inside what was read.
    const char raw[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    EXPECT_EQ(EditorCommandFromValue(raw, sizeof(raw), sizeof(raw)), "abc");
    EXPECT_EQ(EditorCommandFromValue(raw, sizeof(raw), 100), "");
    EXPECT_EQ(EditorCommandFromValue(nullptr, 0, 0), "");
}
