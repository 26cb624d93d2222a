// CPtyPort: one of the provider's pseudo-terminal ports behind the client's
// virtual-port seam. It holds the provider and the port's index and hands
// each operation to the provider's port; its watch is the provider's wait
// on the port's master. Made by MakeVirtualPorts; thread use as CVirtualPort
// says.
#pragma once

#include <cstdint>
#include <memory>

#include "client/posix/pty_port_provider_posix.h"
#include "client/virtual_port.h"

namespace tovl {

class CPtyPort final : public CVirtualPort {
  public:
    // Port n (1-based) of provider, which outlives the port.
    CPtyPort(CPtyPortProvider& provider, uint32_t n);

    uint32_t Number() const override { return index_ + 1; }
    CEvent& Opened() override { return *opened_; }
    bool IsOpen() override;
    uint32_t UseCount() override { return provider_.UseCount(index_); }
    void ServeUse(uint32_t use) override { provider_.ServeUse(index_, use); }
    bool EndedUseWithData(uint32_t after, uint32_t* use) override {
        return provider_.EndedUseWithData(index_, after, use);
    }
    void HangUp() override { provider_.HangUp(index_); }
    std::unique_ptr<CPortWatch> Watch(CEvent& stop) override;
    uint32_t Read(uint8_t* buffer, uint32_t size) override;
    bool Pending(uint32_t* count) override { return provider_.GetPending(index_, count); }
    void Settings(PortLinkSettings* settings) override;
    void Lines(uint32_t* mask) override { provider_.GetLines(index_, mask); }
    // The use a session serves is told before it is set up (ServeUse).
    void SessionSetUp() override {}
    uint32_t Write(const uint8_t* data, uint32_t size) override;
    bool TakeInputFlush() override { return provider_.TakeInputFlush(index_); }
    void SetLines(uint32_t mask) override { provider_.SetLines(index_, mask); }

  private:
    CPtyPortProvider& provider_;
    uint32_t index_;
    CEvent* opened_;
};

}  // namespace tovl
