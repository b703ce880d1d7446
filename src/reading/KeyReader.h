// The serial route of a key read: one poll of the reader line behind an open port, for the three
// kinds of reader that may hang on it (ASCII-line reader, 1-Wire adapter, packet reader).
#pragma once
#include <cstdint>

class CCOMFile;

class CTrelKeyReader
{
public:
    explicit CTrelKeyReader(CCOMFile* port);  // keeps the port's line settings to restore them
    virtual ~CTrelKeyReader();                // restores the line and lets it settle; never throws
    CTrelKeyReader(const CTrelKeyReader&) = delete;
    CTrelKeyReader& operator=(const CTrelKeyReader&) = delete;

    // One poll: the key number, or 0 when no key was read. Raises the port's failures and
    // "Key Not Found" / "Wrong character in received packet!".
    uint32_t ReadKeyNumber();
};
