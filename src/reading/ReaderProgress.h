// The caller's progress object of a dialog-less read: an outside object that the component finds
// through QueryInterface on the IDispatch it was given.
#pragma once
#include <windows.h>
#include <oaidl.h>

// {D40284B5-24CC-45C8-962D-9EA2DD4CC2BF}
extern const IID IID_IReaderProgress;

struct IReaderProgress : public IDispatch
{
    virtual HRESULT STDMETHODCALLTYPE ShowStart(BSTR text, LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ShowEnd(BSTR text) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryContinue(BSTR text, LONG value, VARIANT_BOOL* pContinue) = 0;
};
