// The session manager: the one long-lived owner of the client's state. It
// is handed the configured ports with their virtual ports when it is built,
// owns the session of each, waits for the virtual ports to be opened or
// closed, connects and starts a port's session, asks
// it to stop when its port is closed, and starts a port's next session only
// after the old one's ended event is set.
//
// Run and the destructor belong to the thread that made the manager (the
// worker); RequestEnd and Watchers may be called from any thread. With more
// ports than one wait can take, watcher threads share a small context with
// the manager, so a watcher that notices the end late touches nothing freed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "client/client_port.h"
#include "client/client_session.h"
#include "client/virtual_port.h"

namespace tovl {

class CSessionManager {
  public:
    // virtualPorts[k] is the virtual port of ports[k] (the same count).
    CSessionManager(std::vector<ClientPort> ports,
                    std::vector<std::shared_ptr<CVirtualPort>> virtualPorts);
    ~CSessionManager();
    CSessionManager(const CSessionManager&) = delete;
    CSessionManager& operator=(const CSessionManager&) = delete;

    // Serves the ports until RequestEnd; returns 0 at once without ports, 1
    // when the ports' events cannot be waited for.
    uint32_t Run();
    // Makes Run return after its current wake-up, and its watcher threads
    // after their next one.
    void RequestEnd();
    // Watcher threads still running (tests).
    uint32_t Watchers() const;
    // The session of the k-th configured port, or null (tests; the manager's
    // thread only).
    CClientSession* Session(size_t k) const { return sessions_.at(k).get(); }

  private:
    struct Shared;

    uint32_t RunDirect();
    uint32_t RunGrouped();
    // One wake-up of the k-th port's opened event, after the settling pause.
    void ServeOpening(size_t k);
    // Sets up and starts a session of the k-th port for its use `use`, once
    // the port's old session has ended. False when it cannot be set up.
    bool StartSession(size_t k, uint32_t use);
    // Sends what a use that has ended wrote, in a session that then ends.
    void ServeEndedUse(size_t k, uint32_t use);
    // Waits until the k-th port's session, if any, has ended, and drops it.
    void AwaitEnd(size_t k);

    std::shared_ptr<Shared> shared_;
    std::vector<std::unique_ptr<CClientSession>> sessions_;
};

}  // namespace tovl
