// The server's bytes written to a pseudo-terminal port's master, held back
// while the application cannot take them, until it takes them, flushes its
// input or ends its use (or the port is hung up or its set stopped).
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "client/posix/pty_port_posix.h"
#include "client/posix/pty_port_provider_posix.h"

namespace tovl {

uint32_t CPtyPort::Write(const uint8_t* data, uint32_t size) {
    const uint32_t closes = closes_.load();
    uint32_t flushes = 0;
    std::shared_ptr<CPty> pty;
    {
        // A flush made before these bytes came (an open with TCSAFLUSH)
        // is counted before the count this write watches.
        std::lock_guard<std::mutex> guard(lock_);
        TakeStatusLocked();
        flushes = inputFlushes_.load();
        pty = pty_;
    }
    const int master = pty->master.Get();
    uint32_t done = 0;
    // Bytes the application cannot take yet wait here (the server is held
    // back through the socket) until it takes them, flushes its input or
    // closes the port. Only the use the session serves gets them.
    while (done < size) {
        set_.TakeOpenCloseEvents();
        ssize_t put = -1;
        int error = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            // A flush the application just made frees room: its packet is
            // taken before anything is written into that room.
            if (pty_ == pty) TakeStatusLocked();
            if (inputFlushes_.load() != flushes) {
                flushCut_.store(true);
                break;
            }
            if (pty_ != pty || openCount_.load() == 0 || closes_.load() != closes ||
                bounds_.ServedEnded() || closed_.load())
                break;
            put = write(master, data + done, size - done);
            error = errno;
        }
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && error != EAGAIN && error != EINTR) break;
        // Waits with no time-out: room in the pty wakes it (POLLOUT), and
        // so does the application's flush (its status packet, POLLPRI, taken
        // above); every other reason to stop signals writerWake_: the use's
        // end, a new pty, the set's stop.
        pollfd fds[2] = {{master, POLLOUT | POLLPRI, 0}, {writerWake_.Get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t value = 0;
            ssize_t rc = read(fds[1].fd, &value, sizeof value);
            (void)rc;
        }
    }
    // Short when the port was closed, flushed or hung up (or failed): the
    // rest is dropped.
    return done;
}

}  // namespace tovl
