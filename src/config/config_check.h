// Reads the product's registry tree as the services read it and explains
// each problem in words, one sentence per problem ("tovladmin check", and
// the services' own log lines when they meet the same value). Owns no
// state; any thread may call, each call opens and closes its own keys.
#pragma once

#include <string>
#include <vector>

#include "config/value_text.h"

namespace tovl {

// Every problem of the whole tree (client and server parts); empty when
// the configuration is sound.
std::vector<std::string> CheckConfiguration();

// The problem with a device path a real port is to be opened at, or "".
std::string ExplainDevice(const std::string& path);
// The problem with the folder of a virtual port's link path, or "".
std::string ExplainLinkPath(const std::string& path);
// Creates the registry's root folder (0755, with its parents) when it is
// missing, so that keys can be made below it; "" or the problem in words.
std::string MakeRegistryRoot();

}  // namespace tovl
