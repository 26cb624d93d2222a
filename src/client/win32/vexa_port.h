// CVexaPort: a virtual port of the Windows driver, behind the client's
// virtual-port seam. Every operation is the one driver function the client
// has always called for it (VexaReadData, VexaGetPendingCount, ...), with
// the port's 1-based number; the writing pump's wait is the driver's data,
// settings and flow-control events with the session's stop. The opened
// event is opened when the port is made, the other three at every Watch.
//
// Built on the process's driver binding (vexa_driver.h): the program
// installs the control device; tests install a scripted driver. Thread use
// as CVirtualPort says.
#pragma once

#include <cstdint>
#include <memory>

#include "client/virtual_port.h"

namespace tovl {

class CVexaPort final : public CVirtualPort {
  public:
    // Opens port n's opened event; Offered() tells whether the driver has
    // the port.
    explicit CVexaPort(uint32_t n);
    bool Offered() const { return opened_.IsValid(); }

    uint32_t Number() const override { return n_; }
    CEvent& Opened() override { return opened_; }
    bool IsOpen() override;
    uint32_t UseCount() override;
    void ServeUse(uint32_t /*use*/) override {}
    bool EndedUseWithData(uint32_t /*after*/, uint32_t* /*use*/) override { return false; }
    void HangUp() override;
    std::unique_ptr<CPortWatch> Watch(CEvent& stop) override;
    uint32_t Read(uint8_t* buffer, uint32_t size) override;
    bool Pending(uint32_t* count) override;
    void Settings(PortLinkSettings* settings) override;
    void Lines(uint32_t* mask) override;
    void SessionSetUp() override;
    uint32_t Write(const uint8_t* data, uint32_t size) override;
    bool TakeInputFlush() override { return false; }
    void SetLines(uint32_t mask) override;

  private:
    uint32_t n_;
    CEvent opened_;
};

// Port n of the driver, or null when the driver does not offer it.
std::shared_ptr<CVirtualPort> OfferedVexaPort(uint32_t n);

}  // namespace tovl
