// The client's configuration as the registry gives it: a REMOTEPORT value
// and a PORT value written as raw bytes (NULs and all) and read back through
// the registry with the readers' buffer limits. Input: the two values,
// separated by the first 0x00 byte. Slower than the parsers' own target
// (files per input), so it is kept to the one round trip.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "client/client_config.h"
#include "config/product_keys.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string connections = tovl_fuzz::KeyDirectory(tovl::kConnectionsKey);
    static const std::string settings = tovl_fuzz::KeyDirectory(tovl::kSettingsKey);
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string remote = input.substr(0, split);
    const std::string port = split == std::string::npos ? std::string() : input.substr(split + 1);

    int32_t values[5];
    std::ofstream(connections + "/REMOTEPORT1", std::ios::binary | std::ios::trunc) << remote;
    std::ofstream(settings + "/PORT1", std::ios::binary | std::ios::trunc) << port;
    tovl::ReadClientConnections();
    tovl::ReadPortTimeouts(1, values);
    return 0;
}
