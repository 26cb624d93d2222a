#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/event.h"
#include "platform/last_error.h"

using namespace tovl;

namespace {

struct Probe {
    CEvent done;
    std::atomic<uint32_t> errorSeen{12345};
    void* param = nullptr;
};

uint32_t ProbeThread(void* param) {
    auto* probe = static_cast<Probe*>(param);
    probe->errorSeen = GetLastErrorCode();
    SetLastErrorCode(kErrorMoreData);
    probe->param = param;
    probe->done.Set();
    return 0;
}

TEST(Thread, StartsDetachedWithItsParameter) {
    Probe probe;
    ASSERT_TRUE(probe.done.Create(CEvent::ResetMode::Manual, false));
    SetLastErrorCode(kErrorNoMoreItems);
    ASSERT_TRUE(StartThread([&probe] { ProbeThread(&probe); }));
    ASSERT_EQ(probe.done.Wait(5000), 0);
    EXPECT_EQ(probe.param, &probe);
    EXPECT_NE(probe.errorSeen.load(), kErrorNoMoreItems) << "the last error is per thread";
    EXPECT_EQ(GetLastErrorCode(), kErrorNoMoreItems);
}

TEST(Thread, SleepWaitsAtLeastItsTime) {
    auto start = std::chrono::steady_clock::now();
    SleepMs(120);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(110));
}

}  // namespace
