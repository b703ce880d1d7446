// Layouts and calling conventions shared with outside code, checked when the DLL is compiled for
// each target. Anything that fails here would build and then fail at the boundary.
#include <windows.h>
#include <ole2.h>
#include <setupapi.h>
#include <cstddef>

#include "framework/Abi.h"
#include "devices/HodTest.h"
#include "ports/PortHost.h"
#include "reading/ReaderProgress.h"

using trel::ForTarget;

// The exported entry points, called by COM and regsvr32 through GetProcAddress.
TREL_ASSERT_WINAPI(decltype(&DllGetClassObject));
TREL_ASSERT_WINAPI(decltype(&DllCanUnloadNow));
TREL_ASSERT_WINAPI(decltype(&DllRegisterServer));
TREL_ASSERT_WINAPI(decltype(&DllUnregisterServer));

// The caller's progress object and the port host's interfaces: methods called through virtual tables.
TREL_ASSERT_WINAPI(decltype(&IReaderProgress::ShowStart));
TREL_ASSERT_WINAPI(decltype(&IReaderProgress::ShowEnd));
TREL_ASSERT_WINAPI(decltype(&IReaderProgress::QueryContinue));
TREL_ASSERT_WINAPI(decltype(&IPortHostProxy::OpenPort));
TREL_ASSERT_WINAPI(decltype(&IPortHostProxy::GetHeldPorts));
TREL_ASSERT_WINAPI(decltype(&IPortList::get_Item));
TREL_ASSERT_WINAPI(decltype(&IPortList::get_Count));
TREL_ASSERT_WINAPI(decltype(&IPortObject::ReadPortKey));
TREL_ASSERT_WINAPI(decltype(&IPortValue::GetValue));

// The Hod-Test header as the device stores it: packed, 17 bytes, the same on every target.
static_assert(sizeof(HodTestHeader) == 17, "HodTestHeader size");
static_assert(offsetof(HodTestHeader, testDate) == 0, "HodTestHeader::testDate");
static_assert(offsetof(HodTestHeader, hodTestNumber) == 8, "HodTestHeader::hodTestNumber");
static_assert(offsetof(HodTestHeader, headerWord) == 9, "HodTestHeader::headerWord");
static_assert(offsetof(HodTestHeader, memorySize) == 11, "HodTestHeader::memorySize");
static_assert(offsetof(HodTestHeader, headerFlag) == 13, "HodTestHeader::headerFlag");

// SetupAPI records: their cbSize is what SetupAPI checks, and it differs between the targets
// (byte packing on i686, 8-byte packing on x86-64).
static_assert(sizeof(SP_DEVINFO_DATA) == ForTarget(28, 32), "SP_DEVINFO_DATA size");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == ForTarget(28, 32), "SP_DEVICE_INTERFACE_DATA size");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == ForTarget(5, 8), "SP_DEVICE_INTERFACE_DETAIL_DATA_A size");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "DevicePath offset");

// The line settings handed to the system and to the USB converter library's Win32-style calls.
static_assert(sizeof(DCB) == 28, "DCB size");
static_assert(offsetof(DCB, wReserved) == 12, "DCB bit fields in one DWORD");
static_assert(offsetof(DCB, XonLim) == 14 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, XonChar) == 21,
              "DCB fields after the bit fields");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS size");
