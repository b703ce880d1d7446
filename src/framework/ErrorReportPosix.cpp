// The raising and logging functions for the native build of the portable core. COM errors are
// the compat header's _com_error carrying the description; there is no string table and no
// system message text, and the log file sits beside the running program.
#include "framework/ErrorReport.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "framework/AfxException.h"
#include "framework/ErrorText.h"

void ThrowComError(HRESULT hr, const char* text)
{
    if (hr == 0)
        hr = DISP_E_EXCEPTION;
    throw _com_error(hr, text ? text : "");
}

void CheckOrThrow(bool condition, const char* text)
{
    if (!condition)
        ThrowComError(E_FAIL, text ? text : "");
}

void CheckOrThrow(bool condition, const wchar_t* text)
{
    if (condition)
        return;
    std::string narrow;
    for (const wchar_t* p = text; p && *p; ++p)
        narrow += *p < 0x80 ? static_cast<char>(*p) : '?';
    ThrowComError(E_FAIL, narrow.c_str());
}

void CheckOrThrow(bool condition, const std::string& text)
{
    if (!condition)
        ThrowComError(E_FAIL, text.c_str());
}

void CheckOrThrowId(bool condition, UINT /*stringId*/)
{
    // The native build carries no string table: the text is empty, as for an ID the table lacks.
    if (!condition)
        ThrowComError(E_FAIL, "");
}

void CheckWin32(bool condition, const char* text)
{
    if (condition)
        return;
    DWORD err = GetLastError();
    if (err == 0)
        ThrowComError(E_FAIL, text ? text : "");
    HRESULT hr = HResultFromLastError(err);
    std::string message = ComErrorMessageText(hr) + "\r\n" + (text ? text : "");
    ThrowComError(hr, message.c_str());
}

void CheckWin32(bool condition, const std::string& text)
{
    CheckWin32(condition, text.c_str());
}

std::string SystemMessageText(HRESULT /*hr*/)
{
    return std::string();
}

std::string ComErrorMessageText(HRESULT hr)
{
    return ComErrorFallbackText(hr);
}

std::string ComErrorText(const _com_error& error)
{
    return error.DescriptionText();
}

std::string ExceptionText(CException* e)
{
    std::string text;
    if (e != nullptr) {
        std::vector<char> buf(1000, '\0');
        if (e->GetErrorMessage(buf.data(), static_cast<UINT>(buf.size())))
            text = buf.data();
        e->Delete();
    }
    if (text.empty())
        text = "Unknown Error! Failed to get the error message!";
    return text;
}

void LogComError(const _com_error& error, const char* file, int line)
{
    try {
        WriteLogLine(ComposeErrorText(error.Error(), ComErrorMessageText(error.Error()), error.DescriptionText(),
                                      file, line),
                     __FILE__, __LINE__);
    } catch (...) {
    }
}

void LogMfcException(CException* e)
{
    try {
        WriteLogLine(ExceptionText(e), __FILE__, __LINE__);
    } catch (...) {
    }
}

void LogHResult(HRESULT hr, const char* text, const char* file, int line)
{
    if (hr >= 0)
        return;
    try {
        WriteLogLine(ComposeErrorText(hr, SystemMessageText(hr), text ? text : "", file, line), __FILE__, __LINE__);
    } catch (...) {
    }
}

std::string LogFilePath()
{
    char buf[PATH_MAX + 1] = {};
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/trel_log.txt";
}

void WriteLogLine(const std::string& ansiText, const char* file, int line)
{
    try {
        char date[32] = {};
        std::time_t now = std::time(nullptr);
        std::tm tmNow;
        if (localtime_r(&now, &tmNow) != nullptr)
            std::strftime(date, sizeof(date), "%d.%m.%Y %H:%M:%S", &tmNow);
        std::string entry = FormatLogEntry(date, ansiText, file, line);
        if (std::FILE* f = std::fopen(LogFilePath().c_str(), "ab")) {
            std::fwrite(entry.data(), 1, entry.size(), f);
            std::fclose(f);
        }
    } catch (...) {
        // A log that cannot be written never breaks the caller.
    }
}
