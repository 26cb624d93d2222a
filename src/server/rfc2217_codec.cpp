#include "server/rfc2217_codec.h"

namespace tovl {

using namespace telnet;

void AppendTelnetData(const uint8_t* data, size_t length, std::vector<uint8_t>* out) {
    out->reserve(out->size() + length);
    for (size_t i = 0; i < length; ++i) {
        out->push_back(data[i]);
        if (data[i] == kIac) out->push_back(kIac);
    }
}

void AppendComPortCommand(uint8_t code, const uint8_t* value, size_t length,
                          std::vector<uint8_t>* out) {
    const uint8_t head[] = {kIac, kSb, kComPortOption};
    out->insert(out->end(), head, head + sizeof head);
    AppendTelnetData(&code, 1, out);
    AppendTelnetData(value, length, out);
    out->push_back(kIac);
    out->push_back(kSe);
}

int CTelnetCodec::SlotOf(uint8_t option) {
    switch (option) {
        case kBinary:
            return kBinarySlot;
        case kSuppressGoAhead:
            return kSgaSlot;
        case kComPortOption:
            return kComPortSlot;
        default:
            return -1;
    }
}

void CTelnetCodec::Start(std::vector<uint8_t>* toNet) {
    const uint8_t offers[][2] = {{kDo, kComPortOption},
                                 {kWill, kBinary},
                                 {kDo, kBinary},
                                 {kWill, kSuppressGoAhead},
                                 {kDo, kSuppressGoAhead}};
    for (const auto& offer : offers) {
        toNet->push_back(kIac);
        toNet->push_back(offer[0]);
        toNet->push_back(offer[1]);
        OptionState* side = offer[0] == kWill ? local_ : remote_;
        side[SlotOf(offer[1])].pending = true;
    }
}

void CTelnetCodec::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* toNet) {
    auto send = [toNet, option](uint8_t answer) {
        toNet->push_back(kIac);
        toNet->push_back(answer);
        toNet->push_back(option);
    };
    int slot = SlotOf(option);
    const bool asksUs = verb == kDo || verb == kDont;
    // The server never offers to send Com Port Control commands itself.
    if (asksUs && slot == kComPortSlot) slot = -1;
    const bool wants = verb == kDo || verb == kWill;
    if (slot < 0) {
        // Refused; a refusal needs no answer.
        if (wants) send(asksUs ? kWont : kDont);
        return;
    }
    OptionState& state = asksUs ? local_[slot] : remote_[slot];
    if (wants) {
        // Answer only what changes the state, so no negotiation loops.
        if (!state.enabled && !state.pending) send(asksUs ? kWill : kDo);
        state.enabled = true;
    } else {
        if (state.enabled && !state.pending) send(asksUs ? kWont : kDont);
        state.enabled = false;
    }
    state.pending = false;
}

namespace {

void AppendPortByte(uint8_t byte, std::vector<TelnetItem>* items) {
    if (items->empty() || !std::holds_alternative<PortData>(items->back()))
        items->emplace_back(PortData{});
    std::get<PortData>(items->back()).bytes.push_back(byte);
}

}  // namespace

void CTelnetCodec::EndSub(std::vector<TelnetItem>* items) {
    if (sub_.size() >= 2 && sub_[0] == kComPortOption) {
        ComPortRequest request;
        request.command = sub_[1];
        request.value.assign(sub_.begin() + 2, sub_.end());
        items->emplace_back(std::move(request));
    }
    sub_.clear();
}

void CTelnetCodec::Receive(const uint8_t* data, size_t length, std::vector<TelnetItem>* items,
                           std::vector<uint8_t>* toNet) {
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        switch (state_) {
            case State::Data:
                if (byte == kIac)
                    state_ = State::Command;
                else
                    AppendPortByte(byte, items);
                break;
            case State::Command:
                state_ = State::Data;
                if (byte == kIac) {
                    AppendPortByte(kIac, items);
                } else if (byte == kSb) {
                    sub_.clear();
                    state_ = State::Sub;
                } else if (byte >= kWill && byte <= kDont) {
                    verb_ = byte;
                    state_ = State::Option;
                }
                // Any other command (NOP, GA, AYT, ...) carries nothing for the port.
                break;
            case State::Option:
                Negotiate(verb_, byte, toNet);
                state_ = State::Data;
                break;
            case State::Sub:
                if (byte == kIac)
                    state_ = State::SubCommand;
                else if (sub_.size() < kMaxSub)
                    sub_.push_back(byte);
                break;
            case State::SubCommand:
                if (byte == kIac) {
                    if (sub_.size() < kMaxSub) sub_.push_back(kIac);
                    state_ = State::Sub;
                } else {
                    // IAC SE, or a broken subnegotiation ended by another command.
                    EndSub(items);
                    state_ = State::Data;
                }
                break;
        }
    }
}

}  // namespace tovl
