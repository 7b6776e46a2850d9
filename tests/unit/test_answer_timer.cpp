// The learnt answer wait: the design's wait until the timer has seen a few
// answers, then the wire time plus several times the receiver's usual time,
// never less than the wire time and an adapter's latency, never more than
// the design's wait.
#include <gtest/gtest.h>

#include "engine/AnswerTimer.h"

using namespace CHERFLoaderLib;

namespace {

// Catches a first loss given up on before the receiver's pace is known, a
// wait shorter than the packet takes on the wire at a low rate (every packet
// would be sent twice), and a slow receiver's answers taken for losses.
TEST(AnswerTimer, WaitsFollowTheAnswersWithinTheirBounds)
{
    struct {
        const char* pszName;
        double dAnswerMs;   // every answer comes after this long
        uint32_t nBytes, nBaud;
        int nMin, nMax;     // the wait after eight such answers
    } rows[] = {
        {"fast line, block at 115200", 100, 1062, 115200, 150, 160},
        {"block at 19200, no time of its own", 610, 1062, 19200, 658, 665},
        {"slow receiver: 900 ms more", 1000, 1062, 115200, 3000, 3000},
        {"tiny answer, margin holds", 3, 28, 115200, 52, 56},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        CAnswerTimer timer(3000);
        EXPECT_EQ(timer.WaitMs(row.nBytes, row.nBaud), 3000) << "no answer seen yet";
        for (int i = 0; i < 8; ++i)
            timer.Note(row.dAnswerMs, row.nBytes, row.nBaud);
        const int wait = timer.WaitMs(row.nBytes, row.nBaud);
        EXPECT_GE(wait, row.nMin);
        EXPECT_LE(wait, row.nMax);
        EXPECT_GE(wait, CAnswerTimer::WireMs(row.nBytes, row.nBaud)) << "never less than the wire time";
    }
}

}  // namespace
