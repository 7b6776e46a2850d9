// How `trailmark upgrade` shows many receivers at once on a terminal: one
// line per receiver, redrawn in place, with its port, serial number once
// known, phase, percentage, the upload's speed or the time left, and at the
// end its result. The engine's text lines are not shown (the summary table
// that follows gives each receiver's outcome and reason); retries and the
// program's own messages appear in the receiver's line.
//
// Writes through a COutputStream. Runs on the main thread only.
#pragma once

#include <string>
#include <vector>

#include "tools/trailmark/OutputStream.h"
#include "tools/trailmark/ReceiverRun.h"
#include "tools/trailmark/RunProgress.h"

class CTrayView {
public:
    CTrayView(COutputStream& out, const std::vector<std::string>& ports);

    void Show(const CRunEvent& event);
    void Result(int receiver, const CReceiverResult& result);
    // Redraws every line (no more than a few times a second).
    void Tick();
    // The last drawing, so that the summary follows below it.
    void Close();

private:
    struct CLine {
        std::string strPort;
        CRunProgress progress;
        std::string strNote;    // the latest retry or message
        std::string strResult;  // set once the receiver is done
    };
    void Draw();

    COutputStream& m_Out;
    std::vector<CLine> m_Lines;
    size_t m_nPortWidth = 4;
    bool m_bDrawn = false;
    CRunProgress::Clock::time_point m_LastDraw;
};
