// How `trailmark upgrade` shows one receiver's run: progress bars that
// redraw in place on a terminal (with the upload's speed, the time taken and
// the time left), plain lines when piped, one JSON object a line for
// scripts, or only the closing line when asked to be quiet.
//
// When several receivers share the output in the plain style, each line
// starts with "[port] "; JSON events always carry the port. The view turns
// the receiver's events into output; it holds no upgrade logic. All it shows
// goes through a COutputStream, so that output that fails ends only the
// output. Runs on the main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "engine/HERFLoader.h"
#include "tools/trailmark/OutputStream.h"
#include "tools/trailmark/ReceiverRun.h"
#include "tools/trailmark/RunProgress.h"

enum class EViewStyle { Terminal, Plain, Json, Quiet };

class CUpgradeView {
public:
    CUpgradeView(EViewStyle style, COutputStream& out, std::string port, bool prefixLines = false)
        : m_Style(style), m_Out(out), m_strPort(std::move(port)), m_bPrefix(prefixLines)
    {
    }

    void Show(const CRunEvent& event);
    // Redraws the bars so that the times move on while no notification comes.
    void Tick();
    // A line of the program's own (not from the engine).
    void Message(const std::string& text);
    // The closing line; JSON adds the result fields.
    void Result(const CReceiverResult& result);

private:
    void ShowNotification(const CRunEvent& event);
    void DrawBars();
    void ClearBars();
    void Line(const std::string& text);

    EViewStyle m_Style;
    COutputStream& m_Out;
    std::string m_strPort;
    bool m_bPrefix;
    CRunProgress m_Progress;
    int m_nLastPlainPercent = -1;
    bool m_bBarsShown = false;
};
