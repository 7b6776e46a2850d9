// The signal and thread primitives the serial handler and session rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(EventTest, AutoResetReleasesOneWaitPerSignal)
{
    platform::CEvent event(false);
    event.Set();
    event.Set();  // not counted: still one signal
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ManualResetStaysUntilReset)
{
    platform::CEvent event(true, true);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, WaitTimesOutAndWakesOnSet)
{
    platform::CEvent event(false);
    auto start = Clock::now();
    EXPECT_FALSE(event.Wait(60));
    EXPECT_GE(MsSince(start), 55);

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        event.Set();
    });
    start = Clock::now();
    EXPECT_TRUE(event.Wait(-1));
    EXPECT_LT(MsSince(start), 2000);
    setter.join();
}

TEST(ThreadTest, JoinIsBoundedAndNeverKills)
{
    platform::CEvent release(true);
    std::atomic<bool> finished{false};
    platform::CThread thread;
    ASSERT_TRUE(thread.Start([&] {
        release.Wait(-1);
        finished = true;
    }));
    EXPECT_FALSE(thread.Start([] {})) << "a second thread replaced a running one";
    EXPECT_FALSE(thread.Join(50));
    EXPECT_TRUE(thread.IsRunning());
    release.Set();
    EXPECT_TRUE(thread.Join(2000));
    EXPECT_TRUE(finished);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.Join(0));  // nothing left to join
    EXPECT_TRUE(thread.Start([] {}));
    EXPECT_TRUE(thread.Join(2000));
}

}  // namespace
