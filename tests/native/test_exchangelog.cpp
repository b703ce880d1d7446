#include "serial_fixture.h"

#include "framework/AfxException.h"

class ExchangeLogTest : public SerialTest
{
protected:
    void WriteFileOfSize(const std::string& name, size_t size, char fill)
    {
        std::filesystem::create_directories(LogFolder());
        std::ofstream(LogFolder() + name, std::ios::binary) << std::string(size, fill);
    }
};

TEST_F(ExchangeLogTest, FileNamesAndLines)
{
    EXPECT_EQ(ExchangeLogFileName("\\\\.\\COM3", -1, FALSE), "_pCOM3d-1_read_err.log");
    EXPECT_EQ(ExchangeLogFileName("\\\\.\\COM3", -77, FALSE), "_pCOM3d-1_read_err.log");
    EXPECT_EQ(ExchangeLogFileName("USB1234", 128, TRUE), "_pUSB1234d128_write_err.log");
    EXPECT_EQ(SafePortFileName("\\\\?\\ftdibus#vid_0403+pid_6001#a1.b/2*?\"<>|#{86e0d1e0-8089-11d0}:x"),
              "ftdibus#vid_0403+pid_6001#a1b2#{86e0d1e0-8089-11d0}-x");
    EXPECT_EQ(ExchangeLogOldFileName("_pCOM3d-1_read_err.log"), "_pCOM3d-1_read_err_old.log");
    EXPECT_EQ(ExchangeLogFolder(), m_logBase + "\\device_server_files\\");

    LogExchangeError("USB1234", 128, TRUE, "CRC error!");
    LogExchangeError("\\\\.\\COM3", -1, FALSE, "CCOMFile::Read() failed");
    std::string device = ReadLog("_pUSB1234d128_write_err.log");
    std::string port = ReadLog("_pCOM3d-1_read_err.log");
    EXPECT_TRUE(EndsWith(device, "\tCRC error!\t\t\t\r\n")) << device;
    EXPECT_TRUE(EndsWith(port, "\tCCOMFile::Read() failed\r\n")) << port;
    // The time comes first: day.month.year hours:minutes:seconds.
    EXPECT_EQ(port.find('\t'), 19u);
    EXPECT_EQ(port[2], '.');
    EXPECT_EQ(ExchangeLogLine("T", 0, "x"), "T\tx\t\t\t");
    EXPECT_EQ(ExchangeLogLine("T", -1, "x"), "T\tx");
}

TEST_F(ExchangeLogTest, RotatesAboveTheLimitKeepingOneOlderGeneration)
{
    const std::string name = "_pCOM3d-1_read_err.log";
    const std::string old = "_pCOM3d-1_read_err_old.log";
    // Exactly at the limit: appended to.
    WriteFileOfSize(name, kExchangeLogMaxBytes, 'a');
    WriteFileOfSize(old, 10, 'o');
    LogExchangeError("\\\\.\\COM3", -1, FALSE, "first");
    std::string grown = ReadLog(name);
    EXPECT_GT(grown.size(), kExchangeLogMaxBytes);
    EXPECT_TRUE(EndsWith(grown, "\tfirst\r\n"));
    EXPECT_EQ(ReadLog(old), std::string(10, 'o'));

    // One byte over: the file becomes the older generation (replacing the one there) and the
    // line starts a fresh file.
    LogExchangeError("\\\\.\\COM3", -1, FALSE, "second");
    EXPECT_EQ(ReadLog(old), grown);
    std::string fresh = ReadLog(name);
    EXPECT_TRUE(EndsWith(fresh, "\tsecond\r\n"));
    EXPECT_EQ(fresh.find('\n'), fresh.size() - 1);
}

TEST_F(ExchangeLogTest, UnwritableFolderRaisesAFileException)
{
    SetExchangeLogBaseDir(m_logBase + "/missing/deeper");
    try {
        LogExchangeError("COM1", -1, FALSE, "x");
        ADD_FAILURE() << "no exception";
    } catch (CFileException* e) {
        char text[300] = {};
        EXPECT_TRUE(e->GetErrorMessage(text, sizeof(text)));
        EXPECT_NE(std::string(text).find("_pCOM1d-1_read_err.log"), std::string::npos) << text;
        e->Delete();
    }
}
