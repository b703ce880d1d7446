#include "picture/PictureSelectCtl.h"

#include <ocidl.h>
#include <olectl.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "framework/Module.h"
#include "picture/Dib.h"
#include "picture/PixelOps.h"
#include "picture/SelectionGeometry.h"
#include "picture/ViewScale.h"
#include "resources/PictureSelectRes.h"

const CLSID CLSID_TrelPictureSelect = {0x7C3E5A90, 0x2D4B, 0x4F81, {0x96, 0xA7, 0xE8, 0xB1, 0xC4, 0xD2, 0xF3, 0x60}};

namespace {

volatile LONG g_liveObjects = 0;
const wchar_t kViewClass[] = L"TrelPictureSelectView";
const int kHandleSize = 7;       // the squares on the corners and edges, in view pixels
const int kGrabTolerance = 5;    // how near an edge the pointer counts as on it

// Mouse positions are signed: a captured pointer left or above the window gives negative ones.
int PointX(LPARAM lParam)
{
    return static_cast<short>(LOWORD(lParam));
}
int PointY(LPARAM lParam)
{
    return static_cast<short>(HIWORD(lParam));
}

struct DispName {
    const wchar_t* name;
    DISPID id;
};
const DispName kNames[] = {
    {L"FileName", DISPID_PS_FILENAME},     {L"PictureWidth", DISPID_PS_WIDTH}, {L"PictureHeight", DISPID_PS_HEIGHT},
    {L"ApplySelection", DISPID_PS_APPLY},  {L"SetSelection", DISPID_PS_SETSELECTION},
    {L"SelLeft", DISPID_PS_LEFT},          {L"SelTop", DISPID_PS_TOP},         {L"SelRight", DISPID_PS_RIGHT},
    {L"SelBottom", DISPID_PS_BOTTOM},
};

// A failure of a dispatch call, carried to the caller in its exception information.
struct DispFailure {
    HRESULT hr;
    std::wstring text;
};

class CPictureSelect final : public IDispatch,
                             public IOleObject,
                             public IOleInPlaceObject,
                             public IPersistStreamInit
{
public:
    CPictureSelect() { InterlockedIncrement(&g_liveObjects); }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = InterlockedDecrement(&m_cRef);
        if (n == 0)
            delete this;
        return n;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override
    {
        if (pctinfo == nullptr)
            return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override
    {
        if (ppTInfo != nullptr)
            *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* pSite) override;
    STDMETHODIMP GetClientSite(IOleClientSite** ppSite) override
    {
        if (ppSite == nullptr)
            return E_POINTER;
        *ppSite = m_pSite;
        if (m_pSite != nullptr)
            m_pSite->AddRef();
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override
    {
        InPlaceDeactivate();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** ppmk) override
    {
        if (ppmk != nullptr)
            *ppmk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** ppData) override
    {
        if (ppData != nullptr)
            *ppData = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* pSite, LONG, HWND hParent, LPCRECT pRect) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** ppEnum) override
    {
        if (ppEnum != nullptr)
            *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* pClsid) override { return GetClassID(pClsid); }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* ppszUserType) override
    {
        if (ppszUserType != nullptr)
            *ppszUserType = nullptr;
        return OLE_S_USEREG;
    }
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* pSize) override
    {
        if (aspect != DVASPECT_CONTENT || pSize == nullptr)
            return E_INVALIDARG;
        m_extent = *pSize;
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* pSize) override
    {
        if (aspect != DVASPECT_CONTENT || pSize == nullptr)
            return E_INVALIDARG;
        *pSize = m_extent;
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink*, DWORD* pConnection) override
    {
        if (pConnection != nullptr)
            *pConnection = 0;
        return OLE_E_ADVISENOTSUPPORTED;
    }
    STDMETHODIMP Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** ppEnum) override
    {
        if (ppEnum != nullptr)
            *ppEnum = nullptr;
        return OLE_E_ADVISENOTSUPPORTED;
    }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* pStatus) override
    {
        if (pStatus == nullptr)
            return E_POINTER;
        *pStatus = OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
                   OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleWindow, IOleInPlaceObject
    STDMETHODIMP GetWindow(HWND* phwnd) override
    {
        if (phwnd == nullptr)
            return E_POINTER;
        *phwnd = m_hWnd;
        return m_hWnd != nullptr ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override { return S_OK; }
    STDMETHODIMP SetObjectRects(LPCRECT pPos, LPCRECT) override
    {
        if (pPos == nullptr)
            return E_POINTER;
        if (m_hWnd != nullptr)
            MoveWindow(m_hWnd, pPos->left, pPos->top, pPos->right - pPos->left, pPos->bottom - pPos->top, TRUE);
        return S_OK;
    }
    STDMETHODIMP ReactivateAndUndo() override { return INPLACE_E_NOTUNDOABLE; }

    // IPersist, IPersistStreamInit: the control keeps no state of its own between sessions.
    STDMETHODIMP GetClassID(CLSID* pClsid) override
    {
        if (pClsid == nullptr)
            return E_POINTER;
        *pClsid = CLSID_TrelPictureSelect;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(LPSTREAM) override { return S_OK; }
    STDMETHODIMP Save(LPSTREAM, BOOL) override { return S_OK; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pSize) override
    {
        if (pSize == nullptr)
            return E_POINTER;
        pSize->QuadPart = 0;
        return S_OK;
    }
    STDMETHODIMP InitNew() override { return S_OK; }

private:
    ~CPictureSelect();

    // The dispatch members; failures are thrown as DispFailure.
    void PutFileName(const std::wstring& name);
    void Apply(long width, long height, long left, long top, long right, long bottom);
    void SetSelection(long left, long top, long right, long bottom, double ratio, bool keep);

    // The window.
    bool CreateViewWindow(HWND hParent, const RECT& rc);
    static LRESULT CALLBACK ViewProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void EnsureView();
    void FreeView();
    void Paint(HDC hdc, const RECT& client);
    SelHandle HitTest(int x, int y) const;
    void ChangeSelection(const SelRect& rect);
    // The selection follows the pointer at (x, y) of the view during a drag.
    void DragTo(int x, int y);
    void OnKey(WPARAM key);

    SelLimits Limits() const
    {
        SelLimits l;
        l.width = m_picture.Width();
        l.height = m_picture.Height();
        l.ratio = m_ratio;
        l.keepRatio = m_keepRatio;
        return l;
    }

    LONG m_cRef = 0;
    IOleClientSite* m_pSite = nullptr;
    IOleInPlaceSite* m_pInPlaceSite = nullptr;
    HWND m_hWnd = nullptr;
    SIZEL m_extent = {8890, 6218};  // 336 x 235 dialog units at the usual font, in HIMETRIC

    CDIB m_picture;                 // the whole picture in 24 bits
    std::wstring m_fileName;
    SelRect m_sel;
    double m_ratio = 0.0;
    bool m_keepRatio = false;

    // The picture scaled once to the window; rebuilt only when the window's size changes.
    HBITMAP m_hView = nullptr;
    ViewFit m_fit;
    HBITMAP m_hBuffer = nullptr;    // where a paint is composed before it goes to the screen
    int m_bufferW = 0, m_bufferH = 0;
    bool m_bPainted = false;        // the window has been painted once
    int m_viewClientW = -1, m_viewClientH = -1;

    bool m_dragging = false;
    SelHandle m_dragHandle = SEL_NONE;
    SelRect m_dragStart;
    int m_pressX = 0, m_pressY = 0;
};

CPictureSelect::~CPictureSelect()
{
    InPlaceDeactivate();
    if (m_pSite != nullptr)
        m_pSite->Release();
    FreeView();
    if (m_hBuffer != nullptr)
        DeleteObject(m_hBuffer);
    InterlockedDecrement(&g_liveObjects);
}

STDMETHODIMP CPictureSelect::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch)
        *ppv = static_cast<IDispatch*>(this);
    else if (riid == IID_IOleObject)
        *ppv = static_cast<IOleObject*>(this);
    else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceObject)
        *ppv = static_cast<IOleInPlaceObject*>(this);
    else if (riid == IID_IPersist || riid == IID_IPersistStreamInit)
        *ppv = static_cast<IPersistStreamInit*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---- dispatch ----

STDMETHODIMP CPictureSelect::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr)
        return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (i == 0) {
            for (const DispName& n : kNames)
                if (names[0] != nullptr && lstrcmpiW(names[0], n.name) == 0)
                    ids[0] = n.id;
        }
        if (ids[i] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

namespace {

// Argument i in call order (the caller stores them last first), converted to the type wanted.
HRESULT Argument(DISPPARAMS* params, UINT i, VARTYPE type, VARIANT& out, UINT* argErr)
{
    VariantInit(&out);
    const UINT index = params->cArgs - 1 - i;
    HRESULT hr = VariantChangeType(&out, &params->rgvarg[index], 0, type);
    if (FAILED(hr) && argErr != nullptr)
        *argErr = index;
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

void FillException(EXCEPINFO* excep, const DispFailure& failure)
{
    if (excep == nullptr)
        return;
    std::memset(excep, 0, sizeof(*excep));
    excep->bstrSource = SysAllocString(kPictureSelectProgId);
    excep->bstrDescription = SysAllocString(failure.text.c_str());
    excep->scode = failure.hr;
}

} // namespace

STDMETHODIMP CPictureSelect::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                    EXCEPINFO* excep, UINT* argErr)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (params == nullptr)
        return E_POINTER;
    const bool get = (flags & DISPATCH_PROPERTYGET) != 0;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    const bool method = (flags & DISPATCH_METHOD) != 0;
    if (params->cNamedArgs > (put ? 1u : 0u))
        return DISP_E_NONAMEDARGS;

    auto longResult = [&](long value) {
        if (result != nullptr) {
            VariantInit(result);
            V_VT(result) = VT_I4;
            V_I4(result) = value;
        }
        return S_OK;
    };
    try {
        switch (id) {
        case DISPID_PS_FILENAME:
            if (put) {
                if (params->cArgs != 1)
                    return DISP_E_BADPARAMCOUNT;
                VARIANT v;
                HRESULT hr = Argument(params, 0, VT_BSTR, v, argErr);
                if (FAILED(hr))
                    return hr;
                std::wstring name(V_BSTR(&v) ? V_BSTR(&v) : L"", V_BSTR(&v) ? SysStringLen(V_BSTR(&v)) : 0);
                VariantClear(&v);
                PutFileName(name);
                return S_OK;
            }
            if (get && params->cArgs == 0) {
                if (result != nullptr) {
                    VariantInit(result);
                    V_VT(result) = VT_BSTR;
                    V_BSTR(result) = SysAllocString(m_fileName.c_str());
                }
                return S_OK;
            }
            return params->cArgs != 0 ? DISP_E_BADPARAMCOUNT : DISP_E_MEMBERNOTFOUND;
        case DISPID_PS_WIDTH:
        case DISPID_PS_HEIGHT:
        case DISPID_PS_LEFT:
        case DISPID_PS_TOP:
        case DISPID_PS_RIGHT:
        case DISPID_PS_BOTTOM:
            if (!get || put)
                return DISP_E_MEMBERNOTFOUND;
            if (params->cArgs != 0)
                return DISP_E_BADPARAMCOUNT;
            switch (id) {
            case DISPID_PS_WIDTH:
                return longResult(m_picture.IsValid() ? m_picture.Width() : 0);
            case DISPID_PS_HEIGHT:
                return longResult(m_picture.IsValid() ? m_picture.Height() : 0);
            case DISPID_PS_LEFT:
                return longResult(m_sel.left);
            case DISPID_PS_TOP:
                return longResult(m_sel.top);
            case DISPID_PS_RIGHT:
                return longResult(m_sel.right);
            default:
                return longResult(m_sel.bottom);
            }
        case DISPID_PS_APPLY:
        case DISPID_PS_SETSELECTION: {
            if (!method)
                return DISP_E_MEMBERNOTFOUND;
            if (params->cArgs != 6)
                return DISP_E_BADPARAMCOUNT;
            long values[6] = {};
            double ratio = 0.0;
            bool keep = false;
            for (UINT i = 0; i < 6; ++i) {
                VARTYPE type = VT_I4;
                if (id == DISPID_PS_SETSELECTION && i == 4)
                    type = VT_R8;
                else if (id == DISPID_PS_SETSELECTION && i == 5)
                    type = VT_BOOL;
                VARIANT v;
                HRESULT hr = Argument(params, i, type, v, argErr);
                if (FAILED(hr))
                    return hr;
                if (type == VT_R8)
                    ratio = V_R8(&v);
                else if (type == VT_BOOL)
                    keep = V_BOOL(&v) != VARIANT_FALSE;
                else
                    values[i] = V_I4(&v);
            }
            if (id == DISPID_PS_APPLY)
                Apply(values[0], values[1], values[2], values[3], values[4], values[5]);
            else
                SetSelection(values[0], values[1], values[2], values[3], ratio, keep);
            if (result != nullptr)
                VariantInit(result);
            return S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    } catch (const DispFailure& failure) {
        FillException(excep, failure);
        return DISP_E_EXCEPTION;
    } catch (const std::bad_alloc&) {
        FillException(excep, DispFailure{E_OUTOFMEMORY, L"Not enough memory for the picture"});
        return DISP_E_EXCEPTION;
    }
}

namespace {

[[noreturn]] void Fail(HRESULT hr, UINT stringId, const std::wstring& detail = std::wstring())
{
    std::wstring text = LoadResStringW(stringId);
    if (!detail.empty())
        text += L" (" + detail + L")";
    throw DispFailure{hr, text};
}

} // namespace

void CPictureSelect::PutFileName(const std::wstring& name)
{
    // Nothing of the old picture stays once a new file is asked for: a failed load leaves the
    // control empty rather than showing one picture while naming another.
    m_picture.Free();
    m_fileName = name;
    m_sel = SelRect{};
    FreeView();
    m_bPainted = false;
    if (m_hWnd != nullptr)
        InvalidateRect(m_hWnd, nullptr, FALSE);
    const std::string narrow = ToAnsi(name);
    if (!m_picture.Load(narrow.c_str()) || !m_picture.ConvertTo24Bit()) {
        m_picture.Free();
        Fail(E_FAIL, IDS_PS_LOAD_FAILED, name);
    }
    m_sel = FitSelection(SelRect{}, Limits());
}

void CPictureSelect::SetSelection(long left, long top, long right, long bottom, double ratio, bool keep)
{
    m_ratio = std::isfinite(ratio) && ratio > 0.0 ? ratio : 0.0;
    m_keepRatio = keep;
    ChangeSelection(FitSelection(SelRect{left, top, right, bottom}, Limits()));
}

void CPictureSelect::Apply(long width, long height, long left, long top, long right, long bottom)
{
    if (!m_picture.IsValid())
        Fail(E_UNEXPECTED, IDS_PS_NO_PICTURE);
    // The part asked for, cut to the picture; nothing of the picture in it is no selection.
    SelRect r{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)};
    r.left = std::max(0L, std::min<long>(r.left, m_picture.Width()));
    r.right = std::max(0L, std::min<long>(r.right, m_picture.Width()));
    r.top = std::max(0L, std::min<long>(r.top, m_picture.Height()));
    r.bottom = std::max(0L, std::min<long>(r.bottom, m_picture.Height()));
    if (r.IsEmpty())
        Fail(E_INVALIDARG, IDS_PS_NO_SELECTION);
    // A target side of 0 follows the selection: both 0 keep the part at its own size, one 0 keeps
    // the part's proportions.
    long w = width, h = height;
    if (w <= 0 && h <= 0) {
        w = r.Width();
        h = r.Height();
    } else if (w <= 0) {
        w = std::max(1L, std::lround(double(r.Width()) * h / r.Height()));
    } else if (h <= 0) {
        h = std::max(1L, std::lround(double(r.Height()) * w / r.Width()));
    }
    if (w > 30000 || h > 30000)
        Fail(E_INVALIDARG, IDS_PS_RESIZE_FAILED);
    // Rows are stored bottom-up: the picture's top row is the last one stored.
    const int H = m_picture.Height();
    if (!m_picture.Stretch(int(w), int(h), r.left, H - r.bottom, r.right - 1, H - 1 - r.top)) {
        PutFileName(m_fileName);  // the picture as the file still holds it
        Fail(E_FAIL, IDS_PS_RESIZE_FAILED);
    }
    if (!m_picture.Save()) {
        // The file keeps its old picture when it cannot be written; so does the control.
        try {
            PutFileName(m_fileName);
        } catch (const DispFailure&) {
        }
        Fail(E_FAIL, IDS_PS_SAVE_FAILED, m_fileName);
    }
    FreeView();
    ChangeSelection(FitSelection(SelRect{}, Limits()));
}

// ---- in-place activation ----

STDMETHODIMP CPictureSelect::SetClientSite(IOleClientSite* pSite)
{
    if (pSite != nullptr)
        pSite->AddRef();
    if (m_pSite != nullptr)
        m_pSite->Release();
    m_pSite = pSite;
    return S_OK;
}

STDMETHODIMP CPictureSelect::DoVerb(LONG verb, LPMSG, IOleClientSite* pSite, LONG, HWND hParent, LPCRECT pRect)
{
    switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
        break;
    case OLEIVERB_HIDE:
        if (m_hWnd != nullptr)
            ShowWindow(m_hWnd, SW_HIDE);
        return S_OK;
    default:
        return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
    if (m_hWnd == nullptr) {
        IOleClientSite* site = pSite != nullptr ? pSite : m_pSite;
        if (site == nullptr)
            return E_UNEXPECTED;
        IOleInPlaceSite* pInPlace = nullptr;
        if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&pInPlace))))
            return E_NOINTERFACE;
        if (pInPlace->CanInPlaceActivate() != S_OK) {
            pInPlace->Release();
            return OLEOBJ_S_CANNOT_DOVERB_NOW;
        }
        pInPlace->OnInPlaceActivate();
        RECT rc = {};
        if (pRect != nullptr)
            rc = *pRect;
        if (hParent == nullptr)
            pInPlace->GetWindow(&hParent);
        if (pRect == nullptr) {
            IOleInPlaceFrame* pFrame = nullptr;
            IOleInPlaceUIWindow* pDoc = nullptr;
            RECT clip;
            OLEINPLACEFRAMEINFO info = {};
            info.cb = sizeof(info);
            if (SUCCEEDED(pInPlace->GetWindowContext(&pFrame, &pDoc, &rc, &clip, &info))) {
                if (pFrame != nullptr)
                    pFrame->Release();
                if (pDoc != nullptr)
                    pDoc->Release();
            }
        }
        if (!CreateViewWindow(hParent, rc)) {
            const DWORD err = GetLastError();
            pInPlace->OnInPlaceDeactivate();
            pInPlace->Release();
            return err ? HRESULT_FROM_WIN32(err) : E_FAIL;
        }
        m_pInPlaceSite = pInPlace;
    }
    if (verb == OLEIVERB_UIACTIVATE)
        SetFocus(m_hWnd);
    return S_OK;
}

STDMETHODIMP CPictureSelect::InPlaceDeactivate()
{
    if (m_hWnd != nullptr) {
        HWND hWnd = m_hWnd;
        m_hWnd = nullptr;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        DestroyWindow(hWnd);
    }
    if (m_pInPlaceSite != nullptr) {
        IOleInPlaceSite* p = m_pInPlaceSite;
        m_pInPlaceSite = nullptr;
        p->OnInPlaceDeactivate();
        p->Release();
    }
    return S_OK;
}

// ---- the window ----

bool CPictureSelect::CreateViewWindow(HWND hParent, const RECT& rc)
{
    HINSTANCE hInstance = AfxGetResourceHandle();
    WNDCLASSW existing;
    if (!GetClassInfoW(hInstance, kViewClass, &existing)) {
        WNDCLASSW wc = {};
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = ViewProc;
        wc.hInstance = hInstance;
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.lpszClassName = kViewClass;
        if (!RegisterClassW(&wc))
            return false;
    }
    m_hWnd = CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, rc.left,
                             rc.top, rc.right - rc.left, rc.bottom - rc.top, hParent, nullptr, hInstance, this);
    return m_hWnd != nullptr;
}

LRESULT CALLBACK CPictureSelect::ViewProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    CPictureSelect* self = reinterpret_cast<CPictureSelect*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(hWnd, message, wParam, lParam);
    if (self->m_hWnd == nullptr && message == WM_NCCREATE)
        self->m_hWnd = hWnd;
    return self->HandleMessage(message, wParam, lParam);
}

void CPictureSelect::FreeView()
{
    if (m_hView != nullptr) {
        DeleteObject(m_hView);
        m_hView = nullptr;
    }
    m_viewClientW = m_viewClientH = -1;
    m_fit = ViewFit{};
}

// The picture scaled to the window once per window size: painting and dragging only copy it.
void CPictureSelect::EnsureView()
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    if (m_hView != nullptr && client.right == m_viewClientW && client.bottom == m_viewClientH)
        return;
    FreeView();
    m_viewClientW = client.right;
    m_viewClientH = client.bottom;
    if (!m_picture.IsValid())
        return;
    const ViewFit fit = FitPictureInView(m_picture.Width(), m_picture.Height(), client.right, client.bottom);
    if (fit.scale <= 0.0)
        return;
    std::vector<uint8_t> pixels;
    if (!ScalePixelsForView(m_picture.Bits(), m_picture.Width(), m_picture.Height(), fit.width, fit.height, pixels))
        return;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = fit.width;
    info.bmiHeader.biHeight = fit.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HDC screen = GetDC(m_hWnd);
    m_hView = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(m_hWnd, screen);
    if (m_hView == nullptr)
        return;
    std::memcpy(bits, pixels.data(), std::min(pixels.size(), DibStride(fit.width, 24) * size_t(fit.height)));
    m_fit = fit;
}

SelHandle CPictureSelect::HitTest(int x, int y) const
{
    if (m_fit.scale <= 0.0 || m_sel.IsEmpty())
        return SEL_NONE;
    return HitTestSelection(PictureToView(m_fit, m_sel), x, y, kGrabTolerance);
}

void CPictureSelect::DragTo(int x, int y)
{
    int32_t dx, dy;
    if (m_dragHandle == SEL_NONE) {
        dx = ViewToPictureX(m_fit, x, m_picture.Width()) - m_dragStart.left;
        dy = ViewToPictureY(m_fit, y, m_picture.Height()) - m_dragStart.top;
    } else {
        dx = ViewToPictureDistance(m_fit, x - m_pressX);
        dy = ViewToPictureDistance(m_fit, y - m_pressY);
    }
    ChangeSelection(DragSelection(m_dragStart, m_dragHandle, dx, dy, Limits()));
}

void CPictureSelect::ChangeSelection(const SelRect& rect)
{
    if (rect == m_sel)
        return;
    m_sel = rect;
    if (m_hWnd != nullptr) {
        // Painted at once, so that the rectangle follows the pointer without waiting for an idle
        // moment; the scaled picture makes that cheap.
        InvalidateRect(m_hWnd, nullptr, FALSE);
        UpdateWindow(m_hWnd);
    }
}

void CPictureSelect::OnKey(WPARAM key)
{
    EnsureView();
    if (!m_picture.IsValid())
        return;
    int dx = 0, dy = 0;
    switch (key) {
    case VK_LEFT: dx = -1; break;
    case VK_RIGHT: dx = 1; break;
    case VK_UP: dy = -1; break;
    case VK_DOWN: dy = 1; break;
    default: return;
    }
    // One step is one screen pixel of the shown picture (ten with Ctrl), at least one picture pixel.
    int step = std::max(1, ViewToPictureDistance(m_fit, 1));
    if (GetKeyState(VK_CONTROL) < 0)
        step *= 10;
    const SelLimits limits = Limits();
    if (GetKeyState(VK_SHIFT) < 0)
        ChangeSelection(DragSelection(m_sel, dx != 0 ? SEL_RIGHT : SEL_BOTTOM, dx * step, dy * step, limits));
    else if (!m_sel.IsEmpty())
        ChangeSelection(DragSelection(m_sel, SEL_INSIDE, dx * step, dy * step, limits));
}

void CPictureSelect::Paint(HDC hdc, const RECT& client)
{
    HBRUSH background = GetSysColorBrush(COLOR_APPWORKSPACE);
    if (m_hView == nullptr) {
        FillRect(hdc, &client, background);
        return;
    }
    HDC source = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(source, m_hView);
    BitBlt(hdc, m_fit.x, m_fit.y, m_fit.width, m_fit.height, source, 0, 0, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
    // Around the picture.
    RECT r;
    SetRect(&r, 0, 0, client.right, m_fit.y);
    FillRect(hdc, &r, background);
    SetRect(&r, 0, m_fit.y + m_fit.height, client.right, client.bottom);
    FillRect(hdc, &r, background);
    SetRect(&r, 0, m_fit.y, m_fit.x, m_fit.y + m_fit.height);
    FillRect(hdc, &r, background);
    SetRect(&r, m_fit.x + m_fit.width, m_fit.y, client.right, m_fit.y + m_fit.height);
    FillRect(hdc, &r, background);

    if (!m_sel.IsEmpty()) {
        const SelRect v = PictureToView(m_fit, m_sel);
        // A black and white double line shows on light and dark pictures alike.
        HGDIOBJ oldBrush = SelectObject(hdc, GetStockObject(NULL_BRUSH));
        HPEN white = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
        HPEN black = CreatePen(PS_DOT, 1, RGB(0, 0, 0));
        HGDIOBJ oldPen = SelectObject(hdc, white);
        Rectangle(hdc, v.left - 1, v.top - 1, v.right + 1, v.bottom + 1);
        SetBkMode(hdc, TRANSPARENT);
        SelectObject(hdc, black);
        Rectangle(hdc, v.left - 1, v.top - 1, v.right + 1, v.bottom + 1);
        SelectObject(hdc, GetStockObject(BLACK_PEN));
        SelectObject(hdc, GetStockObject(WHITE_BRUSH));
        const int mx = (v.left + v.right) / 2, my = (v.top + v.bottom) / 2;
        const POINT handles[] = {{v.left, v.top},    {mx, v.top},    {v.right, v.top},    {v.right, my},
                                 {v.right, v.bottom}, {mx, v.bottom}, {v.left, v.bottom}, {v.left, my}};
        const int half = kHandleSize / 2;
        for (const POINT& p : handles)
            Rectangle(hdc, p.x - half, p.y - half, p.x + half + 1, p.y + half + 1);
        SelectObject(hdc, oldPen);
        SelectObject(hdc, oldBrush);
        DeleteObject(white);
        DeleteObject(black);
    }
    if (GetFocus() == m_hWnd) {
        RECT focus = client;
        InflateRect(&focus, -1, -1);
        DrawFocusRect(hdc, &focus);
    }
}

LRESULT CPictureSelect::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND hWnd = m_hWnd;
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        EnsureView();  // before BeginPaint: the window counts as painted only with the picture on it
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hWnd, &ps);
        RECT client;
        GetClientRect(hWnd, &client);
        // Drawn off the screen first, so that the rectangle never flickers over the picture.
        if (!m_bPainted) {
            // The first paint goes straight to the screen: nothing is there yet to flicker.
            Paint(hdc, client);
            m_bPainted = true;
        } else {
            if (m_hBuffer == nullptr || m_bufferW != client.right || m_bufferH != client.bottom) {
                if (m_hBuffer != nullptr)
                    DeleteObject(m_hBuffer);
                m_bufferW = client.right;
                m_bufferH = client.bottom;
                m_hBuffer = CreateCompatibleBitmap(hdc, std::max(1, m_bufferW), std::max(1, m_bufferH));
            }
            HDC memory = CreateCompatibleDC(hdc);
            HGDIOBJ old = SelectObject(memory, m_hBuffer);
            Paint(memory, client);
            BitBlt(hdc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
            SelectObject(memory, old);
            DeleteDC(memory);
        }
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_SIZE:
        InvalidateRect(hWnd, nullptr, FALSE);
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(hWnd, nullptr, FALSE);
        return 0;
    case WM_MOUSEACTIVATE:
        SetFocus(hWnd);
        return MA_ACTIVATE;
    case WM_LBUTTONDOWN: {
        EnsureView();  // a press can come before the first paint
        if (!m_picture.IsValid() || m_fit.scale <= 0.0)
            return 0;
        SetFocus(hWnd);
        const int x = PointX(lParam), y = PointY(lParam);
        m_dragHandle = HitTest(x, y);
        m_dragStart = m_sel;
        if (m_dragHandle == SEL_NONE) {
            // Outside the selection a new one is drawn from the point pressed.
            const int32_t px = ViewToPictureX(m_fit, x, m_picture.Width());
            const int32_t py = ViewToPictureY(m_fit, y, m_picture.Height());
            m_dragStart = SelRect{px, py, px, py};
            ChangeSelection(m_dragStart);
        }
        m_pressX = x;
        m_pressY = y;
        m_dragging = true;
        SetCapture(hWnd);
        return 0;
    }
    case WM_MOUSEMOVE:
        if (m_dragging && (wParam & MK_LBUTTON) == 0) {
            // The button went up where the release never reached us: the drag is over.
            m_dragging = false;
            ReleaseCapture();
        }
        if (m_dragging)
            DragTo(PointX(lParam), PointY(lParam));
        return 0;
    case WM_LBUTTONUP:
        if (m_dragging) {
            // The release point counts: moves just before it may have been merged into it.
            DragTo(PointX(lParam), PointY(lParam));
            m_dragging = false;
            ReleaseCapture();
        }
        return 0;
    case WM_CAPTURECHANGED:
        m_dragging = false;
        return 0;
    case WM_SETCURSOR:
        if (reinterpret_cast<HWND>(wParam) == hWnd && LOWORD(lParam) == HTCLIENT) {
            POINT p;
            GetCursorPos(&p);
            ScreenToClient(hWnd, &p);
            LPCTSTR cursor = IDC_CROSS;
            switch (m_dragging ? m_dragHandle : HitTest(p.x, p.y)) {
            case SEL_INSIDE: cursor = IDC_SIZEALL; break;
            case SEL_LEFT: case SEL_RIGHT: cursor = IDC_SIZEWE; break;
            case SEL_TOP: case SEL_BOTTOM: cursor = IDC_SIZENS; break;
            case SEL_TOPLEFT: case SEL_BOTTOMRIGHT: cursor = IDC_SIZENWSE; break;
            case SEL_TOPRIGHT: case SEL_BOTTOMLEFT: cursor = IDC_SIZENESW; break;
            default: break;
            }
            SetCursor(LoadCursor(nullptr, cursor));
            return TRUE;
        }
        break;
    case WM_KEYDOWN:
        OnKey(wParam);
        return 0;
    case WM_NCDESTROY:
        // Destroyed with its parent before the container deactivated the control.
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        m_hWnd = nullptr;
        m_dragging = false;
        break;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

} // namespace

HRESULT CreatePictureSelectControl(IUnknown* pOuter, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    CPictureSelect* p = new (std::nothrow) CPictureSelect();
    if (p == nullptr)
        return E_OUTOFMEMORY;
    p->AddRef();
    HRESULT hr = p->QueryInterface(riid, ppv);
    p->Release();
    return hr;
}

LONG PictureSelectLiveObjects()
{
    return g_liveObjects;
}
