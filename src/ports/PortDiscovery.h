// The ports a reader can be found on: COM ports of the machine, FTDI converters by chip ID, and the
// ports the port host holds; and the port item, the text form the dialogs keep:
//   "PORT:" + device path + "|" + display name    a COM port of this machine
//   "USB" + chip ID in decimal                      an FTDI converter
//   "COM..."                                        a port the port host holds
#pragma once
#include <string>
#include <vector>

#include "compat/wincompat.h"

class CFTDIWorker;

struct SerialPortInfo
{
    std::string devicePath;       // a device-interface path, or "\\.\" + port name
    std::string portName;         // "COM%d"; empty for ports found through device interfaces
    std::string friendlyName;
    BOOL isUsb = FALSE;
    std::string portDescription;
};

enum SerialEnumMethod
{
    kEnumDeviceInterfaces,  // Windows 2000 and later
    kEnumFixedNames,        // Windows NT 4
    kEnumRegistry9x,        // Windows 9x
};
SerialEnumMethod ChooseSerialEnumMethod(DWORD majorVersion, DWORD platformId);

// Fills the list with the machine's COM ports; with ignoreBusy, ports that do not open now are
// left out. Raises std::runtime_error with the system's reason when a method fails.
void EnumSerialPorts(std::vector<SerialPortInfo>& ports, BOOL ignoreBusy);

// The three methods, each on its own (the list is appended to).
void EnumPortsByDeviceInterface(std::vector<SerialPortInfo>& ports);
void EnumPortsByFixedNames(std::vector<SerialPortInfo>& ports);
void EnumPortsByRegistry(std::vector<SerialPortInfo>& ports);

// The steps after any method: the busy test, the friendly name and description fallbacks.
void FinishSerialPortEntries(std::vector<SerialPortInfo>& ports, BOOL ignoreBusy);
// A friendly name such as "Communications Port (COM1)" described without its bracketed COM name.
std::string PortDescriptionFromFriendlyName(const std::string& friendlyName);

// The item lists of the read dialogs.
void ListComPorts(std::vector<std::string>& items, BOOL probe);
void ListUsbConverters(std::vector<std::string>& items, BOOL probe);
void ListFreeComPorts(std::vector<std::string>& items);

std::string GetPortDisplayName(const std::string& item);
std::string GetPortPath(const std::string& item);
// The port name a CCOMFile opens for an item; currentName when the item names no port.
std::string PortNameFromItem(const std::string& item, const std::string& currentName);

// TRUE when a reader line answers a 1-Wire reset on the port: chip ID 0 means the COM port at
// devicePath, any other the converter with that chip ID (found through worker). Never raises.
BOOL ProbeReaderPort(const std::string& devicePath, DWORD chipId, CFTDIWorker* worker);

// The Windows version as GetVersionExA gives it (natively: a present-day system).
void ReadOsVersion(DWORD& majorVersion, DWORD& platformId);
