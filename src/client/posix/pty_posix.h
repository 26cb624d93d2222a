// CPty: one pseudo-terminal of a client port, and the link that offers its
// slave to applications. A port gets a new pty when its application is hung
// up, so nothing of one use is kept in the old one's buffers; threads that
// still hold the old one (a pump in a call, a waiting write) finish with it
// and the last of them closes it. The port (pty_port_posix.h) owns the
// current one and says which thread may touch what; the helpers below are
// the pieces the port's files share.
#pragma once

#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/posix/unique_fd_posix.h"

namespace tovl {

struct CPty {
    // Makes a pty in raw mode at 9600 bit/s with EXTPROC, its master
    // non-blocking in packet mode, its slave watched (opens and closes) by
    // inotifyFd; *raw gets the termios it starts with. Null on failure.
    static std::shared_ptr<CPty> Make(int inotifyFd, termios* raw);

    // Drops what the application has not read yet; the flush packet this
    // puts on the master is then not taken for the application's.
    void FlushInput();

    std::string slavePath;  // the slave's path (/dev/pts/N); fixed once made
    CUniqueFd master;       // packet mode; used under the port's lock (its writes: the writer's)
    CUniqueFd slave;        // held so the pty never hangs up between applications
    int watch = -1;         // the slave's inotify watch; fixed once made
    bool ownFlush = false;  // FlushInput's packet not seen yet (the port's lock)
};

// Points link at slave in one step (a link made beside it, then renamed over
// it), so an open of the link finds the old target or the new one, never
// nothing. The caller has made sure nothing but a link is at that path.
bool PlaceLink(const std::string& link, const std::string& slave);
// Removes link if it still points at slave.
void RemoveLinkTo(const std::string& link, const std::string& slave);

// Signals an eventfd.
inline void WakeFd(int fd) {
    uint64_t one = 1;
    ssize_t rc = write(fd, &one, sizeof one);
    (void)rc;
}

// The speed the pty's termios carries, custom rates included.
uint32_t ActualBaud(int fd, const termios& t);

}  // namespace tovl
