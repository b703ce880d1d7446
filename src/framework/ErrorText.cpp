#include "framework/ErrorText.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string FormatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), format, args);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

std::string FileLineText(const char* file, int line)
{
    if (file == nullptr)
        return std::string();
    return FormatText("File: %s; Line: %d", file, line);
}

std::string ComposeErrorText(HRESULT hr, const std::string& first, const std::string& second,
                             const char* file, int line)
{
    std::string text = first;
    if (!second.empty())
        text += "\r\n" + second;
    if (hr < 0)
        text += "\r\n" + FormatText("hr = 0x%lx", static_cast<unsigned long>(static_cast<ULONG>(hr)));
    std::string where = FileLineText(file, line);
    if (!where.empty())
        text += "\r\n" + where;
    return text;
}

std::string ComErrorFallbackText(HRESULT hr)
{
    ULONG u = static_cast<ULONG>(hr);
    if (u >= 0x80040201u && u <= 0x8004FFFFu)
        return FormatText("IDispatch error #%d", static_cast<int>(u - 0x80040200u));
    return FormatText("Unknown error 0x%0lX", static_cast<unsigned long>(u));
}

HRESULT HResultFromLastError(DWORD err)
{
    if (static_cast<LONG>(err) <= 0)
        return static_cast<HRESULT>(err);
    return static_cast<HRESULT>((err & 0xFFFFu) | 0x80070000u);
}

DWORD SystemMessageNumber(HRESULT hr)
{
    ULONG u = static_cast<ULONG>(hr);
    if ((u & 0x1FFF0000u) == 0x00080000u)
        return u & 0xFFFFu;
    return u;
}

std::string StripTrailingLineBreak(std::string text)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

std::string FormatLogEntry(const std::string& date, const std::string& text, const char* file, int line)
{
    return date + "\t" + text + "\t\t\t" + FormatText("File: %s; Line: %d", file ? file : "", line) + "\r\n";
}

std::string LogFilePathFromModulePath(const char* modulePath)
{
    std::string folder = "c:";
    if (modulePath != nullptr) {
        std::string path(modulePath);
        size_t slash = path.rfind('\\');
        if (slash != std::string::npos)
            folder = path.substr(0, slash);
    }
    return folder + "\\trel_log.txt";
}
