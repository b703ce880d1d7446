// The scriptable ClientHelper object.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <string>

#include "TrelClientHelper_h.h"

class CClientHelper : public ISupportErrorInfo,
                      public IConnectionPointContainer,
                      public IObjectWithSite,
                      public IClientHelper
{
public:
    // Creates an object, stand-alone or aggregated by pOuter (which must ask for IUnknown).
    static HRESULT CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv);

    // IUnknown, delegating to the controlling unknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;
    virtual ~CClientHelper();

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IObjectWithSite: a web browser that hosts the object tells it the page it is on.
    STDMETHODIMP SetSite(IUnknown* pUnkSite) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppvSite) override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // IClientHelper
    STDMETHODIMP ReadKey(BSTR strPortNr, IDispatch* pDispUI, LONG hParentWnd, LONG* piRes) override;
    STDMETHODIMP SelectPicturePart(LONG hParentWnd, BSTR strFileName, VARIANT_BOOL bCopyRes, LONG iSizeX,
                                   LONG iSizeY, BSTR* pstrRes) override;
    STDMETHODIMP ReleasePicture(LONG iSize, LONG iQuality, BSTR* pstrRes) override;
    STDMETHODIMP ResizePicture(BSTR strFileName, LONG iDefWidth, LONG iDefHeight, VARIANT_BOOL bCopyRes,
                               BSTR* pstrRes) override;
    STDMETHODIMP OpenPictureWith(LONG hParentWnd, BSTR bstrFileName, BSTR bstrProgName, VARIANT_BOOL bCopyRes,
                                 BSTR* pstrRes) override;
    STDMETHODIMP PrintPicture(LONG hParentWnd, BSTR strFileName) override;
    STDMETHODIMP EncodeFile(BSTR strFileName, BSTR* pstrRes) override;
    STDMETHODIMP ReleasePicture2(LONG iSize, LONG iQuality, LONG iFlash, BSTR* pstrRes) override;
    STDMETHODIMP ReadHodTest(BSTR strPortNr, IDispatch* pDispUI, LONG hParentWnd, LONG* piRes) override;
    STDMETHODIMP GetPictureFromCam(LONG hParentWnd, BSTR* pstrRes) override;
    STDMETHODIMP ScanPicture(LONG hParentWnd, VARIANT_BOOL bRotate, BSTR* pstrRes) override;
    STDMETHODIMP SelectScanSource(LONG hParentWnd, VARIANT_BOOL* pbSelected) override;
    STDMETHODIMP DestroyScanWindow() override;

    // The registered photo editor's command; empty when none is registered.
    const std::string& EditorCommand() const { return m_strEditorCommand; }
    bool LookUpPhotoEditor();
    // The folder of the working picture files, ending with a backslash.
    std::string GetWorkFolder() const;

private:
    explicit CClientHelper(IUnknown* pOuter);

    // The object's own IUnknown: the one an aggregating outer object holds.
    class CInnerUnknown : public IUnknown
    {
    public:
        explicit CInnerUnknown(CClientHelper* pThis) : m_pThis(pThis) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        CClientHelper* m_pThis;
    };

    CInnerUnknown m_inner;
    IUnknown* m_pControlling;   // the outer object when aggregated, else m_inner
    LONG m_cRef = 0;
    std::string m_strEditorCommand;
    IUnknown* m_pSite = nullptr;  // the host's site, when it gave one
};

// Type information of IClientHelper from the registered type library (or the module's own
// TYPELIB resource when it is not registered), cached until the module unloads.
HRESULT GetClientHelperTypeInfo(ITypeInfo** ppTypeInfo);
void ReleaseCachedTypeInfo();

// Process-wide state shared by the objects.
CClientHelper* CurrentClientHelper();
UINT_PTR CleanupTimerId();
// One tick of the daily clean-up timer: cleans the working folder for the current object, if any.
void CleanupTimerTick();
// Destroys the process-wide scanner object, if there is one.
void DestroyScannerObject();

// Module lock count: objects alive plus LockServer(TRUE) calls.
void ModuleLock();
void ModuleUnlock();
LONG ModuleLockCount();
