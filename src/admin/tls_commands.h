// tovladmin's TLS commands on Linux: the server's certificate and listeners
// (tls server, tls listen, tls remove, tls list), certificates on the
// allowed list (tls allow), and a virtual port's TLS options of "port set".
// Each writes the values exactly as the services read them (see
// tovl-registry(5)). Main thread only.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace tovl {

// True when args[0] is "tls"; *exitCode is then its result (0 success,
// 1 registry failure, 2 usage error).
bool RunTlsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   int* exitCode);

// The options of "port set" that belong to TLS: --tls-ca, --tls-pin,
// --tls-cert and --tls-key.
bool IsPortTlsOption(const std::string& option);
// The usage problem of port n's TLS options, or "" when they are sound
// (none at all means a plain port).
std::string ExplainPortTls(const std::map<std::string, std::string>& options);
// Writes port n's TLS values (removing those not given); a kAdminExit code.
int WritePortTls(const std::string& n, const std::map<std::string, std::string>& options,
                 std::ostream& err);
// Removes port n's TLS values ("port remove").
void RemovePortTls(const std::string& n);

}  // namespace tovl
