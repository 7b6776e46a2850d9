// Notifications and progress of one upgrade run: the front end's sink, the
// phase plan and its progress arithmetic.
//
// A group of the upgrade session (HERFLoaderImpl.h), which posts through it
// for every phase. Threading: Post, PostText and UpdateProgress may be called
// from any thread of the run, two at once during the data upload. The plan is
// built by Start on the front end's thread before the worker exists and then
// walked by the worker alone, under the same lock as the progress updates,
// so that a progress value always belongs to the phase it was meant for.
// After Mute returns the sink is never called again.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "engine/HERFLoader.h"
#include "engine/PhasePlan.h"

namespace CHERFLoaderLib {

class CSessionProgress {
public:
    CSessionProgress(CNotifySink sink, uint32_t message);

    // One notification to the sink, unless muted.
    void Post(int32_t code, int64_t payload);
    void PostText(int32_t code, const std::string& text);
    // A notification with both a number and a text (HLN_RETRY).
    void PostNumberText(int32_t code, int64_t payload, const std::string& text);
    // HLN_PHASE_BEGIN with the phase's name, kind and the bytes it carries.
    void PostPhaseBegin(const CFlashPhase& phase, uint32_t bytes);
    void Mute();

    // Sets the current phase's progress value and posts HLN_OVERALL_PERCENT
    // and HLN_PHASE_PERCENT together.
    void UpdateProgress(double value);

    // The plan, for Start to build before the worker exists.
    CFlashPhaseMgr& Plan() { return m_PhaseMgr; }
    // The worker's walk through the plan.
    void ResetPlan();
    CFlashPhase* CurrentPhase() { return m_PhaseMgr.GetCurrentPhase(); }
    bool Advance();

private:
    void Deliver(const CLoaderNotification& notification);

    CFlashPhaseMgr m_PhaseMgr;
    std::mutex m_ProgressLock;  // the plan's current phase and its value
    CNotifySink m_Sink;
    uint32_t m_nNotifyMsg = 0;
    std::mutex m_NotifyLock;
    bool m_bMuted = false;      // under m_NotifyLock
};

}  // namespace CHERFLoaderLib
