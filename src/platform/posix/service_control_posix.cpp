// Services under systemd. "setup" writes a unit (the hardened template the
// package ships too) and its wants link the way `systemctl enable` would;
// the dispatcher runs only when systemd started the process with a notify
// socket, reports readiness on NOTIFY_SOCKET and turns SIGTERM into the stop
// control.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/service_control.h"
#include "platform/thread.h"

namespace tovl {

namespace {

std::string UnitDir() {
    const char* dir = getenv("TOVL_SYSTEMD_DIR");  // NOLINT(concurrency-mt-unsafe): env is fixed
    return dir && *dir ? dir : "/etc/systemd/system";
}

bool UnitDirUsable(const std::string& dir) {
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK) == 0;
}

bool WriteNewFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok) unlink(path.c_str());
    return ok;
}

void Notify(const char* state) {
    const char* path = getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe): env is fixed
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof addr.sun_path) return;
    memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
    close(fd);
}

ServiceControlProc g_handler = nullptr;
std::atomic<bool> g_stopped{false};

}  // namespace

ScmResult InstallService(const char* name, const std::string& /*quotedImagePath*/,
                         const std::string& unitText) {
    const std::string dir = UnitDir();
    if (!UnitDirUsable(dir)) return ScmResult::CantOpenScm;
    const std::string unit = dir + "/" + name + ".service";
    if (!WriteNewFile(unit, unitText)) return ScmResult::Failed;
    const std::string wants = dir + "/multi-user.target.wants";
    mkdir(wants.c_str(), 0755);
    const std::string link = wants + "/" + name + ".service";
    unlink(link.c_str());
    if (symlink(unit.c_str(), link.c_str()) != 0) {
        unlink(unit.c_str());
        return ScmResult::Failed;
    }
    LogLine(LogPriority::Notice, "%s: unit %s written and enabled for multi-user.target", name,
            unit.c_str());
    return ScmResult::Ok;
}

ScmResult RemoveService(const char* name) {
    const std::string dir = UnitDir();
    if (!UnitDirUsable(dir)) return ScmResult::CantOpenScm;
    const std::string unit = dir + "/" + name + ".service";
    struct stat st {};
    if (lstat(unit.c_str(), &st) != 0) return ScmResult::CantOpenService;
    if (unlink(unit.c_str()) != 0) return ScmResult::Failed;
    unlink((dir + "/multi-user.target.wants/" + name + ".service").c_str());
    LogLine(LogPriority::Notice, "%s: unit %s removed", name, unit.c_str());
    return ScmResult::Ok;
}

std::string OwnExecutablePath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<size_t>(n));
}

bool RunServiceDispatcher(const char* name, ServiceMainProc serviceMain) {
    // INVOCATION_ID alone is inherited by anything started from a service's
    // shell; only a notify socket shows that systemd waits for this process.
    const char* notify = getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe): env is fixed
    if (notify == nullptr || *notify == '\0') return false;
    // Block the stop signals before any thread exists, so every thread
    // inherits the mask and only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    char* argv[] = {const_cast<char*>(name), nullptr};
    serviceMain(1, argv);
    while (g_handler != nullptr && !g_stopped) {
        int sig = 0;
        if (sigwait(&stopSignals, &sig) == 0) g_handler(kServiceControlStop);
    }
    return true;
}

void CatchStopSignals(void (*onStop)(int signal)) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // Blocked before any other thread exists: every thread inherits the mask
    // and only the waiting thread receives them.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    StartThread([stopSignals, onStop] {
        sigset_t waited = stopSignals;
        int sig = 0;
        while (sigwait(&waited, &sig) != 0) {
        }
        onStop(sig);
    });
}

ServiceStatusHandle RegisterServiceControl(const char* /*name*/, ServiceControlProc handler) {
    g_handler = handler;
    return reinterpret_cast<ServiceStatusHandle>(&g_handler);
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status) {
    if (handle == nullptr) return false;
    if (status.currentState == kServiceRunning) Notify("READY=1");
    if (status.currentState == kServiceStopped) {
        Notify("STOPPING=1");
        g_stopped = true;
    }
    return true;
}

}  // namespace tovl
