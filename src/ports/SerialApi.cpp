#include "ports/SerialApi.h"

#include <cstring>

static_assert(sizeof(DCB) == 28, "DCB must have the system's layout");

namespace {

SerialBackends& Backends()
{
    static SerialBackends backends = PlatformSerialBackends();
    return backends;
}

constexpr size_t kDcbFlagsOffset = 2 * sizeof(DWORD);  // after DCBlength and BaudRate

} // namespace

const SerialBackends& CurrentSerialBackends()
{
    return Backends();
}

SerialBackends UseSerialBackends(const SerialBackends& backends)
{
    SerialBackends previous = Backends();
    Backends() = backends;
    return previous;
}

DWORD GetDcbFlags(const DCB& dcb)
{
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + kDcbFlagsOffset, sizeof(flags));
    return flags;
}

void SetDcbFlags(DCB& dcb, DWORD flags)
{
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof(flags));
}
