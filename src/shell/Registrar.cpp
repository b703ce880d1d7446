#include "shell/Registrar.h"

#include <oleauto.h>
#include <string>

#include "TrelClientHelper_h.h"
#include "framework/Module.h"
#include "shell/RegScript.h"

namespace {

const int kRegistryScriptId = 102;

// The registry seen through the script's narrow (UTF-8) names.
class CWin32RegTarget : public RegTarget
{
public:
    Key Root(const std::string& rootName) override
    {
        if (rootName == "HKCR")
            return HKEY_CLASSES_ROOT;
        if (rootName == "HKCU")
            return HKEY_CURRENT_USER;
        if (rootName == "HKLM")
            return HKEY_LOCAL_MACHINE;
        if (rootName == "HKU")
            return HKEY_USERS;
        return nullptr;
    }
    long CreateKey(Key parent, const std::string& name, Key& out) override
    {
        HKEY h = nullptr;
        long rc = RegCreateKeyExW(H(parent), FromUtf8(name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                  nullptr);
        out = h;
        return rc;
    }
    long OpenKey(Key parent, const std::string& name, Key& out) override
    {
        HKEY h = nullptr;
        long rc = RegOpenKeyExW(H(parent), FromUtf8(name).c_str(), 0, KEY_ALL_ACCESS, &h);
        out = h;
        return rc;
    }
    void CloseKey(Key k) override { RegCloseKey(H(k)); }
    long SetString(Key k, const std::string& valueName, const std::string& data) override
    {
        std::wstring w = FromUtf8(data);
        return RegSetValueExW(H(k), ValueName(valueName), 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                              static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
    }
    long SetDword(Key k, const std::string& valueName, uint32_t data) override
    {
        DWORD d = data;
        return RegSetValueExW(H(k), ValueName(valueName), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d),
                              sizeof(d));
    }
    long SetBinary(Key k, const std::string& valueName, const std::vector<uint8_t>& data) override
    {
        return RegSetValueExW(H(k), ValueName(valueName), 0, REG_BINARY, data.data(),
                              static_cast<DWORD>(data.size()));
    }
    long DeleteValue(Key k, const std::string& valueName) override
    {
        return RegDeleteValueW(H(k), ValueName(valueName));
    }
    long DeleteTree(Key parent, const std::string& name) override
    {
        return RegDeleteTreeW(H(parent), FromUtf8(name).c_str());
    }
    long DeleteKey(Key parent, const std::string& name) override
    {
        return RegDeleteKeyW(H(parent), FromUtf8(name).c_str());
    }
    long HasSubKeys(Key k, bool& result) override
    {
        DWORD subKeys = 0;
        long rc = RegQueryInfoKeyW(H(k), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
        result = subKeys != 0;
        return rc;
    }

private:
    static HKEY H(Key k) { return static_cast<HKEY>(k); }
    const wchar_t* ValueName(const std::string& name)
    {
        m_valueName = FromUtf8(name);
        return name.empty() ? nullptr : m_valueName.c_str();
    }
    std::wstring m_valueName;
};

HRESULT LoadRegistryScript(std::string& text)
{
    HINSTANCE hInst = AfxGetResourceHandle();
    HRSRC hRes = FindResourceW(hInst, MAKEINTRESOURCEW(kRegistryScriptId), L"REGISTRY");
    if (hRes == nullptr)
        return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_RESOURCE_DATA_NOT_FOUND);
    HGLOBAL hData = LoadResource(hInst, hRes);
    const char* p = hData ? static_cast<const char*>(LockResource(hData)) : nullptr;
    if (p == nullptr)
        return E_FAIL;
    text.assign(p, SizeofResource(hInst, hRes));
    return S_OK;
}

} // namespace

HRESULT RunModuleRegistryScript(bool bRegister)
{
    std::string text;
    HRESULT hr = LoadRegistryScript(text);
    if (FAILED(hr))
        return hr;
    std::wstring modulePath = ModulePathW();
    if (modulePath.empty())
        return HRESULT_FROM_WIN32(GetLastError());
    RegScript script;
    std::string error;
    if (!ParseRegScript(text, {{"MODULE", ToUtf8(modulePath)}}, script, error))
        return DISP_E_EXCEPTION;
    CWin32RegTarget target;
    long rc = RunRegScript(script, target, bRegister);
    return rc == 0 ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT RegisterModuleTypeLibrary()
{
    std::wstring path = ModulePathW();
    ITypeLib* pLib = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &pLib);
    if (FAILED(hr))
        return hr;
    hr = RegisterTypeLib(pLib, const_cast<LPOLESTR>(path.c_str()), nullptr);
    pLib->Release();
    return hr;
}

HRESULT UnregisterModuleTypeLibrary()
{
    const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    HRESULT hr = UnRegisterTypeLib(LIBID_TRELCLIENTHELPERLib, 1, 0, LOCALE_NEUTRAL, kind);
    if (SUCCEEDED(hr))
        return hr;
    // Not registered (any more) is what unregistration wants. Some systems remove the
    // registration and still answer with an error, so ask whether it is gone.
    BSTR path = nullptr;
    HRESULT query = QueryPathOfRegTypeLib(LIBID_TRELCLIENTHELPERLib, 1, 0, LOCALE_NEUTRAL, &path);
    SysFreeString(path);
    return FAILED(query) ? S_OK : hr;
}
