// The control channel on Linux: a Unix socket that only root and the
// configured group reach, answered on one thread of its own.
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/product_keys.h"
#include "platform/log.h"
#include "platform/posix/unique_fd_posix.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "server/control_channel.h"
#include "server/session_trace.h"

namespace tovl {

namespace {

// A peer that does not finish its request line in this time is let go.
constexpr int kRequestMs = 3000;
constexpr size_t kMaxRequest = 256;

std::string RunDirectory() {
    // The programs never change their environment (tests set it up first).
    const char* dir = getenv("TOVL_RUN_DIR");  // NOLINT(concurrency-mt-unsafe)
    return dir && *dir ? dir : "/run/tovl";
}

// The group of the Server key's ControlGroup value; root's when missing.
gid_t ControlGroup() {
    CRegKey key;
    char name[64] = {};
    uint32_t size = sizeof name - 1;
    if (key.OpenLocalMachine(kServerKey) != 0 || key.QueryValue("ControlGroup", name, &size) != 0 ||
        name[0] == '\0')
        return 0;
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (getgrnam_r(name, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        LogLine(LogPriority::Warning, "control: group %s of ControlGroup not found: root only",
                name);
        return 0;
    }
    return found->gr_gid;
}

bool SendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One request line, read within kRequestMs; false when none came.
bool ReadRequest(int fd, std::string* request) {
    char buffer[kMaxRequest];
    size_t used = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kRequestMs) <= 0) return false;
        const ssize_t n = recv(fd, buffer + used, sizeof buffer - used, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        used += static_cast<size_t>(n);
        const void* newline = memchr(buffer, '\n', used);
        if (newline != nullptr) {
            request->assign(buffer, static_cast<const char*>(newline) - buffer);
            if (!request->empty() && request->back() == '\r') request->pop_back();
            return true;
        }
        if (used == sizeof buffer) return false;
    }
}

std::atomic<int> g_traces{0};
constexpr int kMaxTraces = 8;

// A trace's connection, served on a thread of its own until its reader
// leaves: the events as they come, and what was dropped for a slow reader.
void ServeTrace(const CUniqueFd& connection, int portNumber, bool raw) {
    CTrace trace(portNumber);
    // The first line answers the request; the stream follows it, led by a
    // note of when the trace began (the data alone in raw mode).
    const std::string port = "COM" + std::to_string(portNumber);
    std::string first = "ok: tracing " + port + "\n";
    if (!raw) {
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        first += LocalTimestamp(now.count()) + " -- trace of " + port + " attached\n";
    }
    if (!SendAll(connection.Get(), first)) return;
    uint64_t dropped = 0;
    std::string out;
    for (;;) {
        out.clear();
        trace.Take(raw, 500, &out);
        const uint64_t nowDropped = trace.Dropped();
        if (nowDropped != dropped && !raw)
            out += "-- " + std::to_string(nowDropped - dropped) +
                   " events dropped: the trace's reader was behind\n";
        dropped = nowDropped;
        if (!out.empty() && !SendAll(connection.Get(), out)) return;
        pollfd p{connection.Get(), POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0) return;  // the reader left
    }
}

void StartTrace(CUniqueFd connection, const std::string& request) {
    unsigned n = 0;
    char mode[8] = {};
    const int fields = sscanf(request.c_str(), "trace COM%u %7s", &n, mode);
    const bool raw = fields == 2 && std::string(mode) == "raw";
    if (fields < 1 || n < 1 || n > 255 || (fields == 2 && !raw)) {
        SendAll(connection.Get(), "error: trace COM<n> [raw]\n");
        return;
    }
    if (++g_traces > kMaxTraces) {
        --g_traces;
        SendAll(connection.Get(), "error: too many traces at once\n");
        return;
    }
    auto shared = std::make_shared<CUniqueFd>(std::move(connection));
    if (!StartThread([shared, n, raw] {
            ServeTrace(*shared, static_cast<int>(n), raw);
            --g_traces;
        })) {
        --g_traces;
        SendAll(shared->Get(), "error: no thread for the trace\n");
    }
}

void Serve(CUniqueFd connection, gid_t group) {
    const int fd = connection.Get();
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return;
    if (peer.uid != 0 && peer.gid != group) {
        LogLine(LogPriority::Notice, "control: refused uid %u (pid %d): not root nor of its group",
                static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
        SendAll(fd, "error: permission denied: only root or the control group may ask\n");
        return;
    }
    std::string request;
    if (!ReadRequest(fd, &request)) return;
    if (request.rfind("trace ", 0) == 0) {
        StartTrace(std::move(connection), request);
        return;
    }
    SendAll(fd, AnswerControlRequest(request, "uid " + std::to_string(peer.uid) + ", pid " +
                                                  std::to_string(peer.pid)));
}

[[noreturn]] void AcceptLoop(const CUniqueFd& listener, gid_t group) {
    for (;;) {
        CUniqueFd connection(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            if (errno != EINTR) SleepMs(100);  // out of descriptors: do not spin
            continue;
        }
        try {
            Serve(std::move(connection), group);
        } catch (...) {
            LogLine(LogPriority::Error, "control: a request failed");
        }
    }
}

}  // namespace

bool StartControlChannel() {
    const std::string dir = RunDirectory();
    const std::string path = dir + "/control";
    mkdir(dir.c_str(), 0755);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        LogLine(LogPriority::Error, "control: path %s is too long", path.c_str());
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    auto listener = std::make_shared<CUniqueFd>(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    unlink(path.c_str());  // a socket left by an earlier run
    const gid_t group = ControlGroup();
    if (!*listener ||
        bind(listener->Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(path.c_str(), 0660) != 0 || listen(listener->Get(), 16) != 0) {
        LogLine(LogPriority::Warning, "control: cannot offer %s: %s", path.c_str(),
                strerror(errno));  // NOLINT(concurrency-mt-unsafe): start-up, one thread
        return false;
    }
    if (group != 0 && chown(path.c_str(), 0, group) != 0)
        LogLine(LogPriority::Warning, "control: %s keeps root's group: cannot change it",
                path.c_str());
    if (!StartThread([listener, group] { AcceptLoop(*listener, group); })) {
        LogLine(LogPriority::Error, "control: no thread for %s", path.c_str());
        return false;
    }
    LogLine(LogPriority::Info, "control: answering on %s", path.c_str());
    return true;
}

}  // namespace tovl
