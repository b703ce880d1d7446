// The application framework's exception classes, as far as the component uses them. They are
// thrown by pointer and deleted by whoever handles them (Delete), as the framework does.
#pragma once
#include <windows.h>
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
