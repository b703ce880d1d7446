// The Hod-Test protocol through the system's comm API under Wine, against Hod-Test models on ptys.
// Run by CTest under scripts/pty-com.sh with:
//   COM21 hodtest number=173 mem=0006:1085   a Hod-Test with status 0x0510 and the flag set
//   COM22 hodtest presence=21 badcheck       a device that answers wrongly to everything
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>

#include "devices/HodTest.h"
#include "framework/Module.h"
#include "ports/COMFile.h"
#include "framework/ErrorReport.h"

TEST(SerialHodTest, PresenceAndHeader)
{
    CCOMFile port("\\\\.\\COM21");
    port.Open();
    CTrelHodTest hodTest(&port);
    DWORD start = GetTickCount();
    ASSERT_TRUE(hodTest.CheckPresent());
    HodTestHeader header = {};
    ASSERT_TRUE(hodTest.ReadHeader(&header));
    std::printf("[timing] presence check and header read: %lu ms\n",
                static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_EQ(header.hodTestNumber, 173);
    // The header is packed: its fields are compared as copies (unary +), not bound by reference.
    EXPECT_EQ(+header.headerWord, 0x0510);
    EXPECT_EQ(+header.headerFlag, 1u);
    EXPECT_EQ(+header.memorySize, 4096);
    // The stored 09-06-14 10:05 through the system's own date conversion.
    SYSTEMTIME when = {};
    ASSERT_TRUE(VariantTimeToSystemTime(header.testDate, &when));
    EXPECT_EQ(when.wYear % 100, 9);
    EXPECT_EQ(when.wMonth, 6);
    EXPECT_EQ(when.wDay, 14);
    EXPECT_EQ(when.wHour, 10);
    EXPECT_EQ(when.wMinute, 5);
    // Data bytes go with MARK parity between exchanges; the driver runs at 9600 baud.
    EXPECT_EQ(port.m_dcb.Parity, MARKPARITY);
    EXPECT_EQ(port.m_dcb.BaudRate, 9600u);
}

TEST(SerialHodTest, MemoryCommands)
{
    CCOMFile port("\\\\.\\COM21");
    port.Open();
    CTrelHodTest hodTest(&port);
    hodTest.PrepareLine(TRUE);
    // The model's memory holds i * 7 + 3 beyond its header.
    BYTE buffer[70] = {};
    hodTest.ReadMemory(0x80, 0x0010, buffer, sizeof(buffer));
    for (unsigned i = 0; i < sizeof(buffer); ++i)
        ASSERT_EQ(buffer[i], static_cast<BYTE>((0x10 + i) * 7 + 3)) << i;

    BYTE data[40];
    for (unsigned i = 0; i < sizeof(data); ++i)
        data[i] = static_cast<BYTE>(0xF0 - i);
    hodTest.WriteMemory(0x80, 0x0110, data, sizeof(data));
    BYTE back[40] = {};
    hodTest.ReadMemory(0x80, 0x0110, back, sizeof(back));
    EXPECT_EQ(0, memcmp(back, data, sizeof(data)));

    DWORD type = 0;
    EXPECT_TRUE(hodTest.ReadDeviceType(0x80, &type));
    EXPECT_EQ(type, 0x0900u);
    SYSTEMTIME sunday = {2009, 6, 0, 14, 10, 5, 9, 0};
    EXPECT_TRUE(hodTest.SetClock(0x80, sunday));
    BYTE clock[6] = {};
    hodTest.ReadMemory(0x80, 0x8001, clock, sizeof(clock));
    const BYTE expected[6] = {0x00, 0x09, 0x05, 0x10, 0x54, 0xE6};
    EXPECT_EQ(0, memcmp(clock, expected, sizeof(clock)));
}

TEST(SerialHodTest, WrongAnswersReadAsNothing)
{
    CCOMFile port("\\\\.\\COM22");
    port.Open();
    CTrelHodTest hodTest(&port);
    EXPECT_FALSE(hodTest.CheckPresent());
    HodTestHeader header = {};
    EXPECT_FALSE(hodTest.ReadHeader(&header));
    EXPECT_EQ(+header.memorySize, 0);
    // The port is still usable afterwards.
    EXPECT_FALSE(hodTest.ReadHeader(&header));
}
