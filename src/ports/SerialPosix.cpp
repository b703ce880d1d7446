// The native back-end: termios serial devices (ptys in tests). Port names keep their Windows form
// where they have one: "\\.\ttyS0" opens /dev/ttyS0; a path opens as it is. There are no FTDI
// libraries here, so converters are never found.
#include "ports/SerialApi.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct PosixPort
{
    int fd = -1;
    DCB dcb = {};
    COMMTIMEOUTS timeouts = {};
};

DWORD WinErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT: case ENXIO: case ENODEV: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EBUSY: case EWOULDBLOCK: return ERROR_ACCESS_DENIED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_GEN_FAILURE;
    }
}

BOOL FailErrno()
{
    SetLastError(WinErrorFromErrno(errno));
    return FALSE;
}

BOOL Fail(DWORD err)
{
    SetLastError(err);
    return FALSE;
}

struct BaudEntry
{
    DWORD baud;
    speed_t speed;
};
const BaudEntry kBauds[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},
                            {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
                            {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
                            {460800, B460800}, {921600, B921600}};

bool SpeedFromBaud(DWORD baud, speed_t& speed)
{
    for (const BaudEntry& e : kBauds)
        if (e.baud == baud) {
            speed = e.speed;
            return true;
        }
    return false;
}

DWORD BaudFromSpeed(speed_t speed)
{
    for (const BaudEntry& e : kBauds)
        if (e.speed == speed)
            return e.baud;
    return 0;
}

std::string DevicePath(const std::string& name)
{
    std::string rest = name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    if (rest.find('/') == std::string::npos)
        return "/dev/" + rest;
    return rest;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline; -1 waits without end.
int MsLeft(bool unlimited, Clock::time_point deadline)
{
    if (unlimited)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class CPosixSerialApi : public CSerialApi
{
public:
    HANDLE CreateFileA(LPCSTR name, DWORD, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) override
    {
        if (name == nullptr || *name == '\0')
            return Fail(ERROR_INVALID_NAME), INVALID_HANDLE_VALUE;
        int fd = ::open(DevicePath(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return FailErrno(), INVALID_HANDLE_VALUE;
        // Share mode 0 is an exclusive open, also against other handles of this process.
        if (shareMode == 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
        }
        termios t;
        if (::tcgetattr(fd, &t) != 0) {
            int err = errno;
            ::close(fd);
            errno = err;
            return FailErrno(), INVALID_HANDLE_VALUE;
        }
        auto port = std::make_unique<PosixPort>();
        port->fd = fd;
        port->dcb.DCBlength = sizeof(DCB);
        port->dcb.fBinary = 1;
        port->dcb.fDtrControl = DTR_CONTROL_ENABLE;
        port->dcb.fRtsControl = RTS_CONTROL_ENABLE;
        port->dcb.XonChar = 0x11;
        port->dcb.XoffChar = 0x13;
        HANDLE h = port.get();
        m_ports.insert(port.release());
        return h;
    }

    BOOL CloseHandle(HANDLE h) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        ::close(port->fd);
        m_ports.erase(port);
        delete port;
        return TRUE;
    }

    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        *got = 0;
        const COMMTIMEOUTS& to = port->timeouts;
        const bool unlimited = to.ReadTotalTimeoutConstant == 0 && to.ReadTotalTimeoutMultiplier == 0 &&
                               to.ReadIntervalTimeout != 0xFFFFFFFFu;
        const bool immediate = to.ReadIntervalTimeout == 0xFFFFFFFFu && to.ReadTotalTimeoutConstant == 0 &&
                               to.ReadTotalTimeoutMultiplier == 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(to.ReadTotalTimeoutConstant) +
                                                                 static_cast<long long>(to.ReadTotalTimeoutMultiplier) * count);
        unsigned char* out = static_cast<unsigned char*>(buffer);
        while (*got < count) {
            pollfd p = {port->fd, POLLIN, 0};
            int n = ::poll(&p, 1, immediate ? 0 : MsLeft(unlimited, deadline));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FailErrno();
            if (n == 0)
                break;  // timed out: success with what arrived
            ssize_t r = ::read(port->fd, out + *got, count - *got);
            if (r < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (r < 0 && errno == EIO)
                break;  // the far end of a pty is gone: nothing more comes
            if (r < 0)
                return FailErrno();
            if (r == 0)
                break;
            *got += static_cast<DWORD>(r);
        }
        return TRUE;
    }

    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        *written = 0;
        const COMMTIMEOUTS& to = port->timeouts;
        const bool unlimited = to.WriteTotalTimeoutConstant == 0 && to.WriteTotalTimeoutMultiplier == 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(to.WriteTotalTimeoutConstant) +
                                                                 static_cast<long long>(to.WriteTotalTimeoutMultiplier) * count);
        const unsigned char* in = static_cast<const unsigned char*>(buffer);
        while (*written < count) {
            pollfd p = {port->fd, POLLOUT, 0};
            int n = ::poll(&p, 1, MsLeft(unlimited, deadline));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FailErrno();
            if (n == 0)
                return Fail(ERROR_TIMEOUT);
            ssize_t w = ::write(port->fd, in + *written, count - *written);
            if (w < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (w < 0)
                return FailErrno();
            *written += static_cast<DWORD>(w);
        }
        return TRUE;
    }

    BOOL GetCommState(HANDLE h, LPDCB dcb) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        termios t;
        if (::tcgetattr(port->fd, &t) != 0)
            return FailErrno();
        *dcb = port->dcb;
        dcb->DCBlength = sizeof(DCB);
        dcb->BaudRate = BaudFromSpeed(cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
        case CS5: dcb->ByteSize = 5; break;
        case CS6: dcb->ByteSize = 6; break;
        case CS7: dcb->ByteSize = 7; break;
        default: dcb->ByteSize = 8; break;
        }
        // A pty drops the parity-enable bit but keeps the mark/space bits.
        if (t.c_cflag & CMSPAR)
            dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        else if (t.c_cflag & PARENB)
            dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
        else
            dcb->Parity = NOPARITY;
        dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
        return TRUE;
    }

    BOOL SetCommState(HANDLE h, LPDCB dcb) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        speed_t speed;
        if (!SpeedFromBaud(dcb->BaudRate, speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
            dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS)
            return Fail(ERROR_INVALID_PARAMETER);
        termios t;
        if (::tcgetattr(port->fd, &t) != 0)
            return FailErrno();
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= sizes[dcb->ByteSize - 5];
        switch (dcb->Parity) {
        case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: t.c_cflag |= PARENB; break;
        case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
        }
        if (dcb->StopBits != ONESTOPBIT)
            t.c_cflag |= CSTOPB;
        if (dcb->fOutxCtsFlow)
            t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF);
        if (dcb->fOutX)
            t.c_iflag |= IXON;
        if (dcb->fInX)
            t.c_iflag |= IXOFF;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        if (::tcsetattr(port->fd, TCSANOW, &t) != 0)
            return FailErrno();
        port->dcb = *dcb;
        return TRUE;
    }

    BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        *timeouts = port->timeouts;
        return TRUE;
    }

    BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        port->timeouts = *timeouts;
        return TRUE;
    }

    BOOL PurgeComm(HANDLE h, DWORD flags) override
    {
        PosixPort* port = Find(h);
        if (port == nullptr)
            return FALSE;
        const bool rx = flags & (PURGE_RXCLEAR | PURGE_RXABORT);
        const bool tx = flags & (PURGE_TXCLEAR | PURGE_TXABORT);
        if ((rx || tx) && ::tcflush(port->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0)
            return FailErrno();
        return TRUE;
    }

private:
    PosixPort* Find(HANDLE h)
    {
        auto it = m_ports.find(static_cast<PosixPort*>(h));
        if (it == m_ports.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return *it;
    }

    std::set<PosixPort*> m_ports;
};

// Neither converters nor their libraries exist natively.
class CNoUsbSerialApi : public CSerialApi
{
public:
    HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) override
    {
        return Fail(ERROR_NOT_SUPPORTED), INVALID_HANDLE_VALUE;
    }
    BOOL CloseHandle(HANDLE) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL GetCommState(HANDLE, LPDCB) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL SetCommState(HANDLE, LPDCB) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) override { return Fail(ERROR_INVALID_HANDLE); }
    BOOL PurgeComm(HANDLE, DWORD) override { return Fail(ERROR_INVALID_HANDLE); }
};

class CNoChipIdLibrary : public CChipIdApi
{
public:
    static constexpr FTID_STATUS kUnavailable = 0xFFFFFFFFu;
    bool IsPresent() const override { return false; }
    FTID_STATUS GetDllVersion(char*, DWORD) override { return kUnavailable; }
    FTID_STATUS GetNumDevices(DWORD* count) override { *count = 0; return kUnavailable; }
    FTID_STATUS GetDeviceChipID(DWORD, DWORD*) override { return kUnavailable; }
    FTID_STATUS GetDeviceLocationID(DWORD, DWORD*) override { return kUnavailable; }
    FTID_STATUS GetErrorCodeString(const char*, FTID_STATUS, char* buffer, DWORD size) override
    {
        const char text[] = "no chip-ID library on this system";
        if (buffer != nullptr && size > 0) {
            size_t n = sizeof(text) - 1 < size - 1 ? sizeof(text) - 1 : size - 1;
            for (size_t i = 0; i < n; ++i)
                buffer[i] = text[i];
            buffer[n] = '\0';
        }
        return 0;
    }
};

} // namespace

SerialBackends PlatformSerialBackends()
{
    static CPosixSerialApi com;
    static CNoUsbSerialApi usb;
    static CNoChipIdLibrary chipId;
    return SerialBackends{&com, &usb, &chipId};
}
