// Serves the far end of a serial line for Wine tests: opens a pseudo-terminal, links its slave side
// where Wine looks for a COM port ($WINEPREFIX/dosdevices/comN) and plays a device on the master side.
//   ptycom LINK MODEL [OPTIONS]   a device model answers what arrives (support/DeviceModel.h):
//                                 echo [swap=AA:55] [presence=E0] [report], silent, noise SEED
//                                 and the key readers asciikey, onewire, packetkey (support/KeyReaderModels.h)
//   ptycom LINK exec CMD [ARGS]   CMD runs with the master side as its standard input and output
// It prints "ready" once the link exists and ends on SIGTERM/SIGINT, removing the link.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "support/DeviceModel.h"

static volatile sig_atomic_t g_stop = 0;
static void OnSignal(int) { g_stop = 1; }

// Wine refuses SetCommState when MARK/SPACE parity bits linger on a pty whose parity-enable bit was
// dropped; clearing them whenever traffic arrives keeps the next SetCommState working.
static void ClearLeftoverParity(const char* slavePath)
{
    int fd = open(slavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    termios t;
    if (tcgetattr(fd, &t) == 0 && !(t.c_cflag & PARENB) && (t.c_cflag & (CMSPAR | PARODD))) {
        t.c_cflag &= ~(CMSPAR | PARODD);
        tcsetattr(fd, TCSANOW, &t);
    }
    close(fd);
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LINK MODEL [OPTIONS...] | LINK exec CMD [ARGS...]\n", argv[0]);
        return 2;
    }
    const std::string link = argv[1];
    const std::string mode = argv[2];
    std::unique_ptr<CDeviceModel> model;
    if (mode != "exec") {
        std::string error;
        model = MakeDeviceModel(std::vector<std::string>(argv + 2, argv + argc), error);
        if (!model) {
            std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
            return 2;
        }
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    const char* slave = ptsname(master);
    // Raw line on the slave side, as a serial port is.
    int sfd = open(slave, O_RDWR | O_NOCTTY);
    if (sfd >= 0) {
        termios t;
        tcgetattr(sfd, &t);
        cfmakeraw(&t);
        tcsetattr(sfd, TCSANOW, &t);
    }
    unlink(link.c_str());
    if (symlink(slave, link.c_str()) != 0) {
        std::perror("symlink");
        return 1;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("ready %s -> %s\n", link.c_str(), slave);
    std::fflush(stdout);

    int rc = 0;
    if (mode == "exec" && argc > 3) {
        pid_t pid = fork();
        if (pid == 0) {
            dup2(master, 0);
            dup2(master, 1);
            execvp(argv[3], argv + 3);
            _exit(127);
        }
        int status = 0;
        while (!g_stop && waitpid(pid, &status, WNOHANG) == 0)
            usleep(20000);
        if (g_stop)
            kill(pid, SIGTERM), waitpid(pid, &status, 0);
        rc = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    } else {
        char buf[256];
        while (!g_stop) {
            pollfd p = {master, POLLIN, 0};
            int n = poll(&p, 1, 100);
            if (n <= 0 || !(p.revents & POLLIN))
                continue;
            ssize_t got = read(master, buf, sizeof(buf));
            if (got <= 0) {
                usleep(20000);  // no reader on the slave side yet
                continue;
            }
            LineSettings line = LineSettingsOfTty(slave);
            ClearLeftoverParity(slave);
            std::vector<uint8_t> answer;
            for (ssize_t i = 0; i < got; ++i)
                model->OnByte(static_cast<uint8_t>(buf[i]), line, answer);
            if (!answer.empty() && write(master, answer.data(), answer.size()) < 0 && errno != EAGAIN)
                break;
        }
    }
    if (sfd >= 0)
        close(sfd);
    unlink(link.c_str());
    return rc;
}
