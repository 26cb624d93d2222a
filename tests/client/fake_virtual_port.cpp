#include "client/fake_virtual_port.h"

#include "client/event_port_watch.h"

namespace tovl {

CFakeVirtualPorts::Port::Port(CFakeVirtualPorts& set, uint32_t n) : set_(set), n_(n) {
    for (CEvent* event : {&data, &settings, &flowControl, &opened})
        event->Create(CEvent::ResetMode::Auto, false);
}

CFakeVirtualPorts::Port& CFakeVirtualPorts::AddPort(uint32_t n) {
    auto port = std::make_shared<Port>(*this, n);
    std::lock_guard<std::mutex> guard(lock_);
    ports_[n] = port;
    return *port;
}

std::shared_ptr<CVirtualPort> CFakeVirtualPorts::Shared(uint32_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = ports_.find(n);
    return it == ports_.end() ? nullptr : it->second;
}

void CFakeVirtualPorts::HoldWrites(uint32_t n, bool held) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        writesHeld_[n] = held;
    }
    writesReleased_.notify_all();
}

bool CFakeVirtualPorts::Port::IsOpen() {
    std::lock_guard<std::mutex> guard(set_.lock_);
    set_.openOrder_.push_back(n_);
    return !openStateFails && openState != 0;
}

uint32_t CFakeVirtualPorts::Port::UseCount() {
    std::lock_guard<std::mutex> guard(set_.lock_);
    return uses;
}

void CFakeVirtualPorts::Port::HangUp() {
    std::lock_guard<std::mutex> guard(set_.lock_);
    ++hangUps;
}

std::unique_ptr<CPortWatch> CFakeVirtualPorts::Port::Watch(CEvent& stop) {
    return std::make_unique<CEventPortWatch>(data, settings, flowControl, stop);
}

uint32_t CFakeVirtualPorts::Port::Read(uint8_t* buffer, uint32_t size) {
    std::lock_guard<std::mutex> guard(set_.lock_);
    if (readsWithheld > 0) {
        --readsWithheld;
        return 0;
    }
    uint32_t count = 0;
    while (count < size && !readable.empty()) {
        buffer[count++] = readable.front();
        readable.pop_front();
    }
    return count;
}

bool CFakeVirtualPorts::Port::Pending(uint32_t* count) {
    std::lock_guard<std::mutex> guard(set_.lock_);
    if (pendingFails) return false;
    if (!pendingScript.empty()) {
        *count = pendingScript.front();
        pendingScript.pop_front();
    } else {
        *count = static_cast<uint32_t>(readable.size());
    }
    return true;
}

void CFakeVirtualPorts::Port::Settings(PortLinkSettings* out) {
    std::lock_guard<std::mutex> guard(set_.lock_);
    *out = settingsToReport;
}

void CFakeVirtualPorts::Port::Lines(uint32_t* mask) {
    std::lock_guard<std::mutex> guard(set_.lock_);
    *mask = linesToReport;
}

void CFakeVirtualPorts::Port::SessionSetUp() {
    std::lock_guard<std::mutex> guard(set_.lock_);
    ++setUps;
}

uint32_t CFakeVirtualPorts::Port::Write(const uint8_t* bytes, uint32_t size) {
    std::unique_lock<std::mutex> guard(set_.lock_);
    set_.writesReleased_.wait(guard, [&] { return !set_.writesHeld_[n_]; });
    written.insert(written.end(), bytes, bytes + size);
    writeSizes.push_back(size);
    return size;
}

void CFakeVirtualPorts::Port::SetLines(uint32_t mask) {
    std::lock_guard<std::mutex> guard(set_.lock_);
    lineMasksSet.push_back(mask);
}

}  // namespace tovl
