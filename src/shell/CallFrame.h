// The frame every automation method runs in: the component's own resources and activation
// context for the call, then one exception boundary that turns whatever escapes the body into an
// HRESULT with error information. Bodies raise; they never return error codes.
#pragma once
#include <windows.h>
#include <comdef.h>

#include "framework/AfxException.h"
#include "framework/ErrorReport.h"
#include "framework/Undo.h"

#include "TrelClientHelper_h.h"

// Activates the module's activation context (manifest 24/2) for the scope; restores it on exit.
class CModuleStateScope
{
public:
    CModuleStateScope();
    ~CModuleStateScope();
    CModuleStateScope(const CModuleStateScope&) = delete;
    CModuleStateScope& operator=(const CModuleStateScope&) = delete;

private:
    ULONG_PTR m_cookie = 0;
    bool m_active = false;
};

// Created at module load from the manifest resource, released at unload.
void CreateModuleActivationContext(HINSTANCE hInstance);
void ReleaseModuleActivationContext();

template <class Body>
HRESULT RunInFrame(const wchar_t* context, Body&& body)
{
    CModuleStateScope state;
    try {
        body();
        return S_OK;
    } catch (CException* e) {
        return ReportMfcException(CLSID_ClientHelper, GUID_NULL, e, context);
    } catch (const _com_error& error) {
        return ReportComError(CLSID_ClientHelper, GUID_NULL, error, context);
    } catch (...) {
        return ReportComError(CLSID_ClientHelper, GUID_NULL, _com_error(E_FAIL), context);
    }
}
