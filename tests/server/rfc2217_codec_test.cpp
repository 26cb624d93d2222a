#include "server/rfc2217_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "server/rfc2217_listener.h"

using namespace tovl;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

struct Fed {
    Bytes toPort, toNet;
    std::vector<ComPortRequest> requests;
    std::vector<TelnetItem> items;
};

void Feed(CTelnetCodec& codec, const Bytes& bytes, Fed* fed) {
    std::vector<TelnetItem> items;
    codec.Receive(bytes.data(), bytes.size(), &items, &fed->toNet);
    for (const TelnetItem& item : items) {
        if (const PortData* run = std::get_if<PortData>(&item))
            fed->toPort.insert(fed->toPort.end(), run->bytes.begin(), run->bytes.end());
        else
            fed->requests.push_back(std::get<ComPortRequest>(item));
    }
    fed->items.insert(fed->items.end(), items.begin(), items.end());
}

TEST(Rfc2217Codec, OffersComPortBinaryAndSgaAndAcceptsTheAnswersSilently) {
    CTelnetCodec codec;
    Bytes offers;
    codec.Start(&offers);
    EXPECT_EQ(offers, B({255, 253, 44, 255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3}));
    Fed fed;
    Feed(codec, B({255, 251, 44, 255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3}), &fed);
    EXPECT_TRUE(fed.toNet.empty());
    EXPECT_TRUE(fed.toPort.empty());
    EXPECT_TRUE(codec.ComPortAgreed());
    // Once agreed, a repeated offer is not answered again (no loops).
    Feed(codec, B({255, 251, 44, 255, 253, 0}), &fed);
    EXPECT_TRUE(fed.toNet.empty());
}

TEST(Rfc2217Codec, RefusesOptionsItDoesNotImplementAndAnswersTurnOffs) {
    CTelnetCodec codec;
    Fed fed;
    // DO ECHO, WILL TERMINAL-TYPE, DO COM-PORT (the server never sends commands).
    Feed(codec, B({255, 253, 1, 255, 251, 24, 255, 253, 44}), &fed);
    EXPECT_EQ(fed.toNet, B({255, 252, 1, 255, 254, 24, 255, 252, 44}));
    // A refusal of something already off needs no answer.
    fed.toNet.clear();
    Feed(codec, B({255, 252, 1, 255, 254, 1}), &fed);
    EXPECT_TRUE(fed.toNet.empty());
    // Unasked WILL BINARY is accepted; its WONT afterwards is acknowledged.
    Feed(codec, B({255, 251, 0}), &fed);
    EXPECT_EQ(fed.toNet, B({255, 253, 0}));
    fed.toNet.clear();
    Feed(codec, B({255, 252, 0}), &fed);
    EXPECT_EQ(fed.toNet, B({255, 254, 0}));
    EXPECT_FALSE(codec.ComPortAgreed());
}

TEST(Rfc2217Codec, UndoesDoublingAndSplitsCommandsAcrossReadsAtEveryPoint) {
    // Data with 0xFF, a subnegotiation whose value holds 0xFF, a NOP, more data.
    const Bytes stream =
        B({'a', 255, 255, 'b', 255, 250, 44, 1, 0, 0, 255, 255, 255, 240, 255, 241, 255, 255, 'c'});
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        CTelnetCodec codec;
        Fed fed;
        Feed(codec, Bytes(stream.begin(), stream.begin() + cut), &fed);
        Feed(codec, Bytes(stream.begin() + cut, stream.end()), &fed);
        EXPECT_EQ(fed.toPort, B({'a', 255, 'b', 255, 'c'})) << "cut at " << cut;
        ASSERT_EQ(fed.requests.size(), 1u) << "cut at " << cut;
        EXPECT_EQ(fed.requests[0].command, 1);
        EXPECT_EQ(fed.requests[0].value, B({0, 0, 255}));
        EXPECT_TRUE(fed.toNet.empty());
    }
}

TEST(Rfc2217Codec, DataAndCommandsComeOutInTheOrderTheyArrived) {
    CTelnetCodec codec;
    Fed fed;
    // Data, SET-BAUDRATE, data with a doubled 0xFF, SET-CONTROL, a NOP, data.
    Feed(codec, B({'a', 'b', 255, 250, 44, 1, 0, 0,   0x4B, 0,   255, 240, 'c',
                   255, 255, 255, 250, 44, 5, 1, 255, 240,  255, 241, 'd'}),
         &fed);
    ASSERT_EQ(fed.items.size(), 5u);
    EXPECT_EQ(std::get<PortData>(fed.items[0]).bytes, B({'a', 'b'}));
    EXPECT_EQ(std::get<ComPortRequest>(fed.items[1]).command, 1);
    EXPECT_EQ(std::get<PortData>(fed.items[2]).bytes, B({'c', 255}));
    EXPECT_EQ(std::get<ComPortRequest>(fed.items[3]).command, 5);
    EXPECT_EQ(std::get<PortData>(fed.items[4]).bytes, B({'d'}));
}

TEST(Rfc2217Codec, DoublesIacInDataAndCommandValues) {
    Bytes out;
    const Bytes data = B({1, 255, 2, 255});
    AppendTelnetData(data.data(), data.size(), &out);
    EXPECT_EQ(out, B({1, 255, 255, 2, 255, 255}));
    out.clear();
    const Bytes rate = B({0, 0, 255, 255});
    AppendComPortCommand(101, rate.data(), rate.size(), &out);
    EXPECT_EQ(out, B({255, 250, 44, 101, 0, 0, 255, 255, 255, 255, 255, 240}));
}

TEST(Rfc2217Listener, ParsesComNumberAndTcpPortAndRejectsTheRest) {
    int n = 0;
    uint16_t port = 0;
    ASSERT_TRUE(ParseRfc2217Value("COM3", std::string("7003\0", 5), &n, &port));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(port, 7003);
    EXPECT_TRUE(ParseRfc2217Value("com12", "40000", &n, &port));
    EXPECT_EQ(n, 12);
    EXPECT_FALSE(ParseRfc2217Value("COM0", "7003", &n, &port));
    EXPECT_FALSE(ParseRfc2217Value("LPT1", "7003", &n, &port));
    EXPECT_FALSE(ParseRfc2217Value("COM1", "70000", &n, &port));
    EXPECT_FALSE(ParseRfc2217Value("COM1", "7x", &n, &port));
    EXPECT_FALSE(ParseRfc2217Value("COM1", "", &n, &port));
}

}  // namespace
