// CEventPortWatch: a port watch over three events its port sets (bytes
// written, new settings, new lines) and the session's stop, for ports that
// signal through events (the Windows driver's ports). The events are not
// owned and must outlive the watch; the session's writing pump calls Next.
#pragma once

#include "client/virtual_port.h"

namespace tovl {

class CEventPortWatch final : public CPortWatch {
  public:
    CEventPortWatch(CEvent& data, CEvent& settings, CEvent& lines, CEvent& stop)
        : events_{&data, &settings, &lines, &stop} {}

    // When the port's events cannot be waited for (a port its driver does
    // not have), waits for the stop alone rather than spinning.
    PortActivity Next(uint32_t timeoutMs) override;

  private:
    CEvent* events_[4];
};

}  // namespace tovl
