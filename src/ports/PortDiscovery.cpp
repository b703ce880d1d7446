#include "ports/PortDiscovery.h"

#include <stdexcept>

#include "ports/COMFile.h"
#include "ports/PortHost.h"
#include "framework/ErrorText.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

struct ProbeFailure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

void ProbeCheck(bool condition, const char* what)
{
    if (!condition)
        throw ProbeFailure(what);
}

} // namespace

SerialEnumMethod ChooseSerialEnumMethod(DWORD majorVersion, DWORD platformId)
{
    if (majorVersion > 4)
        return kEnumDeviceInterfaces;
    if (platformId == VER_PLATFORM_WIN32_NT)
        return kEnumFixedNames;
    return kEnumRegistry9x;
}

void EnumSerialPorts(std::vector<SerialPortInfo>& ports, BOOL ignoreBusy)
{
    ports.clear();
    DWORD major = 0, platform = 0;
    ReadOsVersion(major, platform);
    switch (ChooseSerialEnumMethod(major, platform)) {
    case kEnumDeviceInterfaces: EnumPortsByDeviceInterface(ports); break;
    case kEnumFixedNames: EnumPortsByFixedNames(ports); break;
    case kEnumRegistry9x: EnumPortsByRegistry(ports); break;
    }
    FinishSerialPortEntries(ports, ignoreBusy);
}

void EnumPortsByFixedNames(std::vector<SerialPortInfo>& ports)
{
    for (int n = 1; n <= 16; ++n) {
        SerialPortInfo info;
        info.portName = FormatText("COM%d", n);
        info.devicePath = "\\\\.\\" + info.portName;
        ports.push_back(info);
    }
}

std::string PortDescriptionFromFriendlyName(const std::string& friendlyName)
{
    size_t open = friendlyName.find(" (");
    size_t close = friendlyName.find(')');
    if (open != std::string::npos && open > 0 && close != std::string::npos && close == friendlyName.size() - 1)
        return friendlyName.substr(0, open);
    return friendlyName;
}

void FinishSerialPortEntries(std::vector<SerialPortInfo>& ports, BOOL ignoreBusy)
{
    CSerialApi& line = *CurrentSerialBackends().com;
    std::vector<SerialPortInfo> kept;
    for (SerialPortInfo& info : ports) {
        if (ignoreBusy) {
            HANDLE h = line.CreateFileA(info.devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE || h == nullptr)
                continue;
            line.CloseHandle(h);
        }
        if (info.friendlyName.empty())
            info.friendlyName = info.portName;
        if (info.portDescription.empty())
            info.portDescription = PortDescriptionFromFriendlyName(info.friendlyName);
        kept.push_back(std::move(info));
    }
    ports.swap(kept);
}

void ListComPorts(std::vector<std::string>& items, BOOL probe)
{
    items.clear();
    std::vector<SerialPortInfo> ports;
    EnumSerialPorts(ports, probe);
    for (const SerialPortInfo& info : ports) {
        try {
            std::string item = "PORT:" + info.devicePath + "|" + info.friendlyName;
            if (!probe || ProbeReaderPort(info.devicePath, 0, nullptr))
                items.push_back(item);
        } catch (...) {
            // this port only is left out
        }
    }
    std::vector<std::string> held;
    GetHeldPortNames(held);
    for (const std::string& name : held)
        if (StartsWith(name, "PORT:") || StartsWith(name, "COM"))
            items.push_back(name);
}

void ListUsbConverters(std::vector<std::string>& items, BOOL probe)
{
    items.clear();
    // Without the chip-ID library no converter can be found; that is no failure, since every
    // machine without the FTDI drivers is in that state.
    CFTDIWorker worker;
    DWORD count = CurrentSerialBackends().chipId->IsPresent() ? worker.Init() : 0;
    for (DWORD index = 0; index < count; ++index) {
        try {
            DWORD chipId = worker.GetChipId(index);
            if (probe && !ProbeReaderPort(std::string(), chipId, &worker))
                continue;
            items.push_back(FormatText("USB%u", static_cast<unsigned>(chipId)));
        } catch (...) {
            LogCaughtFailure(__FILE__, __LINE__);
        }
    }
    std::vector<std::string> held;
    GetHeldPortNames(held);
    for (const std::string& name : held)
        if (StartsWith(name, "USB"))
            items.push_back(name);
}

void ListFreeComPorts(std::vector<std::string>& items)
{
    std::vector<SerialPortInfo> ports;
    EnumSerialPorts(ports, TRUE);
    items.clear();
    for (const SerialPortInfo& info : ports)
        items.push_back("PORT:" + info.devicePath + "|" + info.friendlyName);
}

std::string GetPortDisplayName(const std::string& item)
{
    if (item.size() >= 8 && StartsWith(item, "PORT:")) {
        size_t bar = item.find('|');
        if (bar != std::string::npos && bar + 1 < item.size())
            return item.substr(bar + 1);
    }
    return item;
}

std::string GetPortPath(const std::string& item)
{
    if (item.size() >= 8 && StartsWith(item, "PORT:")) {
        size_t bar = item.find('|');
        return item.substr(5, bar == std::string::npos ? std::string::npos : bar - 5);
    }
    return item;
}

std::string PortNameFromItem(const std::string& item, const std::string& currentName)
{
    if (item.size() > 3 && StartsWith(item, "COM"))
        return "\\\\.\\" + item;
    if (item.size() > 5 && StartsWith(item, "PORT:"))
        return GetPortPath(item);
    if (item.size() > 3 && StartsWith(item, "USB"))
        return item;
    return currentName;
}

BOOL ProbeReaderPort(const std::string& devicePath, DWORD chipId, CFTDIWorker* worker)
{
    if (chipId != 0 && worker == nullptr)
        return FALSE;
    CSerialApi& line = chipId != 0 ? *CurrentSerialBackends().usb : *CurrentSerialBackends().com;
    HANDLE h = chipId != 0
                   ? worker->CreateFile(chipId, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                   : line.CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return FALSE;

    BOOL answer = FALSE;
    DCB saved = {};
    COMMTIMEOUTS savedTimeouts = {};
    bool haveDcb = false, haveTimeouts = false;
    const DWORD purgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    try {
        saved.DCBlength = sizeof(saved);
        ProbeCheck(line.GetCommState(h, &saved) != FALSE, "GetCommState() failed!");
        haveDcb = true;
        ProbeCheck(line.GetCommTimeouts(h, &savedTimeouts) != FALSE, "GetCommTimeouts() failed!");
        haveTimeouts = true;

        DCB dcb = saved;
        dcb.BaudRate = 9600;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fParity = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fAbortOnError = 0;
        ProbeCheck(line.SetCommState(h, &dcb) != FALSE, "SetCommState() failed!");
        COMMTIMEOUTS timeouts = {0, 0, 50, 0, 1000};
        ProbeCheck(line.SetCommTimeouts(h, &timeouts) != FALSE, "CCOMFile::Open SetCommTimeouts()");

        // 1-Wire reset: 0xF0 at 9600 baud; a device's presence pulse changes the echo.
        unsigned char reset = 0xF0;
        DWORD done = 0;
        ProbeCheck(line.WriteFile(h, &reset, 1, &done) != FALSE && done == 1, "Failed to write bytes");
        unsigned char received[100] = {};
        for (DWORD count = 0; count < sizeof(received); ++count) {
            DWORD got = 0;
            if (!line.ReadFile(h, received + count, 1, &got) || got != 1)
                break;  // "Failed to read bytes" only ends the answer
        }
        answer = received[0] != 0 ? TRUE : FALSE;

        if (answer && received[0] != 0xF0) {
            // A device is there: Read ROM (0x33) and 64 read slots at 115200 baud, as the key
            // reader does, so the device ends in a known state. The bytes read are not used.
            dcb.BaudRate = 115200;
            ProbeCheck(line.SetCommState(h, &dcb) != FALSE, "SetCommState() failed!");
            ProbeCheck(line.PurgeComm(h, purgeAll) != FALSE, "PurgeComm failed");
            const unsigned char readRom[8] = {0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
            ProbeCheck(line.WriteFile(h, readRom, sizeof(readRom), &done) != FALSE, "WriteFile failed");
            unsigned char slots[64];
            for (int pass = 0; pass < 2; ++pass)
                ProbeCheck(line.ReadFile(h, slots, 8, &done) != FALSE, "Read failed");
            ProbeCheck(line.PurgeComm(h, purgeAll) != FALSE, "PurgeComm failed");
            unsigned char readSlots[64];
            for (unsigned char& b : readSlots)
                b = 0xFF;
            ProbeCheck(line.WriteFile(h, readSlots, sizeof(readSlots), &done) != FALSE, "WriteFile failed");
            for (int pass = 0; pass < 2; ++pass)
                ProbeCheck(line.ReadFile(h, slots, sizeof(slots), &done) != FALSE, "Read failed");
        }
    } catch (const ProbeFailure&) {
        // the answer is what was reached
    }
    if (haveTimeouts)
        line.SetCommTimeouts(h, &savedTimeouts);
    if (haveDcb)
        line.SetCommState(h, &saved);
    line.PurgeComm(h, purgeAll);
    line.CloseHandle(h);
    return answer;
}
