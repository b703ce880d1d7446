#include "framework/AxHost.h"

#include <ocidl.h>
#include <olectl.h>
#include <new>

namespace {

// The control's site: client site, in-place site and a frame that offers no tool space or menus.
class CAxSite final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame
{
public:
    explicit CAxSite(HWND hHost) : m_hHost(hHost) {}

    HRESULT Create(const CLSID& clsid);
    void Close();
    void Resize();
    HRESULT Query(REFIID riid, void** ppv)
    {
        if (m_pObject == nullptr)
            return FAILED(m_hrCreate) ? m_hrCreate : E_UNEXPECTED;
        return m_pObject->QueryInterface(riid, ppv);
    }
    HWND ControlWindow()
    {
        HWND hWnd = nullptr;
        if (m_pInPlace == nullptr || FAILED(m_pInPlace->GetWindow(&hWnd)))
            return nullptr;
        return hWnd;
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *ppv = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *ppv = static_cast<IOleInPlaceSite*>(this);
        else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
            *ppv = static_cast<IOleInPlaceFrame*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = InterlockedDecrement(&m_cRef);
        if (n == 0)
            delete this;
        return n;
    }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** ppmk) override
    {
        if (ppmk != nullptr)
            *ppmk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** ppContainer) override
    {
        if (ppContainer != nullptr)
            *ppContainer = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow (of the in-place site and the frame alike)
    STDMETHODIMP GetWindow(HWND* phwnd) override
    {
        if (phwnd == nullptr)
            return E_POINTER;
        *phwnd = m_hHost;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                  LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO lpFrameInfo) override
    {
        if (ppFrame == nullptr || ppDoc == nullptr || lprcPosRect == nullptr || lprcClipRect == nullptr)
            return E_POINTER;
        *ppFrame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *ppDoc = nullptr;
        GetClientRect(m_hHost, lprcPosRect);
        *lprcClipRect = *lprcPosRect;
        if (lpFrameInfo != nullptr) {
            lpFrameInfo->fMDIApp = FALSE;
            lpFrameInfo->hwndFrame = GetAncestor(m_hHost, GA_ROOT);
            lpFrameInfo->haccel = nullptr;
            lpFrameInfo->cAccelEntries = 0;
        }
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT lprcPosRect) override
    {
        if (m_pInPlace != nullptr && lprcPosRect != nullptr)
            m_pInPlace->SetObjectRects(lprcPosRect, lprcPosRect);
        return S_OK;
    }

    // IOleInPlaceUIWindow, IOleInPlaceFrame: a dialog has no tool space, menus or status line.
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

private:
    ~CAxSite() = default;

    LONG m_cRef = 1;
    HWND m_hHost;
    IOleObject* m_pObject = nullptr;
    IOleInPlaceObject* m_pInPlace = nullptr;
    HRESULT m_hrCreate = E_UNEXPECTED;
};

HRESULT CAxSite::Create(const CLSID& clsid)
{
    IOleObject* pObject = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  reinterpret_cast<void**>(&pObject));
    if (SUCCEEDED(hr)) {
        DWORD misc = 0;
        if (FAILED(pObject->GetMiscStatus(DVASPECT_CONTENT, &misc)))
            misc = 0;
        const bool siteFirst = (misc & OLEMISC_SETCLIENTSITEFIRST) != 0;
        if (siteFirst)
            hr = pObject->SetClientSite(this);
        IPersistStreamInit* pInit = nullptr;
        if (SUCCEEDED(hr) && SUCCEEDED(pObject->QueryInterface(IID_IPersistStreamInit,
                                                               reinterpret_cast<void**>(&pInit)))) {
            hr = pInit->InitNew();
            if (hr == E_NOTIMPL)
                hr = S_OK;
            pInit->Release();
        }
        if (SUCCEEDED(hr) && !siteFirst)
            hr = pObject->SetClientSite(this);
        RECT rc;
        GetClientRect(m_hHost, &rc);
        if (SUCCEEDED(hr))
            hr = pObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, m_hHost, &rc);
        if (SUCCEEDED(hr))
            hr = pObject->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&m_pInPlace));
        if (SUCCEEDED(hr)) {
            m_pInPlace->SetObjectRects(&rc, &rc);
            m_pObject = pObject;
            pObject = nullptr;
        } else {
            pObject->SetClientSite(nullptr);
            pObject->Close(OLECLOSE_NOSAVE);
            pObject->Release();
        }
    }
    m_hrCreate = hr;
    return hr;
}

void CAxSite::Close()
{
    if (m_pInPlace != nullptr) {
        m_pInPlace->InPlaceDeactivate();
        m_pInPlace->Release();
        m_pInPlace = nullptr;
    }
    if (m_pObject != nullptr) {
        IOleObject* pObject = m_pObject;
        m_pObject = nullptr;
        pObject->Close(OLECLOSE_NOSAVE);
        pObject->SetClientSite(nullptr);
        pObject->Release();
    }
}

void CAxSite::Resize()
{
    if (m_pInPlace == nullptr)
        return;
    RECT rc;
    GetClientRect(m_hHost, &rc);
    m_pInPlace->SetObjectRects(&rc, &rc);
}

CAxSite* SiteOf(HWND hWnd)
{
    return reinterpret_cast<CAxSite*>(GetWindowLongPtrW(hWnd, 0));
}

LRESULT CALLBACK AxHostProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        CAxSite* site = new (std::nothrow) CAxSite(hWnd);
        if (site == nullptr)
            return -1;
        SetWindowLongPtrW(hWnd, 0, reinterpret_cast<LONG_PTR>(site));
        // A control that cannot be created leaves the host empty: the dialog asks for the control
        // and reports why it is missing, rather than failing to open without a word.
        const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        CLSID clsid;
        if (cs->lpszName == nullptr || FAILED(CLSIDFromString(const_cast<LPOLESTR>(cs->lpszName), &clsid)))
            clsid = CLSID_NULL;
        site->Create(clsid);
        return 0;
    }
    case WM_SIZE:
        if (CAxSite* site = SiteOf(hWnd))
            site->Resize();
        return 0;
    case WM_ERASEBKGND:
        // The control's window covers the host: erasing beneath it would only cost time.
        if (CAxSite* site = SiteOf(hWnd))
            if (site->ControlWindow() != nullptr)
                return 1;
        break;
    case WM_SETFOCUS:
        if (CAxSite* site = SiteOf(hWnd))
            if (HWND hControl = site->ControlWindow())
                SetFocus(hControl);
        return 0;
    case WM_DESTROY:
        if (CAxSite* site = SiteOf(hWnd))
            site->Close();
        return 0;
    case WM_NCDESTROY:
        if (CAxSite* site = SiteOf(hWnd)) {
            SetWindowLongPtrW(hWnd, 0, 0);
            site->Release();
        }
        break;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

} // namespace

bool AxHostRegisterClass(HINSTANCE hInstance)
{
    WNDCLASSW existing;
    if (GetClassInfoW(hInstance, kAxHostClass, &existing))
        return true;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = AxHostProc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    wc.lpszClassName = kAxHostClass;
    return RegisterClassW(&wc) != 0;
}

HRESULT AxHostQueryControl(HWND hHost, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    CAxSite* site = hHost != nullptr ? SiteOf(hHost) : nullptr;
    if (site == nullptr)
        return E_HANDLE;
    return site->Query(riid, ppv);
}

HWND AxHostControlWindow(HWND hHost)
{
    CAxSite* site = hHost != nullptr ? SiteOf(hHost) : nullptr;
    return site != nullptr ? site->ControlWindow() : nullptr;
}
