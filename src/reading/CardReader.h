// The card-reader route of a key read: the outside card-reader library, loaded by name when first
// needed. A machine without it reads keys through the serial route only.
#pragma once
#include <cstdint>
#include <string>

// Initialises the library for a dialog; false also when the library is absent.
bool CardReaderInitialize();
void CardReaderFinalize();

// -1: the card reader cannot be used on this port item (the serial route goes on); 1: it
// answered, and number is the card's number, or 0 when no card was found.
int ReadCardNumber(const std::string& portItem, uint32_t& number);

// The COM name between the first "(" of a port item's display text and the first ")" after it;
// empty when there is none.
std::string CardReaderComName(const std::string& portItem);
// The card's number from the 16 number bytes of a card record: bytes 1 to 3 as one 24-bit value,
// its bit order reversed.
uint32_t CardNumberFromRecord(const uint8_t* numberBytes);

// The library's calls (each returns 0 for success). The Windows build loads them from the
// library by name; tests put their own in place.
class CCardReaderApi
{
public:
    virtual ~CCardReaderApi() = default;
    virtual int Initialize(int flags) = 0;
    virtual int Finalyze() = 0;
    virtual int GetVersion() = 0;
    virtual int RdOpen(void** handle, void* params, void* info) = 0;
    virtual int RdSearchCards(void* handle, int a, int b) = 0;
    virtual int RdFindNextCard(void* handle, void* record) = 0;
    virtual int CloseHandle(void* handle) = 0;
};

// The library in use: null when it is not installed. Loaded once per process.
CCardReaderApi* CurrentCardReader();
// Replaces it (null: no library) and returns the one in use before.
CCardReaderApi* UseCardReader(CCardReaderApi* api);

// Sizes of the blocks the open and search calls fill.
constexpr size_t kCardReaderParamsSize = 32;    // the library reads the first 25 bytes
constexpr size_t kCardReaderInfoSize = 32;
constexpr size_t kCardRecordSize = 20;          // a 32-bit field, then 16 bytes of card number
