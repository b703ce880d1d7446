// Devices of the reader family on a shared serial line. A device is selected by its address, sent
// as one byte with the ninth (parity) bit clear; data bytes go with it set. Requests are a command
// byte, parameters and a check byte (XOR of the request and the device address); replies to reads
// are the data and the XOR of the data.
#pragma once
#include <string>

#include "compat/wincompat.h"

class CCOMFile;

// Command codes of the family.
constexpr BYTE kCmdReadMemory = 0xA4;
constexpr BYTE kCmdWriteMemory = 0xAC;
constexpr BYTE kCmdPresence = 0xA0;
constexpr BYTE kCmdReadHeader = 0xA2;

// Data bytes in one request or reply.
constexpr unsigned kMaxPacketData = 32;
// A chunk that keeps failing is given up after this many attempts.
constexpr int kMemoryAttempts = 7;
// After failed attempt k the next one waits k times this long.
constexpr DWORD kRetryStepMs = 50;

// XOR of the bytes, folded onto seed.
BYTE XorCheck(const BYTE* bytes, unsigned count, BYTE seed = 0);

// The text a failed exchange is logged with, from inside a catch block: the description of a COM
// error, the message of a framework exception (at most 999 characters), "Unknown error" otherwise.
// A framework exception is left alive for the caller to rethrow or delete.
std::string CaughtFailureText();
// Ends a failure that is swallowed: a framework exception is deleted. Call only inside a catch block.
void DiscardCaughtFailure();

class CTrelDeviceBase
{
public:
    CTrelDeviceBase() = default;
    CTrelDeviceBase(const CTrelDeviceBase&) = delete;
    CTrelDeviceBase& operator=(const CTrelDeviceBase&) = delete;

    // Slots whose purpose this component never needed: subclasses of other family members fill
    // them; here they keep their neutral results.
    virtual DWORD Reserved0(DWORD) { return 0; }
    virtual void Reserved1(DWORD, DWORD) {}
    virtual DWORD Reserved2(DWORD, DWORD, DWORD, DWORD) { return 0; }
    virtual DWORD Reserved3(DWORD) { return 0; }
    virtual DWORD Reserved4(DWORD, DWORD) { return 0; }
    virtual DWORD Reserved5(DWORD) { return 0; }
    virtual DWORD Reserved6(DWORD) { return 0; }
    // The device's type word; FALSE when it could not be read.
    virtual BOOL ReadDeviceType(BYTE /*address*/, DWORD* /*value*/) { return FALSE; }
    // Sets the device's clock; FALSE on any failure.
    virtual BOOL SetClock(BYTE /*address*/, SYSTEMTIME /*time*/) { return FALSE; }
    virtual DWORD Reserved9(DWORD, DWORD, DWORD) { return 0; }
    virtual void Reserved10(DWORD) {}
    virtual DWORD Reserved11(DWORD) { return 0; }
    virtual DWORD Reserved12(DWORD) { return 1; }
    virtual ~CTrelDeviceBase() = default;

    // Busy-waits (on Windows on the performance counter; a sleep when there is none).
    static void WaitMicroseconds(DWORD microseconds);
    // Selects the device: its address with SPACE parity, a pause of 32 bit times, then MARK parity
    // again for the data bytes, also when the exchange failed.
    void SendAddress(BYTE address);

    CCOMFile* m_port = nullptr;  // not owned; opened and closed by whoever set it
};

class CTrel510Base : public CTrelDeviceBase
{
public:
    CTrel510Base() = default;
    ~CTrel510Base() override = default;

    // One byte at memory address 0, shifted into the high byte.
    BOOL ReadDeviceType(BYTE address, DWORD* value) override;
    // Writes the date and time (two-digit BCD) from memory address 0x8001 on.
    BOOL SetClock(BYTE address, SYSTEMTIME time) override;

    // Read and write in checked packets of at most 32 bytes; a chunk is tried up to seven times,
    // each failure logged to the port's exchange log, the last one raised. Writes never cross a
    // 32-byte boundary of device memory.
    void ReadMemory(BYTE address, WORD memoryAddress, BYTE* buffer, unsigned length);
    void WriteMemory(BYTE address, WORD memoryAddress, const BYTE* data, unsigned length);

    // The six clock bytes; FALSE (nothing made) when a field is out of its range.
    static BOOL MakeClockBytes(const SYSTEMTIME& time, BYTE bytes[6]);

private:
    void ReadChunk(BYTE address, WORD memoryAddress, BYTE* buffer, unsigned count);
    void WriteChunk(BYTE address, WORD memoryAddress, const BYTE* data, unsigned count, std::string& progress);
    void CheckMemoryRange(WORD memoryAddress, const void* buffer, unsigned length) const;
};
