#include "reading/CardReader.h"

// The card-reader library is not supported in this version: every port goes to the serial route.
bool CardReaderInitialize()
{
    return false;
}

void CardReaderFinalize() {}

int ReadCardNumber(const std::string&, uint32_t& number)
{
    number = 0;
    return -1;
}
