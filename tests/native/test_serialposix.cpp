// The transport over the native termios back-end, with a pty as the line and a device model
// serving its far end from a thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "ports/COMFile.h"
#include "ports/ExchangeLog.h"
#include "framework/ErrorReport.h"
#include "support/DeviceModel.h"

namespace {

class PtyLine
{
public:
    explicit PtyLine(std::unique_ptr<CDeviceModel> model) : m_model(std::move(model))
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        m_slave = ptsname(m_master);
        m_thread = std::thread([this] { Serve(); });
    }
    ~PtyLine()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_master >= 0)
            close(m_master);
    }
    const std::string& SlavePath() const { return m_slave; }
    LineSettings LastSettings() const { return m_last; }

private:
    void Serve()
    {
        unsigned char buf[256];
        while (!m_stop) {
            pollfd p = {m_master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            ssize_t got = read(m_master, buf, sizeof(buf));
            if (got <= 0) {
                usleep(10000);
                continue;
            }
            m_last = LineSettingsOfTty(m_slave.c_str());
            std::vector<uint8_t> answer;
            for (ssize_t i = 0; i < got; ++i)
                m_model->OnByte(buf[i], m_last, answer);
            if (!answer.empty() && write(m_master, answer.data(), answer.size()) < 0)
                break;
        }
    }

    std::unique_ptr<CDeviceModel> m_model;
    int m_master = -1;
    std::string m_slave;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    LineSettings m_last;
};

std::unique_ptr<CDeviceModel> Model(std::vector<std::string> words)
{
    std::string error;
    return MakeDeviceModel(words, error);
}

class PosixLineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trel-pty-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_logBase = pattern;
        SetExchangeLogBaseDir(m_logBase);
    }
    void TearDown() override
    {
        SetExchangeLogBaseDir("");
        std::error_code ec;
        std::filesystem::remove_all(m_logBase, ec);
    }
    std::string m_logBase;
};

} // namespace

TEST_F(PosixLineTest, SettingsReachTheLine)
{
    PtyLine line(Model({"echo", "report"}));
    ASSERT_FALSE(line.SlavePath().empty());
    CCOMFile port(line.SlavePath());
    port.Open();
    EXPECT_TRUE(port.m_echo);

    port.m_dcb.BaudRate = 19200;
    port.m_dcb.Parity = MARKPARITY;
    port.ApplyState();
    const unsigned char query = '?';
    port.Write(&query, 1);
    unsigned char report[7] = {};
    port.Read(report, sizeof(report));
    EXPECT_EQ(report[0] | report[1] << 8 | report[2] << 16 | report[3] << 24, 19200);
    EXPECT_EQ(report[4], MARKPARITY);
    EXPECT_EQ(report[5], 8);

    // The driver gives back what it holds.
    DCB dcb = {};
    ASSERT_TRUE(CurrentSerialBackends().com->GetCommState(port.m_handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE));

    // An exclusive open: a second handle on the same device is refused.
    HANDLE again = CurrentSerialBackends().com->CreateFileA(line.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                                                            0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(PosixLineTest, SilentLineTimesOut)
{
    PtyLine line(Model({"silent"}));
    CCOMFile port(line.SlavePath());
    auto start = std::chrono::steady_clock::now();
    try {
        port.Open();
        ADD_FAILURE() << "a silent line passed the echo test";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
        EXPECT_EQ(ComErrorText(e), "CCOMFile::Read() failed");
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("[timing] Open on a silent pty: %lld ms\n", static_cast<long long>(ms));
    EXPECT_GE(ms, 390);
    EXPECT_LT(ms, 1500);
}

TEST_F(PosixLineTest, MissingDevice)
{
    CCOMFile port("/dev/trel-no-such-line");
    try {
        port.Open();
        ADD_FAILURE() << "opened a missing device";
    } catch (const _com_error& e) {
        EXPECT_EQ(static_cast<ULONG>(e.Error()), 0x80070002u);
    }
}
