// The port's making, its hang-up (a new pty), the set's stop, and its lines
// and link. The rest of CPtyPort is in the files its header lists.
#include "client/posix/pty_port_posix.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <utility>

#include "client/posix/pty_port_provider_posix.h"

namespace tovl {

namespace {

constexpr uint32_t kModemInputLines = PL_LINE_CTS | PL_LINE_DSR | PL_LINE_RI | PL_LINE_DCD;

}  // namespace

CPtyPort::CPtyPort(CPtyPortProvider& set, uint32_t n, std::string link)
    : set_(set), number_(n), link_(std::move(link)) {}

bool CPtyPort::Open() {
    struct stat st;
    if (lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) return false;
    writerWake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!writerWake_ || !settings_.Create(CEvent::ResetMode::Auto, false) ||
        !opened_.Create(CEvent::ResetMode::Auto, false))
        return false;
    // Not shared yet: nothing else runs on the port.
    pty_ = CPty::Make(set_.Inotify(), &seen_);
    if (!pty_) return false;
    seenBaud_ = 9600;
    set_.LinkPlaced(link_, pty_->slavePath);
    if (!PlaceLink(link_, pty_->slavePath)) {
        inotify_rm_watch(set_.Inotify(), pty_->watch);
        return false;
    }
    return true;
}

void CPtyPort::HangUp() {
    termios raw;
    std::shared_ptr<CPty> fresh = CPty::Make(set_.Inotify(), &raw);
    if (!fresh) return;
    set_.LinkPlaced(link_, fresh->slavePath);
    if (!PlaceLink(link_, fresh->slavePath)) {
        inotify_rm_watch(set_.Inotify(), fresh->watch);
        return;
    }
    std::shared_ptr<CPty> old;
    {
        std::lock_guard<std::mutex> guard(lock_);
        old = std::exchange(pty_, fresh);
        seen_ = raw;
        seenBaud_ = 9600;
        settingsPending_ = false;
        staged_ = 0;
        stagedAt_ = 0;
        // The old pty's bytes go with it: the use it served has none left.
        bounds_.Discarded(uses_.load());
    }
    cooked_.store(false);
    inotify_rm_watch(set_.Inotify(), old->watch);
    // Closing the old master hangs up every descriptor of its slave: the
    // application reads end of file, its writes fail, poll reports POLLHUP.
    // A pump or a write still using it lets go when its call returns.
    old.reset();
    openCount_.store(0);
    closes_.fetch_add(1);
    WakeFd(writerWake_.Get());
    set_.WakeMonitor();
}

void CPtyPort::Close() {
    closed_.store(true);
    WakeFd(writerWake_.Get());
    const auto [link, slave] = Link();
    RemoveLinkTo(link, slave);
}

std::pair<std::string, std::string> CPtyPort::Link() {
    std::lock_guard<std::mutex> guard(lock_);
    return {link_, pty_->slavePath};
}

int CPtyPort::WatchDescriptor() {
    std::lock_guard<std::mutex> guard(lock_);
    return pty_->watch;
}

void CPtyPort::Lines(uint32_t* mask) {
    // A pty has no output lines; an open port has DTR and RTS raised.
    *mask = modemInputs_.load() | PL_LINE_DTR | PL_LINE_RTS;
}

void CPtyPort::SetLines(uint32_t mask) {
    modemInputs_.store(mask & kModemInputLines);
}

}  // namespace tovl
