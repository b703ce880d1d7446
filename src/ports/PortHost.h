// Ports held by the port-host process, reached through the object it publishes in the running
// object table under "!TrelPortHostProxy". No host running is normal and silent; failures of a
// running host are raised as COM errors carrying the IID of the interface that failed.
#pragma once
#include <string>
#include <vector>

// Appends the names of the ports the host holds, in the host's order. Without a host the list is
// left as it was.
void GetHeldPortNames(std::vector<std::string>& names);

// Has the host read a key on a port it holds. Returns false when no host runs; keyNumber is then
// left untouched.
bool ReadKeyThroughHost(const std::string& portName, long& keyNumber);

#ifdef _WIN32
#include <windows.h>
#include <comdef.h>
#include "PortHostProxy_h.h"

_COM_SMARTPTR_TYPEDEF(IPortHostProxy, __uuidof(IPortHostProxy));
_COM_SMARTPTR_TYPEDEF(IPortList, __uuidof(IPortList));
_COM_SMARTPTR_TYPEDEF(IPortObject, __uuidof(IPortObject));
_COM_SMARTPTR_TYPEDEF(IPortValue, __uuidof(IPortValue));

// Everything taken on the way to the host, in the order it was taken; members are destroyed in
// reverse order, so the pointers are released in reverse order of acquisition.
struct PortHostLink {
    using RunningObjectTableRef = _com_ptr_t<_com_IIID<IRunningObjectTable, &IID_IRunningObjectTable>>;
    using MonikerRef = _com_ptr_t<_com_IIID<IMoniker, &IID_IMoniker>>;
    using UnknownRef = _com_ptr_t<_com_IIID<IUnknown, &IID_IUnknown>>;

    RunningObjectTableRef rot;
    MonikerRef moniker;
    UnknownRef object;  // what the table holds under the name
    IPortHostProxyPtr host;  // null when the object lacks IPortHostProxy
    HRESULT hostQuery = S_OK;  // how the query for IPortHostProxy ended

    bool Found() const { return object != nullptr; }
};

// Looks the host up. A failing table, moniker or lookup leaves the link empty, silently.
PortHostLink FindPortHost();
#endif
