#include "acquire/CameraSdk.h"

namespace {

HMODULE g_hSdk = nullptr;
CCameraSdk g_sdk;

template <typename F>
bool Resolve(HMODULE module, const char* name, F& function)
{
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

bool ResolveAll(HMODULE m, CCameraSdk& sdk)
{
    return Resolve(m, "CDStartSDK", sdk.StartSDK) && Resolve(m, "CDFinishSDK", sdk.FinishSDK) &&
           Resolve(m, "CDEnumDeviceReset", sdk.EnumDeviceReset) &&
           Resolve(m, "CDGetDeviceCount", sdk.GetDeviceCount) &&
           Resolve(m, "CDEnumDeviceNext", sdk.EnumDeviceNext) &&
           Resolve(m, "CDEnumDeviceRelease", sdk.EnumDeviceRelease) &&
           Resolve(m, "CDOpenSource", sdk.OpenSource) && Resolve(m, "CDCloseSource", sdk.CloseSource) &&
           Resolve(m, "CDEnterReleaseControl", sdk.EnterReleaseControl) &&
           Resolve(m, "CDExitReleaseControl", sdk.ExitReleaseControl) &&
           Resolve(m, "CDRegisterEventCallbackFunction", sdk.RegisterEventCallbackFunction) &&
           Resolve(m, "CDUnregisterEventCallbackFunction", sdk.UnregisterEventCallbackFunction) &&
           Resolve(m, "CDSetImageFormatAttribute", sdk.SetImageFormatAttribute) &&
           Resolve(m, "CDSetFlashSetting", sdk.SetFlashSetting) && Resolve(m, "CDRelease", sdk.Release) &&
           Resolve(m, "CDGetReleasedData", sdk.GetReleasedData);
}

} // namespace

const CCameraSdk* LoadCameraSdk()
{
    if (g_hSdk != nullptr)
        return &g_sdk;
    HMODULE m = LoadLibraryA("CDSDK.dll");
    if (m == nullptr)
        return nullptr;
    CCameraSdk sdk = {};
    if (!ResolveAll(m, sdk)) {
        // Not the library we know: the camera is as absent as without it.
        FreeLibrary(m);
        return nullptr;
    }
    g_sdk = sdk;
    g_hSdk = m;
    return &g_sdk;
}
