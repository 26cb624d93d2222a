// The client's whole interface to the virtual ports: twelve functions that
// take a 1-based port number, check their arguments (last error 87, nothing
// passed on) and report in the Windows way (true/false or an event, with the
// thread's last error describing a failure).
//
// Behind them sits one CVexaBinding for the process: the driver's control
// device in the Windows program, a scripted driver in tests. The client
// reaches them only through CVexaPort (vexa_port.h). The binding speaks the system's own types (the
// line-state mask, the link settings record); only a binding knows how its driver lays them out. It
// is installed once before any session exists and then used from every thread without a lock; a
// binding must allow that.
#pragma once

#include <cstdint>

#include "net/port_link.h"
#include "platform/event.h"

namespace tovl {

constexpr uint32_t kVexaMaxPort = 255;

// The four events every virtual port has.
enum class VexaPortEvent { Data, Settings, FlowControl, Opened };

// What a provider of virtual ports offers. index is the 0-based port index.
// Every operation reports like a control call: true, or false with the last
// error set. ReadData/WriteData move up to size bytes and always set *count.
class CVexaBinding {
  public:
    virtual ~CVexaBinding() = default;
    virtual bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) = 0;
    virtual bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count) = 0;
    // The port's lines as a line-state mask (PL_LINE_*).
    virtual bool GetLines(uint32_t index, uint32_t* mask) = 0;
    virtual bool SetLines(uint32_t index, uint32_t mask) = 0;
    // The settings the application gave the port, as they travel.
    virtual bool GetSettings(uint32_t index, PortLinkSettings* settings) = 0;
    virtual bool CheckPort(uint32_t index) = 0;
    virtual bool GetOpenState(uint32_t index, uint32_t* state) = 0;
    virtual bool GetPending(uint32_t index, uint32_t* pending) = 0;
    virtual bool SetStatus(uint32_t index, uint32_t status) = 0;
    // Gives *event a new reference to one of the port's events, for waiting.
    // False with the last error set when there is none.
    virtual bool OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) = 0;
    // Ends the application's use of the port as an unplugged adapter would,
    // so that it sees the failure; a driver that cannot does nothing.
    virtual bool HangUp(uint32_t /*index*/) { return true; }
    // Counts the uses of the port (first open to last close) so far; 0 from
    // a driver that does not count them.
    virtual uint32_t UseCount(uint32_t /*index*/) { return 0; }
};

// Installs the binding the functions use (not owned); null removes it, and
// then every call fails with last error 2 as with no driver loaded.
void SetVexaBinding(CVexaBinding* binding);
CVexaBinding* GetVexaBinding();

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
// The port's events, opened for waiting only; an invalid CEvent (with the
// last error set) when n is bad or the provider has no such port.
tovl::CEvent VexaOpenDataEvent(uint32_t n);
tovl::CEvent VexaOpenSettingsEvent(uint32_t n);
tovl::CEvent VexaOpenFlowControlEvent(uint32_t n);
tovl::CEvent VexaOpenOpenedEvent(uint32_t n);

}  // namespace tovl
