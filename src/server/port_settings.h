// How a client's PortLinkSettings become the port's DCB and handshake
// record: the DCB is read, changed and written back, then the handshake
// record is set, so the driver ends with the client's limits and flags with
// abort-on-error and continue-after-XOFF switched on.
#pragma once

#include "net/port_link.h"
#include "platform/serial_port.h"

namespace tovl {

constexpr uint16_t kSessionXonLim = 2048;
constexpr uint16_t kSessionXoffLim = 512;

// Changes the DCB members that the settings carry; leaves the rest.
void ApplySettingsToDcb(const PortLinkSettings& settings, tovl::SerialDcb* dcb);
tovl::SerialHandflow HandflowFromSettings(const PortLinkSettings& settings);

}  // namespace tovl
