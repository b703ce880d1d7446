#include "ports/COMFile.h"

#include <cstdint>
#include <vector>

#include "ports/ExchangeLog.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

std::map<std::string, OpenPortEntry> g_openPorts;

namespace {

constexpr UINT kIdsBadCount = 123;
constexpr UINT kIdsBadBuffer = 122;
// More converters than any machine carries means the library's answer is garbage.
constexpr DWORD kMaxFtdiDevices = 1024;

CChipIdApi& ChipIdLibrary()
{
    return *CurrentSerialBackends().chipId;
}

// The chip-ID library's text for a status, always zero-terminated.
[[noreturn]] void ThrowChipIdStatus(FTID_STATUS status)
{
    char text[256] = {};
    ChipIdLibrary().GetErrorCodeString("EN", status, text, sizeof(text));
    text[sizeof(text) - 1] = '\0';
    ThrowComError(E_FAIL, text);
}

// A Win32-style call that reported success without moving a byte leaves no error code of its
// own; a stale one from an earlier call must not be reported in its place.
void ClearStaleError(BOOL ok, DWORD done, DWORD wanted)
{
    if (ok && done != wanted)
        SetLastError(0);
}

} // namespace

void LogCaughtFailure(const char* file, int line)
{
    try {
        throw;
    } catch (const _com_error& e) {
        LogComError(e, file, line);
    } catch (CException* e) {
        LogMfcException(e);
    } catch (...) {
        DWORD err = GetLastError();
        LogHResult(err != 0 ? HResultFromLastError(err) : E_FAIL, "", file, line);
    }
}

BOOL IsUsbPortName(const std::string& portName)
{
    return portName.size() >= 4 && portName.compare(0, 3, "USB") == 0;
}

DWORD ChipIdFromPortName(const std::string& portName)
{
    uint64_t value = 0;
    for (size_t i = 3; i < portName.size() && portName[i] >= '0' && portName[i] <= '9'; ++i) {
        value = value * 10 + static_cast<unsigned>(portName[i] - '0');
        if (value > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;  // no chip has an ID this large
    }
    return static_cast<DWORD>(value);
}

// ---- CFTDIWorker ----

DWORD CFTDIWorker::Init()
{
    char version[100] = {};
    CheckOrThrow(ChipIdLibrary().GetDllVersion(version, sizeof(version)) == 0, "Can't get FTID DLL version!");
    DWORD count = 0;
    CheckOrThrow(ChipIdLibrary().GetNumDevices(&count) == 0 && count <= kMaxFtdiDevices,
                 "Can't get number of FTDI devices!");
    m_deviceCount = count;
    m_initialized = TRUE;
    return count;
}

DWORD CFTDIWorker::GetChipId(DWORD index)
{
    CheckOrThrow(m_initialized != FALSE, "Not initialized!");
    CheckOrThrow(index < m_deviceCount, "nDevice exceeding number of devices!");
    DWORD chipId = 0;
    FTID_STATUS status = ChipIdLibrary().GetDeviceChipID(index, &chipId);
    if (status != 0)
        ThrowChipIdStatus(status);
    return chipId;
}

HANDLE CFTDIWorker::CreateFile(DWORD chipId, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                               DWORD creation, DWORD flags, HANDLE templateFile)
{
    // "No such converter" has no system error of its own.
    SetLastError(0);
    try {
        CheckOrThrow(m_initialized != FALSE, "Not initialized!");
        for (DWORD index = 0; index < m_deviceCount; ++index) {
            if (GetChipId(index) != chipId)
                continue;
            DWORD locationId = 0;
            FTID_STATUS status = ChipIdLibrary().GetDeviceLocationID(index, &locationId);
            if (status != 0)
                ThrowChipIdStatus(status);
            HANDLE h = CurrentSerialBackends().usb->CreateFileA(
                reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(locationId)), access, shareMode, security, creation,
                flags | FT_OPEN_BY_LOCATION, templateFile);
            if (h != INVALID_HANDLE_VALUE && h != nullptr)
                return h;
        }
    } catch (...) {
        LogCaughtFailure(__FILE__, __LINE__);
    }
    return INVALID_HANDLE_VALUE;
}

// ---- CCOMFile ----

namespace {
// A machine without the chip-ID library is told in the log once per load of the module, not on
// every port object: a client polling a reader all day would otherwise fill the log.
bool g_chipIdAbsenceLogged = false;
} // namespace

CCOMFile::CCOMFile(const std::string& portName) : m_portName(portName)
{
    try {
        m_ftdi.Init();
    } catch (...) {
        // COM ports still work; a USB open then fails with "Not initialized!".
        const bool absent = !CurrentSerialBackends().chipId->IsPresent();
        if (!absent || !g_chipIdAbsenceLogged)
            LogCaughtFailure(__FILE__, __LINE__);
        g_chipIdAbsenceLogged = g_chipIdAbsenceLogged || absent;
    }
}

CCOMFile::~CCOMFile()
{
    try {
        Close();
    } catch (...) {
        LogCaughtFailure(__FILE__, __LINE__);
    }
}

BOOL CCOMFile::IsUsb() const
{
    return IsUsbPortName(m_portName);
}

CSerialApi& CCOMFile::Line() const
{
    return IsUsb() ? *CurrentSerialBackends().usb : *CurrentSerialBackends().com;
}

void CCOMFile::Open()
{
    const bool usb = IsUsb() != FALSE;
    Close();
    // Another object of the process holds this port: its handle is closed so that the exclusive
    // open below can succeed, and that object learns it no longer has one.
    auto held = g_openPorts.find(m_portName);
    if (held != g_openPorts.end()) {
        CCOMFile* holder = held->second.holder;
        m_handle = held->second.handle;
        g_openPorts.erase(held);
        if (holder != nullptr && holder != this) {
            holder->m_handle = nullptr;
            holder->m_echo = FALSE;
        }
        Close();
    }

    if (usb)
        m_handle = m_ftdi.CreateFile(ChipIdFromPortName(m_portName), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    else
        m_handle = Line().CreateFileA(m_portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      0, nullptr);
    if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE) {
        HANDLE failed = m_handle;
        m_handle = nullptr;
        CheckWin32(failed != nullptr && failed != INVALID_HANDLE_VALUE, "CCOMFile::Open CreateFile()");
    }
    g_openPorts[m_portName] = OpenPortEntry{m_handle, this};

    m_timeouts.ReadIntervalTimeout = 0;
    m_timeouts.ReadTotalTimeoutMultiplier = 0;
    m_timeouts.ReadTotalTimeoutConstant = m_readTimeout;
    m_timeouts.WriteTotalTimeoutMultiplier = 0;
    m_timeouts.WriteTotalTimeoutConstant = 1000;
    CheckWin32(Line().SetCommTimeouts(m_handle, &m_timeouts) != FALSE,
               usb ? "CCOMFile::Open SetCommTimeouts() - USB" : "CCOMFile::Open SetCommTimeouts()");

    m_dcb.DCBlength = sizeof(m_dcb);
    CheckWin32(Line().GetCommState(m_handle, &m_dcb) != FALSE,
               usb ? "CCOMFile::Open GetCommState()- USB" : "CCOMFile::Open GetCommState()");
    m_dcb.BaudRate = m_baudRate;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    // fBinary on, DTR on, RTS off; no parity check, flow control, DSR sensitivity or abort on error.
    SetDcbFlags(m_dcb, (GetDcbFlags(m_dcb) & ~0x706Eu) | 0x11u);
    CheckWin32(Line().SetCommState(m_handle, &m_dcb) != FALSE,
               usb ? "CCOMFile::Open SetCommState() - USB" : "CCOMFile::Open SetCommState()");

    m_echo = FALSE;
    Flush();
    const unsigned char probe = 0xAA;
    Write(&probe, 1);
    unsigned char answer = 0;
    Read(&answer, 1);
    CheckOrThrow(answer == 0xAA, "");
    m_echo = TRUE;
}

void CCOMFile::Close()
{
    HANDLE h = m_handle;
    m_handle = nullptr;
    auto held = g_openPorts.find(m_portName);
    if (held != g_openPorts.end() && (held->second.holder == this || held->second.holder == nullptr))
        g_openPorts.erase(held);
    if (h != nullptr && h != INVALID_HANDLE_VALUE)
        CheckWin32(Line().CloseHandle(h) != FALSE,
                   IsUsb() ? "CCOMFile::Close() CloseHandle() - USB" : "CCOMFile::Close() CloseHandle()");
}

unsigned CCOMFile::Read(void* buffer, unsigned count)
{
    try {
        ReadBytes(static_cast<unsigned char*>(buffer), count);
    } catch (const _com_error& e) {
        LogExchangeError(m_portName, -1, FALSE, ComErrorText(e));
        throw;
    } catch (...) {
        LogExchangeError(m_portName, -1, FALSE, "Unknown error in CCOMFile::Read()!");
        throw;
    }
    return count;
}

void CCOMFile::ReadBytes(unsigned char* buffer, unsigned count)
{
    CheckOrThrowId(count != 0, kIdsBadCount);
    CheckOrThrowId(buffer != nullptr, kIdsBadBuffer);
    const char* failure = IsUsb() ? "CCOMFile::Read() failed - USB" : "CCOMFile::Read() failed";
    // One byte per call: the per-byte timeout and the echo accounting rest on it.
    for (long long i = -static_cast<long long>(m_pendingEcho); i < static_cast<long long>(count); ++i) {
        unsigned char byte = 0;
        DWORD got = 0;
        BOOL ok = Line().ReadFile(m_handle, &byte, 1, &got);
        ClearStaleError(ok, got, 1);
        CheckWin32(ok && got == 1, failure);
        if (i < 0)
            --m_pendingEcho;
        else
            buffer[i] = byte;
    }
}

void CCOMFile::Write(const void* buffer, unsigned count)
{
    Write(buffer, count, TRUE, TRUE);
}

void CCOMFile::Write(const void* buffer, unsigned count, BOOL countEcho, BOOL readEchoNow)
{
    try {
        WriteBytes(buffer, count, countEcho, readEchoNow);
    } catch (const _com_error& e) {
        LogExchangeError(m_portName, -1, TRUE, ComErrorText(e));
        throw;
    } catch (...) {
        LogExchangeError(m_portName, -1, TRUE, "Unknown error in CCOMFile::Write()!");
        throw;
    }
}

void CCOMFile::WriteBytes(const void* buffer, unsigned count, BOOL countEcho, BOOL readEchoNow)
{
    CheckOrThrowId(count != 0, kIdsBadCount);
    CheckOrThrowId(buffer != nullptr, kIdsBadBuffer);
    const bool echo = countEcho && m_echo;
    DWORD written = 0;
    BOOL ok = Line().WriteFile(m_handle, buffer, count, &written);
    ClearStaleError(ok, written, count);
    CheckWin32(ok && written == count, "CCOMFile::Write() failed");
    if (!echo)
        return;
    if (readEchoNow) {
        std::vector<unsigned char> dropped(count);
        Read(dropped.data(), count);
    } else {
        m_pendingEcho += static_cast<int>(count);
    }
}

void CCOMFile::Flush()
{
    CheckWin32(Line().PurgeComm(m_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE,
               "CCOMFile::Flush() PurgeComm()");
}

void CCOMFile::ApplyState()
{
    const bool usb = IsUsb() != FALSE;
    CheckWin32(Line().SetCommTimeouts(m_handle, &m_timeouts) != FALSE,
               usb ? "CCOMFile::ApplyState SetCommTimeouts() - USB" : "CCOMFile::ApplyState SetCommTimeouts()");
    CheckWin32(Line().SetCommState(m_handle, &m_dcb) != FALSE,
               usb ? "CCOMFile::ApplyState SetCommState() - USB" : "CCOMFile::ApplyState SetCommState()");
}
