#include "ports/ExchangeLog.h"

#include "framework/AfxException.h"
#include "framework/ErrorText.h"

#ifdef _WIN32
#include <oleauto.h>
#include "framework/Module.h"
#else
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string& LogBaseDir()
{
    static std::string baseDir;
    return baseDir;
}

#ifdef _WIN32
void MakeFolder(const std::string& folder)
{
    CreateDirectoryA(folder.c_str(), nullptr);
}

void RemoveFile(const std::string& path)
{
    DeleteFileA(path.c_str());
}

void RenameFile(const std::string& from, const std::string& to)
{
    MoveFileA(from.c_str(), to.c_str());
}
#else
std::string PosixPath(std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

void MakeFolder(const std::string& folder)
{
    ::mkdir(PosixPath(folder).c_str(), 0755);
}

void RemoveFile(const std::string& path)
{
    ::unlink(PosixPath(path).c_str());
}

void RenameFile(const std::string& from, const std::string& to)
{
    std::rename(PosixPath(from).c_str(), PosixPath(to).c_str());
}
#endif

constexpr unsigned kLogOpenFlags = CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite | CFile::shareDenyNone;

} // namespace

void SetExchangeLogBaseDir(const std::string& baseDir)
{
    LogBaseDir() = baseDir;
}

std::string ExchangeLogFolder()
{
    return LogBaseDir() + "\\device_server_files\\";
}

std::string SafePortFileName(const std::string& portName)
{
    std::string safe;
    for (char c : portName) {
        switch (c) {
        case '\\': case '/': case '*': case '?': case '"': case '<': case '>': case '|': case '.':
            break;
        case ':':
            safe += '-';
            break;
        default:
            safe += c;
        }
    }
    return safe;
}

std::string ExchangeLogFileName(const std::string& portName, int address, BOOL isWrite)
{
    return FormatText("_p%sd%d_%s_err.log", SafePortFileName(portName).c_str(), address < 0 ? -1 : address,
                      isWrite ? "write" : "read");
}

std::string ExchangeLogOldFileName(const std::string& fileName)
{
    static const std::string suffix = "_err.log";
    if (fileName.size() >= suffix.size() && fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) == 0)
        return fileName.substr(0, fileName.size() - suffix.size()) + "_err_old.log";
    return fileName + "_old";
}

std::string ExchangeLogLine(const std::string& timeText, int address, const std::string& text)
{
    std::string line = timeText + "\t" + text;
    if (address >= 0)
        line += "\t\t\t";
    return line;
}

std::string ExchangeLogTimeText()
{
#ifdef _WIN32
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE date = 0;
    if (!SystemTimeToVariantTime(&st, &date))
        return std::string();
    BSTR bstr = nullptr;
    if (FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &bstr)) || bstr == nullptr)
        return std::string();
    std::string text = ToAnsi(bstr);
    SysFreeString(bstr);
    return text;
#else
    char text[32] = {};
    std::time_t now = std::time(nullptr);
    std::tm local;
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof(text), "%d.%m.%Y %H:%M:%S", &local);
    return text;
#endif
}

void LogExchangeError(const std::string& portName, int address, BOOL isWrite, const std::string& text)
{
    std::string line = ExchangeLogLine(ExchangeLogTimeText(), address, text) + "\r\n";
    const std::string folder = ExchangeLogFolder();
    MakeFolder(folder);
    const std::string fileName = ExchangeLogFileName(portName, address, isWrite);
    const std::string path = folder + fileName;

    CFile file(path.c_str(), kLogOpenFlags);
    if (file.GetLength() > kExchangeLogMaxBytes) {
        file.Close();
        RemoveFile(folder + ExchangeLogOldFileName(fileName));
        RenameFile(path, folder + ExchangeLogOldFileName(fileName));
        try {
            file.Open(path.c_str(), kLogOpenFlags);
        } catch (CException* e) {
            e->Delete();  // the line is lost; the caller's own failure goes on
            return;
        }
    }
    file.SeekToEnd();
    file.Write(line.data(), static_cast<unsigned>(line.size()));
    file.Close();
}
