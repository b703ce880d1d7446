// The converters the FTDI stand-ins present, from TREL_FTDI_DEVICES="chipid:locationid:COMn;...".
// Entries that do not parse are left out.
#pragma once
#include <windows.h>
#include <cstdlib>
#include <string>
#include <vector>

struct StandinConverter
{
    unsigned long chipId;
    unsigned long locationId;
    std::string comName;
};

inline bool ParseUnsigned(const std::string& text, unsigned long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull)
        return false;
    value = static_cast<unsigned long>(v);
    return true;
}

inline std::vector<StandinConverter> StandinConverters()
{
    std::vector<StandinConverter> list;
    char buf[4096] = {};
    DWORD n = GetEnvironmentVariableA("TREL_FTDI_DEVICES", buf, sizeof(buf));
    if (n == 0 || n >= sizeof(buf))
        return list;
    std::string setting(buf, n);
    size_t start = 0;
    while (start <= setting.size()) {
        size_t end = setting.find(';', start);
        std::string entry = setting.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t a = entry.find(':'), b = entry.find(':', a == std::string::npos ? a : a + 1);
        StandinConverter c;
        if (a != std::string::npos && b != std::string::npos && ParseUnsigned(entry.substr(0, a), c.chipId) &&
            ParseUnsigned(entry.substr(a + 1, b - a - 1), c.locationId) && entry.size() > b + 1) {
            c.comName = entry.substr(b + 1);
            list.push_back(c);
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return list;
}
