// Stand-in for the card-reader library: readers on the COM names configured by
//   TREL_ZREADER_CARDS="COM5=00010000;COM6="
// each with the card it presents, as up to 16 card-number bytes in hex (missing bytes are 0); an
// empty value is a reader with no card. Calls that break the library's rules (a handle not
// cleared before the open, a parameter block without the value 1, an information buffer that is
// not zeroed, an unknown handle) fail.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int kOk = 0;
const int kNotReady = 1;
const int kBadArgument = 2;
const int kNoReader = 3;
const int kNoCard = 4;
const int kBadHandle = 5;

struct Reader
{
    uint32_t magic;
    bool hasCard;
    unsigned char card[16];
    bool searching;
    bool delivered;
};
const uint32_t kMagic = 0x5A524452;

LONG g_initialized = 0;

bool ParseHexBytes(const std::string& text, unsigned char* out, size_t size)
{
    if (text.size() % 2 != 0 || text.size() > 2 * size)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        out[i / 2] = static_cast<unsigned char>(std::strtoul(pair, &end, 16));
        if (*end != '\0')
            return false;
    }
    return true;
}

// The configured card of the reader on that COM name; false when no reader is there.
bool FindReader(const std::string& comName, Reader& reader)
{
    char buf[4096] = {};
    DWORD n = GetEnvironmentVariableA("TREL_ZREADER_CARDS", buf, sizeof(buf));
    if (n == 0 || n >= sizeof(buf) || comName.empty())
        return false;
    std::string list(buf, n);
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        std::string entry = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t eq = entry.find('=');
        if (eq != std::string::npos && entry.compare(0, eq, comName) == 0 && eq == comName.size()) {
            std::memset(&reader, 0, sizeof(reader));
            reader.magic = kMagic;
            const std::string card = entry.substr(eq + 1);
            reader.hasCard = !card.empty();
            return ParseHexBytes(card, reader.card, sizeof(reader.card));
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

Reader* AsReader(void* handle)
{
    Reader* r = static_cast<Reader*>(handle);
    return r != nullptr && r->magic == kMagic ? r : nullptr;
}

} // namespace

extern "C" {

__declspec(dllexport) int WINAPI ZR_Initialize(int flags)
{
    if (flags != 1)
        return kBadArgument;
    InterlockedIncrement(&g_initialized);
    return kOk;
}

__declspec(dllexport) int WINAPI ZR_Finalyze()
{
    if (InterlockedDecrement(&g_initialized) < 0) {
        InterlockedIncrement(&g_initialized);
        return kNotReady;
    }
    return kOk;
}

__declspec(dllexport) int WINAPI ZR_GetVersion()
{
    return 0x0100;
}

__declspec(dllexport) int WINAPI ZR_Rd_Open(void** handle, void* params, void* info)
{
    if (handle == nullptr || *handle != nullptr || params == nullptr || info == nullptr)
        return kBadArgument;
    const unsigned char* p = static_cast<const unsigned char*>(params);
    uint32_t kind = 0;
    std::memcpy(&kind, p, sizeof(kind));
    const char* comName = nullptr;
    std::memcpy(&comName, p + 4, sizeof(comName));
    const unsigned char* i = static_cast<const unsigned char*>(info);
    for (size_t k = 0; k < 32; ++k)
        if (i[k] != 0)
            return kBadArgument;
    if (kind != 1 || comName == nullptr)
        return kBadArgument;
    Reader found;
    if (!FindReader(comName, found))
        return kNoReader;
    Reader* reader = new Reader(found);
    *handle = reader;
    return kOk;
}

__declspec(dllexport) int WINAPI ZR_Rd_SearchCards(void* handle, int a, int b)
{
    Reader* r = AsReader(handle);
    if (r == nullptr)
        return kBadHandle;
    if (a != 1 || b != 0)
        return kBadArgument;
    r->searching = true;
    r->delivered = false;
    return kOk;
}

__declspec(dllexport) int WINAPI ZR_Rd_FindNextCard(void* handle, void* record)
{
    Reader* r = AsReader(handle);
    if (r == nullptr)
        return kBadHandle;
    if (record == nullptr) {
        r->searching = false;
        return kOk;
    }
    if (!r->searching || !r->hasCard || r->delivered)
        return kNoCard;
    unsigned char* out = static_cast<unsigned char*>(record);
    const uint32_t field = 0x11223344;  // a field of the record the component does not read
    std::memcpy(out, &field, sizeof(field));
    std::memcpy(out + 4, r->card, sizeof(r->card));
    r->delivered = true;
    return kOk;
}

__declspec(dllexport) int WINAPI ZP_CloseHandle(void* handle)
{
    Reader* r = AsReader(handle);
    if (r == nullptr)
        return kBadHandle;
    r->magic = 0;
    delete r;
    return kOk;
}

} // extern "C"
