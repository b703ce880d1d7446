#pragma once

// Registrar for the COM registry-script (.rgs) grammar. Parsing and execution
// are kept free of Windows headers so both run natively under unit tests; the
// Windows side supplies a RegTarget over the real registry.

#include <cstdint>
#include <string>
#include <vector>

struct RegReplacement {
    std::string name;   // matched case-insensitively, without the % signs
    std::string value;  // inserted verbatim, never re-scanned
};

enum class RegValueType { String, Dword, Binary };

struct RegValue {
    RegValueType type = RegValueType::String;
    std::string text;            // String
    uint32_t dword = 0;          // Dword
    std::vector<uint8_t> bytes;  // Binary
};

struct RegNamedValue {
    std::string name;
    RegValue value;
};

enum class RegKeyFlag { None, NoRemove, ForceRemove, Delete };

struct RegKeyEntry {
    RegKeyFlag flag = RegKeyFlag::None;
    std::string name;
    bool hasDefault = false;
    RegValue defaultValue;
    std::vector<RegNamedValue> values;   // script order
    std::vector<RegKeyEntry> children;   // script order
};

struct RegRootBlock {
    std::string root;  // normalised: "HKCR", "HKCU", "HKLM" or "HKU"
    std::vector<RegKeyEntry> keys;
};

struct RegScript {
    std::vector<RegRootBlock> roots;
};

// Blocks may nest at most this many braces deep, root block included.
constexpr int kRegScriptMaxDepth = 64;

// On failure returns false, leaves `out` untouched and sets `error` to
// "line N: message".
bool ParseRegScript(const std::string& text, const std::vector<RegReplacement>& replacements,
                    RegScript& out, std::string& error);

class RegTarget {  // all names are narrow (UTF-8); key handles are opaque
public:
    using Key = void*;
    virtual ~RegTarget() = default;
    virtual Key Root(const std::string& rootName) = 0;  // nullptr if unsupported
    virtual long CreateKey(Key parent, const std::string& name, Key& out) = 0;  // create or open
    virtual long OpenKey(Key parent, const std::string& name, Key& out) = 0;    // 2 when absent
    virtual void CloseKey(Key k) = 0;                                            // never for roots
    virtual long SetString(Key k, const std::string& valueName, const std::string& data) = 0;  // "" = default
    virtual long SetDword(Key k, const std::string& valueName, uint32_t data) = 0;
    virtual long SetBinary(Key k, const std::string& valueName, const std::vector<uint8_t>& data) = 0;
    virtual long DeleteValue(Key k, const std::string& valueName) = 0;  // 2 when absent
    virtual long DeleteTree(Key parent, const std::string& name) = 0;   // 2 when absent
    virtual long DeleteKey(Key parent, const std::string& name) = 0;    // only a key without subkeys
    virtual long HasSubKeys(Key k, bool& result) = 0;
};

// Returns 0 or the first failing Win32-style error code. Registration stops at
// the first failure and keeps what was already written. Unregistration carries
// on past failures so one stuck key does not leave the rest behind, and treats
// missing keys and values as already removed.
long RunRegScript(const RegScript& script, RegTarget& target, bool bRegister);
