// Works the picture part selection dialog for a script client, which cannot run a thread of its
// own: started before the script calls SelectPicturePart, it waits for the dialog and acts.
//   selectpart_driver.exe WIDTH HEIGHT ACTION...
// WIDTH x HEIGHT is the picture's size; actions, in order:
//   drag:X1,Y1,X2,Y2   a mouse drag between two points of the picture (picture pixels)
//   click:X,Y          a click on a point of the picture
//   key:NAME           right, left, up, down; shift+right and so on hold Shift
//   shot:FILE          a screenshot of the dialog
//   ok, cancel         presses the button
// Exit code 0 when the dialog was found and went away after the actions, 1 otherwise.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "screenshot.h"
#include "selectpart_drive.h"

namespace {

WORD KeyCode(const std::string& name)
{
    if (name == "right") return VK_RIGHT;
    if (name == "left") return VK_LEFT;
    if (name == "up") return VK_UP;
    if (name == "down") return VK_DOWN;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: selectpart_driver WIDTH HEIGHT ACTION...\n");
        return 2;
    }
    SelectDialogDriver d;
    if (!d.Find(30000)) {
        std::fprintf(stderr, "no selection dialog\n");
        return 1;
    }
    d.Fit(std::atoi(argv[1]), std::atoi(argv[2]));
    for (int i = 3; i < argc; ++i) {
        const std::string action = argv[i];
        int a = 0, b = 0, c = 0, e = 0;
        if (std::sscanf(action.c_str(), "drag:%d,%d,%d,%d", &a, &b, &c, &e) == 4) {
            d.Drag(d.View(a, b), d.View(c, e), 6);
        } else if (std::sscanf(action.c_str(), "click:%d,%d", &a, &b) == 2) {
            d.Click(d.View(a, b));
        } else if (action.compare(0, 4, "key:") == 0) {
            std::string name = action.substr(4);
            const bool shift = name.compare(0, 6, "shift+") == 0;
            if (shift)
                name = name.substr(6);
            d.Key(KeyCode(name), shift);
        } else if (action.compare(0, 5, "shot:") == 0) {
            Sleep(400);
            SaveScreenshot(d.dialog, action.substr(5).c_str());
        } else if (action == "ok") {
            d.Press(IDOK);
        } else if (action == "cancel") {
            d.Press(IDCANCEL);
        } else {
            std::fprintf(stderr, "unknown action %s\n", action.c_str());
            d.Press(IDCANCEL);
            return 2;
        }
    }
    return d.WaitGone(20000) ? 0 : 1;
}
