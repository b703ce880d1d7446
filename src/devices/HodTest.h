// The Hod-Test: a device of the reader family at address 0x80 whose memory chip carries a header
// with the test date, the device's number, two status values and the chip's size code.
#pragma once
#include "devices/DeviceBase.h"

#ifdef _WIN32
#include <oleauto.h>  // DATE
#endif

constexpr BYTE kHodTestAddress = 0x80;
// The header read: memory address 0, nine bytes.
constexpr BYTE kHodTestHeaderBytes = 9;
// What a Hod-Test answers to the presence request.
constexpr BYTE kHodTestPresent = kCmdPresence ^ kHodTestAddress;

#pragma pack(push, 1)
struct HodTestHeader
{
    DATE testDate;       // OLE automation date; 0.0 when the stored date does not convert
    BYTE hodTestNumber;
    WORD headerWord;     // status bits as stored: byte 6 low, byte 7 without its top bit high
    WORD memorySize;     // bytes of the 24LCxx chip: 1024 or 4096
    DWORD headerFlag;    // top bit of byte 7
};
#pragma pack(pop)
static_assert(sizeof(HodTestHeader) == 17, "the header record is 17 packed bytes");

class CTrelHodTest : public CTrel510Base
{
public:
    explicit CTrelHodTest(CCOMFile* port);
    ~CTrelHodTest() override;

    // Empties the input, puts the line at 9600 baud with RTS as asked (rtsOff: disabled) and lets
    // the adapter settle for 150 ms. m_baudRate is left as it is.
    void PrepareLine(BOOL rtsOff);
    // TRUE when a Hod-Test answers the presence request. Never raises.
    BOOL CheckPresent();
    // TRUE when a complete header with a valid check byte and chip size was read into header.
    // Never raises; after FALSE the record may hold part of a header and must not be used.
    BOOL ReadHeader(HodTestHeader* header);

    BOOL m_ownsPort = FALSE;  // TRUE: the destructor deletes m_port
};

// The OLE automation date of a broken-down time, seconds included, milliseconds ignored; FALSE
// when the time does not convert. On Windows this is SystemTimeToVariantTime; elsewhere a month
// outside 1-12, a day above 31 or a time of day out of range fail, day 0 and days past the
// month's end roll into the neighbouring month, and a year below 100 is 2000-2029 for 0-29 and
// 1930-1999 for 30-99.
BOOL OleDateFromSystemTime(const SYSTEMTIME& time, DATE* date);
