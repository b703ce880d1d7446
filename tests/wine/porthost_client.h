// Test equipment of the Windows tests: one run of the port-host stand-in (porthost_standin.exe,
// beside the test program), published before the constructor returns and stopped by the
// destructor, with the calls it recorded.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

namespace porthost_client {

inline std::wstring Utf8ToWide(const std::string& text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

inline std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s = path;
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

// Extra arguments (--port, --hold, --value, --fail, --no-proxy) are passed on as given.
class StandIn
{
public:
    explicit StandIn(const std::vector<std::wstring>& args)
    {
        static int serial = 0;
        std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        std::wstring ready = L"TrelPortHostReady-" + tag, stop = L"TrelPortHostStop-" + tag;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_record = std::wstring(temp) + L"porthost-" + tag + L".log";
        DeleteFileW(m_record.c_str());
        m_ready = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
        m_stop = CreateEventW(nullptr, TRUE, FALSE, stop.c_str());

        std::wstring cmd = L"\"" + ExeFolder() + L"porthost_standin.exe\" --ready " + ready + L" --stop " + stop +
                           L" --record \"" + m_record + L"\" --timeout 30000";
        for (const std::wstring& a : args)
            cmd += L" \"" + a + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            ADD_FAILURE() << "cannot start the port-host stand-in, error " << GetLastError();
            return;
        }
        CloseHandle(pi.hThread);
        m_process = pi.hProcess;
        HANDLE waits[] = {m_ready, m_process};
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, 20000);
        if (w != WAIT_OBJECT_0)
            ADD_FAILURE() << "the port-host stand-in did not publish its object (wait " << w << ")";
    }

    ~StandIn() { Stop(); }

    // Stops the host; its exit code (0 when it stopped on request).
    DWORD Stop()
    {
        if (m_process != nullptr) {
            SetEvent(m_stop);
            if (WaitForSingleObject(m_process, 20000) != WAIT_OBJECT_0) {
                ADD_FAILURE() << "the port-host stand-in did not stop";
                TerminateProcess(m_process, 99);
                WaitForSingleObject(m_process, 5000);
            }
            GetExitCodeProcess(m_process, &m_exitCode);
            CloseHandle(m_process);
            m_process = nullptr;
        }
        if (m_ready)
            CloseHandle(m_ready);
        if (m_stop)
            CloseHandle(m_stop);
        m_ready = m_stop = nullptr;
        return m_exitCode;
    }

    // The calls and object ends recorded so far, after the "published" line.
    std::vector<std::wstring> Calls() const
    {
        std::ifstream f(m_record.c_str(), std::ios::binary);
        std::vector<std::wstring> lines;
        std::string line;
        while (std::getline(f, line))
            if (line != "published")
                lines.push_back(Utf8ToWide(line));
        return lines;
    }

private:
    std::wstring m_record;
    HANDLE m_ready = nullptr, m_stop = nullptr, m_process = nullptr;
    DWORD m_exitCode = 0xFFFFFFFF;
};

} // namespace porthost_client
