// Helpers shared by the C++ client tests of the registered DLL.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstdlib>
#include <string>

// The DLL under test as a Windows path (the harness passes its Linux path in TREL_DLL).
inline std::wstring DllPath()
{
    const char* p = std::getenv("TREL_DLL");
    std::string s = p ? p : "";
    for (char& c : s)
        if (c == '/')
            c = '\\';
    return L"Z:" + std::wstring(s.begin(), s.end());
}

inline std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    T** Put()
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset()
    {
        if (m_p != nullptr) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};

class Bstr
{
public:
    explicit Bstr(const wchar_t* text = nullptr) : m_b(text ? SysAllocString(text) : nullptr) {}
    ~Bstr() { SysFreeString(m_b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_b; }
    BSTR* Put()
    {
        SysFreeString(m_b);
        m_b = nullptr;
        return &m_b;
    }
    std::wstring Text() const { return m_b ? std::wstring(m_b, SysStringLen(m_b)) : std::wstring(); }

private:
    BSTR m_b;
};
