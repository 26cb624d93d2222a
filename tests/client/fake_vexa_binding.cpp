#include "client/fake_vexa_binding.h"

#include "client/vexa_control_device.h"
#include "platform/last_error.h"
#include "platform/thread.h"

namespace tovl {

CFakeVexaBinding::Port& CFakeVexaBinding::AddPort(uint32_t n) {
    auto port = std::make_unique<Port>();
    struct {
        VexaPortEvent which;
        CEvent* event;
    } events[] = {{VexaPortEvent::Data, &port->data},
                  {VexaPortEvent::Settings, &port->settings},
                  {VexaPortEvent::FlowControl, &port->flowControl},
                  {VexaPortEvent::Opened, &port->opened}};
    for (auto& e : events) {
        e.event->Create(CEvent::ResetMode::Auto, false, VexaEventName(n, e.which).c_str());
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
    {
        std::unique_lock<std::mutex> held(lock_);
        Port* p = Find(index);
        while (p != nullptr && p->writesHeld.load()) {
            held.unlock();
            SleepMs(5);
            held.lock();
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    *count = 0;
    Port* p = Find(index);
    if (p == nullptr) return false;
    p->written.insert(p->written.end(), data, data + size);
    p->writeSizes.push_back(size);
    *count = size;
    return true;
}

bool CFakeVexaBinding::GetLines(uint32_t index, uint32_t* mask) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    if (p == nullptr) return false;
    *mask = p->linesToReport;
    return true;
}

bool CFakeVexaBinding::SetLines(uint32_t index, uint32_t mask) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    if (p == nullptr) return false;
    p->lineMasksSet.push_back(mask);
    return true;
}

bool CFakeVexaBinding::OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) {
    std::lock_guard<std::mutex> guard(lock_);
    return Find(index) != nullptr && event->Open(VexaEventName(index + 1, which).c_str());
}

bool CFakeVexaBinding::GetSettings(uint32_t index, PortLinkSettings* settings) {
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

bool CFakeVexaBinding::HangUp(uint32_t index) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    if (p == nullptr) return false;
    ++p->hangUps;
    return true;
}

uint32_t CFakeVexaBinding::UseCount(uint32_t index) {
    std::lock_guard<std::mutex> guard(lock_);
    Port* p = Find(index);
    return p != nullptr ? p->uses : 0;
}

}  // namespace tovl
