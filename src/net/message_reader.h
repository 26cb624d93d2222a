// CMessageReader: the receiving end of one port-link connection. It receives
// into one buffer of kReceiveCapacity bytes, taken once when the reader is
// made, and parses whole messages from it, so a burst of small messages
// costs one receive instead of three per message, and nothing is allocated
// per message.
//
// A field is handed on only once all of its bytes have arrived. A PL_DATA
// payload is handed on in pieces of at most kPayloadChunk bytes, each
// complete, so any Length up to 0xFFFFFFFF passes in bounded memory and its
// bytes are never taken for the next message.
//
// The reader belongs to the one thread that receives on the connection (the
// server's session thread, the client's socket-to-driver pump). Pieces point
// into the reader's buffer and stay valid until the next call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/blocking_socket.h"
#include "net/port_link.h"

namespace tovl {

// Which end receives: the body each code carries depends on the direction.
enum class LinkDirection { ToServer, ToClient };

// One message's code and fixed fields; a PL_DATA's payload follows through
// NextPayloadPiece.
struct PortLinkMessage {
    uint32_t code = 0;
    // PL_OPEN: PortNumber; PL_FLOW_CONTROL: the mask or modem status;
    // PL_DATA: Length.
    uint32_t value = 0;
    uint8_t settings[kPortLinkSettingsSize] = {};  // PL_SETTINGS
};

enum class ReadStatus {
    Message,    // a whole message (a PL_DATA without its payload)
    Ended,      // the connection closed or failed before the code was in
    Truncated,  // it closed or failed inside the message
};

constexpr size_t kReceiveCapacity = size_t{64} * 1024;
static_assert(kPayloadChunk <= kReceiveCapacity, "a payload piece fits the buffer");

class CMessageReader {
  public:
    CMessageReader(CBlockingSocket& socket, LinkDirection direction);
    CMessageReader(const CMessageReader&) = delete;
    CMessageReader& operator=(const CMessageReader&) = delete;

    // The next message: the code waits codeSeconds, each receive for a body
    // field fieldSeconds (-1: no limit). What is left of an earlier PL_DATA
    // payload is read and dropped first. Socket exceptions (time-outs, a
    // client's failed receive) pass through.
    ReadStatus ReadMessage(PortLinkMessage* message, int codeSeconds, int fieldSeconds);

    // One u32 outside a message (the open sequence's headerless pieces).
    // False when the connection closed or failed first.
    bool ReadU32(uint32_t* value, int seconds);

    // Bytes of the current PL_DATA payload not yet handed on.
    uint64_t PayloadLeft() const { return payloadLeft_; }

    // The next piece of the current payload, every byte of it arrived; each
    // receive waits at most seconds. With joinFollowing, once the payload is
    // complete, whole PL_DATA messages already received right behind it are
    // added to the piece (their headers left out), up to kPayloadChunk
    // bytes; their bytes keep their order and nothing else is passed over.
    // False when the connection closed or failed first.
    bool NextPayloadPiece(const uint8_t** data, uint32_t* size, int seconds, bool joinFollowing);

    // What the last receive returned: 0 when the peer closed, -1 when the
    // connection failed (the socket's last error tells how).
    int LastReceive() const { return lastReceive_; }

    // Bytes received and not yet parsed (tests).
    size_t Buffered() const { return end_ - begin_; }

  private:
    // At least need bytes from begin_ on, receiving as required.
    bool Fill(size_t need, int seconds);
    uint32_t TakeU32();
    size_t BodySize(uint32_t code) const;

    CBlockingSocket& socket_;
    const LinkDirection direction_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    uint64_t payloadLeft_ = 0;
    int lastReceive_ = 0;
};

}  // namespace tovl
