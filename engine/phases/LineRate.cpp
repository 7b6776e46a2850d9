// A line rate above 115200 for the monitor link, where the receiver and the
// line take it. Whether a given receiver's monitor does cannot be known in
// advance, so the run asks (0x99 with the rate), checks the new rate at once
// with a few ready checks, and falls back to 115200 without ever leaving the
// monitor unreachable: a monitor whose acknowledgement was lost may have
// switched all the same, so the way back is tried at both rates. Everything
// after the switch (data upload, verify, read-back, flash work) runs at the
// rate reached, the second and third ports with it; the boot loader's own
// speed change stays at 115200.
#include <chrono>
#include <string>
#include <thread>

#include "engine/HERFLoaderImpl.h"
#include "link/ReceiverLines.h"

namespace CHERFLoaderLib {

namespace {
constexpr uint32_t BASE_RATE = 115200;
constexpr int SPEED_ACK_TIMEOUT_MS = 1000;
// The monitor changes its rate right after its acknowledgement has left, so
// by the time the host has the acknowledgement it has nearly switched; the
// ready checks that follow wait for a monitor that is slower to.
constexpr int SPEED_SETTLE_MS = 100;
constexpr int CHECK_TIMEOUT_MS = 300;
constexpr int CHECKS = 3;
}  // namespace

void CHERFLoaderImpl::SetMonitorLineRate(uint32_t baud)
{
    m_Links.m_PrimaryPort.Configure(LINE_PACKET.WithRate(baud));
    if (m_Links.m_bUseSecondary) {
        m_Links.m_SecondaryPort.Configure(LINE_PACKET_LINES_LOW.WithRate(baud));
        if (m_nOptions & HLO_THIRD_PORT)
            m_Links.m_ThirdPort.Configure(LINE_PACKET_LINES_LOW.WithRate(baud));
    }
    m_nRateNow = baud;
}

bool CHERFLoaderImpl::MonitorAnswersAt(uint32_t baud)
{
    SetMonitorLineRate(baud);
    for (int check = 0; check < CHECKS && !IsCancelled(); ++check)
        if (m_Links.m_MonitorMgr.Command(MON_CMD_READY, CHECK_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK)
            return true;
    return false;
}

// Called at 115200 with the monitor connected; LINK_OK whenever the monitor
// answers at the end, at whichever rate.
int CHERFLoaderImpl::RaiseLineRate()
{
    const uint32_t rate = m_nLineRate;
    const std::string wanted = std::to_string(rate) + " baud";
    m_Run.NoteLineRate(BASE_RATE, false);
    const int asked = m_Links.m_MonitorMgr.Command(MON_CMD_SET_SPEED, SPEED_ACK_TIMEOUT_MS, rate, 0, 0, nullptr);
    if (asked == LINK_FAILED) {
        m_Run.NoteLineRate(BASE_RATE, true);
        NotifyText(HLN_TEXT, "Line rate: the receiver's monitor does not take " + wanted + "; the upgrade runs at 115200");
        return LINK_OK;
    }
    if (asked == LINK_OK)
        std::this_thread::sleep_for(std::chrono::milliseconds(SPEED_SETTLE_MS));
    // Acknowledged, or not heard at all (the monitor may have switched and
    // its acknowledgement been lost): the new rate is checked first.
    if (MonitorAnswersAt(rate)) {
        m_Run.NoteLineRate(rate, false);
        NotifyText(HLN_TEXT, "Line rate: " + wanted);
        return LINK_OK;
    }
    // Back to 115200 on both sides. The request to return is sent at the
    // new rate (where the monitor should be) and, should it not be heard,
    // again at 115200.
    for (uint32_t at : {rate, BASE_RATE}) {
        SetMonitorLineRate(at);
        m_Links.m_MonitorMgr.Command(MON_CMD_SET_SPEED, SPEED_ACK_TIMEOUT_MS, BASE_RATE, 0, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(SPEED_SETTLE_MS));
        if (MonitorAnswersAt(BASE_RATE)) {
            m_Run.NoteLineRate(BASE_RATE, true, true);
            NotifyText(HLN_TEXT, "Line rate: " + wanted + " does not work on this line (the receiver did not answer "
                                 "at it); back to 115200");
            return LINK_OK;
        }
    }
    m_Run.NoteLineRate(rate, true, true);
    SetError(HLE_UPLOAD_FAILED, "the monitor answers neither at " + wanted +
                                    " nor at 115200 after the change of line rate; nothing was written");
    return LINK_FAILED;
}

}  // namespace CHERFLoaderLib
