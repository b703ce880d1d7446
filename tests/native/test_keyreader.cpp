#include "serial_fixture.h"

#include <cstring>
#include <functional>

#include "devices/DeviceWaits.h"
#include "ports/COMFile.h"
#include "reading/CardReader.h"
#include "reading/KeyReader.h"
#include "framework/ErrorReport.h"
#include "support/KeyReaderModels.h"

namespace {

const char kCom5[] = "\\\\.\\COM5";
const char kCom6[] = "\\\\.\\COM6";

// Pauses cost line time on the scripted line instead of real time.
class CLineWaits : public CDeviceWaits
{
public:
    explicit CLineWaits(CScriptedLine& line) : m_line(line) {}
    void WaitMicroseconds(DWORD microseconds) override { m_line.Advance(microseconds / 1000); }
    void SleepMilliseconds(DWORD milliseconds) override
    {
        m_line.Advance(milliseconds);
        m_sleeps.push_back(milliseconds);
    }
    CScriptedLine& m_line;
    std::vector<DWORD> m_sleeps;
};

// Writes down the bytes the host sends, and passes them on.
class CTapModel : public CDeviceModel
{
public:
    explicit CTapModel(std::unique_ptr<CDeviceModel> inner) : m_inner(std::move(inner)) {}
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override
    {
        m_bytes.push_back(byte);
        m_inner->OnByte(byte, line, answer);
    }
    std::unique_ptr<CDeviceModel> m_inner;
    std::vector<uint8_t> m_bytes;
};

std::string ErrorOf(const std::function<void()>& body)
{
    try {
        body();
    } catch (const _com_error& e) {
        return ComErrorText(e);
    }
    return "(no error)";
}

} // namespace

class KeyReaderTest : public SerialTest
{
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        m_previousWaits = UseDeviceWaits(&m_waits);
        g_noProbePorts.clear();
        g_lastProbeTime = 0.0;
        g_packetSequence = 1;
    }
    void TearDown() override
    {
        m_port.reset();
        UseDeviceWaits(m_previousWaits);
        SerialTest::TearDown();
    }

    // A reader model on COM5 behind a tap, the port opened; returns the model.
    template <typename Model>
    Model& Attach(std::vector<std::string> words, const char* name = kCom5)
    {
        std::string error;
        std::unique_ptr<CDeviceModel> made = MakeDeviceModel(words, error);
        EXPECT_TRUE(made) << error;
        Model* model = dynamic_cast<Model*>(made.get());
        EXPECT_NE(model, nullptr);
        auto tap = std::make_unique<CTapModel>(std::move(made));
        m_tap = tap.get();
        m_com.AddPort(name, std::move(tap));
        m_port = std::make_unique<CCOMFile>(name);
        m_port->Open();
        m_tap->m_bytes.clear();
        return *model;
    }

    // One poll as the read-key dialog makes it: reader made, read, destroyed.
    uint32_t Poll()
    {
        CTrelKeyReader reader(m_port.get());
        return reader.ReadKeyNumber();
    }

    unsigned long long TimedPoll(uint32_t& number)
    {
        m_com.ResetClock();
        number = Poll();
        return m_com.ElapsedMs();
    }

    CLineWaits m_waits{m_com};
    CDeviceWaits* m_previousWaits = nullptr;
    CTapModel* m_tap = nullptr;
    std::unique_ptr<CCOMFile> m_port;
};

TEST(KeyReaderCodes, ChecksumsAndFrames)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(OneWireCrc8(check, sizeof(check)), 0xA1);
    EXPECT_EQ(PacketCrc16(check, sizeof(check)), 0x906E);
    // The devices' own formulations agree on arbitrary data.
    uint8_t data[64];
    for (size_t i = 0; i < sizeof(data); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t n = 0; n <= sizeof(data); n += 7) {
        EXPECT_EQ(OneWireCrc8(data, n), ModelCrc8(data, n));
        EXPECT_EQ(PacketCrc16(data, n), ModelCrc16(data, n));
    }

    // Sequence numbers and CRC bytes that look like frame bytes are stuffed; start and end never.
    for (unsigned seq = 0; seq < 256; ++seq) {
        const std::vector<uint8_t> frame = BuildKeyReaderFrame(static_cast<uint8_t>(seq), 0x45, 0x00);
        ASSERT_GE(frame.size(), 7u);
        EXPECT_EQ(frame.front(), 0xFD);
        EXPECT_EQ(frame.back(), 0xFE);
        for (size_t i = 1; i + 1 < frame.size(); ++i) {
            if (frame[i] == 0xFF)
                EXPECT_LE(frame[++i], 2) << "sequence " << seq;
            else
                EXPECT_LT(frame[i], 0xFD) << "unstuffed frame byte, sequence " << seq;
        }
        const std::vector<uint8_t> body = UnstuffKeyReaderBytes(frame.data() + 1, frame.size() - 2);
        ASSERT_EQ(body.size(), 5u);
        EXPECT_EQ(body[0], seq);
        const uint16_t crc = PacketCrc16(body.data(), 3);
        EXPECT_EQ(body[3] | body[4] << 8, crc);
    }
    EXPECT_EQ(BuildKeyReaderFrame(0xFD, 0x45, 0x00)[1], 0xFF);
    EXPECT_EQ(BuildKeyReaderFrame(0xFD, 0x45, 0x00)[2], 0x02);
    EXPECT_EQ(BuildKeyReaderFrame(0xFE, 0x45, 0x00)[2], 0x01);
    EXPECT_EQ(BuildKeyReaderFrame(0xFF, 0x45, 0x00)[2], 0x00);

    // Unstuffing: known pairs, an unknown follower gives nothing, a stuffing byte at the end is dropped.
    const uint8_t raw[] = {0x10, 0xFF, 0x00, 0xFF, 0x01, 0xFF, 0x02, 0xFF, 0x07, 0x20, 0xFF};
    EXPECT_EQ(UnstuffKeyReaderBytes(raw, sizeof(raw)), (std::vector<uint8_t>{0x10, 0xFF, 0xFE, 0xFD, 0x20}));
}

TEST_F(KeyReaderTest, AsciiLineReader)
{
    CAsciiKeyModel& model = Attach<CAsciiKeyModel>({"asciikey", "number=1A2B3C4D"});
    const unsigned setStates = m_com.Calls(CScriptedLine::kSetState);
    EXPECT_EQ(Poll(), 0x1A2B3C4Du);
    EXPECT_EQ(g_noProbePorts.count(kCom5), 1u);
    EXPECT_EQ(g_lastProbeTime, 0.0);  // the reply came before the probes
    // The line stayed at 9600 baud: one setting for the poll, one to restore it.
    EXPECT_EQ(m_com.Calls(CScriptedLine::kSetState) - setStates, 2u);
    EXPECT_EQ(m_tap->m_bytes, (std::vector<uint8_t>{0xF0}));

    model.m_digits = "FFFFFFFF";
    EXPECT_EQ(Poll(), 0xFFFFFFFFu);
    model.m_digits = "0000abcd";
    EXPECT_EQ(ErrorOf([&] { Poll(); }), "Wrong character in received packet!");
    model.m_digits = "12 45678";
    EXPECT_EQ(ErrorOf([&] { Poll(); }), "Wrong character in received packet!");
    // The longest line still reads; what follows it is left for the next drain.
    model.m_digits = "00C0FFEE";
    model.m_length = 40;
    EXPECT_EQ(Poll(), 0x00C0FFEEu);

    // Twelve characters are no reply. While the port is marked (a probe less than 15 s ago) the
    // poll ends quietly there.
    model.m_length = 12;
    g_lastProbeTime = CurrentOleDate();
    m_tap->m_bytes.clear();
    const unsigned before = m_com.Calls(CScriptedLine::kSetState);
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(m_com.Calls(CScriptedLine::kSetState) - before, 2u);
    EXPECT_EQ(m_tap->m_bytes, (std::vector<uint8_t>{0xF0}));
    // Unmarked, the ":" counts as a presence pulse and the 1-Wire read finds no valid ROM.
    g_noProbePorts.clear();
    m_tap->m_bytes.clear();
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(m_tap->m_bytes.size(), 1u + 8u + 64u);
}

TEST_F(KeyReaderTest, ProbeMemoryKeepsSlowProbesOffAnAsciiReader)
{
    CAsciiKeyModel& model = Attach<CAsciiKeyModel>({"asciikey", "number=00000102"});
    EXPECT_EQ(Poll(), 0x102u);
    model.m_noKey = true;

    // Within 15 seconds of the last probe: no probes, whatever the line says.
    g_lastProbeTime = CurrentOleDate() - 10.0 / 86400;
    m_tap->m_bytes.clear();
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(m_tap->m_bytes, (std::vector<uint8_t>{0xF0}));
    EXPECT_EQ(g_packetSequence, 1);

    // More than 15 seconds: the memory is emptied and the packet probe runs at 115200 baud; no
    // packet reader answers, so the port is marked again.
    g_lastProbeTime = CurrentOleDate() - 16.0 / 86400;
    m_tap->m_bytes.clear();
    EXPECT_EQ(Poll(), 0u);
    ASSERT_GT(m_tap->m_bytes.size(), 1u);
    EXPECT_EQ(m_tap->m_bytes[1], 0xFD);
    EXPECT_EQ(g_packetSequence, 2);
    EXPECT_EQ(g_noProbePorts.count(kCom5), 1u);
    EXPECT_GT(g_lastProbeTime, CurrentOleDate() - 2.0 / 86400);

    // A clock that went back counts as a long time.
    g_lastProbeTime = CurrentOleDate() + 1.0;
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(g_packetSequence, 3);

    // The memory is per port: another port is probed.
    g_lastProbeTime = CurrentOleDate();
    Attach<CPacketKeyModel>({"packetkey", "number=0000BEEF"}, kCom6);
    EXPECT_EQ(Poll(), 0xBEEFu);
    EXPECT_EQ(g_noProbePorts.count(kCom5), 1u);
    EXPECT_EQ(g_noProbePorts.count(kCom6), 0u);
}

TEST_F(KeyReaderTest, OneWireKey)
{
    COneWireModel& model = Attach<COneWireModel>({"onewire", "key=89ABCDEF"});
    const DCB before = m_port->m_dcb;
    uint32_t number = 0;
    const unsigned long long ms = TimedPoll(number);
    EXPECT_EQ(number, 0x89ABCDEFu);
    EXPECT_EQ(model.m_romReads, 1u);
    EXPECT_GT(g_lastProbeTime, 0.0);
    EXPECT_EQ(g_noProbePorts.count(kCom5), 0u);
    // Reset, Read ROM and 64 read slots went over the wire.
    ASSERT_EQ(m_tap->m_bytes.size(), 1u + 8u + 64u);
    EXPECT_EQ(std::vector<uint8_t>(m_tap->m_bytes.begin() + 1, m_tap->m_bytes.begin() + 9),
              (std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
    // The line is back as it was, after the pause.
    EXPECT_EQ(std::memcmp(&m_port->m_dcb, &before, sizeof(DCB)), 0);
    EXPECT_EQ(m_com.Settings(kCom5).baudRate, 9600u);
    EXPECT_EQ(m_waits.m_sleeps, (std::vector<DWORD>{150}));
    std::printf("[ timing ] 1-Wire key: %llu ms\n", ms);

    // A ROM given byte by byte: family 01, serial 0x0000A1B2C3D4 plus its CRC.
    uint8_t rom[8] = {0x01, 0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00, 0};
    rom[7] = ModelCrc8(rom, 7);
    std::memcpy(model.m_rom, rom, 8);
    EXPECT_EQ(Poll(), 0xA1B2C3D4u);
    // The same ROM with a wrong last byte reads as no key.
    model.m_rom[7] ^= 0x80;
    EXPECT_EQ(Poll(), 0u);

    // No presence pulse, or a line held low: no key.
    model.m_noKey = true;
    EXPECT_EQ(ErrorOf([&] { Poll(); }), "Key Not Found");
    model.m_noKey = false;
    model.m_low = true;
    EXPECT_EQ(ErrorOf([&] { Poll(); }), "Key Not Found");
    EXPECT_EQ(m_com.Settings(kCom5).baudRate, 9600u);  // restored after a raised poll too

    // Slots answered at random fail the CRC.
    model.m_low = false;
    model.m_noise = true;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Poll(), 0u);
}

TEST_F(KeyReaderTest, OneWireBadCrcOptionAndStaleInput)
{
    Attach<COneWireModel>({"onewire", "key=00001234", "badcrc"});
    EXPECT_EQ(Poll(), 0u);

    Attach<COneWireModel>({"onewire", "key=00001234"}, kCom6);
    // Bytes left on the line from before are drained first, at most 100 of them.
    m_com.Feed(kCom6, std::vector<uint8_t>(40, 0x3A));
    EXPECT_EQ(Poll(), 0x1234u);
    m_com.Feed(kCom6, std::vector<uint8_t>(250, 0x55));
    EXPECT_NO_THROW(Poll());
}

TEST_F(KeyReaderTest, PacketReader)
{
    CPacketKeyModel& model = Attach<CPacketKeyModel>({"packetkey", "number=DEADBEEF"});
    uint32_t number = 0;
    const unsigned long long ms = TimedPoll(number);
    EXPECT_EQ(number, 0xDEADBEEFu);
    EXPECT_EQ(model.m_readRequests, 1u);
    EXPECT_EQ(model.m_acknowledges, 1u);
    EXPECT_EQ(model.m_lastSequences, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(g_packetSequence, 3);
    EXPECT_EQ(g_noProbePorts.count(kCom5), 0u);
    // The acknowledge on the wire: sequence 2, command 21, data 13, CRC, end.
    std::vector<uint8_t> ack = BuildKeyReaderFrame(2, 0x21, 0x13);
    ASSERT_GE(m_tap->m_bytes.size(), ack.size());
    EXPECT_EQ(std::vector<uint8_t>(m_tap->m_bytes.end() - static_cast<long>(ack.size()), m_tap->m_bytes.end()), ack);
    EXPECT_EQ(ack[3], 0x13);
    EXPECT_EQ(m_com.Settings(kCom5).baudRate, 9600u);
    std::printf("[ timing ] packet reader: %llu ms\n", ms);

    // Answers that must not count: wrong sequence, wrong CRC, a cut frame. No acknowledge follows.
    model.m_wrongSequence = true;
    EXPECT_EQ(Poll(), 0u);
    model.m_wrongSequence = false;
    model.m_badCrc = true;
    EXPECT_EQ(Poll(), 0u);
    model.m_badCrc = false;
    model.m_short = true;
    EXPECT_EQ(Poll(), 0u);
    model.m_short = false;
    EXPECT_EQ(model.m_acknowledges, 1u);
    // A frame start keeps the port probed; nothing at all marks it.
    EXPECT_EQ(g_noProbePorts.count(kCom5), 0u);
    model.m_noKey = true;
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(g_noProbePorts.count(kCom5), 1u);
    EXPECT_EQ(Poll(), 0u);  // marked: no frame sent
    EXPECT_EQ(model.m_readRequests, 5u);

    // Random answers: never a number, never anything but a quiet 0.
    g_noProbePorts.clear();
    model.m_noKey = false;
    model.m_noise = true;
    for (int i = 0; i < 30; ++i) {
        g_noProbePorts.clear();
        EXPECT_EQ(Poll(), 0u);
    }
}

TEST_F(KeyReaderTest, PacketSequenceWrapsAndStuffedSequencesFail)
{
    CPacketKeyModel& model = Attach<CPacketKeyModel>({"packetkey", "number=01020304"});
    g_packetSequence = 0xFC;
    EXPECT_EQ(Poll(), 0x01020304u);  // FC; its acknowledge goes out as FD, stuffed
    EXPECT_EQ(g_packetSequence, 0xFE);
    // FE and FF travel stuffed; the raw answer then does not match and reads as no key.
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(g_packetSequence, 0xFF);
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(g_packetSequence, 0x00);
    EXPECT_EQ(Poll(), 0x01020304u);  // 00, acknowledged with 01
    EXPECT_EQ(g_packetSequence, 2);
    // The device got every frame intact, so the stuffing on the wire was right.
    EXPECT_EQ(model.m_lastSequences, (std::vector<uint8_t>{0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x01}));
    EXPECT_EQ(model.m_acknowledges, 2u);
}

TEST_F(KeyReaderTest, EmptyLineFailuresAndTheRestoredLine)
{
    // An adapter with nothing behind it: the reset comes back unchanged.
    Attach<CEchoModel>({"echo"});
    uint32_t number = 0;
    m_com.ResetClock();
    EXPECT_EQ(ErrorOf([&] { number = Poll(); }), "Key Not Found");
    std::printf("[ timing ] echo line without a reader: %llu ms\n", m_com.ElapsedMs());

    // A write failure is raised; the line is still restored.
    m_com.FailCall(CScriptedLine::kWrite, ERROR_GEN_FAILURE);
    EXPECT_EQ(ErrorOf([&] { Poll(); }).find("CCOMFile::Write() failed") != std::string::npos, true);
    EXPECT_EQ(m_com.Settings(kCom5).baudRate, 9600u);

    // The line setup is raised too.
    m_com.FailCall(CScriptedLine::kSetState, ERROR_GEN_FAILURE);
    EXPECT_NE(ErrorOf([&] { Poll(); }).find("ApplyState"), std::string::npos);

    // Restoring that fails is logged, never raised, and skips the pause.
    m_waits.m_sleeps.clear();
    {
        CTrelKeyReader reader(m_port.get());
        m_port->m_dcb.BaudRate = 115200;
        m_com.FailCall(CScriptedLine::kSetTimeouts, ERROR_GEN_FAILURE);
    }
    EXPECT_TRUE(m_waits.m_sleeps.empty());
    EXPECT_EQ(m_port->m_dcb.BaudRate, 9600u);  // the saved settings are back in the port object

    // A reader without a port fails plainly.
    CTrelKeyReader none(nullptr);
    EXPECT_THROW(none.ReadKeyNumber(), _com_error);
}

TEST_F(KeyReaderTest, PollTimes)
{
    struct Case
    {
        std::vector<std::string> model;
        unsigned long long low, high;
    } cases[] = {
        // drain timeout + reset + 14th character's timeout + pause
        {{"asciikey", "number=12345678"}, 940, 1000},
        // drain timeout + reset + 72 slots at 115200 + pause
        {{"onewire", "key=12345678"}, 550, 570},
        // drain + the unanswered reset + the answer's end + pause
        {{"packetkey", "number=12345678"}, 1340, 1400},
    };
    int port = 10;
    for (const Case& c : cases) {
        const std::string name = "\\\\.\\COM" + std::to_string(port++);
        std::string error;
        m_com.AddPort(name, MakeDeviceModel(c.model, error));
        m_port = std::make_unique<CCOMFile>(name);
        m_port->Open();
        uint32_t number = 0;
        const unsigned long long ms = TimedPoll(number);
        EXPECT_EQ(number, 0x12345678u) << c.model[0];
        EXPECT_GE(ms, c.low) << c.model[0];
        EXPECT_LE(ms, c.high) << c.model[0];
        std::printf("[ timing ] %s: one poll %llu ms of line time\n", c.model[0].c_str(), ms);
    }
}

// ---- the card-reader route ----

namespace {

class CFakeCardReader : public CCardReaderApi
{
public:
    int Initialize(int flags) override { m_calls += "init(" + std::to_string(flags) + ") "; return m_initResult; }
    int Finalyze() override { m_calls += "fin "; return 0; }
    int GetVersion() override { m_calls += "ver "; return 0x0102; }
    int RdOpen(void** handle, void* params, void* info) override
    {
        m_calls += "open ";
        const unsigned char* p = static_cast<const unsigned char*>(params);
        uint32_t one = 0;
        std::memcpy(&one, p, 4);
        const char* name = nullptr;
        std::memcpy(&name, p + 4, sizeof(name));
        m_openedName = name != nullptr ? name : "(null)";
        m_paramsValue = one;
        const unsigned char* i = static_cast<const unsigned char*>(info);
        for (size_t k = 0; k < kCardReaderInfoSize; ++k)
            m_infoZeroed = m_infoZeroed && i[k] == 0;
        if (*handle != nullptr)
            return 99;
        if (m_openResult == 0 && m_openedName == m_comName)
            *handle = &m_handle;
        return m_openedName == m_comName ? m_openResult : 5;
    }
    int RdSearchCards(void* handle, int a, int b) override
    {
        m_calls += "search(" + std::to_string(a) + "," + std::to_string(b) + ") ";
        return handle == &m_handle ? m_searchResult : 7;
    }
    int RdFindNextCard(void* handle, void* record) override
    {
        m_calls += record != nullptr ? "next " : "end ";
        if (handle != &m_handle)
            return 7;
        if (record != nullptr) {
            if (!m_hasCard)
                return 1;
            std::memcpy(record, m_record, kCardRecordSize);
        }
        return 0;
    }
    int CloseHandle(void* handle) override
    {
        m_calls += handle == &m_handle ? "close" : "close(?)";
        return 0;
    }

    std::string m_comName = "COM5";
    int m_initResult = 0, m_openResult = 0, m_searchResult = 0;
    bool m_hasCard = true;
    unsigned char m_record[kCardRecordSize] = {0xAA, 0xBB, 0xCC, 0xDD, 0x77, 0x01, 0x00, 0x00, 0x99};
    std::string m_calls, m_openedName;
    uint32_t m_paramsValue = 0;
    bool m_infoZeroed = true;
    int m_handle = 0;
};

class CScopedCardReader
{
public:
    explicit CScopedCardReader(CCardReaderApi* api) : m_previous(UseCardReader(api)) {}
    ~CScopedCardReader() { UseCardReader(m_previous); }

private:
    CCardReaderApi* m_previous;
};

} // namespace

TEST(CardReader, NumbersAndComNames)
{
    const uint8_t a[16] = {0xEE, 0x01, 0x00, 0x00, 0xEE};
    const uint8_t b[16] = {0x00, 0x00, 0x00, 0x80};
    const uint8_t c[16] = {0x00, 0x0F, 0x00, 0xF0};
    EXPECT_EQ(CardNumberFromRecord(a), 0x800000u);
    EXPECT_EQ(CardNumberFromRecord(b), 1u);
    EXPECT_EQ(CardNumberFromRecord(c), 0xF0000Fu);

    EXPECT_EQ(CardReaderComName("PORT:\\\\?\\usb#vid|USB Serial Port (COM5)"), "COM5");
    EXPECT_EQ(CardReaderComName("PORT:\\\\.\\COM3|Reader (left) (COM3)"), "left");
    EXPECT_EQ(CardReaderComName("COM7"), "");
    EXPECT_EQ(CardReaderComName("Reader (COM9"), "");
    EXPECT_EQ(CardReaderComName("x) (COM2)"), "COM2");
}

TEST(CardReader, ReadsThroughTheLibrary)
{
    CFakeCardReader fake;
    CScopedCardReader scope(&fake);
    uint32_t number = 77;
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM5|Card reader (COM5)", number), 1);
    EXPECT_EQ(number, 0x800000u);
    EXPECT_EQ(fake.m_calls, "ver open search(1,0) next end close");
    EXPECT_EQ(fake.m_openedName, "COM5");
    EXPECT_EQ(fake.m_paramsValue, 1u);
    EXPECT_TRUE(fake.m_infoZeroed);

    // No card, or a search that fails: the reader answered, with 0.
    fake.m_calls.clear();
    fake.m_hasCard = false;
    number = 77;
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM5|Card reader (COM5)", number), 1);
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(fake.m_calls, "ver open search(1,0) next close");
    fake.m_calls.clear();
    fake.m_searchResult = 3;
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM5|Card reader (COM5)", number), 1);
    EXPECT_EQ(fake.m_calls, "ver open search(1,0) close");

    // No reader behind that COM name, or no bracketed name at all: the serial route goes on.
    fake.m_calls.clear();
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM6|Card reader (COM6)", number), -1);
    EXPECT_EQ(fake.m_calls, "ver open ");
    fake.m_calls.clear();
    EXPECT_EQ(ReadCardNumber("COM5", number), -1);
    EXPECT_EQ(ReadCardNumber("USB1234", number), -1);
    EXPECT_EQ(ReadCardNumber("", number), -1);
    EXPECT_EQ(fake.m_calls, "");

    EXPECT_TRUE(CardReaderInitialize());
    fake.m_initResult = 1;
    EXPECT_FALSE(CardReaderInitialize());
    CardReaderFinalize();
    EXPECT_EQ(fake.m_calls, "init(1) init(1) fin ");
}

TEST(CardReader, AbsentLibrary)
{
    CScopedCardReader scope(nullptr);
    uint32_t number = 5;
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM5|Card reader (COM5)", number), -1);
    EXPECT_EQ(number, 0u);
    EXPECT_FALSE(CardReaderInitialize());
    CardReaderFinalize();
}
