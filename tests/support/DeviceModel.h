// Devices on the far end of a serial line, for tests: the scripted line of the native tests and
// the pty server (tools/ptycom) both drive these. A model sees every byte the host writes, with
// the line settings at that moment, and answers with bytes of its own. New kinds of device are
// new subclasses, named in MakeDeviceModel.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

struct LineSettings
{
    unsigned long baudRate = 9600;
    int parity = 0;  // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY: 0..4
    int byteSize = 8;
    int stopBits = 0;  // ONESTOPBIT 0, TWOSTOPBITS 2
};

class CDeviceModel
{
public:
    virtual ~CDeviceModel() = default;
    // One byte from the host; what the device sends back is appended to answer.
    virtual void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) = 0;
};

// Nothing on the line.
class CSilentModel : public CDeviceModel
{
public:
    void OnByte(uint8_t, const LineSettings&, std::vector<uint8_t>&) override {}
};

// A reader adapter with nothing behind it: every byte comes back as sent. Options change that:
//   swap=AA:55     the echo of AA comes back as 55
//   presence=E0    a 1-Wire reset (F0 at 9600 baud or slower) comes back as E0: a device answered
//   report         after the echo of '?' (3F) the line settings follow: baud rate (4 bytes, low
//                  first), parity, byte size, stop bits
class CEchoModel : public CDeviceModel
{
public:
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override;

    std::map<uint8_t, uint8_t> m_swap;
    int m_presence = -1;  // the reset's answer; -1: no device on the bus
    bool m_report = false;
};

// Answers the n-th byte from the host with the n-th list of bytes; silent once the list ends.
class CReplayModel : public CDeviceModel
{
public:
    explicit CReplayModel(std::vector<std::vector<uint8_t>> answers) : m_answers(std::move(answers)) {}
    void OnByte(uint8_t, const LineSettings&, std::vector<uint8_t>& answer) override;

private:
    std::vector<std::vector<uint8_t>> m_answers;
    size_t m_next = 0;
};

// A broken line: every byte is answered with 0 to 3 random bytes.
class CNoiseModel : public CDeviceModel
{
public:
    explicit CNoiseModel(uint32_t seed) : m_random(seed) {}
    void OnByte(uint8_t, const LineSettings&, std::vector<uint8_t>& answer) override;

private:
    std::mt19937 m_random;
};

// The settings a host gave a terminal line (the slave side of a pty), from its termios.
LineSettings LineSettingsOfTty(const char* path);

// "echo [options]", "silent" or "noise SEED". Null with error set for anything else.
std::unique_ptr<CDeviceModel> MakeDeviceModel(const std::vector<std::string>& words, std::string& error);
