// The DirectShow graph behind the video frame dialog: the first video input device (behind the
// first crossbar, when there is one), a sample grabber that keeps the last frame, and the system's
// renderer drawing the live picture into a window of ours.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "acquire/VideoFrame.h"

// One counted interface reference, released when replaced or destroyed.
template <class T>
class CComRef
{
public:
    CComRef() = default;
    ~CComRef() { Release(); }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;

    void Release()
    {
        if (m_p != nullptr) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    // For calls that hand out a new reference: the old one is released first.
    T** Out()
    {
        Release();
        return &m_p;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

class CTrelVideoGraph
{
public:
    CTrelVideoGraph() = default;
    ~CTrelVideoGraph();
    CTrelVideoGraph(const CTrelVideoGraph&) = delete;
    CTrelVideoGraph& operator=(const CTrelVideoGraph&) = delete;

    // Builds and starts the graph, the preview shown in hWnd; raises COM errors.
    void BuildGraph(int crossbarInput, int width, int height, HWND hWnd);
    void StartGraph();
    void StopGraph();
    void TearDown();
    // A copy of the frame the grabber holds now; raises a COM error when there is none or it does
    // not fit the connected format.
    VideoFrame GrabFrame(bool grey);

    bool IsRunning() const { return m_runState == kRunning; }

protected:
    // The renderer's window, placed inside the window that owns it.
    IVideoWindow* VideoWindow() const { return m_videoWindow.Get(); }

private:
    static constexpr LONG kRunning = 2;

    CComRef<IGraphBuilder> m_graph;
    CComRef<ICaptureGraphBuilder2> m_builder;
    CComRef<IAMCrossbar> m_crossbar;
    CComRef<IBaseFilter> m_captureFilter;
    CComRef<IVideoWindow> m_videoWindow;
    CComRef<ISampleGrabber> m_grabber;
    LONG m_runState = 0;
};
