// The serial-line harness itself: a COM port of the test prefix backed by a pty with an echoing
// device model. Run as: serial_echo.exe COMn
#include <windows.h>
#include <cstdio>
#include <cstring>
#include <string>

static int Fail(const char* what)
{
    std::printf("FAIL %s (error %lu)\n", what, GetLastError());
    return 1;
}

int main(int argc, char** argv)
{
    std::string name = std::string("\\\\.\\") + (argc > 1 ? argv[1] : "COM7");
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Fail("CreateFile");
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(h, &dcb))
        return Fail("GetCommState");
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    if (!SetCommState(h, &dcb))
        return Fail("SetCommState");
    COMMTIMEOUTS to = {};
    to.ReadTotalTimeoutConstant = 400;
    if (!SetCommTimeouts(h, &to))
        return Fail("SetCommTimeouts");
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    const unsigned char out[] = {0x00, 0xAB, 0x10, 0x55, 0xFF, 0x0D, 0x0A};
    DWORD n = 0;
    if (!WriteFile(h, out, sizeof(out), &n, nullptr) || n != sizeof(out))
        return Fail("WriteFile");
    unsigned char in[sizeof(out)] = {};
    for (size_t i = 0; i < sizeof(out); ++i) {
        DWORD got = 0;
        if (!ReadFile(h, in + i, 1, &got, nullptr) || got != 1)
            return Fail("ReadFile");
    }
    if (std::memcmp(in, out, sizeof(out)) != 0)
        return Fail("echo differs");
    // Nothing more comes: a read ends after its total timeout with no byte.
    DWORD t0 = GetTickCount(), got = 0;
    unsigned char extra;
    if (!ReadFile(h, &extra, 1, &got, nullptr) || got != 0)
        return Fail("unexpected byte");
    DWORD waited = GetTickCount() - t0;
    if (waited < 300 || waited > 2000)
        return Fail("read timeout out of range");
    CloseHandle(h);
    std::printf("ok   %s echoed %u bytes, empty read after %lu ms\n", name.c_str(), unsigned(sizeof(out)), waited);
    return 0;
}
