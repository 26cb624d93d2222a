// The file-system side of the configuration check: devices and link folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_check.h"
#include "platform/posix/errno_posix.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

namespace {

// A device the kernel files under the tty class, without opening it (an
// open would raise DTR on a real port).
bool SysfsSaysTerminal(const struct stat& st, bool* known) {
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev)) + "/subsystem";
    char target[512];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    *known = n > 0;
    if (n <= 0) return false;
    target[n] = '\0';
    const char* base = strrchr(target, '/');
    return strcmp(base ? base + 1 : target, "tty") == 0;
}

}  // namespace

std::string ExplainDevice(const std::string& path) {
    if (path.empty() || path[0] != '/') return "\"" + path + "\" is not an absolute path";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return "device " + path + " does not exist (" + ErrnoText(errno) + ")";
    if (!S_ISCHR(st.st_mode)) return path + " is not a character device";
    bool known = false;
    if (SysfsSaysTerminal(st, &known)) return "";
    if (known) return path + " is a character device but not a terminal";
    // Pseudo-terminals are not in sysfs: ask the device itself.
    CUniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return "device " + path + " cannot be opened (" + ErrnoText(errno) + ")";
    if (!isatty(fd.Get())) return path + " is a character device but not a terminal";
    return "";
}

std::string ExplainLinkPath(const std::string& path) {
    if (path.empty() || path[0] != '/') return "link path \"" + path + "\" is not absolute";
    const std::string dir = path.substr(0, path.rfind('/'));
    struct stat st {};
    if (stat(dir.empty() ? "/" : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "the folder of link " + path + " does not exist";
    return "";
}

std::string MakeRegistryRoot() {
    // The registry backend's own default root (see platform/registry.h).
    // Nothing sets the environment while the programs run.
    const char* env = getenv("TOVL_REGISTRY_ROOT");  // NOLINT(concurrency-mt-unsafe)
    const std::string root = env && *env ? env : "/etc/tovl/registry";
    for (size_t at = root.find('/', 1);; at = root.find('/', at + 1)) {
        const std::string part = root.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return "cannot create " + part + " (" + ErrnoText(errno) + ")";
        if (at == std::string::npos) break;
    }
    return "";
}

}  // namespace tovl
