#include "ports/Settings.h"

#include "framework/ErrorReport.h"

namespace {

const char kSaveFailedText[] =
    "Failed to save params to the registry. The user might have no access rights for it.";

struct RegKey {
    HKEY h = nullptr;
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey()
    {
        if (h != nullptr)
            RegCloseKey(h);
    }
};

std::string KeyPath(const std::string& subkey)
{
    return "Software\\" + subkey;
}

bool OpenForReading(const std::string& subkey, RegKey& key)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(subkey).c_str(), 0, KEY_READ, &key.h) == ERROR_SUCCESS;
}

void WriteValue(const std::string& valueName, DWORD type, const BYTE* data, DWORD size, const std::string& subkey)
{
    RegKey key;
    bool saved = RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(subkey).c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key.h,
                                 nullptr) == ERROR_SUCCESS &&
                 RegSetValueExA(key.h, valueName.c_str(), 0, type, data, size) == ERROR_SUCCESS;
    CheckOrThrow(saved, kSaveFailedText);
}

// The string a value's raw data stands for.
std::string SettingStringFromData(DWORD type, const BYTE* data, DWORD size)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return std::string();
    if (data == nullptr || size == 0 || size > kMaxSettingStringBytes || data[size - 1] != 0)
        return std::string();
    // The zero at the end bounds the text; one met earlier ends it there.
    return std::string(reinterpret_cast<const char*>(data));
}

} // namespace

DWORD ReadSettingDword(const std::string& valueName, const std::string& subkey, DWORD defaultValue)
{
    RegKey key;
    if (!OpenForReading(subkey, key))
        return defaultValue;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key.h, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return defaultValue;
    return value;
}

std::string ReadSettingString(const std::string& valueName, const std::string& subkey)
{
    RegKey key;
    if (!OpenForReading(subkey, key))
        return std::string();
    BYTE data[kMaxSettingStringBytes] = {};
    DWORD type = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExA(key.h, valueName.c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS)
        return std::string();
    return SettingStringFromData(type, data, size);
}

void WriteSettingString(const std::string& valueName, const std::string& value, const std::string& subkey)
{
    CheckOrThrow(value.size() < MAXDWORD, kSaveFailedText);
    WriteValue(valueName, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
               static_cast<DWORD>(value.size() + 1), subkey);
}

void WriteSettingDword(const std::string& valueName, DWORD value, const std::string& subkey)
{
    WriteValue(valueName, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value), subkey);
}
