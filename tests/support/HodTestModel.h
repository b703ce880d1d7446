// A Hod-Test behind a reader adapter, for the scripted line and for ptycom. The adapter echoes
// every byte; the device answers the family's packets addressed to it from 64 KiB of memory whose
// first nine bytes are its header.
//
// The device tells an address byte from a data byte by the ninth bit: SPACE parity marks an
// address, MARK parity data. Where the line shows no parity (a pty loses it once bytes have passed,
// or the model is told "place"), an idle device takes its own address as an address byte and
// everything after it, up to the end of a packet, as data.
//
// Words after "hodtest" (numbers in hex unless said otherwise):
//   address=XX       device address (80)
//   number=N         the device's number, decimal (42)
//   date=Y-M-D-h-m   the stored test date, raw decimal bytes (9-6-14-10-5)
//   size=XX          the chip size code (80)
//   mem=AAAA:HEX...  bytes poked into memory at AAAA
//   presence=XX      answer the presence request with XX instead of A0 XOR address
//   badcheck         every reply carries a wrong check byte
//   silent           requests are taken but never answered
//   drop=N           the first N requests (decimal) are not answered
//   place            ignore parity: tell the address byte by its place only
#pragma once
#include <string>
#include <vector>

#include "support/DeviceModel.h"

class CHodTestModel : public CDeviceModel
{
public:
    CHodTestModel();
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override;

    // A request the device took: it was addressed to it and its check byte was right.
    struct Request
    {
        uint8_t command;
        unsigned memoryAddress;
        unsigned count;
        std::vector<uint8_t> data;  // the bytes of a memory write
    };

    // Header bytes 0 to 8: year, month, day, hour, minute, number, status low, status high, size code.
    void SetHeader(const std::vector<uint8_t>& bytes);

    std::vector<uint8_t> m_memory;
    uint8_t m_address = 0x80;
    int m_presence = -1;  // -1: the proper answer
    bool m_badCheck = false;
    bool m_silent = false;
    unsigned m_drop = 0;
    bool m_byPlace = false;

    std::vector<Request> m_requests;
    // Address bytes seen (for any device), and the parity the last one came with.
    unsigned m_addressBytes = 0;
    int m_addressParity = -1;

private:
    void Take(uint8_t byte, std::vector<uint8_t>& answer);
    void Serve(std::vector<uint8_t>& answer);

    bool m_selected = false;
    std::vector<uint8_t> m_packet;
};

// "hodtest [options]"; null with error set for an option it does not know.
std::unique_ptr<CDeviceModel> MakeHodTestModel(const std::vector<std::string>& words, std::string& error);
