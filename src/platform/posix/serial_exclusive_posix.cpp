#include "platform/posix/serial_exclusive_posix.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>

#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/posix/errno_posix.h"
#include "platform/posix/serial_holder_posix.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

namespace {

// A lock file without a readable pid is taken for one being written for
// this long; older, it is a leftover.
constexpr time_t kUnreadableLockGraceSeconds = 10;
// A holder that started more than this after its lock file was written
// cannot have written it: its pid has been reused. The slack covers the
// coarser clocks of process start and file times.
constexpr double kPidReuseSlackSeconds = 2.0;

// The lock files this process holds or is taking. A lock path is claimed
// before its file is touched and given up after, so while a thread works on
// a lock file no other thread of this process does, and a file bearing our
// pid that is not claimed is a leftover of an earlier process with the same
// pid. The mutex guards the set only: no file is touched under it.
std::mutex g_claimLock;
std::set<std::string>& ClaimedLocks() {
    // Never destroyed: session threads may still use it while the process ends.
    static auto* claimed = new std::set<std::string>;  // NOLINT(cppcoreguidelines-owning-memory)
    return *claimed;
}

bool Claim(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_claimLock);
    return ClaimedLocks().insert(path).second;
}

void GiveUp(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_claimLock);
    ClaimedLocks().erase(path);
}

bool IsClaimed(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_claimLock);
    return ClaimedLocks().count(path) != 0;
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

const char* FileKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// What is found under a lock file's name.
enum class LockState {
    Absent,    // no file
    Held,      // a live holder's lock
    Stale,     // a leftover that may be taken over
    Unusable,  // not a lock file we may read or remove: the device stays refused
};

struct LockLook {
    LockState state = LockState::Absent;
    pid_t pid = 0;    // the pid the file names, 0 when none could be read
    std::string why;  // Stale and Unusable: for the log
    dev_t dev = 0;    // the file looked at, so only that one is removed
    ino_t ino = 0;
};

// Reads the lock file at path without blocking: a FIFO, a link or a
// directory under its name is never followed, waited for or read.
// ownClaim: the caller has claimed path (it is taking the lock), so a file
// with our pid is a leftover; otherwise such a file is a port's of ours if
// the path is claimed.
LockLook LookAtLockFile(const std::string& path, bool ownClaim) {
    LockLook look;
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) return look;
        look.state = LockState::Unusable;
        if (error == ELOOP)
            look.why = "is a symbolic link";
        else if (error == EACCES)
            look.why = "cannot be read";
        else
            look.why = "cannot be opened (" + ErrnoText(error) + ")";
        return look;
    }
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) {
        look.state = LockState::Unusable;
        look.why = "cannot be examined (" + ErrnoText(errno) + ")";
        return look;
    }
    if (!S_ISREG(st.st_mode)) {
        look.state = LockState::Unusable;
        look.why = std::string("is ") + FileKind(st.st_mode) + ", not a regular file";
        return look;
    }
    look.dev = st.st_dev;
    look.ino = st.st_ino;
    char text[64] = {};
    const ssize_t size = read(fd.Get(), text, sizeof text - 1);
    look.pid = size > 0 ? LockFilePid(text, size) : 0;
    look.state = LockState::Held;
    const double written =
        static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    if (look.pid == 0) {
        if (time(nullptr) - st.st_mtime >= kUnreadableLockGraceSeconds) {
            look.state = LockState::Stale;
            look.why = "holds no pid";
        }
    } else if (look.pid == getpid()) {
        if (ownClaim || !IsClaimed(path)) {
            look.state = LockState::Stale;
            look.why = "is a leftover of an earlier process with our pid";
        }
    } else if (kill(look.pid, 0) != 0 && errno != EPERM) {
        look.state = LockState::Stale;
        look.why = "belongs to a process that has ended";
    } else {
        double started = 0;
        if (ProcessStartTime(look.pid, &started) && started > written + kPidReuseSlackSeconds) {
            look.state = LockState::Stale;
            look.why = "names a pid now used by a process started after it was written";
        }
    }
    return look;
}

// Removes the lock file looked at, unless another has taken its name
// meanwhile.
void RemoveLockFile(const std::string& path, const LockLook& look) {
    struct stat st;
    if (look.dev != 0 && lstat(path.c_str(), &st) == 0 &&
        (st.st_dev != look.dev || st.st_ino != look.ino))
        return;
    unlink(path.c_str());
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
            CUniqueFd direct(open(path.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                  0644));
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

// Takes the lock file at path, claimed by the caller. 0: ours; 1: the lock
// directory cannot take it (going on without); -1: refused.
int TakeLockFile(const std::string& dir, const std::string& path) {
    // A leftover is removed and the lock made again; a few rounds are
    // enough for any sane race with another program doing the same.
    for (int round = 0; round < 4; ++round) {
        const int result = CreateLockFile(dir, path);
        if (result == 0) return 0;
        if (result != EEXIST) {
            LogLine(LogPriority::Warning,
                    "no lock file in %s (%s): the device is locked by flock only", dir.c_str(),
                    ErrnoText(result).c_str());
            return 1;
        }
        const LockLook look = LookAtLockFile(path, true);
        if (look.state == LockState::Held) return -1;
        if (look.state == LockState::Unusable) {
            LogLine(LogPriority::Warning, "lock file %s %s: its device is refused", path.c_str(),
                    look.why.c_str());
            return -1;
        }
        if (look.state == LockState::Stale) {
            LogLine(LogPriority::Info, "taking over the lock file %s: it %s", path.c_str(),
                    look.why.c_str());
            RemoveLockFile(path, look);
        }
    }
    return -1;
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
    struct statfs fs;
    if (realpath(path.c_str(), real) == nullptr || statfs(real, &fs) != 0) {
        SetLastErrorCode(kErrorFileNotFound);
        return false;
    }
    id->realPath = real;
    id->rdev = st.st_rdev;
    id->fsDev = st.st_dev;
    id->numberPerFsDev = fs.f_type == DEVPTS_SUPER_MAGIC;
    return true;
}

bool IsSameSerialDevice(const SerialDeviceId& device, const struct stat& st) {
    return S_ISCHR(st.st_mode) && st.st_rdev == device.rdev &&
           (st.st_dev == device.fsDev || !device.numberPerFsDev);
}

std::string UucpLockDirectory() {
    const char* dir = getenv("TOVL_LOCK_DIR");  // NOLINT(concurrency-mt-unsafe): env is fixed
    return dir != nullptr && dir[0] != '\0' ? dir : "/run/lock";
}

std::string UucpLockPath(const std::string& realPath) {
    return UucpLockDirectory() + "/LCK.." + realPath.substr(realPath.rfind('/') + 1);
}

std::string DescribeUucpLock(const std::string& lockPath) {
    const LockLook look = LookAtLockFile(lockPath, false);
    if (look.state == LockState::Unusable) return "lock file " + lockPath + " " + look.why;
    if (look.state != LockState::Held || look.pid == 0) return {};
    if (look.pid == getpid()) return "in use by another session of this process";
    return "locked by " + DescribeProcess(look.pid) + " in " + lockPath;
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
    const std::string path = UucpLockPath(realPath);
    // Claimed: another port of this process has it or is taking it.
    if (!Claim(path)) {
        SetLastErrorCode(kErrorAccessDenied);
        return false;
    }
    const int taken = TakeLockFile(UucpLockDirectory(), path);
    if (taken == 0) {
        path_ = path;
        return true;
    }
    GiveUp(path);
    if (taken > 0) return true;
    SetLastErrorCode(kErrorAccessDenied);
    return false;
}

void CUucpLock::Release() {
    if (path_.empty()) return;
    // Removed only while it still bears our pid: never another's lock.
    const LockLook look = LookAtLockFile(path_, false);
    if (look.state == LockState::Held && look.pid == getpid()) RemoveLockFile(path_, look);
    GiveUp(path_);
    path_.clear();
}

}  // namespace tovl
