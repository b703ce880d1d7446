#include "picture/PictureCommands.h"

#include <oleauto.h>
#include <commdlg.h>
#include <cmath>
#include <vector>

#include "framework/AfxException.h"
#include "framework/Module.h"
#include "picture/Dib.h"
#include "picture/HexText.h"
#include "picture/PixelOps.h"
#include "picture/WorkFolder.h"
#include "resources/resource.h"
#include "framework/Undo.h"
#include "framework/ErrorReport.h"
#include "framework/ErrorText.h"

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

namespace {

// Starts the command line, waits for the program's end and raises the start or exit failure naming
// the program. The wait has no time limit: the operator works in the program meanwhile.
void RunProgramAndWait(const std::string& commandLine, WORD showWindow, const std::string& programName)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showWindow;
    PROCESS_INFORMATION process{};
    std::vector<char> command(commandLine.begin(), commandLine.end());
    command.push_back('\0');
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &process)) {
        const DWORD err = GetLastError();  // the string load below must not replace it
        std::string text = FormatText(LoadResString(IDS_PROGRAM_START_FAILED).c_str(), programName.c_str());
        SetLastError(err);
        CheckWin32(false, text);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.hProcess, &exitCode))
        exitCode = 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (exitCode != 0)
        CheckOrThrow(false, FormatText(LoadResString(IDS_PROGRAM_EXIT_FAILED).c_str(), programName.c_str()));
}

// The operator picks the program in the system's open-file dialog; false when cancelled.
bool ChooseProgram(HWND hParent, std::string& program)
{
    std::string filter = LoadResString(IDS_PROGRAM_FILTER);
    for (char& c : filter)
        if (c == '|')
            c = '\0';
    filter.push_back('\0');
    char path[MAX_PATH] = {};
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = hParent;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof(path);
    dialog.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    if (!GetOpenFileNameA(&dialog))
        return false;
    program = path;
    return true;
}

void HideParent(HWND hParent)
{
    if (hParent != nullptr)
        ShowWindow(hParent, SW_HIDE);
}

} // namespace

std::string OpenPictureWithBody(HWND hParent, const std::string& fileName, std::string program, bool copy,
                                const std::string& editorCommand)
{
    if (fileName.empty())
        return std::string();
    if (!program.empty())
        CharUpperBuffA(&program[0], static_cast<DWORD>(program.size()));
    if (program.compare(0, 7, "PHOTOED") == 0)
        program = editorCommand;
    if (program.empty() && !ChooseProgram(hParent, program))
        return std::string();
    HideParent(hParent);
    std::string work;
    UndoOnFailure(
        [&] {
            work = copy ? MakeWorkCopy(fileName) : fileName;
            RunProgramAndWait(program + " \"" + work + "\"", SW_SHOWMAXIMIZED, program);
        },
        [&] { ShowParentAgain(hParent); });  // a copy stays: the program may have worked on it
    ShowParentAgain(hParent);
    return work;
}

void PrintPictureBody(HWND hParent, const std::string& fileName)
{
    HideParent(hParent);
    UndoOnFailure([&] { RunProgramAndWait("mspaint.exe /p \"" + fileName + "\"", SW_SHOWMINNOACTIVE, "MSPAINT.EXE"); },
                  [&] { ShowParentAgain(hParent); });
    ShowParentAgain(hParent);
}
