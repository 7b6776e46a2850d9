// How long to wait for the receiver's answer to one packet, learnt from the
// answers the run has had so far.
//
// The design's waits (3000 ms for a data block, 1000 ms for a ready check,
// 5000 ms for a flash command) are the ceiling, for a receiver that is slow to
// answer. On a line that answers in milliseconds a lost byte must not cost
// that much: an answer takes the wire time of the packet and its answer at
// the line's rate, plus the receiver's own time and the adapter's latency.
// The timer keeps a smoothed mean and spread of that excess over the wire
// time (as a network protocol keeps its round trips) and gives up after
// several times it, never sooner than the wire time plus a margin for a USB
// adapter's latency timer, and never later than the ceiling. Until it has
// seen a few answers it waits the ceiling.
//
// Plain data; one timer is used by one thread.
#pragma once

#include <cstdint>
#include <functional>

namespace CHERFLoaderLib {

class CAnswerTimer {
public:
    explicit CAnswerTimer(int ceilingMs) : m_nCeilingMs(ceilingMs) {}

    // The wait for the answer to a packet of `bytes` (packet and answer, on
    // the wire) at `baud`.
    int WaitMs(uint32_t bytes, uint32_t baud) const;
    // How long the line is left quiet after a quick loss, so that a late
    // answer to the lost attempt arrives (and is purged) before the next
    // exchange: the answer's usual excess, without the wire time.
    int QuietMs() const;
    // An answer came `elapsedMs` after the packet was handed to the port.
    void Note(double elapsedMs, uint32_t bytes, uint32_t baud);
    // Whether a wait of `waitMs` was shorter than the ceiling: its time-out
    // is a quick loss, worth another attempt.
    bool IsQuick(int waitMs) const { return waitMs < m_nCeilingMs; }
    int Samples() const { return m_nSamples; }

    // 11 bits a byte on the 8O1 packet line.
    static double WireMs(uint32_t bytes, uint32_t baud);

private:
    int m_nCeilingMs;
    int m_nSamples = 0;
    double m_dMeanMs = 0;    // smoothed excess over the wire time
    double m_dSpreadMs = 0;  // smoothed mean deviation of it
};

// What a lost answer was: how long it was waited for, whether the loss was
// quick (asked again after a moment of quiet, no attempt counted), the
// attempts that failed after a full wait so far, and whether it is asked
// again.
struct CAnswerLoss {
    int nWaitMs;
    bool bQuick;
    int nFailed;
    bool bAgain;
};

// One exchange whose wait `timer` learns. `exchange` sends the packet and
// waits the given time (a LINK_* result). A loss quicker than the timer's
// ceiling is tried again after a moment of quiet, up to `quickAttempts`
// times in all; a full wait counts as one of `attempts`. An answer (also a
// refusal) ends it at once; `onLoss` is called for every time-out.
int TimedExchange(CAnswerTimer& timer, uint32_t wireBytes, uint32_t baud, int attempts, int quickAttempts,
                  const std::function<int(int waitMs)>& exchange,
                  const std::function<void(const CAnswerLoss& loss)>& onLoss);

}  // namespace CHERFLoaderLib
