#include "tools/trailmark/UpgradeView.h"

#include "tools/trailmark/JsonWriter.h"

using namespace CHERFLoaderLib;

namespace {

constexpr int BAR_WIDTH = 30;

std::string Bar(int percent)
{
    const int filled = percent * BAR_WIDTH / 100;
    return "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "]";
}

}  // namespace

void CUpgradeView::RunStarted(int attempt, uint32_t options)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s with options 0x%03X", attempt == 1 ? "Upgrade" : "Retry", options);
    Message(text);
}

void CUpgradeView::Show(const CLoaderNotification& n)
{
    if (n.nCode == HLN_PHASE_BEGIN)
        m_strPhase = n.strText;

    if (m_Style == EViewStyle::Json) {
        CJsonWriter json;
        json.BeginObject();
        json.String("event", "notification");
        json.String("name", NotificationName(n.nCode));
        json.Signed("code", n.nCode);
        json.Signed("payload", n.nPayload);
        if (n.nCode == HLN_TEXT || n.nCode == HLN_PHASE_BEGIN)
            json.String("text", n.strText);
        json.EndObject();
        std::fprintf(m_pOut, "%s\n", json.Text().c_str());
        std::fflush(m_pOut);
        return;
    }

    switch (n.nCode) {
    case HLN_OVERALL_PERCENT:
        m_nOverallPercent = static_cast<int>(n.nPayload);
        break;
    case HLN_PHASE_PERCENT:
        m_nPhasePercent = static_cast<int>(n.nPayload);
        if (m_Style == EViewStyle::Terminal) {
            DrawBars();
        } else if (m_nOverallPercent / 10 != m_nLastPlainPercent / 10) {
            m_nLastPlainPercent = m_nOverallPercent;
            std::fprintf(m_pOut, "Overall progress: %d%%\n", m_nOverallPercent);
        }
        break;
    case HLN_PHASE_BEGIN:
        if (m_Style == EViewStyle::Plain)
            std::fprintf(m_pOut, "%s\n", m_strPhase.c_str());
        break;
    case HLN_TEXT:
        Message(n.strText);
        break;
    case HLN_RETRY:
        Message("retrying (attempt " + std::to_string(n.nPayload) + " failed)");
        break;
    case HLN_NO_CANCEL:
        Message("Writing flash: the upgrade can no longer be interrupted");
        break;
    default:
        break;
    }
    std::fflush(m_pOut);
}

void CUpgradeView::Message(const std::string& text)
{
    if (m_Style == EViewStyle::Json) {
        CJsonWriter json;
        json.BeginObject();
        json.String("event", "message");
        json.String("text", text);
        json.EndObject();
        std::fprintf(m_pOut, "%s\n", json.Text().c_str());
        std::fflush(m_pOut);
        return;
    }
    ClearBars();
    std::fprintf(m_pOut, "%s\n", text.c_str());
    if (m_Style == EViewStyle::Terminal && !m_strPhase.empty())
        DrawBars();
    std::fflush(m_pOut);
}

void CUpgradeView::Result(bool success, int32_t result, const std::string& reason)
{
    const std::string line = success ? "Successfully upgraded GPS firmware" : "Failed to upgrade GPS firmware";
    if (m_Style == EViewStyle::Json) {
        CJsonWriter json;
        json.BeginObject();
        json.String("event", "result");
        json.Bool("success", success);
        json.Signed("result", result);
        json.String("result_name", ResultCodeName(result));
        json.String("text", line);
        if (!success)
            json.String("reason", reason);
        json.EndObject();
        std::fprintf(m_pOut, "%s\n", json.Text().c_str());
    } else {
        ClearBars();
        std::fprintf(m_pOut, "%s\n", line.c_str());
        if (!success && !reason.empty())
            std::fprintf(m_pOut, "%s\n", reason.c_str());
    }
    std::fflush(m_pOut);
}

void CUpgradeView::DrawBars()
{
    // Two lines, redrawn in place: the phase and its bar, then the whole run.
    if (m_bBarsShown)
        std::fprintf(m_pOut, "\033[2A");
    std::fprintf(m_pOut, "\r\033[2K%-22s %s %3d%%\n", m_strPhase.c_str(), Bar(m_nPhasePercent).c_str(),
                 m_nPhasePercent);
    std::fprintf(m_pOut, "\r\033[2K%-22s %s %3d%%\n", "Overall progress", Bar(m_nOverallPercent).c_str(),
                 m_nOverallPercent);
    m_bBarsShown = true;
}

void CUpgradeView::ClearBars()
{
    if (!m_bBarsShown)
        return;
    std::fprintf(m_pOut, "\033[2A\r\033[J");
    m_bBarsShown = false;
}

std::string FailureReason(const CRunReport& report)
{
    if (report.bPowerFailed)
        return "Please check that you have external power connected and then try again.";
    std::string reason = DescribeFailure(report);
    if (report.bDeviceGone)
        reason = "the serial device disappeared; " + reason;
    return reason;
}
