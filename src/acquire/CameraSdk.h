// The camera library (CDSDK.dll) as the component uses it: its records, callbacks and calls, and
// the library itself, loaded by name when the first picture is taken. Only what is passed and
// relied on is laid out; the rest of each record is the library's own and stays opaque.
// Every call and callback uses the system's standard calling convention. The constants and
// records are also built natively, for the portable rules of a take.
#pragma once
#ifdef _WIN32
#include <windows.h>
#define CDAPI WINAPI
#else
#include "compat/wincompat.h"
#define CDAPI
#endif
#include <cstddef>
#include <cstdint>

// Handles the library hands out are 32-bit values; contexts are pointers handed back unchanged.
typedef uint32_t CdHandle;
typedef uint32_t CdError;       // low 16 bits: the error identifier
typedef uintptr_t CdContext;

inline uint32_t CdErrorIdentifier(CdError error) { return error & 0xFFFFu; }

// Results and codes the component passes or looks at.
constexpr CdError kCdOk = 0;
constexpr uint32_t kCdIdentifierKeepsConnection = 5;  // the item was not delivered, the camera stays usable
constexpr uint32_t kCdEnumAllCameras = 1;             // device kind of CDEnumDeviceReset
constexpr uint32_t kCdReleaseProgressOption = 1;      // CDRelease: progress option
constexpr uint32_t kCdQueryOption = 0;                // CDGetReleasedData: item information only
constexpr uint32_t kCdFetchOption = 3;                // CDGetReleasedData: the item's data into the medium
constexpr uint32_t kCdMediumStream = 1;               // storage medium: a stream of ours
constexpr uint32_t kCdFlashCompensation = 255;        // CDSetFlashSetting: compensation left as it is

// Event identifiers: severity in bits 16..19, the event number in the low 16 bits.
constexpr uint32_t kCdSeverityMask = 0x000F0000u;
constexpr uint32_t kCdSeverityShutdown = 0x00040000u;  // the camera went away
constexpr uint32_t kCdSeverityWarning = 0x00020000u;
constexpr uint32_t kCdEventNumberMask = 0x0000FFFFu;
constexpr uint32_t kCdWarningAnswered = 5;             // the warning event answered with kCdEventAnswer
constexpr uint32_t kCdEventAnswer = 0x8C;

// Data types of released items and their formats.
constexpr uint32_t kCdItemThumbnail = 0x10;
constexpr uint32_t kCdItemPicture = 0x20;
constexpr uint32_t kCdItemFurtherPicture = 0x50;
constexpr uint8_t kCdFormatJpeg = 1;

// Stream open permissions and seek origins.
constexpr uint32_t kCdPermissionRead = 1;
constexpr uint32_t kCdPermissionWrite = 2;
constexpr uint32_t kCdPermissionReadWrite = 3;       // created anew
constexpr uint32_t kCdPermissionReadWriteKeep = 4;   // opened, created when missing
constexpr uint32_t kCdSeekFromStart = 1;
constexpr uint32_t kCdSeekFromCurrent = 2;
constexpr uint32_t kCdSeekFromEnd = 3;

// Error codes the stream callbacks report.
constexpr CdError kCdStreamAlreadyOpen = 162;
constexpr CdError kCdStreamOpenFailed = 163;
constexpr CdError kCdStreamCloseFailed = 164;
constexpr CdError kCdStreamSeekFailed = 165;
constexpr CdError kCdStreamTellFailed = 166;
constexpr CdError kCdStreamReadFailed = 167;
constexpr CdError kCdStreamWriteFailed = 168;
constexpr CdError kCdStreamBadParameter = 171;

#pragma pack(push, 4)

// Version of the library the component is written for.
struct CdVersionInfo
{
    uint16_t size;    // 40
    uint16_t major;   // 7
    uint16_t minor;   // 3
    uint8_t reserved[34];
};

// An attached camera as the enumeration reports it; 0 in the first field means none.
struct CdSourceInfo
{
    uint32_t deviceType;
    uint8_t reserved[396];
};

// A released item. The component reads the data type and the format only; the record is made
// larger than what it reads so that the library's own fields fit.
struct CdReleasedItemInfo
{
    uint32_t sequence;
    uint32_t dataType;
    uint8_t format;
    uint8_t reserved1[3];
    uint32_t dataSize;
    char name[256];
};

#pragma pack(pop)

// The stream a released item is written through: a context handed to every callback, then the
// six callbacks. Each callback sets its error code (0 first).
typedef void(CDAPI* CdStreamOpen)(CdContext context, uint32_t permission, CdError* error);
typedef void(CDAPI* CdStreamClose)(CdContext context, CdError* error);
typedef void(CDAPI* CdStreamRead)(CdContext context, void* buffer, uint32_t* count, CdError* error);
typedef void(CDAPI* CdStreamWrite)(CdContext context, const void* buffer, uint32_t* count, CdError* error);
typedef void(CDAPI* CdStreamSeek)(CdContext context, uint32_t origin, int32_t offset, CdError* error);
typedef uint32_t(CDAPI* CdStreamTell)(CdContext context, CdError* error);

struct CameraFileStream
{
    CdContext context;
    CdStreamOpen open;
    CdStreamClose close;
    CdStreamRead read;
    CdStreamWrite write;
    CdStreamSeek seek;
    CdStreamTell tell;
};

// The storage medium of a fetch: its type and the stream.
struct CdStorageMedium
{
    uint32_t type;
    CameraFileStream* stream;
};

// The stream's context block: the file's path and its handle (as the 32-bit value every Win32
// handle fits in), INVALID_HANDLE_VALUE while the file is not open.
struct CameraFileContext
{
    char path[260];
    int32_t handle;
};

// Progress of a transfer: 0 answers "go on".
typedef uint32_t(CDAPI* CdProgressCallback)(uint32_t progress, uint32_t status, CdContext context);
// Camera events; the answer goes back to the library.
typedef uint32_t(CDAPI* CdEventCallback)(uint32_t eventId, const void* data, uint32_t size, CdContext context);
// Notifications while release control is entered.
typedef uint32_t(CDAPI* CdReleaseControlCallback)(uint32_t notification, CdContext context);

// The records' layout is fixed for both the 32-bit and the 64-bit build.
static_assert(sizeof(CdVersionInfo) == 40, "version record");
static_assert(offsetof(CdVersionInfo, size) == 0 && offsetof(CdVersionInfo, major) == 2 &&
                  offsetof(CdVersionInfo, minor) == 4,
              "version record fields");
static_assert(sizeof(CdSourceInfo) == 400, "source information record");
static_assert(offsetof(CdReleasedItemInfo, dataType) == 4 && offsetof(CdReleasedItemInfo, format) == 8,
              "released item fields");
static_assert(sizeof(CameraFileContext) == 264 && offsetof(CameraFileContext, handle) == 260,
              "stream context block");
static_assert(offsetof(CameraFileStream, context) == 0 && offsetof(CameraFileStream, open) == sizeof(void*) &&
                  offsetof(CameraFileStream, tell) == 6 * sizeof(void*) &&
                  sizeof(CameraFileStream) == 7 * sizeof(void*),
              "stream record: a context and six callbacks");
static_assert(offsetof(CdStorageMedium, type) == 0 && offsetof(CdStorageMedium, stream) == sizeof(void*),
              "storage medium");
static_assert(sizeof(void*) == 8 ? sizeof(CameraFileStream) == 56 && sizeof(CdStorageMedium) == 16
                                 : sizeof(CameraFileStream) == 28 && sizeof(CdStorageMedium) == 8,
              "stream record and medium of the 64-bit and the 32-bit build");

// The library's calls, resolved by name.
struct CCameraSdk
{
    CdError(CDAPI* StartSDK)(const CdVersionInfo* version, uint32_t option);
    CdError(CDAPI* FinishSDK)();
    CdError(CDAPI* EnumDeviceReset)(uint32_t kind, CdHandle* enumerator);
    CdError(CDAPI* GetDeviceCount)(CdHandle enumerator, uint32_t* count);
    CdError(CDAPI* EnumDeviceNext)(CdHandle enumerator, CdSourceInfo* info);
    CdError(CDAPI* EnumDeviceRelease)(CdHandle enumerator);
    CdError(CDAPI* OpenSource)(CdSourceInfo* info, CdHandle* source);
    CdError(CDAPI* CloseSource)(CdHandle source);
    CdError(CDAPI* EnterReleaseControl)(CdHandle source, CdReleaseControlCallback callback, CdContext context);
    CdError(CDAPI* ExitReleaseControl)(CdHandle source);
    CdError(CDAPI* RegisterEventCallbackFunction)(CdHandle source, CdEventCallback callback, CdContext context,
                                                   CdHandle* registration);
    CdError(CDAPI* UnregisterEventCallbackFunction)(CdHandle source, CdHandle registration);
    CdError(CDAPI* SetImageFormatAttribute)(CdHandle source, uint32_t quality, uint32_t size);
    CdError(CDAPI* SetFlashSetting)(CdHandle source, uint32_t mode, uint32_t compensation);
    CdError(CDAPI* Release)(CdHandle source, BOOL synchronous, CdProgressCallback callback, CdContext context,
                             uint32_t option, uint32_t* count);
    CdError(CDAPI* GetReleasedData)(CdHandle source, CdProgressCallback callback, CdContext context,
                                     uint32_t option, CdReleasedItemInfo* info, CdStorageMedium* medium);
};

// The library, loaded by name on first use and kept for the life of the process; null when it is
// not installed (or lacks a call), in which case the next use tries again.
const CCameraSdk* LoadCameraSdk();
