// Key reading through the system's comm API under Wine, against key reader models on ptys, and
// the card-reader route with the card-reader stand-in. Run by CTest under scripts/pty-com.sh with:
//   COM31 asciikey number=1A2B3C4D        COM32 onewire key=89ABCDEF
//   COM33 packetkey number=DEADBEEF       COM34 echo (an adapter with nothing behind it)
// and TREL_ZREADER_DIR naming the folder of the stand-in, which presents (TREL_ZREADER_CARDS)
// the card 00 01 00 00 on COM31 and a reader without a card on COM32.
// The run without the stand-in takes only the CardReaderAbsent tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "ports/COMFile.h"
#include "reading/CardReader.h"
#include "reading/KeyReader.h"
#include "framework/ErrorReport.h"

namespace {

std::string ErrorOf(const std::function<void()>& body)
{
    try {
        body();
    } catch (const _com_error& e) {
        return ComErrorText(e);
    }
    return "(no error)";
}

struct TimedResult
{
    uint32_t number;
    DWORD ms;
};

TimedResult TimedPoll(CCOMFile& port)
{
    const DWORD start = GetTickCount();
    uint32_t number = 0;
    {
        CTrelKeyReader reader(&port);
        number = reader.ReadKeyNumber();
    }
    return TimedResult{number, GetTickCount() - start};
}

class SerialKeyReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_noProbePorts.clear();
        g_lastProbeTime = 0.0;
        g_packetSequence = 1;
    }
};

} // namespace

TEST_F(SerialKeyReader, AsciiLineReader)
{
    CCOMFile port("\\\\.\\COM31");
    port.Open();
    const TimedResult r = TimedPoll(port);
    EXPECT_EQ(r.number, 0x1A2B3C4Du);
    EXPECT_EQ(g_noProbePorts.count("\\\\.\\COM31"), 1u);
    EXPECT_EQ(port.m_dcb.BaudRate, 9600u);
    std::printf("[timing] ASCII-line reader, one poll: %lu ms\n", static_cast<unsigned long>(r.ms));
}

TEST_F(SerialKeyReader, OneWireKeyAt9600And115200)
{
    CCOMFile port("\\\\.\\COM32");
    port.Open();
    const DCB before = port.m_dcb;
    const TimedResult r = TimedPoll(port);
    EXPECT_EQ(r.number, 0x89ABCDEFu);
    std::printf("[timing] 1-Wire key, one poll: %lu ms\n", static_cast<unsigned long>(r.ms));
    // The driver's settings are back as they were before the poll.
    DCB now = {};
    now.DCBlength = sizeof(now);
    ASSERT_TRUE(GetCommState(port.m_handle, &now));
    EXPECT_EQ(now.BaudRate, before.BaudRate);
    EXPECT_EQ(now.fDtrControl, before.fDtrControl);
    EXPECT_EQ(port.m_dcb.BaudRate, 9600u);
    // Polls in a row read the same key.
    EXPECT_EQ(TimedPoll(port).number, 0x89ABCDEFu);
}

TEST_F(SerialKeyReader, PacketReader)
{
    CCOMFile port("\\\\.\\COM33");
    port.Open();
    const TimedResult r = TimedPoll(port);
    EXPECT_EQ(r.number, 0xDEADBEEFu);
    EXPECT_EQ(g_packetSequence, 3);  // the read and its acknowledge
    EXPECT_EQ(g_noProbePorts.count("\\\\.\\COM33"), 0u);
    std::printf("[timing] packet reader, one poll: %lu ms\n", static_cast<unsigned long>(r.ms));
    EXPECT_EQ(TimedPoll(port).number, 0xDEADBEEFu);
}

TEST_F(SerialKeyReader, EmptyLine)
{
    CCOMFile port("\\\\.\\COM34");
    port.Open();
    const DWORD start = GetTickCount();
    EXPECT_EQ(ErrorOf([&] { TimedPoll(port); }), "Key Not Found");
    std::printf("[timing] empty adapter, one poll: %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
}

TEST(CardReaderStandin, CardOnTheChosenComName)
{
    ASSERT_NE(CurrentCardReader(), nullptr) << "the card-reader stand-in was not found";
    EXPECT_TRUE(CardReaderInitialize());
    uint32_t number = 99;
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM31|Card reader (COM31)", number), 1);
    EXPECT_EQ(number, 0x800000u);
    // A reader without a card answers 0; no reader, or no bracketed name, sends the poll on.
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM32|Another reader (COM32)", number), 1);
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM33|Packet reader (COM33)", number), -1);
    EXPECT_EQ(ReadCardNumber("COM31", number), -1);
    // Handles are closed each time: many reads in a row keep working.
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(ReadCardNumber("PORT:\\\\.\\COM31|Card reader (COM31)", number), 1);
    CardReaderFinalize();
}

TEST(CardReaderAbsent, EveryPortGoesToTheSerialRoute)
{
    EXPECT_EQ(CurrentCardReader(), nullptr);
    EXPECT_FALSE(CardReaderInitialize());
    uint32_t number = 5;
    EXPECT_EQ(ReadCardNumber("PORT:\\\\.\\COM31|Card reader (COM31)", number), -1);
    EXPECT_EQ(number, 0u);
    CardReaderFinalize();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // The stand-in lives in a folder of its own, so that only this test finds it.
    if (const char* dir = std::getenv("TREL_ZREADER_DIR"))
        SetDllDirectoryA(dir);
    return RUN_ALL_TESTS();
}
