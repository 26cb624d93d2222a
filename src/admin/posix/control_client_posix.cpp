#include "admin/posix/control_client_posix.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/unique_fd_posix.h"

namespace tovl {

namespace {

// A server busy with many sessions still answers well within this.
constexpr int kAnswerMs = 10000;

std::string SocketPath() {
    // tovladmin never changes its environment.
    const char* dir = getenv("TOVL_RUN_DIR");  // NOLINT(concurrency-mt-unsafe)
    return std::string(dir && *dir ? dir : "/run/tovl") + "/control";
}

}  // namespace

int AskServer(const std::string& request, std::ostream& out, std::ostream& err) {
    const std::string path = SocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        err << "tovladmin: " << path << " is too long a path\n";
        return 1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    CUniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd ||
        connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            err << "tovladmin: may not ask the server (" << path
                << ": permission denied); run as root\n";
        else
            err << "tovladmin: the server is not running (nothing answers on " << path << ")\n";
        return 1;
    }
    const std::string line = request + "\n";
    if (send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        err << "tovladmin: the server closed the control channel\n";
        return 1;
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        pollfd p{fd.Get(), POLLIN, 0};
        if (poll(&p, 1, kAnswerMs) <= 0) {
            err << "tovladmin: the server did not answer\n";
            return 1;
        }
        const ssize_t n = recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    if (answer.rfind("error: ", 0) == 0) {
        err << "tovladmin: " << answer.substr(7);
        return 1;
    }
    out << answer;
    return 0;
}

}  // namespace tovl
