// Removes the virtual ports' links when the client process ends, however it
// ends (stop signal, kill, crash): a small child process, in a session of
// its own, waits for its parent's end on a pipe and then removes each link
// that still points at the parent's pty.
#pragma once

#include <string>
#include <utility>
#include <vector>

// links: pairs of link path and the slave path it points at. Call before
// other threads are started where possible.
bool StartLinkJanitor(const std::vector<std::pair<std::string, std::string>>& links);
