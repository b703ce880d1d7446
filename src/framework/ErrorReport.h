// Raising, reporting and logging failures. Bodies raise COM errors through the Throw/Check
// functions; the call frame hands what escapes to ReportComError/ReportMfcException; code outside
// a call logs through the Log functions. Nothing here lets a log failure escape.
#pragma once
#ifdef _WIN32
#include <windows.h>
#include <comdef.h>
#else
#include "compat/wincompat.h"
#endif
#include <string>

class CException;

[[noreturn]] void ThrowComError(HRESULT hr, const char* text);
void CheckOrThrow(bool condition, const char* text);
void CheckOrThrow(bool condition, const wchar_t* text);
void CheckOrThrow(bool condition, const std::string& text);
void CheckOrThrowId(bool condition, UINT stringId);
void CheckWin32(bool condition, const char* text);
void CheckWin32(bool condition, const std::string& text);

#ifdef _WIN32
HRESULT ReportComError(REFCLSID clsid, REFIID iid, const _com_error& error, const wchar_t* context);
HRESULT ReportMfcException(REFCLSID clsid, REFIID iid, CException* e, const wchar_t* context);
#endif

void LogComError(const _com_error& error, const char* file = nullptr, int line = 0);
void LogMfcException(CException* e);
void LogHResult(HRESULT hr, const char* text, const char* file = nullptr, int line = 0);
#ifdef _WIN32
void WriteLogLine(const wchar_t* text, const char* file, int line);
#endif
void WriteLogLine(const std::string& ansiText, const char* file, int line);

std::string ExceptionText(CException* e);
std::string SystemMessageText(HRESULT hr);
// The message text of a COM error for hr: the system message without its line break, or the
// "IDispatch error #"/"Unknown error 0x" text.
std::string ComErrorMessageText(HRESULT hr);
#ifdef _WIN32
// The description carried by a COM error's error information (empty when none).
std::wstring ComErrorDescription(const _com_error& error);
#endif
// The same description in the ANSI code page.
std::string ComErrorText(const _com_error& error);

// The log file's full name.
std::string LogFilePath();
