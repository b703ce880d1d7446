// Stand-in for a video capture device: a DirectShow capture source filter of our own ("Trel Test
// Camera"), registered in the video input device category the way capture drivers register, so
// that the system device enumerator finds it; and, on request, a crossbar filter ("Trel Test
// Crossbar") in the crossbar category. Test equipment only, never shipped.
//
// Configured by the environment of the process that registers or creates it:
//   TREL_CAMERA      options separated by commas:
//                    crossbar     register the crossbar too; the camera gets an analogue input pin "3"
//                    refuse       IAMStreamConfig::SetFormat refuses every format
//                    noconnect    the output pin refuses every connection
//                    short        frames carry fewer bytes than their format says
//                    size=WxH     the device's own frame size (320x240 unless given)
//   TREL_CAMERA_LOG  a file the filters append their calls to, one line each.
// The picture: eight colour bars over the top three quarters (white, yellow, cyan, green,
// magenta, red, blue, black from left to right), below them a dark blue band with a white square
// that moves 8 pixels to the right with every frame.
#include <windows.h>
#include <dshow.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const CLSID kCameraClsid = {0x5C3B9E21, 0x7F40, 0x4E8A, {0x9C, 0x12, 0x6B, 0x1D, 0x2E, 0x3F, 0x4A, 0x51}};
const CLSID kCrossbarClsid = {0x5C3B9E22, 0x7F40, 0x4E8A, {0x9C, 0x12, 0x6B, 0x1D, 0x2E, 0x3F, 0x4A, 0x51}};
const GUID kVideoInputCategory = {0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID kCrossbarCategory = {0xA799A801, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
const GUID kMediaTypeVideo = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kMediaTypeAnalogVideo = {0x0482DDE1, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
const GUID kSubtypeRgb24 = {0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID kFormatVideoInfo = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID kMemoryAllocator = {0x1E651CC0, 0xB199, 0x11D0, {0x82, 0x12, 0x00, 0xC0, 0x4F, 0xC3, 0x2C, 0x45}};
const GUID kFilterMapper2 = {0xCDA42200, 0xBD88, 0x11D0, {0xBD, 0x4E, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const wchar_t kCameraName[] = L"Trel Test Camera";
const wchar_t kCrossbarName[] = L"Trel Test Crossbar";

HMODULE g_module = nullptr;
volatile LONG g_objects = 0;

struct Config
{
    bool crossbar = false, refuse = false, noconnect = false, shortFrames = false;
    int ownWidth = 320, ownHeight = 240;
};

Config ReadConfig()
{
    Config c;
    char text[512] = {};
    if (GetEnvironmentVariableA("TREL_CAMERA", text, sizeof(text)) >= sizeof(text))
        return c;
    std::string all = text;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos)
            end = all.size();
        const std::string item = all.substr(start, end - start);
        int w = 0, h = 0;
        if (item == "crossbar")
            c.crossbar = true;
        else if (item == "refuse")
            c.refuse = true;
        else if (item == "noconnect")
            c.noconnect = true;
        else if (item == "short")
            c.shortFrames = true;
        else if (std::sscanf(item.c_str(), "size=%dx%d", &w, &h) == 2 && w > 0 && h > 0 && w <= 4096 && h <= 4096) {
            c.ownWidth = w;
            c.ownHeight = h;
        }
        start = end + 1;
    }
    return c;
}

void Log(const char* format, ...)
{
    char path[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("TREL_CAMERA_LOG", path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (FILE* f = std::fopen(path, "ab")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

long long NowMicroseconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return now.QuadPart / frequency.QuadPart * 1000000 + now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

// ---- media types ----

DWORD FrameBytes(int width, int height)
{
    return DWORD(((width * 24 + 31) / 32) * 4 * height);
}

void FreeType(AM_MEDIA_TYPE& mt)
{
    if (mt.pbFormat != nullptr)
        CoTaskMemFree(mt.pbFormat);
    if (mt.pUnk != nullptr)
        mt.pUnk->Release();
    mt = AM_MEDIA_TYPE{};
}

HRESULT CopyType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source)
{
    target = source;
    target.pbFormat = nullptr;
    if (source.cbFormat != 0 && source.pbFormat != nullptr) {
        target.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
        if (target.pbFormat == nullptr) {
            target.cbFormat = 0;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
    } else {
        target.cbFormat = 0;
    }
    if (target.pUnk != nullptr)
        target.pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* NewTypeCopy(const AM_MEDIA_TYPE& source)
{
    auto* p = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (p != nullptr && FAILED(CopyType(*p, source))) {
        CoTaskMemFree(p);
        p = nullptr;
    }
    return p;
}

void MakeRgb24Type(AM_MEDIA_TYPE& mt, int width, int height)
{
    mt = AM_MEDIA_TYPE{};
    mt.majortype = kMediaTypeVideo;
    mt.subtype = kSubtypeRgb24;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = FrameBytes(width, height);
    mt.formattype = kFormatVideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER);
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
    if (mt.pbFormat == nullptr) {
        mt.cbFormat = 0;
        return;
    }
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
    *vih = VIDEOINFOHEADER{};
    vih->AvgTimePerFrame = 333333;
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = width;
    vih->bmiHeader.biHeight = height;
    vih->bmiHeader.biPlanes = 1;
    vih->bmiHeader.biBitCount = 24;
    vih->bmiHeader.biCompression = BI_RGB;
    vih->bmiHeader.biSizeImage = FrameBytes(width, height);
}

// A 24-bit RGB video-info type of one of the sizes offered; false for anything else.
bool OfferedSize(const AM_MEDIA_TYPE* pmt, int ownWidth, int ownHeight, int& width, int& height)
{
    if (pmt == nullptr || pmt->majortype != kMediaTypeVideo || pmt->subtype != kSubtypeRgb24 ||
        pmt->formattype != kFormatVideoInfo || pmt->pbFormat == nullptr || pmt->cbFormat < sizeof(VIDEOINFOHEADER))
        return false;
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(pmt->pbFormat);
    if (vih->bmiHeader.biBitCount != 24 || vih->bmiHeader.biCompression != BI_RGB)
        return false;
    width = vih->bmiHeader.biWidth;
    height = vih->bmiHeader.biHeight;
    return (width == 640 && height == 480) || (width == ownWidth && height == ownHeight);
}

// ---- the picture ----

const unsigned char kBars[8][3] = {  // blue, green, red
    {255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0}, {255, 0, 255}, {0, 0, 255}, {255, 0, 0}, {0, 0, 0}};

void FillPattern(BYTE* bits, int width, int height, unsigned frame)
{
    const size_t stride = size_t(((width * 24 + 31) / 32) * 4);
    const int bandTop = height * 3 / 4;
    const int square = height / 16 > 2 ? height / 16 : 2;
    const int squareTop = bandTop + (height - bandTop - square) / 2;
    const int squareLeft = width > square ? int((frame * 8u) % unsigned(width - square)) : 0;
    for (int row = 0; row < height; ++row) {
        BYTE* p = bits + stride * size_t(row);
        const int y = height - 1 - row;  // rows are stored bottom-up
        for (int x = 0; x < width; ++x, p += 3) {
            if (y < bandTop) {
                const unsigned char* c = kBars[x * 8 / width];
                p[0] = c[0], p[1] = c[1], p[2] = c[2];
            } else if (y >= squareTop && y < squareTop + square && x >= squareLeft && x < squareLeft + square) {
                p[0] = p[1] = p[2] = 255;
            } else {
                p[0] = 96, p[1] = 32, p[2] = 32;
            }
        }
    }
}

// ---- enumerators ----

class PinEnum final : public IEnumPins
{
public:
    PinEnum(const std::vector<IPin*>& pins, size_t position) : m_pins(pins), m_position(position)
    {
        for (IPin* p : m_pins)
            p->AddRef();
    }
    ~PinEnum()
    {
        for (IPin* p : m_pins)
            p->Release();
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumPins) {
            *ppv = static_cast<IEnumPins*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_ref); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_ref);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override
    {
        if (pins == nullptr)
            return E_POINTER;
        ULONG n = 0;
        while (n < count && m_position < m_pins.size()) {
            pins[n] = m_pins[m_position++];
            pins[n++]->AddRef();
        }
        if (fetched != nullptr)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        m_position += count;
        if (m_position > m_pins.size()) {
            m_position = m_pins.size();
            return S_FALSE;
        }
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = new PinEnum(m_pins, m_position);
        (*out)->AddRef();
        return S_OK;
    }

private:
    LONG m_ref = 0;
    std::vector<IPin*> m_pins;
    size_t m_position;
};

class TypeEnum final : public IEnumMediaTypes
{
public:
    explicit TypeEnum(std::vector<AM_MEDIA_TYPE> types, size_t position = 0) : m_types(std::move(types)), m_position(position) {}
    ~TypeEnum()
    {
        for (AM_MEDIA_TYPE& mt : m_types)
            FreeType(mt);
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) {
            *ppv = static_cast<IEnumMediaTypes*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_ref); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_ref);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override
    {
        if (types == nullptr)
            return E_POINTER;
        ULONG n = 0;
        while (n < count && m_position < m_types.size()) {
            types[n] = NewTypeCopy(m_types[m_position++]);
            if (types[n] == nullptr)
                break;
            ++n;
        }
        if (fetched != nullptr)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        m_position += count;
        if (m_position > m_types.size()) {
            m_position = m_types.size();
            return S_FALSE;
        }
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMediaTypes** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        std::vector<AM_MEDIA_TYPE> copies(m_types.size());
        for (size_t i = 0; i < m_types.size(); ++i)
            CopyType(copies[i], m_types[i]);
        *out = new TypeEnum(std::move(copies), m_position);
        (*out)->AddRef();
        return S_OK;
    }

private:
    LONG m_ref = 0;
    std::vector<AM_MEDIA_TYPE> m_types;
    size_t m_position;
};

// ---- filters and pins ----

class FilterBase;

// A pin lives inside its filter and counts its references there.
class PinBase : public IPin
{
public:
    PinBase(FilterBase* filter, const wchar_t* id, PIN_DIRECTION direction) : m_filter(filter), m_id(id), m_direction(direction) {}
    virtual ~PinBase() { ClearConnection(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else
            *ppv = OtherInterface(riid);
        if (*ppv == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Disconnect() override
    {
        if (m_peer == nullptr)
            return S_FALSE;
        ClearConnection();
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin** pin) override
    {
        if (pin == nullptr)
            return E_POINTER;
        *pin = m_peer;
        if (m_peer == nullptr)
            return VFW_E_NOT_CONNECTED;
        m_peer->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override
    {
        if (pmt == nullptr)
            return E_POINTER;
        if (m_peer == nullptr) {
            *pmt = AM_MEDIA_TYPE{};
            return VFW_E_NOT_CONNECTED;
        }
        return CopyType(*pmt, m_type);
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override
    {
        if (direction == nullptr)
            return E_POINTER;
        *direction = m_direction;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR* id) override
    {
        if (id == nullptr)
            return E_POINTER;
        const size_t bytes = (m_id.size() + 1) * sizeof(wchar_t);
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (*id == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(*id, m_id.c_str(), bytes);
        return S_OK;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return S_OK; }
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    const std::wstring& Id() const { return m_id; }
    bool IsConnected() const { return m_peer != nullptr; }

protected:
    virtual void* OtherInterface(REFIID) { return nullptr; }
    virtual void ClearConnection()
    {
        if (m_peer != nullptr) {
            m_peer->Release();
            m_peer = nullptr;
        }
        FreeType(m_type);
    }
    void SetConnection(IPin* peer, const AM_MEDIA_TYPE& mt)
    {
        m_peer = peer;
        m_peer->AddRef();
        CopyType(m_type, mt);
    }

    FilterBase* m_filter;
    std::wstring m_id;
    PIN_DIRECTION m_direction;
    IPin* m_peer = nullptr;
    AM_MEDIA_TYPE m_type = {};
};

class FilterBase : public IBaseFilter
{
public:
    FilterBase(const CLSID& clsid) : m_clsid(clsid) { InterlockedIncrement(&g_objects); }
    virtual ~FilterBase()
    {
        if (m_clock != nullptr)
            m_clock->Release();
        InterlockedDecrement(&g_objects);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else
            *ppv = OtherInterface(riid);
        if (*ppv == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_ref); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_ref);
        if (n == 0)
            delete this;
        return n;
    }

    STDMETHODIMP GetClassID(CLSID* clsid) override
    {
        if (clsid == nullptr)
            return E_POINTER;
        *clsid = m_clsid;
        return S_OK;
    }
    STDMETHODIMP Stop() override { return ChangeState(State_Stopped); }
    STDMETHODIMP Pause() override { return ChangeState(State_Paused); }
    STDMETHODIMP Run(REFERENCE_TIME) override { return ChangeState(State_Running); }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override
    {
        if (state == nullptr)
            return E_POINTER;
        *state = m_state;
        return m_state == State_Paused && m_live ? VFW_S_CANT_CUE : S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override
    {
        if (clock != nullptr)
            clock->AddRef();
        if (m_clock != nullptr)
            m_clock->Release();
        m_clock = clock;
        return S_OK;
    }
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override
    {
        if (clock == nullptr)
            return E_POINTER;
        *clock = m_clock;
        if (m_clock != nullptr)
            m_clock->AddRef();
        return S_OK;
    }
    STDMETHODIMP EnumPins(IEnumPins** pins) override
    {
        if (pins == nullptr)
            return E_POINTER;
        std::vector<IPin*> list;
        for (PinBase* p : Pins())
            list.push_back(p);
        *pins = new PinEnum(list, 0);
        (*pins)->AddRef();
        return S_OK;
    }
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override
    {
        if (id == nullptr || pin == nullptr)
            return E_POINTER;
        *pin = nullptr;
        for (PinBase* p : Pins())
            if (p->Id() == id) {
                *pin = p;
                p->AddRef();
                return S_OK;
            }
        return VFW_E_NOT_FOUND;
    }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        lstrcpynW(info->achName, m_name.c_str(), MAX_FILTER_NAME);
        info->pGraph = m_graph;
        if (m_graph != nullptr)
            m_graph->AddRef();
        return S_OK;
    }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override
    {
        m_graph = graph;  // the graph holds us, not the other way round
        m_name = name ? name : L"";
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    FILTER_STATE State() const { return m_state; }

protected:
    virtual std::vector<PinBase*> Pins() = 0;
    virtual void* OtherInterface(REFIID) { return nullptr; }
    virtual HRESULT OnStateChange(FILTER_STATE, FILTER_STATE) { return S_OK; }
    HRESULT ChangeState(FILTER_STATE to)
    {
        const FILTER_STATE from = m_state;
        if (from == to)
            return S_OK;
        HRESULT hr = OnStateChange(from, to);
        if (FAILED(hr))
            return hr;
        m_state = to;
        return to == State_Paused && m_live ? VFW_S_CANT_CUE : S_OK;
    }

    LONG m_ref = 0;
    CLSID m_clsid;
    volatile FILTER_STATE m_state = State_Stopped;
    IReferenceClock* m_clock = nullptr;
    IFilterGraph* m_graph = nullptr;
    std::wstring m_name;
    bool m_live = false;
};

STDMETHODIMP_(ULONG) PinBase::AddRef()
{
    return m_filter->AddRef();
}

STDMETHODIMP_(ULONG) PinBase::Release()
{
    return m_filter->Release();
}

STDMETHODIMP PinBase::QueryPinInfo(PIN_INFO* info)
{
    if (info == nullptr)
        return E_POINTER;
    info->pFilter = m_filter;
    m_filter->AddRef();
    info->dir = m_direction;
    lstrcpynW(info->achName, m_id.c_str(), MAX_PIN_NAME);
    return S_OK;
}

// An input pin that takes whatever is offered: the camera's analogue input.
class AnalogInPin final : public PinBase
{
public:
    AnalogInPin(FilterBase* filter) : PinBase(filter, L"3", PINDIR_INPUT) {}
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override
    {
        if (connector == nullptr || pmt == nullptr)
            return E_POINTER;
        if (m_peer != nullptr)
            return VFW_E_ALREADY_CONNECTED;
        PIN_INFO info = {};
        connector->QueryPinInfo(&info);
        if (info.pFilter != nullptr)
            info.pFilter->Release();
        Log("analog input connected from \"%ls\"", info.achName);
        SetConnection(connector, *pmt);
        return S_OK;
    }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override
    {
        if (types == nullptr)
            return E_POINTER;
        *types = new TypeEnum({});
        (*types)->AddRef();
        return S_OK;
    }
};

class CameraFilter;

class CameraOutPin final : public PinBase, public IAMStreamConfig
{
public:
    CameraOutPin(FilterBase* filter, const Config& config)
        : PinBase(filter, L"0", PINDIR_OUTPUT), m_config(config), m_width(config.ownWidth), m_height(config.ownHeight)
    {
    }
    ~CameraOutPin() override { StopStreaming(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return PinBase::QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return PinBase::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return PinBase::Release(); }

    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* pmt) override
    {
        if (receiver == nullptr)
            return E_POINTER;
        if (m_peer != nullptr)
            return VFW_E_ALREADY_CONNECTED;
        if (m_config.noconnect) {
            Log("connect refused");
            return VFW_E_NO_ACCEPTABLE_TYPES;
        }
        AM_MEDIA_TYPE mt;
        MakeRgb24Type(mt, m_width, m_height);
        if (pmt != nullptr && !Matches(*pmt, mt)) {
            FreeType(mt);
            return VFW_E_NO_ACCEPTABLE_TYPES;
        }
        HRESULT hr = receiver->ReceiveConnection(this, &mt);
        if (FAILED(hr)) {
            FreeType(mt);
            return VFW_E_NO_ACCEPTABLE_TYPES;
        }
        hr = NegotiateAllocator(receiver, mt.lSampleSize);
        if (FAILED(hr)) {
            receiver->Disconnect();
            FreeType(mt);
            return hr;
        }
        SetConnection(receiver, mt);
        FreeType(mt);
        Log("connected RGB24 %dx%d", m_width, m_height);
        return S_OK;
    }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override
    {
        int w = 0, h = 0;
        return OfferedSize(pmt, m_width, m_height, w, h) && w == m_width && h == m_height ? S_OK : S_FALSE;
    }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override
    {
        if (types == nullptr)
            return E_POINTER;
        std::vector<AM_MEDIA_TYPE> list(1);
        MakeRgb24Type(list[0], m_width, m_height);
        *types = new TypeEnum(std::move(list));
        (*types)->AddRef();
        return S_OK;
    }

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* pmt) override
    {
        if (pmt == nullptr)
            return E_POINTER;
        const auto* vih = pmt->pbFormat != nullptr && pmt->cbFormat >= sizeof(VIDEOINFOHEADER)
                              ? reinterpret_cast<const VIDEOINFOHEADER*>(pmt->pbFormat)
                              : nullptr;
        if (vih != nullptr)
            Log("SetFormat %s %ldx%ld bits=%u image=%lu", pmt->subtype == kSubtypeRgb24 ? "RGB24" : "other",
                static_cast<long>(vih->bmiHeader.biWidth), static_cast<long>(vih->bmiHeader.biHeight),
                unsigned(vih->bmiHeader.biBitCount), static_cast<unsigned long>(vih->bmiHeader.biSizeImage));
        if (m_config.refuse)
            return VFW_E_INVALIDMEDIATYPE;
        if (m_peer != nullptr)
            return VFW_E_ALREADY_CONNECTED;
        int w = 0, h = 0;
        if (!OfferedSize(pmt, m_config.ownWidth, m_config.ownHeight, w, h))
            return VFW_E_INVALIDMEDIATYPE;
        m_width = w;
        m_height = h;
        return S_OK;
    }
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** pmt) override
    {
        if (pmt == nullptr)
            return E_POINTER;
        AM_MEDIA_TYPE mt;
        MakeRgb24Type(mt, m_width, m_height);
        *pmt = NewTypeCopy(mt);
        FreeType(mt);
        return *pmt != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override
    {
        if (count == nullptr || size == nullptr)
            return E_POINTER;
        *count = 2;
        *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
        return S_OK;
    }
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** pmt, BYTE* caps) override
    {
        if (pmt == nullptr || caps == nullptr)
            return E_POINTER;
        if (index < 0 || index > 1)
            return S_FALSE;
        const int w = index == 0 ? 640 : m_config.ownWidth, h = index == 0 ? 480 : m_config.ownHeight;
        AM_MEDIA_TYPE mt;
        MakeRgb24Type(mt, w, h);
        *pmt = NewTypeCopy(mt);
        FreeType(mt);
        auto* c = reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps);
        *c = VIDEO_STREAM_CONFIG_CAPS{};
        c->guid = kFormatVideoInfo;
        c->InputSize = c->MinCroppingSize = c->MaxCroppingSize = c->MinOutputSize = c->MaxOutputSize = SIZE{w, h};
        c->MinFrameInterval = c->MaxFrameInterval = 333333;
        c->MinBitsPerSecond = c->MaxBitsPerSecond = LONG(FrameBytes(w, h) * 8 * 30);
        return *pmt != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    void StartStreaming()
    {
        if (m_allocator == nullptr || m_thread != nullptr)
            return;
        m_allocator->Commit();
        m_stop = false;
        m_thread = CreateThread(nullptr, 0, StreamThread, this, 0, nullptr);
        Log("streaming started");
    }
    void StopStreaming()
    {
        if (m_thread == nullptr)
            return;
        m_stop = true;
        if (m_allocator != nullptr)
            m_allocator->Decommit();  // a thread waiting for a buffer gives up
        if (WaitForSingleObject(m_thread, 5000) != WAIT_OBJECT_0)
            Log("streaming thread did not end");
        CloseHandle(m_thread);
        m_thread = nullptr;
        Log("streaming stopped after %u frames", m_frames);
    }

protected:
    void* OtherInterface(REFIID riid) override
    {
        return riid == IID_IAMStreamConfig ? static_cast<IAMStreamConfig*>(this) : nullptr;
    }
    void ClearConnection() override
    {
        if (m_input != nullptr) {
            m_input->Release();
            m_input = nullptr;
        }
        if (m_allocator != nullptr) {
            m_allocator->Release();
            m_allocator = nullptr;
        }
        PinBase::ClearConnection();
    }

private:
    static bool Matches(const AM_MEDIA_TYPE& wanted, const AM_MEDIA_TYPE& ours)
    {
        if (wanted.majortype != GUID_NULL && wanted.majortype != ours.majortype)
            return false;
        if (wanted.subtype != GUID_NULL && wanted.subtype != ours.subtype)
            return false;
        if (wanted.formattype != GUID_NULL && wanted.formattype != ours.formattype)
            return false;
        return true;
    }

    HRESULT NegotiateAllocator(IPin* receiver, long sampleSize)
    {
        IMemInputPin* input = nullptr;
        HRESULT hr = receiver->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
        if (FAILED(hr))
            return hr;
        ALLOCATOR_PROPERTIES wanted = {}, actual = {};
        input->GetAllocatorRequirements(&wanted);
        IMemAllocator* allocator = nullptr;
        if (FAILED(input->GetAllocator(&allocator)) || allocator == nullptr)
            hr = CoCreateInstance(kMemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  reinterpret_cast<void**>(&allocator));
        if (SUCCEEDED(hr)) {
            wanted.cBuffers = wanted.cBuffers > 3 ? wanted.cBuffers : 3;
            wanted.cbBuffer = wanted.cbBuffer > sampleSize ? wanted.cbBuffer : sampleSize;
            wanted.cbAlign = wanted.cbAlign > 0 ? wanted.cbAlign : 1;
            hr = allocator->SetProperties(&wanted, &actual);
            if (SUCCEEDED(hr) && actual.cbBuffer < sampleSize)
                hr = VFW_E_SIZENOTSET;
            if (SUCCEEDED(hr))
                hr = input->NotifyAllocator(allocator, FALSE);
        }
        if (FAILED(hr)) {
            if (allocator != nullptr)
                allocator->Release();
            input->Release();
            return hr;
        }
        m_input = input;
        m_allocator = allocator;
        return S_OK;
    }

    static DWORD WINAPI StreamThread(void* self)
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        static_cast<CameraOutPin*>(self)->Stream();
        CoUninitialize();
        return 0;
    }
    void Stream();

    Config m_config;
    int m_width, m_height;
    IMemInputPin* m_input = nullptr;
    IMemAllocator* m_allocator = nullptr;
    HANDLE m_thread = nullptr;
    volatile bool m_stop = false;
    unsigned m_frames = 0;
};

class CameraFilter final : public FilterBase
{
public:
    CameraFilter() : FilterBase(kCameraClsid), m_config(ReadConfig()), m_out(this, m_config), m_analog(this)
    {
        m_live = true;
        Log("camera created");
    }
    ~CameraFilter() override
    {
        m_out.StopStreaming();
        Log("camera released");
    }

protected:
    std::vector<PinBase*> Pins() override
    {
        if (m_config.crossbar)
            return {&m_out, &m_analog};
        return {&m_out};
    }
    HRESULT OnStateChange(FILTER_STATE from, FILTER_STATE to) override
    {
        Log("state %d to %d", int(from), int(to));
        if (to == State_Stopped)
            m_out.StopStreaming();
        else if (from == State_Stopped)
            m_out.StartStreaming();
        return S_OK;
    }

private:
    friend class CameraOutPin;
    Config m_config;
    CameraOutPin m_out;
    AnalogInPin m_analog;
};

void CameraOutPin::Stream()
{
    const DWORD period = 33;
    while (!m_stop) {
        if (m_filter->State() != State_Running) {
            Sleep(5);
            continue;
        }
        const DWORD started = GetTickCount();
        IMediaSample* sample = nullptr;
        if (FAILED(m_allocator->GetBuffer(&sample, nullptr, nullptr, 0)) || sample == nullptr) {
            if (!m_stop)
                Sleep(5);
            continue;
        }
        BYTE* bits = nullptr;
        const long bytes = long(FrameBytes(m_width, m_height));
        if (SUCCEEDED(sample->GetPointer(&bits)) && sample->GetSize() >= bytes) {
            FillPattern(bits, m_width, m_height, m_frames);
            sample->SetActualDataLength(m_config.shortFrames ? bytes - 3 * m_width : bytes);
            sample->SetSyncPoint(TRUE);
            sample->SetTime(nullptr, nullptr);
            const HRESULT hr = m_input->Receive(sample);
            if (m_frames == 0)
                Log("first frame at %lld us: 0x%08lx", NowMicroseconds(), static_cast<unsigned long>(hr));
            ++m_frames;
        }
        sample->Release();
        const DWORD spent = GetTickCount() - started;
        if (spent < period && !m_stop)
            Sleep(period - spent);
    }
}

// ---- the crossbar ----

class CrossbarFilter;

class CrossbarOutPin final : public PinBase
{
public:
    CrossbarOutPin(FilterBase* filter) : PinBase(filter, L"0: Video Decoder Out", PINDIR_OUTPUT) {}
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE*) override
    {
        if (receiver == nullptr)
            return E_POINTER;
        if (m_peer != nullptr)
            return VFW_E_ALREADY_CONNECTED;
        AM_MEDIA_TYPE mt = {};
        mt.majortype = kMediaTypeAnalogVideo;
        HRESULT hr = receiver->ReceiveConnection(this, &mt);
        if (FAILED(hr))
            return hr;
        SetConnection(receiver, mt);
        return S_OK;
    }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override
    {
        if (types == nullptr)
            return E_POINTER;
        std::vector<AM_MEDIA_TYPE> list(1);
        list[0].majortype = kMediaTypeAnalogVideo;
        *types = new TypeEnum(std::move(list));
        (*types)->AddRef();
        return S_OK;
    }
};

class CrossbarInPin final : public PinBase
{
public:
    CrossbarInPin(FilterBase* filter, const wchar_t* id) : PinBase(filter, id, PINDIR_INPUT) {}
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return VFW_E_TYPE_NOT_ACCEPTED; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_FALSE; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override
    {
        if (types == nullptr)
            return E_POINTER;
        *types = new TypeEnum({});
        (*types)->AddRef();
        return S_OK;
    }
};

class CrossbarFilter final : public FilterBase, public IAMCrossbar
{
public:
    CrossbarFilter()
        : FilterBase(kCrossbarClsid), m_tuner(this, L"0: Video Tuner In"), m_composite(this, L"1: Video Composite In"),
          m_out(this)
    {
        Log("crossbar created");
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return FilterBase::QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return FilterBase::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return FilterBase::Release(); }

    STDMETHODIMP get_PinCounts(LONG* outputs, LONG* inputs) override
    {
        if (outputs == nullptr || inputs == nullptr)
            return E_POINTER;
        *outputs = 1;
        *inputs = 2;
        return S_OK;
    }
    STDMETHODIMP CanRoute(LONG out, LONG in) override { return out == 0 && (in == 0 || in == 1) ? S_OK : S_FALSE; }
    STDMETHODIMP Route(LONG out, LONG in) override
    {
        Log("Route %ld %ld", static_cast<long>(out), static_cast<long>(in));
        if (CanRoute(out, in) != S_OK)
            return E_INVALIDARG;
        m_routed = in;
        return S_OK;
    }
    STDMETHODIMP get_IsRoutedTo(LONG out, LONG* in) override
    {
        if (in == nullptr)
            return E_POINTER;
        if (out != 0)
            return E_INVALIDARG;
        *in = m_routed;
        return S_OK;
    }
    STDMETHODIMP get_CrossbarPinInfo(BOOL isInput, LONG index, LONG* related, LONG* type) override
    {
        if (related == nullptr || type == nullptr)
            return E_POINTER;
        if (isInput ? (index < 0 || index > 1) : index != 0)
            return E_INVALIDARG;
        *related = -1;
        *type = isInput ? (index == 0 ? PhysConn_Video_Tuner : PhysConn_Video_Composite) : PhysConn_Video_VideoDecoder;
        return S_OK;
    }

protected:
    std::vector<PinBase*> Pins() override { return {&m_tuner, &m_composite, &m_out}; }
    void* OtherInterface(REFIID riid) override
    {
        return riid == IID_IAMCrossbar ? static_cast<IAMCrossbar*>(this) : nullptr;
    }

private:
    CrossbarInPin m_tuner, m_composite;
    CrossbarOutPin m_out;
    LONG m_routed = -1;
};

// ---- class factory and registration ----

class Factory final : public IClassFactory
{
public:
    explicit Factory(const CLSID& clsid) : m_clsid(clsid) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_ref); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_ref);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        FilterBase* filter = nullptr;
        if (m_clsid == kCameraClsid)
            filter = new CameraFilter();
        else
            filter = new CrossbarFilter();
        filter->AddRef();
        HRESULT hr = filter->QueryInterface(riid, ppv);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            InterlockedIncrement(&g_objects);
        else
            InterlockedDecrement(&g_objects);
        return S_OK;
    }

private:
    LONG m_ref = 0;
    CLSID m_clsid;
};

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[64] = {};
    StringFromGUID2(guid, text, 64);
    return text;
}

bool SetKeyValue(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   DWORD((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

HRESULT RegisterClassKeys(const CLSID& clsid, const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    const std::wstring key = L"CLSID\\" + GuidText(clsid);
    if (!SetKeyValue(key, nullptr, name) || !SetKeyValue(key + L"\\InprocServer32", nullptr, path) ||
        !SetKeyValue(key + L"\\InprocServer32", L"ThreadingModel", L"Both"))
        return SELFREG_E_CLASS;
    return S_OK;
}

// A device joins its category through the filter mapper, as capture drivers' filters do.
HRESULT RegisterInCategory(const CLSID& clsid, const GUID& category, const wchar_t* name)
{
    IFilterMapper2* mapper = nullptr;
    HRESULT hr = CoCreateInstance(kFilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(&mapper));
    if (SUCCEEDED(hr)) {
        REGFILTER2 filter = {};
        filter.dwVersion = 1;
        filter.dwMerit = MERIT_DO_NOT_USE;
        hr = mapper->RegisterFilter(clsid, name, nullptr, &category, nullptr, &filter);
        mapper->Release();
    }
    return hr;
}

void UnregisterFromCategory(const CLSID& clsid, const GUID& category)
{
    IFilterMapper2* mapper = nullptr;
    if (SUCCEEDED(CoCreateInstance(kFilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                   reinterpret_cast<void**>(&mapper)))) {
        mapper->UnregisterFilter(&category, nullptr, clsid);
        mapper->Release();
    }
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(category) + L"\\Instance\\" + GuidText(clsid)).c_str());
}

struct ComScope
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComScope()
    {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
};

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != kCameraClsid && clsid != kCrossbarClsid)
        return CLASS_E_CLASSNOTAVAILABLE;
    Factory* factory = new Factory(clsid);
    factory->AddRef();
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow()
{
    return g_objects == 0 ? S_OK : S_FALSE;
}

// Registers the camera, and the crossbar when TREL_CAMERA asks for one; an earlier crossbar is
// removed otherwise.
extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer()
{
    ComScope com;
    const Config config = ReadConfig();
    HRESULT hr = RegisterClassKeys(kCameraClsid, kCameraName);
    if (SUCCEEDED(hr))
        hr = RegisterInCategory(kCameraClsid, kVideoInputCategory, kCameraName);
    UnregisterFromCategory(kCrossbarClsid, kCrossbarCategory);
    if (SUCCEEDED(hr) && config.crossbar) {
        hr = RegisterClassKeys(kCrossbarClsid, kCrossbarName);
        if (SUCCEEDED(hr))
            hr = RegisterInCategory(kCrossbarClsid, kCrossbarCategory, kCrossbarName);
    }
    return hr;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer()
{
    ComScope com;
    UnregisterFromCategory(kCameraClsid, kVideoInputCategory);
    UnregisterFromCategory(kCrossbarClsid, kCrossbarCategory);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(kCameraClsid)).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(kCrossbarClsid)).c_str());
    return S_OK;
}
