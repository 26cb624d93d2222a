#include "client/posix/pty_posix.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>

#include <climits>

#include "client/posix/pty_settings_posix.h"
#include "platform/posix/serial_baud_posix.h"

namespace tovl {

std::shared_ptr<CPty> CPty::Make(int inotifyFd, termios* raw) {
    auto pty = std::make_shared<CPty>();
    pty->master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!pty->master || grantpt(pty->master.Get()) != 0 || unlockpt(pty->master.Get()) != 0)
        return nullptr;
    char name[PATH_MAX];
    if (ptsname_r(pty->master.Get(), name, sizeof name) != 0) return nullptr;
    pty->slavePath = name;
    pty->slave.Reset(open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!pty->slave) return nullptr;
    if (tcgetattr(pty->slave.Get(), raw) != 0) return nullptr;
    cfmakeraw(raw);
    cfsetspeed(raw, B9600);
    // Packet mode with EXTPROC: every termios change of the application puts
    // a settings packet ahead of the data it writes next, so settings are
    // seen as they are made and nothing is polled.
    raw->c_lflag |= EXTPROC;
    if (tcsetattr(pty->slave.Get(), TCSANOW, raw) != 0) return nullptr;
    int on = 1;
    if (ioctl(pty->master.Get(), TIOCPKT, &on) != 0) return nullptr;
    // Watched before a link points at it, so no application's open is
    // missed.
    pty->watch = inotify_add_watch(inotifyFd, name, IN_OPEN | IN_CLOSE);
    if (pty->watch < 0) return nullptr;
    return pty;
}

void CPty::FlushInput() {
    ownFlush = true;
    tcflush(slave.Get(), TCIFLUSH);
}

bool PlaceLink(const std::string& link, const std::string& slave) {
    const std::string staging = link + ".tovl-new";
    unlink(staging.c_str());
    if (symlink(slave.c_str(), staging.c_str()) == 0 && rename(staging.c_str(), link.c_str()) == 0)
        return true;
    unlink(staging.c_str());
    return false;
}

void RemoveLinkTo(const std::string& link, const std::string& slave) {
    char target[PATH_MAX];
    const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
    if (len > 0 && slave == std::string(target, static_cast<size_t>(len))) unlink(link.c_str());
}

uint32_t ActualBaud(int fd, const termios& t) {
    uint32_t baud = 0;
    if (!GetActualBaud(fd, &baud)) baud = SpeedCodeToBaud(cfgetospeed(&t));
    return baud;
}

}  // namespace tovl
