// Shared set-up of the serial tests: a scripted COM line, a scripted converter line with its
// chip-ID library, and exchange logs in a scratch folder.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "ports/ExchangeLog.h"
#include "support/ScriptedLine.h"

class SerialTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trel-serial-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_logBase = pattern;
        SetExchangeLogBaseDir(m_logBase);
        m_scope = std::make_unique<CScopedSerialBackends>(&m_com, &m_usb, &m_chipId);
    }

    void TearDown() override
    {
        m_scope.reset();
        SetExchangeLogBaseDir("");
        std::error_code ec;
        std::filesystem::remove_all(m_logBase, ec);
    }

    std::string LogFolder() const { return m_logBase + "/device_server_files/"; }

    std::string ReadLog(const std::string& fileName) const
    {
        std::ifstream in(LogFolder() + fileName, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    static std::unique_ptr<CDeviceModel> Model(std::vector<std::string> words)
    {
        std::string error;
        auto model = MakeDeviceModel(words, error);
        EXPECT_TRUE(model) << error;
        return model;
    }

    CScriptedLine m_com;
    CScriptedLine m_usb;
    CScriptedChipId m_chipId;
    std::string m_logBase;
    std::unique_ptr<CScopedSerialBackends> m_scope;
};

inline bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
