// Each message helper hands its message to the socket whole: with
// TCP_NODELAY on loopback every send is one data segment, so the sender's
// segment count tells how many sends a message took.
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "net/port_link.h"
#include "test_support/loopback.h"

using namespace tovl;
using namespace testing_support;

namespace {

uint32_t DataSegmentsOut(SocketHandle s) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (getsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
    return info.tcpi_data_segs_out;
}

TEST(MessageSend, EveryMessageLeavesInOneSegment) {
    LoopbackListener listener;
    CBlockingSocket socket(SocketVariant::Client);
    socket.Create();
    socket.Connect(LoopbackAddress(listener.port));
    SocketHandle peer = listener.AcceptOne();

    uint8_t payload[PL_DATA_MAX];
    for (uint32_t i = 0; i < PL_DATA_MAX; ++i) payload[i] = static_cast<uint8_t>(i);
    PortLinkSettings settings;
    settings.BaudRate = 9600;
    std::vector<uint8_t> expected;
    auto expect = [&](std::initializer_list<uint32_t> words, const uint8_t* tail, size_t n) {
        for (uint32_t w : words) {
            uint8_t b[4];
            EncodeU32(w, b);
            expected.insert(expected.end(), b, b + 4);
        }
        expected.insert(expected.end(), tail, tail + n);
    };
    uint8_t record[kPortLinkSettingsSize];
    EncodeSettings(settings, record);

    const uint32_t before = DataSegmentsOut(socket.Handle());
    SendDataMessage(socket, payload, PL_DATA_MAX, kFieldTimeout);
    expect({PL_DATA, PL_DATA_MAX}, payload, PL_DATA_MAX);
    SendDataMessage(socket, payload, 0, kFieldTimeout);
    expect({PL_DATA, 0}, nullptr, 0);
    SendU32Message(socket, PL_FLOW_CONTROL, 0x05, kFieldTimeout);
    expect({PL_FLOW_CONTROL, 0x05}, nullptr, 0);
    SendSettingsMessage(socket, settings, kFieldTimeout);
    expect({PL_SETTINGS}, record, sizeof record);
    // Blocks gathered in a batch leave together.
    CMessageBatch batch;
    for (uint32_t count : {PL_DATA_MAX, 452u}) {
        uint8_t* slot = batch.DataSlot();
        ASSERT_NE(slot, nullptr);
        std::memcpy(slot, payload, count);
        batch.CommitData(count);
        expect({PL_DATA, count}, payload, count);
    }
    batch.AddCode(PL_CLOSE);
    expect({PL_CLOSE}, nullptr, 0);
    batch.Flush(socket, kFieldTimeout);
    EXPECT_TRUE(batch.Empty());
    EXPECT_EQ(DataSegmentsOut(socket.Handle()) - before, 5u);

    std::vector<uint8_t> got(expected.size());
    ASSERT_TRUE(RecvAll(peer, got.data(), static_cast<int>(got.size())));
    EXPECT_EQ(got, expected);
    socket.Close();
    CloseRaw(peer);
}

TEST(MessageSend, BatchRefusesADataSlotWhenFull) {
    CMessageBatch batch;
    int added = 0;
    while (uint8_t* slot = batch.DataSlot()) {
        slot[0] = 1;
        batch.CommitData(PL_DATA_MAX);
        ++added;
    }
    EXPECT_EQ(added, 8);
    EXPECT_FALSE(batch.HasRoom(8 + PL_DATA_MAX));
    EXPECT_EQ(batch.Size(), CMessageBatch::kCapacity);
}

}  // namespace
