#include "framework/AfxException.h"

#include <cstring>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

BOOL CException::GetErrorMessage(LPSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const
{
    if (pnHelpContext != nullptr)
        *pnHelpContext = 0;
    if (lpszError == nullptr || nMaxError == 0)
        return FALSE;
    std::string text = MessageText();
    size_t n = text.size() < nMaxError - 1 ? text.size() : nMaxError - 1;
    std::memcpy(lpszError, text.data(), n);
    lpszError[n] = '\0';
    return text.empty() ? FALSE : TRUE;
}

CMemoryException::CMemoryException() : CSimpleException("Out of memory.")
{
}

CResourceException::CResourceException() : CSimpleException("A required resource was unavailable.")
{
}

CFileException::CFileException(int cause, LONG lOsError, const char* fileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(fileName ? fileName : "")
{
}

std::string CFileException::MessageText() const
{
    // The system's own words for the cause, with the file's name where it helps.
    std::string text;
#ifdef _WIN32
    if (m_lOsError > 0) {
        char buf[512] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(m_lOsError), 0, buf, sizeof(buf), nullptr);
        while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
            buf[--n] = '\0';
        text.assign(buf, n);
    }
#endif
    if (text.empty()) {
        static const char* const causes[] = {
            "no error", "an unspecified error occurred", "the file was not found", "the path is invalid",
            "too many open files", "access was denied", "invalid file handle",
            "the current working directory cannot be removed", "the directory is full",
            "a seek error occurred", "a hardware I/O error occurred", "a sharing violation occurred",
            "a locking violation occurred", "the disk is full", "the end of the file was reached"};
        int c = (m_cause >= 0 && m_cause <= endOfFile) ? m_cause : genericException;
        text = causes[c];
    }
    if (!m_strFileName.empty())
        text = m_strFileName + ": " + text;
    return text;
}

void AfxThrowMemoryException()
{
    throw new CMemoryException();
}

void AfxThrowResourceException()
{
    throw new CResourceException();
}

void AfxThrowFileException(int cause, LONG lOsError, const char* fileName)
{
    throw new CFileException(cause, lOsError, fileName);
}

#ifdef _WIN32
namespace {

int CauseFromError(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND: return CFileException::fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return CFileException::badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return CFileException::tooManyOpenFiles;
    case ERROR_ACCESS_DENIED: return CFileException::accessDenied;
    case ERROR_SHARING_VIOLATION: return CFileException::sharingViolation;
    case ERROR_LOCK_VIOLATION: return CFileException::lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return CFileException::diskFull;
    default: return CFileException::genericException;
    }
}

[[noreturn]] void ThrowLastFileError(const std::string& fileName)
{
    DWORD err = GetLastError();
    AfxThrowFileException(CauseFromError(err), static_cast<LONG>(err), fileName.c_str());
}

} // namespace

void CFile::Open(const char* fileName, unsigned flags)
{
    Close();
    m_strFileName = fileName ? fileName : "";
    DWORD access = (flags & modeReadWrite) ? GENERIC_READ | GENERIC_WRITE
                   : (flags & modeWrite)   ? GENERIC_WRITE
                                           : GENERIC_READ;
    DWORD share = (flags & shareDenyNone) ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    DWORD disposition = (flags & modeCreate) ? ((flags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS)
                                             : OPEN_EXISTING;
    m_hFile = CreateFileA(m_strFileName.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE)
        ThrowLastFileError(m_strFileName);
}

void CFile::Close()
{
    if (m_hFile != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }
}

unsigned long long CFile::GetLength() const
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_hFile, &size))
        ThrowLastFileError(m_strFileName);
    return static_cast<unsigned long long>(size.QuadPart);
}

unsigned CFile::Read(void* buffer, unsigned count)
{
    DWORD got = 0;
    if (!ReadFile(m_hFile, buffer, count, &got, nullptr))
        ThrowLastFileError(m_strFileName);
    return got;
}

unsigned long long CFile::SeekToEnd()
{
    LARGE_INTEGER zero, pos;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(m_hFile, zero, &pos, FILE_END))
        ThrowLastFileError(m_strFileName);
    return static_cast<unsigned long long>(pos.QuadPart);
}

void CFile::Write(const void* buffer, unsigned count)
{
    DWORD written = 0;
    if (!WriteFile(m_hFile, buffer, count, &written, nullptr))
        ThrowLastFileError(m_strFileName);
    if (written != count)
        AfxThrowFileException(CFileException::diskFull, -1, m_strFileName.c_str());
}

void CFile::Flush()
{
    if (m_hFile != INVALID_HANDLE_VALUE && !FlushFileBuffers(m_hFile))
        ThrowLastFileError(m_strFileName);
}

#else
namespace {

int CauseFromErrno(int err)
{
    switch (err) {
    case ENOENT: return CFileException::fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG: return CFileException::badPath;
    case EMFILE:
    case ENFILE: return CFileException::tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS: return CFileException::accessDenied;
    case ENOSPC: return CFileException::diskFull;
    default: return CFileException::genericException;
    }
}

[[noreturn]] void ThrowErrnoFileError(const std::string& fileName)
{
    int err = errno;
    AfxThrowFileException(CauseFromErrno(err), -1, fileName.c_str());
}

int Fd(HANDLE h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

// Windows paths on POSIX: a backslash separates folders.
std::string PosixPath(const std::string& name)
{
    std::string path = name;
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

} // namespace

void CFile::Open(const char* fileName, unsigned flags)
{
    Close();
    m_strFileName = fileName ? fileName : "";
    int oflags = (flags & modeReadWrite) ? O_RDWR : (flags & modeWrite) ? O_WRONLY : O_RDONLY;
    if (flags & modeCreate)
        oflags |= O_CREAT | ((flags & modeNoTruncate) ? 0 : O_TRUNC);
    int fd = ::open(PosixPath(m_strFileName).c_str(), oflags | O_CLOEXEC, 0644);
    if (fd < 0)
        ThrowErrnoFileError(m_strFileName);
    m_hFile = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

void CFile::Close()
{
    if (m_hFile != INVALID_HANDLE_VALUE) {
        ::close(Fd(m_hFile));
        m_hFile = INVALID_HANDLE_VALUE;
    }
}

unsigned long long CFile::GetLength() const
{
    struct stat st;
    if (::fstat(Fd(m_hFile), &st) != 0)
        ThrowErrnoFileError(m_strFileName);
    return static_cast<unsigned long long>(st.st_size);
}

unsigned long long CFile::SeekToEnd()
{
    off_t pos = ::lseek(Fd(m_hFile), 0, SEEK_END);
    if (pos < 0)
        ThrowErrnoFileError(m_strFileName);
    return static_cast<unsigned long long>(pos);
}

unsigned CFile::Read(void* buffer, unsigned count)
{
    ssize_t got;
    do
        got = ::read(Fd(m_hFile), buffer, count);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        ThrowErrnoFileError(m_strFileName);
    return static_cast<unsigned>(got);
}

void CFile::Write(const void* buffer, unsigned count)
{
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
        ssize_t n = ::write(Fd(m_hFile), p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ThrowErrnoFileError(m_strFileName);
        p += n;
        count -= static_cast<unsigned>(n);
    }
}

void CFile::Flush()
{
    if (m_hFile != INVALID_HANDLE_VALUE && ::fsync(Fd(m_hFile)) != 0 && errno != EINVAL)
        ThrowErrnoFileError(m_strFileName);
}
#endif
