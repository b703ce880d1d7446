#include "acquire/VideoGraph.h"

#include <utility>
#include <vector>

#include "acquire/VideoGuids.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

using namespace videoguids;

namespace {

// A failed step raises its result code with the step's text.
void Check(HRESULT hr, const char* text)
{
    if (FAILED(hr))
        ThrowComError(hr, text);
}

// Frees a media type handed out by a filter, with its format block.
void DeleteMediaType(AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return;
    if (pmt->cbFormat != 0 && pmt->pbFormat != nullptr)
        CoTaskMemFree(pmt->pbFormat);
    if (pmt->pUnk != nullptr)
        pmt->pUnk->Release();
    CoTaskMemFree(pmt);
}

void FreeMediaTypeContents(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0 && mt.pbFormat != nullptr)
        CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
    if (mt.pUnk != nullptr) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

// The first device of a category; false when the category has none (or cannot be enumerated).
HRESULT FirstDevice(ICreateDevEnum* pDevEnum, REFCLSID category, CComRef<IMoniker>& moniker)
{
    CComRef<IEnumMoniker> monikers;
    HRESULT hr = pDevEnum->CreateClassEnumerator(category, monikers.Out(), 0);
    if (hr != S_OK)
        return FAILED(hr) ? hr : S_FALSE;  // S_FALSE: the category is empty or not there at all
    if (!monikers || monikers->Next(1, moniker.Out(), nullptr) != S_OK || !moniker)
        return S_FALSE;
    return S_OK;
}

} // namespace

CTrelVideoGraph::~CTrelVideoGraph()
{
    TearDown();
}

void CTrelVideoGraph::BuildGraph(int crossbarInput, int width, int height, HWND hWnd)
{
    TearDown();
    Check(CoCreateInstance(kFilterGraph, nullptr, CLSCTX_ALL, kIGraphBuilder, m_graph.OutVoid()),
          "Failed to create the Filter Graph!");
    Check(CoCreateInstance(kCaptureGraphBuilder2, nullptr, CLSCTX_ALL, kICaptureGraphBuilder2, m_builder.OutVoid()),
          "Failed to create the Graph Builder!");
    Check(m_builder->SetFiltergraph(m_graph.Get()), "");
    CComRef<ICreateDevEnum> devEnum;
    Check(CoCreateInstance(kSystemDeviceEnum, nullptr, CLSCTX_ALL, kICreateDevEnum, devEnum.OutVoid()),
          "Failed to create a system device enumerator!");

    // An analogue source sits behind a crossbar; a camera on its own has none, and that is no failure.
    CComRef<IPin> crossbarOut;
    {
        CComRef<IMoniker> moniker;
        CComRef<IBaseFilter> crossbarFilter;
        if (FirstDevice(devEnum.Get(), kCrossbarCategory, moniker) == S_OK &&
            SUCCEEDED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, crossbarFilter.OutVoid())) &&
            crossbarFilter) {
            Check(m_graph->AddFilter(crossbarFilter.Get(), L"Video Crossbar"), "Failed to add Video Crossbar to graph");
            crossbarFilter->QueryInterface(IID_IAMCrossbar, m_crossbar.OutVoid());
            crossbarFilter->FindPin(L"0: Video Decoder Out", crossbarOut.Out());
        }
    }
    if (m_crossbar)
        m_crossbar->Route(0, crossbarInput);

    {
        CComRef<IMoniker> moniker;
        HRESULT hr = FirstDevice(devEnum.Get(), kVideoInputCategory, moniker);
        Check(hr, "Failed to create a capture device enumerator!");
        CheckOrThrow(hr == S_OK, "No capture devices found!");
        Check(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, m_captureFilter.OutVoid()), "");
        CheckOrThrow(static_cast<bool>(m_captureFilter), "");
        Check(m_graph->AddFilter(m_captureFilter.Get(), L"Video Capture"),
              "Failed to add the Video Capture Filter to graph");
    }
    if (crossbarOut) {
        CComRef<IPin> analogIn;
        Check(m_captureFilter->FindPin(L"3", analogIn.Out()), "Analog Input Pin not found!");
        Check(m_graph->ConnectDirect(crossbarOut.Get(), analogIn.Get(), nullptr), "Failed to connect crossbar pin!");
    }

    CComRef<IPin> captureOut;
    Check(m_captureFilter->FindPin(L"0", captureOut.Out()), "Capture Out pin not found!");
    CComRef<IAMStreamConfig> streamConfig;
    captureOut->QueryInterface(IID_IAMStreamConfig, streamConfig.OutVoid());
    CheckOrThrow(static_cast<bool>(streamConfig), "Failed to get the IStreamConfig interface pointer!");

    // Ask for 24-bit frames of the wanted size; a device that refuses keeps its own format.
    AM_MEDIA_TYPE* pFormat = nullptr;
    if (SUCCEEDED(streamConfig->GetFormat(&pFormat)) && pFormat != nullptr) {
        if (pFormat->formattype == kFormatVideoInfo && pFormat->pbFormat != nullptr &&
            pFormat->cbFormat >= sizeof(VIDEOINFOHEADER)) {
            auto* info = reinterpret_cast<VIDEOINFOHEADER*>(pFormat->pbFormat);
            pFormat->subtype = kSubtypeRgb24;
            info->bmiHeader.biWidth = width;
            info->bmiHeader.biHeight = height;
            info->bmiHeader.biBitCount = 24;
            info->bmiHeader.biCompression = BI_RGB;
            info->bmiHeader.biSizeImage = static_cast<DWORD>(VideoFrameBytes(width, height, 24, 0));
            pFormat->lSampleSize = info->bmiHeader.biSizeImage;
            streamConfig->SetFormat(pFormat);
        }
        DeleteMediaType(pFormat);
    }

    AM_MEDIA_TYPE grabberType = {};
    grabberType.majortype = kMediaTypeVideo;
    grabberType.subtype = kSubtypeRgb24;
    grabberType.formattype = kFormatVideoInfo;

    CComRef<IBaseFilter> grabberFilter;
    Check(CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_ALL, IID_IBaseFilter, grabberFilter.OutVoid()),
          "Failed to create the Sample Grabber filter!");
    Check(m_graph->AddFilter(grabberFilter.Get(), L"Sample Grabber"), "Failed to add the Sample Grabber Filter to graph");
    Check(grabberFilter->QueryInterface(IID_ISampleGrabber, m_grabber.OutVoid()),
          "Failed to create the Sample Grabber filter!");
    Check(m_grabber->SetMediaType(&grabberType), "Failed to set media type for Sample Grabber filter");
    m_grabber->SetBufferSamples(TRUE);
    m_grabber->SetOneShot(FALSE);

    CComRef<IPin> grabberIn, grabberOut;
    {
        CComRef<IEnumPins> pins;
        if (SUCCEEDED(grabberFilter->EnumPins(pins.Out())) && pins) {
            CComRef<IPin> pin;
            while (pins->Next(1, pin.Out(), nullptr) == S_OK && pin) {
                if (!grabberIn)
                    pin->QueryInterface(IID_IPin, grabberIn.OutVoid());
                else
                    pin->QueryInterface(IID_IPin, grabberOut.OutVoid());
            }
        }
    }
    Check(grabberIn ? m_graph->Connect(captureOut.Get(), grabberIn.Get()) : E_POINTER,
          "Failed to connect Sample Grabber pin!");
    Check(grabberOut ? m_graph->Render(grabberOut.Get()) : E_POINTER, "Failed to render the capture pin!");

    Check(m_builder->FindInterface(&kLookDownstreamOnly, nullptr, grabberFilter.Get(), IID_IVideoWindow,
                                   m_videoWindow.OutVoid()),
          "Failed to find the IVideoWindow interface!");
    CheckOrThrow(static_cast<bool>(m_videoWindow), "Failed to find the IVideoWindow interface!");
    m_videoWindow->put_AutoShow(OAFALSE);
    Check(m_videoWindow->put_Owner(reinterpret_cast<OAHWND>(hWnd)), "");
    Check(m_videoWindow->put_WindowStyle(WS_CHILD | WS_CLIPCHILDREN), "");
    RECT client = {};
    GetClientRect(hWnd, &client);
    m_videoWindow->SetWindowPosition(0, 0, client.right, client.bottom);
    Check(m_videoWindow->put_Visible(OATRUE), "");

    StartGraph();
}

void CTrelVideoGraph::StartGraph()
{
    if (m_runState == kRunning)
        return;
    CComRef<IMediaControl> control;
    HRESULT hr = m_graph ? m_graph->QueryInterface(IID_IMediaControl, control.OutVoid()) : E_POINTER;
    if (SUCCEEDED(hr))
        hr = control->Run();
    Check(hr, "Failed to start graph!");
    m_runState = kRunning;
}

void CTrelVideoGraph::StopGraph()
{
    if (m_runState != kRunning)
        return;
    CComRef<IMediaControl> control;
    if (m_graph && SUCCEEDED(m_graph->QueryInterface(IID_IMediaControl, control.OutVoid())) && control)
        control->StopWhenReady();
    m_runState = 0;
}

void CTrelVideoGraph::TearDown()
{
    if (!m_graph)
        return;
    StopGraph();
    if (m_videoWindow) {
        m_videoWindow->put_Visible(OAFALSE);
        m_videoWindow->put_Owner(0);
        m_videoWindow.Release();
    }
    m_captureFilter.Release();
    m_crossbar.Release();
    m_builder.Release();
    m_graph.Release();
}

VideoFrame CTrelVideoGraph::GrabFrame(bool grey)
{
    CheckOrThrow(static_cast<bool>(m_grabber), "Failed to get a frame from Sample Grabber filter");
    AM_MEDIA_TYPE connected = {};
    Check(m_grabber->GetConnectedMediaType(&connected), "Failed to get a frame from Sample Grabber filter");
    BITMAPINFOHEADER header = {};
    const bool videoInfo = connected.formattype == kFormatVideoInfo && connected.pbFormat != nullptr &&
                           connected.cbFormat >= sizeof(VIDEOINFOHEADER);
    if (videoInfo)
        header = reinterpret_cast<const VIDEOINFOHEADER*>(connected.pbFormat)->bmiHeader;
    FreeMediaTypeContents(connected);
    CheckOrThrow(videoInfo, "Sample Grabber filter is connected with a format that is not a video frame");

    const size_t expected = VideoFrameBytes(header.biWidth, header.biHeight, header.biBitCount, header.biCompression);
    if (expected == 0)
        ThrowComError(E_FAIL, FormatText("Sample Grabber filter delivers frames of %ldx%ld with %u bits per pixel,"
                                         " not 24-bit RGB",
                                         static_cast<long>(header.biWidth), static_cast<long>(header.biHeight),
                                         unsigned(header.biBitCount))
                                  .c_str());
    long size = 0;
    Check(m_grabber->GetCurrentBuffer(&size, nullptr), "Failed to get a frame from Sample Grabber filter");
    if (size <= 0 || static_cast<size_t>(size) != expected)
        ThrowComError(E_FAIL, FormatText("The frame from Sample Grabber filter has %ld bytes; a frame of %ldx%ld"
                                         " has %lu",
                                         size, static_cast<long>(header.biWidth), static_cast<long>(header.biHeight),
                                         static_cast<unsigned long>(expected))
                                  .c_str());
    // The grabber writes straight into the frame's rows, never more than they hold.
    std::vector<unsigned char> buffer(expected);
    long copied = static_cast<long>(expected);
    Check(m_grabber->GetCurrentBuffer(&copied, reinterpret_cast<long*>(buffer.data())),
          "Failed to get a frame from Sample Grabber filter");
    VideoFrame frame;
    // A frame that changed size between the two calls is as wrong as one that never fitted.
    if (copied <= 0 || TakeGrabbedFrame(std::move(buffer), static_cast<size_t>(copied), header.biWidth, header.biHeight,
                                        header.biBitCount, header.biCompression, grey, frame) != FrameCopyResult::Ok)
        ThrowComError(E_FAIL, FormatText("The frame from Sample Grabber filter has %ld bytes; a frame of %ldx%ld"
                                         " has %lu",
                                         copied, static_cast<long>(header.biWidth),
                                         static_cast<long>(header.biHeight), static_cast<unsigned long>(expected))
                                  .c_str());
    return frame;
}
