// How `trailmark upgrade` shows a run: progress bars that redraw in place on
// a terminal, plain lines when piped, or one JSON object a line for scripts.
//
// The view turns the engine's notifications into output and keeps what the
// final message needs (the phase that was running, a failed power check).
// It holds no upgrade logic. Runs on the main thread only.
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

    bool PowerFailed() const { return m_bPowerFailed; }
    bool NoCancelSeen() const { return m_bNoCancel; }
    const std::string& PhaseName() const { return m_strPhase; }
    int64_t LastRunPayload() const { return m_nRunPayload; }

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
    bool m_bPowerFailed = false;
    bool m_bNoCancel = false;
    int64_t m_nRunPayload = -1;
};

// Why a run failed, in words, from its result code and the phase that ran.
std::string FailureReason(int32_t result, const std::string& phase, bool powerFailed, bool deviceGone);
