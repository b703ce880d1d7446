#include <gtest/gtest.h>

#include "framework/ErrorText.h"

TEST(ComposeErrorText, AppendsEachPartWithItsLineBreak)
{
    // An empty first text still gets the line break before the second.
    EXPECT_EQ(ComposeErrorText(E_FAIL, "", "second", nullptr, 0), "\r\nsecond\r\nhr = 0x80004005");
    EXPECT_EQ(ComposeErrorText(E_FAIL, "first", "", "a.cpp", 12), "first\r\nhr = 0x80004005\r\nFile: a.cpp; Line: 12");
    EXPECT_EQ(ComposeErrorText(S_OK, "first", "second", nullptr, 0), "first\r\nsecond");
    EXPECT_EQ(ComposeErrorText(static_cast<HRESULT>(0x80070002), "", "", nullptr, 0), "\r\nhr = 0x80070002");
    // Lower-case hexadecimal without leading zeros.
    EXPECT_EQ(ComposeErrorText(static_cast<HRESULT>(0x8000000A), "x", "", nullptr, 0), "x\r\nhr = 0x8000000a");
}

TEST(ComposeErrorText, FileLineTextIsEmptyWithoutFile)
{
    EXPECT_EQ(FileLineText(nullptr, 5), "");
    EXPECT_EQ(FileLineText("src/x.cpp", 0), "File: src/x.cpp; Line: 0");
}

TEST(ComErrorFallbackText, DispatchRangeAndOthers)
{
    EXPECT_EQ(ComErrorFallbackText(static_cast<HRESULT>(0x80040201)), "IDispatch error #1");
    EXPECT_EQ(ComErrorFallbackText(static_cast<HRESULT>(0x8004FFFF)), "IDispatch error #65023");
    EXPECT_EQ(ComErrorFallbackText(static_cast<HRESULT>(0x80040200)), "Unknown error 0x80040200");
    EXPECT_EQ(ComErrorFallbackText(static_cast<HRESULT>(0x80050000)), "Unknown error 0x80050000");
    EXPECT_EQ(ComErrorFallbackText(static_cast<HRESULT>(0x1234)), "Unknown error 0x1234");
}

TEST(HResultFromLastError, Win32CodesAndPassThrough)
{
    EXPECT_EQ(static_cast<ULONG>(HResultFromLastError(2)), 0x80070002u);
    EXPECT_EQ(static_cast<ULONG>(HResultFromLastError(1460)), 0x800705B4u);
    // Only the low word of a large code survives, as the rule says.
    EXPECT_EQ(static_cast<ULONG>(HResultFromLastError(0x12345)), 0x80072345u);
    // A value that is already an HRESULT is kept.
    EXPECT_EQ(static_cast<ULONG>(HResultFromLastError(0x80004005u)), 0x80004005u);
}

TEST(SystemMessageNumber, FacilityEightUsesTheLowWord)
{
    EXPECT_EQ(SystemMessageNumber(static_cast<HRESULT>(0x80080005)), 5u);
    EXPECT_EQ(SystemMessageNumber(static_cast<HRESULT>(0x80070005)), 0x80070005u);
    EXPECT_EQ(SystemMessageNumber(static_cast<HRESULT>(0xA0080010)), 0x10u);  // bit 29 is outside the mask
    EXPECT_EQ(SystemMessageNumber(E_FAIL), 0x80004005u);
}

TEST(LogEntry, LayoutAndFolder)
{
    EXPECT_EQ(FormatLogEntry("14.06.2009 10:05:09", "ctx\r\ntext", "src/framework/ErrorReport.cpp", 77),
              "14.06.2009 10:05:09\tctx\r\ntext\t\t\tFile: src/framework/ErrorReport.cpp; Line: 77\r\n");
    EXPECT_EQ(LogFilePathFromModulePath("C:\\Program Files\\Trel\\TrelClientHelper.dll"),
              "C:\\Program Files\\Trel\\trel_log.txt");
    EXPECT_EQ(LogFilePathFromModulePath("TrelClientHelper.dll"), "c:\\trel_log.txt");
    EXPECT_EQ(LogFilePathFromModulePath(nullptr), "c:\\trel_log.txt");
    EXPECT_EQ(StripTrailingLineBreak("Access denied.\r\n"), "Access denied.");
    EXPECT_EQ(StripTrailingLineBreak("x\n"), "x");
    EXPECT_EQ(StripTrailingLineBreak(""), "");
}
