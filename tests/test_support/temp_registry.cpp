#include "test_support/temp_registry.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "test_support/temp_registry_root.h"

namespace testing_support {

namespace {
constexpr const char* kProductKey = "Software\\Dravik";
}

TempRegistry::TempRegistry() : root_(MakeTempRegistryRoot()) {
    tovl::DeleteLocalMachineKey(kProductKey);
}

TempRegistry::~TempRegistry() {
    tovl::DeleteLocalMachineKey(kProductKey);
    RemoveTempRegistryRoot(root_);
}

void TempRegistry::CreateKey(const std::string& keyPath) {
    ASSERT_EQ(tovl::CreateLocalMachineKey(keyPath.c_str()), 0u) << keyPath;
}

void TempRegistry::SetValue(const std::string& keyPath, const std::string& name,
                            const std::string& data) {
    CreateKey(keyPath);
    tovl::CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine(keyPath.c_str()), 0u);
    ASSERT_EQ(
        key.SetValue(name.c_str(), tovl::kRegSz, data.data(), static_cast<uint32_t>(data.size())),
        0u);
}

void TempRegistry::DeleteKey(const std::string& keyPath) {
    tovl::DeleteLocalMachineKey(keyPath.c_str());
}

}  // namespace testing_support
