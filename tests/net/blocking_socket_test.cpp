#include "net/blocking_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "test_support/loopback.h"
#include "test_support/wine.h"

using namespace tovl;
using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

// A CBlockingSocket connected to a raw peer of the test.
struct Pair {
    LoopbackListener listener;
    CBlockingSocket socket;
    SocketHandle peer = kInvalidSocket;

    explicit Pair(SocketVariant variant) : socket(variant) {
        socket.Create();
        socket.Connect(LoopbackAddress(listener.port));
        peer = listener.AcceptOne();
    }
    ~Pair() {
        socket.Close();
        CloseRaw(peer);
    }
};

// Closes the peer with a reset: unread data in its receive queue makes the
// close abortive on every platform.
void ResetPeer(Pair& p) {
    p.socket.Write("unread", 6, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SockSetAbortiveClose(p.peer);
    CloseRaw(p.peer);
}

std::string Message(const CBlockingSocketException& e, unsigned capacity = 200) {
    std::vector<char> text(capacity + 1, '#');
    EXPECT_TRUE(e.GetErrorMessage(text.data(), capacity));
    return text.data();
}

TEST(BlockingSocketException, MessageWithAndWithoutCode) {
    SockSetLastError(0);
    CBlockingSocketException bind("Bind");
    EXPECT_EQ(Message(bind), "Bind error");
    SockSetLastError(10004);
    CBlockingSocketException interrupted("Bind");
    EXPECT_EQ(interrupted.ErrorCode(), 10004);
    EXPECT_EQ(Message(interrupted), "Bind error #10004");
}

TEST(BlockingSocketException, MessageIsCutToTheCapacity) {
    SockSetLastError(0);
    CBlockingSocketException e("Receive timeout");
    std::string text = Message(e, 20);
    EXPECT_EQ(text, std::string("Receive timeout error").substr(0, 19));
    char tiny[1] = {'x'};
    EXPECT_TRUE(e.GetErrorMessage(tiny, 1));
    EXPECT_EQ(tiny[0], '\0');
}

TEST(BlockingSocket, NewObjectHoldsNoSocket) {
    CBlockingSocket client(SocketVariant::Client);
    CBlockingSocket server(SocketVariant::Server);
    EXPECT_EQ(client.Handle(), kNoSocket);
    client.Close();
    EXPECT_EQ(client.Handle(), kNoSocket);
    char buffer[4];
    auto start = Clock::now();
    EXPECT_EQ(client.Receive(buffer, 4, -1), 0)
        << "the client's receive on nothing returns at once";
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(client.Read(buffer, 4, -1), -1);
    EXPECT_EQ(server.Write("ab", 2, 10), 0);
    EXPECT_EQ(server.Read(buffer, 4, -1), 0);
    EXPECT_THROW(client.Write("ab", 2, 10), CBlockingSocketException);
}

TEST(BlockingSocket, ClientCreatePausesASecondOnAnEmptyObjectOnly) {
    CBlockingSocket client(SocketVariant::Client);
    auto start = Clock::now();
    client.Create();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(990));
    EXPECT_NE(client.Handle(), kNoSocket);
    client.Close();

    CBlockingSocket server(SocketVariant::Server);
    start = Clock::now();
    server.Create();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    server.Close();
}

TEST(BlockingSocket, RefusedConnectThrowsConnectWithTheCode) {
    uint16_t port;
    {
        LoopbackListener closedSoon;
        port = closedSoon.port;
    }
    CBlockingSocket s(SocketVariant::Server);
    s.Create();
    try {
        s.Connect(LoopbackAddress(port));
        FAIL() << "connected to a closed port";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.Operation(), "Connect");
        EXPECT_EQ(e.ErrorCode(), kWsaEconnrefused);
    }
    s.Close();
}

TEST(BlockingSocket, ReadAssemblesOddSegmentsIntoTheWholeBuffer) {
    for (SocketVariant v : {SocketVariant::Client, SocketVariant::Server}) {
        Pair p(v);
        std::vector<uint8_t> sent(4096);
        for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + 3);
        std::thread writer([&] {
            size_t offsets[] = {0, 7, 1000, 1001, 2500, 4096};
            for (int i = 0; i + 1 < 6; ++i) {
                SendAll(p.peer, sent.data() + offsets[i],
                        static_cast<int>(offsets[i + 1] - offsets[i]));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        std::vector<uint8_t> got(4096);
        EXPECT_EQ(p.socket.Read(got.data(), 4096, 10), 4096);
        writer.join();
        EXPECT_EQ(got, sent);
    }
}

TEST(BlockingSocket, PeerClosingEarlyMakesReadFail) {
    for (SocketVariant v : {SocketVariant::Client, SocketVariant::Server}) {
        Pair p(v);
        SendAll(p.peer, "ab", 2);
        CloseRaw(p.peer);
        p.peer = kInvalidSocket;
        char buffer[4];
        EXPECT_EQ(p.socket.Read(buffer, 4, 10), -1);
    }
}

TEST(BlockingSocket, ResetThrowsInTheClientAndReturnsMinusOneInTheServer) {
    {
        Pair p(SocketVariant::Client);
        ResetPeer(p);
        char buffer[4];
        try {
            int got = p.socket.Read(buffer, 4, 10);
            // Wine reports a reset connection as one closed in order.
            if (!RunningUnderWine()) FAIL() << "no exception";
            EXPECT_EQ(got, -1);
        } catch (const CBlockingSocketException& e) {
            EXPECT_EQ(e.Operation(), "Receive");
            EXPECT_EQ(e.ErrorCode(), kWsaEconnreset);
        }
    }
    {
        Pair p(SocketVariant::Server);
        ResetPeer(p);
        char buffer[4];
        EXPECT_EQ(p.socket.Read(buffer, 4, 10), -1);
    }
}

TEST(BlockingSocket, WriteOfNothingSendsNothingAndReturnsZero) {
    Pair p(SocketVariant::Client);
    EXPECT_EQ(p.socket.Write("", 0, 10), 0);
    EXPECT_EQ(p.socket.Write("xyz", 3, 10), 3);
    char got[3];
    ASSERT_TRUE(RecvAll(p.peer, got, 3));
    EXPECT_EQ(std::string(got, 3), "xyz");
}

TEST(BlockingSocket, ReceiveTimesOutWhenNothingArrives) {
    Pair p(SocketVariant::Server);
    char buffer[4];
    auto start = Clock::now();
    try {
        p.socket.Receive(buffer, 4, 1);
        FAIL() << "no time-out";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.Operation(), "Receive timeout");
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
}

TEST(BlockingSocket, SendTimesOutWhenThePeerDoesNotRead) {
    Pair p(SocketVariant::Client);
    std::vector<char> block(64 * 1024, 'z');
    bool timedOut = false;
    auto start = Clock::now();
    try {
        while (Clock::now() - start < std::chrono::seconds(60))
            p.socket.Write(block.data(), 65536, 1);
    } catch (const CBlockingSocketException& e) {
        timedOut = e.Operation() == "Send timeout";
    }
    EXPECT_TRUE(timedOut);
}

TEST(BlockingSocket, CloseFromAnotherThreadEndsABlockedAccept) {
    CBlockingSocket listener(SocketVariant::Server);
    listener.Create();
    listener.Bind(LoopbackAddress(0));
    listener.Listen();
    std::atomic<int> outcome{0};  // 1 false, 2 thrown, 3 accepted
    std::thread acceptor([&] {
        CBlockingSocket target(SocketVariant::Server);
        SockAddrIn peer;
        try {
            outcome = listener.Accept(target, &peer) ? 3 : 1;
        } catch (const CBlockingSocketException&) {
            outcome = 2;
        }
        target.Close();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = Clock::now();
    listener.Close();
    acceptor.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(outcome == 1 || outcome == 2) << outcome;
}

TEST(BlockingSocket, CloseFromAnotherThreadEndsABlockedReceiveWithoutTouchingANewSocket) {
    for (SocketVariant v : {SocketVariant::Client, SocketVariant::Server}) {
        LoopbackListener listener;
        CBlockingSocket s(v);
        s.Create();
        s.Connect(LoopbackAddress(listener.port));
        SocketHandle peer = listener.AcceptOne();
        std::atomic<bool> ended{false};
        std::atomic<int> got{-2};
        std::thread reader([&] {
            char buffer[16];
            try {
                got = s.Receive(buffer, sizeof buffer, -1);
            } catch (const CBlockingSocketException&) {
                got = -3;
            }
            ended = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto start = Clock::now();
        s.Close();
        // A new connection right away, which may get the old handle number.
        CBlockingSocket fresh(SocketVariant::Server);
        fresh.Create();
        fresh.Connect(LoopbackAddress(listener.port));
        SocketHandle freshPeer = listener.AcceptOne();
        SendAll(freshPeer, "new", 3);
        reader.join();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
        EXPECT_TRUE(ended);
        EXPECT_LE(got.load(), 0) << "the closed socket's wait read the new connection's data";
        char buffer[3];
        EXPECT_EQ(fresh.Read(buffer, 3, 5), 3);
        EXPECT_EQ(std::string(buffer, 3), "new");
        fresh.Close();
        CloseRaw(peer);
        CloseRaw(freshPeer);
    }
}

}  // namespace

namespace {

// Both ends a CBlockingSocket makes, connected and accepted, notice a peer
// that vanished: keep-alive is on (under Wine: SIO_KEEPALIVE_VALS took).
TEST(BlockingSocket, KeepAliveOnConnectedAndAcceptedSockets) {
    CBlockingSocket listener(SocketVariant::Server);
    listener.Create();
    SockAddrIn any = LoopbackAddress(0);
    listener.Bind(any);
    listener.Listen();
    SockAddrIn bound;
    ASSERT_TRUE(SockGetSockName(listener.Handle(), &bound));
    CBlockingSocket client(SocketVariant::Client);
    client.Create();
    EXPECT_TRUE(SockKeepAliveEnabled(client.Handle()));
    client.Connect(LoopbackAddress(NetToHost16(bound.portBe)));
    CBlockingSocket accepted(SocketVariant::Server);
    SockAddrIn peer;
    ASSERT_TRUE(listener.Accept(accepted, &peer));
    EXPECT_TRUE(SockKeepAliveEnabled(accepted.Handle()));
    EXPECT_TRUE(SockSetKeepAlive(accepted.Handle()));
    accepted.Close();
    client.Close();
    listener.Close();
}

}  // namespace
