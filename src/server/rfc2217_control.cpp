#include "server/rfc2217_control.h"

#include <variant>

namespace tovl {

using namespace cpc;

namespace {

constexpr char kSignatureText[] = "tovlserver";

// SET-CONTROL values.
constexpr uint8_t kOutFlowQuery = 0, kOutFlowNone = 1, kOutFlowXon = 2, kOutFlowHardware = 3;
constexpr uint8_t kBreakQuery = 4, kBreakOn = 5, kBreakOff = 6;
constexpr uint8_t kDtrQuery = 7, kDtrOn = 8, kDtrOff = 9;
constexpr uint8_t kRtsQuery = 10, kRtsOn = 11, kRtsOff = 12;
constexpr uint8_t kInFlowQuery = 13, kInFlowNone = 14, kInFlowXon = 15, kInFlowHardware = 16;

void Answer(uint8_t command, const uint8_t* value, size_t length, std::vector<uint8_t>* toNet) {
    AppendComPortCommand(static_cast<uint8_t>(command + kServerCodeOffset), value, length, toNet);
}

void AnswerByte(uint8_t command, uint8_t value, std::vector<uint8_t>* toNet) {
    Answer(command, &value, 1, toNet);
}

}  // namespace

uint8_t LineStateBits(const SerialLineErrors& errors) {
    uint8_t bits = 0;
    if (errors.overrun) bits |= linestate::kOverrun;
    if (errors.parity) bits |= linestate::kParity;
    if (errors.framing) bits |= linestate::kFraming;
    if (errors.breakDetected) bits |= linestate::kBreakDetect;
    if (errors.dataReady) bits |= linestate::kDataReady;
    if (errors.transmitEmpty) bits |= linestate::kHoldingRegisterEmpty;
    return bits;
}

CComPortControl::CComPortControl(CSerialPort& port) : port_(port) {
    uint32_t control = 0;
    if (port_.GetModemControl(&control)) {
        dtr_ = (control & 0x01) != 0;
        rts_ = (control & 0x02) != 0;
    }
    // The starting point: errors from before the session are not reported.
    SerialLineErrors before;
    lineErrorsKnown_ = port_.TakeLineErrors(&before).Ok();
}

uint8_t CComPortControl::TakeLineState(bool* news) {
    *news = false;
    SerialLineErrors errors;
    if (!lineErrorsKnown_ || !port_.TakeLineErrors(&errors)) return 0;
    const uint8_t mask = lineStateMask_;
    const uint8_t bits = LineStateBits(errors);
    const uint8_t states = static_cast<uint8_t>(bits & ~linestate::kErrors);
    *news = (bits & linestate::kErrors & mask) != 0 || ((states ^ lineStates_) & mask) != 0;
    lineStates_ = states;
    return static_cast<uint8_t>(bits & mask);
}

bool CComPortControl::LineStateNotice(std::vector<uint8_t>* toNet) {
    std::lock_guard<std::mutex> lock(lineLock_);
    bool news = false;
    const uint8_t value = TakeLineState(&news);
    if (!news || value == 0) return false;
    AnswerByte(kNotifyLineState, value, toNet);
    return true;
}

template <typename Change>
SerialDcb CComPortControl::ChangeState(Change change) {
    SerialDcb dcb;
    if (!port_.GetState(&dcb)) return dcb;
    SerialDcb wanted = dcb;
    change(&wanted);
    port_.SetState(wanted);
    // A rejected setting leaves the port as it was.
    port_.GetState(&dcb);
    return dcb;
}

uint32_t CComPortControl::SetBaudRate(uint32_t wanted) {
    if (wanted == 0) {
        SerialDcb dcb;
        port_.GetState(&dcb);
        return dcb.BaudRate;
    }
    return ChangeState([wanted](SerialDcb* d) { d->BaudRate = wanted; }).BaudRate;
}

uint8_t CComPortControl::SetDataSize(uint8_t wanted) {
    if (wanted < 5 || wanted > 8) {
        SerialDcb dcb;
        port_.GetState(&dcb);
        return dcb.ByteSize;
    }
    return ChangeState([wanted](SerialDcb* d) { d->ByteSize = wanted; }).ByteSize;
}

uint8_t CComPortControl::SetParity(uint8_t wanted) {
    SerialDcb dcb;
    if (wanted >= 1 && wanted <= 5) {
        dcb = ChangeState([wanted](SerialDcb* d) {
            d->Parity = static_cast<uint8_t>(wanted - 1);
            d->fParity = wanted != 1;
        });
    } else {
        port_.GetState(&dcb);
    }
    return static_cast<uint8_t>(dcb.Parity + 1);
}

uint8_t CComPortControl::SetStopSize(uint8_t wanted) {
    SerialDcb dcb;
    // One and a half stop bits become two: the one longer stop every device can read.
    if (wanted >= 1 && wanted <= 3) {
        const uint8_t stopBits = wanted == 1 ? 0 : 2;
        dcb = ChangeState([stopBits](SerialDcb* d) { d->StopBits = stopBits; });
    } else {
        port_.GetState(&dcb);
    }
    return dcb.StopBits == 0 ? 1 : dcb.StopBits == 2 ? 2 : 3;
}

uint8_t CComPortControl::OutboundFlow(const SerialDcb& dcb) const {
    if (dcb.fOutxCtsFlow) return kOutFlowHardware;
    if (dcb.fOutX) return kOutFlowXon;
    return kOutFlowNone;
}

uint8_t CComPortControl::InboundFlow(const SerialDcb& dcb) const {
    if (dcb.fRtsControl == 2) return kInFlowHardware;
    if (dcb.fInX) return kInFlowXon;
    return kInFlowNone;
}

void CComPortControl::SetInboundFlow(bool xon, bool hardware, SerialDcb* dcb) const {
    dcb->fInX = xon;
    if (hardware)
        dcb->fRtsControl = 2;
    else if (dcb->fRtsControl == 2)
        dcb->fRtsControl = rts_ ? 1 : 0;
}

uint8_t CComPortControl::SetControl(uint8_t wanted) {
    SerialDcb dcb;
    switch (wanted) {
        case kOutFlowNone:
        case kOutFlowXon:
        case kOutFlowHardware:
            // The outbound codes set the flow of both directions: a client
            // that asks for none, whatever the port started with, gets a
            // port with no handshake and no XON/XOFF either way.
            return OutboundFlow(ChangeState([this, wanted](SerialDcb* d) {
                d->fOutX = wanted == kOutFlowXon;
                d->fOutxCtsFlow = wanted == kOutFlowHardware;
                SetInboundFlow(wanted == kOutFlowXon, wanted == kOutFlowHardware, d);
            }));
        case kInFlowNone:
        case kInFlowXon:
        case kInFlowHardware:
            return InboundFlow(ChangeState([this, wanted](SerialDcb* d) {
                SetInboundFlow(wanted == kInFlowXon, wanted == kInFlowHardware, d);
            }));
        case kBreakOn:
        case kBreakOff:
            if (port_.SetBreak(wanted == kBreakOn)) break_ = wanted == kBreakOn;
            return break_ ? kBreakOn : kBreakOff;
        case kBreakQuery:
            return break_ ? kBreakOn : kBreakOff;
        case kDtrOn:
        case kDtrOff:
            if (port_.SetModemLine(SerialLine::Dtr, wanted == kDtrOn)) dtr_ = wanted == kDtrOn;
            return dtr_ ? kDtrOn : kDtrOff;
        case kDtrQuery:
            return dtr_ ? kDtrOn : kDtrOff;
        case kRtsOn:
        case kRtsOff:
            if (port_.SetModemLine(SerialLine::Rts, wanted == kRtsOn)) rts_ = wanted == kRtsOn;
            return rts_ ? kRtsOn : kRtsOff;
        case kRtsQuery:
            return rts_ ? kRtsOn : kRtsOff;
        case kInFlowQuery:
            port_.GetState(&dcb);
            return InboundFlow(dcb);
        case kOutFlowQuery:
        default:
            // DCD, DTR and DSR flow control are not offered: the flow in effect.
            port_.GetState(&dcb);
            return OutboundFlow(dcb);
    }
}

void CComPortControl::Apply(const std::vector<TelnetItem>& items, std::vector<uint8_t>* toNet,
                            const DataWriter& write) {
    for (const TelnetItem& item : items) {
        if (const PortData* run = std::get_if<PortData>(&item)) {
            const auto size = static_cast<uint32_t>(run->bytes.size());
            uint32_t written = 0;
            if (write)
                write(run->bytes.data(), size);
            else
                port_.Write(run->bytes.data(), size, &written);
        } else {
            Handle(std::get<ComPortRequest>(item), toNet);
        }
    }
}

void CComPortControl::Handle(const ComPortRequest& request, std::vector<uint8_t>* toNet) {
    const std::vector<uint8_t>& v = request.value;
    const uint8_t first = v.empty() ? 0 : v[0];
    switch (request.command) {
        case kSignature:
            Answer(kSignature, reinterpret_cast<const uint8_t*>(kSignatureText),
                   sizeof kSignatureText - 1, toNet);
            break;
        case kSetBaudRate: {
            uint32_t wanted = 0;
            for (size_t i = 0; i < 4 && i < v.size(); ++i) wanted = (wanted << 8) | v[i];
            const uint32_t rate = SetBaudRate(v.size() >= 4 ? wanted : 0);
            const uint8_t bytes[4] = {static_cast<uint8_t>(rate >> 24),
                                      static_cast<uint8_t>(rate >> 16),
                                      static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
            Answer(kSetBaudRate, bytes, sizeof bytes, toNet);
            break;
        }
        case kSetDataSize:
            AnswerByte(kSetDataSize, SetDataSize(first), toNet);
            break;
        case kSetParity:
            AnswerByte(kSetParity, SetParity(first), toNet);
            break;
        case kSetStopSize:
            AnswerByte(kSetStopSize, SetStopSize(first), toNet);
            break;
        case kSetControl:
            AnswerByte(kSetControl, SetControl(first), toNet);
            break;
        case kNotifyLineState: {
            // The line state now, cut to the mask as the notices are.
            std::lock_guard<std::mutex> lock(lineLock_);
            bool news = false;
            AnswerByte(kNotifyLineState, TakeLineState(&news), toNet);
            break;
        }
        case kNotifyModemState: {
            uint32_t status = 0;
            if (!port_.GetModemStatus(&status)) status = 0;
            AnswerByte(kNotifyModemState, static_cast<uint8_t>(status & 0xF0 & modemStateMask_),
                       toNet);
            break;
        }
        case kFlowControlSuspend:
        case kFlowControlResume:
            suspended_ = request.command == kFlowControlSuspend;
            Answer(request.command, nullptr, 0, toNet);
            break;
        case kSetLineStateMask:
            lineStateMask_ = first;
            AnswerByte(kSetLineStateMask, first, toNet);
            break;
        case kSetModemStateMask:
            modemStateMask_ = first;
            AnswerByte(kSetModemStateMask, first, toNet);
            break;
        case kPurgeData: {
            const bool valid = first >= 1 && first <= 3;
            const bool done = valid && port_.PurgeQueues((first & 1) != 0, (first & 2) != 0);
            AnswerByte(kPurgeData, done ? first : 0, toNet);
            break;
        }
        default:
            break;
    }
}

bool CComPortControl::ModemStateNotice(uint32_t status, bool force, std::vector<uint8_t>* toNet) {
    const uint8_t now = static_cast<uint8_t>(status & 0xF0);
    const uint8_t changed = static_cast<uint8_t>(now ^ notified_);
    uint8_t deltas = 0;
    if (changed & 0x10) deltas |= 0x01;
    if (changed & 0x20) deltas |= 0x02;
    if ((notified_ & 0x40) && !(now & 0x40)) deltas |= 0x04;  // trailing edge of RI
    if (changed & 0x80) deltas |= 0x08;
    notified_ = now;
    const uint8_t mask = modemStateMask_;
    const uint8_t value = static_cast<uint8_t>((now | deltas) & mask);
    if (!force && (value & 0x0F) == 0 && (changed & mask) == 0) return false;
    AnswerByte(kNotifyModemState, value, toNet);
    return true;
}

}  // namespace tovl
