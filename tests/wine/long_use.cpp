// Days of use in one process: every available method called many times on its success and its
// failure paths must leave the process's committed memory and its open handles where they were,
// and the component must unload once the last object is gone.
//
// TREL_LONG_USE_CALLS sets the calls per path (1,000 by default; `make leak-long` runs 10,000);
// paths that start a program per call make a twentieth of them, paths that read a device a
// hundredth. A key reader model on COM35 and a Hod-Test model on COM36 (ptys) give the reading
// methods their success paths.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <cstdio>
#include <functional>
#include <string>

#include "TrelClientHelper_h.h"
#include "client_common.h"
#include "log_keeper.h"

namespace {

SIZE_T CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// Open handles, counted by asking for each possible value (Wine's GetProcessHandleCount is a stub).
long OpenHandles()
{
    long n = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++n;
    }
    return n;
}

long Calls()
{
    const char* n = std::getenv("TREL_LONG_USE_CALLS");
    return n && std::atol(n) >= 200 ? std::atol(n) : 1000;
}

std::string TempFolder()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

std::string ExeFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.rfind('\\') + 1);
}

// A 24-bit 64 x 48 bitmap file.
void WriteBitmap(const std::string& path)
{
    const int w = 64, h = 48, stride = w * 3;
    BITMAPFILEHEADER fh = {};
    BITMAPINFOHEADER ih = {};
    ih.biSize = sizeof(ih);
    ih.biWidth = w;
    ih.biHeight = h;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(ih);
    fh.bfSize = fh.bfOffBits + stride * h;
    std::string bytes(reinterpret_cast<char*>(&fh), sizeof(fh));
    bytes.append(reinterpret_cast<char*>(&ih), sizeof(ih));
    for (int i = 0; i < stride * h; ++i)
        bytes += char(i * 7);
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    WriteFile(f, bytes.data(), DWORD(bytes.size()), &n, nullptr);
    CloseHandle(f);
}

struct Path {
    const char* name;
    int divisor;  // paths that start a program or read a device make fewer calls
    std::function<HRESULT(IClientHelper*)> call;
    bool succeeds;
};

} // namespace

TEST(LongUse, MemoryAndHandlesStayAndTheModuleUnloads)
{
    CLogSizeKeeper keepLog;
    CoInitialize(nullptr);
    const std::string small = TempFolder() + "trel_long_use.bmp", text = TempFolder() + "trel_long_use.txt",
                      bad = TempFolder() + "trel_long_use_bad.jpg";
    WriteBitmap(small);
    {
        HANDLE f = CreateFileA(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD n = 0;
        WriteFile(f, "card 00010000", 13, &n, nullptr);
        CloseHandle(f);
        f = CreateFileA(bad.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        WriteFile(f, "no picture", 10, &n, nullptr);
        CloseHandle(f);
    }
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    Bstr smallName(wide(small).c_str()), textName(wide(text).c_str()), badName(wide(bad).c_str());
    Bstr missing(L"C:\\trel-no-such-folder\\picture.jpg"), empty(L""), keyPort(L"COM35"), hodTestPort(L"COM36"), noPort(L"COM98");
    Bstr editor(wide(ExeFolder() + "trel_photoed.exe").c_str()), noProgram(L"C:\\trel-no-such-program.exe");

    const Path paths[] = {
        {"EncodeFile", 1, [&](IClientHelper* p) { Bstr r; return p->EncodeFile(textName, r.Put()); }, true},
        {"EncodeFile missing", 1, [&](IClientHelper* p) { Bstr r; return p->EncodeFile(missing, r.Put()); }, false},
        {"ResizePicture copy", 1,
         [&](IClientHelper* p) {
             Bstr r;
             HRESULT hr = p->ResizePicture(smallName, 32, 24, VARIANT_TRUE, r.Put());
             if (SUCCEEDED(hr))
                 DeleteFileW(r.Text().c_str());  // the copy is the caller's
             return hr;
         },
         true},
        {"ResizePicture same size", 1,
         [&](IClientHelper* p) { Bstr r; return p->ResizePicture(smallName, 64, 48, VARIANT_FALSE, r.Put()); }, true},
        {"ResizePicture corrupt", 1,
         [&](IClientHelper* p) { Bstr r; return p->ResizePicture(badName, 32, 24, VARIANT_TRUE, r.Put()); }, false},
        {"ResizePicture missing", 1,
         [&](IClientHelper* p) { Bstr r; return p->ResizePicture(missing, 32, 24, VARIANT_FALSE, r.Put()); }, false},
        {"SelectPicturePart ''", 1,
         [&](IClientHelper* p) { Bstr r; return p->SelectPicturePart(0, empty, VARIANT_FALSE, 10, 10, r.Put()); },
         true},
        {"SelectPicturePart missing", 50,
         [&](IClientHelper* p) { Bstr r; return p->SelectPicturePart(0, missing, VARIANT_TRUE, 64, 48, r.Put()); },
         false},
        {"OpenPictureWith", 20,
         [&](IClientHelper* p) { Bstr r; return p->OpenPictureWith(0, smallName, editor, VARIANT_FALSE, r.Put()); },
         true},
        {"OpenPictureWith no program", 20,
         [&](IClientHelper* p) { Bstr r; return p->OpenPictureWith(0, smallName, noProgram, VARIANT_FALSE, r.Put()); },
         false},
        {"PrintPicture", 20, [&](IClientHelper* p) { return p->PrintPicture(0, smallName); }, true},
        {"ReadKey", 100,
         [&](IClientHelper* p) {
             LONG key = 0;
             HRESULT hr = p->ReadKey(keyPort, nullptr, 0, &key);
             return SUCCEEDED(hr) && key != 0x1A2B3C4D ? E_UNEXPECTED : hr;
         },
         true},
        {"ReadHodTest", 100,
         [&](IClientHelper* p) {
             LONG number = 0;
             HRESULT hr = p->ReadHodTest(hodTestPort, nullptr, 0, &number);
             return SUCCEEDED(hr) && number != 173 ? E_UNEXPECTED : hr;
         },
         true},
        {"ReadKey no port", 1, [&](IClientHelper* p) { LONG k = 0; return p->ReadKey(noPort, nullptr, 0, &k); }, false},
        {"ReadHodTest no port", 1,
         [&](IClientHelper* p) { LONG n = 0; return p->ReadHodTest(noPort, nullptr, 0, &n); }, false},
        {"ReleasePicture no camera", 1,
         [&](IClientHelper* p) { Bstr r; return p->ReleasePicture(1, 1, r.Put()); }, false},
        {"ReleasePicture2 no camera", 1,
         [&](IClientHelper* p) { Bstr r; return p->ReleasePicture2(1, 1, 0, r.Put()); }, false},
        {"DestroyScanWindow", 1, [&](IClientHelper* p) { return p->DestroyScanWindow(); }, true},
        {"object created and released", 1,
         [&](IClientHelper*) {
             IClientHelper* q = nullptr;
             HRESULT hr = CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                                           reinterpret_cast<void**>(&q));
             if (q)
                 q->Release();
             return hr;
         },
         true},
    };

    IClientHelper* helper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ClientHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IClientHelper,
                               reinterpret_cast<void**>(&helper)),
              S_OK);
    const long calls = Calls();
    std::printf("%-30s %7s %8s %12s %8s\n", "path", "calls", "ms", "memory", "handles");
    for (const Path& path : paths) {
        const long n = calls / path.divisor;
        SIZE_T memory = 0;
        long handles = 0;
        long wrong = 0;
        DWORD start = GetTickCount();
        for (long i = 0; i < n; ++i) {
            HRESULT hr = path.call(helper);
            if (SUCCEEDED(hr) != path.succeeds && ++wrong == 1)
                ADD_FAILURE() << path.name << ": call " << i << " returned 0x" << std::hex << hr;
            if (i == n / 10) {
                memory = CommittedBytes();
                handles = OpenHandles();
            }
        }
        const long memoryGrowth = long(CommittedBytes()) - long(memory), handleGrowth = OpenHandles() - handles;
        std::printf("%-30s %7ld %8lu %+12ld %+8ld\n", path.name, n, static_cast<unsigned long>(GetTickCount() - start),
                    memoryGrowth, handleGrowth);
        // One 64 KiB heap step may fall in the measured stretch; a handle or two may be cached.
        EXPECT_LE(memoryGrowth, 64 * 1024) << path.name;
        EXPECT_LE(handleGrowth, 2) << path.name;
    }
    helper->Release();

    // With no object left the module may go.
    HMODULE before = GetModuleHandleA("TrelClientHelper.dll");
    EXPECT_NE(before, nullptr);
    CoFreeUnusedLibrariesEx(0, 0);
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(GetModuleHandleA("TrelClientHelper.dll"), nullptr) << "the module stayed loaded";
    DeleteFileA(small.c_str());
    DeleteFileA(text.c_str());
    DeleteFileA(bad.c_str());
    CoUninitialize();
}

