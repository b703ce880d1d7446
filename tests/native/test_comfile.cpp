#include "serial_fixture.h"

#include <climits>
#include <cstdio>

#include "ports/COMFile.h"
#include "framework/ErrorReport.h"

namespace {

const char kCom3[] = "\\\\.\\COM3";

// Runs f, which must raise a COM error; gives its HRESULT and description.
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

} // namespace

class ComFileTest : public SerialTest
{
};

TEST_F(ComFileTest, OpenAppliesTheLineSettingsAndPassesTheEchoTest)
{
    m_com.AddPort(kCom3, Model({"echo"}));
    CCOMFile port(kCom3);
    port.m_baudRate = 19200;
    port.Open();
    EXPECT_TRUE(port.m_echo);
    EXPECT_EQ(port.m_pendingEcho, 0);
    LineSettings line = m_com.Settings(kCom3);
    EXPECT_EQ(line.baudRate, 19200u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, NOPARITY);
    EXPECT_EQ(line.stopBits, ONESTOPBIT);
    // The driver had every flag set: parity check, flow control, DSR sensitivity and abort on
    // error go; fBinary and DTR on; RTS off; the software flow and character flags stay.
    EXPECT_EQ(GetDcbFlags(port.m_dcb), 0x0F91u);
    EXPECT_EQ(port.m_dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(port.m_dcb.fRtsControl, unsigned(RTS_CONTROL_DISABLE));
    COMMTIMEOUTS t = m_com.Timeouts(kCom3);
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 400u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    // An answering line costs no timeout.
    EXPECT_LT(m_com.ElapsedMs(), 5u);
    EXPECT_EQ(g_openPorts.count(kCom3), 1u);
    port.Close();
    EXPECT_FALSE(m_com.IsOpen(kCom3));
    EXPECT_EQ(g_openPorts.count(kCom3), 0u);
}

TEST_F(ComFileTest, EchoTestFailures)
{
    // Another byte back: E_FAIL with an empty text; the port stays open for the next Open or Close.
    m_com.AddPort(kCom3, Model({"echo", "swap=AA:55"}));
    CCOMFile port(kCom3);
    _com_error e = Raised([&] { port.Open(); });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "");
    EXPECT_FALSE(port.m_echo);
    EXPECT_TRUE(m_com.IsOpen(kCom3));
    // The next Open of the name releases the handle first.
    EXPECT_THROW(port.Open(), _com_error);
    EXPECT_EQ(m_com.Calls(CScriptedLine::kClose), 1u);

    // Silence: one read timeout, then E_FAIL and the bare text, even with a stale system error.
    m_com.AddPort("\\\\.\\COM4", Model({"silent"}));
    CCOMFile quiet("\\\\.\\COM4");
    m_com.ResetClock();
    SetLastError(ERROR_ACCESS_DENIED);
    e = Raised([&] { quiet.Open(); });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "CCOMFile::Read() failed");
    EXPECT_GE(m_com.ElapsedMs(), 400u);  // the timeout and the test byte's own time
    EXPECT_LT(m_com.ElapsedMs(), 405u);
    std::printf("[timing] Open on a silent line: %llu ms of line time (scripted)\n", m_com.ElapsedMs());
    // The failed read is in the port's exchange log.
    std::string log = ReadLog("_pCOM4d-1_read_err.log");
    EXPECT_TRUE(EndsWith(log, "\tCCOMFile::Read() failed\r\n")) << log;
}

TEST_F(ComFileTest, EchoAccounting)
{
    m_com.AddPort(kCom3, Model({"echo"}));
    CCOMFile port(kCom3);
    port.Open();
    unsigned long before = m_com.BytesRead();

    // n bytes written with their echo left pending, then m read: n + m bytes from the driver.
    const unsigned char out[3] = {1, 2, 3};
    port.Write(out, 3, TRUE, FALSE);
    EXPECT_EQ(port.m_pendingEcho, 3);
    m_com.Feed(kCom3, {7, 8});
    unsigned char in[2] = {};
    EXPECT_EQ(port.Read(in, 2), 2u);
    EXPECT_EQ(in[0], 7);
    EXPECT_EQ(in[1], 8);
    EXPECT_EQ(m_com.BytesRead() - before, 5u);
    EXPECT_EQ(port.m_pendingEcho, 0);

    // The generic Write reads its echo at once; countEcho FALSE leaves the echo as the answer.
    port.Write(out, 3);
    EXPECT_EQ(m_com.BytesRead() - before, 8u);
    port.Write(out, 1, FALSE, TRUE);
    EXPECT_EQ(port.Read(in, 1), 1u);
    EXPECT_EQ(in[0], 1);

    // Pending echo survives Flush.
    port.Write(out, 2, TRUE, FALSE);
    port.Flush();
    EXPECT_EQ(port.m_pendingEcho, 2);
}

TEST_F(ComFileTest, WriteBeforeOpenHandlesNoEcho)
{
    m_com.AddPort(kCom3, Model({"echo", "swap=AA:55"}));
    CCOMFile port(kCom3);
    EXPECT_THROW(port.Open(), _com_error);  // open, but the echo test failed
    const unsigned char out[2] = {0x10, 0x20};
    port.Write(out, 2, TRUE, TRUE);
    EXPECT_EQ(port.m_pendingEcho, 0);
    unsigned char in[2] = {};
    port.Read(in, 2);
    EXPECT_EQ(in[0], 0x10);  // the echo is still there to be read
}

TEST_F(ComFileTest, SecondObjectTakesThePortOver)
{
    m_com.AddPort(kCom3, Model({"echo"}));
    CCOMFile first(kCom3);
    first.Open();
    CCOMFile second(kCom3);
    second.Open();  // the exclusive open succeeds because the first handle was closed
    EXPECT_EQ(m_com.Calls(CScriptedLine::kClose), 1u);
    EXPECT_EQ(g_openPorts[kCom3].handle, second.m_handle);
    EXPECT_EQ(first.m_handle, nullptr);
    // The first object can neither use nor close the handle the second one holds now.
    unsigned char b = 0;
    EXPECT_THROW(first.Read(&b, 1), _com_error);
    first.Close();
    EXPECT_EQ(g_openPorts.count(kCom3), 1u);
    const unsigned char probe = 0x42;
    second.Write(&probe, 1, FALSE, TRUE);
    EXPECT_EQ(second.Read(&b, 1), 1u);
    EXPECT_EQ(b, 0x42);
}

TEST_F(ComFileTest, PortNameForms)
{
    EXPECT_FALSE(IsUsbPortName("USB"));
    EXPECT_TRUE(IsUsbPortName("USB0"));
    EXPECT_TRUE(IsUsbPortName("USBabc"));
    EXPECT_FALSE(IsUsbPortName("usb1"));
    EXPECT_EQ(ChipIdFromPortName("USB0"), 0u);
    EXPECT_EQ(ChipIdFromPortName("USB1234x5"), 1234u);
    EXPECT_EQ(ChipIdFromPortName("USBabc"), 0u);
    EXPECT_EQ(ChipIdFromPortName("USB4294967295"), 4294967295u);
    EXPECT_EQ(ChipIdFromPortName("USB99999999999999999999999"), 0xFFFFFFFFu);

    // "USB" alone is handed to the system as it stands.
    CCOMFile plain("USB");
    _com_error e = Raised([&] { plain.Open(); });
    EXPECT_EQ(static_cast<ULONG>(e.Error()), 0x80070002u);
    EXPECT_TRUE(EndsWith(ComErrorText(e), "\r\nCCOMFile::Open CreateFile()"));
    EXPECT_EQ(m_com.Calls(CScriptedLine::kCreate), 1u);

    // "USB0" is the converter whose chip ID is 0, opened by its location ID.
    m_chipId.m_converters = {{7, 70}, {0, 77}};
    m_usb.AddConverterPort(77, Model({"echo"}));
    CCOMFile usb("USB0");
    usb.Open();
    EXPECT_TRUE(usb.m_echo);
    EXPECT_TRUE(m_usb.IsOpen("location 77"));
    EXPECT_EQ(m_com.Calls(CScriptedLine::kCreate), 1u);

    // A chip ID no converter has.
    CCOMFile missing("USB1234");
    e = Raised([&] { missing.Open(); });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "CCOMFile::Open CreateFile()");
}

TEST_F(ComFileTest, FailureTextsName)
{
    struct Case
    {
        CScriptedLine::Call call;
        int skip;
        bool usb;
        const char* text;
    };
    const Case cases[] = {
        {CScriptedLine::kSetTimeouts, 0, false, "CCOMFile::Open SetCommTimeouts()"},
        {CScriptedLine::kGetState, 0, false, "CCOMFile::Open GetCommState()"},
        {CScriptedLine::kSetState, 0, false, "CCOMFile::Open SetCommState()"},
        {CScriptedLine::kPurge, 0, false, "CCOMFile::Flush() PurgeComm()"},
        {CScriptedLine::kWrite, 0, false, "CCOMFile::Write() failed"},
        {CScriptedLine::kRead, 0, false, "CCOMFile::Read() failed"},
        {CScriptedLine::kSetTimeouts, 0, true, "CCOMFile::Open SetCommTimeouts() - USB"},
        {CScriptedLine::kGetState, 0, true, "CCOMFile::Open GetCommState()- USB"},
        {CScriptedLine::kSetState, 0, true, "CCOMFile::Open SetCommState() - USB"},
        {CScriptedLine::kPurge, 0, true, "CCOMFile::Flush() PurgeComm()"},
        {CScriptedLine::kWrite, 0, true, "CCOMFile::Write() failed"},
        {CScriptedLine::kRead, 0, true, "CCOMFile::Read() failed - USB"},
    };
    m_com.AddPort(kCom3, Model({"echo"}));
    m_chipId.m_converters = {{55, 5}};
    m_usb.AddConverterPort(5, Model({"echo"}));
    for (const Case& c : cases) {
        CScriptedLine& line = c.usb ? m_usb : m_com;
        line.FailCall(c.call, ERROR_GEN_FAILURE, c.skip);
        CCOMFile port(c.usb ? "USB55" : kCom3);
        _com_error e = Raised([&] { port.Open(); });
        EXPECT_EQ(static_cast<ULONG>(e.Error()), 0x8007001Fu) << c.text;
        EXPECT_TRUE(EndsWith(ComErrorText(e), std::string("\r\n") + c.text)) << ComErrorText(e);
    }

    CCOMFile port(kCom3);
    port.Open();
    m_com.FailCall(CScriptedLine::kSetTimeouts, ERROR_GEN_FAILURE);
    EXPECT_TRUE(EndsWith(ComErrorText(Raised([&] { port.ApplyState(); })), "\r\nCCOMFile::ApplyState SetCommTimeouts()"));
    port.m_dcb.ByteSize = 3;  // the driver refuses it
    EXPECT_TRUE(EndsWith(ComErrorText(Raised([&] { port.ApplyState(); })), "\r\nCCOMFile::ApplyState SetCommState()"));
    port.m_dcb.ByteSize = 8;
    m_com.FailCall(CScriptedLine::kClose, ERROR_GEN_FAILURE);
    EXPECT_TRUE(EndsWith(ComErrorText(Raised([&] { port.Close(); })), "\r\nCCOMFile::Close() CloseHandle()"));
    EXPECT_EQ(port.m_handle, nullptr);

    // Argument checks: E_FAIL with no text (the string table has none for them).
    unsigned char b = 0;
    _com_error e = Raised([&] { port.Read(&b, 0); });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ComErrorText(e), "");
    EXPECT_EQ(Raised([&] { port.Write(nullptr, 1); }).Error(), E_FAIL);
}

TEST_F(ComFileTest, FailedReadsAndWritesAreLoggedPerPort)
{
    m_com.AddPort(kCom3, Model({"echo"}));
    CCOMFile port(kCom3);
    port.Open();
    m_com.FailCall(CScriptedLine::kWrite, ERROR_GEN_FAILURE);
    const unsigned char b = 1;
    EXPECT_THROW(port.Write(&b, 1), _com_error);
    std::string log = ReadLog("_pCOM3d-1_write_err.log");
    EXPECT_TRUE(EndsWith(log, "\r\nCCOMFile::Write() failed\r\n")) << log;
    EXPECT_EQ(log.find("\t\t\t"), std::string::npos);  // no device address: no trailing tabs

    // The echo of a write that never comes: logged as a failed read and as a failed write.
    m_com.AddPort("\\\\.\\COM9", Model({"echo"}));
    CCOMFile other("\\\\.\\COM9");
    other.Open();
    m_com.FailCall(CScriptedLine::kRead, ERROR_GEN_FAILURE);
    EXPECT_THROW(other.Write(&b, 1), _com_error);
    EXPECT_FALSE(ReadLog("_pCOM9d-1_read_err.log").empty());
    EXPECT_FALSE(ReadLog("_pCOM9d-1_write_err.log").empty());
}

TEST_F(ComFileTest, ChipIdLibraryFailures)
{
    CFTDIWorker worker;
    EXPECT_EQ(ComErrorText(Raised([&] { worker.GetChipId(0); })), "Not initialized!");
    m_chipId.m_versionStatus = 1;
    EXPECT_EQ(ComErrorText(Raised([&] { worker.Init(); })), "Can't get FTID DLL version!");
    m_chipId.m_versionStatus = 0;
    m_chipId.m_countStatus = 2;
    EXPECT_EQ(ComErrorText(Raised([&] { worker.Init(); })), "Can't get number of FTDI devices!");
    m_chipId.m_countStatus = 0;
    m_chipId.m_reportedCount = 4000000000LL;  // no machine has that many: refused, never walked
    EXPECT_EQ(ComErrorText(Raised([&] { worker.Init(); })), "Can't get number of FTDI devices!");
    m_chipId.m_reportedCount = -1;

    m_chipId.m_converters = {{11, 1}, {12, 2}};
    EXPECT_EQ(worker.Init(), 2u);
    EXPECT_EQ(worker.GetChipId(1), 12u);
    EXPECT_EQ(ComErrorText(Raised([&] { worker.GetChipId(2); })), "nDevice exceeding number of devices!");
    m_chipId.m_chipIdStatus = 4;
    EXPECT_EQ(ComErrorText(Raised([&] { worker.GetChipId(0); })), "FTID status 4");
    // A library text that fills the whole buffer is cut, not overrun.
    m_chipId.m_chipIdStatus = 99;
    EXPECT_EQ(ComErrorText(Raised([&] { worker.GetChipId(0); })), std::string(255, 'x'));
    m_chipId.m_chipIdStatus = 0;

    // Opening through the worker never raises: a failed lookup is INVALID_HANDLE_VALUE.
    m_chipId.m_locationStatus = 5;
    EXPECT_EQ(worker.CreateFile(12, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

    // Without the library at construction a USB open fails with "Not initialized!" logged and
    // the usual open failure raised; COM ports still work.
    m_chipId.m_versionStatus = 1;
    CCOMFile usb("USB11");
    _com_error e = Raised([&] { usb.Open(); });
    EXPECT_EQ(ComErrorText(e), "CCOMFile::Open CreateFile()");
    m_com.AddPort(kCom3, Model({"echo"}));
    CCOMFile com(kCom3);
    com.Open();
}

TEST_F(ComFileTest, BadLinesAndNamesGiveClearErrors)
{
    // A line full of noise: the echo test fails or passes by chance; reading never crashes or hangs.
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::string name = "\\\\.\\COM" + std::to_string(20 + seed);
        m_com.AddPort(name, std::make_unique<CNoiseModel>(seed));
        CCOMFile port(name);
        try {
            port.Open();
            unsigned char buf[64];
            for (int i = 0; i < 10; ++i) {
                unsigned char cmd = static_cast<unsigned char>(i);
                port.Write(&cmd, 1, TRUE, i % 2 == 0);
                port.Read(buf, sizeof(buf));
            }
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), E_FAIL);
        }
    }

    // Names that open nothing.
    for (const std::string& name : {std::string(), std::string(5000, 'C'), std::string("\\\\.\\COM\x01\xff")}) {
        CCOMFile port(name);
        _com_error e = Raised([&] { port.Open(); });
        EXPECT_TRUE(FAILED(e.Error()));
        EXPECT_TRUE(EndsWith(ComErrorText(e), "CCOMFile::Open CreateFile()"));
    }
    m_chipId.m_converters = {{0, 3}};
    CCOMFile letters("USBabc");  // chip ID 0
    EXPECT_TRUE(letters.IsUsb());
    EXPECT_THROW(letters.Open(), _com_error);

    // A name too long for a log file name: the failed read's log cannot be written, and the
    // framework's file exception comes out in place of the read failure.
    CCOMFile longName(std::string(5000, 'C'));
    unsigned char b = 0;
    try {
        longName.Read(&b, 1);
        ADD_FAILURE() << "read on a closed port succeeded";
    } catch (CException* e) {
        e->Delete();
    } catch (const _com_error&) {
        ADD_FAILURE() << "the log failure was swallowed";
    }
}

TEST_F(ComFileTest, DestructorSwallowsCloseFailures)
{
    m_com.AddPort(kCom3, Model({"echo"}));
    {
        CCOMFile port(kCom3);
        port.Open();
        m_com.FailCall(CScriptedLine::kClose, ERROR_GEN_FAILURE);
    }
    EXPECT_EQ(g_openPorts.count(kCom3), 0u);
}
