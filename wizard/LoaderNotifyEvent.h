// WM_LOADER_NOTIFY: one event of the upgrade job on its way to the progress
// page.
//
// The job calls its sink on its own thread; the sink wraps the event in this
// Qt event and posts it to the page with QCoreApplication::postEvent, which
// is safe from any thread. Qt delivers posted events of one receiver one at a
// time on the receiver's (the user-interface) thread, in posting order, and
// drops those still queued when the receiver is destroyed. Each event carries
// the number of the job that sent it so the page can tell a stopped job's
// late events from the current job's.
#pragma once

#include <cstdint>

#include <QEvent>

#include "engine/UpgradeJob.h"
#include "wizard/WizardTexts.h"

namespace wizard {

// The message number the engine tags its notifications with lies in Qt's
// range of user event types, so it is used as the event type.
static_assert(WM_LOADER_NOTIFY > QEvent::User && WM_LOADER_NOTIFY < QEvent::MaxUser);

class CLoaderNotifyEvent : public QEvent {
public:
    CLoaderNotifyEvent(const CHERFLoaderLib::CJobEvent& event, uint32_t nJob)
        : QEvent(static_cast<QEvent::Type>(WM_LOADER_NOTIFY)), m_Event(event), m_nJob(nJob)
    {
    }

    const CHERFLoaderLib::CJobEvent& Event() const { return m_Event; }
    uint32_t Job() const { return m_nJob; }

private:
    CHERFLoaderLib::CJobEvent m_Event;
    uint32_t m_nJob;
};

}  // namespace wizard
