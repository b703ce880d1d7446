// Finding serial devices natively: the terminal devices under /dev take the place of the
// system's device interfaces; there is no Windows 9x registry and no port host.
#include "ports/PortDiscovery.h"

#include <algorithm>
#include <dirent.h>
#include <stdexcept>

#include "ports/PortHost.h"

void ReadOsVersion(DWORD& majorVersion, DWORD& platformId)
{
    majorVersion = 6;
    platformId = VER_PLATFORM_WIN32_NT;
}

void EnumPortsByDeviceInterface(std::vector<SerialPortInfo>& ports)
{
    DIR* dir = opendir("/dev");
    if (dir == nullptr)
        throw std::runtime_error("Could not read /dev");
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, 6, "ttyUSB") == 0 || name.compare(0, 6, "ttyACM") == 0 || name.compare(0, 4, "ttyS") == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        SerialPortInfo info;
        info.devicePath = "/dev/" + name;
        info.friendlyName = name;
        info.portDescription = name;
        info.isUsb = name.compare(0, 4, "ttyS") != 0;
        ports.push_back(info);
    }
}

void EnumPortsByRegistry(std::vector<SerialPortInfo>&)
{
    throw std::runtime_error("Could not read from HKLM\\Enum");
}

// No running object table here, so never a port host: the list stays as it is.
void GetHeldPortNames(std::vector<std::string>&)
{
}
