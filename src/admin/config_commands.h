// tovladmin's configuration commands on Linux: init, port, device, rfc2217,
// check, --help and --version (tls through admin/tls_commands.h). Each
// writes the registry values exactly as the services read them (see
// tovl-registry(5)). Main thread only.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tovl {

// True when args[0] is one of these commands; *exitCode is then its result
// (0 success, 1 registry failure or problems found, 2 usage error).
bool RunConfigCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      int* exitCode);

// Writes value name of keyPath as text (the key made first when createKey
// and it is missing); a failure is explained on err. kAdminExitOk, or
// kAdminExitRegistry.
int SetValue(const char* keyPath, const std::string& name, const std::string& data,
             std::ostream& err, bool createKey = false);
// Deletes value name of keyPath: 0, or the registry's error (2: no key).
int DeleteValue(const char* keyPath, const std::string& name);

}  // namespace tovl
