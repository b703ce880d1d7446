// What the fuzz targets of the line protocols share: exchange logs in a scratch folder removed at
// exit, and (for the device protocols) pauses that cost nothing.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

#include "devices/DeviceWaits.h"
#include "ports/ExchangeLog.h"

namespace fuzzline {

inline std::string& LogBase()
{
    static std::string base;
    return base;
}

inline void RemoveLogs()
{
    std::error_code ec;
    std::filesystem::remove_all(LogBase(), ec);
}

class CNoWaits : public CDeviceWaits
{
public:
    void WaitMicroseconds(DWORD) override {}
    void SleepMilliseconds(DWORD) override {}
};

// For LLVMFuzzerInitialize: the exchange logs of target go to a scratch folder; with noWaits the
// device protocols do not really pause.
inline void Setup(const char* target, bool noWaits)
{
    std::string pattern = std::string("/tmp/trel-fuzz-") + target + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        std::abort();
    LogBase() = pattern;
    SetExchangeLogBaseDir(LogBase());
    std::atexit(RemoveLogs);
    if (noWaits) {
        static CNoWaits waits;
        UseDeviceWaits(&waits);
    }
}

} // namespace fuzzline
