// The application's side of a pseudo-terminal port's data path: the
// session's watch on the master, the stage the port's reads fill, and the
// status packets (settings, flushes) that come with the data. The server's
// bytes are written in pty_port_write_posix.cpp.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "client/posix/pty_port_posix.h"
#include "client/posix/pty_port_provider_posix.h"
#include "platform/posix/event_posix.h"

namespace tovl {

class CPtyPort::PtyWatch final : public CPortWatch {
  public:
    PtyWatch(CPtyPort& port, CEvent& stop) : port_(port), stop_(stop) {}
    PortActivity Next(uint32_t timeoutMs) override { return port_.WaitActivity(stop_, timeoutMs); }

  private:
    CPtyPort& port_;  // the port watched; outlives the session
    CEvent& stop_;    // the session's stop, taken by the wait
};

std::unique_ptr<CPortWatch> CPtyPort::Watch(CEvent& stop) {
    return std::make_unique<PtyWatch>(*this, stop);
}

void CPtyPort::OnStatusPacketLocked(uint8_t status) {
    if (status & TIOCPKT_IOCTL) OnSettingsPacketLocked();
    // The application dropped its unread input: a write waiting for room
    // drops the rest, and the session what it has received.
    if ((status & TIOCPKT_FLUSHREAD) && !std::exchange(pty_->ownFlush, false)) {
        inputFlushes_.fetch_add(1);
        WakeFd(writerWake_.Get());
        // A write may have put bytes into the room the flush made before
        // the packet was there to see: they go too.
        pty_->FlushInput();
    }
    if (status & TIOCPKT_FLUSHWRITE) {
        // Its output flush: what it wrote and the client has not sent yet
        // goes, staged or still in the master (the kernel leaves up to a
        // buffer's worth there).
        staged_ = 0;
        stagedAt_ = 0;
        int held = 0;
        if (ioctl(pty_->master.Get(), FIONREAD, &held) != 0 || held < 0) held = 0;
        DropFromMasterLocked(std::min<uint64_t>(static_cast<uint64_t>(held), bounds_.Left()));
    }
}

void CPtyPort::TakeStatusLocked() {
    pollfd p{pty_->master.Get(), POLLPRI, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLPRI)) return;
    // A one-byte read of a master in packet mode gives the status packet
    // alone, or a data packet byte with no data: no byte is taken.
    uint8_t status = 0;
    if (read(p.fd, &status, 1) == 1 && status != TIOCPKT_DATA) OnStatusPacketLocked(status);
}

void CPtyPort::DropFromMasterLocked(uint64_t count) {
    uint8_t scratch[4096];
    while (count > 0) {
        uint8_t status = 0;
        iovec parts[2] = {{&status, 1}, {scratch, std::min<size_t>(count, sizeof scratch)}};
        const ssize_t got = readv(pty_->master.Get(), parts, 2);
        if (got <= 0) return;
        if (status != TIOCPKT_DATA) {
            // A nested output flush drops everything itself.
            if (status & TIOCPKT_FLUSHWRITE) return OnStatusPacketLocked(status);
            OnStatusPacketLocked(status);
            continue;
        }
        bounds_.Taken(static_cast<uint64_t>(got - 1));
        count -= std::min<uint64_t>(count, static_cast<uint64_t>(got - 1));
    }
}

int CPtyPort::ReadMasterLocked(uint8_t* buffer, uint32_t size) {
    size = static_cast<uint32_t>(std::min<uint64_t>(size, bounds_.Left()));
    if (size == 0) return -1;
    // In packet mode every read starts with a packet byte: 0 before data,
    // status bits alone otherwise.
    uint8_t status = 0;
    iovec parts[2] = {{&status, 1}, {buffer, size}};
    const ssize_t got = readv(pty_->master.Get(), parts, 2);
    if (got <= 0) return -1;
    if (status != TIOCPKT_DATA) {
        OnStatusPacketLocked(status);
        return 0;
    }
    bounds_.Taken(static_cast<uint64_t>(got - 1));
    return static_cast<int>(got - 1);
}

uint32_t CPtyPort::TakeStagedLocked(uint8_t* buffer, uint32_t size) {
    const uint32_t take = std::min(size, staged_);
    memcpy(buffer, stage_.data() + stagedAt_, take);
    staged_ -= take;
    stagedAt_ = staged_ == 0 ? 0 : stagedAt_ + take;
    return take;
}

uint32_t CPtyPort::Read(uint8_t* buffer, uint32_t size) {
    set_.TakeOpenCloseEvents();
    std::lock_guard<std::mutex> guard(lock_);
    // An output flush of the application empties the stage first.
    TakeStatusLocked();
    // Settings the application made come before the bytes it wrote after
    // them: nothing is read until they are fetched (Settings).
    for (int packets = 0; packets < 4 && staged_ == 0 && !settingsPending_; ++packets) {
        if (cooked_.load() && !bounds_.ServedEnded() && SettingsChangedLocked()) {
            settings_.Set();
            break;
        }
        const int got = ReadMasterLocked(stage_.data(), kStageBytes);
        if (got < 0) break;
        stagedAt_ = 0;
        staged_ = static_cast<uint32_t>(got);
    }
    return TakeStagedLocked(buffer, size);
}

PortActivity CPtyPort::WaitActivity(CEvent& stop, uint32_t timeoutMs) {
    if (!stop.IsValid())
        return stop.Wait(timeoutMs) == 0 ? PortActivity::Stop : PortActivity::Timeout;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeoutMs == kInfinite ? 0 : timeoutMs);
    bool masterFailed = false;
    for (;;) {
        std::shared_ptr<CPty> pty;
        bool useLeft = true;
        {
            std::lock_guard<std::mutex> guard(lock_);
            pty = pty_;
            if (staged_ > 0) return PortActivity::Data;
            if (settingsPending_) return PortActivity::Settings;
            useLeft = bounds_.Left() != 0;
        }
        // The pump waits on the master itself: the application's bytes and
        // settings packets wake it directly. Once the ended use's bytes are
        // read, the master is left alone (the rest is the next use's).
        const bool watchMaster = !masterFailed && useLeft;
        pollfd fds[3] = {{EventPollFd(settings_), POLLIN, 0},
                         {EventPollFd(stop), POLLIN, 0},
                         {pty->master.Get(), POLLIN, 0}};
        int wait = -1;
        if (timeoutMs != kInfinite) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            wait = left < 0 ? 0 : static_cast<int>(left);
        }
        const int ready = poll(fds, watchMaster ? 3 : 2, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            // Only the stop can end the session's wait now.
            return stop.Wait(timeoutMs) == 0 ? PortActivity::Stop : PortActivity::Timeout;
        }
        if (watchMaster && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            // What is in the master now was written after every open and
            // close already queued: those are taken first, so bytes and
            // settings of the next use are never read as this one's.
            set_.TakeOpenCloseEvents();
            std::lock_guard<std::mutex> guard(lock_);
            if (pty_ != pty) continue;
            // Settings come before the bytes written after them; the bytes
            // stay in the master for the pump's Read.
            TakeStatusLocked();
            if (settingsPending_) return PortActivity::Settings;
            if (cooked_.load() && !bounds_.ServedEnded() && SettingsChangedLocked())
                return PortActivity::Settings;
            int available = 0;
            if (ioctl(pty->master.Get(), FIONREAD, &available) == 0 && available > 0 &&
                bounds_.Left() != 0)
                return PortActivity::Data;
            // Woken with nothing to read: a master that failed is left alone.
            if (!(fds[2].revents & POLLIN)) masterFailed = true;
            continue;
        }
        if (EventTryTake(settings_)) return PortActivity::Settings;
        if (EventTryTake(stop)) return PortActivity::Stop;
        if (ready == 0 && wait == 0) return PortActivity::Timeout;
    }
}

bool CPtyPort::Pending(uint32_t* count) {
    std::lock_guard<std::mutex> guard(lock_);
    *count = 0;
    // Nothing counts as pending while settings wait to be fetched.
    if (settingsPending_) return true;
    // While the stage holds bytes, those are enough to keep the drain going;
    // the master is asked only once they are handed out.
    if (staged_ > 0) {
        *count = staged_;
        return true;
    }
    int available = 0;
    if (ioctl(pty_->master.Get(), FIONREAD, &available) != 0) return false;
    *count = available > 0 ? static_cast<uint32_t>(std::min<uint64_t>(
                                 static_cast<uint64_t>(available), bounds_.Left()))
                           : 0;
    return true;
}

}  // namespace tovl
