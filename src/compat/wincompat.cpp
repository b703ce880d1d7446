// The native build's stand-ins for the few system calls the portable core makes.
#include "compat/wincompat.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError()
{
    return t_lastError;
}

void SetLastError(DWORD err)
{
    t_lastError = err;
}
