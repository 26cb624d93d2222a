// The tracker of a pseudo-terminal port's uses: the applications' opens and
// closes as the set's inotify reports them, the use count they make, the
// end of each use in the master's bytes (CPortUses), and the use a session
// serves.
#include <poll.h>
#include <sys/ioctl.h>

#include <mutex>

#include "client/posix/pty_port_posix.h"
#include "client/posix/pty_port_provider_posix.h"
#include "client/posix/pty_settings_posix.h"

namespace tovl {

void CPtyPort::OnOpenOrClose(bool opened) {
    if (opened) {
        if (openCount_.fetch_add(1) == 0) uses_.fetch_add(1);
    } else if (openCount_.load() > 0 && openCount_.fetch_sub(1) == 1) {
        // The last application is gone: what the server sent it since is
        // not for the next one.
        closes_.fetch_add(1);
        std::lock_guard<std::mutex> guard(lock_);
        CPty& pty = *pty_;
        pty.FlushInput();
        // What the master holds now is the ended use's, with the settings
        // it left; the next use's bytes follow.
        // A poll of a master that shows nothing moves in what the kernel
        // still has in transit (bytes written just before the close).
        pollfd p{pty.master.Get(), POLLIN, 0};
        poll(&p, 1, 0);
        int left = 0;
        if (ioctl(pty.master.Get(), FIONREAD, &left) != 0 || left < 0) left = 0;
        termios t;
        PortLinkSettings settings{};
        if (tcgetattr(pty.master.Get(), &t) == 0)
            settings = TermiosToLinkSettings(t, ActualBaud(pty.master.Get(), t));
        bounds_.Ended(uses_.load(), static_cast<uint64_t>(left), settings);
        WakeFd(writerWake_.Get());
    }
    opened_.Set();
}

uint32_t CPtyPort::UseCount() {
    // Counted up to the opens and closes made so far.
    set_.TakeOpenCloseEvents();
    return uses_.load();
}

void CPtyPort::ServeUse(uint32_t use) {
    set_.TakeOpenCloseEvents();
    std::lock_guard<std::mutex> guard(lock_);
    const uint64_t start = bounds_.Serve(use);
    // What older uses left unsent, staged or in the master, is not this
    // use's.
    if (start > bounds_.Position() - staged_) {
        staged_ = 0;
        stagedAt_ = 0;
    }
    if (start > bounds_.Position()) DropFromMasterLocked(start - bounds_.Position());
    flushCut_.store(false);
}

bool CPtyPort::EndedUseWithData(uint32_t after, uint32_t* use) {
    set_.TakeOpenCloseEvents();
    std::lock_guard<std::mutex> guard(lock_);
    return bounds_.EndedWithData(after, use);
}

}  // namespace tovl
