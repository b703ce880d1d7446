#include "reading/KeyReader.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include "devices/DeviceWaits.h"
#include "ports/COMFile.h"
#include "framework/ErrorReport.h"

std::set<std::string> g_noProbePorts;
DATE g_lastProbeTime = 0.0;
uint8_t g_packetSequence = 1;

namespace {

constexpr DWORD kSettleMs = 150;
constexpr unsigned long long kProbeMemorySeconds = 15;
constexpr size_t kReplySize = 256;

constexpr uint8_t kResetPulse = 0xF0;
constexpr size_t kAsciiLineMax = 23;       // ":" and up to 22 more characters
constexpr size_t kAsciiLineMin = 13;       // enough to hold the eight digits at 3..10
constexpr unsigned kDrainMax = 100;

constexpr uint8_t kFrameStart = 0xFD;
constexpr uint8_t kFrameEnd = 0xFE;
constexpr uint8_t kStuff = 0xFF;
constexpr uint8_t kCmdReadKey = 0x45;
constexpr uint8_t kCmdAcknowledge = 0x21;
constexpr size_t kAnswerHead = 7;          // start, sequence, command and four more
constexpr size_t kAnswerMax = 21;
constexpr size_t kAnswerMin = 13;
// sequence, command, three bytes, the key number and the CRC: anything shorter holds no number
constexpr size_t kAnswerMinUnstuffed = 11;

// DCB flag bits the poll clears: fParity, the DTR control pair, the RTS control pair, fAbortOnError.
constexpr DWORD kDcbParityCheck = 0x0002;
constexpr DWORD kDcbDtrControl = 0x0030;
constexpr DWORD kDcbRtsControl = 0x3000;
constexpr DWORD kDcbAbortOnError = 0x4000;

// A failed read here is the end of the data, not an error; Read has already logged it.
template <typename F>
bool Guarded(F body)
{
    try {
        body();
        return true;
    } catch (const _com_error&) {
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    return false;
}

int HexDigit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

uint32_t LittleEndian32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void ApplyBaudRate(CCOMFile& port, DWORD baudRate)
{
    port.m_dcb.BaudRate = baudRate;
    port.ApplyState();
}

} // namespace

DATE CurrentOleDate()
{
#ifdef _WIN32
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE date = 0.0;
    return SystemTimeToVariantTime(&st, &date) ? date : 0.0;
#else
    // Seconds since 1970 in local time; the automation date's day 25569 is 1970-01-01.
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    if (localtime_r(&now, &local) == nullptr)
        return 0.0;
    return 25569.0 + (static_cast<double>(now) + static_cast<double>(local.tm_gmtoff)) / 86400.0;
#endif
}

uint8_t OneWireCrc8(const uint8_t* bytes, size_t count)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

uint16_t PacketCrc16(const uint8_t* bytes, size_t count)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return static_cast<uint16_t>(crc ^ 0xFFFF);
}

std::vector<uint8_t> BuildKeyReaderFrame(uint8_t sequence, uint8_t command, uint8_t data)
{
    uint8_t body[5] = {sequence, command, data, 0, 0};
    const uint16_t crc = PacketCrc16(body, 3);
    body[3] = static_cast<uint8_t>(crc & 0xFF);
    body[4] = static_cast<uint8_t>(crc >> 8);
    std::vector<uint8_t> frame;
    frame.push_back(kFrameStart);
    for (uint8_t b : body) {
        if (b == kStuff || b == kFrameEnd || b == kFrameStart) {
            frame.push_back(kStuff);
            frame.push_back(static_cast<uint8_t>(kStuff - b));  // FF 00, FF 01, FF 02
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(kFrameEnd);
    return frame;
}

std::vector<uint8_t> UnstuffKeyReaderBytes(const uint8_t* raw, size_t count)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) {
        if (raw[i] != kStuff) {
            out.push_back(raw[i]);
            continue;
        }
        if (i + 1 >= count)
            break;
        const uint8_t follower = raw[++i];
        if (follower <= 2)
            out.push_back(static_cast<uint8_t>(kStuff - follower));
    }
    return out;
}

// ---- CTrelKeyReader ----

CTrelKeyReader::CTrelKeyReader(CCOMFile* port) : m_port(port), m_savedDcb()
{
    if (m_port != nullptr)
        m_savedDcb = m_port->m_dcb;
}

CTrelKeyReader::~CTrelKeyReader()
{
    if (m_port == nullptr)
        return;
    try {
        m_port->m_dcb = m_savedDcb;
        m_port->ApplyState();
        // The reader needs a moment at the restored settings before the port is used again.
        CurrentDeviceWaits().SleepMilliseconds(kSettleMs);
    } catch (...) {
        LogCaughtFailure(__FILE__, __LINE__);
    }
}

uint32_t CTrelKeyReader::ReadKeyNumber()
{
    if (m_port == nullptr)
        ThrowComError(E_POINTER, "No port for the key reader");
    CCOMFile& port = *m_port;

    // A clock that went back counts as a long time.
    const double elapsed = std::round((CurrentOleDate() - g_lastProbeTime) * 86400.0);
    if (!(elapsed >= 0.0 && elapsed <= static_cast<double>(kProbeMemorySeconds)))
        g_noProbePorts.clear();

    port.m_dcb.BaudRate = 9600;
    port.m_dcb.Parity = NOPARITY;
    port.m_dcb.StopBits = ONESTOPBIT;
    // No parity check or abort on error, DTR and RTS dropped.
    SetDcbFlags(port.m_dcb,
                GetDcbFlags(port.m_dcb) & ~(kDcbParityCheck | kDcbDtrControl | kDcbRtsControl | kDcbAbortOnError));
    port.ApplyState();

    uint8_t reply[kReplySize] = {};
    for (unsigned i = 0; i < kDrainMax; ++i)
        if (!Guarded([&] { port.Read(reply, 1); }))
            break;
    std::memset(reply, 0, sizeof(reply));

    // The reset's echo is part of the answer: on a 1-Wire line it shows whether a key pulled the
    // line down.
    port.Write(&kResetPulse, 1, FALSE, FALSE);
    size_t count = 0;
    Guarded([&] {
        port.Read(reply, 1);
        count = 1;
        if (reply[0] == ':') {
            while (count < kAsciiLineMax) {
                port.Read(reply + count, 1);
                ++count;
            }
        }
    });

    if (count >= kAsciiLineMin && reply[0] == ':') {
        uint32_t number = 0;
        for (size_t i = 3; i <= 10; ++i) {
            const int digit = HexDigit(reply[i]);
            CheckOrThrow(digit >= 0, "Wrong character in received packet!");
            number = number << 4 | static_cast<uint32_t>(digit);
        }
        g_noProbePorts.insert(port.m_portName);
        return number;
    }

    if (g_noProbePorts.count(port.m_portName) != 0)
        return 0;
    g_lastProbeTime = CurrentOleDate();

    if (count == 0) {
        ApplyBaudRate(port, 115200);
        return ProbePacketReader();
    }

    // The echo of the reset as the bus left it: unchanged, or held low, means nothing answered.
    CheckOrThrow(reply[0] != 0x00 && reply[0] != kResetPulse, "Key Not Found");
    return ReadOneWireRom();
}

uint32_t CTrelKeyReader::ReadOneWireRom()
{
    CCOMFile& port = *m_port;
    // At 115200 baud each UART byte is one 1-Wire time slot: FF writes a 1 or reads, 00 writes a 0.
    ApplyBaudRate(port, 115200);
    port.Flush();
    static const uint8_t kReadRom[8] = {0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};  // 0x33, low bit first
    uint8_t echo[64] = {};
    port.Write(kReadRom, sizeof(kReadRom), FALSE, FALSE);
    port.Read(echo, sizeof(kReadRom));
    port.Flush();
    uint8_t slots[64];
    std::memset(slots, 0xFF, sizeof(slots));
    port.Write(slots, sizeof(slots), FALSE, FALSE);
    port.Read(echo, sizeof(echo));

    uint8_t rom[8] = {};
    for (size_t k = 0; k < 64; ++k)
        if (echo[k] == 0xFF)
            rom[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    if (OneWireCrc8(rom, sizeof(rom)) != 0)
        return 0;
    return LittleEndian32(rom + 1);
}

void CTrelKeyReader::SendPacket(uint8_t command, uint8_t data)
{
    const uint8_t sequence = g_packetSequence++;
    const std::vector<uint8_t> frame = BuildKeyReaderFrame(sequence, command, data);
    m_port->Write(frame.data(), static_cast<unsigned>(frame.size()));
}

uint32_t CTrelKeyReader::ProbePacketReader()
{
    CCOMFile& port = *m_port;
    const uint8_t sequence = g_packetSequence;
    SendPacket(kCmdReadKey, 0x00);

    uint8_t raw[kReplySize] = {};
    Guarded([&] { port.Read(raw, static_cast<unsigned>(kAnswerHead)); });
    if (raw[0] != kFrameStart) {
        g_noProbePorts.insert(port.m_portName);
        return 0;
    }
    g_noProbePorts.erase(port.m_portName);
    // The raw bytes, as sent: a sequence number that needed stuffing does not match here.
    if (raw[1] != sequence || raw[2] != kCmdReadKey)
        return 0;

    size_t count = kAnswerHead;
    while (count < kAnswerMax && Guarded([&] { port.Read(raw + count, 1); }))
        ++count;
    if (count < kAnswerMin)
        return 0;

    // The start byte and the last byte received (the end byte) are not part of the contents.
    const std::vector<uint8_t> body = UnstuffKeyReaderBytes(raw + 1, count - 2);
    if (body.size() < kAnswerMinUnstuffed)
        return 0;
    const size_t n = body.size() - 2;
    const uint16_t crc = PacketCrc16(body.data(), n);
    if (body[n] != (crc & 0xFF) || body[n + 1] != (crc >> 8))
        return 0;
    const uint32_t number = LittleEndian32(body.data() + 5);

    SendPacket(kCmdAcknowledge, 0x13);
    return number;
}
