// The Hod-Test protocol over a scripted line whose device echoes every byte and then answers
// with fuzzer-chosen bytes. Input: byte 0 picks the operations (bit 0 presence check, bit 1
// header read, bit 2 memory read, bit 3 memory write, bit 4 device type), bytes 1-2 the memory
// address (low first), byte 3 the length; the rest is the device: a list of answers
// [length & 15][bytes...], the n-th sent after the n-th byte the host writes.
// Nothing may crash or hang, and an operation may only succeed on what a device could have sent.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/DeviceWaits.h"
#include "devices/HodTest.h"
#include "framework/AfxException.h"
#include "ports/COMFile.h"
#include "ports/ExchangeLog.h"
#include "framework/ErrorReport.h"
#include "fuzz_line.h"
#include "support/ScriptedLine.h"

namespace {

const char kPort[] = "\\\\.\\COM1";

class CFuzzDevice : public CDeviceModel
{
public:
    explicit CFuzzDevice(std::vector<std::vector<uint8_t>> answers) : m_answers(std::move(answers)) {}
    void OnByte(uint8_t byte, const LineSettings&, std::vector<uint8_t>& answer) override
    {
        answer.push_back(byte);
        if (m_next < m_answers.size()) {
            answer.insert(answer.end(), m_answers[m_next].begin(), m_answers[m_next].end());
            m_sent += m_answers[m_next].size();
            ++m_next;
        }
    }
    size_t m_sent = 0;  // bytes beyond the echo

private:
    std::vector<std::vector<uint8_t>> m_answers;
    size_t m_next = 0;
};

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

template <typename F>
void Guarded(F f)
{
    try {
        f();
    } catch (const _com_error&) {
    } catch (CException* e) {
        e->Delete();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzline::Setup("hodtest", true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint8_t ops = data[0];
    const WORD memoryAddress = static_cast<WORD>(data[1] | data[2] << 8);
    const unsigned length = data[3];
    std::vector<std::vector<uint8_t>> answers;
    for (size_t i = 4; i < size;) {
        size_t n = data[i++] & 15;
        if (n > size - i)
            n = size - i;
        answers.emplace_back(data + i, data + i + n);
        i += n;
    }

    CScriptedLine line;
    auto device = std::make_unique<CFuzzDevice>(std::move(answers));
    CFuzzDevice* fuzzDevice = device.get();
    line.AddPort(kPort, std::move(device));
    CScriptedLine usb;
    CScriptedChipId chipId;
    CScopedSerialBackends scope(&line, &usb, &chipId);

    CCOMFile port(kPort);
    Guarded([&] { port.Open(); });
    CTrelHodTest hodTest(&port);
    if (ops & 1) {
        const size_t before = fuzzDevice->m_sent;
        if (hodTest.CheckPresent())
            Check(fuzzDevice->m_sent > before);
    }
    if (ops & 2) {
        const size_t before = fuzzDevice->m_sent;
        HodTestHeader header;
        if (hodTest.ReadHeader(&header)) {
            Check(fuzzDevice->m_sent - before >= 10);
            Check(header.memorySize == 1024 || header.memorySize == 4096);
            Check(header.headerFlag <= 1 && header.headerWord < 0x8000);
        }
    }
    std::vector<BYTE> buffer(length);
    if (ops & 4) {
        const size_t before = fuzzDevice->m_sent;
        bool read = false;
        Guarded([&] {
            hodTest.ReadMemory(0x80, memoryAddress, buffer.data(), length);
            read = true;
        });
        // Every 32-byte packet needs its data and a check byte from the device.
        if (read)
            Check(fuzzDevice->m_sent - before >= length + (length + 31) / 32);
    }
    if (ops & 8)
        Guarded([&] { hodTest.WriteMemory(0x80, memoryAddress, buffer.data(), length); });
    if (ops & 16) {
        DWORD type = 0;
        if (hodTest.ReadDeviceType(0x80, &type))
            Check(type <= 0xFF00 && (type & 0xFF) == 0);
    }
    Check(port.m_dcb.Parity == MARKPARITY || port.m_dcb.Parity == NOPARITY);
    return 0;
}
