// Live traces of a port's sessions, for `tovladmin trace COM<n>`: every
// byte each way, the line settings and modem lines as they change, and each
// session's start and end, timestamped to the microsecond. Nothing is
// traced unless a trace is attached: a session asks TraceWanted (one atomic
// load) before it builds an event. A trace is a bounded queue; when its
// reader falls behind, events are dropped and counted, never waited for, so
// a slow or dead reader cannot slow a session. Any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tovl {

enum class TraceKind { ToPort, ToClient, Note };

// One attached trace of COM<portNumber>; the control channel's thread that
// serves it takes the events out.
class CTrace {
  public:
    explicit CTrace(int portNumber);
    ~CTrace();
    CTrace(const CTrace&) = delete;
    CTrace& operator=(const CTrace&) = delete;

    // Waits up to timeoutMs for events (not at all while some taken before
    // are left); appends up to about 64 KiB of their data to *out rendered
    // as text (hexdump lines with their direction, notes) or, raw, the data
    // bytes alone. False when nothing came.
    bool Take(bool raw, uint32_t timeoutMs, std::string* out);
    // Events dropped because this trace's reader was behind.
    uint64_t Dropped() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

// True while a trace of COM<portNumber> is attached.
bool TraceWanted(int portNumber);
// Hands an event to every trace of COM<portNumber>.
void TraceEvent(int portNumber, TraceKind kind, const uint8_t* data, size_t size);
void TraceNote(int portNumber, const std::string& text);

// "hexdump -C" lines of data, each led by prefix, appended to *out.
void AppendHexDump(std::string* out, const std::string& prefix, const uint8_t* data, size_t size);

}  // namespace tovl
