// CPortUses: where one use of a virtual port (first open to last close)
// ends in the stream of bytes its applications wrote, so that each use's
// bytes go out in a session of their own and a session never reads the
// next use's bytes.
//
// Positions count the bytes taken from the port so far. When the last
// application closes, the bytes still waiting in the port are that use's;
// its end is recorded with the settings it left. The session being set up
// serves one use (Serve); what older uses left unread is skipped first.
// Not locked: the port that owns it guards it.
#pragma once

#include <cstdint>
#include <deque>

#include "net/port_link.h"

namespace tovl {

class CPortUses {
  public:
    static constexpr uint64_t kUnlimited = UINT64_MAX;

    // The last application of use `use` closed; `waiting` bytes it wrote are
    // still in the port.
    void Ended(uint32_t use, uint64_t waiting, const PortLinkSettings& settings);
    // `bytes` were taken from the port.
    void Taken(uint64_t bytes) { taken_ += bytes; }
    // Bytes taken from the port so far.
    uint64_t Position() const { return taken_; }
    // The next session serves `use`. Returns the position where its bytes
    // start: what lies before it belongs to older uses and is to be skipped.
    uint64_t Serve(uint32_t use);
    // Bytes the served use may still take: kUnlimited while it lasts.
    uint64_t Left() const;
    // The served use has ended (its settings are then the ones it left).
    bool ServedEnded() const { return ServedRecord() != nullptr; }
    const PortLinkSettings* ServedSettings() const;
    // The oldest use after `after` that ended with bytes not yet taken.
    bool EndedWithData(uint32_t after, uint32_t* use) const;
    // The port's buffers were thrown away: every use so far is over, and
    // the current one (if any) has nothing left.
    void Discarded(uint32_t currentUse);

  private:
    struct Record {
        uint32_t use;
        uint64_t end;
        PortLinkSettings settings;
    };
    const Record* ServedRecord() const;

    std::deque<Record> ended_;
    uint64_t taken_ = 0;
    uint32_t served_ = 0;
};

}  // namespace tovl
