// The progress window of a camera take: shown modally while a worker thread fetches the items the
// shutter release produced, with a bar that follows each item's transfer.
#pragma once
#include <windows.h>
#include <string>

#include "acquire/CameraSdk.h"
#include "framework/Dialog.h"

class CProgress : public CDialog
{
public:
    explicit CProgress(const CCameraSdk* sdk);
    ~CProgress() override;

    // Fetches `count` released items of `source` into files in `folder`. True only when the end
    // message could be registered and the window ended with IDOK. The worker has always ended
    // when this returns.
    bool RunTransfer(CdHandle source, uint32_t count, const std::string& folder);

    // Result of the last data fetch (its low 16 bits are the error identifier).
    CdError TransferResult() const { return m_transferResult; }
    // After a successful transfer: the path of the last picture written; empty when none was.
    const char* NameBuffer() const { return m_szName; }

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    static unsigned WINAPI ReleasedDataThread(void* window);
    static uint32_t CDAPI ProgressCallback(uint32_t progress, uint32_t status, CdContext context);
    void FetchReleasedItems();
    bool WorkerRunning() const;
    void WaitForWorker();

    const CCameraSdk* m_sdk;
    HWND m_hNotify = nullptr;   // the window as the worker sees it
    HWND m_hBar = nullptr;
    UINT m_endMessage = 0;
    CdHandle m_hSource = 0;
    uint32_t m_count = 0;
    char m_szName[260] = {};
    CdError m_transferResult = kCdOk;
    HANDLE m_hThread = nullptr;
    volatile LONG m_closeRequested = 0;
    // The bar's value last posted and when; used by the library's thread only.
    LONG m_lastProgress = 0;
    DWORD m_lastProgressTick = 0;
};

// Numbers every fetched item across all takes, from 0 when the module loads.
uint32_t ReleasedFileCounterValue();
