// The serial transport, exchange log and port discovery under Wine, against device models on ptys
// and the FTDI stand-ins. Run by CTest under scripts/pty-com.sh with:
//   COM11 echo report        an adapter that also reports the line settings it sees
//   COM12 silent             nothing on the line
//   COM13 echo presence=E0   an adapter with a device that answers the 1-Wire reset
//   COM14 echo swap=AA:55    a line that answers the echo test with another byte
// and TREL_FTDI_DEVICES="305419896:4660:COM13;7:77:COM11;9:99:COM12".
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "framework/Module.h"
#include "ports/COMFile.h"
#include "ports/ExchangeLog.h"
#include "ports/PortDiscovery.h"
#include "framework/ErrorReport.h"

namespace {

template <typename F>
_com_error Raised(F f)
{
    try {
        f();
    } catch (const _com_error& e) {
        return e;
    }
    ADD_FAILURE() << "no COM error raised";
    return _com_error(S_OK);
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The report that the COM11 model sends after the echo of '?'.
struct Report
{
    unsigned long baud;
    int parity;
    int byteSize;
};

Report AskLine(CCOMFile& port)
{
    const unsigned char query = '?';
    port.Write(&query, 1);
    unsigned char r[7] = {};
    port.Read(r, sizeof(r));
    return Report{r[0] | r[1] << 8u | r[2] << 16u | static_cast<unsigned long>(r[3]) << 24u, r[4], r[5]};
}

const char kLogFolder[] = "\\device_server_files\\";

} // namespace

TEST(SerialPorts, OpenAndTheSettingsReachingTheLine)
{
    CCOMFile port("\\\\.\\COM11");
    port.Open();
    EXPECT_TRUE(port.m_echo);
    Report r = AskLine(port);
    EXPECT_EQ(r.baud, 9600u);
    EXPECT_EQ(r.parity, NOPARITY);
    EXPECT_EQ(r.byteSize, 8);

    // The device protocols switch baud rate and MARK/SPACE parity through m_dcb.
    port.m_dcb.BaudRate = 19200;
    port.m_dcb.Parity = MARKPARITY;
    port.ApplyState();
    r = AskLine(port);
    EXPECT_EQ(r.baud, 19200u);
    EXPECT_EQ(r.parity, MARKPARITY);
    port.m_dcb.BaudRate = 115200;
    port.m_dcb.Parity = SPACEPARITY;
    port.ApplyState();
    r = AskLine(port);
    EXPECT_EQ(r.baud, 115200u);
    EXPECT_EQ(r.parity, SPACEPARITY);

    // Nothing more comes: a read ends after the per-byte timeout.
    unsigned char b = 0;
    DWORD start = GetTickCount();
    _com_error e = Raised([&] { port.Read(&b, 1); });
    DWORD waited = GetTickCount() - start;
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "CCOMFile::Read() failed");
    EXPECT_GE(waited, 350u);
    EXPECT_LT(waited, 1500u);

    // A second object takes the port over.
    CCOMFile second("\\\\.\\COM11");
    second.Open();
    EXPECT_EQ(port.m_handle, nullptr);
    EXPECT_EQ(g_openPorts["\\\\.\\COM11"].handle, second.m_handle);
}

TEST(SerialPorts, EchoTestFailuresAndTheExchangeLog)
{
    const std::string readLog = std::string(kLogFolder) + "_pCOM12d-1_read_err.log";
    DeleteFileA(readLog.c_str());

    CCOMFile silent("\\\\.\\COM12");
    DWORD start = GetTickCount();
    _com_error e = Raised([&] { silent.Open(); });
    DWORD took = GetTickCount() - start;
    std::printf("[timing] Open on a silent line: %lu ms\n", static_cast<unsigned long>(took));
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "CCOMFile::Read() failed");
    EXPECT_GE(took, 350u);
    EXPECT_LT(took, 1500u);

    // The failed read is in the port's log under the current drive's root.
    std::string log = ReadWholeFile(readLog);
    EXPECT_TRUE(EndsWith(log, "\tCCOMFile::Read() failed\r\n")) << log;
    char drive[MAX_PATH] = {};
    GetFullPathNameA(readLog.c_str(), MAX_PATH, drive, nullptr);
    std::printf("exchange log: %s\n", drive);

    CCOMFile other("\\\\.\\COM14");
    e = Raised([&] { other.Open(); });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "");
}

TEST(SerialPorts, ExchangeLogRotation)
{
    const std::string folder = kLogFolder;
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string name = folder + "_pUSB1234d128_write_err.log";
    const std::string old = folder + "_pUSB1234d128_write_err_old.log";
    {
        std::ofstream(name, std::ios::binary) << std::string(kExchangeLogMaxBytes + 1, 'a');
        std::ofstream(old, std::ios::binary) << "older";
    }
    LogExchangeError("USB1234", 128, TRUE, "CRC error!");
    EXPECT_EQ(ReadWholeFile(old).size(), kExchangeLogMaxBytes + 1);
    std::string fresh = ReadWholeFile(name);
    EXPECT_TRUE(EndsWith(fresh, "\tCRC error!\t\t\t\r\n")) << fresh;
    // Local date and time as the Russian locale writes it: 14.06.2009 10:05:09
    EXPECT_EQ(fresh[2], '.');
    EXPECT_EQ(fresh[5], '.');
}

TEST(SerialPorts, ConvertersThroughTheFtdiLibraries)
{
    CCOMFile usb("USB7");  // location 77, the adapter on COM11
    usb.Open();
    EXPECT_TRUE(usb.m_echo);
    Report r = AskLine(usb);
    EXPECT_EQ(r.baud, 9600u);
    usb.Close();

    CCOMFile unknown("USB12345");
    _com_error e = Raised([&] { unknown.Open(); });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "CCOMFile::Open CreateFile()");

    std::vector<std::string> items;
    ListUsbConverters(items, FALSE);
    EXPECT_EQ(items, (std::vector<std::string>{"USB305419896", "USB7", "USB9"}));
    // Probing keeps the lines that answer the reset: the device on COM13 and the adapter on COM11.
    ListUsbConverters(items, TRUE);
    EXPECT_EQ(items, (std::vector<std::string>{"USB305419896", "USB7"}));
}

TEST(SerialPorts, ProbeReaderPortAndItsCost)
{
    DWORD start = GetTickCount();
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM12", 0, nullptr));
    DWORD empty = GetTickCount() - start;
    start = GetTickCount();
    EXPECT_TRUE(ProbeReaderPort("\\\\.\\COM13", 0, nullptr));
    DWORD answered = GetTickCount() - start;
    start = GetTickCount();
    EXPECT_FALSE(ProbeReaderPort("\\\\.\\COM19", 0, nullptr));
    DWORD missing = GetTickCount() - start;
    std::printf("[timing] ProbeReaderPort: empty port %lu ms, answering device %lu ms, missing port %lu ms\n",
                static_cast<unsigned long>(empty), static_cast<unsigned long>(answered),
                static_cast<unsigned long>(missing));
    EXPECT_GE(empty, 40u);
    EXPECT_LT(empty, 400u);
    EXPECT_GE(answered, 130u);
    EXPECT_LT(answered, 800u);

    // The line is left as it was: a CCOMFile still opens it and passes the echo test.
    CCOMFile port("\\\\.\\COM13");
    port.Open();
    EXPECT_EQ(port.m_dcb.BaudRate, 9600u);

    // Through a converter.
    CFTDIWorker worker;
    ASSERT_EQ(worker.Init(), 3u);
    port.Close();
    EXPECT_TRUE(ProbeReaderPort("", 305419896, &worker));
    EXPECT_FALSE(ProbeReaderPort("", 9, &worker));
}

TEST(SerialPorts, ListingComPorts)
{
    // Fixed names with the busy test: the pty ports of this test are there, unused numbers are not.
    std::vector<SerialPortInfo> ports;
    EnumPortsByFixedNames(ports);
    FinishSerialPortEntries(ports, TRUE);
    std::vector<std::string> names;
    for (const SerialPortInfo& p : ports)
        names.push_back(p.portName);
    for (const char* n : {"COM11", "COM12", "COM13", "COM14"})
        EXPECT_TRUE(Contains(names, n)) << n;
    EXPECT_FALSE(Contains(names, "COM16"));

    // The Windows 9x registry method against entries written here.
    const char* keys[] = {"Enum\\TRELTEST\\*PNP0501\\0000", "Enum\\TRELTEST\\*PNP0501\\0001",
                          "Enum\\TRELTEST\\*PNP0400\\0000", "Enum\\USBPORTS\\FTDIBUS\\0000"};
    struct Value
    {
        const char* key;
        const char* name;
        const char* data;
    };
    const Value values[] = {{keys[0], "PORTNAME", "COM11"},
                            {keys[0], "FRIENDLYNAME", "Communications Port (COM11)"},
                            {keys[1], "PORTNAME", "COM11"},
                            {keys[2], "PORTNAME", "LPT1"},
                            {keys[3], "PORTNAME", "COM13"}};
    for (const Value& v : values) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, v.key, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, v.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.data),
                       static_cast<DWORD>(strlen(v.data) + 1));
        RegCloseKey(key);
    }
    ports.clear();
    EnumPortsByRegistry(ports);
    FinishSerialPortEntries(ports, FALSE);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Enum\\TRELTEST");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Enum\\USBPORTS\\FTDIBUS");
    ASSERT_GE(ports.size(), 2u);
    auto com11 = std::find_if(ports.begin(), ports.end(), [](const SerialPortInfo& p) { return p.portName == "COM11"; });
    auto com13 = std::find_if(ports.begin(), ports.end(), [](const SerialPortInfo& p) { return p.portName == "COM13"; });
    ASSERT_NE(com11, ports.end());
    ASSERT_NE(com13, ports.end());
    EXPECT_EQ(std::count_if(ports.begin(), ports.end(), [](const SerialPortInfo& p) { return p.portName == "COM11"; }), 1);
    EXPECT_EQ(com11->devicePath, "\\\\.\\COM11");
    EXPECT_EQ(com11->portDescription, "Communications Port");
    EXPECT_FALSE(com11->isUsb);
    EXPECT_TRUE(com13->isUsb);
    EXPECT_EQ(com13->friendlyName, "COM13");
    for (const SerialPortInfo& p : ports)
        EXPECT_NE(p.portName, "LPT1");

    // Device interfaces as Wine gives them, through the method this Windows version picks.
    ports.clear();
    EXPECT_NO_THROW(EnumSerialPorts(ports, FALSE));
    std::printf("device-interface method: %u port(s)\n", static_cast<unsigned>(ports.size()));
    for (const SerialPortInfo& p : ports)
        std::printf("  %s | %s | %s\n", p.devicePath.c_str(), p.friendlyName.c_str(), p.portDescription.c_str());

    std::vector<std::string> items;
    EXPECT_NO_THROW(ListComPorts(items, FALSE));
    EXPECT_EQ(items.size(), ports.size());
    for (const std::string& item : items)
        EXPECT_EQ(item.compare(0, 5, "PORT:"), 0) << item;
}

TEST(SerialPorts, OddNamesGiveClearErrors)
{
    for (const std::string& name : {std::string(), std::string(3000, 'C'), std::string("USBabc"), std::string("USB")}) {
        CCOMFile port(name);
        _com_error e = Raised([&] { port.Open(); });
        EXPECT_TRUE(FAILED(e.Error())) << name.substr(0, 10);
        EXPECT_TRUE(EndsWith(ComErrorText(e), "CCOMFile::Open CreateFile()")) << ComErrorText(e);
    }
}
