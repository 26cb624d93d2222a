// The client's own virtual ports on POSIX: one pseudo-terminal per port,
// offered to applications through a symbolic link to its slave, with the
// driver's four named events per port ("vexaPortData<n>" and the others,
// auto-reset, process-wide) signalled as the driver would.
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
// The binding operations run on the callers' threads; ports are added before
// Start and never removed until Stop.
#pragma once

#include <termios.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/vexa_driver.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

class CPtyPortProvider final : public CVexaBinding {
  public:
    CPtyPortProvider();
    ~CPtyPortProvider() override;
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

    bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) override;
    bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count) override;
    bool GetLines(uint32_t index, uint32_t* mask) override;
    bool SetLines(uint32_t index, uint32_t mask) override;
    bool GetSettings(uint32_t index, PortLinkSettings* settings) override;
    bool CheckPort(uint32_t index) override;
    bool GetOpenState(uint32_t index, uint32_t* state) override;
    bool GetPending(uint32_t index, uint32_t* pending) override;
    bool SetStatus(uint32_t index, uint32_t status) override;
    bool OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) override;
    // Gives the port a new pty and moves its link there; the old one is
    // closed, which hangs up the application that has it open.
    bool HangUp(uint32_t index) override;
    uint32_t UseCount(uint32_t index) override;
    void ServeUse(uint32_t index, uint32_t use) override;
    bool EndedUseWithData(uint32_t index, uint32_t after, uint32_t* use) override;
    bool TakeInputFlush(uint32_t index) override;
    // Waits on the port's master and the given events in one poll.
    int WaitActivity(uint32_t index, CEvent* const* events, uint32_t timeoutMs) override;

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

    std::unique_ptr<Port> ports_[kVexaMaxPort];
    CUniqueFd inotify_;
    // Makes reading and applying queued opens and closes one step.
    std::mutex inotifyLock_;
    CUniqueFd wake_;
    std::function<void(const std::string&, const std::string&)> linkPlaced_;
    std::atomic<bool> stopping_{false};
    std::thread monitor_;
};

}  // namespace tovl
