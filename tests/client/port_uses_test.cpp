#include "client/port_uses.h"

#include <gtest/gtest.h>

namespace tovl {
namespace {

PortLinkSettings Baud(uint32_t baud) {
    PortLinkSettings s{};
    s.BaudRate = baud;
    return s;
}

TEST(PortUsesTest, AnOpenUseReadsWithoutLimitAndAnEndedOneUpToItsEnd) {
    CPortUses uses;
    EXPECT_EQ(uses.Serve(1), 0u);
    EXPECT_EQ(uses.Left(), CPortUses::kUnlimited);
    EXPECT_FALSE(uses.ServedEnded());
    uses.Taken(3);
    uses.Ended(1, 5, Baud(19200));
    EXPECT_EQ(uses.Left(), 5u);
    ASSERT_NE(uses.ServedSettings(), nullptr);
    EXPECT_EQ(uses.ServedSettings()->BaudRate, 19200u);
    uses.Taken(5);
    EXPECT_EQ(uses.Left(), 0u);
    // Everything of it is taken: no ended use waits.
    uint32_t use = 0;
    EXPECT_FALSE(uses.EndedWithData(0, &use));
}

TEST(PortUsesTest, UsesEndedUnsentAreFoundOldestFirstAndSkippedByALaterOne) {
    CPortUses uses;
    uses.Ended(1, 4, Baud(9600));  // "ATZ\r"
    uses.Ended(2, 4, Baud(9600));  // nothing written by use 2
    uses.Ended(3, 10, Baud(9600));
    uint32_t use = 0;
    ASSERT_TRUE(uses.EndedWithData(0, &use));
    EXPECT_EQ(use, 1u);
    ASSERT_TRUE(uses.EndedWithData(use, &use));
    EXPECT_EQ(use, 3u);
    EXPECT_FALSE(uses.EndedWithData(use, &use));
    // Use 3 served: use 1's four bytes come first and are skipped.
    EXPECT_EQ(uses.Serve(3), 4u);
    uses.Taken(4);
    EXPECT_EQ(uses.Left(), 6u);
    // The open use 4 starts where use 3 ends.
    EXPECT_EQ(uses.Serve(4), 10u);
}

TEST(PortUsesTest, ThrownAwayBuffersLeaveTheCurrentUseNothing) {
    CPortUses uses;
    EXPECT_EQ(uses.Serve(2), 0u);
    uses.Taken(100);
    uses.Discarded(2);
    EXPECT_EQ(uses.Position(), 0u);
    EXPECT_EQ(uses.Left(), 0u);
    EXPECT_EQ(uses.Serve(3), 0u);
    EXPECT_EQ(uses.Left(), CPortUses::kUnlimited);
}

}  // namespace
}  // namespace tovl
