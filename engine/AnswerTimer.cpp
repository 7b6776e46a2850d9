#include "engine/AnswerTimer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "link/LinkResult.h"

namespace CHERFLoaderLib {

namespace {
constexpr int MIN_SAMPLES = 4;       // answers seen before the timer trusts itself
constexpr double MARGIN_MS = 50;     // a USB adapter's 16 ms latency timer, twice, and the scheduler
constexpr double FACTOR = 4;         // "several times" the answer's usual excess
constexpr double GAIN = 1.0 / 8, SPREAD_GAIN = 1.0 / 4;
}  // namespace

double CAnswerTimer::WireMs(uint32_t bytes, uint32_t baud)
{
    return baud == 0 ? 0 : bytes * 11.0 * 1000.0 / baud;
}

int CAnswerTimer::WaitMs(uint32_t bytes, uint32_t baud) const
{
    if (m_nSamples < MIN_SAMPLES)
        return m_nCeilingMs;
    const double wait = WireMs(bytes, baud) + std::max(MARGIN_MS, FACTOR * (m_dMeanMs + 4 * m_dSpreadMs));
    return static_cast<int>(std::min<double>(m_nCeilingMs, std::ceil(wait)));
}

int CAnswerTimer::QuietMs() const
{
    return static_cast<int>(std::min<double>(m_nCeilingMs, std::ceil(std::max(MARGIN_MS, FACTOR * (m_dMeanMs + 4 * m_dSpreadMs)))));
}

void CAnswerTimer::Note(double elapsedMs, uint32_t bytes, uint32_t baud)
{
    const double excess = std::max(0.0, elapsedMs - WireMs(bytes, baud));
    if (m_nSamples == 0) {
        m_dMeanMs = excess;
        m_dSpreadMs = excess / 2;
    } else {
        m_dSpreadMs += SPREAD_GAIN * (std::fabs(excess - m_dMeanMs) - m_dSpreadMs);
        m_dMeanMs += GAIN * (excess - m_dMeanMs);
    }
    ++m_nSamples;
}

int TimedExchange(CAnswerTimer& timer, uint32_t wireBytes, uint32_t baud, int attempts, int quickAttempts,
                  const std::function<int(int waitMs)>& exchange,
                  const std::function<void(const CAnswerLoss& loss)>& onLoss)
{
    int result = LINK_TIMEOUT, slow = 0, quick = 0;
    while (slow < attempts) {
        const int wait = timer.WaitMs(wireBytes, baud);
        const auto sent = std::chrono::steady_clock::now();
        result = exchange(wait);
        if (result == LINK_OK) {
            timer.Note(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count(),
                       wireBytes, baud);
            return result;
        }
        if (result != LINK_TIMEOUT)
            return result;
        const bool isQuick = timer.IsQuick(wait) && ++quick <= quickAttempts;
        if (!isQuick)
            ++slow;
        if (onLoss)
            onLoss(CAnswerLoss{wait, isQuick, slow, isQuick || slow < attempts});
        if (isQuick)
            std::this_thread::sleep_for(std::chrono::milliseconds(timer.QuietMs()));
    }
    return result;
}

}  // namespace CHERFLoaderLib
