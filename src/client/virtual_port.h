// CVirtualPort: one virtual serial port as the client sees it, whatever
// stands behind it (the driver's port on Windows, a pseudo-terminal on
// POSIX). The session manager, a session's set-up and its two pumps speak
// to this and nothing else: no port numbering, no named events, no control
// codes or record layouts.
//
// A port lives for the whole process: the platform makes the set once
// (MakeVirtualPorts) and the session manager and every session share it.
// Which thread may call what:
//   - the manager's thread: Opened, IsOpen, UseCount, ServeUse,
//     EndedUseWithData, HangUp (HangUp also the writing pump, as it ends);
//   - the thread setting a session up, then its writing pump (the socket's
//     only writer): Watch, Read, Pending, Settings, Lines, SessionSetUp;
//   - the reading pump (the socket's only reader): Write, TakeInputFlush,
//     SetLines (also the set-up, before the pumps run).
#pragma once

#include <cstdint>
#include <memory>

#include "net/port_link.h"
#include "platform/event.h"

namespace tovl {

// What the writing pump is to serve next, in this order of precedence.
enum class PortActivity { Data, Settings, Lines, Stop, Timeout };

// The writing pump's wait on a port for one session. Made by Watch with the
// session's stop; the pump owns it for the session's life.
class CPortWatch {
  public:
    virtual ~CPortWatch() = default;
    // Waits for the next thing to serve: bytes the application wrote, new
    // settings, new output lines, or the session's stop (taken by this
    // wait). A port whose wait cannot work waits for the stop alone.
    virtual PortActivity Next(uint32_t timeoutMs = kInfinite) = 0;
};

class CVirtualPort {
  public:
    virtual ~CVirtualPort() = default;

    // The port's number, for the log.
    virtual uint32_t Number() const = 0;

    // Set (auto reset) when an application opens or closes the port.
    virtual CEvent& Opened() = 0;
    // An application has the port open; a failed query counts as closed.
    virtual bool IsOpen() = 0;
    // Counts the uses (first open to last close) so far; 0 when the port
    // does not count them.
    virtual uint32_t UseCount() = 0;
    // The session about to be set up serves use `use`: what it reads ends
    // where that use's bytes end, what it writes reaches that use only.
    virtual void ServeUse(uint32_t use) = 0;
    // The oldest use after `after` that ended with bytes not yet read.
    virtual bool EndedUseWithData(uint32_t after, uint32_t* use) = 0;
    // Ends the application's use as an unplugged adapter would.
    virtual void HangUp() = 0;

    virtual std::unique_ptr<CPortWatch> Watch(CEvent& stop) = 0;
    // Reads up to size bytes the application wrote; the count read.
    virtual uint32_t Read(uint8_t* buffer, uint32_t size) = 0;
    // Bytes still waiting to be read; false when the count is unknown.
    virtual bool Pending(uint32_t* count) = 0;
    // The settings the application gave the port; *settings is left as it
    // was when they cannot be read.
    virtual void Settings(PortLinkSettings* settings) = 0;
    // The port's lines as a line-state mask (PL_LINE_*); left as it was
    // when they cannot be read.
    virtual void Lines(uint32_t* mask) = 0;
    // The session's open exchange is complete.
    virtual void SessionSetUp() = 0;

    // Writes the server's bytes for the application; the count written
    // (short when the use ended or the application flushed its input).
    virtual uint32_t Write(const uint8_t* data, uint32_t size) = 0;
    // True once after a Write was cut short by the application's input
    // flush: what was received for it before is to be dropped too.
    virtual bool TakeInputFlush() = 0;
    // The input lines the server reports (a line-state mask).
    virtual void SetLines(uint32_t mask) = 0;
};

}  // namespace tovl
