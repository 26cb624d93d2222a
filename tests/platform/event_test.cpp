#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/last_error.h"

using namespace tovl;
using Clock = std::chrono::steady_clock;

namespace {

CEvent MakeEvent(CEvent::ResetMode mode, bool set = false) {
    CEvent e;
    EXPECT_TRUE(e.Create(mode, set));
    return e;
}

TEST(Event, ManualResetStaysSetUntilCleared) {
    CEvent e = MakeEvent(CEvent::ResetMode::Manual);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
    ASSERT_TRUE(e.Set());
    EXPECT_EQ(e.Wait(0), 0);
    EXPECT_EQ(e.Wait(0), 0);
    ASSERT_TRUE(e.Clear());
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
}

TEST(Event, AutoResetIsTakenByOneWait) {
    CEvent e = MakeEvent(CEvent::ResetMode::Auto, true);
    EXPECT_EQ(e.Wait(0), 0);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
    // Two sets before a wait still wake only one wait.
    e.Set();
    e.Set();
    EXPECT_EQ(e.Wait(0), 0);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
}

TEST(Event, LowestIndexWinsAndOnlyItIsTaken) {
    CEvent a = MakeEvent(CEvent::ResetMode::Auto);
    CEvent b = MakeEvent(CEvent::ResetMode::Auto);
    CEvent c = MakeEvent(CEvent::ResetMode::Manual);
    CEvent* list[] = {&a, &b, &c};
    c.Set();
    b.Set();
    EXPECT_EQ(WaitForAnyEvent(list, 3, 0), 1);
    EXPECT_EQ(WaitForAnyEvent(list, 3, 0), 2);
    EXPECT_EQ(WaitForAnyEvent(list, 3, 0), 2) << "a manual-reset event stays set";
    a.Set();
    EXPECT_EQ(WaitForAnyEvent(list, 3, 0), 0);
}

TEST(Event, WaitTimesOutAfterItsTime) {
    CEvent e = MakeEvent(CEvent::ResetMode::Auto);
    auto start = Clock::now();
    EXPECT_EQ(e.Wait(200), kWaitTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
}

TEST(Event, SetFromAnotherThreadWakesAnEndlessWait) {
    CEvent e = MakeEvent(CEvent::ResetMode::Auto);
    CEvent other = MakeEvent(CEvent::ResetMode::Auto);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        e.Set();
    });
    CEvent* list[] = {&other, &e};
    EXPECT_EQ(WaitForAnyEvent(list, 2, kInfinite), 1);
    setter.join();
}

TEST(Event, AutoResetWakesExactlyOneOfSeveralWaiters) {
    CEvent e = MakeEvent(CEvent::ResetMode::Auto);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (e.Wait(1500) == 0) ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    e.Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(woken.load(), 1);
    e.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(Event, SixtyFourEventsAtMost) {
    std::vector<CEvent> events(65);
    std::vector<CEvent*> list;
    for (auto& e : events) {
        ASSERT_TRUE(e.Create(CEvent::ResetMode::Auto, false));
        list.push_back(&e);
    }
    events[63].Set();
    EXPECT_EQ(WaitForAnyEvent(list.data(), 64, 0), 63);
    SetLastErrorCode(0);
    EXPECT_EQ(WaitForAnyEvent(list.data(), 65, 0), kWaitFailed);
    EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
    EXPECT_EQ(WaitForAnyEvent(list.data(), 0, 0), kWaitFailed);
}

TEST(Event, WaitOnAClosedEventFails) {
    CEvent e = MakeEvent(CEvent::ResetMode::Auto);
    e.Close();
    CEvent* list[] = {&e};
    EXPECT_EQ(WaitForAnyEvent(list, 1, 0), kWaitFailed);
}

}  // namespace
