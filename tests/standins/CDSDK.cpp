// Stand-in for the camera library: one camera that releases the items a test configures and
// writes them through the caller's stream callbacks, recording every call it receives.
//
// TREL_CDSDK_CONFIG names a configuration file, read afresh at every call (so a test changes the
// camera between takes), one setting a line ('#' starts a comment):
//   cameras N                 attached cameras (1 when not given; 0 = none)
//   fail CALL [CODE]          that call (CDStartSDK, CDEnumDeviceReset, CDGetDeviceCount,
//                             CDEnumDeviceNext, CDOpenSource, CDEnterReleaseControl,
//                             CDRegisterEventCallbackFunction, CDRelease) fails with CODE (default 2)
//   item TYPE FORMAT FILE     an item of the next release (in this order), its data the bytes of FILE
//   count N                   the item count CDRelease reports (default: the number of items)
//   chunk BYTES               the size of each write (default 65536)
//   delay MS                  a pause after each chunk (the slow mode)
//   permission P              the permission the stream is opened with (default 2)
//   fetcherror N CODE         the fetch of item N (from 1) stops half-way and ends with CODE
//   queryfail N               the query of item N fails
//   event ID after N [delay MS]  a thread of its own sends event ID (hex or decimal) once N items of
//                             a release were fetched (0: right after the release)
// TREL_CDSDK_RECORD names the file every call is appended to, one line each: the call's name and
// its arguments as key=value, the calling thread (tid=), and for each fetch the bytes written,
// the time spent inside the caller's callbacks (callbacks_us=) and the moment it ended (end_qpc=,
// QueryPerformanceCounter). Calls that break the library's rules add a line starting with
// VIOLATION (a source closed while an item is being fetched, an unknown handle, an enumeration
// record not zeroed, more finishes than starts).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "acquire/CameraSdk.h"

namespace {

struct ItemSpec
{
    uint32_t type = 0;
    uint8_t format = 0;
    std::string file;
};

struct EventSpec
{
    uint32_t id = 0;
    uint32_t after = 0;
    uint32_t delayMs = 0;
};

struct Config
{
    int cameras = 1;
    std::map<std::string, CdError> failures;
    std::vector<ItemSpec> items;
    int count = -1;
    uint32_t chunk = 65536;
    uint32_t delayMs = 0;
    uint32_t permission = kCdPermissionWrite;
    uint32_t fetchErrorItem = 0;
    CdError fetchErrorCode = 0;
    uint32_t queryFailItem = 0;
    std::vector<EventSpec> events;
};

struct Source
{
    bool releaseControl = false;
    CdEventCallback eventCallback = nullptr;
    CdContext eventContext = 0;
};

CRITICAL_SECTION g_lock;
int g_started = 0;
CdHandle g_nextSource = 1;
std::map<CdHandle, Source> g_sources;
// The items of the last release and the next one to hand over.
std::vector<ItemSpec> g_released;
std::vector<std::vector<char>> g_releasedData;
size_t g_nextItem = 0;
volatile LONG g_fetching = 0;

struct Lock
{
    Lock() { EnterCriticalSection(&g_lock); }
    ~Lock() { LeaveCriticalSection(&g_lock); }
};

std::string Env(const char* name)
{
    char buf[1024] = {};
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof(buf));
    return n > 0 && n < sizeof(buf) ? std::string(buf, n) : std::string();
}

void Record(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    const std::string path = Env("TREL_CDSDK_RECORD");
    if (path.empty())
        return;
    Lock lock;
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fprintf(f, "%s tid=%lu\n", line, GetCurrentThreadId());
        std::fclose(f);
    }
}

uint32_t Number(const std::string& text)
{
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

Config ReadConfig()
{
    Config c;
    std::ifstream in(Env("TREL_CDSDK_CONFIG"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key.empty() || key[0] == '#')
            continue;
        std::string a, b, c3, d;
        if (key == "cameras") {
            words >> a;
            c.cameras = static_cast<int>(Number(a));
        } else if (key == "fail") {
            words >> a >> b;
            c.failures[a] = b.empty() ? 2 : Number(b);
        } else if (key == "item") {
            ItemSpec item;
            words >> a >> b;
            item.type = Number(a);
            item.format = static_cast<uint8_t>(Number(b));
            std::getline(words >> std::ws, item.file);
            c.items.push_back(item);
        } else if (key == "count") {
            words >> a;
            c.count = static_cast<int>(Number(a));
        } else if (key == "chunk") {
            words >> a;
            c.chunk = Number(a) ? Number(a) : 1;
        } else if (key == "delay") {
            words >> a;
            c.delayMs = Number(a);
        } else if (key == "permission") {
            words >> a;
            c.permission = Number(a);
        } else if (key == "fetcherror") {
            words >> a >> b;
            c.fetchErrorItem = Number(a);
            c.fetchErrorCode = Number(b);
        } else if (key == "queryfail") {
            words >> a;
            c.queryFailItem = Number(a);
        } else if (key == "event") {
            EventSpec e;
            words >> a >> b >> c3 >> d >> key;
            e.id = Number(a);
            e.after = Number(c3);
            if (d == "delay")
                e.delayMs = Number(key);
            c.events.push_back(e);
        }
    }
    return c;
}

// The configured failure of a call, or kCdOk.
CdError Failure(const Config& c, const char* call)
{
    auto it = c.failures.find(call);
    return it == c.failures.end() ? kCdOk : it->second;
}

bool KnownSource(CdHandle h, const char* call)
{
    Lock lock;
    if (g_sources.count(h))
        return true;
    Record("VIOLATION %s on unknown handle=%u", call, h);
    return false;
}

struct EventThreadArgs
{
    CdHandle source;
    EventSpec event;
};

DWORD WINAPI EventThread(void* p)
{
    EventThreadArgs args = *static_cast<EventThreadArgs*>(p);
    delete static_cast<EventThreadArgs*>(p);
    if (args.event.delayMs)
        Sleep(args.event.delayMs);
    CdEventCallback callback = nullptr;
    CdContext context = 0;
    {
        Lock lock;
        auto it = g_sources.find(args.source);
        if (it != g_sources.end()) {
            callback = it->second.eventCallback;
            context = it->second.eventContext;
        }
    }
    if (callback == nullptr) {
        Record("event id=0x%08X not delivered (no registration)", args.event.id);
        return 0;
    }
    Record("event id=0x%08X sent", args.event.id);
    const uint32_t answer = callback(args.event.id, nullptr, 0, context);
    Record("event id=0x%08X answer=%u", args.event.id, answer);
    return 0;
}

void SendEvents(const Config& c, CdHandle source, uint32_t fetched)
{
    for (const EventSpec& e : c.events) {
        if (e.after != fetched)
            continue;
        HANDLE h = CreateThread(nullptr, 0, EventThread, new EventThreadArgs{source, e}, 0, nullptr);
        if (h != nullptr)
            CloseHandle(h);
    }
}

std::vector<char> ReadWholeFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

double Microseconds(LONGLONG ticks)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1e6 * static_cast<double>(ticks) / static_cast<double>(f.QuadPart);
}

// Delivers one item through the caller's stream; the result of the fetch.
CdError Deliver(const Config& c, size_t index, const std::vector<char>& data, CdProgressCallback progress,
                CdContext context, CameraFileStream* stream)
{
    LARGE_INTEGER t0, t1;
    LONGLONG inside = 0;
    auto timed = [&](auto&& call) {
        QueryPerformanceCounter(&t0);
        call();
        QueryPerformanceCounter(&t1);
        inside += t1.QuadPart - t0.QuadPart;
    };
    CdError error = kCdOk;
    timed([&] { stream->open(stream->context, c.permission, &error); });
    if (error != kCdOk) {
        Record("CDGetReleasedData stream open permission=%u error=%u", c.permission, error);
        return 0x0000A0A0u;
    }
    const bool failHalfway = c.fetchErrorItem == index + 1;
    const size_t stopAt = failHalfway ? data.size() / 2 : data.size();
    size_t done = 0;
    CdError result = kCdOk;
    while (done < stopAt) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(c.chunk, stopAt - done));
        const uint32_t asked = n;
        timed([&] { stream->write(stream->context, data.data() + done, &n, &error); });
        if (error != kCdOk || n != asked) {
            Record("CDGetReleasedData stream write error=%u written=%u of %u", error, n, asked);
            result = 0x0000A0A1u;
            break;
        }
        done += n;
        uint32_t answer = 0;
        timed([&] { answer = progress ? progress(static_cast<uint32_t>(done * 100 / data.size()), 0, context) : 0; });
        if (answer != 0) {
            Record("CDGetReleasedData progress answer=%u", answer);
            result = 0x0000A0A2u;
            break;
        }
        if (c.delayMs)
            Sleep(c.delayMs);
    }
    timed([&] { stream->close(stream->context, &error); });
    if (error != kCdOk && result == kCdOk)
        result = 0x0000A0A3u;
    if (failHalfway && result == kCdOk)
        result = c.fetchErrorCode;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    Record("CDGetReleasedData fetched item=%u bytes=%u callbacks_us=%.0f end_qpc=%lld result=0x%X",
           static_cast<unsigned>(index + 1), static_cast<unsigned>(done), Microseconds(inside),
           static_cast<long long>(end.QuadPart), result);
    return result;
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_lock);
    return TRUE;
}

__declspec(dllexport) CdError WINAPI CDStartSDK(const CdVersionInfo* version, uint32_t option)
{
    Config c = ReadConfig();
    Record("CDStartSDK size=%u major=%u minor=%u option=%u", version ? version->size : 0,
           version ? version->major : 0, version ? version->minor : 0, option);
    if (CdError e = Failure(c, "CDStartSDK"))
        return e;
    Lock lock;
    ++g_started;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDFinishSDK()
{
    Record("CDFinishSDK");
    Lock lock;
    if (--g_started < 0) {
        g_started = 0;
        Record("VIOLATION CDFinishSDK without CDStartSDK");
    }
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDEnumDeviceReset(uint32_t kind, CdHandle* enumerator)
{
    Config c = ReadConfig();
    Record("CDEnumDeviceReset kind=%u", kind);
    if (CdError e = Failure(c, "CDEnumDeviceReset"))
        return e;
    *enumerator = 0x100;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDGetDeviceCount(CdHandle enumerator, uint32_t* count)
{
    Config c = ReadConfig();
    Record("CDGetDeviceCount enumerator=0x%X count=%d", enumerator, c.cameras);
    if (CdError e = Failure(c, "CDGetDeviceCount"))
        return e;
    *count = static_cast<uint32_t>(c.cameras);
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDEnumDeviceNext(CdHandle enumerator, CdSourceInfo* info)
{
    Config c = ReadConfig();
    Record("CDEnumDeviceNext enumerator=0x%X", enumerator);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(info);
    for (size_t i = 0; i < sizeof(CdSourceInfo); ++i)
        if (bytes[i] != 0) {
            Record("VIOLATION CDEnumDeviceNext source information not zeroed");
            break;
        }
    if (CdError e = Failure(c, "CDEnumDeviceNext"))
        return e;
    if (c.cameras <= 0)
        return 0x0000A010u;
    info->deviceType = 1;
    std::strcpy(reinterpret_cast<char*>(info->reserved), "Stand-in camera");
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDEnumDeviceRelease(CdHandle enumerator)
{
    Record("CDEnumDeviceRelease enumerator=0x%X", enumerator);
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDOpenSource(CdSourceInfo* info, CdHandle* source)
{
    Config c = ReadConfig();
    Record("CDOpenSource device=%u handle_before=%u", info ? info->deviceType : 0, source ? *source : 0);
    if (CdError e = Failure(c, "CDOpenSource"))
        return e;
    Lock lock;
    const CdHandle h = g_nextSource++;
    g_sources[h] = Source();
    *source = h;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDCloseSource(CdHandle source)
{
    Record("CDCloseSource handle=%u", source);
    if (g_fetching)
        Record("VIOLATION CDCloseSource while an item is being fetched");
    if (!KnownSource(source, "CDCloseSource"))
        return 0x0000A020u;
    Lock lock;
    g_sources.erase(source);
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDEnterReleaseControl(CdHandle source, CdReleaseControlCallback callback,
                                                           CdContext context)
{
    Config c = ReadConfig();
    Record("CDEnterReleaseControl handle=%u callback=%s context=%llu", source, callback ? "set" : "none",
           static_cast<unsigned long long>(context));
    if (!KnownSource(source, "CDEnterReleaseControl"))
        return 0x0000A020u;
    if (CdError e = Failure(c, "CDEnterReleaseControl"))
        return e;
    if (callback) {
        const uint32_t answer = callback(1, context);
        Record("release-control notification answer=%u", answer);
    }
    Lock lock;
    g_sources[source].releaseControl = true;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDExitReleaseControl(CdHandle source)
{
    Record("CDExitReleaseControl handle=%u", source);
    if (g_fetching)
        Record("VIOLATION CDExitReleaseControl while an item is being fetched");
    if (!KnownSource(source, "CDExitReleaseControl"))
        return 0x0000A020u;
    Lock lock;
    g_sources[source].releaseControl = false;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDRegisterEventCallbackFunction(CdHandle source, CdEventCallback callback,
                                                                     CdContext context, CdHandle* registration)
{
    Config c = ReadConfig();
    Record("CDRegisterEventCallbackFunction handle=%u callback=%s context=%s", source, callback ? "set" : "none",
           context ? "set" : "none");
    if (!KnownSource(source, "CDRegisterEventCallbackFunction"))
        return 0x0000A020u;
    if (CdError e = Failure(c, "CDRegisterEventCallbackFunction"))
        return e;
    Lock lock;
    g_sources[source].eventCallback = callback;
    g_sources[source].eventContext = context;
    *registration = 0x200 + source;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDUnregisterEventCallbackFunction(CdHandle source, CdHandle registration)
{
    Record("CDUnregisterEventCallbackFunction handle=%u registration=0x%X", source, registration);
    if (!KnownSource(source, "CDUnregisterEventCallbackFunction"))
        return 0x0000A020u;
    Lock lock;
    g_sources[source].eventCallback = nullptr;
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDSetImageFormatAttribute(CdHandle source, uint32_t quality, uint32_t size)
{
    Record("CDSetImageFormatAttribute handle=%u quality=%u size=%u", source, quality, size);
    return KnownSource(source, "CDSetImageFormatAttribute") ? kCdOk : 0x0000A020u;
}

__declspec(dllexport) CdError WINAPI CDSetFlashSetting(CdHandle source, uint32_t mode, uint32_t compensation)
{
    Record("CDSetFlashSetting handle=%u flash=%u compensation=%u", source, mode, compensation);
    return KnownSource(source, "CDSetFlashSetting") ? kCdOk : 0x0000A020u;
}

__declspec(dllexport) CdError WINAPI CDRelease(CdHandle source, BOOL synchronous, CdProgressCallback callback,
                                               CdContext context, uint32_t option, uint32_t* count)
{
    Config c = ReadConfig();
    Record("CDRelease handle=%u sync=%d callback=%s context=%llu option=%u count_before=%u", source, synchronous,
           callback ? "set" : "none", static_cast<unsigned long long>(context), option, count ? *count : 0);
    if (!KnownSource(source, "CDRelease"))
        return 0x0000A020u;
    if (CdError e = Failure(c, "CDRelease"))
        return e;
    {
        Lock lock;
        if (!g_sources[source].releaseControl)
            Record("VIOLATION CDRelease outside release control");
        g_released = c.items;
        g_releasedData.clear();
        for (const ItemSpec& item : c.items)
            g_releasedData.push_back(ReadWholeFile(item.file));
        g_nextItem = 0;
    }
    *count = c.count >= 0 ? static_cast<uint32_t>(c.count) : static_cast<uint32_t>(c.items.size());
    SendEvents(c, source, 0);
    return kCdOk;
}

__declspec(dllexport) CdError WINAPI CDGetReleasedData(CdHandle source, CdProgressCallback callback,
                                                       CdContext context, uint32_t option,
                                                       CdReleasedItemInfo* info, CdStorageMedium* medium)
{
    Config c = ReadConfig();
    if (!KnownSource(source, "CDGetReleasedData"))
        return 0x0000A020u;
    size_t index;
    {
        Lock lock;
        index = g_nextItem;
    }
    if (option == kCdQueryOption) {
        Record("CDGetReleasedData query handle=%u item=%u callback=%s context=%llu medium=%s", source,
               static_cast<unsigned>(index + 1), callback ? "set" : "none", static_cast<unsigned long long>(context),
               medium ? "set" : "none");
        if (c.queryFailItem == index + 1 || index >= g_released.size() || info == nullptr)
            return 0x0000A030u;
        std::memset(info, 0, sizeof(*info));
        info->sequence = static_cast<uint32_t>(index + 1);
        info->dataType = g_released[index].type;
        info->format = g_released[index].format;
        info->dataSize = static_cast<uint32_t>(g_releasedData[index].size());
        return kCdOk;
    }
    Record("CDGetReleasedData fetch handle=%u item=%u type=%u option=%u callback=%s medium=%u", source,
           static_cast<unsigned>(index + 1), info ? info->dataType : 0, option, callback ? "set" : "none",
           medium ? medium->type : 0);
    if (option != kCdFetchOption || info == nullptr || medium == nullptr || medium->type != kCdMediumStream ||
        medium->stream == nullptr || index >= g_released.size())
        return 0x0000A040u;
    InterlockedIncrement(&g_fetching);
    const CdError result = Deliver(c, index, g_releasedData[index], callback, context, medium->stream);
    InterlockedDecrement(&g_fetching);
    {
        Lock lock;
        g_nextItem = index + 1;
    }
    SendEvents(c, source, static_cast<uint32_t>(index + 1));
    return result;
}

} // extern "C"
