// The termios watcher of the pseudo-terminal ports: settings packets
// (EXTPROC), the canonical-mode exception, and the settings a session sends.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/port_uses.h"
#include "client/posix/pty_port_records_posix.h"
#include "client/posix/pty_settings_posix.h"
#include "platform/last_error.h"
#include "platform/posix/serial_baud_posix.h"

namespace tovl {

bool CPtyPortProvider::SettingsChangedLocked(Port& port) {
    termios now;
    const int master = port.pty->master.Get();
    if (tcgetattr(master, &now) != 0) return false;
    return SettingsDiffer(now, port.seen) || ActualBaud(master, now) != port.seenBaud;
}

bool CPtyPortProvider::KeepExtproc(Port& port, termios* now) {
    const int master = port.pty->master.Get();
    // EXTPROC takes line editing away from the application, so a port in
    // canonical mode goes without it and its termios is polled while so
    // (kSettingsPollMs). An application that cleared EXTPROC gets it back.
    // The flag is written only when it is wrong, so a change the
    // application makes in that moment is rarely overwritten.
    const bool cooked = (now->c_lflag & ICANON) != 0;
    const bool extproc = (now->c_lflag & EXTPROC) != 0;
    if (cooked == extproc) {
        if (cooked)
            now->c_lflag &= ~static_cast<tcflag_t>(EXTPROC);
        else
            now->c_lflag |= EXTPROC;
        if (tcsetattr(master, TCSANOW, now) != 0) return false;
    }
    if (port.cooked.exchange(cooked) != cooked) WakeFd(wake_.Get());
    return true;
}

void CPtyPortProvider::OnSettingsPacket(Port& port) {
    termios now;
    const int master = port.pty->master.Get();
    if (tcgetattr(master, &now) != 0) return;
    KeepExtproc(port, &now);
    // Changes after the session's use ended belong to the next use, whose
    // open exchange reads them.
    if (port.bounds.ServedEnded()) return;
    if (SettingsDiffer(now, port.seen) || ActualBaud(master, now) != port.seenBaud) {
        port.settingsPending = true;
        // The pump may be waiting on a master that no longer shows the packet
        // (a write took it): the event wakes it.
        port.settings.Set();
    }
}

void CPtyPortProvider::LookAtSettings(Port& port) {
    std::lock_guard<std::mutex> guard(port.lock);
    termios now;
    const int master = port.pty->master.Get();
    if (tcgetattr(master, &now) != 0) return;
    KeepExtproc(port, &now);
    // Changes after the session's use ended belong to the next use.
    if (port.bounds.ServedEnded()) return;
    const uint32_t baud = ActualBaud(master, now);
    if (SettingsDiffer(now, port.seen) || baud != port.seenBaud) {
        port.seen = now;
        port.seenBaud = baud;
        port.settings.Set();
    }
}

bool CPtyPortProvider::GetSettings(uint32_t index, PortLinkSettings* settings) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    // A use that has ended keeps the settings it left.
    if (const PortLinkSettings* left = port->bounds.ServedSettings(); left != nullptr) {
        *settings = *left;
        return true;
    }
    termios t;
    const int master = port->pty->master.Get();
    if (tcgetattr(master, &t) != 0) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    const uint32_t baud = ActualBaud(master, t);
    *settings = TermiosToLinkSettings(t, baud);
    // What is read here is what the caller sends: a change seen before it
    // is not reported again.
    port->seen = t;
    port->seenBaud = baud;
    port->settingsPending = false;
    port->settings.Clear();
    return true;
}

}  // namespace tovl
