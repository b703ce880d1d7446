// CDIB: one picture in memory as a packed device-independent bitmap in a movable global block
// (header, colour table, rows), loaded and saved through the picture codecs.
#pragma once
#include <windows.h>
#include <string>

class CDIB
{
public:
    CDIB() = default;
    virtual ~CDIB();
    CDIB(const CDIB&) = delete;
    CDIB& operator=(const CDIB&) = delete;

    bool Create(int width, int height, int bitsPerPixel);
    bool CreateFromPackedDib(const BITMAPINFOHEADER* pPacked);
    bool CreateFromBitmap(HDC hdc, HBITMAP hBitmap, int width, int height, int bitsPerPixel);
    // The name may be followed by a comma and the codec's options.
    bool Load(const char* fileName);
    // Null saves under the name the picture was loaded from.
    bool Save(const char* fileName = nullptr);
    bool ConvertTo24Bit();
    bool Stretch(int newWidth, int newHeight, int left = -1, int top = -1, int right = -1, int bottom = -1);
    bool Rotate(int degrees);
    BOOL Draw(HDC hdc, const RECT& destination, RECT source);
    void Free();

    bool IsValid() const { return m_bValid != FALSE; }
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    int Colors() const { return m_nColors; }
    int BitsPerPixel() const { return m_pHeader ? m_pHeader->biBitCount : 0; }
    const BYTE* Bits() const { return m_pBits; }
    BYTE* Bits() { return m_pBits; }
    const RGBQUAD* ColourTable() const;
    const std::string& FileName() const { return m_strFileName; }
    HPALETTE Palette() const { return m_palette; }

private:
    // Takes over a new block (header + table + rows) and frees the old one.
    void Adopt(HGLOBAL hNew);
    void RebuildPalette(BYTE flags);
    bool ConvertThroughScreen();
    static HGLOBAL AllocateBlock(int width, int height, int bitsPerPixel, int colours);

    HGLOBAL m_hDib = nullptr;
    BITMAPINFOHEADER* m_pHeader = nullptr;
    BYTE* m_pBits = nullptr;
    BOOL m_bValid = FALSE;
    std::string m_strFileName;
    HPALETTE m_palette = nullptr;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nColors = 0;
    int m_nStride = 0;
};
