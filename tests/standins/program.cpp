// Stand-in for the external programs the picture commands start (the photo editor, the paint
// program): it records how it was called, changes the file it was given and exits with a chosen
// code. It reads NAME.cfg beside itself ("exit=N", "watch=HWND" in decimal) and appends to
// NAME.log beside itself: "cmd=<command line>", "show=<wShowWindow>", "watched=<0|1>" (whether the
// watched window was visible while the program ran), "file=<name>".
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string SelfBase()
{
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    size_t dot = s.rfind('.');
    return dot == std::string::npos ? s : s.substr(0, dot);
}

// The last double-quoted argument of the command line: the picture file.
std::string QuotedFile(const std::string& cmd)
{
    size_t close = cmd.rfind('"');
    if (close == std::string::npos || close == 0)
        return std::string();
    size_t open = cmd.rfind('"', close - 1);
    return open == std::string::npos ? std::string() : cmd.substr(open + 1, close - open - 1);
}

} // namespace

int main()
{
    const std::string base = SelfBase();
    int exitCode = 0;
    long long watch = 0;
    if (FILE* cfg = std::fopen((base + ".cfg").c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof(line), cfg)) {
            if (std::strncmp(line, "exit=", 5) == 0)
                exitCode = std::atoi(line + 5);
            else if (std::strncmp(line, "watch=", 6) == 0)
                watch = std::atoll(line + 6);
        }
        std::fclose(cfg);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    const std::string cmd = GetCommandLineA();
    const std::string file = QuotedFile(cmd);
    if (FILE* log = std::fopen((base + ".log").c_str(), "ab")) {
        std::fprintf(log, "cmd=%s\r\n", cmd.c_str());
        std::fprintf(log, "show=%u\r\n", (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : 0xFFFFu);
        if (watch != 0)
            std::fprintf(log, "watched=%d\r\n",
                         IsWindowVisible(reinterpret_cast<HWND>(static_cast<LONG_PTR>(watch))) ? 1 : 0);
        std::fprintf(log, "file=%s\r\n", file.c_str());
        std::fclose(log);
    }
    if (!file.empty())
        if (FILE* f = std::fopen(file.c_str(), "ab")) {
            std::fputs("edited", f);
            std::fclose(f);
        }
    return exitCode;
}
