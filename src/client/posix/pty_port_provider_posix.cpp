// The set of pseudo-terminal ports: each port's pty and its link, the
// monitor thread that follows the applications' opens and closes (and polls
// the termios of a port kept in canonical mode), and the port's lines and
// open state. The uses the opens and closes delimit are tracked in
// pty_port_uses_posix.cpp.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "client/port_uses.h"
#include "client/posix/pty_port_records_posix.h"
#include "client/posix/pty_settings_posix.h"
#include "platform/last_error.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/serial_baud_posix.h"

namespace tovl {

namespace {

// Only while an application has a port in canonical mode (see OnSettingsPacket).
constexpr int kSettingsPollMs = 50;
constexpr uint32_t kModemInputLines = PL_LINE_CTS | PL_LINE_DSR | PL_LINE_RI | PL_LINE_DCD;

}  // namespace

CPtyPortProvider::CPtyPortProvider() = default;
CPtyPortProvider::~CPtyPortProvider() {
    Stop();
}

std::shared_ptr<CPtyPortProvider::Pty> CPtyPortProvider::MakePty(termios* raw) {
    auto pty = std::make_shared<Pty>();
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
    // Watched before the link points at it, so no application's open is
    // missed.
    if (!inotify_) inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_) return nullptr;
    pty->watch = inotify_add_watch(inotify_.Get(), name, IN_OPEN | IN_CLOSE);
    if (pty->watch < 0) return nullptr;
    return pty;
}

bool CPtyPortProvider::AddPort(uint32_t n, const std::string& linkPath) {
    if (n < 1 || n > kPtyMaxPort || ports_[n - 1] || monitor_.joinable()) return false;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return false;
        if (unlink(linkPath.c_str()) != 0) return false;
    }
    auto port = std::make_unique<Port>();
    port->link = linkPath;
    port->pty = MakePty(&port->seen);
    port->writerWake.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!port->pty || !port->writerWake) return false;
    port->seenBaud = 9600;
    if (linkPlaced_) linkPlaced_(linkPath, port->pty->slavePath);
    if (symlink(port->pty->slavePath.c_str(), linkPath.c_str()) != 0) {
        inotify_rm_watch(inotify_.Get(), port->pty->watch);
        return false;
    }
    const bool ok = port->settings.Create(CEvent::ResetMode::Auto, false) &&
                    port->opened.Create(CEvent::ResetMode::Auto, false);
    if (!ok) {
        inotify_rm_watch(inotify_.Get(), port->pty->watch);
        unlink(linkPath.c_str());
        return false;
    }
    ports_[n - 1] = std::move(port);
    return true;
}

bool CPtyPortProvider::HangUp(uint32_t index) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    termios raw;
    std::shared_ptr<Pty> fresh = MakePty(&raw);
    if (!fresh) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    // The link is moved to the new pty in one step: an open of the link
    // finds the old pty or the new one, never nothing.
    const std::string staging = port->link + ".tovl-new";
    unlink(staging.c_str());
    if (linkPlaced_) linkPlaced_(port->link, fresh->slavePath);
    if (symlink(fresh->slavePath.c_str(), staging.c_str()) != 0 ||
        rename(staging.c_str(), port->link.c_str()) != 0) {
        unlink(staging.c_str());
        inotify_rm_watch(inotify_.Get(), fresh->watch);
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    std::shared_ptr<Pty> old;
    {
        std::lock_guard<std::mutex> guard(port->lock);
        old = std::exchange(port->pty, fresh);
        port->seen = raw;
        port->seenBaud = 9600;
        port->settingsPending = false;
        // The old pty's bytes go with it: the use it served has none left.
        port->bounds.Discarded(port->uses.load());
    }
    port->cooked.store(false);
    inotify_rm_watch(inotify_.Get(), old->watch);
    // Closing the old master hangs up every descriptor of its slave: the
    // application reads end of file, its writes fail, poll reports POLLHUP.
    // A pump still using it lets go when its call returns.
    old.reset();
    port->openCount.store(0);
    port->closes.fetch_add(1);
    WakeFd(port->writerWake.Get());
    WakeFd(wake_.Get());
    return true;
}

bool CPtyPortProvider::Start() {
    if (!inotify_) inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!inotify_ || !wake_) return false;
    stopping_.store(false);
    monitor_ = std::thread([this] { Monitor(); });
    return true;
}

void CPtyPortProvider::Stop() {
    if (monitor_.joinable()) {
        stopping_.store(true);
        WakeFd(wake_.Get());
        monitor_.join();
    }
    for (auto& port : ports_) {
        if (!port) continue;
        char target[PATH_MAX];
        ssize_t len = readlink(port->link.c_str(), target, sizeof target - 1);
        if (len > 0 && port->pty->slavePath == std::string(target, static_cast<size_t>(len)))
            unlink(port->link.c_str());
        port.reset();
    }
    inotify_.Reset();
    wake_.Reset();
}

std::vector<std::pair<std::string, std::string>> CPtyPortProvider::Links() const {
    std::vector<std::pair<std::string, std::string>> links;
    for (const auto& port : ports_)
        if (port) links.emplace_back(port->link, port->Current()->slavePath);
    return links;
}

void CPtyPortProvider::OnLinkPlaced(std::function<void(const std::string&, const std::string&)> f) {
    linkPlaced_ = std::move(f);
}

CPtyPortProvider::Port* CPtyPortProvider::Find(uint32_t index) const {
    Port* port = index < kPtyMaxPort ? ports_[index].get() : nullptr;
    if (port == nullptr) SetLastErrorCode(kErrorFileNotFound);
    return port;
}

void CPtyPortProvider::Monitor() {
    std::vector<pollfd> fds;
    while (!stopping_.load()) {
        fds.assign({pollfd{inotify_.Get(), POLLIN, 0}, pollfd{wake_.Get(), POLLIN, 0}});
        bool anyCooked = false;
        for (auto& port : ports_)
            if (port && port->openCount.load() > 0 && port->cooked.load()) anyCooked = true;
        int ready = poll(fds.data(), fds.size(), anyCooked ? kSettingsPollMs : -1);
        if (ready < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t value;
            while (read(wake_.Get(), &value, sizeof value) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) TakeOpenCloseEvents();
        for (auto& port : ports_)
            if (port && port->openCount.load() > 0 && port->cooked.load()) LookAtSettings(*port);
    }
}

bool CPtyPortProvider::GetLines(uint32_t index, uint32_t* mask) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    // A pty has no output lines; an open port has DTR and RTS raised.
    *mask = port->modemInputs.load() | PL_LINE_DTR | PL_LINE_RTS;
    return true;
}

bool CPtyPortProvider::SetLines(uint32_t index, uint32_t mask) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    port->modemInputs.store(mask & kModemInputLines);
    return true;
}

CEvent* CPtyPortProvider::OpenedEvent(uint32_t index) {
    Port* port = Find(index);
    return port != nullptr ? &port->opened : nullptr;
}

bool CPtyPortProvider::CheckPort(uint32_t index) {
    return Find(index) != nullptr;
}

bool CPtyPortProvider::GetOpenState(uint32_t index, uint32_t* state) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    *state = port->openCount.load() > 0 ? 1 : 0;
    return true;
}

}  // namespace tovl
