// Stand-in for the FTDI chip-ID library: the converters configured by TREL_FTDI_DEVICES, by index.
#include <cstdio>

#include "ftdi_devices.h"

typedef unsigned long FTID_STATUS;

namespace {
const FTID_STATUS kSuccess = 0;
const FTID_STATUS kInvalidHandle = 1;
const FTID_STATUS kDeviceIndex = 4;
const FTID_STATUS kInvalidParameter = 6;

void CopyText(const char* text, char* buffer, unsigned long size)
{
    if (buffer != nullptr && size > 0)
        std::snprintf(buffer, size, "%s", text);
}
} // namespace

extern "C" {

__declspec(dllexport) FTID_STATUS WINAPI FTID_GetDllVersion(char* buffer, unsigned long size)
{
    if (buffer == nullptr || size == 0)
        return kInvalidParameter;
    CopyText("1.1.0 (test stand-in)", buffer, size);
    return kSuccess;
}

__declspec(dllexport) FTID_STATUS WINAPI FTID_GetNumDevices(unsigned long* count)
{
    if (count == nullptr)
        return kInvalidParameter;
    *count = static_cast<unsigned long>(StandinConverters().size());
    return kSuccess;
}

__declspec(dllexport) FTID_STATUS WINAPI FTID_GetDeviceChipID(unsigned long index, unsigned long* chipId)
{
    auto list = StandinConverters();
    if (chipId == nullptr)
        return kInvalidParameter;
    if (index >= list.size())
        return kDeviceIndex;
    *chipId = list[index].chipId;
    return kSuccess;
}

__declspec(dllexport) FTID_STATUS WINAPI FTID_GetDeviceLocationID(unsigned long index, unsigned long* locationId)
{
    auto list = StandinConverters();
    if (locationId == nullptr)
        return kInvalidParameter;
    if (index >= list.size())
        return kDeviceIndex;
    *locationId = list[index].locationId;
    return kSuccess;
}

__declspec(dllexport) FTID_STATUS WINAPI FTID_GetErrorCodeString(char* language, FTID_STATUS status, char* buffer,
                                                                 unsigned long size)
{
    (void)language;
    switch (status) {
    case kSuccess: CopyText("FTID_SUCCESS", buffer, size); break;
    case kInvalidHandle: CopyText("FTID_INVALID_HANDLE", buffer, size); break;
    case kDeviceIndex: CopyText("FTID_INVALID_DEVICE_INDEX", buffer, size); break;
    case kInvalidParameter: CopyText("FTID_INVALID_PARAMETER", buffer, size); break;
    default: CopyText("FTID_UNKNOWN_ERROR", buffer, size); break;
    }
    return kSuccess;
}

} // extern "C"
