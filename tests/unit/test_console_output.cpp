// The console's shared parts: output that stops at its first failure, and
// the critical work a closing console waits for.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/Console.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void EndAfter(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    platform::EndCriticalWork();
}

// Catches: output that keeps trying after its first failure (a system call
// per line on a closed pipe for the rest of an upgrade), or that gives up
// before any write failed.
TEST(ConsoleOutput, StopsTryingAfterTheFirstFailedWrite)
{
#if defined(__GLIBC__)
    struct CSink {
        int nWrites = 0;
        bool bFail = false;
    } sink;
    cookie_io_functions_t io = {};
    io.write = [](void* cookie, const char*, size_t size) -> ssize_t {
        auto* pSink = static_cast<CSink*>(cookie);
        ++pSink->nWrites;
        if (!pSink->bFail)
            return static_cast<ssize_t>(size);
        errno = EPIPE;
        return -1;
    };
    std::FILE* stream = fopencookie(&sink, "w", io);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(platform::WriteOutput(stream, "first\n"));
    EXPECT_EQ(sink.nWrites, 1);
    sink.bFail = true;
    EXPECT_FALSE(platform::WriteOutput(stream, "second\n"));
    const int tried = sink.nWrites;
    EXPECT_FALSE(platform::WriteOutput(stream, "third\n"));
    EXPECT_FALSE(platform::IsOutputOpen(stream));
    EXPECT_EQ(sink.nWrites, tried);
    std::fclose(stream);
#else
    GTEST_SKIP() << "needs a stream whose writes can be made to fail (fopencookie)";
#endif
}

// Catches: a console close that lets the process end while a receiver's
// flash is still being written: a count that loses one of two receivers, a
// wait that does not see work reported while the program still acts on the
// interrupt, one that returns before the work ends, or one that never gives
// up.
TEST(CriticalWork, CloseWaitsForEveryReceiverButNoLongerThanItsLimit)
{
    platform::BeginCriticalWork();
    platform::BeginCriticalWork();
    platform::EndCriticalWork();
    EXPECT_TRUE(platform::IsCriticalWorkRunning()) << "the second receiver still writes";
    auto start = Clock::now();
    std::thread first(EndAfter, 150);
    EXPECT_TRUE(platform::WaitForCriticalWork(0, 3000));
    EXPECT_GE(MsSince(start), 140);
    first.join();

    // Reported within the settle time (a refused cancel), then waited for.
    start = Clock::now();
    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        platform::BeginCriticalWork();
        EndAfter(200);
    });
    EXPECT_TRUE(platform::WaitForCriticalWork(100, 3000));
    EXPECT_GE(MsSince(start), 220);
    late.join();

    platform::BeginCriticalWork();
    start = Clock::now();
    EXPECT_FALSE(platform::WaitForCriticalWork(0, 100));
    EXPECT_GE(MsSince(start), 95);
    EXPECT_LT(MsSince(start), 1000);
    platform::EndCriticalWork();
    EXPECT_FALSE(platform::IsCriticalWorkRunning());
}

}  // namespace
