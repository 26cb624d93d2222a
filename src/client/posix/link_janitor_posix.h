// Removes the virtual ports' links when the client process ends, however it
// ends (stop signal, kill, crash): a small child process, in a session of
// its own, is told each link as it is made and, when its parent's end
// closes the pipe between them, removes each link that still points at the
// parent's pty. Used by the worker thread only.
#pragma once

#include <string>

namespace tovl {

class CLinkJanitor {
  public:
    // Starts the child; call before the first link is made.
    bool Start();
    // Tells the child about one link and the slave it points at.
    void Add(const std::string& link, const std::string& target);

  private:
    int pipe_ = -1;
};

}  // namespace tovl
