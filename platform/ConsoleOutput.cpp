// What every system's console shares: output that stops at its first
// failure, and the count of critical work that a closing console waits for.
#include "platform/Console.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {

namespace {

std::atomic<int> g_nCriticalWork{0};

constexpr auto CRITICAL_WORK_POLL = std::chrono::milliseconds(10);

}  // namespace

bool WriteOutput(std::FILE* stream, std::string_view text)
{
    if (stream == nullptr || std::ferror(stream))
        return false;
    // A failed fwrite or fflush sets the stream's error indicator, which
    // turns every later call away above.
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stream) != text.size())
        return false;
    return std::fflush(stream) == 0;
}

bool IsOutputOpen(std::FILE* stream)
{
    return stream != nullptr && !std::ferror(stream);
}

void BeginCriticalWork()
{
    ++g_nCriticalWork;
}

void EndCriticalWork()
{
    --g_nCriticalWork;
}

bool IsCriticalWorkRunning()
{
    return g_nCriticalWork.load() > 0;
}

bool WaitForCriticalWork(int settleMs, int limitMs)
{
    // Polled: the waiting thread is the system's, for a few seconds at most,
    // and the work's ends need not know whether anyone waits.
    const auto start = std::chrono::steady_clock::now();
    const auto settle = start + std::chrono::milliseconds(settleMs);
    const auto limit = start + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const bool running = IsCriticalWorkRunning();
        if ((!running && now >= settle) || now >= limit)
            return !running;
        std::this_thread::sleep_for(CRITICAL_WORK_POLL);
    }
}

}  // namespace platform
