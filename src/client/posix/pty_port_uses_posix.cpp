// The tracker of the pseudo-terminal ports' uses: the applications' opens
// and closes as inotify reports them, the use count they make, the end of
// each use in the master's bytes (CPortUses), and the use a session serves.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "client/port_uses.h"
#include "client/posix/pty_port_records_posix.h"
#include "client/posix/pty_settings_posix.h"

namespace tovl {

void CPtyPortProvider::OnOpenOrClose(Port& port, bool opened) {
    if (opened) {
        if (port.openCount.fetch_add(1) == 0) port.uses.fetch_add(1);
    } else if (port.openCount.load() > 0 && port.openCount.fetch_sub(1) == 1) {
        // The last application is gone: what the server sent it since is
        // not for the next one.
        port.closes.fetch_add(1);
        std::lock_guard<std::mutex> guard(port.lock);
        const std::shared_ptr<Pty> pty = port.pty;
        pty->FlushInput();
        // What the master holds now is the ended use's, with the settings
        // it left; the next use's bytes follow.
        // A poll of a master that shows nothing moves in what the kernel
        // still has in transit (bytes written just before the close).
        pollfd p{pty->master.Get(), POLLIN, 0};
        poll(&p, 1, 0);
        int left = 0;
        if (ioctl(pty->master.Get(), FIONREAD, &left) != 0 || left < 0) left = 0;
        termios t;
        PortLinkSettings settings{};
        if (tcgetattr(pty->master.Get(), &t) == 0)
            settings = TermiosToLinkSettings(t, ActualBaud(pty->master.Get(), t));
        port.bounds.Ended(port.uses.load(), static_cast<uint64_t>(left), settings);
        WakeFd(port.writerWake.Get());
    }
    port.opened.Set();
}

void CPtyPortProvider::TakeOpenCloseEvents() {
    std::lock_guard<std::mutex> guard(inotifyLock_);
    alignas(inotify_event) char events[4096];
    ssize_t len;
    while ((len = read(inotify_.Get(), events, sizeof events)) > 0) {
        for (char* p = events; p < events + len;) {
            auto* e = reinterpret_cast<inotify_event*>(p);
            for (auto& port : ports_) {
                if (!port || port->Current()->watch != e->wd) continue;
                if (e->mask & IN_OPEN) OnOpenOrClose(*port, true);
                if (e->mask & IN_CLOSE) OnOpenOrClose(*port, false);
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

uint32_t CPtyPortProvider::UseCount(uint32_t index) {
    Port* port = Find(index);
    if (port == nullptr) return 0;
    // Counted up to the opens and closes made so far.
    TakeOpenCloseEvents();
    return port->uses.load();
}

void CPtyPortProvider::ServeUse(uint32_t index, uint32_t use) {
    Port* port = Find(index);
    if (port == nullptr) return;
    TakeOpenCloseEvents();
    std::lock_guard<std::mutex> guard(port->lock);
    const uint64_t start = port->bounds.Serve(use);
    Pty& pty = *port->pty;
    // What older uses left unsent, staged or in the master, is not this
    // use's.
    if (start > port->bounds.Position() - pty.staged) {
        pty.staged = 0;
        pty.stagedAt = 0;
    }
    if (start > port->bounds.Position())
        DropFromMasterLocked(*port, start - port->bounds.Position());
    port->flushCut.store(false);
}

bool CPtyPortProvider::EndedUseWithData(uint32_t index, uint32_t after, uint32_t* use) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    TakeOpenCloseEvents();
    std::lock_guard<std::mutex> guard(port->lock);
    return port->bounds.EndedWithData(after, use);
}

}  // namespace tovl
