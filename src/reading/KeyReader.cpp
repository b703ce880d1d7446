#include "reading/KeyReader.h"

#include "ports/COMFile.h"
#include "shell/ErrorReport.h"

// The serial route comes with the key reader protocol; until then a poll fails plainly.
CTrelKeyReader::CTrelKeyReader(CCOMFile*) {}

CTrelKeyReader::~CTrelKeyReader() = default;

uint32_t CTrelKeyReader::ReadKeyNumber()
{
    ThrowComError(E_NOTIMPL, "The serial key reader is not implemented in this version of the component");
}
