#include "picture/WorkFolder.h"

#include <windows.h>
#include <cstdlib>

#include "picture/WorkNames.h"

std::string GetWorkFolder()
{
    char buf[MAX_PATH] = {};
    DWORD n = GetTempPathA(MAX_PATH, buf);
    if (n == 0 || n >= MAX_PATH)
        return "c:\\";
    return WithTrailingBackslash(std::string(buf, n));
}

static bool NameExists(const std::string& name)
{
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string MakeWorkCopy(const std::string& sourceName)
{
    std::string candidate = sourceName;
    std::string folder = GetWorkFolder();
    while (NameExists(candidate))
        candidate = WorkCopyName(folder, std::rand(), sourceName);
    // A failed copy is not reported: the next step fails on the missing file instead.
    CopyFileA(sourceName.c_str(), candidate.c_str(), TRUE);
    return candidate;
}

static int64_t FileTimeSeconds(const FILETIME& ft)
{
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(u.QuadPart / 10000000ull);
}

void CleanWorkFolder()
{
    std::string folder = GetWorkFolder();
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA((folder + "FV*.*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!IsWorkFileName(fd.cFileName) || (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        if (IsStaleWorkFile(FileTimeSeconds(fd.ftLastAccessTime), FileTimeSeconds(now)))
            DeleteFileA((folder + fd.cFileName).c_str());
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
}
