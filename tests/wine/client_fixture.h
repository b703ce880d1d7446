// The fixture of C++ client tests that call one ClientHelper object of the registered DLL.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

#include "TrelClientHelper_h.h"
#include "client_common.h"

class ClientHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                   m_helper.PutVoid()),
                  S_OK);
    }
    void TearDown() override
    {
        m_helper.Reset();
        CoUninitialize();
    }

    ComPtr<IClientHelper> m_helper;
};

// The description of the error information a failed call left on this thread.
inline std::wstring ThreadErrorText()
{
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || info.Get() == nullptr)
        return std::wstring();
    Bstr text;
    info->GetDescription(text.Put());
    return text.Text();
}
