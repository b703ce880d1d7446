#include "serial_fixture.h"

#include <cstdio>

#include "ports/COMFile.h"
#include "ports/PortDiscovery.h"

TEST(PortItems, DisplayNameAndPath)
{
    EXPECT_EQ(GetPortDisplayName("PORT:\\\\.\\COM1|Communications Port (COM1)"), "Communications Port (COM1)");
    EXPECT_EQ(GetPortPath("PORT:\\\\.\\COM1|Communications Port (COM1)"), "\\\\.\\COM1");
    // Nothing after the bar: the item itself; no bar: the path runs to the end.
    EXPECT_EQ(GetPortDisplayName("PORT:\\\\.\\COM1|"), "PORT:\\\\.\\COM1|");
    EXPECT_EQ(GetPortPath("PORT:\\\\.\\COM1|"), "\\\\.\\COM1");
    EXPECT_EQ(GetPortPath("PORT:\\\\.\\COM1"), "\\\\.\\COM1");
    EXPECT_EQ(GetPortDisplayName("PORT:\\\\.\\COM1"), "PORT:\\\\.\\COM1");
    // The first bar splits; later bars belong to the display name.
    EXPECT_EQ(GetPortDisplayName("PORT:a|b|c"), "b|c");
    EXPECT_EQ(GetPortPath("PORT:a|b|c"), "a");
    // Shorter than 8 characters: never split.
    EXPECT_EQ(GetPortDisplayName("PORT:|x"), "PORT:|x");
    EXPECT_EQ(GetPortPath("PORT:|x"), "PORT:|x");
    EXPECT_EQ(GetPortPath("PORT:|xy"), "");
    EXPECT_EQ(GetPortPath("USB1234"), "USB1234");
    EXPECT_EQ(GetPortDisplayName("COM5"), "COM5");
    EXPECT_EQ(GetPortPath(""), "");
}

TEST(PortItems, PortNameFromItem)
{
    EXPECT_EQ(PortNameFromItem("COM5", "old"), "\\\\.\\COM5");
    EXPECT_EQ(PortNameFromItem("COM", "old"), "old");
    EXPECT_EQ(PortNameFromItem("PORT:\\\\?\\x#y|Port (COM7)", "old"), "\\\\?\\x#y");
    EXPECT_EQ(PortNameFromItem("PORT:", "old"), "old");
    EXPECT_EQ(PortNameFromItem("PORT:x", "old"), "PORT:x");  // too short to split: the item as a path
    EXPECT_EQ(PortNameFromItem("USB1", "old"), "USB1");
    EXPECT_EQ(PortNameFromItem("USB", "old"), "old");
    EXPECT_EQ(PortNameFromItem("", "old"), "old");
    EXPECT_EQ(PortNameFromItem("LPT1", "old"), "old");
}

TEST(PortItems, EnumMethodFromVersion)
{
    EXPECT_EQ(ChooseSerialEnumMethod(5, VER_PLATFORM_WIN32_NT), kEnumDeviceInterfaces);
    EXPECT_EQ(ChooseSerialEnumMethod(10, VER_PLATFORM_WIN32_NT), kEnumDeviceInterfaces);
    EXPECT_EQ(ChooseSerialEnumMethod(4, VER_PLATFORM_WIN32_NT), kEnumFixedNames);
    EXPECT_EQ(ChooseSerialEnumMethod(4, VER_PLATFORM_WIN32_WINDOWS), kEnumRegistry9x);
    EXPECT_EQ(ChooseSerialEnumMethod(3, VER_PLATFORM_WIN32s), kEnumRegistry9x);
}

TEST(PortItems, DescriptionFromFriendlyName)
{
    EXPECT_EQ(PortDescriptionFromFriendlyName("Communications Port (COM1)"), "Communications Port");
    EXPECT_EQ(PortDescriptionFromFriendlyName("USB Serial Port (COM12)"), "USB Serial Port");
    // The first ")" is not the last character: kept whole.
    EXPECT_EQ(PortDescriptionFromFriendlyName("Port (A) x (COM2)"), "Port (A) x (COM2)");
    EXPECT_EQ(PortDescriptionFromFriendlyName("Port (COM2) "), "Port (COM2) ");
    // " (" at position 0 does not count.
    EXPECT_EQ(PortDescriptionFromFriendlyName(" (COM2)"), " (COM2)");
    EXPECT_EQ(PortDescriptionFromFriendlyName("COM2)"), "COM2)");
    EXPECT_EQ(PortDescriptionFromFriendlyName(""), "");
}

class PortDiscoveryTest : public SerialTest
{
};

TEST_F(PortDiscoveryTest, FixedNamesWithAndWithoutTheBusyTest)
{
    m_com.AddPort("\\\\.\\COM2", nullptr);
    m_com.AddPort("\\\\.\\COM5", nullptr);
    m_com.AddPort("\\\\.\\COM7", nullptr);
    m_com.HoldElsewhere("\\\\.\\COM7", true);

    std::vector<SerialPortInfo> ports;
    EnumPortsByFixedNames(ports);
    FinishSerialPortEntries(ports, FALSE);
    ASSERT_EQ(ports.size(), 16u);
    EXPECT_EQ(ports[0].devicePath, "\\\\.\\COM1");
    EXPECT_EQ(ports[15].portName, "COM16");
    EXPECT_EQ(ports[15].friendlyName, "COM16");
    EXPECT_EQ(ports[15].portDescription, "COM16");

    ports.clear();
    EnumPortsByFixedNames(ports);
    FinishSerialPortEntries(ports, TRUE);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].portName, "COM2");
    EXPECT_EQ(ports[1].portName, "COM5");
    EXPECT_FALSE(m_com.IsOpen("\\\\.\\COM2"));  // the busy test closes what it opened

    ports = {SerialPortInfo{"\\\\?\\a", "", "USB Serial Port (COM12)", TRUE, ""},
             SerialPortInfo{"\\\\?\\b", "", "Modem (x) (COM3)", FALSE, "given"}};
    FinishSerialPortEntries(ports, FALSE);
    EXPECT_EQ(ports[0].portDescription, "USB Serial Port");
    EXPECT_EQ(ports[1].portDescription, "given");
}

TEST_F(PortDiscoveryTest, ProbeReaderPort)
{
    m_com.AddPort("\\\\.\\COM1", Model({"silent"}));
    m_com.AddPort("\\\\.\\COM2", Model({"echo"}));
    m_com.AddPort("\\\\.\\COM3", Model({"echo", "presence=E0"}));
    m_com.AddPort("\\\\.\\COM4", Model({"echo", "presence=00"}));

    m_com.ResetClock();
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM1", 0, nullptr));
    unsigned long long empty = m_com.ElapsedMs();
    EXPECT_EQ(empty, 50u);

    // An adapter without a device echoes the reset: a reader line, nothing more to do.
    m_com.ResetClock();
    unsigned writes = m_com.Calls(CScriptedLine::kWrite);
    EXPECT_TRUE(ProbeReaderPort("\\\\.\\COM2", 0, nullptr));
    EXPECT_EQ(m_com.Calls(CScriptedLine::kWrite) - writes, 1u);
    EXPECT_LT(m_com.ElapsedMs(), 55u);

    // A device answers the reset: the ROM read follows at 115200 baud, waiting out two more timeouts.
    m_com.ResetClock();
    writes = m_com.Calls(CScriptedLine::kWrite);
    EXPECT_TRUE(ProbeReaderPort("\\\\.\\COM3", 0, nullptr));
    unsigned long long answered = m_com.ElapsedMs();
    EXPECT_GE(answered, 150u);
    EXPECT_LT(answered, 160u);
    EXPECT_EQ(m_com.Calls(CScriptedLine::kWrite) - writes, 3u);
    std::printf("[timing] ProbeReaderPort (scripted line time): empty port %llu ms, answering device %llu ms\n",
                empty, answered);
    // The line is left as it was found.
    EXPECT_EQ(m_com.Settings("\\\\.\\COM3").baudRate, 1200u);
    EXPECT_EQ(m_com.Timeouts("\\\\.\\COM3").ReadTotalTimeoutConstant, 0u);
    EXPECT_FALSE(m_com.IsOpen("\\\\.\\COM3"));

    // A line held low is no reader.
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM4", 0, nullptr));
    // Missing ports, ports held elsewhere, and a chip ID without a worker.
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM9", 0, nullptr));
    m_com.HoldElsewhere("\\\\.\\COM2", true);
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM2", 0, nullptr));
    EXPECT_FALSE(ProbeReaderPort("", 1234, nullptr));

    // A failure half-way gives the answer reached so far and still restores and closes.
    m_com.FailCall(CScriptedLine::kWrite, ERROR_GEN_FAILURE, 1);
    EXPECT_TRUE(ProbeReaderPort("\\\\.\\COM3", 0, nullptr));
    EXPECT_EQ(m_com.Settings("\\\\.\\COM3").baudRate, 1200u);
    m_com.FailCall(CScriptedLine::kSetTimeouts, ERROR_GEN_FAILURE);
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM3", 0, nullptr));
    EXPECT_FALSE(m_com.IsOpen("\\\\.\\COM3"));
}

TEST_F(PortDiscoveryTest, UsbConverterList)
{
    m_chipId.m_converters = {{0, 10}, {1234, 11}, {99, 12}, {4294967295u, 13}};
    m_usb.AddConverterPort(10, Model({"echo", "presence=E0"}));
    m_usb.AddConverterPort(11, Model({"echo", "presence=E0"}));
    m_usb.AddConverterPort(12, Model({"silent"}));
    m_usb.AddConverterPort(13, Model({"echo"}));
    std::vector<std::string> items = {"stale"};
    ListUsbConverters(items, FALSE);
    EXPECT_EQ(items, (std::vector<std::string>{"USB0", "USB1234", "USB99", "USB4294967295"}));
    // Probing: chip ID 0 cannot be probed (it means a COM path, and there is none); the silent one goes.
    ListUsbConverters(items, TRUE);
    EXPECT_EQ(items, (std::vector<std::string>{"USB1234", "USB4294967295"}));

    // A converter whose chip ID cannot be read is skipped (and logged), the library's failure raised.
    m_chipId.m_versionStatus = 1;
    EXPECT_THROW(ListUsbConverters(items, FALSE), _com_error);

    // A machine without the chip-ID library has no converters, and that is no failure.
    m_chipId.m_present = false;
    items = {"stale"};
    EXPECT_NO_THROW(ListUsbConverters(items, FALSE));
    EXPECT_NO_THROW(ListUsbConverters(items, TRUE));
    EXPECT_TRUE(items.empty());
}
