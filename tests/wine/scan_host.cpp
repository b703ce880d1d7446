// Window host and dialog driver for the scanning script: a script has no window of its own to
// give ScanPicture, so this program shows one, writes its handle to a file and then works the
// dialogs the script's calls open in the script's process, one step per argument:
//   select:NAME   choose NAME in the manager's selection dialog and press OK
//   select:       press Cancel in the selection dialog
//   source:BUTTON press BUTTON in the stand-in source's window
// It ends when DONE_FILE appears, or after a minute.   scan_host HANDLE_FILE DONE_FILE STEP...
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// A visible top-level window of another process: a dialog with a list (the selection dialog, its
// title in the user's language), or a window with this title.
struct ForeignSearch {
    const char* title;
    HWND found;
};

BOOL CALLBACK MatchForeign(HWND hWnd, LPARAM lParam)
{
    ForeignSearch* s = reinterpret_cast<ForeignSearch*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    char text[128] = {}, cls[16] = {};
    GetWindowTextA(hWnd, text, sizeof(text));
    GetClassNameA(hWnd, cls, sizeof(cls));
    const bool match = s->title ? std::string(text) == s->title
                                : std::string(cls) == "#32770" && FindWindowExA(hWnd, nullptr, "ListBox", nullptr);
    if (pid != GetCurrentProcessId() && IsWindowVisible(hWnd) && match) {
        s->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindForeign(const char* title)
{
    ForeignSearch search{title, nullptr};
    EnumWindows(MatchForeign, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits while keeping the host's own window answering.
void Pump(DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    while (GetTickCount() < end) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(20);
    }
}

HWND WaitFor(const char* title)
{
    for (int i = 0; i < 1000; ++i) {
        if (HWND h = FindForeign(title))
            return h;
        Pump(30);
    }
    return nullptr;
}

bool Step(const std::string& step)
{
    if (step.compare(0, 7, "select:") == 0) {
        HWND dialog = WaitFor(nullptr);
        HWND list = dialog ? FindWindowExA(dialog, nullptr, "ListBox", nullptr) : nullptr;
        if (list == nullptr)
            return false;
        const std::string name = step.substr(7);
        if (!name.empty()) {
            Pump(300);
            const LRESULT index = SendMessageA(list, LB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(name.c_str()));
            if (index == LB_ERR)
                return false;
            SendMessageA(list, LB_SETCURSEL, WPARAM(index), 0);
        }
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(name.empty() ? IDCANCEL : IDOK, BN_CLICKED), 0);
        return true;
    }
    if (step.compare(0, 7, "source:") == 0) {
        // The window may be found before its buttons are made.
        HWND window = nullptr, button = nullptr;
        for (int i = 0; i < 100 && button == nullptr; ++i) {
            window = WaitFor("Trel Test Scanner");
            button = window ? FindWindowExA(window, nullptr, "Button", step.substr(7).c_str()) : nullptr;
            if (button == nullptr)
                Pump(30);
        }
        if (button == nullptr)
            return false;
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), LPARAM(button));
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    HWND hWnd = CreateWindowExA(0, "STATIC", "Trel scan script parent", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                                320, 200, nullptr, nullptr, nullptr, nullptr);
    if (FILE* f = std::fopen(argv[1], "w")) {
        std::fprintf(f, "%lu\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(hWnd)));
        std::fclose(f);
    }
    int rc = 0;
    for (int i = 3; i < argc; ++i)
        if (!Step(argv[i])) {
            std::printf("scan_host: step %s failed\n", argv[i]);
            rc = 1;
            break;
        }
    for (int i = 0; i < 2000 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i)
        Pump(30);
    DestroyWindow(hWnd);
    return rc;
}
