#include "peer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

int OpenRaw(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios settings;
    if (tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}

}  // namespace

PtyPair::PtyPair()
{
    char dirTemplate[] = "/tmp/vcb-bench-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        error_ = "no temporary directory";
        return;
    }
    dir_ = dirTemplate;
    std::string a = "pty,raw,echo=0,link=" + dir_ + "/a";
    std::string b = "pty,raw,echo=0,link=" + dir_ + "/b";
    const char* argv[] = {"socat", a.c_str(), b.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "socat", nullptr, nullptr, (char* const*)argv, environ) != 0) {
        error_ = "socat did not start (is it installed?)";
        return;
    }
    pid_ = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat info;
    while (stat((dir_ + "/a").c_str(), &info) != 0 || stat((dir_ + "/b").c_str(), &info) != 0) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "socat ended before it made its pseudo-terminals";
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            error_ = "socat made no pseudo-terminals within 10 s";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    a_ = OpenRaw(dir_ + "/a");
    b_ = OpenRaw(dir_ + "/b");
    if (a_ < 0 || b_ < 0) error_ = "the pseudo-terminals did not open";
}

PtyPair::~PtyPair()
{
    if (a_ >= 0) close(a_);
    if (b_ >= 0) close(b_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (!dir_.empty()) rmdir(dir_.c_str());
}
