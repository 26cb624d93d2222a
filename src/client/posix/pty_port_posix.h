// CPtyPort: one of the client's pseudo-terminal ports, the virtual port an
// application opens through a link to the slave of the port's pty. The port
// owns its state: the current pty (pty_posix.h), the uses its applications
// make (CPortUses), the termios it last reported, the stage its reads fill
// and the wake-up of a write waiting for room. Its set (CPtyPortProvider,
// pty_port_provider_posix.h) makes it, watches every slave with one inotify
// descriptor and hands each open and close to it; the set outlives it.
//
// The master is in packet mode and the slave has EXTPROC (except while the
// application keeps canonical mode), so every termios change reaches the
// master as a settings packet ahead of the bytes written after it. The
// session's watch polls the master itself; nothing is polled on a time-out.
//
// Threads: as CVirtualPort says for its operations; the set's monitor
// thread (or a pump taking the queued events) calls OnOpenOrClose and
// LookAtSettings. lock_ guards what the fields below say; the counters are
// atomics read without it. The operations are spread over the files:
//   pty_port_posix.cpp            making, hang-up, stop, lines, open state
//   pty_port_uses_posix.cpp       opens and closes, uses, the use served
//   pty_settings_watch_posix.cpp  settings packets, canonical mode, Settings
//   pty_port_data_posix.cpp       the watch, status packets, Read, Pending
//   pty_port_write_posix.cpp      Write, held back while the pty is full
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/port_uses.h"
#include "client/posix/pty_posix.h"
#include "client/virtual_port.h"
#include "net/port_link.h"
#include "platform/event.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

class CPtyPortProvider;

class CPtyPort final : public CVirtualPort {
  public:
    // Port n (1 to 255) of set, offered at link once Open succeeds.
    CPtyPort(CPtyPortProvider& set, uint32_t n, std::string link);
    CPtyPort(const CPtyPort&) = delete;
    CPtyPort& operator=(const CPtyPort&) = delete;

    uint32_t Number() const override { return number_; }
    CEvent& Opened() override { return opened_; }
    bool IsOpen() override { return openCount_.load() > 0; }
    uint32_t UseCount() override;
    void ServeUse(uint32_t use) override;
    bool EndedUseWithData(uint32_t after, uint32_t* use) override;
    // Gives the port a new pty and moves its link there; the old one is
    // closed, which hangs up the application that has it open.
    void HangUp() override;
    std::unique_ptr<CPortWatch> Watch(CEvent& stop) override;
    uint32_t Read(uint8_t* buffer, uint32_t size) override;
    bool Pending(uint32_t* count) override;
    void Settings(PortLinkSettings* settings) override;
    void Lines(uint32_t* mask) override;
    // The use a session serves is told before it is set up (ServeUse).
    void SessionSetUp() override {}
    uint32_t Write(const uint8_t* data, uint32_t size) override;
    bool TakeInputFlush() override { return flushCut_.exchange(false); }
    void SetLines(uint32_t mask) override;

  private:
    friend class CPtyPortProvider;
    class PtyWatch;

    // For the set. Makes the pty and places the link: false when anything
    // but a link is at its path, or the pty cannot be made.
    bool Open();
    // Ends every wait of a write and removes the link (the set's Stop).
    void Close();
    // The link and the slave it points at.
    std::pair<std::string, std::string> Link();
    // The inotify watch of the current pty.
    int WatchDescriptor();
    // An application opened or closed the slave (the set's routing).
    void OnOpenOrClose(bool opened);
    // Open in canonical mode: the monitor looks at the termios itself.
    bool Cooked() const { return openCount_.load() > 0 && cooked_.load(); }
    void LookAtSettings();

    // The session's wait: the master, the settings event and the stop.
    PortActivity WaitActivity(CEvent& stop, uint32_t timeoutMs);
    // The helpers below run under lock_.
    bool SettingsChangedLocked();
    bool KeepExtprocLocked(termios* now);
    void OnSettingsPacketLocked();
    // One read of the master, at most what the served use may still take:
    // the data count, 0 for a status packet, -1 when nothing was read.
    int ReadMasterLocked(uint8_t* buffer, uint32_t size);
    // Hands out up to size staged bytes.
    uint32_t TakeStagedLocked(uint8_t* buffer, uint32_t size);
    // Acts on a status packet: settings, and the application's flushes.
    void OnStatusPacketLocked(uint8_t status);
    // Takes a status packet waiting on the master without taking data.
    void TakeStatusLocked();
    // Reads and drops up to count bytes of the master.
    void DropFromMasterLocked(uint64_t count);

    // The stage: one read of the master takes everything waiting, up to
    // this, and Read hands it out a block at a time.
    static constexpr uint32_t kStageBytes = 64 * 1024;

    CPtyPortProvider& set_;      // the set that made the port and routes its events
    const uint32_t number_;      // the port's number, 1 to 255
    const std::string link_;     // the path of the link to the slave
    std::mutex lock_;            // guards the fields marked "lock_" and the master's reads
    std::shared_ptr<CPty> pty_;  // the current pty; replaced by HangUp (lock_)
    std::vector<uint8_t> stage_ = std::vector<uint8_t>(kStageBytes);  // read ahead (lock_)
    uint32_t stagedAt_ = 0;            // where the bytes not handed out start in stage_ (lock_)
    uint32_t staged_ = 0;              // bytes in stage_ not handed out yet (lock_)
    CPortUses bounds_;                 // where each use's bytes end; the use served (lock_)
    termios seen_{};                   // the termios last reported to the session (lock_)
    uint32_t seenBaud_ = 0;            // and its actual speed (lock_)
    bool settingsPending_ = false;     // a settings packet showed a change not fetched (lock_)
    CEvent settings_;                  // set when settings wait to be fetched: wakes the watch
    CEvent opened_;                    // set on every open and close (the session manager's)
    std::atomic<int> openCount_{0};    // applications that have the slave open
    std::atomic<uint32_t> uses_{0};    // uses (first open to last close) so far
    std::atomic<uint32_t> closes_{0};  // last closes and hang-ups so far
    std::atomic<bool> cooked_{false};  // the application keeps canonical mode
    std::atomic<uint32_t> modemInputs_{0};   // the input lines the server reported
    std::atomic<uint32_t> inputFlushes_{0};  // the application's input flushes so far
    std::atomic<bool> flushCut_{false};      // a Write was cut short by an input flush
    std::atomic<bool> closed_{false};        // the set stopped: writes give up
    // Wakes a write waiting for room (an eventfd): the end of a use, an
    // input flush, a new pty and the set's stop signal it.
    CUniqueFd writerWake_;
};

}  // namespace tovl
