// The serial route of a key read: one poll of the reader line behind an open port, for the three
// kinds of reader that may hang on it (ASCII-line reader, 1-Wire adapter, packet reader).
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "compat/wincompat.h"
#include "ports/SerialApi.h"

class CCOMFile;

class CTrelKeyReader
{
public:
    explicit CTrelKeyReader(CCOMFile* port);  // keeps the port's line settings to restore them
    virtual ~CTrelKeyReader();                // restores the line and lets it settle; never throws
    CTrelKeyReader(const CTrelKeyReader&) = delete;
    CTrelKeyReader& operator=(const CTrelKeyReader&) = delete;

    // One poll: the key number, or 0 when no key was read. Raises the port's failures and
    // "Key Not Found" / "Wrong character in received packet!".
    uint32_t ReadKeyNumber();

private:
    uint32_t ReadOneWireRom();
    uint32_t ProbePacketReader();
    void SendPacket(uint8_t command, uint8_t data);

    CCOMFile* m_port;
    DCB m_savedDcb;
};

// Probe memory shared by every poll of the process (not locked: one polling thread at a time).
// Ports on which an ASCII-line reader answered, or no packet reader did: the slow probes at other
// baud rates are skipped there until the memory is cleared.
extern std::set<std::string> g_noProbePorts;
// When a poll last went on to the 1-Wire or packet probes; more than 15 s ago clears the ports above.
extern DATE g_lastProbeTime;
// Sequence number of the next packet-reader frame.
extern uint8_t g_packetSequence;

// The current local time as an automation date.
DATE CurrentOleDate();

// The 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected, initial 0); 0 over a ROM code with its CRC.
uint8_t OneWireCrc8(const uint8_t* bytes, size_t count);
// CRC-16/X-25 (reflected 0x1021, initial and final XOR 0xFFFF) of the packet reader's frames.
uint16_t PacketCrc16(const uint8_t* bytes, size_t count);
// A packet-reader frame as sent: start, stuffed sequence/command/data/CRC, end.
std::vector<uint8_t> BuildKeyReaderFrame(uint8_t sequence, uint8_t command, uint8_t data);
// The bytes between a frame's start byte and its last byte, unstuffed. A stuffing byte with an
// unknown follower gives nothing; one at the very end is dropped.
std::vector<uint8_t> UnstuffKeyReaderBytes(const uint8_t* raw, size_t count);
