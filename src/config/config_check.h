// Reads the product's registry tree as the services read it and explains
// each problem in words, one sentence per problem ("tovladmin check", and
// the services' own log lines when they meet the same value). Owns no
// state; any thread may call, each call opens and closes its own keys.
#pragma once

#include <string>
#include <vector>

namespace tovl {

// Every problem of the whole tree (client and server parts); empty when
// the configuration is sound.
std::vector<std::string> CheckConfiguration();

// The problem with REMOTEPORT<n>'s text, or "" when the client will use it.
std::string ExplainRemotePort(unsigned n, const std::string& text);
// The problem with a PORT<n> time-out text, or "".
std::string ExplainPortTimeouts(unsigned n, const std::string& text);
// The problem with a device path a real port is to be opened at, or "".
std::string ExplainDevice(const std::string& path);
// The problem with the folder of a virtual port's link path, or "".
std::string ExplainLinkPath(const std::string& path);
// Creates the registry's root folder (0755, with its parents) when it is
// missing, so that keys can be made below it; "" or the problem in words.
std::string MakeRegistryRoot();
// True for four numbers 0 to 255 joined by dots, nothing else.
bool IsDottedDecimal(const std::string& text);

}  // namespace tovl
