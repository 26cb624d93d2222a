// Argument checks and translations of the virtual port functions; the work
// itself is the installed binding's.
#include "client/win32/vexa_driver.h"

#include <atomic>

#include "platform/last_error.h"

namespace tovl {

namespace {

std::atomic<CVexaBinding*> g_binding{nullptr};

// The binding, or null with the last error of a control device that is
// missing.
CVexaBinding* Binding() {
    CVexaBinding* b = g_binding.load(std::memory_order_acquire);
    if (b == nullptr) SetLastErrorCode(kErrorFileNotFound);
    return b;
}

bool ValidPort(uint32_t n) {
    if (n >= 1 && n <= kVexaMaxPort) return true;
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
}

bool Refuse() {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
}

CEvent OpenPortEvent(uint32_t n, VexaPortEvent which) {
    CEvent event;
    if (!ValidPort(n)) return event;
    CVexaBinding* b = Binding();
    if (b == nullptr || !b->CheckPort(n - 1)) return event;
    if (!b->OpenEvent(n - 1, which, &event)) event.Close();
    return event;
}

}  // namespace

void SetVexaBinding(CVexaBinding* binding) {
    g_binding.store(binding, std::memory_order_release);
}
CVexaBinding* GetVexaBinding() {
    return g_binding.load(std::memory_order_acquire);
}

bool VexaReadData(uint32_t n, uint8_t* buffer, uint32_t size, uint32_t* count) {
    if (!ValidPort(n) || buffer == nullptr || count == nullptr) return Refuse();
    *count = 0;
    if (size == 0) return true;
    CVexaBinding* b = Binding();
    return b != nullptr && b->ReadData(n - 1, buffer, size, count);
}

bool VexaWriteData(uint32_t n, const uint8_t* data, uint32_t size, uint32_t* count) {
    if (!ValidPort(n) || data == nullptr || count == nullptr) return Refuse();
    *count = 0;
    if (size == 0) return true;
    CVexaBinding* b = Binding();
    return b != nullptr && b->WriteData(n - 1, data, size, count);
}

bool VexaGetLineState(uint32_t n, uint32_t* mask) {
    if (!ValidPort(n) || mask == nullptr) return Refuse();
    CVexaBinding* b = Binding();
    uint32_t got = 0;
    if (b == nullptr || !b->GetLines(n - 1, &got)) return false;
    *mask = got;
    return true;
}

bool VexaSetLineState(uint32_t n, uint32_t mask) {
    if (!ValidPort(n)) return false;
    CVexaBinding* b = Binding();
    return b != nullptr && b->SetLines(n - 1, mask & 0xFF);
}

bool VexaGetPortSettings(uint32_t n, PortLinkSettings* settings) {
    if (!ValidPort(n) || settings == nullptr) return Refuse();
    CVexaBinding* b = Binding();
    PortLinkSettings got;
    if (b == nullptr || !b->GetSettings(n - 1, &got)) return false;
    *settings = got;
    return true;
}

bool VexaGetOpenState(uint32_t n, uint32_t* isOpen) {
    if (!ValidPort(n) || isOpen == nullptr) return Refuse();
    CVexaBinding* b = Binding();
    uint32_t state = 0;
    if (b == nullptr || !b->GetOpenState(n - 1, &state)) return false;
    *isOpen = state != 0 ? 1 : 0;
    return true;
}

bool VexaGetPendingCount(uint32_t n, uint32_t* count) {
    if (!ValidPort(n) || count == nullptr) return Refuse();
    CVexaBinding* b = Binding();
    uint32_t pending = 0;
    if (b == nullptr || !b->GetPending(n - 1, &pending)) return false;
    *count = pending;
    return true;
}

bool VexaSetStatus(uint32_t n, uint32_t status) {
    if (!ValidPort(n)) return false;
    CVexaBinding* b = Binding();
    return b != nullptr && b->SetStatus(n - 1, status);
}

bool VexaHangUp(uint32_t n) {
    if (!ValidPort(n)) return false;
    CVexaBinding* b = Binding();
    return b != nullptr && b->HangUp(n - 1);
}

uint32_t VexaUseCount(uint32_t n) {
    if (n < 1 || n > kVexaMaxPort) return 0;
    CVexaBinding* b = GetVexaBinding();
    return b != nullptr ? b->UseCount(n - 1) : 0;
}

CEvent VexaOpenDataEvent(uint32_t n) {
    return OpenPortEvent(n, VexaPortEvent::Data);
}
CEvent VexaOpenSettingsEvent(uint32_t n) {
    return OpenPortEvent(n, VexaPortEvent::Settings);
}
CEvent VexaOpenFlowControlEvent(uint32_t n) {
    return OpenPortEvent(n, VexaPortEvent::FlowControl);
}
CEvent VexaOpenOpenedEvent(uint32_t n) {
    return OpenPortEvent(n, VexaPortEvent::Opened);
}

}  // namespace tovl
