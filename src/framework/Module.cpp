#include "framework/Module.h"

#include <vector>

static HINSTANCE g_hResource = nullptr;

HINSTANCE AfxGetResourceHandle()
{
    return g_hResource;
}

void AfxSetResourceHandle(HINSTANCE hInstance)
{
    g_hResource = hInstance;
}

std::wstring ModulePathW()
{
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(g_hResource, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::wstring();
        if (n < buf.size())
            return std::wstring(buf.data(), n);
        if (buf.size() >= 32768)
            return std::wstring();
        buf.resize(buf.size() * 2);
    }
}

std::wstring LoadResStringW(UINT id)
{
    // With a zero buffer size LoadStringW hands out a pointer to the resource itself.
    const wchar_t* p = nullptr;
    int n = LoadStringW(g_hResource, id, reinterpret_cast<LPWSTR>(&p), 0);
    if (n <= 0 || p == nullptr)
        return std::wstring();
    return std::wstring(p, static_cast<size_t>(n));
}

std::string LoadResString(UINT id)
{
    return ToAnsi(LoadResStringW(id));
}

static std::string FromWide(UINT cp, const wchar_t* text, int len)
{
    if (text == nullptr || len == 0)
        return std::string();
    int n = WideCharToMultiByte(cp, 0, text, len, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(cp, 0, text, len, &out[0], n, nullptr, nullptr);
    return out;
}

static std::wstring ToWide(UINT cp, const char* text, int len)
{
    if (text == nullptr || len == 0)
        return std::wstring();
    int n = MultiByteToWideChar(cp, 0, text, len, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(cp, 0, text, len, &out[0], n);
    return out;
}

std::string ToAnsi(const wchar_t* text)
{
    return text ? FromWide(CP_ACP, text, static_cast<int>(wcslen(text))) : std::string();
}

std::string ToAnsi(const std::wstring& text)
{
    return FromWide(CP_ACP, text.data(), static_cast<int>(text.size()));
}

std::wstring FromAnsi(const char* text)
{
    return text ? ToWide(CP_ACP, text, static_cast<int>(strlen(text))) : std::wstring();
}

std::wstring FromAnsi(const std::string& text)
{
    return ToWide(CP_ACP, text.data(), static_cast<int>(text.size()));
}

std::wstring FromUtf8(const std::string& text)
{
    return ToWide(CP_UTF8, text.data(), static_cast<int>(text.size()));
}

std::string ToUtf8(const std::wstring& text)
{
    return FromWide(CP_UTF8, text.data(), static_cast<int>(text.size()));
}
