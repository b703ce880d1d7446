#include "picture/PictureCommands.h"

#include <oleauto.h>
#include <cmath>
#include <vector>

#include "framework/AfxException.h"
#include "picture/Dib.h"
#include "picture/HexText.h"
#include "picture/WorkFolder.h"
#include "resources/resource.h"
#include "shell/CallFrame.h"
#include "shell/ErrorReport.h"
#include "shell/ErrorText.h"

BSTR EncodeFileBody(const std::string& fileName)
{
    CFile file(fileName.c_str(), CFile::modeRead | CFile::shareDenyNone);
    const unsigned long long length = file.GetLength();
    // A file that cannot be held twice by a 32-bit process is refused up front.
    if (length > kMaxEncodeFileBytes)
        ThrowComError(E_OUTOFMEMORY, FormatText("File is too large to encode: %llu bytes (at most %llu)", length,
                                                kMaxEncodeFileBytes)
                                         .c_str());
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        ThrowComError(E_OUTOFMEMORY, "Not enough memory to read the file");
    }
    size_t done = 0;
    while (done < buffer.size()) {
        unsigned got = file.Read(buffer.data() + done, static_cast<unsigned>(buffer.size() - done));
        if (got == 0)
            break;
        done += got;
    }
    CheckOrThrow(done == buffer.size(), "Failed to read file");
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(buffer.size() * 2));
    if (text == nullptr)
        ThrowComError(E_OUTOFMEMORY, "Not enough memory for the file's text");
    HexEncode(buffer.data(), buffer.size(), text);
    return text;
}

void StandardSize(long width, long height, long defWidth, long defHeight, long& newWidth, long& newHeight)
{
    if (height > width) {
        newHeight = defHeight;
        newWidth = static_cast<long>(std::floor(static_cast<double>(width) / height * defHeight));
    } else {
        newWidth = defWidth;
        newHeight = static_cast<long>(std::floor(static_cast<double>(height) / width * defWidth));
    }
}

std::string ResizePictureBody(const std::string& fileName, long defWidth, long defHeight, bool copy)
{
    if (fileName.empty())
        return std::string();
    std::string work = copy ? MakeWorkCopy(fileName) : fileName;
    UndoOnFailure(
        [&] {
            CDIB dib;
            CheckOrThrowId(dib.Load(work.c_str()), IDS_LOAD_FAILED);
            CheckOrThrowId(dib.ConvertTo24Bit(), IDS_TO24BIT_FAILED);
            long newWidth = 0, newHeight = 0;
            StandardSize(dib.Width(), dib.Height(), defWidth, defHeight, newWidth, newHeight);
            if (newWidth != dib.Width() || newHeight != dib.Height()) {
                CheckOrThrowId(dib.Stretch(static_cast<int>(newWidth), static_cast<int>(newHeight)), IDS_RESIZE_FAILED);
                CheckOrThrowId(dib.Save(), IDS_SAVE_FAILED);
            }
        },
        [&] {
            if (copy)
                DeleteWorkCopy(work.c_str());
        });
    return work;
}
