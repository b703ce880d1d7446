#include "shell/ClientHelper.h"

#include <olectl.h>
#include <cstdlib>
#include <ctime>

#include "acquire/Camera.h"
#include "acquire/VideoGraphDlg.h"
#include "acquire/Twain.h"
#include "framework/AfxException.h"
#include "framework/Module.h"
#include "picture/PictureCommands.h"
#include "picture/SelectPicturePartDlg.h"
#include "picture/WorkFolder.h"
#include "picture/WorkNames.h"
#include "reading/ReadHodTestDlg.h"
#include "reading/ReadKeyDlg.h"
#include "shell/CallFrame.h"
#include "shell/SiteZone.h"
#include "framework/ErrorReport.h"

namespace {

CClientHelper* g_pCurrentObject = nullptr;
UINT_PTR g_cleanupTimerId = 0;
ITypeInfo* g_pTypeInfo = nullptr;
volatile LONG g_lockCount = 0;

const UINT kCleanupPeriodMs = 86400000;
const char kEditorKey[] = "Applications\\PhotoEd.exe\\shell\\open\\command";

void CALLBACK CleanupTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    CleanupTimerTick();
}

} // namespace

void CleanupTimerTick()
{
    try {
        if (g_pCurrentObject != nullptr)
            CleanWorkFolder();
    } catch (CException* e) {
        LogMfcException(e);
    } catch (const _com_error& error) {
        LogComError(error, __FILE__, __LINE__);
    } catch (...) {
        DWORD err = GetLastError();
        LogHResult(err ? HRESULT_FROM_WIN32(err) : E_FAIL, "", __FILE__, __LINE__);
    }
}

namespace {

// Window handles travel through the interface as 32-bit values.
HWND WindowFromLong(LONG value)
{
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(value));
}

std::string NarrowName(BSTR bstr)
{
    return bstr ? ToAnsi(std::wstring(bstr, SysStringLen(bstr))) : std::string();
}

// An enumerator over no connection points.
class CEmptyConnectionPointEnum final : public IEnumConnectionPoints
{
public:
    // Any live object of the module keeps the module loaded.
    CEmptyConnectionPointEnum() { ModuleLock(); }
    ~CEmptyConnectionPointEnum() { ModuleUnlock(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumConnectionPoints) {
            *ppv = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_cRef);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP Next(ULONG, IConnectionPoint** ppCP, ULONG* pFetched) override
    {
        if (ppCP == nullptr)
            return E_POINTER;
        if (pFetched != nullptr)
            *pFetched = 0;
        return S_FALSE;
    }
    STDMETHODIMP Skip(ULONG n) override { return n == 0 ? S_OK : S_FALSE; }
    STDMETHODIMP Reset() override { return S_OK; }
    STDMETHODIMP Clone(IEnumConnectionPoints** ppEnum) override
    {
        if (ppEnum == nullptr)
            return E_POINTER;
        *ppEnum = new (std::nothrow) CEmptyConnectionPointEnum();
        if (*ppEnum == nullptr)
            return E_OUTOFMEMORY;
        (*ppEnum)->AddRef();
        return S_OK;
    }

private:
    LONG m_cRef = 0;
};

} // namespace

CClientHelper* CurrentClientHelper()
{
    return g_pCurrentObject;
}

UINT_PTR CleanupTimerId()
{
    return g_cleanupTimerId;
}

void DestroyScannerObject()
{
    DestroyTwainSession();
}

void ModuleLock()
{
    InterlockedIncrement(&g_lockCount);
}

void ModuleUnlock()
{
    InterlockedDecrement(&g_lockCount);
}

LONG ModuleLockCount()
{
    return g_lockCount;
}

HRESULT GetClientHelperTypeInfo(ITypeInfo** ppTypeInfo)
{
    if (ppTypeInfo == nullptr)
        return E_POINTER;
    *ppTypeInfo = nullptr;
    if (g_pTypeInfo == nullptr) {
        ITypeLib* pLib = nullptr;
        HRESULT hr = LoadRegTypeLib(LIBID_TRELCLIENTHELPERLib, 1, 0, LOCALE_NEUTRAL, &pLib);
        if (FAILED(hr)) {
            std::wstring path = ModulePathW();
            hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &pLib);
        }
        if (FAILED(hr))
            return hr;
        ITypeInfo* pInfo = nullptr;
        hr = pLib->GetTypeInfoOfGuid(IID_IClientHelper, &pInfo);
        pLib->Release();
        if (FAILED(hr))
            return hr;
        if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&g_pTypeInfo), pInfo,
                                              nullptr) != nullptr)
            pInfo->Release();
    }
    g_pTypeInfo->AddRef();
    *ppTypeInfo = g_pTypeInfo;
    return S_OK;
}

void ReleaseCachedTypeInfo()
{
    if (g_pTypeInfo != nullptr) {
        g_pTypeInfo->Release();
        g_pTypeInfo = nullptr;
    }
}

// ---- life cycle ----

HRESULT CClientHelper::CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pOuter != nullptr && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    CClientHelper* p = new (std::nothrow) CClientHelper(pOuter);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    // Count from zero: the object lives as long as the interface handed out.
    HRESULT hr = p->m_inner.QueryInterface(riid, ppv);
    if (FAILED(hr))
        delete p;
    return hr;
}

CClientHelper::CClientHelper(IUnknown* pOuter) : m_inner(this), m_pControlling(pOuter ? pOuter : &m_inner)
{
    ModuleLock();
    try {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        LookUpPhotoEditor();
        CleanWorkFolder();
        g_pCurrentObject = this;
        // The newest object's timer replaces the stored one. The older timer is stopped rather
        // than left running unrecorded: nothing could stop it any more, and a tick after the
        // module is unloaded would call into freed code. Every tick acts on the current object,
        // so one timer does the whole job.
        if (g_cleanupTimerId != 0)
            KillTimer(nullptr, g_cleanupTimerId);
        g_cleanupTimerId = SetTimer(nullptr, 0, kCleanupPeriodMs, CleanupTimerProc);
    } catch (CException* e) {
        LogMfcException(e);
    } catch (const _com_error& error) {
        LogComError(error, __FILE__, __LINE__);
    } catch (...) {
        DWORD err = GetLastError();
        LogHResult(err ? HRESULT_FROM_WIN32(err) : E_FAIL, "", __FILE__, __LINE__);
    }
}

CClientHelper::~CClientHelper()
{
    if (g_cleanupTimerId != 0) {
        KillTimer(nullptr, g_cleanupTimerId);
        g_cleanupTimerId = 0;
    }
    g_pCurrentObject = nullptr;
    DestroyScannerObject();
    if (m_pSite != nullptr)
        m_pSite->Release();
    ModuleUnlock();
}

std::string CClientHelper::GetWorkFolder() const
{
    return ::GetWorkFolder();
}

bool CClientHelper::LookUpPhotoEditor()
{
    m_strEditorCommand.clear();
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kEditorKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    char buffer[1024] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    LONG rc = RegQueryValueExA(hKey, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    m_strEditorCommand = EditorCommandFromValue(buffer, sizeof(buffer), size);
    return true;
}

// ---- IUnknown ----

STDMETHODIMP CClientHelper::CInnerUnknown::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown)
        *ppv = static_cast<IUnknown*>(this);
    else if (riid == IID_IClientHelper || riid == IID_IDispatch)
        *ppv = static_cast<IClientHelper*>(m_pThis);
    else if (riid == IID_ISupportErrorInfo)
        *ppv = static_cast<ISupportErrorInfo*>(m_pThis);
    else if (riid == IID_IConnectionPointContainer)
        *ppv = static_cast<IConnectionPointContainer*>(m_pThis);
    else if (riid == IID_IObjectWithSite)
        *ppv = static_cast<IObjectWithSite*>(m_pThis);
    else
        return E_NOINTERFACE;
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CClientHelper::CInnerUnknown::AddRef()
{
    return InterlockedIncrement(&m_pThis->m_cRef);
}

STDMETHODIMP_(ULONG) CClientHelper::CInnerUnknown::Release()
{
    LONG n = InterlockedDecrement(&m_pThis->m_cRef);
    if (n == 0)
        delete m_pThis;
    return n;
}

STDMETHODIMP CClientHelper::QueryInterface(REFIID riid, void** ppv)
{
    return m_pControlling->QueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CClientHelper::AddRef()
{
    return m_pControlling->AddRef();
}

STDMETHODIMP_(ULONG) CClientHelper::Release()
{
    return m_pControlling->Release();
}

// ---- IObjectWithSite ----

STDMETHODIMP CClientHelper::SetSite(IUnknown* pUnkSite)
{
    if (pUnkSite != nullptr)
        pUnkSite->AddRef();
    if (m_pSite != nullptr)
        m_pSite->Release();
    m_pSite = pUnkSite;
    return S_OK;
}

STDMETHODIMP CClientHelper::GetSite(REFIID riid, void** ppvSite)
{
    if (ppvSite == nullptr)
        return E_POINTER;
    *ppvSite = nullptr;
    if (m_pSite == nullptr)
        return E_FAIL;
    return m_pSite->QueryInterface(riid, ppvSite);
}

// ---- ISupportErrorInfo, IConnectionPointContainer ----

STDMETHODIMP CClientHelper::InterfaceSupportsErrorInfo(REFIID riid)
{
    return riid == IID_IClientHelper ? S_OK : S_FALSE;
}

STDMETHODIMP CClientHelper::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CEmptyConnectionPointEnum();
    if (*ppEnum == nullptr)
        return E_OUTOFMEMORY;
    (*ppEnum)->AddRef();
    return S_OK;
}

STDMETHODIMP CClientHelper::FindConnectionPoint(REFIID, IConnectionPoint** ppCP)
{
    if (ppCP == nullptr)
        return E_POINTER;
    *ppCP = nullptr;
    return CONNECT_E_NOCONNECTION;
}

// ---- IDispatch ----

STDMETHODIMP CClientHelper::GetTypeInfoCount(UINT* pctinfo)
{
    if (pctinfo == nullptr)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

STDMETHODIMP CClientHelper::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo)
{
    if (ppTInfo == nullptr)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return GetClientHelperTypeInfo(ppTInfo);
}

STDMETHODIMP CClientHelper::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* pInfo = nullptr;
    HRESULT hr = GetClientHelperTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    hr = pInfo->GetIDsOfNames(rgszNames, cNames, rgDispId);
    pInfo->Release();
    return hr;
}

STDMETHODIMP CClientHelper::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* pInfo = nullptr;
    HRESULT hr = GetClientHelperTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    hr = pInfo->Invoke(static_cast<IClientHelper*>(this), dispIdMember, wFlags, pDispParams, pVarResult,
                       pExcepInfo, puArgErr);
    pInfo->Release();
    return hr;
}

// ---- IClientHelper ----

STDMETHODIMP CClientHelper::ReadKey(BSTR strPortNr, IDispatch* pDispUI, LONG hParentWnd, LONG* piRes)
{
    if (piRes == nullptr)
        return E_POINTER;
    *piRes = 0;  // a failed call never leaves the caller's old value behind
    return RunInFrame(L"CClientHelper::ReadKey()",
                      [&] { ReadKeyBody(NarrowName(strPortNr), pDispUI, WindowFromLong(hParentWnd), piRes); });
}

STDMETHODIMP CClientHelper::SelectPicturePart(LONG hParentWnd, BSTR strFileName, VARIANT_BOOL bCopyRes, LONG iSizeX,
                                              LONG iSizeY, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;
    return RunInFrame(L"CClientHelper::SelectPicturePart()", [&] {
        RequireTrustedPage(m_pSite, "SelectPicturePart");
        std::string result = SelectPicturePartBody(WindowFromLong(hParentWnd), NarrowName(strFileName),
                                                   bCopyRes != VARIANT_FALSE, iSizeX, iSizeY);
        if (!result.empty())
            *pstrRes = SysAllocString(FromAnsi(result).c_str());
    });
}

STDMETHODIMP CClientHelper::ReleasePicture(LONG iSize, LONG iQuality, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;  // a failed call never leaves the caller's old value behind
    return RunInFrame(L"CClientHelper::ReleasePicture()", [&] {
        RequireTrustedPage(m_pSite, "ReleasePicture");
        *pstrRes = SysAllocString(FromAnsi(ReleasePictureBody(iSize, iQuality, 1)).c_str());
    });
}

STDMETHODIMP CClientHelper::ResizePicture(BSTR strFileName, LONG iDefWidth, LONG iDefHeight, VARIANT_BOOL bCopyRes,
                                          BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;
    return RunInFrame(L"CClientHelper::ResizePicture()", [&] {
        RequireTrustedPage(m_pSite, "ResizePicture");
        std::string result = ResizePictureBody(NarrowName(strFileName), iDefWidth, iDefHeight, bCopyRes != VARIANT_FALSE);
        if (!result.empty())
            *pstrRes = SysAllocString(FromAnsi(result).c_str());
    });
}

STDMETHODIMP CClientHelper::OpenPictureWith(LONG hParentWnd, BSTR bstrFileName, BSTR bstrProgName,
                                            VARIANT_BOOL bCopyRes, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;
    return RunInFrame(L"CClientHelper::OpenPictureWith()", [&] {
        RequireTrustedPage(m_pSite, "OpenPictureWith");
        std::string result = OpenPictureWithBody(WindowFromLong(hParentWnd), NarrowName(bstrFileName),
                                                 NarrowName(bstrProgName), bCopyRes != VARIANT_FALSE,
                                                 m_strEditorCommand);
        if (!result.empty())
            *pstrRes = SysAllocString(FromAnsi(result).c_str());
    });
}

STDMETHODIMP CClientHelper::PrintPicture(LONG hParentWnd, BSTR strFileName)
{
    return RunInFrame(L"CClientHelper::PrintPicture()", [&] {
        RequireTrustedPage(m_pSite, "PrintPicture");
        PrintPictureBody(WindowFromLong(hParentWnd), NarrowName(strFileName));
    });
}

STDMETHODIMP CClientHelper::EncodeFile(BSTR strFileName, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;  // a failed call never leaves the caller's old value behind
    return RunInFrame(L"CClientHelper::EncodeFile()", [&] {
        RequireTrustedPage(m_pSite, "EncodeFile");
        *pstrRes = EncodeFileBody(NarrowName(strFileName));
    });
}

STDMETHODIMP CClientHelper::ReleasePicture2(LONG iSize, LONG iQuality, LONG iFlash, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;  // a failed call never leaves the caller's old value behind
    return RunInFrame(L"CClientHelper::ReleasePicture()", [&] {
        RequireTrustedPage(m_pSite, "ReleasePicture2");
        *pstrRes = SysAllocString(FromAnsi(ReleasePictureBody(iSize, iQuality, iFlash)).c_str());
    });
}

STDMETHODIMP CClientHelper::ReadHodTest(BSTR strPortNr, IDispatch* pDispUI, LONG hParentWnd, LONG* piRes)
{
    if (piRes == nullptr)
        return E_POINTER;
    *piRes = 0;  // a failed call never leaves the caller's old value behind
    return RunInFrame(L"CClientHelper::ReadKey()",
                      [&] { ReadHodTestBody(NarrowName(strPortNr), pDispUI, WindowFromLong(hParentWnd), piRes); });
}

STDMETHODIMP CClientHelper::GetPictureFromCam(LONG hParentWnd, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;
    return RunInFrame(L"CClientHelper::GetPictureFromCam()", [&] {
        RequireTrustedPage(m_pSite, "GetPictureFromCam");
        const std::string result = GetPictureFromCamBody(WindowFromLong(hParentWnd), GetWorkFolder());
        if (!result.empty())
            *pstrRes = SysAllocString(FromAnsi(result).c_str());
    });
}

STDMETHODIMP CClientHelper::ScanPicture(LONG hParentWnd, VARIANT_BOOL bRotate, BSTR* pstrRes)
{
    if (pstrRes == nullptr)
        return E_POINTER;
    *pstrRes = nullptr;
    return RunInFrame(L"CClientHelper::ScanPicture()", [&] {
        RequireTrustedPage(m_pSite, "ScanPicture");
        const std::string result = ScanPictureBody(WindowFromLong(hParentWnd), bRotate != VARIANT_FALSE);
        *pstrRes = SysAllocString(FromAnsi(result).c_str());
        if (*pstrRes == nullptr)
            ThrowComError(E_OUTOFMEMORY, "SysAllocString()");
    });
}

STDMETHODIMP CClientHelper::SelectScanSource(LONG hParentWnd, VARIANT_BOOL* pbSelected)
{
    if (pbSelected == nullptr)
        return E_POINTER;
    *pbSelected = VARIANT_FALSE;  // a failed call never leaves the caller's old value behind
    return RunInFrame(L"CClientHelper::SelectScanSource()", [&] {
        *pbSelected = SelectScanSourceBody(WindowFromLong(hParentWnd)) ? VARIANT_TRUE : VARIANT_FALSE;
    });
}

STDMETHODIMP CClientHelper::DestroyScanWindow()
{
    DestroyScannerObject();
    return S_OK;
}
