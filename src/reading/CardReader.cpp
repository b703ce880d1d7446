#include "reading/CardReader.h"

#include <cstring>

#include "ports/PortDiscovery.h"

#ifdef _WIN32
#include <windows.h>
#include "framework/Abi.h"
#endif

namespace {

#ifdef _WIN32

// ZReader.dll, resolved by name. The library stays loaded for the life of the process.
class CZReaderLibrary : public CCardReaderApi
{
public:
    // Null when the library or any of its calls is missing.
    static CZReaderLibrary* Load()
    {
        HMODULE m = LoadLibraryA("ZReader.dll");
        if (m == nullptr)
            return nullptr;
        static CZReaderLibrary library;
        CZReaderLibrary& l = library;
        l.m_initialize = Resolve<InitializeFn>(m, "ZR_Initialize");
        l.m_finalyze = Resolve<NoArgFn>(m, "ZR_Finalyze");
        l.m_getVersion = Resolve<NoArgFn>(m, "ZR_GetVersion");
        l.m_open = Resolve<OpenFn>(m, "ZR_Rd_Open");
        l.m_search = Resolve<SearchFn>(m, "ZR_Rd_SearchCards");
        l.m_findNext = Resolve<FindNextFn>(m, "ZR_Rd_FindNextCard");
        l.m_close = Resolve<CloseFn>(m, "ZP_CloseHandle");
        if (!l.m_initialize || !l.m_finalyze || !l.m_getVersion || !l.m_open || !l.m_search || !l.m_findNext ||
            !l.m_close)
            return nullptr;
        return &l;
    }

    int Initialize(int flags) override { return m_initialize(flags); }
    int Finalyze() override { return m_finalyze(); }
    int GetVersion() override { return m_getVersion(); }
    int RdOpen(void** handle, void* params, void* info) override { return m_open(handle, params, info); }
    int RdSearchCards(void* handle, int a, int b) override { return m_search(handle, a, b); }
    int RdFindNextCard(void* handle, void* record) override { return m_findNext(handle, record); }
    int CloseHandle(void* handle) override { return m_close(handle); }

private:
    typedef int(WINAPI* InitializeFn)(int);
    typedef int(WINAPI* NoArgFn)();
    typedef int(WINAPI* OpenFn)(void**, void*, void*);
    typedef int(WINAPI* SearchFn)(void*, int, int);
    typedef int(WINAPI* FindNextFn)(void*, void*);
    typedef int(WINAPI* CloseFn)(void*);

    template <typename F>
    static F Resolve(HMODULE module, const char* name)
    {
        TREL_ASSERT_WINAPI(F);
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }

    InitializeFn m_initialize = nullptr;
    NoArgFn m_finalyze = nullptr;
    NoArgFn m_getVersion = nullptr;
    OpenFn m_open = nullptr;
    SearchFn m_search = nullptr;
    FindNextFn m_findNext = nullptr;
    CloseFn m_close = nullptr;
};

CCardReaderApi* LoadPlatformCardReader()
{
    return CZReaderLibrary::Load();
}

#else

// No card-reader library exists natively.
CCardReaderApi* LoadPlatformCardReader()
{
    return nullptr;
}

#endif

CCardReaderApi*& CardReaderSlot()
{
    static CCardReaderApi* api = LoadPlatformCardReader();
    return api;
}

} // namespace

CCardReaderApi* CurrentCardReader()
{
    return CardReaderSlot();
}

CCardReaderApi* UseCardReader(CCardReaderApi* api)
{
    CCardReaderApi* previous = CardReaderSlot();
    CardReaderSlot() = api;
    return previous;
}

bool CardReaderInitialize()
{
    CCardReaderApi* api = CurrentCardReader();
    return api != nullptr && api->Initialize(1) == 0;
}

void CardReaderFinalize()
{
    if (CCardReaderApi* api = CurrentCardReader())
        api->Finalyze();
}

namespace {

// The text between the first "(" of the item's display text and the first ")" after it.
bool FindComName(const std::string& portItem, std::string& comName)
{
    const std::string text = GetPortDisplayName(portItem);
    const size_t open = text.find('(');
    if (open == std::string::npos)
        return false;
    const size_t close = text.find(')', open + 1);
    if (close == std::string::npos)
        return false;
    comName = text.substr(open + 1, close - open - 1);
    return true;
}

} // namespace

std::string CardReaderComName(const std::string& portItem)
{
    std::string comName;
    FindComName(portItem, comName);
    return comName;
}

uint32_t CardNumberFromRecord(const uint8_t* numberBytes)
{
    const uint32_t v = numberBytes[1] | static_cast<uint32_t>(numberBytes[2]) << 8 |
                       static_cast<uint32_t>(numberBytes[3]) << 16;
    uint32_t reversed = 0;
    for (int i = 0; i < 24; ++i)
        if (v & (1u << i))
            reversed |= 1u << (23 - i);
    return reversed;
}

int ReadCardNumber(const std::string& portItem, uint32_t& number)
{
    number = 0;
    CCardReaderApi* api = CurrentCardReader();
    if (api == nullptr)
        return -1;
    std::string comName;
    if (!FindComName(portItem, comName))
        return -1;

    api->GetVersion();
    void* handle = nullptr;
    unsigned char params[kCardReaderParamsSize] = {};
    const uint32_t one = 1;
    const char* namePointer = comName.c_str();
    std::memcpy(params, &one, sizeof(one));
    std::memcpy(params + 4, &namePointer, sizeof(namePointer));
    unsigned char info[kCardReaderInfoSize] = {};
    if (api->RdOpen(&handle, params, info) != 0 || handle == nullptr) {
        // A library that claims failure yet hands out a handle still gets it back.
        if (handle != nullptr)
            api->CloseHandle(handle);
        return -1;
    }

    unsigned char record[kCardRecordSize] = {};
    bool found = false;
    if (api->RdSearchCards(handle, 1, 0) == 0 && api->RdFindNextCard(handle, record) == 0) {
        found = true;
        number = CardNumberFromRecord(record + 4);
        api->RdFindNextCard(handle, nullptr);
    }
    api->CloseHandle(handle);
    if (!found)
        number = 0;
    return 1;
}
