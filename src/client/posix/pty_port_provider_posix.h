// CPtyPortProvider: the client's own virtual ports on POSIX, as a set. It
// makes each port (CPtyPort, pty_port_posix.h: one pseudo-terminal offered
// through a symbolic link to its slave), owns the one inotify descriptor
// that watches every slave and the one monitor thread that reads it, and
// routes each application's open and close to its port. The monitor also
// looks at the termios of a port an application keeps in canonical mode
// (the one case a pty does not report itself); an idle open port costs no
// wake-ups.
//
// Ports are added (AddPort) before Start and live as long as the set; the
// program's set lives for the whole process. The worker thread adds, starts
// and stops; pumps and the monitor take the queued opens and closes
// (TakeOpenCloseEvents) through the ports.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/posix/pty_port_posix.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

constexpr uint32_t kPtyMaxPort = 255;

class CPtyPortProvider final {
  public:
    CPtyPortProvider() = default;
    ~CPtyPortProvider();
    CPtyPortProvider(const CPtyPortProvider&) = delete;
    CPtyPortProvider& operator=(const CPtyPortProvider&) = delete;

    // Makes port n (1 to 255) with its link at linkPath. A stale link there
    // is replaced; anything else at that path is left alone and the port is
    // not made (false).
    bool AddPort(uint32_t n, const std::string& linkPath);
    // Port n, or null when it was not made.
    std::shared_ptr<CPtyPort> Port(uint32_t n) const;
    bool Start();
    // Ends the monitor and every write waiting for room, removes the links
    // and lets the ports go (tests; the program's links are removed by the
    // link janitor). A port still held elsewhere keeps its pty until it is
    // let go; only a write may still run on it.
    void Stop();
    // The links made and the slaves they point at, in port order.
    std::vector<std::pair<std::string, std::string>> Links() const;
    // Told (link, slave) just before a link is made or moved to a new pty,
    // so that a process killed in between leaves nothing unrecorded. Set
    // before the first AddPort.
    void OnLinkPlaced(std::function<void(const std::string&, const std::string&)> f);

  private:
    friend class CPtyPort;

    // For the ports.
    int Inotify() const { return inotify_.Get(); }
    void LinkPlaced(const std::string& link, const std::string& slave) const;
    // Wakes the monitor to look again at which ports are in canonical mode.
    void WakeMonitor() const;
    // Reads the opens and closes the kernel has queued and hands them to
    // their ports; the monitor and the pumps call it (never under a port's
    // lock), so a pump sees every open and close made before it reads.
    void TakeOpenCloseEvents();
    void Monitor();

    // Port n at n-1: filled before Start, emptied by Stop (under inotifyLock_).
    std::shared_ptr<CPtyPort> ports_[kPtyMaxPort];
    // Watches every port's slave: made by the first AddPort, read and closed
    // under inotifyLock_.
    CUniqueFd inotify_;
    std::mutex inotifyLock_;  // makes reading and routing queued events one step
    CUniqueFd wake_;          // wakes the monitor (an eventfd); made by Start, closed by Stop
    // Told each link placed; set before the first AddPort, read-only after.
    std::function<void(const std::string&, const std::string&)> linkPlaced_;
    std::atomic<bool> stopping_{false};  // tells the monitor to end
    std::thread monitor_;                // the monitor, from Start to Stop (worker thread)
};

}  // namespace tovl
