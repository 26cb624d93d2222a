// The client's own virtual ports on POSIX: one pseudo-terminal per port,
// offered to applications through a symbolic link to its slave, with the
// driver's four named events per port ("vexaPortData<n>" and the others,
// auto-reset, process-wide) signalled as the driver would.
//
// The provider holds every pty's master and one descriptor of its slave (so
// the pty never hangs up between applications). One monitor thread sees
// applications open and close the slave (inotify), data the application
// wrote (the master readable), and settings changes (the termios, looked at
// every 50 ms while the port is open; a port nobody has open costs nothing).
// The binding operations run on the callers' threads; ports are added before
// Start and never removed until Stop.
#pragma once

#include <termios.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/vexa_driver.h"

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

    bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) override;
    bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count) override;
    bool GetLines(uint32_t index, VexaLineState* state) override;
    bool SetLines(const VexaLineState& state) override;
    bool GetSettings(uint32_t index, VexaPortSettings* settings) override;
    bool CheckPort(uint32_t index) override;
    bool GetOpenState(uint32_t index, uint32_t* state) override;
    bool GetPending(uint32_t index, uint32_t* pending) override;
    bool SetStatus(uint32_t index, uint32_t status) override;

  private:
    struct Port;

    Port* Find(uint32_t index) const;
    void Rearm(Port& port);
    void Monitor();
    void OnOpenOrClose(Port& port, bool opened);

    std::unique_ptr<Port> ports_[kVexaMaxPort];
    int inotify_ = -1;
    int wake_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread monitor_;
};

}  // namespace tovl
