#include "client/posix/link_janitor_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/posix/unique_fd_posix.h"

namespace tovl {

namespace {

constexpr size_t kListCapacity = 1 << 20;

// The child: collects "link\0target\0" pairs until the pipe ends, then
// removes the links. Only async-signal-safe calls.
[[noreturn]] void RunJanitor(int listFd, int readyFd, char* list, long maxFd) {
    setsid();
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    for (int fd = 0; fd < maxFd; ++fd)
        if (fd != listFd && fd != readyFd) close(fd);
    close(readyFd);
    size_t used = 0;
    for (;;) {
        ssize_t n = read(listFd, list + used, kListCapacity - 1 - used);
        if (n > 0) {
            used += static_cast<size_t>(n);
            if (used < kListCapacity - 1) continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char scratch[256];
        while (read(listFd, scratch, sizeof scratch) != 0) {
        }
        break;
    }
    list[used] = '\0';
    size_t pos = 0;
    while (pos < used) {
        const char* link = list + pos;
        size_t linkLen = strlen(link);
        if (pos + linkLen + 1 >= used) break;
        const char* target = link + linkLen + 1;
        size_t targetLen = strlen(target);
        char seen[PATH_MAX];
        ssize_t len = readlink(link, seen, sizeof seen - 1);
        if (len > 0 && static_cast<size_t>(len) == targetLen &&
            memcmp(seen, target, targetLen) == 0)
            unlink(link);
        pos += linkLen + 1 + targetLen + 1;
    }
    _exit(0);
}

}  // namespace

bool CLinkJanitor::Start() {
    int listFds[2];
    int readyFds[2];
    if (pipe(listFds) != 0) return false;
    CUniqueFd listRead(listFds[0]);
    CUniqueFd listWrite(listFds[1]);
    if (pipe(readyFds) != 0) return false;
    CUniqueFd readyRead(readyFds[0]);
    CUniqueFd readyWrite(readyFds[1]);
    std::vector<char> list(kListCapacity);
    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd < 0 || maxFd > 65536) maxFd = 65536;
    pid_t pid = fork();
    if (pid == 0) {
        // The child never returns and makes only async-signal-safe calls.
        close(listFds[1]);
        RunJanitor(listFds[0], readyFds[1], list.data(), maxFd);
    }
    listRead.Reset();
    readyWrite.Reset();
    if (pid < 0) return false;
    // Wait until the child is in its own session, out of reach of a signal
    // to the client's process group.
    char ready;
    while (read(readyRead.Get(), &ready, 1) < 0 && errno == EINTR) {
    }
    fcntl(listWrite.Get(), F_SETFD, FD_CLOEXEC);
    pipe_ = listWrite.Release();  // kept open for the life of the process
    return true;
}

void CLinkJanitor::Add(const std::string& link, const std::string& target) {
    if (pipe_ < 0) return;
    std::string entry = link + '\0' + target + '\0';
    size_t done = 0;
    while (done < entry.size()) {
        ssize_t n = write(pipe_, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace tovl
