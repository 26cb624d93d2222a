#include "client/posix/pty_port_provider_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "client/posix/pty_settings_posix.h"
#include "platform/last_error.h"

namespace tovl {

namespace {

constexpr int kSettingsPollMs = 50;
// A write the application does not take yet is tried again at least this
// often, even when the pty does not report room.
constexpr int kBackPressurePollMs = 100;

void WakeFd(int fd) {
    uint64_t one = 1;
    ssize_t rc = write(fd, &one, sizeof one);
    (void)rc;
}

}  // namespace

struct CPtyPortProvider::Port {
    uint32_t n = 0;
    std::string link;
    std::string slavePath;
    int master = -1;
    int slave = -1;
    int watch = -1;
    CEvent data, settings, flowControl, opened;
    std::atomic<int> openCount{0};
    // Counts the closes by the last application; a write that waits for room
    // gives up when it changes, so nothing reaches the next opener.
    std::atomic<uint32_t> closes{0};
    // The master is watched for data only while armed: disarmed when the
    // data event is signalled, armed again when the pump finds it drained.
    std::atomic<bool> dataArmed{true};
    std::atomic<uint32_t> modemStatus{0};
    termios seen{};  // monitor thread only

    ~Port() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

CPtyPortProvider::CPtyPortProvider() = default;
CPtyPortProvider::~CPtyPortProvider() {
    Stop();
}

bool CPtyPortProvider::AddPort(uint32_t n, const std::string& linkPath) {
    if (n < 1 || n > kVexaMaxPort || ports_[n - 1] || monitor_.joinable()) return false;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return false;
        if (unlink(linkPath.c_str()) != 0) return false;
    }
    auto port = std::make_unique<Port>();
    port->n = n;
    port->link = linkPath;
    port->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->master < 0 || grantpt(port->master) != 0 || unlockpt(port->master) != 0) return false;
    char name[PATH_MAX];
    if (ptsname_r(port->master, name, sizeof name) != 0) return false;
    port->slavePath = name;
    port->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->slave < 0) return false;
    termios raw;
    if (tcgetattr(port->slave, &raw) != 0) return false;
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    if (tcsetattr(port->slave, TCSANOW, &raw) != 0) return false;
    port->seen = raw;
    // Watched before the link exists, so no application's open is missed.
    if (inotify_ < 0) inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) return false;
    port->watch = inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE);
    if (port->watch < 0) return false;
    if (symlink(name, linkPath.c_str()) != 0) {
        inotify_rm_watch(inotify_, port->watch);
        return false;
    }
    char eventName[48];
    snprintf(eventName, sizeof eventName, "vexaPortData%u", n);
    bool ok = port->data.Create(CEvent::ResetMode::Auto, false, eventName);
    snprintf(eventName, sizeof eventName, "vexaPortSettings%u", n);
    ok = ok && port->settings.Create(CEvent::ResetMode::Auto, false, eventName);
    snprintf(eventName, sizeof eventName, "vexaPortFlowControl%u", n);
    ok = ok && port->flowControl.Create(CEvent::ResetMode::Auto, false, eventName);
    snprintf(eventName, sizeof eventName, "vexaPortOpened%u", n);
    ok = ok && port->opened.Create(CEvent::ResetMode::Auto, false, eventName);
    if (!ok) {
        inotify_rm_watch(inotify_, port->watch);
        unlink(linkPath.c_str());
        return false;
    }
    ports_[n - 1] = std::move(port);
    return true;
}

bool CPtyPortProvider::Start() {
    if (inotify_ < 0) inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotify_ < 0 || wake_ < 0) return false;
    stopping_.store(false);
    monitor_ = std::thread([this] { Monitor(); });
    return true;
}

void CPtyPortProvider::Stop() {
    if (monitor_.joinable()) {
        stopping_.store(true);
        WakeFd(wake_);
        monitor_.join();
    }
    for (auto& port : ports_) {
        if (!port) continue;
        char target[PATH_MAX];
        ssize_t len = readlink(port->link.c_str(), target, sizeof target - 1);
        if (len > 0 && port->slavePath == std::string(target, static_cast<size_t>(len)))
            unlink(port->link.c_str());
        port.reset();
    }
    if (inotify_ >= 0) close(inotify_);
    if (wake_ >= 0) close(wake_);
    inotify_ = wake_ = -1;
}

std::vector<std::pair<std::string, std::string>> CPtyPortProvider::Links() const {
    std::vector<std::pair<std::string, std::string>> links;
    for (const auto& port : ports_)
        if (port) links.emplace_back(port->link, port->slavePath);
    return links;
}

CPtyPortProvider::Port* CPtyPortProvider::Find(uint32_t index) const {
    Port* port = index < kVexaMaxPort ? ports_[index].get() : nullptr;
    if (port == nullptr) SetLastErrorCode(kErrorFileNotFound);
    return port;
}

void CPtyPortProvider::Rearm(Port& port) {
    if (!port.dataArmed.exchange(true)) WakeFd(wake_);
}

void CPtyPortProvider::OnOpenOrClose(Port& port, bool opened) {
    if (opened) {
        if (port.openCount.fetch_add(1) == 0) tcgetattr(port.master, &port.seen);
    } else if (port.openCount.load() > 0 && port.openCount.fetch_sub(1) == 1) {
        // The last application is gone: what the server sent it since is
        // not for the next one.
        port.closes.fetch_add(1);
        tcflush(port.slave, TCIFLUSH);
    }
    port.opened.Set();
}

void CPtyPortProvider::Monitor() {
    std::vector<pollfd> fds;
    std::vector<Port*> polled;
    alignas(inotify_event) char events[4096];
    while (!stopping_.load()) {
        fds.assign({pollfd{inotify_, POLLIN, 0}, pollfd{wake_, POLLIN, 0}});
        polled.clear();
        bool anyOpen = false;
        for (auto& port : ports_) {
            if (!port) continue;
            if (port->openCount.load() > 0) anyOpen = true;
            if (port->dataArmed.load()) {
                fds.push_back(pollfd{port->master, POLLIN, 0});
                polled.push_back(port.get());
            }
        }
        int ready = poll(fds.data(), fds.size(), anyOpen ? kSettingsPollMs : -1);
        if (ready < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t value;
            while (read(wake_, &value, sizeof value) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t len;
            while ((len = read(inotify_, events, sizeof events)) > 0) {
                for (char* p = events; p < events + len;) {
                    auto* e = reinterpret_cast<inotify_event*>(p);
                    for (auto& port : ports_) {
                        if (!port || port->watch != e->wd) continue;
                        if (e->mask & IN_OPEN) OnOpenOrClose(*port, true);
                        if (e->mask & IN_CLOSE) OnOpenOrClose(*port, false);
                    }
                    p += sizeof(inotify_event) + e->len;
                }
            }
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            if ((fds[i + 2].revents & POLLIN) && polled[i]->dataArmed.exchange(false))
                polled[i]->data.Set();
        }
        for (auto& port : ports_) {
            if (!port || port->openCount.load() == 0) continue;
            termios now;
            if (tcgetattr(port->master, &now) == 0 && SettingsDiffer(now, port->seen)) {
                port->seen = now;
                port->settings.Set();
            }
        }
    }
}

bool CPtyPortProvider::ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) {
    *count = 0;
    Port* port = Find(index);
    if (port == nullptr) return false;
    ssize_t got = read(port->master, buffer, size);
    if (got <= 0) {
        Rearm(*port);
        SetLastErrorCode(kErrorNoMoreItems);
        return false;
    }
    *count = static_cast<uint32_t>(got);
    SetLastErrorCode(kErrorSuccess);
    return true;
}

bool CPtyPortProvider::WriteData(uint32_t index, const uint8_t* data, uint32_t size,
                                 uint32_t* count) {
    *count = 0;
    Port* port = Find(index);
    if (port == nullptr) return false;
    const uint32_t closes = port->closes.load();
    uint32_t done = 0;
    // Bytes the application cannot take yet wait here (the server is held
    // back through the socket) until it takes them or closes the port.
    while (done < size && port->openCount.load() > 0 && port->closes.load() == closes) {
        ssize_t put = write(port->master, data + done, size - done);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd p{port->master, POLLOUT, 0};
        poll(&p, 1, kBackPressurePollMs);
    }
    *count = done;
    if (done == size) {
        SetLastErrorCode(kErrorSuccess);
        return true;
    }
    // The port was closed (or failed): the rest is dropped.
    SetLastErrorCode(kErrorMoreData);
    return done > 0;
}

bool CPtyPortProvider::GetLines(uint32_t index, VexaLineState* state) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    state->PortIndex = index;
    state->ModemStatus = port->modemStatus.load();
    // A pty has no output lines; an open port has DTR and RTS raised.
    state->DtrRts = 0x03;
    return true;
}

bool CPtyPortProvider::SetLines(const VexaLineState& state) {
    Port* port = Find(state.PortIndex);
    if (port == nullptr) return false;
    port->modemStatus.store(state.ModemStatus & 0xF0);
    return true;
}

bool CPtyPortProvider::GetSettings(uint32_t index, VexaPortSettings* settings) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    termios t;
    if (tcgetattr(port->master, &t) != 0) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    *settings = TermiosToVexaSettings(t);
    return true;
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

bool CPtyPortProvider::GetPending(uint32_t index, uint32_t* pending) {
    Port* port = Find(index);
    if (port == nullptr) return false;
    int available = 0;
    if (ioctl(port->master, FIONREAD, &available) != 0) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    *pending = available > 0 ? static_cast<uint32_t>(available) : 0;
    if (*pending == 0) Rearm(*port);
    return true;
}

bool CPtyPortProvider::SetStatus(uint32_t index, uint32_t /*status*/) {
    return Find(index) != nullptr;
}

}  // namespace tovl
