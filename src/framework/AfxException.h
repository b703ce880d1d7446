// The application framework's exception classes, as far as the component uses them. They are
// thrown by pointer and deleted by whoever handles them (Delete), as the framework does.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include "compat/wincompat.h"
#endif
#include <string>

class CException
{
public:
    CException() = default;
    virtual ~CException() = default;
    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;

    // Copies the message into the buffer (always zero-terminated); FALSE when there is none.
    virtual BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError, PUINT pnHelpContext = nullptr) const;
    void Delete() { delete this; }

protected:
    // The message of this exception; empty when it has none.
    virtual std::string MessageText() const { return std::string(); }
};

class CSimpleException : public CException
{
public:
    explicit CSimpleException(std::string message = std::string()) : m_strMessage(std::move(message)) {}

protected:
    std::string MessageText() const override { return m_strMessage; }
    std::string m_strMessage;
};

class CMemoryException : public CSimpleException
{
public:
    CMemoryException();
};

class CResourceException : public CSimpleException
{
public:
    CResourceException();
};

class CFileException : public CException
{
public:
    enum Cause { none, genericException, fileNotFound, badPath, tooManyOpenFiles, accessDenied,
                 invalidFile, removeCurrentDir, directoryFull, badSeek, hardIO, sharingViolation,
                 lockViolation, diskFull, endOfFile };

    CFileException(int cause = none, LONG lOsError = -1, const char* fileName = nullptr);

    int m_cause;
    LONG m_lOsError;
    std::string m_strFileName;

protected:
    std::string MessageText() const override;
};

[[noreturn]] void AfxThrowMemoryException();
[[noreturn]] void AfxThrowResourceException();
[[noreturn]] void AfxThrowFileException(int cause, LONG lOsError = -1, const char* fileName = nullptr);

// The framework's file object, as far as the component uses it: opening throws a
// CFileException carrying the system's error and the file name. Read, Write, Flush and Close are
// virtual so that other byte channels (a serial port) can stand in for a file.
class CFile
{
public:
    enum OpenFlags { modeRead = 0x0000, modeWrite = 0x0001, modeReadWrite = 0x0002, shareDenyNone = 0x0040,
                     modeCreate = 0x1000, modeNoTruncate = 0x2000 };
    CFile() = default;
    CFile(const char* fileName, unsigned flags) { Open(fileName, flags); }
    virtual ~CFile() { CFile::Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // modeCreate alone empties an existing file; with modeNoTruncate it keeps its content.
    void Open(const char* fileName, unsigned flags);  // throws CFileException*
    virtual void Close();
    unsigned long long GetLength() const;             // throws CFileException*
    unsigned long long SeekToEnd();                   // throws CFileException*
    // Reads up to count bytes; returns how many arrived. Throws on a system failure.
    virtual unsigned Read(void* buffer, unsigned count);
    // Writes all count bytes or throws.
    virtual void Write(const void* buffer, unsigned count);
    virtual void Flush();

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    std::string m_strFileName;
};
