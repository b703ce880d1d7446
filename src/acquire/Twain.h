// Scanning through a TWAIN data source manager loaded at run time: CTwain, a general TWAIN 1.x
// application, and CTwainWork, which saves the transferred image as a JPEG file for ScanPicture.
#pragma once
#include <windows.h>
#include <string>

#include "acquire/TwainRecords.h"

class CSourceWindowWatch;

class CTwain
{
public:
    // Loads the manager and opens it for the window. A test may hand in a manager entry of its own
    // instead of the system's TWAIN_32.DLL.
    explicit CTwain(HWND hWnd, DSMENTRYPROC pEntry = nullptr);
    virtual ~CTwain();
    CTwain(const CTwain&) = delete;
    CTwain& operator=(const CTwain&) = delete;

    virtual void FillIdentity(TW_IDENTITY& identity);
    virtual bool SelectSource();
    virtual bool OpenSource(const TW_IDENTITY* pSource = nullptr);
    // 0: transfer this image, 1: skip it, 2: cancel all pending images.
    virtual int ShouldTransfer(const TW_IMAGEINFO& info);
    virtual bool DisableSource();
    virtual bool CanCloseSource();
    // Takes the image of a finished native transfer. It may free the block and clear the handle
    // itself; a handle left set is freed by the caller.
    virtual void CopyImage(TW_HANDLE& hImage, const TW_IMAGEINFO& info) = 0;
    virtual void OnTransferStarted();
    virtual void OnTransferEnded();

    bool CallSource(TW_IDENTITY* pDest, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF pData);
    bool LoadManager(HWND hWnd);
    void UnloadManager();
    void CloseManager();
    void CloseSource();
    bool GetDefaultSource();
    bool SetOneValue(TW_UINT16 cap, TW_UINT16 value, bool isSigned);
    bool GetOneValue(TW_UINT16 cap, TW_UINT32& value);
    bool SetTransferCount(short count);
    bool EnableSource(bool showUI);
    bool StartAcquisition(short count);
    // Hands a message of the caller's loop to the enabled source; true when it was the source's.
    bool ProcessEvent(MSG& msg);
    void HandleSourceMessage(TW_UINT16 msg);
    void TransferPending();
    bool TransferNative(const TW_IMAGEINFO& info);
    bool EndCurrentTransfer();
    void ResetTransfers();

    bool IsManagerLoaded() const { return m_pEntry != nullptr; }
    bool IsManagerOpen() const { return m_bManagerOpen; }
    bool IsSourceSelected() const { return m_bSourceSelected; }
    bool IsSourceOpen() const { return m_bSourceOpen; }
    bool IsSourceEnabled() const { return m_bSourceEnabled; }
    TW_UINT16 ReturnCode() const { return m_nReturnCode; }
    TW_UINT16 ConditionCode() const { return m_status.ConditionCode; }
    const TW_IDENTITY& SourceIdentity() const { return m_source; }
    HWND ParentWindow() const { return m_hParent; }

protected:
    HMODULE m_hManager = nullptr;
    DSMENTRYPROC m_pEntry = nullptr;
    DSMENTRYPROC m_pGivenEntry = nullptr;
    TW_IDENTITY m_appId = {};
    TW_IDENTITY m_source = {};
    TW_STATUS m_status = {};
    TW_UINT16 m_nReturnCode = TWRC_FAILURE;
    HWND m_hParent = nullptr;
    bool m_bSourceSelected = false;
    bool m_bManagerOpen = false;
    bool m_bSourceOpen = false;
    bool m_bSourceEnabled = false;
};

class CTwainWork : public CTwain
{
public:
    explicit CTwainWork(HWND hWnd, DSMENTRYPROC pEntry = nullptr);
    ~CTwainWork() override;

    bool SelectSource() override;
    bool CanCloseSource() override;
    void CopyImage(TW_HANDLE& hImage, const TW_IMAGEINFO& info) override;
    void OnTransferStarted() override;
    void OnTransferEnded() override;

    // Acquires one image with the source's own user interface and answers the path of the JPEG
    // file saved into the folder; empty when nothing was saved.
    std::string Scan(const std::string& folder, bool rotate);

    bool TransferStarted() const { return m_bTransferStarted; }
    bool TransferFinished() const { return m_bTransferFinished; }

private:
    void RunSourceLoop(CSourceWindowWatch& watch);

    bool m_bTransferStarted = false;
    bool m_bTransferFinished = false;
    bool m_bRotate = false;
    std::string m_strFolder;
    std::string m_strResult;
};

// The one scanner session of the module: created for the first window it is asked for and kept
// until DestroyTwainSession.
CTwainWork* GetTwainWork(HWND hWnd);
void DestroyTwainSession();

// The bodies of the scanning methods.
bool SelectScanSourceBody(HWND hParentWnd);
std::string ScanPictureBody(HWND hParentWnd, bool rotate);

// A free name "<folder>FV_<n>.jpg" with n from 0 to 32767, starting at `first` and taking the
// next number while the name is in use; the file is created empty to hold the name. Empty when
// no name is free or the folder cannot be written.
std::string ReserveScanFileName(const std::string& folder, unsigned first);
