// WM_LOADER_NOTIFY: one engine notification on its way to the progress page.
//
// The engine calls its sink on its own threads; the sink wraps the
// notification in this event and posts it to the page with
// QCoreApplication::postEvent, which is safe from any thread. Qt delivers
// posted events of one receiver one at a time on the receiver's (the
// user-interface) thread, in posting order, and drops those still queued when
// the receiver is destroyed. Each event carries the number of the run that
// sent it so the page can tell a finished run's late notifications from the
// current run's.
#pragma once

#include <cstdint>

#include <QEvent>

#include "engine/HERFLoader.h"
#include "wizard/WizardTexts.h"

namespace wizard {

// The message number the engine tags its notifications with lies in Qt's
// range of user event types, so it is used as the event type.
static_assert(WM_LOADER_NOTIFY > QEvent::User && WM_LOADER_NOTIFY < QEvent::MaxUser);

class CLoaderNotifyEvent : public QEvent {
public:
    CLoaderNotifyEvent(const CHERFLoaderLib::CLoaderNotification& notification, uint32_t nRun)
        : QEvent(static_cast<QEvent::Type>(WM_LOADER_NOTIFY)), m_Notification(notification),
          m_nRun(nRun)
    {
    }

    const CHERFLoaderLib::CLoaderNotification& Notification() const { return m_Notification; }
    uint32_t Run() const { return m_nRun; }

private:
    CHERFLoaderLib::CLoaderNotification m_Notification;
    uint32_t m_nRun;
};

}  // namespace wizard
