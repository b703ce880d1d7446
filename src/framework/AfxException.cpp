#include "framework/AfxException.h"

#include <cstring>

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
    if (m_lOsError > 0) {
        char buf[512] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(m_lOsError), 0, buf, sizeof(buf), nullptr);
        while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
            buf[--n] = '\0';
        text.assign(buf, n);
    }
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
