#include "net/message_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support/loopback.h"

using namespace tovl;
using namespace testing_support;

namespace {

// A CBlockingSocket (server variant) and the raw peer that feeds it.
struct Link {
    LoopbackListener listener;
    CBlockingSocket socket{SocketVariant::Server};
    SocketHandle peer = kInvalidSocket;

    Link() {
        socket.Create();
        socket.Connect(LoopbackAddress(listener.port));
        peer = listener.AcceptOne();
    }
    ~Link() {
        socket.Close();
        CloseRaw(peer);
    }
    // True once the reader has taken every byte sent so far.
    bool Drained() {
        const SocketHandle h = socket.Handle();
        bool readable = false;
        return SockPollReadable(&h, 1, 0, &readable) == 0;
    }
};

void Put(std::vector<uint8_t>* out, uint32_t v) {
    uint8_t b[4];
    EncodeU32(v, b);
    out->insert(out->end(), b, b + 4);
}

void PutData(std::vector<uint8_t>* out, const std::string& payload) {
    Put(out, PL_DATA);
    Put(out, static_cast<uint32_t>(payload.size()));
    out->insert(out->end(), payload.begin(), payload.end());
}

// What a client sends: every kind of message, an undefined code, an empty
// PL_DATA.
std::vector<uint8_t> ClientStream() {
    std::vector<uint8_t> s;
    Put(&s, PL_OPEN);
    Put(&s, 3);
    Put(&s, PL_SETTINGS);
    for (uint8_t i = 0; i < kPortLinkSettingsSize; ++i) s.push_back(i);
    Put(&s, PL_FLOW_CONTROL);
    Put(&s, 0x05);
    PutData(&s, "hello");
    Put(&s, 6);
    PutData(&s, "");
    Put(&s, PL_CLOSE);
    return s;
}

std::string ReadPayload(CMessageReader& reader, bool join) {
    std::string got;
    do {
        const uint8_t* piece = nullptr;
        uint32_t size = 0;
        if (!reader.NextPayloadPiece(&piece, &size, 5, join)) return got + "<cut>";
        EXPECT_LE(size, kPayloadChunk);
        got.append(reinterpret_cast<const char*>(piece), size);
    } while (reader.PayloadLeft() != 0);
    return got;
}

// Parses ClientStream() and says what it found, one line per message.
std::string ParseClientStream(CMessageReader& reader) {
    std::string seen;
    PortLinkMessage m;
    for (int i = 0; i < 7; ++i) {
        if (reader.ReadMessage(&m, 5, 5) != ReadStatus::Message) return seen + "<ended>";
        seen += std::to_string(m.code);
        if (m.code == PL_OPEN || m.code == PL_FLOW_CONTROL) seen += ":" + std::to_string(m.value);
        if (m.code == PL_SETTINGS)
            seen += ":" + std::to_string(m.settings[0]) + "-" + std::to_string(m.settings[23]);
        if (m.code == PL_DATA) seen += ":" + ReadPayload(reader, false);
        seen += " ";
    }
    return seen;
}

const char* const kClientStreamParsed = "2:3 1:0-23 5:5 0:hello 6 0: 7 ";

TEST(MessageReader, MessagesSplitAtEveryByteBoundary) {
    const std::vector<uint8_t> stream = ClientStream();
    for (size_t split = 1; split < stream.size(); ++split) {
        Link link;
        CMessageReader reader(link.socket, LinkDirection::ToServer);
        // The second part leaves only once the reader has taken the first,
        // so the two arrive in separate receives.
        std::thread sender([&] {
            ASSERT_TRUE(SendAll(link.peer, stream.data(), static_cast<int>(split)));
            while (!link.Drained()) std::this_thread::yield();
            ASSERT_TRUE(
                SendAll(link.peer, stream.data() + split, static_cast<int>(stream.size() - split)));
        });
        EXPECT_EQ(ParseClientStream(reader), kClientStreamParsed) << "split at " << split;
        sender.join();
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

TEST(MessageReader, SeveralMessagesInOneReceiveAndDataJoined) {
    Link link;
    std::vector<uint8_t> s = ClientStream();
    PutData(&s, "ab");
    PutData(&s, "");
    PutData(&s, "cd");
    Put(&s, PL_FLOW_CONTROL);
    Put(&s, 1);
    PutData(&s, "ef");
    ASSERT_TRUE(SendAll(link.peer, s.data(), static_cast<int>(s.size())));
    CMessageReader reader(link.socket, LinkDirection::ToServer);
    EXPECT_EQ(ParseClientStream(reader), kClientStreamParsed);
    PortLinkMessage m;
    ASSERT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Message);
    ASSERT_EQ(m.code, PL_DATA);
    // The data messages behind it come in the same piece; the line request
    // after them is not passed over.
    EXPECT_EQ(ReadPayload(reader, true), "abcd");
    ASSERT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Message);
    EXPECT_EQ(m.code, PL_FLOW_CONTROL);
    ASSERT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Message);
    EXPECT_EQ(ReadPayload(reader, true), "ef");
    CloseRaw(link.peer);
    link.peer = kInvalidSocket;
    EXPECT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Ended);
}

// Towards the client only PL_DATA and PL_FLOW_CONTROL have bodies.
TEST(MessageReader, CodesWithoutBodyTowardsTheClient) {
    Link link;
    std::vector<uint8_t> s;
    Put(&s, PL_SETTINGS);
    Put(&s, PL_OPEN);
    Put(&s, PL_FLOW_CONTROL);
    Put(&s, 0xB0);
    ASSERT_TRUE(SendAll(link.peer, s.data(), static_cast<int>(s.size())));
    CMessageReader reader(link.socket, LinkDirection::ToClient);
    PortLinkMessage m;
    for (uint32_t code : {PL_SETTINGS, PL_OPEN, PL_FLOW_CONTROL}) {
        ASSERT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Message);
        EXPECT_EQ(m.code, code);
    }
    EXPECT_EQ(m.value, 0xB0u);
}

TEST(MessageReader, LargePayloadInBoundedPiecesAndHugeLengthNeverReadAsMessages) {
    Link link;
    const uint32_t length = 3 * kPayloadChunk + 5;
    std::vector<uint8_t> s;
    Put(&s, PL_DATA);
    Put(&s, length);
    for (uint32_t i = 0; i < length; ++i) s.push_back(static_cast<uint8_t>(i % 251));
    // A huge Length whose payload never comes: its bytes look like messages.
    Put(&s, PL_DATA);
    Put(&s, 0xFFFFFFFF);
    for (int i = 0; i < 100; ++i) Put(&s, PL_CLOSE);
    std::thread sender([&] {
        EXPECT_TRUE(SendAll(link.peer, s.data(), static_cast<int>(s.size())));
        CloseRaw(link.peer);
        link.peer = kInvalidSocket;
    });
    CMessageReader reader(link.socket, LinkDirection::ToServer);
    PortLinkMessage m;
    ASSERT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Message);
    EXPECT_EQ(m.value, length);
    uint32_t total = 0;
    bool inOrder = true;
    while (reader.PayloadLeft() != 0) {
        const uint8_t* piece = nullptr;
        uint32_t size = 0;
        ASSERT_TRUE(reader.NextPayloadPiece(&piece, &size, 5, false));
        EXPECT_LE(size, kPayloadChunk);
        for (uint32_t i = 0; i < size; ++i)
            inOrder = inOrder && piece[i] == static_cast<uint8_t>((total + i) % 251);
        total += size;
    }
    EXPECT_EQ(total, length);
    EXPECT_TRUE(inOrder);
    ASSERT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Message);
    EXPECT_EQ(m.code, PL_DATA);
    EXPECT_EQ(reader.PayloadLeft(), 0xFFFFFFFFull);
    const uint8_t* piece = nullptr;
    uint32_t size = 0;
    // The 400 bytes that came are payload; the stream ends inside it.
    EXPECT_FALSE(reader.NextPayloadPiece(&piece, &size, 5, true));
    EXPECT_EQ(reader.ReadMessage(&m, 5, 5), ReadStatus::Truncated);
    sender.join();
}

}  // namespace
