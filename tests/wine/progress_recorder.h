// The caller's progress object of a dialog-less read, as the Windows test programs use it.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <functional>
#include <string>
#include <vector>

#include "reading/ReaderProgress.h"

// Kept apart from the component's own progress window class of the same name.
namespace test_progress {

// The caller's progress object: records its calls; QueryContinue answers FALSE on its n-th call
// and runs a hook first (to change the line between attempts).
class CProgress : public IReaderProgress
{
public:
    std::vector<std::wstring> calls;
    int stopAt = 1000;
    std::function<void(int)> beforeAnswer;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IReaderProgress) {
            *ppv = static_cast<IReaderProgress*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ShowStart(BSTR text, LONG value) override
    {
        calls.push_back(L"start " + Text(text) + L" " + std::to_wstring(value));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShowEnd(BSTR text) override
    {
        calls.push_back(L"end " + Text(text));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryContinue(BSTR text, LONG value, VARIANT_BOOL* pContinue) override
    {
        calls.push_back(L"continue [" + Text(text) + L"] " + std::to_wstring(value));
        ++m_asked;
        if (beforeAnswer)
            beforeAnswer(m_asked);
        *pContinue = m_asked < stopAt ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    ULONG refs = 1;

private:
    static std::wstring Text(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
    int m_asked = 0;
};

} // namespace test_progress

using test_progress::CProgress;
