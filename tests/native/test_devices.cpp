#include "serial_fixture.h"

#include <algorithm>

#include "devices/DeviceWaits.h"
#include "devices/HodTest.h"
#include "framework/AfxException.h"
#include "ports/COMFile.h"
#include "framework/ErrorReport.h"
#include "support/HodTestModel.h"

namespace {

const char kCom3[] = "\\\\.\\COM3";
const char kReadLog[] = "_pCOM3d128_read_err.log";
const char kWriteLog[] = "_pCOM3d128_write_err.log";

// Waits that cost nothing and are written down.
class CRecordedWaits : public CDeviceWaits
{
public:
    void WaitMicroseconds(DWORD microseconds) override { m_busy.push_back(microseconds); }
    void SleepMilliseconds(DWORD milliseconds) override { m_sleeps.push_back(milliseconds); }
    std::vector<DWORD> m_busy;
    std::vector<DWORD> m_sleeps;
};

// Passes bytes on to a device and writes down what went over the wire, with its parity.
class CTapModel : public CDeviceModel
{
public:
    explicit CTapModel(CDeviceModel* inner) : m_inner(inner) {}
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override
    {
        m_bytes.push_back(byte);
        m_parity.push_back(line.parity);
        m_inner->OnByte(byte, line, answer);
    }
    std::unique_ptr<CDeviceModel> m_owned;
    CDeviceModel* m_inner;
    std::vector<uint8_t> m_bytes;
    std::vector<int> m_parity;
};

size_t CountLines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

class DevicesTest : public SerialTest
{
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        m_previousWaits = UseDeviceWaits(&m_waits);
    }
    void TearDown() override
    {
        UseDeviceWaits(m_previousWaits);
        SerialTest::TearDown();
    }

    // A Hod-Test model with options on COM3, its port opened (echo test passed).
    CHodTestModel& Attach(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), "hodtest");
        std::string error;
        std::unique_ptr<CDeviceModel> made = MakeHodTestModel(options, error);
        EXPECT_TRUE(made) << error;
        auto* model = static_cast<CHodTestModel*>(made.get());
        auto tap = std::make_unique<CTapModel>(model);
        tap->m_owned = std::move(made);
        m_tap = tap.get();
        m_com.AddPort(kCom3, std::move(tap));
        m_port = std::make_unique<CCOMFile>(kCom3);
        m_port->Open();
        m_device = std::make_unique<CTrelHodTest>(m_port.get());
        return *model;
    }

    CRecordedWaits m_waits;
    CDeviceWaits* m_previousWaits = nullptr;
    CTapModel* m_tap = nullptr;
    std::unique_ptr<CCOMFile> m_port;
    std::unique_ptr<CTrelHodTest> m_device;
};

TEST_F(DevicesTest, MemoryIsReadAndWrittenInChunks)
{
    CHodTestModel& model = Attach();
    // Reads: 32-byte packets from the start address on.
    BYTE buffer[70] = {};
    m_device->ReadMemory(0x80, 0x0010, buffer, sizeof(buffer));
    ASSERT_EQ(model.m_requests.size(), 3u);
    const unsigned readAt[3][2] = {{0x10, 32}, {0x30, 32}, {0x50, 6}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(model.m_requests[i].command, 0xA4);
        EXPECT_EQ(model.m_requests[i].memoryAddress, readAt[i][0]);
        EXPECT_EQ(model.m_requests[i].count, readAt[i][1]);
    }
    EXPECT_TRUE(std::equal(buffer, buffer + 70, model.m_memory.begin() + 0x10));

    // Writes: the first packet ends at a 32-byte boundary of the device memory.
    model.m_requests.clear();
    BYTE data[70];
    for (int i = 0; i < 70; ++i)
        data[i] = static_cast<BYTE>(0xC0 ^ i);
    m_device->WriteMemory(0x80, 0x0010, data, sizeof(data));
    ASSERT_EQ(model.m_requests.size(), 3u);
    const unsigned writeAt[3][2] = {{0x10, 16}, {0x20, 32}, {0x40, 22}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(model.m_requests[i].command, 0xAC);
        EXPECT_EQ(model.m_requests[i].memoryAddress, writeAt[i][0]);
        EXPECT_EQ(model.m_requests[i].count, writeAt[i][1]);
    }
    EXPECT_TRUE(std::equal(data, data + 70, model.m_memory.begin() + 0x10));
    EXPECT_TRUE(m_waits.m_sleeps.empty());

    // Nothing to move: nothing goes on the line.
    const unsigned writes = m_com.Calls(CScriptedLine::kWrite);
    m_device->ReadMemory(0x80, 0x0100, buffer, 0);
    m_device->WriteMemory(0x80, 0x0100, data, 0);
    EXPECT_EQ(m_com.Calls(CScriptedLine::kWrite), writes);

    // A range past the end of the 16-bit memory would wrap to address 0: refused before sending.
    EXPECT_THROW(m_device->ReadMemory(0x80, 0xFFF0, buffer, 17), _com_error);
    EXPECT_THROW(m_device->WriteMemory(0x80, 0xFFFF, data, 2), _com_error);
    EXPECT_THROW(m_device->ReadMemory(0x80, 0, nullptr, 1), _com_error);
    EXPECT_EQ(m_com.Calls(CScriptedLine::kWrite), writes);
    m_device->ReadMemory(0x80, 0xFFF0, buffer, 16);  // up to the last byte is fine
}

TEST_F(DevicesTest, PacketsOnTheWire)
{
    Attach({"address=80"});
    BYTE buffer[32];
    m_tap->m_bytes.clear();
    m_tap->m_parity.clear();
    m_device->ReadMemory(0x80, 0x1234, buffer, 0x20);
    // Address byte with SPACE parity, then the request with MARK parity and its check byte
    // A4 ^ 34 ^ 12 ^ 20 ^ 80.
    const std::vector<uint8_t> wire = {0x80, 0xA4, 0x34, 0x12, 0x20, 0x22};
    EXPECT_EQ(m_tap->m_bytes, wire);
    EXPECT_EQ(m_tap->m_parity, (std::vector<int>{SPACEPARITY, MARKPARITY, MARKPARITY, MARKPARITY, MARKPARITY,
                                                 MARKPARITY}));
    // 32 bit times at the port's baud rate after the address byte.
    ASSERT_EQ(m_waits.m_busy.size(), 1u);
    EXPECT_EQ(m_waits.m_busy[0], 3333u);
    EXPECT_EQ(m_com.Settings(kCom3).parity, MARKPARITY);

    // The clock: Sunday goes as weekday 7; BCD fields from 0x8001 on.
    m_tap->m_bytes.clear();
    SYSTEMTIME sunday = {2009, 6, 0, 14, 10, 5, 9, 0};
    EXPECT_TRUE(m_device->SetClock(0x80, sunday));
    const std::vector<uint8_t> clock = {0x00, 0x09, 0x05, 0x10, 0x54, 0xE6};
    ASSERT_EQ(m_tap->m_bytes.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(m_tap->m_bytes.begin() + 1, m_tap->m_bytes.begin() + 5),
              (std::vector<uint8_t>{0xAC, 0x01, 0x80, 0x06}));
    EXPECT_EQ(std::vector<uint8_t>(m_tap->m_bytes.begin() + 6, m_tap->m_bytes.end()), clock);

    // A time the BCD fields cannot hold is not sent.
    m_tap->m_bytes.clear();
    SYSTEMTIME bad = sunday;
    bad.wMinute = 60;
    EXPECT_FALSE(m_device->SetClock(0x80, bad));
    bad = sunday;
    bad.wDayOfWeek = 7;
    EXPECT_FALSE(m_device->SetClock(0x80, bad));
    EXPECT_TRUE(m_tap->m_bytes.empty());

    // The device type: memory byte 0 as the high byte.
    DWORD type = 0xFFFF;
    EXPECT_TRUE(m_device->ReadDeviceType(0x80, &type));
    EXPECT_EQ(type, 9u << 8);
}

TEST_F(DevicesTest, SilentDeviceCostsSevenLoggedAttempts)
{
    CHodTestModel& model = Attach({"silent"});
    m_com.ResetClock();
    BYTE buffer[4];
    try {
        m_device->ReadMemory(0x80, 0x0040, buffer, sizeof(buffer));
        ADD_FAILURE() << "a silent device read";
    } catch (const _com_error& e) {
        EXPECT_EQ(ComErrorText(e), "CCOMFile::Read() failed");
    }
    EXPECT_EQ(model.m_requests.size(), 7u);
    EXPECT_EQ(m_waits.m_sleeps, (std::vector<DWORD>{50, 100, 150, 200, 250, 300}));
    // Seven read timeouts of line time; the sleeps are spent by the waits, not the line.
    EXPECT_GE(m_com.ElapsedMs(), 7u * 400);
    EXPECT_LT(m_com.ElapsedMs(), 7u * 400 + 100);
    std::string log = ReadLog(kReadLog);
    EXPECT_EQ(CountLines(log), 7u);
    EXPECT_TRUE(EndsWith(log, "\tCCOMFile::Read() failed\t\t\t\r\n")) << log;
    EXPECT_EQ(CountLines(ReadLog("_pCOM3d-1_read_err.log")), 7u);  // the port's own lines

    // A write logs how far each attempt came.
    m_waits.m_sleeps.clear();
    EXPECT_FALSE(m_device->SetClock(0x80, SYSTEMTIME{2009, 6, 0, 14, 10, 5, 9, 0}));
    log = ReadLog(kWriteLog);
    EXPECT_EQ(CountLines(log), 7u);
    EXPECT_TRUE(EndsWith(log, "\tCCOMFile::Read() failed Sending address... Writing... Reading CRC...\t\t\t\r\n"))
        << log;
    EXPECT_EQ(m_waits.m_sleeps.size(), 6u);
}

TEST_F(DevicesTest, RetriesRecoverAndCheckFailuresAreLogged)
{
    CHodTestModel& model = Attach({"drop=2"});
    BYTE buffer[40] = {};
    m_device->ReadMemory(0x80, 0x0200, buffer, sizeof(buffer));
    EXPECT_TRUE(std::equal(buffer, buffer + 40, model.m_memory.begin() + 0x200));
    EXPECT_EQ(m_waits.m_sleeps, (std::vector<DWORD>{50, 100}));
    EXPECT_EQ(CountLines(ReadLog(kReadLog)), 2u);
    EXPECT_EQ(model.m_requests.size(), 4u);  // the first chunk three times, then the second

    // Wrong check bytes: "CRC error" on reads; on writes the log shows both values.
    model.m_badCheck = true;
    try {
        m_device->ReadMemory(0x80, 0x0200, buffer, 1);
        ADD_FAILURE() << "a bad check byte was accepted";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
        EXPECT_EQ(ComErrorText(e), "CRC error");
    }
    const BYTE one = 0x11;
    try {
        m_device->WriteMemory(0x80, 0x0300, &one, 1);
        ADD_FAILURE() << "a bad check byte was accepted";
    } catch (const _com_error& e) {
        EXPECT_EQ(ComErrorText(e), "CRC error!");
    }
    std::string log = ReadLog(kWriteLog);
    EXPECT_EQ(CountLines(log), 7u);
    EXPECT_TRUE(EndsWith(log, "\tCRC error!CRC error! comp: 17; contr: 75\t\t\t\r\n")) << log;
}

TEST_F(DevicesTest, ExchangeLogFailureTravelsUpInPlaceOfTheExchangeFailure)
{
    Attach({"silent"});
    // A log folder that cannot be made: the port's own log line already fails.
    SetExchangeLogBaseDir("/proc/version");
    BYTE buffer[1];
    try {
        m_device->ReadMemory(0x80, 0, buffer, 1);
        ADD_FAILURE() << "no failure";
    } catch (CException* e) {
        e->Delete();
    }
    EXPECT_TRUE(m_waits.m_sleeps.empty());  // not retried
}

TEST_F(DevicesTest, SendAddressLeavesMarkParityAfterAFailure)
{
    Attach();
    m_com.FailCall(CScriptedLine::kWrite, ERROR_GEN_FAILURE);
    EXPECT_THROW(m_device->SendAddress(0x80), _com_error);
    EXPECT_EQ(m_com.Settings(kCom3).parity, MARKPARITY);
    EXPECT_EQ(m_port->m_dcb.Parity, MARKPARITY);

    m_com.FailCall(CScriptedLine::kPurge, ERROR_GEN_FAILURE);
    EXPECT_THROW(m_device->SendAddress(0x80), _com_error);
    EXPECT_EQ(m_com.Settings(kCom3).parity, MARKPARITY);

    // Switching to address mode itself failed: the state in m_dcb is put back too.
    m_com.FailCall(CScriptedLine::kSetState, ERROR_GEN_FAILURE);
    try {
        m_device->SendAddress(0x80);
        ADD_FAILURE() << "no failure";
    } catch (const _com_error& e) {
        EXPECT_TRUE(EndsWith(ComErrorText(e), "CCOMFile::ApplyState SetCommState()"));  // the first failure
    }
    EXPECT_EQ(m_port->m_dcb.Parity, MARKPARITY);
    EXPECT_EQ(m_com.Settings(kCom3).parity, MARKPARITY);
}

TEST_F(DevicesTest, PresenceCheck)
{
    CHodTestModel& model = Attach();
    m_port->m_baudRate = 19200;  // PrepareLine sets the driver's rate, not this
    m_port->m_dcb.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_TRUE(m_device->CheckPresent());
    EXPECT_EQ(m_com.Settings(kCom3).baudRate, 9600u);
    EXPECT_EQ(m_port->m_dcb.fRtsControl, unsigned(RTS_CONTROL_DISABLE));
    EXPECT_EQ(m_port->m_baudRate, 19200u);
    EXPECT_EQ(m_waits.m_sleeps, std::vector<DWORD>{150});
    EXPECT_EQ(m_waits.m_busy, std::vector<DWORD>{32000000 / 19200});
    EXPECT_EQ(model.m_addressParity, SPACEPARITY);

    model.m_presence = 0x21;
    EXPECT_FALSE(m_device->CheckPresent());
    model.m_presence = -1;
    model.m_silent = true;
    EXPECT_FALSE(m_device->CheckPresent());
    model.m_silent = false;
    model.m_address = 0x81;  // another device answers elsewhere; none at 0x80
    EXPECT_FALSE(m_device->CheckPresent());

    CTrelHodTest unattached(nullptr);
    EXPECT_FALSE(unattached.CheckPresent());
}

TEST_F(DevicesTest, HeaderDecoding)
{
    CHodTestModel& model = Attach({"number=173", "mem=0006:1085"});
    HodTestHeader header;
    ASSERT_TRUE(m_device->ReadHeader(&header));
    EXPECT_EQ(header.hodTestNumber, 173);
    // The header is packed: its fields are compared as copies (unary +), not bound by reference.
    EXPECT_EQ(+header.headerWord, 0x0510);
    EXPECT_EQ(+header.headerFlag, 1u);
    EXPECT_EQ(+header.memorySize, 4096);
    EXPECT_NEAR(header.testDate, 39978.0 + (10 * 60 + 5) / 1440.0, 1e-9);  // 2009-06-14 10:05
    ASSERT_FALSE(model.m_requests.empty());
    EXPECT_EQ(model.m_requests.back().command, 0xA2);
    EXPECT_EQ(model.m_requests.back().count, 9u);
    // The packed record: fields at their offsets, little-endian.
    const BYTE* raw = reinterpret_cast<const BYTE*>(&header);
    EXPECT_EQ(raw[8], 173);
    EXPECT_EQ(raw[9], 0x10);
    EXPECT_EQ(raw[10], 0x05);
    EXPECT_EQ(raw[11], 0x00);
    EXPECT_EQ(raw[12], 0x10);
    EXPECT_EQ(raw[13], 1);

    model.m_memory[8] = 0x20;
    model.m_memory[1] = 13;  // no such month: no date, but the header stands
    ASSERT_TRUE(m_device->ReadHeader(&header));
    EXPECT_EQ(+header.testDate, 0.0);
    EXPECT_EQ(+header.memorySize, 1024);

    model.m_memory[1] = 6;
    model.m_memory[8] = 0x40;  // unknown chip: refused, though date and number were read
    EXPECT_FALSE(m_device->ReadHeader(&header));
    EXPECT_EQ(header.hodTestNumber, 173);
    EXPECT_NE(+header.testDate, 0.0);
    EXPECT_EQ(+header.memorySize, 0);

    model.m_memory[8] = 0x80;
    model.m_badCheck = true;
    EXPECT_FALSE(m_device->ReadHeader(&header));
    EXPECT_EQ(+header.memorySize, 0);
    EXPECT_EQ(header.hodTestNumber, 0);
    EXPECT_FALSE(m_device->ReadHeader(nullptr));
    // Nothing of this reaches the device's exchange log: no retries at this level.
    EXPECT_EQ(ReadLog(kReadLog), "");
}

TEST_F(DevicesTest, AddressByteToldByItsPlaceWhereParityIsNotShown)
{
    CHodTestModel& model = Attach({"place", "number=7"});
    EXPECT_TRUE(m_device->CheckPresent());
    HodTestHeader header;
    ASSERT_TRUE(m_device->ReadHeader(&header));
    EXPECT_EQ(header.hodTestNumber, 7);
    BYTE buffer[33];
    m_device->ReadMemory(0x80, 0x0080, buffer, sizeof(buffer));  // 0x80 inside a packet stays data
    EXPECT_TRUE(std::equal(buffer, buffer + 33, model.m_memory.begin() + 0x80));
}

TEST(OleDate, Conversion)
{
    auto date = [](WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0) {
        SYSTEMTIME t = {y, mo, 0, d, h, mi, s, 0};
        DATE value = -12345.0;
        return OleDateFromSystemTime(t, &value) ? value : -12345.0;
    };
    EXPECT_EQ(date(1899, 12, 30), 0.0);
    EXPECT_EQ(date(1900, 1, 1, 12), 2.5);
    EXPECT_EQ(date(1899, 12, 29, 6), -1.25);  // before the epoch the fraction counts forward
    EXPECT_EQ(date(2009, 6, 14), 39978.0);
    EXPECT_EQ(date(9, 6, 14), 39978.0);       // two-digit years: 0-29 in this century
    EXPECT_EQ(date(99, 12, 31), date(1999, 12, 31));
    EXPECT_EQ(date(30, 1, 1), date(1930, 1, 1));
    EXPECT_EQ(date(2009, 3, 0), date(2009, 2, 28));  // day 0 and overflowing days roll over
    EXPECT_EQ(date(2009, 2, 30), date(2009, 3, 2));
    EXPECT_EQ(date(2009, 6, 14, 23, 59, 59), 39978.0 + 86399.0 / 86400);
    EXPECT_LT(date(255, 1, 1), 0.0);  // a year byte above 99 is a year of the first millennium
    for (auto bad : {date(2009, 13, 1), date(2009, 0, 1), date(2009, 1, 32), date(2009, 1, 1, 24),
                     date(2009, 1, 1, 0, 60), date(10000, 1, 1)})
        EXPECT_EQ(bad, -12345.0);
}
