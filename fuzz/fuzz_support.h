// A registry root of the fuzz run's own, made once per process and removed
// at its end; the product's keys are created empty in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace tovl_fuzz {

inline std::string RegistryRoot() {
    static const std::string root = [] {
        // In memory where the system offers it: the registry target writes
        // files for every input.
        std::string pattern = std::filesystem::is_directory("/dev/shm")
                                  ? "/dev/shm/tovl-fuzz-registry-XXXXXX"
                                  : "/tmp/tovl-fuzz-registry-XXXXXX";
        std::string made = mkdtemp(pattern.data());
        setenv("TOVL_REGISTRY_ROOT", made.c_str(), 1);
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(getenv("TOVL_REGISTRY_ROOT"), ec);
        });
        return made;
    }();
    return root;
}

// The directory of key path ("Software\\Dravik\\TOVL\\IpAddr"), made.
inline std::string KeyDirectory(const std::string& keyPath) {
    std::string dir = RegistryRoot() + "/HKEY_LOCAL_MACHINE";
    size_t from = 0;
    while (from <= keyPath.size()) {
        const size_t to = keyPath.find('\\', from);
        dir += "/" + keyPath.substr(from, to == std::string::npos ? std::string::npos : to - from);
        if (to == std::string::npos) break;
        from = to + 1;
    }
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace tovl_fuzz
