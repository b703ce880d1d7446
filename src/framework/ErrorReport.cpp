#include "framework/ErrorReport.h"

#include <oleauto.h>
#include <vector>

#include "framework/AfxException.h"
#include "framework/Module.h"
#include "framework/ErrorText.h"

namespace {

// Error information on the calling thread, as the frame and ThrowComError set it.
void SetThreadErrorInfo(const std::wstring& description, const wchar_t* source, REFIID iid)
{
    ICreateErrorInfo* pCreate = nullptr;
    if (FAILED(CreateErrorInfo(&pCreate)) || pCreate == nullptr)
        return;
    pCreate->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    pCreate->SetGUID(iid);
    if (source != nullptr)
        pCreate->SetSource(const_cast<LPOLESTR>(source));
    IErrorInfo* pInfo = nullptr;
    if (SUCCEEDED(pCreate->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&pInfo))) && pInfo) {
        SetErrorInfo(0, pInfo);
        pInfo->Release();
    }
    pCreate->Release();
}

std::string SystemMessage(DWORD number)
{
    char* pBuffer = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, number, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&pBuffer), 0, nullptr);
    std::string text;
    if (n > 0 && pBuffer != nullptr)
        text.assign(pBuffer, n);
    if (pBuffer != nullptr)
        LocalFree(pBuffer);
    return text;
}

std::string LocalDateTimeText()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE date = 0;
    if (!SystemTimeToVariantTime(&st, &date))
        return std::string();
    BSTR bstr = nullptr;
    if (FAILED(VarBstrFromDate(date, GetUserDefaultLCID(), 0, &bstr)) || bstr == nullptr)
        return std::string();
    std::string text = ToAnsi(bstr);
    SysFreeString(bstr);
    return text;
}

} // namespace

void ThrowComError(HRESULT hr, const char* text)
{
    if (hr == 0)
        hr = DISP_E_EXCEPTION;
    if (text == nullptr)
        throw _com_error(hr);
    SetThreadErrorInfo(FromAnsi(text), nullptr, GUID_NULL);
    IErrorInfo* pInfo = nullptr;
    if (GetErrorInfo(0, &pInfo) != S_OK)
        pInfo = nullptr;
    throw _com_error(hr, pInfo, false);
}

void CheckOrThrow(bool condition, const char* text)
{
    if (!condition)
        ThrowComError(E_FAIL, text ? text : "");
}

void CheckOrThrow(bool condition, const wchar_t* text)
{
    if (!condition)
        ThrowComError(E_FAIL, ToAnsi(text).c_str());
}

void CheckOrThrow(bool condition, const std::string& text)
{
    if (!condition)
        ThrowComError(E_FAIL, text.c_str());
}

void CheckOrThrowId(bool condition, UINT stringId)
{
    if (!condition)
        ThrowComError(E_FAIL, LoadResString(stringId).c_str());
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

std::string SystemMessageText(HRESULT hr)
{
    return SystemMessage(SystemMessageNumber(hr));
}

std::string ComErrorMessageText(HRESULT hr)
{
    std::string text = StripTrailingLineBreak(SystemMessage(static_cast<DWORD>(hr)));
    // Windows finds the text of a Win32-derived HRESULT by itself; other systems want the code.
    if (text.empty() && (static_cast<ULONG>(hr) & 0xFFFF0000u) == 0x80070000u)
        text = StripTrailingLineBreak(SystemMessage(static_cast<DWORD>(hr) & 0xFFFFu));
    if (text.empty())
        text = ComErrorFallbackText(hr);
    return text;
}

std::wstring ComErrorDescription(const _com_error& error)
{
    // ErrorInfo() hands out a reference of its own: every failing call would keep its error object.
    IErrorInfo* pInfo = error.ErrorInfo();
    if (pInfo == nullptr)
        return std::wstring();
    BSTR bstr = nullptr;
    std::wstring text;
    if (SUCCEEDED(pInfo->GetDescription(&bstr)) && bstr != nullptr)
        text.assign(bstr, SysStringLen(bstr));
    SysFreeString(bstr);
    pInfo->Release();
    return text;
}

std::string ComErrorText(const _com_error& error)
{
    return ToAnsi(ComErrorDescription(error));
}

HRESULT ReportComError(REFCLSID clsid, REFIID iid, const _com_error& error, const wchar_t* context)
{
    std::wstring description = ComErrorDescription(error);
    if (description.empty())
        description = FromAnsi(ComErrorMessageText(error.Error()));
    std::wstring text = std::wstring(context ? context : L"") + L"\r\n" + description;
    WriteLogLine(text.c_str(), __FILE__, __LINE__);

    LPOLESTR progId = nullptr;
    if (FAILED(ProgIDFromCLSID(clsid, &progId)))
        progId = nullptr;
    SetThreadErrorInfo(text, progId, iid);
    if (progId != nullptr)
        CoTaskMemFree(progId);
    HRESULT hr = error.Error();
    return hr == 0 ? DISP_E_EXCEPTION : hr;
}

HRESULT ReportMfcException(REFCLSID clsid, REFIID iid, CException* e, const wchar_t* context)
{
    std::wstring text = FromAnsi(ExceptionText(e)) + L"\r\n" + (context ? context : L"");
    LPOLESTR progId = nullptr;
    if (FAILED(ProgIDFromCLSID(clsid, &progId)))
        progId = nullptr;
    SetThreadErrorInfo(text, progId, iid);
    if (progId != nullptr)
        CoTaskMemFree(progId);
    return DISP_E_EXCEPTION;
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
        WriteLogLine(ComposeErrorText(error.Error(), ComErrorMessageText(error.Error()),
                                      ToAnsi(ComErrorDescription(error)), file, line),
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
        WriteLogLine(ComposeErrorText(hr, SystemMessageText(hr), text ? text : "", file, line), __FILE__,
                     __LINE__);
    } catch (...) {
    }
}

std::string LogFilePath()
{
    std::wstring path = ModulePathW();
    if (path.empty() || path.size() > 1000)
        return LogFilePathFromModulePath(nullptr);
    return LogFilePathFromModulePath(ToAnsi(path).c_str());
}

void WriteLogLine(const wchar_t* text, const char* file, int line)
{
    try {
        WriteLogLine(ToAnsi(text), file, line);
    } catch (...) {
    }
}

void WriteLogLine(const std::string& ansiText, const char* file, int line)
{
    try {
        std::string entry = FormatLogEntry(LocalDateTimeText(), ansiText, file, line);
        HANDLE h = CreateFileA(LogFilePath().c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return;
        SetFilePointer(h, 0, nullptr, FILE_END);
        DWORD written = 0;
        WriteFile(h, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
        CloseHandle(h);
    } catch (...) {
        // A log that cannot be written never breaks the caller.
    }
}
