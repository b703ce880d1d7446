/* The port host's methods the component calls at fixed virtual-table slots (the host was not
   built with us): checked through the C form of the interfaces, where the table is a struct. */
#define CINTERFACE
#define COBJMACROS
#include <stddef.h>
#include <windows.h>
#include "PortHostProxy_h.h"

#define SLOT(vtbl, method, n) _Static_assert(offsetof(vtbl, method) == (n) * sizeof(void*), #vtbl "::" #method " slot")
SLOT(IPortHostProxyVtbl, OpenPort, 7);
SLOT(IPortHostProxyVtbl, GetHeldPorts, 10);
SLOT(IPortListVtbl, get_Item, 8);
SLOT(IPortListVtbl, get_Count, 9);
SLOT(IPortObjectVtbl, ReadPortKey, 15);
SLOT(IPortValueVtbl, GetValue, 14);
