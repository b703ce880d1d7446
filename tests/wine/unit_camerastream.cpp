// The file stream the camera library writes released items through, against real files: every
// permission, origin and error code, and the context block's life.
#include <gtest/gtest.h>
#include <windows.h>
#include <fstream>
#include <string>

#include "acquire/CameraFileStream.h"

namespace {

std::string TempName(const char* name)
{
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

void Put(const std::string& name, const std::string& content)
{
    std::ofstream(name, std::ios::binary) << content;
}

std::string Get(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// A stream over one file, the way the worker builds it for an item.
class Stream
{
public:
    explicit Stream(const std::string& path)
        : m_context(NewCameraFileContext(path.c_str())), m_stream(MakeCameraFileStream(m_context))
    {
    }
    ~Stream() { FreeCameraFileContext(m_context); }

    CdError Open(uint32_t permission)
    {
        CdError e = 99;
        m_stream.open(m_stream.context, permission, &e);
        return e;
    }
    CdError Close()
    {
        CdError e = 99;
        m_stream.close(m_stream.context, &e);
        return e;
    }
    CdError Write(const std::string& data, uint32_t* written = nullptr)
    {
        CdError e = 99;
        uint32_t n = static_cast<uint32_t>(data.size());
        m_stream.write(m_stream.context, data.data(), &n, &e);
        if (written)
            *written = n;
        return e;
    }
    CdError Read(std::string& out, uint32_t want)
    {
        CdError e = 99;
        out.assign(want, '\0');
        uint32_t n = want;
        m_stream.read(m_stream.context, &out[0], &n, &e);
        out.resize(n);
        return e;
    }
    CdError Seek(uint32_t origin, int32_t offset)
    {
        CdError e = 99;
        m_stream.seek(m_stream.context, origin, offset, &e);
        return e;
    }
    uint32_t Tell(CdError& e)
    {
        e = 99;
        return m_stream.tell(m_stream.context, &e);
    }
    CameraFileContext* m_context;
    CameraFileStream m_stream;
};

} // namespace

TEST(CameraFileStream, WritesSeeksAndTellsOnAFileItCreates)
{
    const std::string path = TempName("camstream_write.bin");
    Put(path, "old content that is longer than the new one");
    Stream s(path);
    ASSERT_NE(s.m_context, nullptr);
    EXPECT_EQ(s.m_context->handle, HandleToLong(INVALID_HANDLE_VALUE));
    ASSERT_EQ(s.Open(kCdPermissionWrite), 0u);
    EXPECT_EQ(s.Open(kCdPermissionWrite), kCdStreamAlreadyOpen);
    // Written with no sharing: nobody else opens the file meanwhile.
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    uint32_t written = 0;
    EXPECT_EQ(s.Write("0123456789", &written), 0u);
    EXPECT_EQ(written, 10u);
    CdError e;
    EXPECT_EQ(s.Tell(e), 10u);
    EXPECT_EQ(e, 0u);
    EXPECT_EQ(s.Seek(kCdSeekFromStart, 2), 0u);
    EXPECT_EQ(s.Write("ab"), 0u);
    EXPECT_EQ(s.Seek(kCdSeekFromCurrent, 3), 0u);
    EXPECT_EQ(s.Tell(e), 7u);
    EXPECT_EQ(s.Write("C"), 0u);
    EXPECT_EQ(s.Seek(kCdSeekFromEnd, -1), 0u);
    EXPECT_EQ(s.Write("Z"), 0u);
    EXPECT_EQ(s.Seek(kCdSeekFromStart, -5), kCdStreamSeekFailed) << "before the start of the file";
    EXPECT_EQ(s.Seek(0, 0), kCdStreamBadParameter);
    EXPECT_EQ(s.Seek(4, 0), kCdStreamBadParameter);
    std::string nothing;
    EXPECT_EQ(s.Read(nothing, 4), kCdStreamReadFailed) << "opened for writing only";
    EXPECT_EQ(s.Close(), 0u);
    EXPECT_EQ(s.Close(), kCdStreamCloseFailed) << "closed twice";
    EXPECT_EQ(s.Write("x"), kCdStreamWriteFailed) << "written after the close";
    EXPECT_EQ(s.Seek(kCdSeekFromStart, 0), kCdStreamSeekFailed);
    EXPECT_EQ(Get(path), "01ab456C8Z") << "created anew, the old content gone";
    // A closed stream opens again.
    EXPECT_EQ(s.Open(kCdPermissionRead), 0u);
    std::string text;
    EXPECT_EQ(s.Read(text, 100), 0u);
    EXPECT_EQ(text, "01ab456C8Z");
    EXPECT_EQ(s.Read(text, 100), 0u);
    EXPECT_EQ(text, "") << "at the end: nothing read, no error";
    EXPECT_EQ(s.Close(), 0u);
    DeleteFileA(path.c_str());
}

TEST(CameraFileStream, EveryPermission)
{
    const std::string path = TempName("camstream_perm.bin");
    DeleteFileA(path.c_str());
    {
        Stream s(path);
        EXPECT_EQ(s.Open(kCdPermissionRead), kCdStreamOpenFailed) << "read opens an existing file only";
        EXPECT_EQ(s.Open(0), kCdStreamBadParameter);
        EXPECT_EQ(s.Open(8), kCdStreamBadParameter);
        EXPECT_EQ(s.Open(0x10), kCdStreamBadParameter);
        ASSERT_EQ(s.Open(kCdPermissionReadWriteKeep), 0u) << "read/write, created when missing";
        EXPECT_EQ(s.Write("keep"), 0u);
        EXPECT_EQ(s.Close(), 0u);
    }
    {
        Stream s(path);
        ASSERT_EQ(s.Open(kCdPermissionReadWriteKeep), 0u);
        std::string text;
        EXPECT_EQ(s.Read(text, 10), 0u);
        EXPECT_EQ(text, "keep") << "an existing file keeps its content";
        EXPECT_EQ(s.Close(), 0u);
    }
    {
        Stream s(path);
        ASSERT_EQ(s.Open(kCdPermissionRead), 0u);
        // Read with shared reading: another reader gets in, a writer does not.
        HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE);
        if (reader != INVALID_HANDLE_VALUE)
            CloseHandle(reader);
        EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(s.Write("x"), kCdStreamWriteFailed) << "opened for reading only";
        EXPECT_EQ(s.Close(), 0u);
    }
    {
        Stream s(path);
        ASSERT_EQ(s.Open(kCdPermissionReadWrite), 0u);
        std::string text;
        EXPECT_EQ(s.Read(text, 10), 0u);
        EXPECT_EQ(text, "") << "read/write creates the file anew";
        EXPECT_EQ(s.Write("rw"), 0u);
        EXPECT_EQ(s.Seek(kCdSeekFromStart, 0), 0u);
        EXPECT_EQ(s.Read(text, 10), 0u);
        EXPECT_EQ(text, "rw");
        EXPECT_EQ(s.Close(), 0u);
    }
    {
        // Bits 0 and 1 decide; other bits are the library's own.
        Stream s(path);
        ASSERT_EQ(s.Open(kCdPermissionRead | 0x100), 0u);
        EXPECT_EQ(s.Write("x"), kCdStreamWriteFailed);
        EXPECT_EQ(s.Close(), 0u);
    }
    DeleteFileA(path.c_str());
}

TEST(CameraFileStream, NoContextAndBadArguments)
{
    CameraFileStream s = MakeCameraFileStream(nullptr);
    CdError e = 99;
    s.open(0, kCdPermissionWrite, &e);
    EXPECT_EQ(e, kCdStreamOpenFailed);
    s.close(0, &e);
    EXPECT_EQ(e, kCdStreamCloseFailed);
    char buf[4] = {};
    uint32_t n = 4;
    s.read(0, buf, &n, &e);
    EXPECT_EQ(e, kCdStreamReadFailed);
    EXPECT_EQ(n, 0u);
    n = 4;
    s.write(0, buf, &n, &e);
    EXPECT_EQ(e, kCdStreamWriteFailed);
    EXPECT_EQ(n, 0u);
    s.seek(0, kCdSeekFromStart, 0, &e);
    EXPECT_EQ(e, kCdStreamSeekFailed);
    EXPECT_EQ(s.tell(0, &e), 0u);
    EXPECT_EQ(e, kCdStreamTellFailed);
    // A library that passes no error slot is not written through.
    s.open(0, kCdPermissionWrite, nullptr);

    // A folder that cannot exist: the open fails, nothing else happens.
    Stream missing("Z:\\no\\such\\folder\\FV000000.JPG");
    EXPECT_EQ(missing.Open(kCdPermissionWrite), kCdStreamOpenFailed);
    CdError te;
    EXPECT_EQ(missing.Tell(te), 0u);
    EXPECT_EQ(te, kCdStreamSeekFailed) << "no position to read while the file is not open";
}

TEST(CameraFileStream, ContextBlockHoldsOnlyWhatFits)
{
    const std::string fits(259, 'a');
    CameraFileContext* c = NewCameraFileContext(fits.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::string(c->path), fits);
    FreeCameraFileContext(c);
    EXPECT_EQ(NewCameraFileContext(std::string(260, 'a').c_str()), nullptr);
    EXPECT_EQ(NewCameraFileContext(nullptr), nullptr);

    // A file the library left open is closed with the block: it can be deleted afterwards.
    const std::string path = TempName("camstream_left_open.bin");
    CameraFileContext* open = NewCameraFileContext(path.c_str());
    CdError e = 99;
    CameraStreamOpen(reinterpret_cast<CdContext>(open), kCdPermissionWrite, &e);
    ASSERT_EQ(e, 0u);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    FreeCameraFileContext(open);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}
