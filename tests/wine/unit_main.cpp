#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include "framework/Module.h"

int main(int argc, char** argv)
{
    // The test program carries the component's resources itself.
    AfxSetResourceHandle(GetModuleHandleW(nullptr));
    CoInitialize(nullptr);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
