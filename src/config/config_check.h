// Reads the product's registry tree as the services read it and explains
// each finding in words, one sentence per finding ("tovladmin check", and
// the services' own log lines when they meet the same value). Owns no
// state; any thread may call, each call opens and closes its own keys.
#pragma once

#include <string>
#include <vector>

#include "config/remote_host.h"
#include "config/value_text.h"

namespace tovl {

struct CCheckFindings {
    // What a service refuses, ignores or misreads: the setting does not do
    // what it says.
    std::vector<std::string> problems;
    // What the services read as meant, or a sound setting that still keeps
    // something from working (an empty allowed list).
    std::vector<std::string> warnings;
};

// The findings of the whole tree (client and server parts); both lists
// empty when the configuration is sound.
CCheckFindings CheckConfiguration();

// The problem with the server that REMOTEHOST<n> names, or "" when its
// name resolves now; *lasting (if given) tells a name the name service says
// does not exist from one it could not answer for.
std::string ExplainServerName(unsigned n, const RemoteHost& server, bool* lasting = nullptr);

// The problem with a device path a real port is to be opened at, or "".
std::string ExplainDevice(const std::string& path);
// The problem with the folder of a virtual port's link path, or "".
std::string ExplainLinkPath(const std::string& path);
// Creates the registry's root folder (0755, with its parents) when it is
// missing, so that keys can be made below it; "" or the problem in words.
std::string MakeRegistryRoot();

}  // namespace tovl
