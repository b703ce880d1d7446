#include "devices/DeviceBase.h"

#include <vector>

#include "devices/DeviceWaits.h"
#include "framework/AfxException.h"
#include "ports/COMFile.h"
#include "ports/ExchangeLog.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

namespace {

constexpr WORD kClockAddress = 0x8001;
constexpr unsigned kMemoryEnd = 0x10000;
// Message buffer for a framework exception's text, as the exchange log takes it.
constexpr UINT kMessageBuffer = 1000;

// The framework exception being handled, or null for any other kind. Call only inside a catch block.
CException* CaughtFrameworkException()
{
    try {
        throw;
    } catch (CException* e) {
        return e;
    } catch (...) {
        return nullptr;
    }
}

// 32 bit times, in whole microseconds.
DWORD AddressPauseMicroseconds(DWORD baudRate)
{
    return baudRate != 0 ? 32000000u / baudRate : 0;
}

BYTE Bcd(unsigned value)
{
    return static_cast<BYTE>((value / 10) << 4 | value % 10);
}

void CheckPort(const CCOMFile* port)
{
    CheckOrThrow(port != nullptr, "No port is open for the device");
}

} // namespace

BYTE XorCheck(const BYTE* bytes, unsigned count, BYTE seed)
{
    for (unsigned i = 0; i < count; ++i)
        seed ^= bytes[i];
    return seed;
}

void DiscardCaughtFailure()
{
    if (CException* e = CaughtFrameworkException())
        e->Delete();
}

std::string CaughtFailureText()
{
    try {
        throw;
    } catch (const _com_error& e) {
        return ComErrorText(e);
    } catch (CException* e) {
        char text[kMessageBuffer] = {};
        if (e != nullptr && e->GetErrorMessage(text, kMessageBuffer))
            return text;
        return std::string();
    } catch (...) {
        return "Unknown error";
    }
}

// ---- CTrelDeviceBase ----

void CTrelDeviceBase::WaitMicroseconds(DWORD microseconds)
{
    CurrentDeviceWaits().WaitMicroseconds(microseconds);
}

void CTrelDeviceBase::SendAddress(BYTE address)
{
    CheckPort(m_port);
    auto dataParity = [this] {
        m_port->m_dcb.Parity = MARKPARITY;
        m_port->ApplyState();
    };
    try {
        m_port->m_dcb.Parity = SPACEPARITY;
        m_port->ApplyState();
        m_port->Flush();
        m_port->Write(&address, 1);
        WaitMicroseconds(AddressPauseMicroseconds(m_port->m_baudRate));
    } catch (...) {
        // The line must not stay in address mode; the first failure is the one that goes on.
        try {
            dataParity();
        } catch (...) {
            DiscardCaughtFailure();
        }
        throw;
    }
    dataParity();
}

// ---- CTrel510Base ----

namespace {

// Runs attempt up to seven times. Each failure is logged with its text and the attempt's progress
// text; after failure k the next attempt waits k x 50 ms; the seventh failure goes on unchanged.
template <typename Attempt>
void Retried(const CCOMFile& port, BYTE address, BOOL isWrite, Attempt attempt)
{
    for (int k = 1;; ++k) {
        std::string progress;
        try {
            attempt(progress);
            return;
        } catch (...) {
            CException* framework = CaughtFrameworkException();
            const std::string text = CaughtFailureText() + progress;
            try {
                LogExchangeError(port.GetPortName(), address, isWrite, text);
            } catch (...) {
                // The log's own failure travels up in place of the exchange's.
                if (framework != nullptr)
                    framework->Delete();
                throw;
            }
            if (k >= kMemoryAttempts)
                throw;
            if (framework != nullptr)
                framework->Delete();
        }
        CurrentDeviceWaits().SleepMilliseconds(static_cast<DWORD>(k) * kRetryStepMs);
    }
}

} // namespace

void CTrel510Base::CheckMemoryRange(WORD memoryAddress, const void* buffer, unsigned length) const
{
    CheckPort(m_port);
    CheckOrThrow(buffer != nullptr, "No buffer for the device memory");
    // Addresses are 16 bits: a range past the end would silently wrap to address 0.
    CheckOrThrow(length <= kMemoryEnd - memoryAddress, "Memory range beyond 0xFFFF");
}

void CTrel510Base::ReadMemory(BYTE address, WORD memoryAddress, BYTE* buffer, unsigned length)
{
    if (length == 0)
        return;
    CheckMemoryRange(memoryAddress, buffer, length);
    unsigned done = 0;
    while (done < length) {
        const unsigned count = length - done < kMaxPacketData ? length - done : kMaxPacketData;
        const WORD at = static_cast<WORD>(memoryAddress + done);
        Retried(*m_port, address, FALSE, [&](std::string&) { ReadChunk(address, at, buffer + done, count); });
        done += count;
    }
}

void CTrel510Base::ReadChunk(BYTE address, WORD memoryAddress, BYTE* buffer, unsigned count)
{
    SendAddress(address);
    m_port->Flush();
    BYTE request[5] = {kCmdReadMemory, static_cast<BYTE>(memoryAddress & 0xFF), static_cast<BYTE>(memoryAddress >> 8),
                       static_cast<BYTE>(count), 0};
    request[4] = XorCheck(request, 4, address);
    m_port->Write(request, sizeof(request));
    m_port->Read(buffer, count);
    BYTE check = 0;
    m_port->Read(&check, 1);
    CheckOrThrow(XorCheck(buffer, count) == check, "CRC error");
}

void CTrel510Base::WriteMemory(BYTE address, WORD memoryAddress, const BYTE* data, unsigned length)
{
    if (length == 0)
        return;
    CheckMemoryRange(memoryAddress, data, length);
    unsigned done = 0;
    // The first chunk ends at the next 32-byte boundary of the device memory.
    unsigned count = kMaxPacketData - memoryAddress % kMaxPacketData;
    while (done < length) {
        if (count > length - done)
            count = length - done;
        const WORD at = static_cast<WORD>(memoryAddress + done);
        Retried(*m_port, address, TRUE,
                [&](std::string& progress) { WriteChunk(address, at, data + done, count, progress); });
        done += count;
        count = kMaxPacketData;
    }
}

void CTrel510Base::WriteChunk(BYTE address, WORD memoryAddress, const BYTE* data, unsigned count,
                              std::string& progress)
{
    progress += " Sending address...";
    SendAddress(address);
    m_port->Flush();
    progress += " Writing...";
    std::vector<BYTE> request(count + 5);
    request[0] = kCmdWriteMemory;
    request[1] = static_cast<BYTE>(memoryAddress & 0xFF);
    request[2] = static_cast<BYTE>(memoryAddress >> 8);
    request[3] = static_cast<BYTE>(count);
    request[4] = XorCheck(request.data(), 4, address);
    for (unsigned i = 0; i < count; ++i)
        request[5 + i] = data[i];
    m_port->Write(request.data(), static_cast<unsigned>(request.size()));
    progress += " Reading CRC...";
    BYTE contr = 0;
    m_port->Read(&contr, 1);
    progress += " Checking CRC...";
    const BYTE comp = XorCheck(data, count);
    if (comp != contr) {
        progress = FormatText("CRC error! comp: %d; contr: %d", comp, contr);
        ThrowComError(E_FAIL, "CRC error!");
    }
}

BOOL CTrel510Base::ReadDeviceType(BYTE address, DWORD* value)
{
    if (value == nullptr)
        return FALSE;
    *value = 0;
    try {
        BYTE type = 0;
        ReadMemory(address, 0, &type, 1);
        *value = static_cast<DWORD>(type) << 8;
        return TRUE;
    } catch (...) {
        DiscardCaughtFailure();
        return FALSE;
    }
}

BOOL CTrel510Base::MakeClockBytes(const SYSTEMTIME& time, BYTE bytes[6])
{
    // Two BCD digits and the bit fields below hold nothing larger; such a time would set the
    // device's clock to nonsense.
    if (time.wSecond > 59 || time.wMinute > 59 || time.wHour > 23 || time.wDay < 1 || time.wDay > 31 ||
        time.wMonth < 1 || time.wMonth > 12 || time.wDayOfWeek > 6)
        return FALSE;
    const unsigned weekday = time.wDayOfWeek == 0 ? 7 : time.wDayOfWeek;  // the device counts Sunday as 7
    bytes[0] = 0;
    bytes[1] = Bcd(time.wSecond);
    bytes[2] = Bcd(time.wMinute);
    bytes[3] = Bcd(time.wHour);
    bytes[4] = static_cast<BYTE>((time.wYear % 4) << 6 | Bcd(time.wDay));
    bytes[5] = static_cast<BYTE>(weekday << 5 | Bcd(time.wMonth));
    return TRUE;
}

BOOL CTrel510Base::SetClock(BYTE address, SYSTEMTIME time)
{
    BYTE bytes[6];
    if (!MakeClockBytes(time, bytes))
        return FALSE;
    try {
        WriteMemory(address, kClockAddress, bytes, sizeof(bytes));
        return TRUE;
    } catch (...) {
        DiscardCaughtFailure();
        return FALSE;
    }
}
