// The operator's remembered choices, under HKEY_LOCAL_MACHINE\Software\<subkey>. Every call opens
// the key, does its one read or write and closes it again; nothing is cached.
#pragma once
#include <windows.h>
#include <string>

// The subkey every setting of the component lives under.
constexpr char kSettingsSubkey[] = "Brimvale";

// Longest string value read back, its terminating zero included.
constexpr DWORD kMaxSettingStringBytes = 1024;

// The value when it is a REG_DWORD of 4 bytes; defaultValue in every other case. Never raises.
DWORD ReadSettingDword(const std::string& valueName, const std::string& subkey, DWORD defaultValue);

// The value when it is a REG_SZ or REG_EXPAND_SZ (not expanded) of at most kMaxSettingStringBytes
// ending with a zero byte; "" in every other case. Never raises.
std::string ReadSettingString(const std::string& valueName, const std::string& subkey);

// Write the value (REG_SZ with its terminating zero, REG_DWORD of 4 bytes), creating the key when
// needed. Raise E_FAIL when the key cannot be created or the value cannot be written.
void WriteSettingString(const std::string& valueName, const std::string& value, const std::string& subkey);
void WriteSettingDword(const std::string& valueName, DWORD value, const std::string& subkey);
