#include "picture/ImageViewer.h"

#include <comdef.h>
#include <cstring>

#include "framework/AxHost.h"
#include "framework/ErrorReport.h"
#include "framework/Module.h"

CImageViewer::~CImageViewer()
{
    Detach();
}

void CImageViewer::Attach(HWND hContainer)
{
    Detach();
    m_hWnd = hContainer;
}

void CImageViewer::Detach()
{
    if (m_pDispatch != nullptr) {
        m_pDispatch->Release();
        m_pDispatch = nullptr;
    }
    m_hWnd = nullptr;
}

IDispatch* CImageViewer::Dispatch()
{
    if (m_pDispatch != nullptr)
        return m_pDispatch;
    HRESULT hr = m_hWnd != nullptr ? AxHostQueryControl(m_hWnd, IID_IDispatch, reinterpret_cast<void**>(&m_pDispatch))
                                   : E_HANDLE;
    if (FAILED(hr) || m_pDispatch == nullptr) {
        m_pDispatch = nullptr;
        if (SUCCEEDED(hr))
            hr = E_NOINTERFACE;
        ThrowComError(hr, (ComErrorMessageText(hr) +
                           "\r\nCImageViewer: the picture selection control cannot be created")
                              .c_str());
    }
    return m_pDispatch;
}

long CImageViewer::Invoke(DISPID id, WORD flags, VARIANT* args, UINT count, const char* operation)
{
    IDispatch* pDispatch = Dispatch();
    // The dispatch convention takes the arguments last first.
    VARIANT reversed[6];
    for (UINT i = 0; i < count; ++i)
        reversed[i] = args[count - 1 - i];
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {count ? reversed : nullptr, nullptr, count, 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep;
    std::memset(&excep, 0, sizeof(excep));
    UINT argErr = 0;
    HRESULT hr = pDispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                   flags == DISPATCH_PROPERTYGET ? &result : nullptr, &excep, &argErr);
    if (hr == DISP_E_EXCEPTION && excep.pfnDeferredFillIn != nullptr)
        excep.pfnDeferredFillIn(&excep);
    std::string text;
    if (hr == DISP_E_EXCEPTION) {
        if (excep.bstrDescription != nullptr)
            text = ToAnsi(std::wstring(excep.bstrDescription, SysStringLen(excep.bstrDescription)));
        if (FAILED(excep.scode))
            hr = excep.scode;
        else if (excep.wCode != 0)
            hr = E_FAIL;
    }
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    if (FAILED(hr)) {
        VariantClear(&result);
        if (text.empty())
            text = ComErrorMessageText(hr);
        ThrowComError(hr, (text + "\r\nCImageViewer::" + operation + "()").c_str());
    }
    long value = 0;
    if (flags == DISPATCH_PROPERTYGET) {
        VARIANT converted;
        VariantInit(&converted);
        hr = VariantChangeType(&converted, &result, 0, VT_I4);
        VariantClear(&result);
        if (FAILED(hr))
            ThrowComError(hr, (ComErrorMessageText(hr) + "\r\nCImageViewer::" + operation + "()").c_str());
        value = V_I4(&converted);
    }
    return value;
}

namespace {

VARIANT Long(long value)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

} // namespace

void CImageViewer::SetFileName(const std::string& fileName)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(FromAnsi(fileName).c_str());
    if (V_BSTR(&v) == nullptr)
        ThrowComError(E_OUTOFMEMORY, "Not enough memory for the file name");
    try {
        Invoke(1, DISPATCH_PROPERTYPUT, &v, 1, "SetFileName");
    } catch (...) {
        VariantClear(&v);
        throw;
    }
    VariantClear(&v);
}

long CImageViewer::GetPictureWidth()
{
    return Invoke(2, DISPATCH_PROPERTYGET, nullptr, 0, "GetPictureWidth");
}

long CImageViewer::GetPictureHeight()
{
    return Invoke(3, DISPATCH_PROPERTYGET, nullptr, 0, "GetPictureHeight");
}

void CImageViewer::ApplySelection(long sizeX, long sizeY, long left, long top, long right, long bottom)
{
    VARIANT args[6] = {Long(sizeX), Long(sizeY), Long(left), Long(top), Long(right), Long(bottom)};
    Invoke(4, DISPATCH_METHOD, args, 6, "ApplySelection");
}

void CImageViewer::SetSelection(long left, long top, long right, long bottom, double ratio, bool keepRatio)
{
    VARIANT args[6] = {Long(left), Long(top), Long(right), Long(bottom)};
    VariantInit(&args[4]);
    V_VT(&args[4]) = VT_R8;
    V_R8(&args[4]) = ratio;
    VariantInit(&args[5]);
    V_VT(&args[5]) = VT_BOOL;
    V_BOOL(&args[5]) = keepRatio ? VARIANT_TRUE : VARIANT_FALSE;
    Invoke(5, DISPATCH_METHOD, args, 6, "SetSelection");
}

long CImageViewer::GetSelLeft()
{
    return Invoke(6, DISPATCH_PROPERTYGET, nullptr, 0, "GetSelLeft");
}

long CImageViewer::GetSelTop()
{
    return Invoke(7, DISPATCH_PROPERTYGET, nullptr, 0, "GetSelTop");
}

long CImageViewer::GetSelRight()
{
    return Invoke(8, DISPATCH_PROPERTYGET, nullptr, 0, "GetSelRight");
}

long CImageViewer::GetSelBottom()
{
    return Invoke(9, DISPATCH_PROPERTYGET, nullptr, 0, "GetSelBottom");
}
