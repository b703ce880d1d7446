// ReadHodTest's and ReadKey's loops on a given port, over a scripted line in place of the comm API
// (no ptys): what the caller's progress object is told, what ends a loop, how busy ports are
// retried, and the key read through the port host (the stand-in, beside this program) when the
// port is held by another process.
#include <gtest/gtest.h>
#include <windows.h>
#include <comdef.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devices/DeviceWaits.h"
#include "framework/Module.h"
#include "ports/ExchangeLog.h"
#include "reading/CardReader.h"
#include "reading/ReadHodTestDlg.h"
#include "reading/ReadKeyDlg.h"
#include "progress_recorder.h"
#include "reading/ReaderProgress.h"
#include "support/HodTestModel.h"
#include "support/ScriptedLine.h"

#include "porthost_client.h"

namespace {

using porthost_client::StandIn;
using Lines = std::vector<std::wstring>;

const char kPort[] = "\\\\.\\COM5";

// The expected calls: the start text, n continues, the end text.
Lines Expected(const std::wstring& start, int continues, const std::wstring& end)
{
    Lines lines{L"start " + start + L" 100"};
    for (int i = 0; i < continues; ++i)
        lines.push_back(L"continue [] 0");
    lines.push_back(L"end " + end);
    return lines;
}

const std::wstring kConnectHodTest = L"Подсоедините ход-тест";
const std::wstring kHodTestRead = L"Ход-Тест успешно прочитан";
const std::wstring kHodTestError = L"Ошибка при считывании Ход-Теста";
const std::wstring kPresentKey = L"Приложите ключ к считывателю";
const std::wstring kKeyRead = L"Ключ успешно прочитан";

// The device protocols' pauses cost nothing on a scripted line.
class CNoWaits : public CDeviceWaits
{
public:
    void WaitMicroseconds(DWORD) override {}
    void SleepMilliseconds(DWORD) override {}
};

class ReadLoop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_logBase = ToAnsi(temp) + "trel-readloops-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(m_logBase.c_str(), nullptr);
        SetExchangeLogBaseDir(m_logBase);
        m_previousWaits = UseDeviceWaits(&m_waits);
        m_previousCardReader = UseCardReader(nullptr);  // keys come through the serial route only
        FreshLine();
    }

    void TearDown() override
    {
        m_scope.reset();
        UseCardReader(m_previousCardReader);
        UseDeviceWaits(m_previousWaits);
        SetExchangeLogBaseDir("");
    }

    // A new COM line with no ports, in place of the one before.
    void FreshLine()
    {
        m_scope.reset();
        m_line = std::make_unique<CScriptedLine>();
        m_scope = std::make_unique<CScopedSerialBackends>(m_line.get(), &m_usb, &m_chipId);
    }

    CScriptedLine& Com() { return *m_line; }

    // A Hod-Test with the given number on COM5.
    CHodTestModel& AttachHodTest(int number)
    {
        auto model = std::make_unique<CHodTestModel>();
        model->m_memory[5] = static_cast<uint8_t>(number);
        CHodTestModel& ref = *model;
        Com().AddPort(kPort, std::move(model));
        return ref;
    }

    // Runs a body that may raise a COM error; the error's HRESULT, S_OK when nothing was raised.
    static HRESULT Raised(const std::function<void()>& body)
    {
        try {
            body();
        } catch (const _com_error& e) {
            return e.Error();
        }
        return S_OK;
    }

    std::unique_ptr<CScriptedLine> m_line;
    CScriptedLine m_usb;
    CScriptedChipId m_chipId;
    CNoWaits m_waits;
    CDeviceWaits* m_previousWaits = nullptr;
    CCardReaderApi* m_previousCardReader = nullptr;
    std::unique_ptr<CScopedSerialBackends> m_scope;
    std::string m_logBase;
};

TEST_F(ReadLoop, HodTestThatAnswersGivesItsNumber)
{
    AttachHodTest(173);
    CProgress progress;
    LONG result = 0;
    EXPECT_EQ(Raised([&] { ReadHodTestBody("COM5", &progress, nullptr, &result); }), S_OK);
    EXPECT_EQ(result, 173);
    EXPECT_EQ(progress.calls, Expected(kConnectHodTest, 1, kHodTestRead))
        << "QueryContinue follows also the attempt that read the device";
    EXPECT_EQ(progress.refs, 1u) << "the progress object is released";
    EXPECT_FALSE(Com().IsOpen(kPort)) << "the port is closed when the loop ends";
}

TEST_F(ReadLoop, HodTestNumberZeroReadsAsNothingAndPollingGoesOn)
{
    CHodTestModel& device = AttachHodTest(0);
    CProgress progress;
    progress.stopAt = 3;
    LONG result = 0;
    EXPECT_EQ(Raised([&] { ReadHodTestBody("COM5", &progress, nullptr, &result); }), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(progress.calls, Expected(kConnectHodTest, 3, L""));
    // Every attempt found the device and read its header: three presence checks at least.
    EXPECT_GE(device.m_requests.size(), 6u);
}

// A port held by another process is retried on every pass without a message; once it is free,
// the next attempt opens it and reads the device.
TEST_F(ReadLoop, BusyPortIsRetriedSilentlyUntilItIsFree)
{
    AttachHodTest(42);
    Com().HoldElsewhere(kPort, true);
    CProgress progress;
    progress.beforeAnswer = [&](int asked) {
        if (asked == 3)
            Com().HoldElsewhere(kPort, false);
    };
    LONG result = 0;
    EXPECT_EQ(Raised([&] { ReadHodTestBody("COM5", &progress, nullptr, &result); }), S_OK);
    EXPECT_EQ(result, 42);
    EXPECT_EQ(progress.calls, Expected(kConnectHodTest, 4, kHodTestRead));
    EXPECT_EQ(Com().Calls(CScriptedLine::kCreate), 4u) << "one open per attempt";
}

TEST_F(ReadLoop, BusyPortEndsQuietlyWhenTheProgressObjectStops)
{
    AttachHodTest(42);
    Com().HoldElsewhere(kPort, true);
    CProgress progress;
    progress.stopAt = 5;
    LONG result = 0;
    EXPECT_EQ(Raised([&] { ReadHodTestBody("COM5", &progress, nullptr, &result); }), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(progress.calls, Expected(kConnectHodTest, 5, L""));
}

// Only a busy port is retried: the other codes that send a key read to the port host end a
// Hod-Test read, as does a port that does not exist.
TEST_F(ReadLoop, HodTestPortFailuresOtherThanBusyEndTheLoop)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        HRESULT hr;
    } cases[] = {
        {"missing port", [] {}, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {"already exists",
         [&] {
             AttachHodTest(42);
             Com().FailCall(CScriptedLine::kCreate, ERROR_ALREADY_EXISTS);
         },
         HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshLine();
        c.arrange();
        CProgress progress;
        LONG result = 0;
        EXPECT_EQ(Raised([&] { ReadHodTestBody("COM5", &progress, nullptr, &result); }), c.hr);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(progress.calls, (Lines{L"start " + kConnectHodTest + L" 100", L"end " + kHodTestError}));
        EXPECT_EQ(progress.refs, 1u);
    }
}

// The three ways a port can be unusable here (held by another process, already in use, no echo
// from the line) send the key read to the port host, which reads the key on it.
TEST_F(ReadLoop, KeyOnAPortHeldElsewhereIsReadThroughTheHost)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
    } cases[] = {
        {"held elsewhere", [&] {
             Com().AddPort(kPort, std::make_unique<CSilentModel>());
             Com().HoldElsewhere(kPort, true);
         }},
        {"already exists", [&] {
             Com().AddPort(kPort, std::make_unique<CSilentModel>());
             Com().FailCall(CScriptedLine::kCreate, ERROR_ALREADY_EXISTS);
         }},
        {"no echo", [&] { Com().AddPort(kPort, std::make_unique<CSilentModel>()); }},
    };
    StandIn host({L"--port", L"COM5", L"--value", L"7340033"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshLine();
        c.arrange();
        CProgress progress;
        LONG result = 0;
        EXPECT_EQ(Raised([&] { ReadKeyBody("COM5", &progress, nullptr, &result); }), S_OK);
        EXPECT_EQ(result, 7340033);
        EXPECT_EQ(progress.calls, Expected(kPresentKey, 1, kKeyRead));
    }
    Lines once = {L"OpenPort mode=1 port=COM5 value=-1", L"ReadPortKey port=COM5", L"GetValue", L"end PortValue",
                  L"end PortObject"};
    Lines all;
    for (int i = 0; i < 3; ++i)
        all.insert(all.end(), once.begin(), once.end());
    EXPECT_EQ(host.Calls(), all);
    EXPECT_EQ(host.Stop(), 0u);
}

TEST_F(ReadLoop, KeyOnAPortHeldElsewhereWithoutAHostReadsNothing)
{
    Com().AddPort(kPort, std::make_unique<CSilentModel>());
    Com().HoldElsewhere(kPort, true);
    CProgress progress;
    progress.stopAt = 3;
    LONG result = 0;
    EXPECT_EQ(Raised([&] { ReadKeyBody("COM5", &progress, nullptr, &result); }), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(progress.calls, Expected(kPresentKey, 3, L""));
}

} // namespace
