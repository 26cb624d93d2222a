// The client's whole interface to the virtual ports: twelve functions that
// take a 1-based port number, check their arguments (last error 87, nothing
// passed on) and report in the Windows way (true/false or an event, with the
// thread's last error describing a failure).
//
// Behind them sits one CVexaBinding for the process: on Windows the driver's
// control device, on POSIX the client's own pseudo-terminal ports. The
// binding is installed once before any session exists and then used from
// every thread without a lock; a binding must allow that.
#pragma once

#include <cstdint>

#include "net/port_link.h"
#include "platform/event.h"

namespace tovl {

// The driver's record of the lines of one port.
struct VexaLineState {
    uint32_t PortIndex = 0;
    uint32_t ModemStatus = 0;  // inputs: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD
    uint32_t DtrRts = 0;       // outputs: bit 0 DTR, bit 1 RTS
};
constexpr uint32_t kVexaLineStateSize = 12;
constexpr uint32_t kVexaPortSettingsSize = 44;
constexpr uint32_t kVexaMaxPort = 255;

// The port's settings as the driver keeps them (44 bytes, the fields the
// client reads at their offsets).
struct VexaPortSettings {
    uint8_t bytes[kVexaPortSettingsSize] = {};
};

// What a provider of virtual ports offers. index is the 0-based port index.
// Every operation reports like a control call: true, or false with the last
// error set. ReadData/WriteData move up to size bytes and always set *count.
class CVexaBinding {
  public:
    virtual ~CVexaBinding() = default;
    virtual bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) = 0;
    virtual bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count) = 0;
    virtual bool GetLines(uint32_t index, VexaLineState* state) = 0;
    virtual bool SetLines(const VexaLineState& state) = 0;
    virtual bool GetSettings(uint32_t index, VexaPortSettings* settings) = 0;
    virtual bool CheckPort(uint32_t index) = 0;
    virtual bool GetOpenState(uint32_t index, uint32_t* state) = 0;
    virtual bool GetPending(uint32_t index, uint32_t* pending) = 0;
    virtual bool SetStatus(uint32_t index, uint32_t status) = 0;
    // Ends the application's use of the port as an unplugged adapter would,
    // so that it sees the failure; a driver that cannot does nothing.
    virtual bool HangUp(uint32_t /*index*/) { return true; }
    // Counts the uses of the port (first open to last close) so far; 0 from
    // a driver that does not count them.
    virtual uint32_t UseCount(uint32_t /*index*/) { return 0; }
    // Waits for the next thing to serve on the port. events are the port's
    // data, settings and flow-control events and the session's stop, in this
    // order; the result is the index of the one to serve (lowest first),
    // kWaitTimeout or kWaitFailed. The driver's events are waited for as they
    // are; a provider that can watch its port itself does so instead.
    virtual int WaitActivity(uint32_t /*index*/, CEvent* const* events, uint32_t timeoutMs) {
        return WaitForAnyEvent(events, 4, timeoutMs);
    }
};

// Installs the binding the functions use (not owned); null removes it, and
// then every call fails with last error 2 as with no driver loaded.
void SetVexaBinding(CVexaBinding* binding);
CVexaBinding* GetVexaBinding();

// Translations between the driver's line record and the line-state mask.
uint32_t VexaLineStateToMask(const VexaLineState& state);
VexaLineState VexaMaskToLineState(uint32_t portIndex, uint32_t mask);
// The fields of the driver's settings that travel in PL_SETTINGS.
PortLinkSettings VexaSettingsToPortLink(const VexaPortSettings& settings);

bool VexaReadData(uint32_t n, uint8_t* buffer, uint32_t size, uint32_t* count);
bool VexaWriteData(uint32_t n, const uint8_t* data, uint32_t size, uint32_t* count);
bool VexaGetLineState(uint32_t n, uint32_t* mask);
bool VexaSetLineState(uint32_t n, uint32_t mask);
bool VexaGetPortSettings(uint32_t n, PortLinkSettings* settings);
bool VexaGetOpenState(uint32_t n, uint32_t* isOpen);
bool VexaGetPendingCount(uint32_t n, uint32_t* count);
bool VexaSetStatus(uint32_t n, uint32_t status);
bool VexaHangUp(uint32_t n);
uint32_t VexaUseCount(uint32_t n);
// The driver-to-socket pump's wait (see CVexaBinding::WaitActivity).
int VexaWaitActivity(uint32_t n, CEvent* const* events, uint32_t timeoutMs);
// The port's named events, opened for waiting only; an invalid CEvent (with
// the last error set) when n is bad or the provider has no such port.
tovl::CEvent VexaOpenDataEvent(uint32_t n);
tovl::CEvent VexaOpenSettingsEvent(uint32_t n);
tovl::CEvent VexaOpenFlowControlEvent(uint32_t n);
tovl::CEvent VexaOpenOpenedEvent(uint32_t n);

}  // namespace tovl
