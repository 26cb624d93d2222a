// The registry as a directory tree: a key is a directory, a value a file
// holding its data. Lookups ignore ASCII case; writes go through a temporary
// file and a rename, so a reader never sees half a value.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/last_error.h"
#include "platform/posix/errno_posix.h"
#include "platform/posix/unique_fd_posix.h"
#include "platform/registry.h"

namespace fs = std::filesystem;

namespace tovl {

struct RegKeyImpl {
    fs::path dir;
};

namespace {

constexpr const char* kHive = "HKEY_LOCAL_MACHINE";
constexpr const char* kTempPrefix = ".tovl-tmp-";

fs::path RegistryRoot() {
    // The programs never change their environment (tests set it up first).
    const char* root = getenv("TOVL_REGISTRY_ROOT");  // NOLINT(concurrency-mt-unsafe)
    return fs::path(root && *root ? root : "/etc/tovl/registry");
}

std::vector<std::string> SplitKeyPath(const char* path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += *p;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

bool IsUsableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.rfind(kTempPrefix, 0) != 0;
}

// The entry of dir whose name matches name without regard to case: the exact
// name when it exists, else the first match in byte order.
bool FindEntry(const fs::path& dir, const std::string& name, bool wantDir, fs::path* found) {
    std::error_code ec;
    fs::path exact = dir / name;
    if (wantDir ? fs::is_directory(exact, ec) : fs::is_regular_file(exact, ec)) {
        *found = exact;
        return true;
    }
    std::vector<std::string> matches;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (strcasecmp(entry.c_str(), name.c_str()) != 0) continue;
        bool isDir = it->is_directory(ec);
        bool isFile = it->is_regular_file(ec);
        if (wantDir ? isDir : isFile) matches.push_back(entry);
    }
    if (matches.empty()) return false;
    std::sort(matches.begin(), matches.end());
    *found = dir / matches.front();
    return true;
}

bool ResolveKey(const char* path, bool create, fs::path* out) {
    if (path == nullptr) return false;
    fs::path dir = RegistryRoot();
    std::vector<std::string> parts = SplitKeyPath(path);
    parts.insert(parts.begin(), kHive);
    for (const std::string& part : parts) {
        if (!IsUsableName(part)) return false;
        fs::path next;
        if (FindEntry(dir, part, true, &next)) {
            dir = next;
            continue;
        }
        if (!create) return false;
        dir /= part;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    *out = dir;
    return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

CRegKey::CRegKey() = default;

CRegKey::~CRegKey() {
    Close();
}

uint32_t CRegKey::OpenLocalMachine(const char* path, uint32_t /*access*/) {
    Close();
    fs::path dir;
    if (!ResolveKey(path, false, &dir)) return kErrorFileNotFound;
    if (access(dir.c_str(), R_OK | X_OK) != 0) return kErrorAccessDenied;
    impl_ = std::make_unique<RegKeyImpl>(RegKeyImpl{dir});
    return kErrorSuccess;
}

void CRegKey::Close() {
    impl_.reset();
}

uint32_t CRegKey::QueryValue(const char* name, void* data, uint32_t* size) const {
    if (!impl_ || name == nullptr) return kErrorInvalidHandle;
    fs::path file;
    if (!IsUsableName(name) || !FindEntry(impl_->dir, name, false, &file))
        return kErrorFileNotFound;
    CUniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return WindowsErrorFromErrno(errno);
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || st.st_size > 0x7FFFFFF0) return kErrorGenFailure;
    const uint32_t length = static_cast<uint32_t>(st.st_size);
    // An empty value has no data, not even a terminator.
    const uint32_t needed = length == 0 ? 0 : length + 1;
    uint32_t result = kErrorSuccess;
    if (data != nullptr && size != nullptr && needed > *size) {
        result = kErrorMoreData;
    } else if (data != nullptr && length > 0) {
        char* out = static_cast<char*>(data);
        uint32_t got = 0;
        while (got < length) {
            ssize_t n = read(fd.Get(), out + got, length - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<uint32_t>(n);
        }
        if (got != length) result = kErrorGenFailure;
        out[length] = '\0';
    }
    if (size != nullptr) *size = needed;
    return result;
}

uint32_t CRegKey::SetValue(const char* name, uint32_t type, const void* data, uint32_t size) {
    if (!impl_) return kErrorInvalidHandle;
    if (name == nullptr || !IsUsableName(name) || (size > 0 && data == nullptr))
        return kErrorInvalidParameter;
    // A string's terminator is not part of its stored text.
    if (type == kRegSz) {
        while (size > 0 && static_cast<const char*>(data)[size - 1] == '\0') --size;
    }
    fs::path target;
    if (!FindEntry(impl_->dir, name, false, &target)) target = impl_->dir / name;
    static std::atomic<unsigned> counter{0};
    fs::path temp = impl_->dir / (std::string(kTempPrefix) + std::to_string(getpid()) + "-" +
                                  std::to_string(counter++));
    CUniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return WindowsErrorFromErrno(errno);
    bool ok = WriteAll(fd.Get(), data, size) && fsync(fd.Get()) == 0;
    // A failed close can lose written data: checked, so the descriptor is
    // given up by hand here.
    ok = close(fd.Release()) == 0 && ok;
    if (!ok || rename(temp.c_str(), target.c_str()) != 0) {
        uint32_t error = ok ? WindowsErrorFromErrno(errno) : kErrorGenFailure;
        unlink(temp.c_str());
        return error;
    }
    return kErrorSuccess;
}

uint32_t CRegKey::DeleteValue(const char* name) {
    if (!impl_) return kErrorInvalidHandle;
    fs::path file;
    if (name == nullptr || !IsUsableName(name) || !FindEntry(impl_->dir, name, false, &file))
        return kErrorFileNotFound;
    return unlink(file.c_str()) == 0 ? kErrorSuccess : WindowsErrorFromErrno(errno);
}

uint32_t CRegKey::EnumValueName(uint32_t index, std::string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(impl_->dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (IsUsableName(entry) && it->is_regular_file(ec)) names.push_back(entry);
    }
    if (ec) return WindowsErrorFromErrno(ec.value());
    std::sort(names.begin(), names.end());
    if (index >= names.size()) return kErrorNoMoreItems;
    *name = names[index];
    return kErrorSuccess;
}

uint32_t CreateLocalMachineKey(const char* path) {
    fs::path dir;
    return ResolveKey(path, true, &dir) ? kErrorSuccess : WindowsErrorFromErrno(errno);
}

uint32_t DeleteLocalMachineKey(const char* path) {
    fs::path dir;
    if (!ResolveKey(path, false, &dir)) return kErrorFileNotFound;
    std::error_code ec;
    fs::remove_all(dir, ec);
    return ec ? WindowsErrorFromErrno(ec.value()) : kErrorSuccess;
}

}  // namespace tovl
