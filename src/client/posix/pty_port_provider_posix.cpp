#include "client/posix/pty_port_provider_posix.h"

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
#include "client/posix/pty_settings_posix.h"
#include "client/vexa_control_device.h"
#include "platform/last_error.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/serial_baud_posix.h"

namespace tovl {

namespace {

// Only while an application has a port in canonical mode (see OnSettingsPacket).
constexpr int kSettingsPollMs = 50;
constexpr uint32_t kModemInputLines = PL_LINE_CTS | PL_LINE_DSR | PL_LINE_RI | PL_LINE_DCD;
// The master does not always report room when the application reads (the
// kernel wakes its writers only on some paths), so a write waiting for room
// tries again at this pace; the end of a use and a flush wake it at once.
constexpr int kRoomRetryMs = 100;

void WakeFd(int fd) {
    uint64_t one = 1;
    ssize_t rc = write(fd, &one, sizeof one);
    (void)rc;
}

}  // namespace

// One pseudo-terminal of a port. A port gets a new one when its application
// is hung up or a use ends without a session, so nothing of one use is kept
// in the old one's buffers; threads that still hold the old one finish with
// it and the last of them closes it.
struct CPtyPortProvider::Pty {
    std::string slavePath;
    CUniqueFd master;
    CUniqueFd slave;
    int watch = -1;
    // Bytes read from the master that ReadData hands out first, a block at
    // a time: one read takes everything waiting, up to 64 KiB (guarded by
    // the port's lock).
    static constexpr uint32_t kStageBytes = 64 * 1024;
    std::vector<uint8_t> stage = std::vector<uint8_t>(kStageBytes);
    uint32_t stagedAt = 0;
    uint32_t staged = 0;
    // The provider flushed the slave's input itself: the flush packet that
    // follows is not the application's (guarded by the port's lock).
    bool ownFlush = false;

    void FlushInput() {
        ownFlush = true;
        tcflush(slave.Get(), TCIFLUSH);
    }

    uint32_t TakeStaged(uint8_t* buffer, uint32_t size) {
        const uint32_t take = std::min(size, staged);
        memcpy(buffer, stage.data() + stagedAt, take);
        staged -= take;
        stagedAt = staged == 0 ? 0 : stagedAt + take;
        return take;
    }
    // Reads what the master holds into the empty stage.
    int Stage(CPtyPortProvider& provider, Port& port);
};

struct CPtyPortProvider::Port {
    uint32_t n = 0;
    std::string link;
    std::mutex lock;  // guards pty, seen, seenBaud, settingsPending, the reads of the master
    std::shared_ptr<Pty> pty;
    CEvent data, settings, flowControl, opened;
    std::atomic<int> openCount{0};
    // Counts the uses (first open to last close) of the port.
    std::atomic<uint32_t> uses{0};
    // Counts the closes by the last application; a write that waits for room
    // gives up when it changes, so nothing reaches the next opener.
    std::atomic<uint32_t> closes{0};
    // The application keeps canonical mode: its termios is looked at by the
    // monitor instead of reported by the pty.
    std::atomic<bool> cooked{false};
    // A settings packet showed a change not yet fetched: it goes to the
    // server before any byte read after it.
    bool settingsPending = false;
    // The input lines the server reported, as a line-state mask.
    std::atomic<uint32_t> modemInputs{0};
    // Where each use's bytes end in the master, and the use the session
    // serves (guarded by lock): a session reads only its use's bytes.
    CPortUses bounds;
    // Counts the application's input flushes; a write waiting for room
    // gives up when it changes, and flushCut tells the session so.
    std::atomic<uint32_t> inputFlushes{0};
    std::atomic<bool> flushCut{false};
    // Wakes a write waiting for room when the use ends, the application
    // flushes its input or the pty is replaced (an eventfd).
    CUniqueFd writerWake;
    termios seen{};
    uint32_t seenBaud = 0;

    std::shared_ptr<Pty> Current() {
        std::lock_guard<std::mutex> guard(lock);
        return pty;
    }
};

namespace {

uint32_t ActualBaud(int fd, const termios& t) {
    uint32_t baud = 0;
    if (!GetActualBaud(fd, &baud)) baud = SpeedCodeToBaud(cfgetospeed(&t));
    return baud;
}

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
    if (n < 1 || n > kVexaMaxPort || ports_[n - 1] || monitor_.joinable()) return false;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return false;
        if (unlink(linkPath.c_str()) != 0) return false;
    }
    auto port = std::make_unique<Port>();
    port->n = n;
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
    auto make = [n](CEvent& event, VexaPortEvent which) {
        return event.Create(CEvent::ResetMode::Auto, false, VexaEventName(n, which).c_str());
    };
    const bool ok = make(port->data, VexaPortEvent::Data) &&
                    make(port->settings, VexaPortEvent::Settings) &&
                    make(port->flowControl, VexaPortEvent::FlowControl) &&
                    make(port->opened, VexaPortEvent::Opened);
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
    Port* port = index < kVexaMaxPort ? ports_[index].get() : nullptr;
    if (port == nullptr) SetLastErrorCode(kErrorFileNotFound);
    return port;
}

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

void CPtyPortProvider::OnStatusPacket(Port& port, uint8_t status) {
    if (status & TIOCPKT_IOCTL) OnSettingsPacket(port);
    // The application dropped its unread input: a write waiting for room
    // drops the rest, and the session what it has received.
    if ((status & TIOCPKT_FLUSHREAD) && !std::exchange(port.pty->ownFlush, false)) {
        port.inputFlushes.fetch_add(1);
        WakeFd(port.writerWake.Get());
        // A write may have put bytes into the room the flush made before
        // the packet was there to see: they go too.
        port.pty->FlushInput();
    }
    if (status & TIOCPKT_FLUSHWRITE) {
        // Its output flush: what it wrote and the client has not sent yet
        // goes, staged or still in the master (the kernel leaves up to a
        // buffer's worth there).
        Pty& pty = *port.pty;
        pty.staged = 0;
        pty.stagedAt = 0;
        int held = 0;
        if (ioctl(pty.master.Get(), FIONREAD, &held) != 0 || held < 0) held = 0;
        DropFromMasterLocked(port,
                             std::min<uint64_t>(static_cast<uint64_t>(held), port.bounds.Left()));
    }
}

void CPtyPortProvider::TakeStatusLocked(Port& port) {
    pollfd p{port.pty->master.Get(), POLLPRI, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLPRI)) return;
    // A one-byte read of a master in packet mode gives the status packet
    // alone, or a data packet byte with no data: no byte is taken.
    uint8_t status = 0;
    if (read(p.fd, &status, 1) == 1 && status != TIOCPKT_DATA) OnStatusPacket(port, status);
}

void CPtyPortProvider::DropFromMasterLocked(Port& port, uint64_t count) {
    uint8_t scratch[4096];
    while (count > 0) {
        uint8_t status = 0;
        iovec parts[2] = {{&status, 1}, {scratch, std::min<size_t>(count, sizeof scratch)}};
        const ssize_t got = readv(port.pty->master.Get(), parts, 2);
        if (got <= 0) return;
        if (status != TIOCPKT_DATA) {
            // A nested output flush drops everything itself.
            if (status & TIOCPKT_FLUSHWRITE) return OnStatusPacket(port, status);
            OnStatusPacket(port, status);
            continue;
        }
        port.bounds.Taken(static_cast<uint64_t>(got - 1));
        count -= std::min<uint64_t>(count, static_cast<uint64_t>(got - 1));
    }
}

int CPtyPortProvider::ReadMasterLocked(Port& port, uint8_t* buffer, uint32_t size) {
    Pty& pty = *port.pty;
    size = static_cast<uint32_t>(std::min<uint64_t>(size, port.bounds.Left()));
    if (size == 0) return -1;
    // In packet mode every read starts with a packet byte: 0 before data,
    // status bits alone otherwise.
    uint8_t status = 0;
    iovec parts[2] = {{&status, 1}, {buffer, size}};
    const ssize_t got = readv(pty.master.Get(), parts, 2);
    if (got <= 0) return -1;
    if (status != TIOCPKT_DATA) {
        OnStatusPacket(port, status);
        return 0;
    }
    port.bounds.Taken(static_cast<uint64_t>(got - 1));
    return static_cast<int>(got - 1);
}

int CPtyPortProvider::Pty::Stage(CPtyPortProvider& provider, Port& port) {
    const int got = provider.ReadMasterLocked(port, stage.data(), kStageBytes);
    if (got > 0) {
        stagedAt = 0;
        staged = static_cast<uint32_t>(got);
    }
    return got;
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

bool CPtyPortProvider::ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) {
    *count = 0;
    Port* port = Find(index);
    if (port == nullptr) return false;
    TakeOpenCloseEvents();
    std::lock_guard<std::mutex> guard(port->lock);
    Pty& pty = *port->pty;
    // An output flush of the application empties the stage first.
    TakeStatusLocked(*port);
    if (pty.staged > 0) {
        *count = pty.TakeStaged(buffer, size);
        SetLastErrorCode(kErrorSuccess);
        return true;
    }
    int got = -1;
    // Settings the application made come before the bytes it wrote after
    // them: nothing is read until they are fetched (GetSettings).
    for (int packets = 0; packets < 4 && !port->settingsPending && got <= 0; ++packets) {
        if (port->cooked.load() && !port->bounds.ServedEnded() && SettingsChangedLocked(*port)) {
            port->settings.Set();
            break;
        }
        got = pty.Stage(*this, *port);
        if (got < 0) break;
    }
    if (got <= 0) {
        SetLastErrorCode(kErrorNoMoreItems);
        return false;
    }
    *count = pty.TakeStaged(buffer, size);
    SetLastErrorCode(kErrorSuccess);
    return true;
}

int CPtyPortProvider::WaitActivity(uint32_t index, CEvent* const* events, uint32_t timeoutMs) {
    Port* port = Find(index);
    bool valid = port != nullptr;
    for (int i = 0; i < 4 && valid; ++i) valid = events[i] != nullptr && events[i]->IsValid();
    if (!valid) return CVexaBinding::WaitActivity(index, events, timeoutMs);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeoutMs == kInfinite ? 0 : timeoutMs);
    bool masterFailed = false;
    for (;;) {
        std::shared_ptr<Pty> pty;
        bool useLeft = true;
        {
            std::lock_guard<std::mutex> guard(port->lock);
            pty = port->pty;
            if (pty->staged > 0) return 0;
            if (port->settingsPending) return 1;
            useLeft = port->bounds.Left() != 0;
        }
        // The pump waits on the master itself: the application's bytes and
        // settings packets wake it directly. Once the ended use's bytes are
        // read, the master is left alone (the rest is the next use's).
        const bool watchMaster = !masterFailed && useLeft;
        pollfd fds[5];
        for (int i = 0; i < 4; ++i) fds[i] = pollfd{EventPollFd(*events[i]), POLLIN, 0};
        fds[4] = pollfd{pty->master.Get(), POLLIN, 0};
        int wait = -1;
        if (timeoutMs != kInfinite) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            wait = left < 0 ? 0 : static_cast<int>(left);
        }
        const int ready = poll(fds, watchMaster ? 5 : 4, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            SetLastErrorCode(kErrorInvalidHandle);
            return kWaitFailed;
        }
        if (watchMaster && (fds[4].revents & (POLLIN | POLLHUP | POLLERR))) {
            // What is in the master now was written after every open and
            // close already queued: those are taken first, so bytes and
            // settings of the next use are never read as this one's.
            TakeOpenCloseEvents();
            std::lock_guard<std::mutex> guard(port->lock);
            // Data before the events: read now, served at the top.
            if (port->pty == pty && pty->staged == 0) {
                const int got = pty->Stage(*this, *port);
                if (got < 0 && !(fds[4].revents & POLLIN)) masterFailed = true;
            }
            continue;
        }
        for (int i = 0; i < 4; ++i)
            if (EventTryTake(*events[i])) return i;
        if (ready == 0 && wait == 0) return kWaitTimeout;
    }
}

bool CPtyPortProvider::WriteData(uint32_t index, const uint8_t* data, uint32_t size,
                                 uint32_t* count) {
    *count = 0;
    Port* port = Find(index);
    if (port == nullptr) return false;
    const uint32_t closes = port->closes.load();
    uint32_t flushes = 0;
    std::shared_ptr<Pty> pty;
    {
        // A flush made before these bytes came (an open with TCSAFLUSH)
        // is counted before the count this write watches.
        std::lock_guard<std::mutex> guard(port->lock);
        TakeStatusLocked(*port);
        flushes = port->inputFlushes.load();
        pty = port->pty;
    }
    const int master = pty->master.Get();
    uint32_t done = 0;
    // Bytes the application cannot take yet wait here (the server is held
    // back through the socket) until it takes them, flushes its input or
    // closes the port. Only the use the session serves gets them.
    while (done < size) {
        TakeOpenCloseEvents();
        ssize_t put = -1;
        int error = 0;
        {
            std::lock_guard<std::mutex> guard(port->lock);
            // A flush the application just made frees room: its packet is
            // taken before anything is written into that room.
            if (port->pty == pty) TakeStatusLocked(*port);
            if (port->inputFlushes.load() != flushes) {
                port->flushCut.store(true);
                break;
            }
            if (port->pty != pty || port->openCount.load() == 0 || port->closes.load() != closes ||
                port->bounds.ServedEnded())
                break;
            put = write(master, data + done, size - done);
            error = errno;
        }
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && error != EAGAIN && error != EINTR) break;
        // Room in the pty, or a reason to stop (the use's end, a flush, a
        // new pty) wakes the wait.
        pollfd fds[2] = {{master, POLLOUT, 0}, {port->writerWake.Get(), POLLIN, 0}};
        if (poll(fds, 2, kRoomRetryMs) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t value = 0;
            ssize_t rc = read(fds[1].fd, &value, sizeof value);
            (void)rc;
        }
    }
    *count = done;
    if (done == size) {
        SetLastErrorCode(kErrorSuccess);
        return true;
    }
    // The port was closed or flushed (or failed): the rest is dropped.
    SetLastErrorCode(kErrorMoreData);
    return done > 0;
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

bool CPtyPortProvider::OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) {
    Port* port = Find(index);
    return port != nullptr && event->Open(VexaEventName(index + 1, which).c_str());
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
    std::lock_guard<std::mutex> guard(port->lock);
    *pending = 0;
    // Nothing counts as pending while settings wait to be fetched.
    if (port->settingsPending) return true;
    // While the stage holds bytes, those are enough to keep the drain going;
    // the master is asked only once they are handed out.
    if (port->pty->staged > 0) {
        *pending = port->pty->staged;
        return true;
    }
    int available = 0;
    if (ioctl(port->pty->master.Get(), FIONREAD, &available) != 0) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    const uint64_t left = port->bounds.Left();
    *pending =
        available > 0
            ? static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(available), left))
            : 0;
    return true;
}

uint32_t CPtyPortProvider::UseCount(uint32_t index) {
    Port* port = Find(index);
    if (port == nullptr) return 0;
    // Counted up to the opens and closes made so far.
    TakeOpenCloseEvents();
    return port->uses.load();
}

bool CPtyPortProvider::SetStatus(uint32_t index, uint32_t /*status*/) {
    // The use a session serves is told before it is set up (ServeUse).
    return Find(index) != nullptr;
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

bool CPtyPortProvider::TakeInputFlush(uint32_t index) {
    Port* port = Find(index);
    return port != nullptr && port->flushCut.exchange(false);
}

}  // namespace tovl
