// The three kinds of key reader a reader line may carry, as device models. Every one echoes what
// it does not answer otherwise, as the reader adapters do, so the transport's echo test passes.
//
//   asciikey [number=HHHHHHHH] [length=N] [nokey] [noise=SEED]
//       F0 at 9600 baud is answered, instead of its echo, by ":" "00" and the eight characters of
//       number (sent as given, so bad digits can be tried), then CR LF, cut or padded with '.'
//       to N characters. nokey: F0 gets no answer at all. noise: random bytes instead of the line.
//   onewire [key=HHHHHHHH | rom=16 hex digits] [badcrc] [nokey] [low] [noise=SEED]
//       A 1-Wire bus with one key. F0 at 9600 baud or slower is the reset: its echo comes back
//       pulled down to E0 by the key (F0 with nokey, 00 with low). At 115200 baud each byte is a
//       time slot: after a reset the first eight are the command; after Read ROM (33) the next 64
//       read slots carry the ROM bits, a 0 bit answering FF with FE. key= builds a family-01 ROM
//       with that number in bytes 1..4 and its CRC; badcrc spoils the CRC; noise answers the read
//       slots at random.
//   packetkey [number=HHHHHHHH] [wrongseq] [badcrc] [short] [nokey] [noise=SEED]
//       Framed reader at 115200 baud: every byte is echoed, and a complete, correct read-key frame
//       (45) is answered with FD seq 45 00 00 00 number(4, low first) 00 CRC(2) FE, stuffed. The
//       reset F0 at 9600 baud is not passed on (no echo). Acknowledges (21) are counted. The
//       options spoil the answer: the sequence plus one, a wrong CRC, the frame cut after nine
//       bytes, no answer, or random bytes instead.
#pragma once
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/DeviceModel.h"

class CAsciiKeyModel : public CDeviceModel
{
public:
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override;

    std::string m_digits = "00000000";
    int m_length = 13;
    bool m_noKey = false;
    bool m_noise = false;
    std::mt19937 m_random;
};

class COneWireModel : public CDeviceModel
{
public:
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override;

    uint8_t m_rom[8] = {};
    bool m_noKey = false;
    bool m_low = false;
    bool m_noise = false;
    std::mt19937 m_random;
    unsigned m_resets = 0;
    unsigned m_romReads = 0;

private:
    int m_slot = -1;  // time slots since the last reset; -1 before any
    uint8_t m_command = 0;
};

class CPacketKeyModel : public CDeviceModel
{
public:
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override;

    uint32_t m_number = 0;
    bool m_wrongSequence = false;
    bool m_badCrc = false;
    bool m_short = false;
    bool m_noKey = false;
    bool m_noise = false;
    std::mt19937 m_random;
    unsigned m_readRequests = 0;  // correct read-key frames received
    unsigned m_acknowledges = 0;
    std::vector<uint8_t> m_lastSequences;  // sequence numbers of the frames received, in order

private:
    void OnFrame(std::vector<uint8_t>& answer);
    bool m_inFrame = false;
    std::vector<uint8_t> m_frame;
};

// The 1-Wire CRC-8 and the packet CRC as the devices compute them.
uint8_t ModelCrc8(const uint8_t* bytes, size_t count);
uint16_t ModelCrc16(const uint8_t* bytes, size_t count);

// "asciikey ...", "onewire ...", "packetkey ..."; null with error set for anything else.
std::unique_ptr<CDeviceModel> MakeKeyReaderModel(const std::vector<std::string>& words, std::string& error);
