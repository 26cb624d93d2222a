#include "client/win32/vexa_port.h"

#include "client/event_port_watch.h"
#include "client/win32/vexa_driver.h"

namespace tovl {

namespace {

// The driver's three events of the port, opened for the session, and the
// wait over them.
class CVexaWatch final : public CPortWatch {
  public:
    CVexaWatch(uint32_t n, CEvent& stop)
        : data_(VexaOpenDataEvent(n)),
          settings_(VexaOpenSettingsEvent(n)),
          lines_(VexaOpenFlowControlEvent(n)),
          watch_(data_, settings_, lines_, stop) {}

    PortActivity Next(uint32_t timeoutMs) override { return watch_.Next(timeoutMs); }

  private:
    CEvent data_, settings_, lines_;
    CEventPortWatch watch_;
};

}  // namespace

CVexaPort::CVexaPort(uint32_t n) : n_(n), opened_(VexaOpenOpenedEvent(n)) {}

std::shared_ptr<CVirtualPort> OfferedVexaPort(uint32_t n) {
    auto port = std::make_shared<CVexaPort>(n);
    if (!port->Offered()) return nullptr;
    return port;
}

bool CVexaPort::IsOpen() {
    uint32_t isOpen = 0;
    return VexaGetOpenState(n_, &isOpen) && isOpen != 0;
}

uint32_t CVexaPort::UseCount() {
    return VexaUseCount(n_);
}

void CVexaPort::HangUp() {
    VexaHangUp(n_);
}

std::unique_ptr<CPortWatch> CVexaPort::Watch(CEvent& stop) {
    return std::make_unique<CVexaWatch>(n_, stop);
}

uint32_t CVexaPort::Read(uint8_t* buffer, uint32_t size) {
    uint32_t count = 0;
    VexaReadData(n_, buffer, size, &count);
    return count;
}

bool CVexaPort::Pending(uint32_t* count) {
    return VexaGetPendingCount(n_, count);
}

void CVexaPort::Settings(PortLinkSettings* settings) {
    VexaGetPortSettings(n_, settings);
}

void CVexaPort::Lines(uint32_t* mask) {
    VexaGetLineState(n_, mask);
}

void CVexaPort::SessionSetUp() {
    VexaSetStatus(n_, 0);
}

uint32_t CVexaPort::Write(const uint8_t* data, uint32_t size) {
    uint32_t written = 0;
    VexaWriteData(n_, data, size, &written);
    return written;
}

void CVexaPort::SetLines(uint32_t mask) {
    VexaSetLineState(n_, mask);
}

}  // namespace tovl
