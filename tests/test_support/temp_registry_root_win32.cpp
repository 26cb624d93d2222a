#include "test_support/temp_registry_root.h"

namespace testing_support {

// The Wine prefix of the test run is itself thrown away.
std::string MakeTempRegistryRoot() {
    return {};
}
void RemoveTempRegistryRoot(const std::string&) {}

}  // namespace testing_support
