// Module resources and text conversions of the framework layer.
#pragma once
#include <windows.h>
#include <string>

// The component's own module (set at process attach); its resources serve every call.
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE hInstance);

// The module's full path; empty when it cannot be obtained.
std::wstring ModulePathW();

// A string of the module's string table: wide, or in the ANSI code page. Empty when absent.
std::wstring LoadResStringW(UINT id);
std::string LoadResString(UINT id);

// Text conversions through the ANSI code page (the narrow strings inside the component).
std::string ToAnsi(const wchar_t* text);
std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const char* text);
std::wstring FromAnsi(const std::string& text);
std::wstring FromUtf8(const std::string& text);
std::string ToUtf8(const std::wstring& text);
