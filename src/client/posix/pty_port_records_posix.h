// The records behind CPtyPortProvider, shared by the files that implement
// it: one pseudo-terminal (Pty) and one port (Port), with the small helpers
// they all use. Internal to the provider.
#pragma once

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/port_uses.h"
#include "client/posix/pty_port_provider_posix.h"
#include "client/posix/pty_settings_posix.h"
#include "platform/event.h"
#include "platform/posix/serial_baud_posix.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

// Signals an eventfd.
inline void WakeFd(int fd) {
    uint64_t one = 1;
    ssize_t rc = write(fd, &one, sizeof one);
    (void)rc;
}

// The speed the pty's termios carries, custom rates included.
inline uint32_t ActualBaud(int fd, const termios& t) {
    uint32_t baud = 0;
    if (!GetActualBaud(fd, &baud)) baud = SpeedCodeToBaud(cfgetospeed(&t));
    return baud;
}

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

    // Hands out up to size staged bytes.
    uint32_t TakeStaged(uint8_t* buffer, uint32_t size);
    // Reads what the master holds into the empty stage.
    int Stage(CPtyPortProvider& provider, Port& port);
};

struct CPtyPortProvider::Port {
    // The path of the port's link to its slave.
    std::string link;
    std::mutex lock;  // guards pty, seen, seenBaud, settingsPending, the reads of the master
    std::shared_ptr<Pty> pty;
    // settings: a change not yet fetched (wakes the pump's wait); opened:
    // an application opened or closed the port (the session manager's).
    CEvent settings, opened;
    // Applications that have the slave open (inotify's opens less closes).
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
    // The termios and speed last sent to the server (guarded by lock): a
    // change is what differs from them.
    termios seen{};
    uint32_t seenBaud = 0;

    std::shared_ptr<Pty> Current() {
        std::lock_guard<std::mutex> guard(lock);
        return pty;
    }
};

}  // namespace tovl
