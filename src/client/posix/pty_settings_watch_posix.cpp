// The termios watcher of a pseudo-terminal port: settings packets
// (EXTPROC), the canonical-mode exception the set's monitor polls, and the
// settings a session sends.
#include <mutex>

#include "client/posix/pty_port_posix.h"
#include "client/posix/pty_port_provider_posix.h"
#include "client/posix/pty_settings_posix.h"

namespace tovl {

bool CPtyPort::SettingsChangedLocked() {
    termios now;
    const int master = pty_->master.Get();
    if (tcgetattr(master, &now) != 0) return false;
    return SettingsDiffer(now, seen_) || ActualBaud(master, now) != seenBaud_;
}

bool CPtyPort::KeepExtprocLocked(termios* now) {
    // EXTPROC takes line editing away from the application, so a port in
    // canonical mode goes without it and its termios is polled while so
    // (by the set's monitor). An application that cleared EXTPROC gets it
    // back. The flag is written only when it is wrong, so a change the
    // application makes in that moment is rarely overwritten.
    const bool cooked = (now->c_lflag & ICANON) != 0;
    const bool extproc = (now->c_lflag & EXTPROC) != 0;
    if (cooked == extproc) {
        if (cooked)
            now->c_lflag &= ~static_cast<tcflag_t>(EXTPROC);
        else
            now->c_lflag |= EXTPROC;
        if (tcsetattr(pty_->master.Get(), TCSANOW, now) != 0) return false;
    }
    if (cooked_.exchange(cooked) != cooked) set_.WakeMonitor();
    return true;
}

void CPtyPort::OnSettingsPacketLocked() {
    termios now;
    const int master = pty_->master.Get();
    if (tcgetattr(master, &now) != 0) return;
    KeepExtprocLocked(&now);
    // Changes after the session's use ended belong to the next use, whose
    // open exchange reads them.
    if (bounds_.ServedEnded()) return;
    if (SettingsDiffer(now, seen_) || ActualBaud(master, now) != seenBaud_) {
        settingsPending_ = true;
        // The pump may be waiting on a master that no longer shows the packet
        // (a write took it): the event wakes it.
        settings_.Set();
    }
}

void CPtyPort::LookAtSettings() {
    std::lock_guard<std::mutex> guard(lock_);
    termios now;
    const int master = pty_->master.Get();
    if (tcgetattr(master, &now) != 0) return;
    KeepExtprocLocked(&now);
    // Changes after the session's use ended belong to the next use.
    if (bounds_.ServedEnded()) return;
    const uint32_t baud = ActualBaud(master, now);
    if (SettingsDiffer(now, seen_) || baud != seenBaud_) {
        seen_ = now;
        seenBaud_ = baud;
        settings_.Set();
    }
}

void CPtyPort::Settings(PortLinkSettings* settings) {
    std::lock_guard<std::mutex> guard(lock_);
    // A use that has ended keeps the settings it left.
    if (const PortLinkSettings* left = bounds_.ServedSettings(); left != nullptr) {
        *settings = *left;
        return;
    }
    termios t;
    const int master = pty_->master.Get();
    if (tcgetattr(master, &t) != 0) return;
    const uint32_t baud = ActualBaud(master, t);
    *settings = TermiosToLinkSettings(t, baud);
    // What is read here is what the caller sends: a change seen before it
    // is not reported again.
    seen_ = t;
    seenBaud_ = baud;
    settingsPending_ = false;
    settings_.Clear();
}

}  // namespace tovl
