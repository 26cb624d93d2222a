#include "client/posix/pty_port_posix.h"

namespace tovl {

namespace {

class CPtyWatch final : public CPortWatch {
  public:
    CPtyWatch(CPtyPortProvider& provider, uint32_t index, CEvent& stop)
        : provider_(provider), index_(index), stop_(stop) {}
    PortActivity Next(uint32_t timeoutMs) override {
        return provider_.WaitActivity(index_, stop_, timeoutMs);
    }

  private:
    CPtyPortProvider& provider_;
    uint32_t index_;
    CEvent& stop_;
};

}  // namespace

CPtyPort::CPtyPort(CPtyPortProvider& provider, uint32_t n)
    : provider_(provider), index_(n - 1), opened_(provider.OpenedEvent(n - 1)) {}

bool CPtyPort::IsOpen() {
    uint32_t state = 0;
    return provider_.GetOpenState(index_, &state) && state != 0;
}

std::unique_ptr<CPortWatch> CPtyPort::Watch(CEvent& stop) {
    return std::make_unique<CPtyWatch>(provider_, index_, stop);
}

uint32_t CPtyPort::Read(uint8_t* buffer, uint32_t size) {
    uint32_t count = 0;
    provider_.ReadData(index_, buffer, size, &count);
    return count;
}

void CPtyPort::Settings(PortLinkSettings* settings) {
    provider_.GetSettings(index_, settings);
}

uint32_t CPtyPort::Write(const uint8_t* data, uint32_t size) {
    uint32_t written = 0;
    provider_.WriteData(index_, data, size, &written);
    return written;
}

}  // namespace tovl
