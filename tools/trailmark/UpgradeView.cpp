#include "tools/trailmark/UpgradeView.h"

#include <algorithm>

#include "tools/trailmark/JsonWriter.h"

using namespace CHERFLoaderLib;

namespace {

constexpr int BAR_WIDTH = 30;

std::string Bar(int percent)
{
    // Appended piece by piece: GCC 12 at -O3 takes `"[" + std::string(...)`
    // for an overlapping copy (-Wrestrict) and fails the Release build.
    const int filled = std::clamp(percent, 0, 100) * BAR_WIDTH / 100;
    std::string bar = "[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(BAR_WIDTH - filled), '.');
    bar += ']';
    return bar;
}

}  // namespace

void CUpgradeView::Show(const CRunEvent& event)
{
    m_Progress.Update(event, CRunProgress::Clock::now());
    switch (event.eKind) {
    case CRunEvent::RUN_STARTED: {
        char text[128];
        // Skipping the family check is the user's explicit choice: the first
        // line says so, before anything is written.
        std::snprintf(text, sizeof text, "%s with options 0x%03X%s", event.nAttempt == 1 ? "Upgrade" : "Retry",
                      event.nOptions,
                      (event.nOptions & HLO_SKIP_FAMILY_CHECK)
                          ? " (the device-family check is skipped: the package is written whatever the receiver)"
                          : "");
        Message(text);
        break;
    }
    case CRunEvent::MESSAGE:
        Message(event.strText);
        break;
    case CRunEvent::NOTIFICATION:
        ShowNotification(event);
        break;
    case CRunEvent::FINISHED:
        break;
    }
}

void CUpgradeView::ShowNotification(const CRunEvent& event)
{
    const CLoaderNotification& n = event.n;
    if (m_Style == EViewStyle::Quiet)
        return;
    if (m_Style == EViewStyle::Json) {
        CJsonWriter json;
        json.BeginObject();
        json.String("event", "notification");
        json.String("port", m_strPort);
        json.String("name", NotificationName(n.nCode));
        json.Signed("code", n.nCode);
        json.Signed("payload", n.nPayload);
        if (n.nCode == HLN_TEXT || n.nCode == HLN_PHASE_BEGIN || n.nCode == HLN_RETRY)
            json.String("text", n.strText);
        json.EndObject();
        m_Out.Write(json.Text() + "\n");
        m_Out.Flush();
        return;
    }

    switch (n.nCode) {
    case HLN_PHASE_PERCENT:
        if (m_Style == EViewStyle::Terminal) {
            DrawBars();
        } else if (m_Progress.OverallPercent() / 10 != m_nLastPlainPercent / 10) {
            m_nLastPlainPercent = m_Progress.OverallPercent();
            Line("Overall progress: " + std::to_string(m_nLastPlainPercent) + "%");
        }
        break;
    case HLN_PHASE_BEGIN:
        if (m_Style == EViewStyle::Plain)
            Line(n.strText);
        break;
    case HLN_TEXT:
        Message(n.strText);
        break;
    case HLN_RETRY:
        // The engine's text says what failed, why, and whether it is sent again.
        Message("Attempt " + std::to_string(n.nPayload) + " failed: " +
                (n.strText.empty() ? std::string("a packet was lost") : n.strText));
        break;
    case HLN_NO_CANCEL:
        Message("Writing flash: the upgrade can no longer be interrupted");
        break;
    default:
        break;
    }
    m_Out.Flush();
}

void CUpgradeView::Tick()
{
    if (m_Style == EViewStyle::Terminal && m_bBarsShown) {
        DrawBars();
        m_Out.Flush();
    }
}

void CUpgradeView::Line(const std::string& text)
{
    if (m_bPrefix)
        m_Out.Print("[%s] %s\n", m_strPort.c_str(), text.c_str());
    else
        m_Out.Write(text + "\n");
}

void CUpgradeView::Message(const std::string& text)
{
    if (m_Style == EViewStyle::Quiet)
        return;
    if (m_Style == EViewStyle::Json) {
        CJsonWriter json;
        json.BeginObject();
        json.String("event", "message");
        json.String("port", m_strPort);
        json.String("text", text);
        json.EndObject();
        m_Out.Write(json.Text() + "\n");
        m_Out.Flush();
        return;
    }
    ClearBars();
    Line(text);
    if (m_Style == EViewStyle::Terminal && !m_Progress.Phase().empty())
        DrawBars();
    m_Out.Flush();
}

void CUpgradeView::Result(const CReceiverResult& result)
{
    const std::string line = !result.bSuccess   ? "Failed to upgrade GPS firmware"
                             : result.bUnverified ? std::string("GPS firmware ") + UNVERIFIED_TEXT
                                                  : "Successfully upgraded GPS firmware";
    if (m_Style == EViewStyle::Json) {
        CJsonWriter json;
        json.BeginObject();
        json.String("event", "result");
        json.String("port", m_strPort);
        json.Bool("success", result.bSuccess);
        if (result.bSuccess)
            json.Bool("flash_verified", !result.report.bFlashUnverified);
        json.Signed("result", result.report.nResult);
        json.String("result_name", ResultCodeName(result.report.nResult));
        json.String("text", line);
        if (!result.bSuccess)
            json.String("reason", result.strReason);
        json.EndObject();
        m_Out.Write(json.Text() + "\n");
    } else {
        ClearBars();
        Line(line);
        if (!result.bSuccess && !result.strReason.empty())
            Line(result.strReason);
    }
    m_Out.Flush();
}

void CUpgradeView::DrawBars()
{
    // Two lines, redrawn in place: the phase and its bar (with the upload's
    // speed), then the whole run with the time taken and the time left.
    const auto now = CRunProgress::Clock::now();
    std::string speed;
    if (const double rate = m_Progress.BytesPerSecond(now); rate >= 0)
        speed = "  " + FormatSpeed(rate);
    std::string times = "  " + FormatDuration(m_Progress.Elapsed(now)) + " elapsed";
    if (const double left = m_Progress.SecondsLeft(now); left >= 0)
        times += ", " + FormatDuration(left) + " left";
    if (m_bBarsShown)
        m_Out.Print("\033[2A");
    m_Out.Print("\r\033[2K%-22s %s %3d%%%s\n", m_Progress.Phase().c_str(), Bar(m_Progress.PhasePercent()).c_str(),
                m_Progress.PhasePercent(), speed.c_str());
    m_Out.Print("\r\033[2K%-22s %s %3d%%%s\n", "Overall progress", Bar(m_Progress.OverallPercent()).c_str(),
                m_Progress.OverallPercent(), times.c_str());
    m_bBarsShown = true;
}

void CUpgradeView::ClearBars()
{
    if (!m_bBarsShown)
        return;
    m_Out.Print("\033[2A\r\033[J");
    m_bBarsShown = false;
}
