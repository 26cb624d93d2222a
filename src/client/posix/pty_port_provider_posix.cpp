#include "client/posix/pty_port_provider_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace tovl {

namespace {

// Only while an application has a port in canonical mode (see CPtyPort's
// settings watch).
constexpr int kSettingsPollMs = 50;

}  // namespace

CPtyPortProvider::~CPtyPortProvider() {
    Stop();
}

bool CPtyPortProvider::AddPort(uint32_t n, const std::string& linkPath) {
    if (n < 1 || n > kPtyMaxPort || ports_[n - 1] || monitor_.joinable()) return false;
    if (!inotify_) inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_) return false;
    auto port = std::make_shared<CPtyPort>(*this, n, linkPath);
    if (!port->Open()) return false;
    ports_[n - 1] = std::move(port);
    return true;
}

std::shared_ptr<CPtyPort> CPtyPortProvider::Port(uint32_t n) const {
    return n >= 1 && n <= kPtyMaxPort ? ports_[n - 1] : nullptr;
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
        WakeMonitor();
        monitor_.join();
    }
    // A write still waiting for room ends and takes the queued events once
    // more: it finds no descriptor and no port.
    std::lock_guard<std::mutex> guard(inotifyLock_);
    for (auto& port : ports_) {
        if (!port) continue;
        port->Close();
        port.reset();
    }
    inotify_.Reset();
    wake_.Reset();
}

std::vector<std::pair<std::string, std::string>> CPtyPortProvider::Links() const {
    std::vector<std::pair<std::string, std::string>> links;
    for (const auto& port : ports_)
        if (port) links.push_back(port->Link());
    return links;
}

void CPtyPortProvider::OnLinkPlaced(std::function<void(const std::string&, const std::string&)> f) {
    linkPlaced_ = std::move(f);
}

void CPtyPortProvider::LinkPlaced(const std::string& link, const std::string& slave) const {
    if (linkPlaced_) linkPlaced_(link, slave);
}

void CPtyPortProvider::WakeMonitor() const {
    if (wake_) WakeFd(wake_.Get());
}

void CPtyPortProvider::TakeOpenCloseEvents() {
    std::lock_guard<std::mutex> guard(inotifyLock_);
    alignas(inotify_event) char events[4096];
    ssize_t len;
    while (inotify_ && (len = read(inotify_.Get(), events, sizeof events)) > 0) {
        for (char* p = events; p < events + len;) {
            auto* e = reinterpret_cast<inotify_event*>(p);
            for (auto& port : ports_) {
                if (!port || port->WatchDescriptor() != e->wd) continue;
                if (e->mask & IN_OPEN) port->OnOpenOrClose(true);
                if (e->mask & IN_CLOSE) port->OnOpenOrClose(false);
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
            if (port && port->Cooked()) anyCooked = true;
        const int ready = poll(fds.data(), fds.size(), anyCooked ? kSettingsPollMs : -1);
        if (ready < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t value;
            while (read(wake_.Get(), &value, sizeof value) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) TakeOpenCloseEvents();
        for (auto& port : ports_)
            if (port && port->Cooked()) port->LookAtSettings();
    }
}

}  // namespace tovl
