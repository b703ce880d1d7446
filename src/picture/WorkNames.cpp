#include "picture/WorkNames.h"

#include <cstring>
#include "framework/ErrorText.h"

std::string FileNamePart(const std::string& fileName)
{
    size_t slash = fileName.rfind('\\');
    return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string WorkCopyName(const std::string& workFolder, int number, const std::string& sourceName)
{
    return FormatText("%sFV%d_%s", workFolder.c_str(), number, FileNamePart(sourceName).c_str());
}

std::string WithTrailingBackslash(const std::string& folder)
{
    if (!folder.empty() && folder.back() == '\\')
        return folder;
    return folder + "\\";
}

int64_t WholeDaysBetween(int64_t earlierSeconds, int64_t laterSeconds)
{
    return (laterSeconds - earlierSeconds) / 86400;
}

bool IsStaleWorkFile(int64_t lastAccessSeconds, int64_t nowSeconds)
{
    return WholeDaysBetween(lastAccessSeconds, nowSeconds) >= 1;
}

bool IsWorkFileName(const std::string& name)
{
    return name != "." && name != ".." && name.size() >= 2 && (name[0] == 'F' || name[0] == 'f') &&
           (name[1] == 'V' || name[1] == 'v');
}

std::string EditorCommandFromValue(const char* buffer, size_t bufferSize, size_t bytesRead)
{
    // The value need not be zero-terminated in the registry; never read past what was read.
    if (buffer == nullptr || bytesRead > bufferSize)
        return std::string();
    size_t len = strnlen(buffer, bytesRead);
    // bytesRead counts the terminating zero: the cut lands at bytesRead - 5.
    if (bytesRead < 5)
        return std::string();
    size_t cut = bytesRead - 5;
    if (cut > len)
        cut = len;
    return std::string(buffer, cut);
}
