#include "tools/trailmark/TrayView.h"

#include <algorithm>

#include "tools/trailmark/RunSummary.h"

using namespace CHERFLoaderLib;

namespace {

constexpr int REDRAW_MS = 250;
constexpr size_t NOTE_WIDTH = 40;

}  // namespace

CTrayView::CTrayView(COutputStream& out, const std::vector<std::string>& ports) : m_Out(out)
{
    for (const std::string& port : ports) {
        m_Lines.push_back({port, {}, {}, {}});
        m_nPortWidth = std::max(m_nPortWidth, port.size());
    }
}

void CTrayView::Show(const CRunEvent& event)
{
    if (event.nReceiver < 0 || static_cast<size_t>(event.nReceiver) >= m_Lines.size())
        return;
    CLine& line = m_Lines[event.nReceiver];
    line.progress.Update(event, CRunProgress::Clock::now());
    if (event.eKind == CRunEvent::RUN_STARTED && event.nAttempt > 1)
        line.strNote = "retry " + std::to_string(event.nAttempt - 1);
    else if (event.eKind == CRunEvent::MESSAGE)
        line.strNote = event.strText;
    else if (event.eKind == CRunEvent::NOTIFICATION && event.n.nCode == HLN_RETRY)
        line.strNote = "attempt " + std::to_string(event.n.nPayload) + " failed: " + event.n.strText;
    else if (event.eKind == CRunEvent::NOTIFICATION && event.n.nCode == HLN_PHASE_BEGIN)
        line.strNote.clear();
    Tick();
}

void CTrayView::Result(int receiver, const CReceiverResult& result)
{
    if (receiver < 0 || static_cast<size_t>(receiver) >= m_Lines.size())
        return;
    std::string text = std::string(ResultWord(result)) + (result.bSuccess ? " in " : " after ") +
                       FormatDuration(result.dSeconds);
    if (!result.bSuccess)
        text += ": " + result.strReason.substr(0, NOTE_WIDTH * 2);
    m_Lines[receiver].strResult = text;
    Draw();
}

void CTrayView::Tick()
{
    const auto now = CRunProgress::Clock::now();
    if (m_bDrawn && now - m_LastDraw < std::chrono::milliseconds(REDRAW_MS))
        return;
    Draw();
}

void CTrayView::Close()
{
    Draw();
}

void CTrayView::Draw()
{
    const auto now = CRunProgress::Clock::now();
    m_LastDraw = now;
    if (m_bDrawn)
        m_Out.Print("\033[%zuA", m_Lines.size());
    for (const CLine& line : m_Lines) {
        const CRunProgress& p = line.progress;
        std::string state;
        if (!line.strResult.empty()) {
            state = line.strResult;
        } else if (!p.Started() || p.Phase().empty()) {
            state = "waiting";
        } else {
            char percent[16];
            std::snprintf(percent, sizeof percent, "%3d%%", p.OverallPercent());
            state = std::string(percent) + "  " + p.Phase();
            if (const double rate = p.BytesPerSecond(now); rate >= 0)
                state += "  " + FormatSpeed(rate);
            if (const double left = p.SecondsLeft(now); left >= 0)
                state += "  " + FormatDuration(left) + " left";
            if (!line.strNote.empty())
                state += "  (" + line.strNote.substr(0, NOTE_WIDTH) + ")";
        }
        const std::string serial = p.Serial().empty() ? "-" : p.Serial();
        m_Out.Print("\r\033[2K%-*s  %-16s %s\n", static_cast<int>(m_nPortWidth), line.strPort.c_str(),
                    serial.c_str(), state.c_str());
    }
    m_bDrawn = true;
    m_Out.Flush();
}
