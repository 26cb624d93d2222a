// The client's own virtual ports on POSIX: one pseudo-terminal per port,
// offered to applications through a symbolic link to its slave. Each port
// is served to the session through CPtyPort (pty_port_posix.h); the
// provider is the set of ports with their one monitor.
//
// The provider holds every pty's master and one descriptor of its slave (so
// the pty never hangs up between applications). The master is in packet mode
// and the slave's termios has EXTPROC, so each termios change reaches the
// master as a settings packet ahead of later data. The session's pump waits
// on the master itself (WaitActivity) for data and settings; one monitor
// thread sees applications open and close the slave (inotify), and polls the
// termios only of ports an application keeps in canonical mode. An idle
// open port costs no wake-ups.
// A port's pty is replaced when its application is hung up (HangUp): the
// link moves to the new one and the old one's buffers go with it.
// The port operations run on the callers' threads; ports are added before
// Start and never removed until Stop. Operations take the 0-based index.
#pragma once

#include <termios.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/virtual_port.h"
#include "net/port_link.h"
#include "platform/event.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

constexpr uint32_t kPtyMaxPort = 255;

class CPtyPortProvider final {
  public:
    CPtyPortProvider();
    ~CPtyPortProvider();
    CPtyPortProvider(const CPtyPortProvider&) = delete;
    CPtyPortProvider& operator=(const CPtyPortProvider&) = delete;

    // Makes port n (1 to 255) with its link at linkPath. A stale link there
    // is replaced; anything else at that path is left alone and the port is
    // not made (false).
    bool AddPort(uint32_t n, const std::string& linkPath);
    bool Start();
    // Ends the monitor, removes the links and closes the ptys (tests; the
    // program's links are removed by the link janitor).
    void Stop();
    // The links made and the slaves they point at, in port order.
    std::vector<std::pair<std::string, std::string>> Links() const;
    // Told (link, slave) just before a link is made or moved to a new pty,
    // so that a process killed in between leaves nothing unrecorded. Set
    // before the first AddPort.
    void OnLinkPlaced(std::function<void(const std::string&, const std::string&)> f);

    bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count);
    bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count);
    bool GetLines(uint32_t index, uint32_t* mask);
    bool SetLines(uint32_t index, uint32_t mask);
    bool GetSettings(uint32_t index, PortLinkSettings* settings);
    bool CheckPort(uint32_t index);
    bool GetOpenState(uint32_t index, uint32_t* state);
    bool GetPending(uint32_t index, uint32_t* pending);
    // The port's opened event (auto reset), or null without such a port.
    CEvent* OpenedEvent(uint32_t index);
    // Gives the port a new pty and moves its link there; the old one is
    // closed, which hangs up the application that has it open.
    bool HangUp(uint32_t index);
    uint32_t UseCount(uint32_t index);
    void ServeUse(uint32_t index, uint32_t use);
    bool EndedUseWithData(uint32_t index, uint32_t after, uint32_t* use);
    bool TakeInputFlush(uint32_t index);
    // The session's wait: the port's master, its settings event and the
    // session's stop in one poll.
    PortActivity WaitActivity(uint32_t index, CEvent& stop, uint32_t timeoutMs);

  private:
    struct Pty;
    struct Port;

    std::shared_ptr<Pty> MakePty(termios* raw);
    Port* Find(uint32_t index) const;
    void LookAtSettings(Port& port);
    // The helpers below run under the port's lock.
    bool SettingsChangedLocked(Port& port);
    bool KeepExtproc(Port& port, termios* now);
    void OnSettingsPacket(Port& port);
    // One read of the master, at most what the served use may still take:
    // the data count, 0 for a status packet, -1 when nothing was read.
    int ReadMasterLocked(Port& port, uint8_t* buffer, uint32_t size);
    // Acts on a status packet: settings, and the application's flushes.
    void OnStatusPacket(Port& port, uint8_t status);
    // Takes a status packet waiting on the master without taking data.
    void TakeStatusLocked(Port& port);
    // Reads and drops up to count bytes of the master.
    void DropFromMasterLocked(Port& port, uint64_t count);
    // Reads the opens and closes the kernel has queued and applies them; the
    // monitor and the pumps call it (never under a port's lock).
    void TakeOpenCloseEvents();
    void Monitor();
    void OnOpenOrClose(Port& port, bool opened);

    std::unique_ptr<Port> ports_[kPtyMaxPort];
    CUniqueFd inotify_;
    // Makes reading and applying queued opens and closes one step.
    std::mutex inotifyLock_;
    CUniqueFd wake_;
    std::function<void(const std::string&, const std::string&)> linkPlaced_;
    std::atomic<bool> stopping_{false};
    std::thread monitor_;
};

}  // namespace tovl
