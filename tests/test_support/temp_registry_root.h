// Platform half of TempRegistry: where a test's registry lives.
#pragma once

#include <string>

namespace testing_support {
std::string MakeTempRegistryRoot();
void RemoveTempRegistryRoot(const std::string& root);
}  // namespace testing_support
