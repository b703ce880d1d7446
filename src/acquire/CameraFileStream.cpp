#include "acquire/CameraFileStream.h"

#include <cstring>
#include <new>

namespace {

// Every Win32 handle fits in 32 bits and is stored sign-extended back.
HANDLE HandleOf(const CameraFileContext* c)
{
    return LongToHandle(c->handle);
}

void StoreHandle(CameraFileContext* c, HANDLE h)
{
    c->handle = HandleToLong(h);
}

CameraFileContext* ContextOf(CdContext context)
{
    return reinterpret_cast<CameraFileContext*>(context);
}

bool IsOpen(const CameraFileContext* c)
{
    return c != nullptr && HandleOf(c) != INVALID_HANDLE_VALUE;
}

// Callbacks report through the library's error slot; a library that passes none gets nothing.
struct ErrorSlot
{
    explicit ErrorSlot(CdError* p) : m_p(p ? p : &m_ignored) { *m_p = kCdOk; }
    void Set(CdError code) { *m_p = code; }
    CdError* m_p;
    CdError m_ignored = kCdOk;
};

} // namespace

CameraFileContext* NewCameraFileContext(const char* path)
{
    if (path == nullptr || std::strlen(path) >= sizeof(CameraFileContext::path))
        return nullptr;
    CameraFileContext* c = new (std::nothrow) CameraFileContext();
    if (c == nullptr)
        return nullptr;
    std::strcpy(c->path, path);
    StoreHandle(c, INVALID_HANDLE_VALUE);
    return c;
}

void FreeCameraFileContext(CameraFileContext* context)
{
    if (context == nullptr)
        return;
    if (HandleOf(context) != INVALID_HANDLE_VALUE)
        CloseHandle(HandleOf(context));
    delete context;
}

CameraFileStream MakeCameraFileStream(CameraFileContext* context)
{
    CameraFileStream stream;
    stream.context = reinterpret_cast<CdContext>(context);
    stream.open = CameraStreamOpen;
    stream.close = CameraStreamClose;
    stream.read = CameraStreamRead;
    stream.write = CameraStreamWrite;
    stream.seek = CameraStreamSeek;
    stream.tell = CameraStreamTell;
    return stream;
}

void CDAPI CameraStreamOpen(CdContext context, uint32_t permission, CdError* error)
{
    ErrorSlot result(error);
    CameraFileContext* c = ContextOf(context);
    if (c == nullptr) {
        result.Set(kCdStreamOpenFailed);
        return;
    }
    if (HandleOf(c) != INVALID_HANDLE_VALUE) {
        result.Set(kCdStreamAlreadyOpen);
        return;
    }
    DWORD access = 0, share = 0, disposition = 0;
    if (permission == kCdPermissionReadWriteKeep) {
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
    } else if ((permission & 3u) == 3u) {
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
    } else if (permission & kCdPermissionRead) {
        access = GENERIC_READ;
        share = FILE_SHARE_READ;
        disposition = OPEN_EXISTING;
    } else if (permission & kCdPermissionWrite) {
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
    } else {
        result.Set(kCdStreamBadParameter);
        return;
    }
    HANDLE h = CreateFileA(c->path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        result.Set(kCdStreamOpenFailed);
        return;
    }
    StoreHandle(c, h);
}

void CDAPI CameraStreamClose(CdContext context, CdError* error)
{
    ErrorSlot result(error);
    CameraFileContext* c = ContextOf(context);
    if (!IsOpen(c)) {
        result.Set(kCdStreamCloseFailed);
        return;
    }
    const BOOL closed = CloseHandle(HandleOf(c));
    StoreHandle(c, INVALID_HANDLE_VALUE);
    if (!closed)
        result.Set(kCdStreamCloseFailed);
}

void CDAPI CameraStreamRead(CdContext context, void* buffer, uint32_t* count, CdError* error)
{
    ErrorSlot result(error);
    CameraFileContext* c = ContextOf(context);
    DWORD done = 0;
    if (!IsOpen(c) || count == nullptr || (buffer == nullptr && *count != 0) ||
        !ReadFile(HandleOf(c), buffer, *count, &done, nullptr)) {
        if (count != nullptr)
            *count = 0;
        result.Set(kCdStreamReadFailed);
        return;
    }
    *count = done;
}

void CDAPI CameraStreamWrite(CdContext context, const void* buffer, uint32_t* count, CdError* error)
{
    ErrorSlot result(error);
    CameraFileContext* c = ContextOf(context);
    DWORD done = 0;
    if (!IsOpen(c) || count == nullptr || (buffer == nullptr && *count != 0) ||
        !WriteFile(HandleOf(c), buffer, *count, &done, nullptr)) {
        if (count != nullptr)
            *count = 0;
        result.Set(kCdStreamWriteFailed);
        return;
    }
    *count = done;
}

void CDAPI CameraStreamSeek(CdContext context, uint32_t origin, int32_t offset, CdError* error)
{
    ErrorSlot result(error);
    CameraFileContext* c = ContextOf(context);
    if (c == nullptr) {
        result.Set(kCdStreamSeekFailed);
        return;
    }
    DWORD method;
    switch (origin) {
    case kCdSeekFromStart: method = FILE_BEGIN; break;
    case kCdSeekFromCurrent: method = FILE_CURRENT; break;
    case kCdSeekFromEnd: method = FILE_END; break;
    default:
        result.Set(kCdStreamBadParameter);
        return;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    if (!IsOpen(c) || !SetFilePointerEx(HandleOf(c), distance, nullptr, method))
        result.Set(kCdStreamSeekFailed);
}

uint32_t CDAPI CameraStreamTell(CdContext context, CdError* error)
{
    ErrorSlot result(error);
    CameraFileContext* c = ContextOf(context);
    if (c == nullptr) {
        result.Set(kCdStreamTellFailed);
        return 0;
    }
    LARGE_INTEGER zero, position;
    zero.QuadPart = 0;
    // A position the 32-bit answer cannot hold is a position that cannot be read.
    if (!IsOpen(c) || !SetFilePointerEx(HandleOf(c), zero, &position, FILE_CURRENT) || position.QuadPart > 0xFFFFFFFFll) {
        result.Set(kCdStreamSeekFailed);
        return 0;
    }
    return static_cast<uint32_t>(position.QuadPart);
}
