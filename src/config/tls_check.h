// What "tovladmin check" says of TLS: the TLS listeners, the server's
// certificate, key and client CA (loaded as the server loads them), the
// certificate entries of the allowed list, and each virtual port's TLS
// files. Any thread; each call opens and closes its own keys.
#pragma once

#include <string>

#include "config/config_check.h"

namespace tovl {

void CheckTls(CCheckFindings* out);

// The problem of one certificate entry of the allowed list, or "".
std::string ExplainCertEntry(const std::string& name);

}  // namespace tovl
