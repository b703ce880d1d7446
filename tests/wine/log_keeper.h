// Test programs that fail thousands of calls on purpose put the component's log back to the size
// it had, so that the log other tests read stays small.
#pragma once
#include <windows.h>
#include <string>

#include "client_common.h"

class CLogSizeKeeper
{
public:
    CLogSizeKeeper()
    {
        std::wstring dll = DllPath();
        m_path = dll.substr(0, dll.rfind(L'\\') + 1) + L"trel_log.txt";
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (GetFileAttributesExW(m_path.c_str(), GetFileExInfoStandard, &data))
            m_size = (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    ~CLogSizeKeeper()
    {
        HANDLE h = CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return;
        LARGE_INTEGER at;
        at.QuadPart = m_size;
        if (SetFilePointerEx(h, at, nullptr, FILE_BEGIN))
            SetEndOfFile(h);
        CloseHandle(h);
    }
    CLogSizeKeeper(const CLogSizeKeeper&) = delete;
    CLogSizeKeeper& operator=(const CLogSizeKeeper&) = delete;

private:
    std::wstring m_path;
    LONGLONG m_size = 0;
};
