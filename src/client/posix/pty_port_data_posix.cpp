// The application's side of the pseudo-terminal ports' data path: the
// pump's wait on the master, the stage it reads into, and the status
// packets (settings, flushes) that come with the data. The server's bytes
// are written in pty_port_write_posix.cpp.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "client/port_uses.h"
#include "client/posix/pty_port_records_posix.h"
#include "platform/last_error.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/serial_baud_posix.h"

namespace tovl {

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

uint32_t CPtyPortProvider::Pty::TakeStaged(uint8_t* buffer, uint32_t size) {
    const uint32_t take = std::min(size, staged);
    memcpy(buffer, stage.data() + stagedAt, take);
    staged -= take;
    stagedAt = staged == 0 ? 0 : stagedAt + take;
    return take;
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

PortActivity CPtyPortProvider::WaitActivity(uint32_t index, CEvent& stop, uint32_t timeoutMs) {
    Port* port = Find(index);
    if (port == nullptr || !stop.IsValid())
        return stop.Wait(timeoutMs) == 0 ? PortActivity::Stop : PortActivity::Timeout;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeoutMs == kInfinite ? 0 : timeoutMs);
    bool masterFailed = false;
    for (;;) {
        std::shared_ptr<Pty> pty;
        bool useLeft = true;
        {
            std::lock_guard<std::mutex> guard(port->lock);
            pty = port->pty;
            if (pty->staged > 0) return PortActivity::Data;
            if (port->settingsPending) return PortActivity::Settings;
            useLeft = port->bounds.Left() != 0;
        }
        // The pump waits on the master itself: the application's bytes and
        // settings packets wake it directly. Once the ended use's bytes are
        // read, the master is left alone (the rest is the next use's).
        const bool watchMaster = !masterFailed && useLeft;
        pollfd fds[3] = {{EventPollFd(port->settings), POLLIN, 0},
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
            TakeOpenCloseEvents();
            std::lock_guard<std::mutex> guard(port->lock);
            if (port->pty != pty) continue;
            // Settings come before the bytes written after them; the bytes
            // stay in the master for the pump's ReadData.
            TakeStatusLocked(*port);
            if (port->settingsPending) return PortActivity::Settings;
            if (port->cooked.load() && !port->bounds.ServedEnded() && SettingsChangedLocked(*port))
                return PortActivity::Settings;
            int available = 0;
            if (ioctl(pty->master.Get(), FIONREAD, &available) == 0 && available > 0 &&
                port->bounds.Left() != 0)
                return PortActivity::Data;
            // Woken with nothing to read: a master that failed is left alone.
            if (!(fds[2].revents & POLLIN)) masterFailed = true;
            continue;
        }
        if (EventTryTake(port->settings)) return PortActivity::Settings;
        if (EventTryTake(stop)) return PortActivity::Stop;
        if (ready == 0 && wait == 0) return PortActivity::Timeout;
    }
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

bool CPtyPortProvider::TakeInputFlush(uint32_t index) {
    Port* port = Find(index);
    return port != nullptr && port->flushCut.exchange(false);
}

}  // namespace tovl
