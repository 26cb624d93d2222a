#include "client/posix/link_janitor_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>

bool StartLinkJanitor(const std::vector<std::pair<std::string, std::string>>& links) {
    if (links.empty()) return true;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd < 0 || maxFd > 65536) maxFd = 65536;
    pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        setsid();
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        for (int fd = 0; fd < maxFd; ++fd)
            if (fd != pipeFds[0]) close(fd);
        char byte;
        while (read(pipeFds[0], &byte, 1) != 0) {
        }
        for (const auto& link : links) {
            char target[PATH_MAX];
            ssize_t len = readlink(link.first.c_str(), target, sizeof target - 1);
            if (len > 0 && static_cast<size_t>(len) == link.second.size() &&
                memcmp(target, link.second.data(), link.second.size()) == 0)
                unlink(link.first.c_str());
        }
        _exit(0);
    }
    close(pipeFds[0]);
    // The write end stays open, unseen by programs the client might start.
    int flags = fcntl(pipeFds[1], F_GETFD);
    if (flags >= 0) fcntl(pipeFds[1], F_SETFD, flags | FD_CLOEXEC);
    return true;
}
