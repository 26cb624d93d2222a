// Named events, which the Windows backend alone offers (the virtual port
// driver's events are reached by name).
#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/win32/named_event_win32.h"

using namespace tovl;

namespace {

TEST(NamedEvent, IsSharedByName) {
    CEvent creator = CreateNamedEvent(CEvent::ResetMode::Auto, false, "tovlTestEvent7");
    ASSERT_TRUE(creator.IsValid());
    CEvent opener = OpenNamedEvent("tovlTestEvent7");
    ASSERT_TRUE(opener.IsValid());
    creator.Set();
    EXPECT_EQ(opener.Wait(0), 0);
    EXPECT_EQ(creator.Wait(0), kWaitTimeout) << "one event behind both objects";
}

TEST(NamedEvent, OpeningAnUnknownNameFails) {
    SetLastErrorCode(0);
    CEvent e = OpenNamedEvent("tovlNoSuchEvent42");
    EXPECT_FALSE(e.IsValid());
    EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);
}

}  // namespace
