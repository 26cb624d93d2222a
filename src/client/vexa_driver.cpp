// Argument checks and translations of the virtual port functions; the work
// itself is the installed binding's.
#include "client/vexa_driver.h"

#include <atomic>
#include <cstdio>

#include "platform/last_error.h"

namespace tovl {

namespace {

std::atomic<CVexaBinding*> g_binding{nullptr};

uint32_t Get32(const uint8_t* p) {
    return DecodeU32(p);
}

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

CEvent OpenPortEvent(uint32_t n, const char* format) {
    CEvent event;
    if (!ValidPort(n)) return event;
    CVexaBinding* b = Binding();
    if (b == nullptr || !b->CheckPort(n - 1)) return event;
    char name[48];
    snprintf(name, sizeof name, format, static_cast<unsigned>(n));
    event.Open(name);
    return event;
}

}  // namespace

void SetVexaBinding(CVexaBinding* binding) {
    g_binding.store(binding, std::memory_order_release);
}
CVexaBinding* GetVexaBinding() {
    return g_binding.load(std::memory_order_acquire);
}

uint32_t VexaLineStateToMask(const VexaLineState& s) {
    uint32_t mask = 0;
    if (s.DtrRts & 0x01) mask |= PL_LINE_DTR;
    if (s.DtrRts & 0x02) mask |= PL_LINE_RTS;
    if (s.ModemStatus & kModemStatusCts) mask |= PL_LINE_CTS;
    if (s.ModemStatus & kModemStatusDsr) mask |= PL_LINE_DSR;
    if (s.ModemStatus & kModemStatusRi) mask |= PL_LINE_RI;
    if (s.ModemStatus & kModemStatusDcd) mask |= PL_LINE_DCD;
    return mask;
}

VexaLineState VexaMaskToLineState(uint32_t portIndex, uint32_t mask) {
    VexaLineState s;
    s.PortIndex = portIndex;
    if (mask & PL_LINE_DTR) s.DtrRts |= 0x01;
    if (mask & PL_LINE_RTS) s.DtrRts |= 0x02;
    if (mask & PL_LINE_CTS) s.ModemStatus |= kModemStatusCts;
    if (mask & PL_LINE_DSR) s.ModemStatus |= kModemStatusDsr;
    if (mask & PL_LINE_RI) s.ModemStatus |= kModemStatusRi;
    if (mask & PL_LINE_DCD) s.ModemStatus |= kModemStatusDcd;
    return s;
}

PortLinkSettings VexaSettingsToPortLink(const VexaPortSettings& settings) {
    const uint8_t* b = settings.bytes;
    PortLinkSettings s;
    s.BaudRate = Get32(b + 8);
    s.EofChar = b[12];
    s.ErrorChar = b[13];
    s.EvtChar = b[15];
    s.XonChar = b[16];
    s.XoffChar = b[17];
    s.ByteSize = b[18];
    s.StopBits = b[19];
    s.Parity = b[20];
    s.ControlHandShake = static_cast<uint8_t>(Get32(b + 24) & 0xFF);
    s.FlowReplace = Get32(b + 28) & 0xFF;
    s.XonLimit = static_cast<uint16_t>(Get32(b + 32) & 0xFFFF);
    s.XoffLimit = static_cast<uint16_t>(Get32(b + 36) & 0xFFFF);
    return s;
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
    VexaLineState s;
    s.PortIndex = n - 1;
    if (b == nullptr || !b->GetLines(n - 1, &s)) return false;
    *mask = VexaLineStateToMask(s);
    return true;
}

bool VexaSetLineState(uint32_t n, uint32_t mask) {
    if (!ValidPort(n)) return false;
    CVexaBinding* b = Binding();
    return b != nullptr && b->SetLines(VexaMaskToLineState(n - 1, mask & 0xFF));
}

bool VexaGetPortSettings(uint32_t n, PortLinkSettings* settings) {
    if (!ValidPort(n) || settings == nullptr) return Refuse();
    CVexaBinding* b = Binding();
    VexaPortSettings raw;
    if (b == nullptr || !b->GetSettings(n - 1, &raw)) return false;
    *settings = VexaSettingsToPortLink(raw);
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

int VexaWaitActivity(uint32_t n, CEvent* const* events, uint32_t timeoutMs) {
    CVexaBinding* b = n >= 1 && n <= kVexaMaxPort ? GetVexaBinding() : nullptr;
    if (b == nullptr) return WaitForAnyEvent(events, 4, timeoutMs);
    return b->WaitActivity(n - 1, events, timeoutMs);
}

CEvent VexaOpenDataEvent(uint32_t n) {
    return OpenPortEvent(n, "vexaPortData%u");
}
CEvent VexaOpenSettingsEvent(uint32_t n) {
    return OpenPortEvent(n, "vexaPortSettings%u");
}
CEvent VexaOpenFlowControlEvent(uint32_t n) {
    return OpenPortEvent(n, "vexaPortFlowControl%u");
}
CEvent VexaOpenOpenedEvent(uint32_t n) {
    return OpenPortEvent(n, "vexaPortOpened%u");
}

}  // namespace tovl
