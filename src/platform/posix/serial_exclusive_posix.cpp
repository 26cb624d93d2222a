#include "platform/posix/serial_exclusive_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/posix/errno_posix.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using CDir = std::unique_ptr<DIR, DirCloser>;

// A lock file without a readable pid is taken for one being written for
// this long; older, it is a leftover.
constexpr time_t kUnreadableLockGraceSeconds = 10;

// The lock files this process holds, so that one bearing our own pid is
// told apart from a leftover of an earlier process that had the same pid.
// Taking a lock happens under the mutex, so two ports of this process never
// race for one file.
std::mutex g_heldLock;
std::set<std::string>& HeldLocks() {
    // Never destroyed: session threads may still use it while the process ends.
    static auto* held = new std::set<std::string>;  // NOLINT(cppcoreguidelines-owning-memory)
    return *held;
}

bool IsNumber(const char* s) {
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

bool FdIsDevice(const std::string& fdPath, const SerialDeviceId& device) {
    char target[PATH_MAX];
    const ssize_t n = readlink(fdPath.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    // Only device nodes are looked at: a stat of any other open file (on a
    // network file system, say) could block.
    const std::string name(target);
    if (name.rfind("/dev/", 0) != 0 && name != device.realPath) return false;
    struct stat st;
    return stat(fdPath.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device.rdev;
}

// The pid in a lock file: ten ASCII digits (padded), or the four binary
// bytes of older programs. 0 when none can be read.
pid_t LockFilePid(const char* text, ssize_t size) {
    char* end = nullptr;
    const long pid = strtol(text, &end, 10);
    if (end != text && pid > 0 && pid <= INT_MAX) return static_cast<pid_t>(pid);
    if (size == static_cast<ssize_t>(sizeof(int))) {
        int binary = 0;
        memcpy(&binary, text, sizeof binary);
        if (binary > 0) return binary;
    }
    return 0;
}

// Whether the lock file at path belongs to a live holder. A file that has
// gone meanwhile has none. Called with g_heldLock held.
bool LockHolderAlive(const std::string& path) {
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return errno != ENOENT;  // unreadable: leave it alone
    char text[64] = {};
    const ssize_t size = read(fd.Get(), text, sizeof text - 1);
    const pid_t pid = size > 0 ? LockFilePid(text, size) : 0;
    if (pid == 0) {
        struct stat st;
        return fstat(fd.Get(), &st) == 0 &&
               time(nullptr) - st.st_mtime < kUnreadableLockGraceSeconds;
    }
    if (pid == getpid()) return HeldLocks().count(path) != 0;
    return kill(pid, 0) == 0 || errno == EPERM;
}

// Makes the lock file at path with our pid. It appears complete or not at
// all: written to a temporary file first, then linked under its name, which
// fails when the name exists. Returns 0, EEXIST, or why the directory
// cannot take it.
int CreateLockFile(const std::string& dir, const std::string& path) {
    char text[16];
    snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    const size_t length = 11;
    std::string temp = dir + "/.tovl-lock-XXXXXX";
    CUniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return errno;
    const bool written = fchmod(fd.Get(), 0644) == 0 &&
                         write(fd.Get(), text, length) == static_cast<ssize_t>(length);
    fd.Reset();
    int result = 0;
    if (!written) {
        result = EIO;
    } else if (link(temp.c_str(), path.c_str()) != 0) {
        result = errno;
        if (result != EEXIST) {
            // A file system without hard links: an exclusive create instead.
            CUniqueFd direct(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            if (!direct) {
                result = errno;
            } else {
                result =
                    write(direct.Get(), text, length) == static_cast<ssize_t>(length) ? 0 : EIO;
                if (result != 0) unlink(path.c_str());
            }
        }
    }
    unlink(temp.c_str());
    return result;
}

// Whether the character device rdev is a terminal, told without opening it
// (an open alone can start a device: a watchdog, a tape). The kernel files
// terminals under the tty class; pseudo-terminal slaves have no entry there
// but majors of their own. Without sysfs the check after the open decides.
bool IsTerminalDevice(dev_t rdev) {
    constexpr unsigned kPtySlaveFirstMajor = 136;  // UNIX98_PTY_SLAVE_MAJOR
    constexpr unsigned kPtySlaveLastMajor = 143;
    if (major(rdev) >= kPtySlaveFirstMajor && major(rdev) <= kPtySlaveLastMajor) return true;
    if (access("/sys/dev/char", F_OK) != 0) return true;
    char entry[64];
    snprintf(entry, sizeof entry, "/sys/dev/char/%u:%u/subsystem", major(rdev), minor(rdev));
    char target[PATH_MAX];
    const ssize_t n = readlink(entry, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const std::string subsystem(target);
    return subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/tty") == 0;
}

}  // namespace

bool IdentifySerialDevice(const std::string& path, SerialDeviceId* id) {
    struct stat st;
    if (path.empty() || path[0] != '/' || stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
        !IsTerminalDevice(st.st_rdev)) {
        SetLastErrorCode(kErrorFileNotFound);
        return false;
    }
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) {
        SetLastErrorCode(kErrorFileNotFound);
        return false;
    }
    id->realPath = real;
    id->rdev = st.st_rdev;
    return true;
}

bool DeviceOpenElsewhere(const SerialDeviceId& device) {
    CDir proc(opendir("/proc"));
    if (!proc) return false;
    const pid_t self = getpid();
    // Each directory stream is this call's own.
    while (dirent* entry = readdir(proc.get())) {  // NOLINT(concurrency-mt-unsafe)
        if (!IsNumber(entry->d_name) || atoi(entry->d_name) == self) continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        CDir fds(opendir(fdDir.c_str()));
        if (!fds) continue;                        // gone, or not ours to see
        while (dirent* fd = readdir(fds.get())) {  // NOLINT(concurrency-mt-unsafe)
            if (IsNumber(fd->d_name) && FdIsDevice(fdDir + "/" + fd->d_name, device)) return true;
        }
    }
    return false;
}

std::string UucpLockDirectory() {
    const char* dir = getenv("TOVL_LOCK_DIR");  // NOLINT(concurrency-mt-unsafe): env is fixed
    return dir != nullptr && dir[0] != '\0' ? dir : "/run/lock";
}

CUucpLock::CUucpLock(CUucpLock&& other) noexcept : path_(std::exchange(other.path_, {})) {}

CUucpLock& CUucpLock::operator=(CUucpLock&& other) noexcept {
    if (this != &other) {
        Release();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

bool CUucpLock::Acquire(const std::string& realPath) {
    Release();
    const std::string dir = UucpLockDirectory();
    const size_t slash = realPath.rfind('/');
    const std::string path = dir + "/LCK.." + realPath.substr(slash + 1);
    std::lock_guard<std::mutex> guard(g_heldLock);
    // A leftover is removed and the lock made again; a few rounds are
    // enough for any sane race with another program doing the same.
    for (int round = 0; round < 4; ++round) {
        const int result = CreateLockFile(dir, path);
        if (result == 0) {
            HeldLocks().insert(path);
            path_ = path;
            return true;
        }
        if (result != EEXIST) {
            LogLine(LogPriority::Warning,
                    "no lock file in %s (%s): the device is locked by flock only", dir.c_str(),
                    ErrnoText(result).c_str());
            return true;
        }
        if (LockHolderAlive(path)) break;
        LogLine(LogPriority::Info, "taking over the lock file %s of a process that has ended",
                path.c_str());
        unlink(path.c_str());
    }
    SetLastErrorCode(kErrorAccessDenied);
    return false;
}

void CUucpLock::Release() {
    if (path_.empty()) return;
    std::lock_guard<std::mutex> guard(g_heldLock);
    // Removed only while it still bears our pid: never another's lock.
    CUniqueFd fd(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd) {
        char text[64] = {};
        const ssize_t size = read(fd.Get(), text, sizeof text - 1);
        if (size > 0 && LockFilePid(text, size) == getpid()) unlink(path_.c_str());
    }
    HeldLocks().erase(path_);
    path_.clear();
}

}  // namespace tovl
