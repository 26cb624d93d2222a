#include <stdlib.h>

#include <filesystem>

#include "test_support/temp_registry_root.h"

namespace testing_support {

std::string MakeTempRegistryRoot() {
    char pattern[] = "/tmp/tovl-registry-XXXXXX";
    std::string root = mkdtemp(pattern);
    setenv("TOVL_REGISTRY_ROOT", root.c_str(), 1);
    return root;
}

void RemoveTempRegistryRoot(const std::string& root) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    unsetenv("TOVL_REGISTRY_ROOT");
}

}  // namespace testing_support
