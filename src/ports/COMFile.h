// The byte channel to reader hardware: a COM port (or any device path that opens as one) or an
// FTDI USB converter named "USB" + chip ID. The reader adapters echo every byte sent; the channel
// reads that echo back and drops it, so it never counts as an answer.
#pragma once
#include <map>
#include <string>

#include "framework/AfxException.h"
#include "ports/SerialApi.h"

// Finds FTDI converters by chip ID through the chip-ID library.
class CFTDIWorker
{
public:
    CFTDIWorker() = default;
    virtual ~CFTDIWorker() = default;

    // Reads the library version and the number of converters; returns that number.
    DWORD Init();
    DWORD GetChipId(DWORD index);
    // Opens the first converter with that chip ID (by its location ID) through the D2XX calls;
    // INVALID_HANDLE_VALUE when none matched or every open failed. Failures are logged, never raised.
    HANDLE CreateFile(DWORD chipId, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD creation, DWORD flags, HANDLE templateFile);

    BOOL m_initialized = FALSE;
    DWORD m_deviceCount = 0;  // as seen by Init; not refreshed
};

class CCOMFile : public CFile
{
public:
    explicit CCOMFile(const std::string& portName = std::string());
    ~CCOMFile() override;

    void SetPortName(const std::string& portName) { m_portName = portName; }
    std::string GetPortName() const { return m_portName; }
    BOOL IsUsb() const;

    // Opens the port, applies 8N1 at m_baudRate with m_readTimeout per byte, and checks the echo.
    void Open();
    void Close() override;
    // Reads exactly count bytes (after dropping any pending echo) or raises.
    unsigned Read(void* buffer, unsigned count) override;
    // Same as Write(buffer, count, TRUE, TRUE).
    void Write(const void* buffer, unsigned count) override;
    // countEcho: the echo of these bytes is expected; readEchoNow: read and drop it at once,
    // otherwise the next Read drops it first.
    void Write(const void* buffer, unsigned count, BOOL countEcho, BOOL readEchoNow);
    void Flush() override;
    // Gives m_timeouts and m_dcb to the driver.
    void ApplyState();

    HANDLE m_handle = nullptr;
    BOOL m_echo = FALSE;
    int m_pendingEcho = 0;
    DWORD m_baudRate = 9600;
    std::string m_portName;
    DWORD m_readTimeout = 400;
    CFTDIWorker m_ftdi;
    COMMTIMEOUTS m_timeouts = {};
    DCB m_dcb = {};

private:
    CSerialApi& Line() const;
    void ReadBytes(unsigned char* buffer, unsigned count);
    void WriteBytes(const void* buffer, unsigned count, BOOL countEcho, BOOL readEchoNow);
};

// The handle each port name was last opened with, and the object that holds it.
struct OpenPortEntry
{
    HANDLE handle;
    CCOMFile* holder;
};
extern std::map<std::string, OpenPortEntry> g_openPorts;

// "USB" + at least one more character.
BOOL IsUsbPortName(const std::string& portName);
// The decimal number after "USB", up to the first non-digit; 0 without digits.
DWORD ChipIdFromPortName(const std::string& portName);

// Logs a failure caught outside a method call by its kind: a COM error, a framework exception
// (consumed) or anything else (the thread's last error, E_FAIL when there is none).
// Call only from inside a catch block.
void LogCaughtFailure(const char* file, int line);
