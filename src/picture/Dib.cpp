#include "picture/Dib.h"

#include <cstring>
#include <memory>
#include <vector>

#include "codecs/codec.h"
#include "picture/PixelOps.h"

namespace {

// The biggest picture the object holds: the codecs' own limit.
constexpr size_t kMaxPixelBytes = size_t(256) << 20;

int ColourCount(int bits)
{
    return bits >= 24 ? 0 : 1 << bits;
}

// An open codec file that is closed on every path.
struct CodecFile {
    int fd;
    explicit CodecFile(int handle) : fd(handle) {}
    ~CodecFile()
    {
        if (fd >= 0)
            codec_io_close(fd);
    }
};

bool FormatWrites(unsigned flags, int bits)
{
    switch (bits) {
    case 1: return flags & CODEC_WRITES_1;
    case 4: return flags & CODEC_WRITES_4;
    case 8: return flags & CODEC_WRITES_8;
    case 24: return flags & CODEC_WRITES_24;
    default: return false;
    }
}

} // namespace

CDIB::~CDIB()
{
    Free();
}

HGLOBAL CDIB::AllocateBlock(int width, int height, int bitsPerPixel, int colours)
{
    if (width <= 0 || height <= 0)
        return nullptr;
    const size_t stride = DibStride(width, bitsPerPixel);
    if (stride == 0 || stride > kMaxPixelBytes / static_cast<size_t>(height))
        return nullptr;
    const size_t bytes = sizeof(BITMAPINFOHEADER) + 4 * static_cast<size_t>(colours) + stride * size_t(height);
    return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
}

const RGBQUAD* CDIB::ColourTable() const
{
    return m_pHeader ? reinterpret_cast<const RGBQUAD*>(m_pHeader + 1) : nullptr;
}

void CDIB::Adopt(HGLOBAL hNew)
{
    if (m_hDib != nullptr) {
        GlobalUnlock(m_hDib);
        GlobalFree(m_hDib);
    }
    m_hDib = hNew;
    m_pHeader = static_cast<BITMAPINFOHEADER*>(GlobalLock(hNew));
    const int bits = m_pHeader->biBitCount;
    const int colours = bits < 24 ? (m_pHeader->biClrUsed ? int(m_pHeader->biClrUsed) : ColourCount(bits)) : 0;
    m_pBits = reinterpret_cast<BYTE*>(m_pHeader + 1) + 4 * colours;
    m_nWidth = m_pHeader->biWidth;
    m_nHeight = m_pHeader->biHeight;
    m_nStride = static_cast<int>(DibStride(m_nWidth, bits));
    m_bValid = TRUE;
}

void CDIB::RebuildPalette(BYTE flags)
{
    if (m_palette != nullptr) {
        DeleteObject(m_palette);
        m_palette = nullptr;
    }
    const int bits = m_pHeader ? m_pHeader->biBitCount : 24;
    if (bits >= 24)
        return;
    const int colours = m_pHeader->biClrUsed ? int(m_pHeader->biClrUsed) : ColourCount(bits);
    std::vector<BYTE> buffer(sizeof(LOGPALETTE) + sizeof(PALETTEENTRY) * size_t(colours));
    LOGPALETTE* pLog = reinterpret_cast<LOGPALETTE*>(buffer.data());
    pLog->palVersion = 0x300;
    pLog->palNumEntries = static_cast<WORD>(colours);
    const RGBQUAD* table = ColourTable();
    for (int i = 0; i < colours; ++i) {
        pLog->palPalEntry[i].peRed = table[i].rgbRed;
        pLog->palPalEntry[i].peGreen = table[i].rgbGreen;
        pLog->palPalEntry[i].peBlue = table[i].rgbBlue;
        pLog->palPalEntry[i].peFlags = flags;
    }
    m_palette = CreatePalette(pLog);
}

bool CDIB::Create(int width, int height, int bitsPerPixel)
{
    if (m_bValid)
        return false;
    switch (bitsPerPixel) {
    case 1: case 2: case 4: case 8: case 16: case 24: case 32: break;
    default: return false;
    }
    const int colours = ColourCount(bitsPerPixel);
    HGLOBAL h = AllocateBlock(width, height, bitsPerPixel, bitsPerPixel < 16 ? colours : 0);
    if (h == nullptr)
        return false;
    BITMAPINFOHEADER* p = static_cast<BITMAPINFOHEADER*>(GlobalLock(h));
    p->biSize = sizeof(BITMAPINFOHEADER);
    p->biWidth = width;
    p->biHeight = height;
    p->biPlanes = 1;
    p->biBitCount = static_cast<WORD>(bitsPerPixel);
    p->biCompression = BI_RGB;
    GlobalUnlock(h);
    Adopt(h);
    m_nColors = bitsPerPixel >= 24 ? 16777216 : colours;
    if (bitsPerPixel < 16)
        RebuildPalette(0);
    return true;
}

bool CDIB::CreateFromPackedDib(const BITMAPINFOHEADER* pPacked)
{
    Free();
    if (pPacked == nullptr || pPacked->biWidth <= 0 || pPacked->biHeight <= 0)
        return false;
    const int bits = pPacked->biBitCount;
    int colours = pPacked->biClrUsed ? int(pPacked->biClrUsed)
                  : bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
    if (colours > 256 || (bits < 16 && colours > ColourCount(bits)))
        return false;
    HGLOBAL h = AllocateBlock(pPacked->biWidth, pPacked->biHeight, bits, colours);
    if (h == nullptr)
        return false;
    BITMAPINFOHEADER* p = static_cast<BITMAPINFOHEADER*>(GlobalLock(h));
    const size_t tableBytes = 4 * size_t(colours);
    std::memcpy(p, pPacked, sizeof(BITMAPINFOHEADER));
    const BYTE* srcTable = reinterpret_cast<const BYTE*>(pPacked) + pPacked->biSize;
    std::memcpy(p + 1, srcTable, tableBytes);
    p->biSize = sizeof(BITMAPINFOHEADER);
    p->biPlanes = 1;
    p->biCompression = BI_RGB;
    std::memcpy(reinterpret_cast<BYTE*>(p + 1) + tableBytes, srcTable + tableBytes,
                DibStride(p->biWidth, bits) * size_t(p->biHeight));
    GlobalUnlock(h);
    Adopt(h);
    m_nColors = colours;
    if (bits < 24)
        RebuildPalette(0);
    return true;
}

bool CDIB::CreateFromBitmap(HDC hdc, HBITMAP hBitmap, int width, int height, int bitsPerPixel)
{
    if (m_bValid || hBitmap == nullptr)
        return false;
    if (width == 0 || height == 0 || bitsPerPixel == 0) {
        BITMAP bm = {};
        if (!GetObject(hBitmap, sizeof(bm), &bm))
            return false;
        if (width == 0)
            width = bm.bmWidth;
        if (height == 0)
            height = bm.bmHeight;
        if (bitsPerPixel == 0)
            bitsPerPixel = bm.bmBitsPixel * bm.bmPlanes;
    }
    if (!Create(width, height, bitsPerPixel))
        return false;
    if (GetDIBits(hdc, hBitmap, 0, static_cast<UINT>(height), m_pBits, reinterpret_cast<BITMAPINFO*>(m_pHeader),
                  DIB_RGB_COLORS) == 0) {
        Free();
        return false;
    }
    m_pHeader->biSize = sizeof(BITMAPINFOHEADER);
    m_pHeader->biCompression = BI_RGB;
    if (bitsPerPixel < 16)
        RebuildPalette(0);
    return true;
}

bool CDIB::Load(const char* fileName)
{
    if (fileName == nullptr)
        return false;
    std::string name = fileName, options;
    const size_t comma = name.find(',');
    if (comma != std::string::npos) {
        options = name.substr(comma + 1);
        name.erase(comma);
    }
    int format = 0;
    if (codec_guess_format(name.c_str(), &format) != CODEC_OK)
        return false;
    CodecFile file(codec_io_open(name.c_str(), codec_mode_read_binary()));
    if (file.fd < 0)
        return false;
    ImageHeader header;
    if (codec_read_header(name.c_str(), file.fd, format, &header, options.c_str()) != CODEC_OK)
        return false;
    if (!Create(header.width, header.height, header.bpp))
        return false;
    PaletteEntry palette[256] = {};
    if (codec_read_palette(file.fd, format, &header, palette) != CODEC_OK ||
        codec_read_data(file.fd, format, &header, m_pBits) != CODEC_OK) {
        Free();
        return false;
    }
    if (header.bpp < 24) {
        RGBQUAD* table = reinterpret_cast<RGBQUAD*>(m_pHeader + 1);
        for (int i = 0; i < ColourCount(header.bpp); ++i) {
            table[i].rgbRed = palette[i].red;
            table[i].rgbGreen = palette[i].green;
            table[i].rgbBlue = palette[i].blue;
            table[i].rgbReserved = 255;
        }
        RebuildPalette(255);
    }
    m_strFileName = name;
    return true;
}

bool CDIB::Save(const char* fileName)
{
    if (!m_bValid)
        return false;
    std::string name = fileName ? fileName : m_strFileName, options;
    const size_t comma = name.find(',');
    if (comma != std::string::npos) {
        options = name.substr(comma + 1);
        name.erase(comma);
    }
    int format = 0;
    FormatInfo info = {};
    if (codec_guess_format(name.c_str(), &format) != CODEC_OK || codec_query_format(format, &info) != CODEC_OK)
        return false;
    if (comma == std::string::npos && format == CODEC_FORMAT_GIF)
        options = "transcol=edge";

    ImageHeader header = {};
    header.width = m_nWidth;
    header.height = m_nHeight;
    header.bpp = BitsPerPixel();
    PaletteEntry palette[256] = {};
    const BYTE* rows = m_pBits;
    std::vector<BYTE> reduced, expanded;
    if (FormatWrites(info.flags, header.bpp)) {
        if (header.bpp < 24 && m_palette != nullptr) {
            PALETTEENTRY entries[256] = {};
            const UINT n = GetPaletteEntries(m_palette, 0, 256, entries);
            for (UINT i = 0; i < n; ++i)
                palette[i] = PaletteEntry{entries[i].peRed, entries[i].peGreen, entries[i].peBlue};
        }
    } else {
        const int target = (info.flags & CODEC_WRITES_8) ? 8 : (info.flags & CODEC_WRITES_4) ? 4
                           : (info.flags & CODEC_WRITES_1) ? 1 : 0;
        if (target == 0 || (header.bpp != 24 && header.bpp != 8))
            return false;
        try {
            const BYTE* source = m_pBits;
            ImageHeader source24 = header;
            if (header.bpp == 8) {
                // The reduction works on true colour: an 8-bit picture goes through 24 bits first.
                expanded.resize(DibStride(m_nWidth, 24) * size_t(m_nHeight));
                ExpandIndexed8To24(m_pBits, m_nWidth, m_nHeight, reinterpret_cast<const BYTE*>(ColourTable()),
                                   expanded.data());
                source = expanded.data();
                source24.bpp = 24;
            }
            std::vector<BYTE> indices(DibStride(m_nWidth, 8) * size_t(m_nHeight));
            if (!codec_reduce_colours(&source24, source, palette, indices.data(), 1 << target, 255, 255, 255))
                return false;
            if (target == 8) {
                reduced.swap(indices);
            } else {
                reduced.resize(DibStride(m_nWidth, target) * size_t(m_nHeight));
                PackIndices(indices.data(), m_nWidth, m_nHeight, target, reduced.data());
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        header.bpp = target;
        rows = reduced.data();
    }

    // Saving over the picture it was loaded from must not lose it when the writer fails: the old
    // file steps aside under a free name beside it and comes back on failure.
    std::string backup;
    for (int n = 1; n < 100 && backup.empty(); ++n) {
        std::string candidate = name + ".~trel" + std::to_string(n);
        if (MoveFileExA(name.c_str(), candidate.c_str(), 0))
            backup = candidate;
        else if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
            break;  // nothing there to keep, or it cannot move: written in place as before
    }
    int rc = CODEC_ERR_WRITE;
    const int fd = codec_io_create(name.c_str(), codec_mode_write_binary());
    if (fd >= 0) {
        rc = codec_write(name.c_str(), fd, format, &header, palette, rows, options.c_str());
        codec_io_close(fd);
    }
    if (rc != CODEC_OK) {
        if (fd >= 0)
            DeleteFileA(name.c_str());
        if (!backup.empty())
            MoveFileExA(backup.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING);
        return false;
    }
    if (!backup.empty())
        DeleteFileA(backup.c_str());
    return true;
}

bool CDIB::ConvertTo24Bit()
{
    if (!m_bValid)
        return false;
    if (m_nColors > 16777215)
        return true;
    const int bits = BitsPerPixel();
    if (bits == 24) {
        // A 24-bit picture taken over from a packed bitmap already has the right rows.
        m_nColors = 16777216;
        return true;
    }
    if (bits != 1 && bits != 4 && bits != 8)
        return ConvertThroughScreen();
    HGLOBAL h = AllocateBlock(m_nWidth, m_nHeight, 24, 0);
    if (h == nullptr)
        return false;
    // The colours come from the logical palette; without one there is nothing to convert with.
    RGBQUAD table[256] = {};
    PALETTEENTRY entries[256] = {};
    const UINT n = m_palette ? GetPaletteEntries(m_palette, 0, 256, entries) : 0;
    if (n == 0) {
        GlobalFree(h);
        return false;
    }
    for (UINT i = 0; i < n; ++i)
        table[i] = RGBQUAD{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
    BITMAPINFOHEADER* p = static_cast<BITMAPINFOHEADER*>(GlobalLock(h));
    *p = *m_pHeader;
    p->biBitCount = 24;
    p->biClrUsed = 0;
    p->biClrImportant = 0;
    p->biSizeImage = static_cast<DWORD>(DibStride(m_nWidth, 24) * size_t(m_nHeight));
    BYTE* out = reinterpret_cast<BYTE*>(p + 1);
    if (bits == 8) {
        ExpandIndexed8To24(m_pBits, m_nWidth, m_nHeight, reinterpret_cast<const BYTE*>(table), out);
    } else {
        // 1 and 4 bits: unpacked through the same table (no detour through the screen's depth).
        std::vector<BYTE> indices(DibStride(m_nWidth, 8) * size_t(m_nHeight));
        for (int y = 0; y < m_nHeight; ++y) {
            const BYTE* s = m_pBits + size_t(y) * m_nStride;
            BYTE* d = indices.data() + size_t(y) * DibStride(m_nWidth, 8);
            for (int x = 0; x < m_nWidth; ++x)
                d[x] = bits == 4 ? (s[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F : (s[x / 8] >> (7 - x % 8)) & 1;
        }
        ExpandIndexed8To24(indices.data(), m_nWidth, m_nHeight, reinterpret_cast<const BYTE*>(table), out);
    }
    GlobalUnlock(h);
    if (m_palette != nullptr) {
        DeleteObject(m_palette);
        m_palette = nullptr;
    }
    Adopt(h);
    m_nColors = 16777216;
    return true;
}

bool CDIB::ConvertThroughScreen()
{
    // Other depths (16 and 32 bits): drawn one to one into a screen-compatible bitmap and read
    // back as 24 bits.
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, m_nWidth, m_nHeight);
    bool ok = false;
    if (hMem != nullptr && hBitmap != nullptr) {
        HGDIOBJ hOld = SelectObject(hMem, hBitmap);
        RECT all = {0, 0, m_nWidth, m_nHeight};
        const bool drawn = Draw(hMem, all, all) != FALSE;
        SelectObject(hMem, hOld);
        if (drawn) {
            const int w = m_nWidth, h = m_nHeight;
            Free();
            ok = CreateFromBitmap(hScreen, hBitmap, w, h, 24);
            if (ok)
                m_nColors = 16777216;
        }
    }
    if (hBitmap != nullptr)
        DeleteObject(hBitmap);
    if (hMem != nullptr)
        DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    return ok;
}

bool CDIB::Stretch(int newWidth, int newHeight, int left, int top, int right, int bottom)
{
    if (!m_bValid || m_nColors <= 16777215 || BitsPerPixel() != 24 || newWidth < 0 || newHeight < 0)
        return false;
    std::vector<uint8_t> pixels;
    if (!StretchPixels24(m_pBits, m_nWidth, m_nHeight, left, top, right, bottom, newWidth, newHeight, pixels))
        return false;
    HGLOBAL h = AllocateBlock(newWidth, newHeight, 24, 0);
    if (h == nullptr)
        return false;
    BITMAPINFOHEADER* p = static_cast<BITMAPINFOHEADER*>(GlobalLock(h));
    *p = *m_pHeader;
    p->biWidth = newWidth;
    p->biHeight = newHeight;
    p->biSizeImage = static_cast<DWORD>(pixels.size());
    p->biClrUsed = 0;
    p->biClrImportant = 0;
    std::memcpy(p + 1, pixels.data(), pixels.size());
    GlobalUnlock(h);
    Adopt(h);
    return true;
}

bool CDIB::Rotate(int degrees)
{
    if (!m_bValid || m_nColors <= 16777215 || BitsPerPixel() != 24)
        return false;
    std::vector<uint8_t> pixels;
    int32_t w = 0, h = 0;
    if (!RotatePixels24(m_pBits, m_nWidth, m_nHeight, degrees, w, h, pixels))
        return false;
    HGLOBAL block = AllocateBlock(w, h, 24, 0);
    if (block == nullptr)
        return false;
    BITMAPINFOHEADER* p = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    *p = *m_pHeader;
    p->biWidth = w;
    p->biHeight = h;
    p->biSizeImage = static_cast<DWORD>(pixels.size());
    std::memcpy(p + 1, pixels.data(), pixels.size());
    GlobalUnlock(block);
    Adopt(block);
    return true;
}

BOOL CDIB::Draw(HDC hdc, const RECT& destination, RECT source)
{
    if (!m_bValid || hdc == nullptr)
        return FALSE;
    if (source.right > m_nWidth)
        source.right = m_nWidth;
    if (source.bottom > m_nHeight)
        source.bottom = m_nHeight;
    HPALETTE hOld = nullptr;
    if (m_palette != nullptr) {
        hOld = SelectPalette(hdc, m_palette, TRUE);
        RealizePalette(hdc);
    }
    SetStretchBltMode(hdc, COLORONCOLOR);
    const int dw = destination.right - destination.left, dh = destination.bottom - destination.top;
    const int sw = source.right - source.left, sh = source.bottom - source.top;
    BOOL ok;
    const BITMAPINFO* info = reinterpret_cast<const BITMAPINFO*>(m_pHeader);
    if (dw == sw && dh == sh)
        ok = SetDIBitsToDevice(hdc, destination.left, destination.top, dw, dh, source.left,
                               m_nHeight - source.bottom, 0, m_nHeight, m_pBits, info, DIB_RGB_COLORS) != 0;
    else
        ok = StretchDIBits(hdc, destination.left, destination.top, dw, dh, source.left, m_nHeight - source.bottom, sw,
                           sh, m_pBits, info, DIB_RGB_COLORS, SRCCOPY) != static_cast<int>(GDI_ERROR);
    if (hOld != nullptr)
        SelectPalette(hdc, hOld, TRUE);
    return ok;
}

void CDIB::Free()
{
    if (m_palette != nullptr) {
        DeleteObject(m_palette);
        m_palette = nullptr;
    }
    if (m_bValid || m_hDib != nullptr) {
        if (m_hDib != nullptr) {
            GlobalUnlock(m_hDib);
            GlobalFree(m_hDib);
        }
        m_hDib = nullptr;
        m_pHeader = nullptr;
        m_pBits = nullptr;
        m_strFileName.clear();
        m_bValid = FALSE;
        m_nWidth = m_nHeight = 0;
        m_nColors = 0;
        m_nStride = 0;
    }
}
