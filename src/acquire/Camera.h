// The camera: one per loaded module. It keeps one connection to the camera library open from the
// first picture until the module unloads, the camera goes away, or a take fails.
#pragma once
#include <windows.h>
#include <string>

#include "acquire/CameraSdk.h"

class CCanonPowerShotCamera
{
public:
    CCanonPowerShotCamera() = default;
    virtual ~CCanonPowerShotCamera();
    CCanonPowerShotCamera(const CCanonPowerShotCamera&) = delete;
    CCanonPowerShotCamera& operator=(const CCanonPowerShotCamera&) = delete;

    // Takes a picture: the path of its file, or an empty string on any failure. Never throws.
    std::string TakePicture(long size, long quality, long flash);
    // Starts the library and opens the first camera in release control: its handle, 0 on failure.
    CdHandle OpenCamera();
    // Exits release control, closes the source and finishes the library, in that order.
    void CloseCamera(CdHandle source);

    // A take is running on this thread (a call that arrived while its window was shown).
    bool IsBusy() const { return m_busy; }
    CdHandle SourceHandle() const { return static_cast<CdHandle>(m_hSource); }
    // Closes the connection, if one is open; whoever takes the handle away from the object closes it.
    void Disconnect();

    // Folder of the released files, with its trailing backslash.
    std::string m_strFolder = "c:\\";

private:
    static uint32_t CDAPI EventCallback(uint32_t eventId, const void* data, uint32_t size, CdContext context);
    static uint32_t CDAPI ReleaseControlCallback(uint32_t notification, CdContext context);

    const CCameraSdk* m_sdk = nullptr;
    // Cleared by the event callback on a thread of the library: whoever takes the handle closes it.
    volatile LONG m_hSource = 0;
    volatile LONG m_hEventRegistration = 0;
    bool m_busy = false;
};

// The module's camera, built on first use.
CCanonPowerShotCamera& TheCamera();
// Closes the camera's connection, if one is open (the module may be unloaded next).
void CloseCameraConnection();
// Destroys it when the module unloads. When the process is ending the library may already be
// gone, and nothing of it is called. The library itself stays loaded: modules are not freed
// from within the loader's notifications.
void DestroyCamera(bool processTerminating);

// ReleasePicture and ReleasePicture2: the picture's path in the working folder; failures raise.
std::string ReleasePictureBody(long size, long quality, long flash);
