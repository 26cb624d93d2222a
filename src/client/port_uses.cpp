#include "client/port_uses.h"

#include <algorithm>

namespace tovl {

void CPortUses::Ended(uint32_t use, uint64_t waiting, const PortLinkSettings& settings) {
    // Uses with nothing left to take are forgotten (the served one is kept
    // for its limit), so a port opened and closed for ever stays small.
    std::erase_if(ended_, [this](const Record& r) { return r.use != served_ && r.end <= taken_; });
    ended_.push_back(Record{use, taken_ + waiting, settings});
}

uint64_t CPortUses::Serve(uint32_t use) {
    uint64_t start = taken_;
    for (const Record& r : ended_)
        if (r.use < use) start = std::max(start, r.end);
    std::erase_if(ended_, [use](const Record& r) { return r.use < use; });
    served_ = use;
    return start;
}

const CPortUses::Record* CPortUses::ServedRecord() const {
    for (const Record& r : ended_)
        if (r.use == served_) return &r;
    return nullptr;
}

uint64_t CPortUses::Left() const {
    const Record* r = ServedRecord();
    if (r == nullptr) return kUnlimited;
    return r->end > taken_ ? r->end - taken_ : 0;
}

const PortLinkSettings* CPortUses::ServedSettings() const {
    const Record* r = ServedRecord();
    return r != nullptr ? &r->settings : nullptr;
}

bool CPortUses::EndedWithData(uint32_t after, uint32_t* use) const {
    // A use's bytes start where the one before it ended.
    uint64_t start = taken_;
    for (const Record& r : ended_) {
        if (r.use > after && r.end > start) {
            *use = r.use;
            return true;
        }
        start = std::max(start, r.end);
    }
    return false;
}

void CPortUses::Discarded(uint32_t currentUse) {
    ended_.clear();
    taken_ = 0;
    if (currentUse != 0) ended_.push_back(Record{currentUse, 0, PortLinkSettings{}});
}

}  // namespace tovl
