// One poll of the serial key reader over a scripted line whose device answers with fuzzer-chosen
// bytes. Input: byte 0 the starting state (bit 0: the port is in the probe memory, bit 1: the last
// probe was just now, bit 2: bytes at 115200 baud are echoed unless an answer replaces the echo),
// byte 1 the packet sequence number; the rest is the device: a list of answers
// [length & 31][bytes...], the n-th sent after the n-th byte the host writes after the port's echo
// test (length 0: the plain echo or nothing, as bit 2 says).
// Nothing may crash or hang, a raised failure must be a COM error, and a key number other than 0
// must come from what the device could have sent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/DeviceWaits.h"
#include "framework/AfxException.h"
#include "ports/COMFile.h"
#include "ports/ExchangeLog.h"
#include "reading/KeyReader.h"
#include "framework/ErrorReport.h"
#include "fuzz_line.h"
#include "support/ScriptedLine.h"

namespace {

const char kPort[] = "\\\\.\\COM1";

class CFuzzDevice : public CDeviceModel
{
public:
    CFuzzDevice(std::vector<std::vector<uint8_t>> answers, bool echoFast)
        : m_answers(std::move(answers)), m_echoFast(echoFast) {}
    void OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer) override
    {
        if (!m_opened) {
            m_opened = true;  // the transport's echo test
            answer.push_back(byte);
            return;
        }
        m_written.push_back(byte);
        const std::vector<uint8_t>* entry = m_next < m_answers.size() ? &m_answers[m_next++] : nullptr;
        if (entry != nullptr && !entry->empty()) {
            answer.insert(answer.end(), entry->begin(), entry->end());
            if (m_firstAnswer.empty())
                m_firstAnswer = *entry;
            m_sent += entry->size();
        } else if (m_echoFast && line.baudRate == 115200) {
            answer.push_back(byte);
        }
    }
    std::vector<uint8_t> m_written;      // host bytes after the echo test
    std::vector<uint8_t> m_firstAnswer;  // the first non-echo answer
    size_t m_sent = 0;                   // bytes beyond the echoes

private:
    std::vector<std::vector<uint8_t>> m_answers;
    bool m_echoFast;
    bool m_opened = false;
    size_t m_next = 0;
};

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

int Hex(uint8_t c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzline::Setup("keyreader", true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    std::vector<std::vector<uint8_t>> answers;
    for (size_t i = 2; i < size;) {
        size_t n = data[i++] & 31;
        if (n > size - i)
            n = size - i;
        answers.emplace_back(data + i, data + i + n);
        i += n;
    }

    CScriptedLine line;
    auto device = std::make_unique<CFuzzDevice>(std::move(answers), (flags & 4) != 0);
    CFuzzDevice* fuzzDevice = device.get();
    line.AddPort(kPort, std::move(device));
    CScriptedLine usb;
    CScriptedChipId chipId;
    CScopedSerialBackends scope(&line, &usb, &chipId);

    g_noProbePorts.clear();
    if (flags & 1)
        g_noProbePorts.insert(kPort);
    g_lastProbeTime = (flags & 2) ? CurrentOleDate() : 0.0;
    g_packetSequence = data[1];

    CCOMFile port(kPort);
    port.Open();
    const DCB before = port.m_dcb;
    uint32_t number = 0;
    {
        CTrelKeyReader reader(&port);
        try {
            number = reader.ReadKeyNumber();
        } catch (const _com_error&) {
        }
    }
    Check(std::memcmp(&port.m_dcb, &before, sizeof(DCB)) == 0);
    Check(g_noProbePorts.size() <= 1);
    if (number == 0)
        return 0;

    Check(fuzzDevice->m_sent > 0);
    const std::vector<uint8_t>& first = fuzzDevice->m_firstAnswer;
    const std::vector<uint8_t>& written = fuzzDevice->m_written;
    if (written.size() == 1) {
        // An ASCII line, all of it the answer to the reset: the number is exactly its eight digits.
        Check(first.size() >= 13 && first[0] == ':');
        uint32_t expected = 0;
        for (size_t i = 3; i <= 10; ++i) {
            Check(Hex(first[i]) >= 0);
            expected = expected << 4 | static_cast<uint32_t>(Hex(first[i]));
        }
        Check(number == expected);
        Check(g_noProbePorts.count(kPort) == 1);
    } else if (written.size() == 1 + 8 + 64) {
        // A ROM read: reset, Read ROM, 64 read slots.
        Check(written[0] == 0xF0 && written[1] == 0xFF && written[3] == 0x00);
    } else {
        // A packet answer: the read frame and its acknowledge went out, each starting with FD.
        size_t starts = 0;
        for (uint8_t b : written)
            starts += b == 0xFD;
        Check(starts >= 2 && written.back() == 0xFE);
        Check(g_noProbePorts.count(kPort) == 0);
    }
    return 0;
}
