#include "net/message_reader.h"

#include <algorithm>
#include <cstring>

namespace tovl {

namespace {

constexpr size_t kHeaderSize = 8;  // code and Length of a PL_DATA
// Below this much room at the end, bytes waiting are moved to the front
// before a receive, so receives stay large.
constexpr size_t kMinReceiveRoom = size_t{16} * 1024;

}  // namespace

CMessageReader::CMessageReader(CBlockingSocket& socket, LinkDirection direction)
    : socket_(socket), direction_(direction), buffer_(new uint8_t[kReceiveCapacity]) {}

bool CMessageReader::Fill(size_t need, int seconds) {
    while (end_ - begin_ < need) {
        if (begin_ == end_) {
            begin_ = end_ = 0;
        } else if (kReceiveCapacity - begin_ < need || kReceiveCapacity - end_ < kMinReceiveRoom) {
            std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        const int got = socket_.Receive(buffer_.get() + end_,
                                        static_cast<int>(kReceiveCapacity - end_), seconds);
        lastReceive_ = got;
        if (got <= 0) return false;
        end_ += static_cast<size_t>(got);
    }
    return true;
}

uint32_t CMessageReader::TakeU32() {
    const uint32_t value = DecodeU32(buffer_.get() + begin_);
    begin_ += 4;
    return value;
}

size_t CMessageReader::BodySize(uint32_t code) const {
    switch (code) {
        case PL_DATA:
        case PL_FLOW_CONTROL:
            return 4;
        case PL_OPEN:
            return direction_ == LinkDirection::ToServer ? 4 : 0;
        case PL_SETTINGS:
            return direction_ == LinkDirection::ToServer ? kPortLinkSettingsSize : 0;
        default:
            return 0;  // the code is the whole message
    }
}

ReadStatus CMessageReader::ReadMessage(PortLinkMessage* message, int codeSeconds,
                                       int fieldSeconds) {
    while (payloadLeft_ != 0) {
        const uint8_t* ignored = nullptr;
        uint32_t size = 0;
        if (!NextPayloadPiece(&ignored, &size, fieldSeconds, false)) return ReadStatus::Truncated;
    }
    if (!Fill(4, codeSeconds)) return ReadStatus::Ended;
    message->code = TakeU32();
    const size_t body = BodySize(message->code);
    if (body == 0) return ReadStatus::Message;
    if (!Fill(body, fieldSeconds)) return ReadStatus::Truncated;
    if (message->code == PL_SETTINGS) {
        std::memcpy(message->settings, buffer_.get() + begin_, kPortLinkSettingsSize);
        begin_ += kPortLinkSettingsSize;
        return ReadStatus::Message;
    }
    message->value = TakeU32();
    if (message->code == PL_DATA) payloadLeft_ = message->value;
    return ReadStatus::Message;
}

bool CMessageReader::ReadU32(uint32_t* value, int seconds) {
    if (!Fill(4, seconds)) return false;
    *value = TakeU32();
    return true;
}

bool CMessageReader::NextPayloadPiece(const uint8_t** data, uint32_t* size, int seconds,
                                      bool joinFollowing) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(payloadLeft_, kPayloadChunk));
    if (!Fill(piece, seconds)) return false;
    uint8_t* const bytes = buffer_.get();
    const size_t start = begin_;
    begin_ += piece;
    payloadLeft_ -= piece;
    // Whole messages behind a complete payload: each payload is moved down
    // over the header before it, so the piece stays one run of bytes; the
    // gap this leaves lies before begin_ and is never parsed.
    while (joinFollowing && payloadLeft_ == 0 && end_ - begin_ >= kHeaderSize &&
           DecodeU32(bytes + begin_) == PL_DATA) {
        const uint32_t length = DecodeU32(bytes + begin_ + 4);
        if (end_ - begin_ - kHeaderSize < length || piece + length > kPayloadChunk) break;
        std::memmove(bytes + start + piece, bytes + begin_ + kHeaderSize, length);
        piece += length;
        begin_ += kHeaderSize + length;
    }
    *data = bytes + start;
    *size = static_cast<uint32_t>(piece);
    return true;
}

}  // namespace tovl
