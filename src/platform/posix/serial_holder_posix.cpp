#include "platform/posix/serial_holder_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/posix/errno_posix.h"
#include "platform/posix/unique_fd_posix.h"
#include "platform/serial_port.h"

namespace tovl {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using CDir = std::unique_ptr<DIR, DirCloser>;

// Said once per process: every later scan would see the same.
std::atomic<bool> g_warnedUnseen{false};

bool IsNumber(const char* s) {
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// What one open descriptor of another process is.
enum class FdLook { Other, Device, Unseen };

FdLook LookAtFd(const std::string& fdPath, const SerialDeviceId* device) {
    char target[PATH_MAX];
    const ssize_t n = readlink(fdPath.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        // Without the right to look into the process (CAP_SYS_PTRACE for
        // another user's or a more privileged one) its links stay closed.
        return n < 0 && (errno == EACCES || errno == EPERM) ? FdLook::Unseen : FdLook::Other;
    }
    if (device == nullptr) return FdLook::Other;
    target[n] = '\0';
    // Only device nodes are looked at: a stat of any other open file (on a
    // network file system, say) could block.
    const std::string name(target);
    if (name.rfind("/dev/", 0) != 0 && name != device->realPath) return FdLook::Other;
    struct stat st;
    return stat(fdPath.c_str(), &st) == 0 && IsSameSerialDevice(*device, st) ? FdLook::Device
                                                                             : FdLook::Other;
}

// A small file of /proc, whole, or "" when it cannot be read.
std::string ReadProcFile(const std::string& path) {
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    char text[1024];
    const ssize_t n = read(fd.Get(), text, sizeof text - 1);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

void WarnUnseen(const std::string& what, int error) {
    if (g_warnedUnseen.exchange(true)) return;
    LogLine(LogPriority::Warning,
            "the open files of other processes cannot be seen (%s: %s): a device's exclusive use "
            "rests on its lock file, flock and TIOCEXCL",
            what.c_str(), ErrnoText(error).c_str());
}

// Looks through the descriptors of every other process for device (none:
// only whether every one can be seen).
DeviceHolderScan ScanDescriptors(const SerialDeviceId* device) {
    DeviceHolderScan scan;
    const pid_t self = getpid();
    // Processes of other users can be left out of /proc altogether
    // (hidepid=invisible); init is always there otherwise.
    if (self != 1 && access("/proc/1", F_OK) != 0) {
        scan.complete = false;
        WarnUnseen("/proc/1", errno);
    }
    CDir proc(opendir("/proc"));
    if (!proc) {
        scan.complete = false;
        WarnUnseen("/proc", errno);
        return scan;
    }
    // Each directory stream is this call's own.
    while (dirent* entry = readdir(proc.get())) {  // NOLINT(concurrency-mt-unsafe)
        if (!IsNumber(entry->d_name)) continue;
        const pid_t pid = static_cast<pid_t>(strtol(entry->d_name, nullptr, 10));
        if (pid == self) continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        CDir fds(opendir(fdDir.c_str()));
        if (!fds) {
            // ENOENT or ESRCH: it has ended meanwhile.
            if (errno != ENOENT && errno != ESRCH) {
                scan.complete = false;
                WarnUnseen(fdDir, errno);
            }
            continue;
        }
        while (dirent* fd = readdir(fds.get())) {  // NOLINT(concurrency-mt-unsafe)
            if (!IsNumber(fd->d_name)) continue;
            const std::string fdPath = fdDir + "/" + fd->d_name;
            const FdLook look = LookAtFd(fdPath, device);
            if (look == FdLook::Device) {
                scan.pid = pid;
                return scan;
            }
            if (look == FdLook::Unseen) {
                const int error = errno;
                scan.complete = false;
                WarnUnseen(fdPath + " of " + DescribeProcess(pid), error);
                break;
            }
        }
    }
    return scan;
}

}  // namespace

DeviceHolderScan ScanForDeviceHolder(const SerialDeviceId& device) {
    return ScanDescriptors(&device);
}

void CheckSerialHolderVisibility() {
    ScanDescriptors(nullptr);
}

std::string ProcessCommand(pid_t pid) {
    std::string comm = ReadProcFile("/proc/" + std::to_string(pid) + "/comm");
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
    return comm;
}

bool ProcessStartTime(pid_t pid, double* epochSeconds) {
    const std::string stat = ReadProcFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold anything, ')' included: the
    // fields are counted from the last one. starttime is field 22, the
    // 20th after the name.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    const char* field = stat.c_str() + close + 1;
    for (int i = 0; i < 20; ++i) {
        while (*field == ' ') ++field;
        if (i == 19) break;
        while (*field != ' ' && *field != '\0') ++field;
    }
    char* end = nullptr;
    const unsigned long long ticks = strtoull(field, &end, 10);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (end == field || ticksPerSecond <= 0) return false;
    // The start is counted in ticks since boot (suspended time included).
    timespec now{};
    timespec sinceBoot{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return false;
    const double bootTime = static_cast<double>(now.tv_sec - sinceBoot.tv_sec) +
                            static_cast<double>(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
    *epochSeconds = bootTime + static_cast<double>(ticks) / static_cast<double>(ticksPerSecond);
    return true;
}

std::string DescribeProcess(pid_t pid) {
    const std::string comm = ProcessCommand(pid);
    std::string text = "pid " + std::to_string(pid);
    if (!comm.empty()) text += " (" + comm + ")";
    return text;
}

std::string DescribeSerialHolder(const std::string& name) {
    const uint32_t error = GetLastErrorCode();
    SerialDeviceId device;
    std::string text;
    if (IdentifySerialDevice(name, &device)) {
        const DeviceHolderScan scan = ScanForDeviceHolder(device);
        if (scan.pid != 0)
            text = "held by " + DescribeProcess(scan.pid);
        else
            text = DescribeUucpLock(UucpLockPath(device.realPath));
    }
    // The caller may still want the open's error.
    SetLastErrorCode(error);
    return text;
}

}  // namespace tovl
