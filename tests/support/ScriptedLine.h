// A serial back-end for native tests and fuzzing: ports with device models on their far end,
// driver calls that can be made to fail, and a clock that advances by what a real line would
// take (byte times, read timeouts) without sleeping.
#pragma once
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ports/SerialApi.h"
#include "support/DeviceModel.h"

class CScriptedLine : public CSerialApi
{
public:
    enum Call { kCreate, kClose, kRead, kWrite, kGetState, kSetState, kGetTimeouts, kSetTimeouts, kPurge, kCallCount };

    // A port that opens under name; a null model is a port with nothing attached.
    void AddPort(const std::string& name, std::unique_ptr<CDeviceModel> model);
    // A converter's port, opened by location ID (FT_OPEN_BY_LOCATION).
    void AddConverterPort(DWORD locationId, std::unique_ptr<CDeviceModel> model);
    // Another process holds the port: opens fail with ERROR_ACCESS_DENIED.
    void HoldElsewhere(const std::string& name, bool held);
    // The call after `skip` more successful ones fails with the system error err.
    void FailCall(Call call, DWORD err, int skip = 0);
    // Bytes the device sends unasked.
    void Feed(const std::string& name, const std::vector<uint8_t>& bytes);

    unsigned long long ElapsedMs() const { return m_elapsedUs / 1000; }
    void ResetClock() { m_elapsedUs = 0; }
    // Time that passes on the line while the host waits (a pause of the protocol, for instance).
    void Advance(unsigned long long ms) { m_elapsedUs += ms * 1000; }
    // Driver calls made so far, by kind.
    unsigned Calls(Call call) const { return m_calls[call]; }
    // Bytes handed to the host by ReadFile.
    unsigned long BytesRead() const { return m_bytesRead; }
    bool IsOpen(const std::string& name) const;
    // The line settings the port has now.
    LineSettings Settings(const std::string& name) const;
    COMMTIMEOUTS Timeouts(const std::string& name) const;

    HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                       DWORD flags, HANDLE templateFile) override;
    BOOL CloseHandle(HANDLE h) override;
    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) override;
    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written) override;
    BOOL GetCommState(HANDLE h, LPDCB dcb) override;
    BOOL SetCommState(HANDLE h, LPDCB dcb) override;
    BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) override;
    BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) override;
    BOOL PurgeComm(HANDLE h, DWORD flags) override;

private:
    struct Port
    {
        std::unique_ptr<CDeviceModel> model;
        std::deque<uint8_t> input;
        DCB dcb = {};
        COMMTIMEOUTS timeouts = {};
        int openHandles = 0;
        bool heldElsewhere = false;
    };
    struct Failure
    {
        DWORD err;
        int skip;
    };

    static std::string LocationName(DWORD locationId);
    Port* Find(HANDLE h);
    bool Injected(Call call);
    unsigned long long ByteTimeUs(const Port& port) const;

    std::map<std::string, Port> m_ports;
    std::map<uintptr_t, std::string> m_handles;
    std::map<int, Failure> m_failures;
    uintptr_t m_nextHandle = 0x100;
    unsigned long long m_elapsedUs = 0;
    unsigned m_calls[kCallCount] = {};
    unsigned long m_bytesRead = 0;
};

// The chip-ID library of a test: converters as (chip ID, location ID) pairs, with statuses that
// can be made to fail.
class CScriptedChipId : public CChipIdApi
{
public:
    struct Converter
    {
        DWORD chipId;
        DWORD locationId;
    };
    std::vector<Converter> m_converters;
    FTID_STATUS m_versionStatus = 0;
    FTID_STATUS m_countStatus = 0;
    FTID_STATUS m_chipIdStatus = 0;
    FTID_STATUS m_locationStatus = 0;
    long long m_reportedCount = -1;  // when not -1, the count the library claims
    bool m_present = true;           // false: the library is not installed

    bool IsPresent() const override { return m_present; }

    FTID_STATUS GetDllVersion(char* buffer, DWORD bufferSize) override;
    FTID_STATUS GetNumDevices(DWORD* count) override;
    FTID_STATUS GetDeviceChipID(DWORD index, DWORD* chipId) override;
    FTID_STATUS GetDeviceLocationID(DWORD index, DWORD* locationId) override;
    FTID_STATUS GetErrorCodeString(const char* language, FTID_STATUS status, char* buffer, DWORD bufferSize) override;
};

// Puts a COM line, a converter line and a chip-ID library in place for a scope.
class CScopedSerialBackends
{
public:
    CScopedSerialBackends(CSerialApi* com, CSerialApi* usb, CChipIdApi* chipId)
        : m_previous(UseSerialBackends(SerialBackends{com, usb, chipId})) {}
    ~CScopedSerialBackends() { UseSerialBackends(m_previous); }
    CScopedSerialBackends(const CScopedSerialBackends&) = delete;
    CScopedSerialBackends& operator=(const CScopedSerialBackends&) = delete;

private:
    SerialBackends m_previous;
};
