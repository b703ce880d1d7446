// The Windows ways of finding COM ports: device interfaces through SetupAPI (Windows 2000 and
// later), the registry's Enum tree (Windows 9x), and the Windows version that chooses between them.
#include "ports/PortDiscovery.h"

#include <setupapi.h>
#include <stdexcept>

#include "framework/ErrorText.h"

namespace {

// GUID_DEVINTERFACE_COMPORT
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class CRegKey
{
public:
    CRegKey() = default;
    ~CRegKey()
    {
        if (m_key != nullptr)
            RegCloseKey(m_key);
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    bool Open(HKEY parent, const std::string& name)
    {
        return RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &m_key) == ERROR_SUCCESS;
    }
    // The name of subkey index (up to 128 bytes); false when there is none.
    bool SubkeyName(DWORD index, std::string& name) const
    {
        char buf[129] = {};
        DWORD size = 128;
        if (RegEnumKeyExA(m_key, index, buf, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        name.assign(buf, size < 128 ? size : 128);
        return true;
    }
    // A string value of up to 128 bytes; false when it is missing, too long or not a string.
    bool StringValue(const char* name, std::string& value) const
    {
        char buf[129] = {};
        DWORD size = 128, type = 0;
        if (RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
            return false;
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return false;
        value.assign(buf, strnlen(buf, size < 128 ? size : 128));
        return true;
    }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

[[noreturn]] void EnumFailure(const std::string& text)
{
    throw std::runtime_error(text);
}

} // namespace

void ReadOsVersion(DWORD& majorVersion, DWORD& platformId)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&version))
        EnumFailure(FormatText("Could not get OS version. (err=%lx)", static_cast<unsigned long>(GetLastError())));
#pragma GCC diagnostic pop
    majorVersion = version.dwMajorVersion;
    platformId = version.dwPlatformId;
}

void EnumPortsByDeviceInterface(std::vector<SerialPortInfo>& ports)
{
    HDEVINFO devices = SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE)
        EnumFailure(FormatText("SetupDiGetClassDevs failed. (err=%lx)", static_cast<unsigned long>(GetLastError())));

    // One detail buffer of 261 bytes serves every device; a longer path ends the walk with an error.
    constexpr DWORD kDetailBytes = 261;
    alignas(8) BYTE detailBuffer[kDetailBytes] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer);
    std::string error;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupDiEnumDeviceInterfaces(devices, nullptr, &kComPortInterface, index, &interfaceData)) {
            DWORD err = GetLastError();
            if (err != ERROR_NO_MORE_ITEMS)
                error = FormatText("SetupDiEnumDeviceInterfaces failed. (err=%lx)", static_cast<unsigned long>(err));
            break;
        }
        std::fill(detailBuffer, detailBuffer + kDetailBytes, BYTE(0));
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, detail, kDetailBytes, nullptr, &device)) {
            error = FormatText("SetupDiGetDeviceInterfaceDetail failed. (err=%lx)",
                               static_cast<unsigned long>(GetLastError()));
            break;
        }
        char friendly[257] = {}, description[257] = {}, location[257] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(friendly), 256, nullptr) ||
            !SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_DEVICEDESC, nullptr,
                                               reinterpret_cast<BYTE*>(description), 256, nullptr))
            continue;
        SerialPortInfo info;
        const size_t pathRoom = kDetailBytes - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        info.devicePath.assign(detail->DevicePath, strnlen(detail->DevicePath, pathRoom));
        info.friendlyName = friendly;
        info.portDescription = description;
        info.isUsb = SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_LOCATION_INFORMATION, nullptr,
                                                       reinterpret_cast<BYTE*>(location), 256, nullptr) &&
                     std::string(location).compare(0, 3, "USB") == 0;
        ports.push_back(info);
    }
    SetupDiDestroyDeviceInfoList(devices);
    if (!error.empty())
        EnumFailure(error);
}

void EnumPortsByRegistry(std::vector<SerialPortInfo>& ports)
{
    const std::string root = "Enum";
    CRegKey enumKey;
    if (!enumKey.Open(HKEY_LOCAL_MACHINE, root))
        EnumFailure("Could not read from HKLM\\Enum");
    std::string bus;
    for (DWORD b = 0; enumKey.SubkeyName(b, bus); ++b) {
        CRegKey busKey;
        if (!busKey.Open(enumKey.Get(), bus))
            EnumFailure("Could not read from HKLM\\Enum\\" + bus);
        const bool usbBus = bus == "USBPORTS";
        std::string device;
        for (DWORD d = 0; busKey.SubkeyName(d, device); ++d) {
            if (!usbBus && device != "*PNP0500" && device != "*PNP0501")
                continue;
            CRegKey deviceKey;
            if (!deviceKey.Open(busKey.Get(), device))
                EnumFailure("Could not read from HKLM\\Enum\\" + bus + "\\" + device);
            std::string instance;
            for (DWORD i = 0; deviceKey.SubkeyName(i, instance); ++i) {
                CRegKey instanceKey;
                if (!instanceKey.Open(deviceKey.Get(), instance))
                    EnumFailure("Could not read from HKLM\\Enum\\" + bus + "\\" + device + "\\" + instance);
                SerialPortInfo info;
                if (!instanceKey.StringValue("PORTNAME", info.portName))
                    continue;
                instanceKey.StringValue("FRIENDLYNAME", info.friendlyName);
                info.devicePath = "\\\\.\\" + info.portName;
                info.isUsb = usbBus ? TRUE : FALSE;
                bool known = false;
                for (const SerialPortInfo& other : ports)
                    known = known || other.portName == info.portName;
                if (!known)
                    ports.push_back(info);
            }
        }
    }
}
