#include "devices/HodTest.h"

#include <cstring>

#include "devices/DeviceWaits.h"
#include "ports/COMFile.h"
#include "framework/ErrorReport.h"

namespace {

constexpr DWORD kPrepareBaudRate = 9600;
constexpr DWORD kSettleMs = 150;

#ifndef _WIN32
// Days from 1970-01-01 to the given proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}
#endif

} // namespace

BOOL OleDateFromSystemTime(const SYSTEMTIME& time, DATE* date)
{
    if (date == nullptr)
        return FALSE;
#ifdef _WIN32
    SYSTEMTIME copy = time;
    double value = 0.0;
    if (!SystemTimeToVariantTime(&copy, &value))
        return FALSE;
    *date = value;
    return TRUE;
#else
    if (time.wMonth < 1 || time.wMonth > 12 || time.wDay > 31 || time.wHour > 23 || time.wMinute > 59 ||
        time.wSecond > 59)
        return FALSE;
    long long year = time.wYear;
    if (year < 30)
        year += 2000;
    else if (year < 100)
        year += 1900;
    if (year > 9999)
        return FALSE;
    // Day 0 is the last day of the month before; days past the month's end run into the next.
    const long long days = DaysFromCivil(year, time.wMonth, 1) + time.wDay - 1 - DaysFromCivil(1899, 12, 30);
    const double fraction = (time.wHour * 3600 + time.wMinute * 60 + time.wSecond) / 86400.0;
    // Before the epoch the whole part counts back while the fraction still counts forward.
    *date = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    return TRUE;
#endif
}

CTrelHodTest::CTrelHodTest(CCOMFile* port)
{
    m_port = port;
}

CTrelHodTest::~CTrelHodTest()
{
    if (m_ownsPort)
        delete m_port;
}

void CTrelHodTest::PrepareLine(BOOL rtsOff)
{
    CheckOrThrow(m_port != nullptr, "No port is open for the device");
    m_port->Flush();
    m_port->m_dcb.BaudRate = kPrepareBaudRate;
    m_port->m_dcb.fRtsControl = rtsOff ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
    m_port->ApplyState();
    CurrentDeviceWaits().SleepMilliseconds(kSettleMs);
}

BOOL CTrelHodTest::CheckPresent()
{
    try {
        CheckOrThrow(m_port != nullptr, "No port is open for the device");
        m_port->Flush();
        PrepareLine(TRUE);
        SendAddress(kHodTestAddress);
        BYTE request[2] = {kCmdPresence, 0};
        request[1] = XorCheck(request, 1, kHodTestAddress);
        m_port->Write(request, sizeof(request));
        BYTE answer = 0;
        m_port->Read(&answer, 1);
        return answer == kHodTestPresent;
    } catch (...) {
        DiscardCaughtFailure();
        return FALSE;
    }
}

BOOL CTrelHodTest::ReadHeader(HodTestHeader* header)
{
    try {
        CheckOrThrow(header != nullptr, "INVALIDARG");
        std::memset(header, 0, sizeof(*header));
        CheckOrThrow(m_port != nullptr, "No port is open for the device");
        m_port->Flush();
        PrepareLine(TRUE);
        SendAddress(kHodTestAddress);
        BYTE request[4] = {kCmdReadHeader, 0, kHodTestHeaderBytes, 0};
        request[3] = XorCheck(request, 3, kHodTestAddress);
        m_port->Write(request, sizeof(request));
        BYTE reply[kHodTestHeaderBytes + 1] = {};
        m_port->Read(reply, sizeof(reply));
        CheckOrThrow(XorCheck(reply, kHodTestHeaderBytes) == reply[kHodTestHeaderBytes], "Invalid CRC");

        // The year byte goes in as it stands; the conversion gives it its century.
        SYSTEMTIME stored = {};
        stored.wYear = reply[0];
        stored.wMonth = reply[1];
        stored.wDay = reply[2];
        stored.wHour = reply[3];
        stored.wMinute = reply[4];
        DATE testDate = 0.0;
        if (OleDateFromSystemTime(stored, &testDate))
            header->testDate = testDate;
        header->hodTestNumber = reply[5];
        header->headerWord = static_cast<WORD>((reply[7] & 0x7F) << 8 | reply[6]);
        switch (reply[8]) {
        case 0x20: header->memorySize = 1024; break;
        case 0x80: header->memorySize = 4096; break;
        default: ThrowComError(E_FAIL, "Invalid 24LCxx chip size!");
        }
        header->headerFlag = reply[7] >> 7;
        return TRUE;
    } catch (...) {
        DiscardCaughtFailure();
        return FALSE;
    }
}
