#include "support/ScriptedLine.h"

#include <cstdio>
#include <cstring>

namespace {

BOOL Fail(DWORD err)
{
    SetLastError(err);
    return FALSE;
}

} // namespace

std::string CScriptedLine::LocationName(DWORD locationId)
{
    return "location " + std::to_string(locationId);
}

void CScriptedLine::AddPort(const std::string& name, std::unique_ptr<CDeviceModel> model)
{
    Port& port = m_ports[name];
    port.model = std::move(model);
    port.dcb.DCBlength = sizeof(DCB);
    port.dcb.BaudRate = 1200;  // the driver's own values, which Open must replace
    port.dcb.ByteSize = 7;
    port.dcb.Parity = EVENPARITY;
    port.dcb.StopBits = TWOSTOPBITS;
    SetDcbFlags(port.dcb, 0x7FFFu);  // every flag set
}

void CScriptedLine::AddConverterPort(DWORD locationId, std::unique_ptr<CDeviceModel> model)
{
    AddPort(LocationName(locationId), std::move(model));
}

void CScriptedLine::HoldElsewhere(const std::string& name, bool held)
{
    m_ports[name].heldElsewhere = held;
}

void CScriptedLine::FailCall(Call call, DWORD err, int skip)
{
    m_failures[call] = Failure{err, skip};
}

void CScriptedLine::Feed(const std::string& name, const std::vector<uint8_t>& bytes)
{
    Port& port = m_ports[name];
    port.input.insert(port.input.end(), bytes.begin(), bytes.end());
}

bool CScriptedLine::IsOpen(const std::string& name) const
{
    auto it = m_ports.find(name);
    return it != m_ports.end() && it->second.openHandles > 0;
}

LineSettings CScriptedLine::Settings(const std::string& name) const
{
    LineSettings s;
    auto it = m_ports.find(name);
    if (it != m_ports.end()) {
        s.baudRate = it->second.dcb.BaudRate;
        s.parity = it->second.dcb.Parity;
        s.byteSize = it->second.dcb.ByteSize;
        s.stopBits = it->second.dcb.StopBits;
    }
    return s;
}

COMMTIMEOUTS CScriptedLine::Timeouts(const std::string& name) const
{
    auto it = m_ports.find(name);
    return it != m_ports.end() ? it->second.timeouts : COMMTIMEOUTS{};
}

bool CScriptedLine::Injected(Call call)
{
    ++m_calls[call];
    auto it = m_failures.find(call);
    if (it == m_failures.end())
        return false;
    if (it->second.skip > 0) {
        --it->second.skip;
        return false;
    }
    SetLastError(it->second.err);
    m_failures.erase(it);
    return true;
}

CScriptedLine::Port* CScriptedLine::Find(HANDLE h)
{
    auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == m_handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &m_ports[it->second];
}

unsigned long long CScriptedLine::ByteTimeUs(const Port& port) const
{
    unsigned bits = 1 + port.dcb.ByteSize + (port.dcb.Parity != NOPARITY ? 1 : 0) + (port.dcb.StopBits ? 2 : 1);
    unsigned long baud = port.dcb.BaudRate ? port.dcb.BaudRate : 9600;
    return bits * 1000000ull / baud;
}

HANDLE CScriptedLine::CreateFileA(LPCSTR name, DWORD, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                                  HANDLE)
{
    if (Injected(kCreate))
        return INVALID_HANDLE_VALUE;
    std::string key;
    if (flags & FT_OPEN_BY_LOCATION)
        key = LocationName(static_cast<DWORD>(reinterpret_cast<uintptr_t>(name)));
    else if (name != nullptr)
        key = name;
    auto it = m_ports.find(key);
    if (key.empty() || it == m_ports.end())
        return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    Port& port = it->second;
    if (port.heldElsewhere || (port.openHandles > 0 && shareMode == 0))
        return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    ++port.openHandles;
    uintptr_t h = m_nextHandle++;
    m_handles[h] = key;
    return reinterpret_cast<HANDLE>(h);
}

BOOL CScriptedLine::CloseHandle(HANDLE h)
{
    if (Injected(kClose))
        return FALSE;
    auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == m_handles.end())
        return Fail(ERROR_INVALID_HANDLE);
    --m_ports[it->second].openHandles;
    m_handles.erase(it);
    return TRUE;
}

BOOL CScriptedLine::ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got)
{
    *got = 0;
    if (Injected(kRead))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (*got < count && !port->input.empty()) {
        out[(*got)++] = port->input.front();
        port->input.pop_front();
    }
    m_bytesRead += *got;
    if (*got < count) {
        // The driver waits out the whole total timeout for the missing bytes.
        const COMMTIMEOUTS& t = port->timeouts;
        m_elapsedUs += 1000ull * (t.ReadTotalTimeoutConstant + 1ull * t.ReadTotalTimeoutMultiplier * count);
    }
    return TRUE;
}

BOOL CScriptedLine::WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written)
{
    *written = 0;
    if (Injected(kWrite))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    LineSettings line;
    line.baudRate = port->dcb.BaudRate;
    line.parity = port->dcb.Parity;
    line.byteSize = port->dcb.ByteSize;
    line.stopBits = port->dcb.StopBits;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    std::vector<uint8_t> answer;
    for (DWORD i = 0; i < count; ++i) {
        answer.clear();
        if (port->model)
            port->model->OnByte(in[i], line, answer);
        port->input.insert(port->input.end(), answer.begin(), answer.end());
        m_elapsedUs += ByteTimeUs(*port);
    }
    *written = count;
    return TRUE;
}

BOOL CScriptedLine::GetCommState(HANDLE h, LPDCB dcb)
{
    if (Injected(kGetState))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    *dcb = port->dcb;
    return TRUE;
}

BOOL CScriptedLine::SetCommState(HANDLE h, LPDCB dcb)
{
    if (Injected(kSetState))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        dcb->StopBits > TWOSTOPBITS)
        return Fail(ERROR_INVALID_PARAMETER);
    port->dcb = *dcb;
    return TRUE;
}

BOOL CScriptedLine::GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    if (Injected(kGetTimeouts))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL CScriptedLine::SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    if (Injected(kSetTimeouts))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL CScriptedLine::PurgeComm(HANDLE h, DWORD flags)
{
    if (Injected(kPurge))
        return FALSE;
    Port* port = Find(h);
    if (port == nullptr)
        return FALSE;
    if (flags & (PURGE_RXCLEAR | PURGE_RXABORT))
        port->input.clear();
    return TRUE;
}

FTID_STATUS CScriptedChipId::GetDllVersion(char* buffer, DWORD bufferSize)
{
    if (buffer != nullptr && bufferSize > 0)
        std::snprintf(buffer, bufferSize, "%s", "scripted 1.0");
    return m_versionStatus;
}

FTID_STATUS CScriptedChipId::GetNumDevices(DWORD* count)
{
    *count = m_reportedCount >= 0 ? static_cast<DWORD>(m_reportedCount) : static_cast<DWORD>(m_converters.size());
    return m_countStatus;
}

FTID_STATUS CScriptedChipId::GetDeviceChipID(DWORD index, DWORD* chipId)
{
    if (m_chipIdStatus != 0)
        return m_chipIdStatus;
    if (index >= m_converters.size())
        return 3;
    *chipId = m_converters[index].chipId;
    return 0;
}

FTID_STATUS CScriptedChipId::GetDeviceLocationID(DWORD index, DWORD* locationId)
{
    if (m_locationStatus != 0)
        return m_locationStatus;
    if (index >= m_converters.size())
        return 3;
    *locationId = m_converters[index].locationId;
    return 0;
}

FTID_STATUS CScriptedChipId::GetErrorCodeString(const char*, FTID_STATUS status, char* buffer, DWORD bufferSize)
{
    // A long text with no terminator inside the buffer: the caller must cut it safely.
    if (status == 99) {
        std::memset(buffer, 'x', bufferSize);
        return 0;
    }
    std::snprintf(buffer, bufferSize, "FTID status %lu", static_cast<unsigned long>(status));
    return 0;
}
