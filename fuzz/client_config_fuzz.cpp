// The client's configuration parsers on their own, in memory: a REMOTEPORT
// text and a PORT text. Input: the two texts, separated by the first 0x00
// byte. The registry's side of the same values is fuzz_client_registry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/client_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string remote = input.substr(0, split);
    const std::string port = split == std::string::npos ? std::string() : input.substr(split + 1);

    tovl::RemoteEnd end;
    if (tovl::ParseRemoteEnd(remote.c_str(), &end)) {
        // The address is a terminated text cut from the value's first 31
        // bytes (delimiters in front of it skipped).
        const size_t length = strnlen(end.Address, sizeof end.Address);
        if (length == 0 || length >= sizeof end.Address) abort();
        if (remote.substr(0, sizeof end.Address - 1).find(end.Address) == std::string::npos)
            abort();
    }
    int32_t values[5];
    tovl::ParsePortTimeouts(port.c_str(), values);
    return 0;
}
