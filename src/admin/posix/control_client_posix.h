// tovladmin's side of the server's control channel: sends one request to
// the running server over its Unix socket and prints the answer. One call,
// the calling thread only.
#pragma once

#include <ostream>
#include <string>

namespace tovl {

// Sends request ("status", "status json", "disconnect COM<n>", "trace
// COM<n> [raw]") and copies the answer to out; a stream is copied as it
// comes, until the server closes it. 0 when the server answered with no
// error; 1, with a clear message on err, when it is not running, the caller
// may not ask, or it answered an error.
int AskServer(const std::string& request, std::ostream& out, std::ostream& err,
              bool stream = false);

}  // namespace tovl
