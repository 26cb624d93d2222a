#include "client/fake_vexa_binding.h"

#include <cstdio>

#include "platform/last_error.h"

namespace tovl {

CFakeVexaBinding::Port& CFakeVexaBinding::AddPort(uint32_t n) {
    auto port = std::make_unique<Port>();
    char name[48];
    struct {
        const char* base;
        CEvent* event;
    } events[] = {{"vexaPortData", &port->data},
                  {"vexaPortSettings", &port->settings},
                  {"vexaPortFlowControl", &port->flowControl},
                  {"vexaPortOpened", &port->opened}};
    for (auto& e : events) {
        snprintf(name, sizeof name, "%s%u", e.base, n);
        e.event->Create(CEvent::ResetMode::Auto, false, name);
        // Under Wine the name may belong to an event that outlives the test
        // (the stand-in driver's); start from a clear one.
        e.event->Clear();
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto& slot = ports_[n];
    slot = std::move(port);
    return *slot;
}

CFakeVexaBinding::Port* CFakeVexaBinding::Find(uint32_t index) {
    auto it = ports_.find(index + 1);
    if (it == ports_.end()) {
        SetLastErrorCode(kErrorFileNotFound);
        return nullptr;
    }
    return it->second.get();
}

bool CFakeVexaBinding::ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) {
    std::lock_guard<std::mutex> guard(lock_);
    *count = 0;
    Port* p = Find(index);
    if (p == nullptr) return false;
    if (p->readable.empty() || p->readsWithheld > 0) {
        if (p->readsWithheld > 0) --p->readsWithheld;
        SetLastErrorCode(kErrorNoMoreItems);
        return false;
    }
    while (*count < size && !p->readable.empty()) {
        buffer[(*count)++] = p->readable.front();
        p->readable.pop_front();
    }
    SetLastErrorCode(0);
    return true;
}

bool CFakeVexaBinding::WriteData(uint32_t index, const uint8_t* data, uint32_t size,
                                 uint32_t* count) {
    std::lock_guard<std::mutex> guard(lock_);
    *count = 0;
    Port* p = Find(index);
    if (p == nullptr) return false;
    p->written.insert(p->written.end(), data, data + size);
    p->writeSizes.push_back(size);
    *count = size;
    return true;
}

bool CFakeVexaBinding::GetLines(uint32_t index, VexaLineState* state) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    if (p == nullptr) return false;
    *state = VexaMaskToLineState(index, p->linesToReport);
    return true;
}

bool CFakeVexaBinding::SetLines(const VexaLineState& state) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(state.PortIndex);
    if (p == nullptr) return false;
    p->lineMasksSet.push_back(VexaLineStateToMask(state));
    return true;
}

bool CFakeVexaBinding::GetSettings(uint32_t index, VexaPortSettings* settings) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    if (p == nullptr) return false;
    *settings = p->settingsToReport;
    return true;
}

bool CFakeVexaBinding::CheckPort(uint32_t index) {
    std::lock_guard<std::mutex> guard(lock_);
    return Find(index) != nullptr;
}

bool CFakeVexaBinding::GetOpenState(uint32_t index, uint32_t* state) {
    std::lock_guard<std::mutex> guard(lock_);
    openOrder_.push_back(index + 1);
    Port* p = Find(index);
    if (p == nullptr) return false;
    if (p->openStateFails) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    *state = p->openState;
    return true;
}

bool CFakeVexaBinding::GetPending(uint32_t index, uint32_t* pending) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    if (p == nullptr) return false;
    if (p->pendingFails) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    if (!p->pendingScript.empty()) {
        *pending = p->pendingScript.front();
        p->pendingScript.pop_front();
    } else {
        *pending = static_cast<uint32_t>(p->readable.size());
    }
    return true;
}

bool CFakeVexaBinding::SetStatus(uint32_t index, uint32_t) {
    std::lock_guard<std::mutex> guard(lock_);
    return Find(index) != nullptr;
}

}  // namespace tovl
