#include "acquire/Camera.h"

#include "acquire/CameraRules.h"
#include "acquire/Progress.h"
#include "framework/ErrorReport.h"
#include "picture/WorkFolder.h"
#include "resource.h"

namespace {

CCanonPowerShotCamera* g_pCamera = nullptr;

// The version of the library the component is written for.
const uint16_t kSdkMajor = 7;
const uint16_t kSdkMinor = 3;

struct BusyScope
{
    explicit BusyScope(bool& flag) : m_flag(flag) { m_flag = true; }
    ~BusyScope() { m_flag = false; }
    bool& m_flag;
};

} // namespace

CCanonPowerShotCamera::~CCanonPowerShotCamera()
{
    Disconnect();
}

CdHandle CCanonPowerShotCamera::OpenCamera()
{
    const CCameraSdk* sdk = LoadCameraSdk();
    if (sdk == nullptr)
        return 0;
    m_sdk = sdk;
    CdVersionInfo version = {};
    version.size = sizeof(version);
    version.major = kSdkMajor;
    version.minor = kSdkMinor;
    if (CdErrorIdentifier(sdk->StartSDK(&version, 0)) != 0)
        return 0;

    CdSourceInfo info = {};
    CdHandle enumerator = 0;
    CdHandle source = 0;
    if (sdk->EnumDeviceReset(kCdEnumAllCameras, &enumerator) == kCdOk) {
        uint32_t count = 0;
        bool found = sdk->GetDeviceCount(enumerator, &count) == kCdOk && count != 0 &&
                     sdk->EnumDeviceNext(enumerator, &info) == kCdOk;
        sdk->EnumDeviceRelease(enumerator);
        found = found && info.deviceType != 0;
        if (found && CdErrorIdentifier(sdk->OpenSource(&info, &source)) == 0 && source != 0) {
            if (CdErrorIdentifier(sdk->EnterReleaseControl(source, ReleaseControlCallback, 0)) == 0)
                return source;
            // The source is not left open behind the finished library.
            sdk->CloseSource(source);
        }
    }
    sdk->FinishSDK();
    return 0;
}

void CCanonPowerShotCamera::CloseCamera(CdHandle source)
{
    if (m_sdk == nullptr)
        return;
    m_sdk->ExitReleaseControl(source);
    m_sdk->CloseSource(source);
    m_sdk->FinishSDK();
}

void CCanonPowerShotCamera::Disconnect()
{
    const CdHandle source = static_cast<CdHandle>(InterlockedExchange(&m_hSource, 0));
    if (source == 0)
        return;
    const CdHandle registration = static_cast<CdHandle>(InterlockedExchange(&m_hEventRegistration, 0));
    if (registration != 0)
        m_sdk->UnregisterEventCallbackFunction(source, registration);
    CloseCamera(source);
}

std::string CCanonPowerShotCamera::TakePicture(long size, long quality, long flash)
{
    if (m_busy || !ReleasedNamesFit(m_strFolder))
        return std::string();
    BusyScope busy(m_busy);

    CdHandle source = SourceHandle();
    if (source == 0) {
        source = OpenCamera();
        if (source == 0)
            return std::string();
        CdHandle registration = 0;
        if (m_sdk->RegisterEventCallbackFunction(source, EventCallback, reinterpret_cast<CdContext>(this),
                                                 &registration) != kCdOk)
            registration = 0;
        InterlockedExchange(&m_hEventRegistration, static_cast<LONG>(registration));
        InterlockedExchange(&m_hSource, static_cast<LONG>(source));
    }

    m_sdk->SetImageFormatAttribute(source, CameraQualityCode(quality), CameraSizeCode(size));
    m_sdk->SetFlashSetting(source, static_cast<uint32_t>(flash), kCdFlashCompensation);

    uint32_t count = 0;
    if (CdErrorIdentifier(m_sdk->Release(source, FALSE, nullptr, 0, kCdReleaseProgressOption, &count)) == 0) {
        bool transferred = false;
        CdError result = kCdOk;
        std::string path;
        try {
            CProgress progress(m_sdk);
            transferred = progress.RunTransfer(source, count, m_strFolder);
            result = progress.TransferResult();
            path = progress.NameBuffer();
        } catch (...) {
            transferred = false;
        }
        if (transferred) {
            const uint32_t identifier = CdErrorIdentifier(result);
            if (identifier == 0)
                return path;
            if (identifier == kCdIdentifierKeepsConnection)
                return std::string();
        }
    }
    Disconnect();
    return std::string();
}

uint32_t CDAPI CCanonPowerShotCamera::EventCallback(uint32_t eventId, const void*, uint32_t, CdContext context)
{
    const CameraEventReply reply = AnswerCameraEvent(eventId);
    CCanonPowerShotCamera* camera = reinterpret_cast<CCanonPowerShotCamera*>(context);
    if (reply.shutdown && camera != nullptr) {
        // The registration stays: the library has dropped it with the camera.
        const CdHandle source = static_cast<CdHandle>(InterlockedExchange(&camera->m_hSource, 0));
        if (source != 0)
            camera->CloseCamera(source);
    }
    return reply.answer;
}

uint32_t CDAPI CCanonPowerShotCamera::ReleaseControlCallback(uint32_t, CdContext)
{
    return 0;
}

CCanonPowerShotCamera& TheCamera()
{
    if (g_pCamera == nullptr)
        g_pCamera = new CCanonPowerShotCamera();
    return *g_pCamera;
}

void CloseCameraConnection()
{
    if (g_pCamera != nullptr)
        g_pCamera->Disconnect();
}

void DestroyCamera(bool processTerminating)
{
    if (processTerminating)
        return;
    delete g_pCamera;
    g_pCamera = nullptr;
}

std::string ReleasePictureBody(long size, long quality, long flash)
{
    CCanonPowerShotCamera& camera = TheCamera();
    CheckOrThrow(!camera.IsBusy(), "A picture is being taken already: the camera serves one take at a time");
    const std::string folder = GetWorkFolder();
    CheckOrThrow(ReleasedNamesFit(folder),
                 "The working folder is too long for the names of camera pictures (at most 243 characters): " +
                     folder);
    camera.m_strFolder = folder;
    const std::string path = camera.TakePicture(size, quality, flash);
    CheckOrThrowId(!path.empty(), IDS_CAMERA_FAILED);
    return path;
}
