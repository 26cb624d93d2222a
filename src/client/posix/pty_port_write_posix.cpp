// The server's bytes written to a pseudo-terminal port's master, held back
// while the application cannot take them, until it takes them, flushes its
// input or ends its use.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "client/posix/pty_port_records_posix.h"
#include "platform/last_error.h"

namespace tovl {

namespace {

// The master does not always report room when the application reads (the
// kernel wakes its writers only on some paths), so a write waiting for room
// tries again at this pace; the end of a use and a flush wake it at once.
constexpr int kRoomRetryMs = 100;

}  // namespace

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

}  // namespace tovl
