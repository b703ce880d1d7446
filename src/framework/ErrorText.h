// Composition of error and log texts. Portable: no system calls, so every rule is unit-tested natively.
#pragma once
#include <string>
#include "compat/wincompat.h"

// "File: %s; Line: %d"; empty when there is no file.
std::string FileLineText(const char* file, int line);

// first, then "\r\n"+second when second is not empty, "\r\n"+"hr = 0x%lx" for failures,
// "\r\n"+FileLineText when that is not empty.
std::string ComposeErrorText(HRESULT hr, const std::string& first, const std::string& second,
                             const char* file, int line);

// Text for an HRESULT the system has no message for.
std::string ComErrorFallbackText(HRESULT hr);

// The HRESULT a failed Win32 call is reported with, from the thread's last error code (not 0).
HRESULT HResultFromLastError(DWORD err);

// The message number looked up for an HRESULT: its low word for FACILITY_WIN32-like values whose
// bits 16..28 hold 8, the HRESULT itself otherwise.
DWORD SystemMessageNumber(HRESULT hr);

// Removes one trailing "\r\n" (or "\n") from a system message.
std::string StripTrailingLineBreak(std::string text);

// One log entry: date, tab, text, three tabs, "File: %s; Line: %d", CRLF.
std::string FormatLogEntry(const std::string& date, const std::string& text, const char* file, int line);

// The log file beside the module: folder of the module path (cut before its last backslash),
// "c:" when there is no path or no backslash, then "\trel_log.txt".
std::string LogFilePathFromModulePath(const char* modulePath);

// printf-style formatting into a std::string.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
