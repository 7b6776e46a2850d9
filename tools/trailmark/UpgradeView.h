// How `trailmark upgrade` shows a run: progress bars that redraw in place on
// a terminal, plain lines when piped, or one JSON object a line for scripts.
//
// The view turns the engine's notifications into output; the closing line's
// reason comes from the run's report. It holds no upgrade logic. Runs on the
// main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/HERFLoader.h"

enum class EViewStyle { Terminal, Plain, Json };

class CUpgradeView {
public:
    CUpgradeView(EViewStyle style, FILE* out) : m_Style(style), m_pOut(out) {}

    void Show(const CHERFLoaderLib::CLoaderNotification& notification);
    // A line of the program's own (not from the engine).
    void Message(const std::string& text);
    // The closing line; JSON adds the result fields.
    void Result(bool success, int32_t result, const std::string& reason);
    void RunStarted(int attempt, uint32_t options);

private:
    void DrawBars();
    void ClearBars();

    EViewStyle m_Style;
    FILE* m_pOut;
    std::string m_strPhase;
    int m_nPhasePercent = 0;
    int m_nOverallPercent = 0;
    int m_nLastPlainPercent = -1;
    bool m_bBarsShown = false;
};

// Why a run failed, in words a person can act on, from its report.
std::string FailureReason(const CHERFLoaderLib::CRunReport& report);
