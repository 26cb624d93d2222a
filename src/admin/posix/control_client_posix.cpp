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

int AskServer(const std::string& request, std::ostream& out, std::ostream& err, bool stream) {
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
    // A server that refuses the caller answers before it reads the request,
    // so a failed send still leaves its answer to read.
    const std::string line = request + "\n";
    static_cast<void>(send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL));
    // A stream's first line answers the request ("ok: ..." or an error);
    // what follows it is copied as it comes.
    std::string answer;
    char buffer[65536];
    bool streaming = false;
    for (;;) {
        pollfd p{fd.Get(), POLLIN, 0};
        // A stream waits as long as the server has nothing to tell.
        if (poll(&p, 1, streaming ? -1 : kAnswerMs) <= 0) {
            err << "tovladmin: the server did not answer\n";
            return 1;
        }
        const ssize_t n = recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (streaming) {
            out.write(buffer, n);
            out.flush();
            continue;
        }
        answer.append(buffer, static_cast<size_t>(n));
        const size_t newline = answer.find('\n');
        if (stream && newline != std::string::npos && answer.rfind("ok: ", 0) == 0) {
            streaming = true;
            out.write(answer.data() + newline + 1,
                      static_cast<std::streamsize>(answer.size() - newline - 1));
            out.flush();
        }
    }
    if (streaming) return 0;
    if (answer.rfind("error: ", 0) == 0) {
        err << "tovladmin: " << answer.substr(7);
        return 1;
    }
    out << answer;
    return 0;
}

}  // namespace tovl
