// The serial transport over a scripted line whose far end answers with fuzzer-chosen bytes.
// Input: byte 0 = number of operation bytes that follow; the rest is the line: a list of answers
// [length & 7][bytes...], the n-th answering the n-th byte the host writes.
// Failures are COM errors or file exceptions of the exchange log; nothing may crash or hang.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ports/COMFile.h"
#include "ports/ExchangeLog.h"
#include "ports/PortDiscovery.h"
#include "framework/ErrorReport.h"
#include "fuzz_line.h"
#include "support/ScriptedLine.h"

namespace {

const char kPort[] = "\\\\.\\COM1";

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
    fuzzline::Setup("comfile", false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t opCount = data[0];
    if (opCount > size - 1)
        opCount = size - 1;
    const uint8_t* ops = data + 1;
    std::vector<std::vector<uint8_t>> answers;
    for (size_t i = 1 + opCount; i < size;) {
        size_t n = data[i++] & 7;
        if (n > size - i)
            n = size - i;
        answers.emplace_back(data + i, data + i + n);
        i += n;
    }

    CScriptedLine line;
    line.AddPort(kPort, std::make_unique<CReplayModel>(std::move(answers)));
    CScriptedLine usb;
    CScriptedChipId chipId;
    CScopedSerialBackends scope(&line, &usb, &chipId);

    static const DWORD bauds[4] = {9600, 19200, 57600, 115200};
    CCOMFile port(kPort);
    Guarded([&] { port.Open(); });
    unsigned char buffer[40] = {};
    for (size_t i = 0; i < opCount; ++i) {
        const unsigned arg = ops[i] & 31;
        switch (ops[i] >> 5) {
        case 0: Guarded([&] { port.Write(buffer, arg + 1); }); break;
        case 1: Guarded([&] { port.Write(buffer, arg + 1, TRUE, FALSE); }); break;
        case 2: Guarded([&] { port.Write(buffer, arg + 1, FALSE, TRUE); }); break;
        case 3: Guarded([&] { port.Read(buffer, arg + 1); }); break;
        case 4:
            port.m_dcb.Parity = static_cast<BYTE>(arg % 5);
            port.m_dcb.BaudRate = bauds[(arg / 5) % 4];
            Guarded([&] { port.ApplyState(); });
            break;
        case 5: Guarded([&] { port.Flush(); }); break;
        case 6: Guarded([&] { port.Open(); }); break;
        default:
            Guarded([&] { port.Close(); });
            ProbeReaderPort(kPort, 0, nullptr);
            break;
        }
    }
    return 0;
}
