#include "ports/PortHost.h"

#include <oleauto.h>

#include "framework/Module.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

namespace {

using DispatchRef = _com_ptr_t<_com_IIID<IDispatch, &IID_IDispatch>>;
using ErrorInfoRef = _com_ptr_t<_com_IIID<IErrorInfo, &IID_IErrorInfo>>;
using CreateErrorInfoRef = _com_ptr_t<_com_IIID<ICreateErrorInfo, &IID_ICreateErrorInfo>>;

// More held ports than any machine has COM ports and converters: a host that reports more is
// broken, and asking on would keep the caller waiting on it.
const long kMaxHeldPorts = 1024;

// Raises a failed call on the host as a COM error whose error information carries the IID of the
// interface that failed, and a description made of the system text of the HRESULT and the call.
[[noreturn]] void ThrowHostError(HRESULT hr, REFIID iid, const char* call)
{
    std::wstring description = FromAnsi(ComErrorMessageText(hr) + "\r\n" + call);
    CreateErrorInfoRef create;
    ErrorInfoRef info;
    if (SUCCEEDED(CreateErrorInfo(&create)) && create) {
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        create->SetGUID(iid);
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    }
    throw _com_error(hr, info.Detach(), false);
}

void CheckHostCall(HRESULT hr, REFIID iid, const char* call)
{
    if (FAILED(hr))
        ThrowHostError(hr, iid, call);
}

// The interface asked for on what a host method returned. A result without it (or no result at
// all) stays null, so that the call made on it fails with E_POINTER; any other failure of the
// query is the host's and is raised as it stands.
template <class TPtr>
TPtr QueryResult(IUnknown* pResult, REFIID iid, const char* call)
{
    TPtr result;
    if (pResult == nullptr)
        return result;
    HRESULT hr = pResult->QueryInterface(iid, reinterpret_cast<void**>(&result));
    if (FAILED(hr) && hr != E_NOINTERFACE)
        ThrowHostError(hr, iid, call);
    return result;
}

void RequireInterface(IUnknown* p, REFIID iid, const char* call)
{
    if (p == nullptr)
        ThrowHostError(E_POINTER, iid, call);
}

// The host's IPortHostProxy, raising when the object under the host's name lacks it.
IPortHostProxy* RequireHost(const PortHostLink& link, const char* call)
{
    if (!link.host) {
        HRESULT hr = FAILED(link.hostQuery) && link.hostQuery != E_NOINTERFACE ? link.hostQuery : E_POINTER;
        ThrowHostError(hr, __uuidof(IPortHostProxy), call);
    }
    return link.host;
}

std::string NarrowName(BSTR bstr)
{
    if (bstr == nullptr)
        return std::string();
    return ToAnsi(std::wstring(bstr, SysStringLen(bstr)).c_str());
}

} // namespace

PortHostLink FindPortHost()
{
    PortHostLink link;
    if (FAILED(GetRunningObjectTable(0, &link.rot)) || !link.rot)
        return link;
    if (FAILED(CreateItemMoniker(L"!", L"TrelPortHostProxy", &link.moniker)) || !link.moniker)
        return link;
    if (link.rot->GetObject(link.moniker, &link.object) != S_OK || !link.object) {
        link.object = nullptr;
        return link;
    }
    link.hostQuery = link.object->QueryInterface(__uuidof(IPortHostProxy), reinterpret_cast<void**>(&link.host));
    if (FAILED(link.hostQuery))
        link.host = nullptr;
    return link;
}

void GetHeldPortNames(std::vector<std::string>& names)
{
    PortHostLink link = FindPortHost();
    if (!link.Found())
        return;
    IPortHostProxy* pHost = RequireHost(link, "IPortHostProxy::GetHeldPorts()");

    DispatchRef heldPorts;
    CheckHostCall(pHost->GetHeldPorts(&heldPorts), __uuidof(IPortHostProxy),
                  "IPortHostProxy::GetHeldPorts()");
    IPortListPtr list = QueryResult<IPortListPtr>(heldPorts, __uuidof(IPortList), "IPortList::Count()");
    RequireInterface(list, __uuidof(IPortList), "IPortList::Count()");

    // The count is asked again before every index: the host may change its list meanwhile.
    for (long index = 1;; ++index) {
        long count = 0;
        CheckHostCall(list->get_Count(&count), __uuidof(IPortList), "IPortList::Count()");
        if (count > kMaxHeldPorts)
            ThrowComError(E_FAIL, FormatText("The port host reports %ld held ports\r\nIPortList::Count()",
                                             count).c_str());
        if (index > count)
            break;
        _bstr_t name;
        CheckHostCall(list->get_Item(index, name.GetAddress()), __uuidof(IPortList),
                      "IPortList::Item()");
        names.push_back(NarrowName(name.GetBSTR()));
    }
}

bool ReadKeyThroughHost(const std::string& portName, long& keyNumber)
{
    PortHostLink link = FindPortHost();
    if (!link.Found())
        return false;
    IPortHostProxy* pHost = RequireHost(link, "IPortHostProxy::OpenPort()");

    _bstr_t mode(L"1");
    _bstr_t port(FromAnsi(portName).c_str());
    DispatchRef openedPort;
    CheckHostCall(pHost->OpenPort(mode, port, -1, &openedPort), __uuidof(IPortHostProxy),
                  "IPortHostProxy::OpenPort()");
    IPortObjectPtr portObject =
        QueryResult<IPortObjectPtr>(openedPort, __uuidof(IPortObject), "IPortObject::ReadPortKey()");
    RequireInterface(portObject, __uuidof(IPortObject), "IPortObject::ReadPortKey()");

    DispatchRef readResult;
    CheckHostCall(portObject->ReadPortKey(port, &readResult), __uuidof(IPortObject),
                  "IPortObject::ReadPortKey()");
    IPortValuePtr value = QueryResult<IPortValuePtr>(readResult, __uuidof(IPortValue), "IPortValue::GetValue()");
    RequireInterface(value, __uuidof(IPortValue), "IPortValue::GetValue()");

    long number = 0;
    CheckHostCall(value->GetValue(&number), __uuidof(IPortValue), "IPortValue::GetValue()");
    keyNumber = number;
    return true;
}
