// CSessionInhibitor: what the Qt wizard tells the machine while an upgrade
// runs.
//
// On Linux the machine is kept from sleeping through logind's inhibitor
// locks on the system bus (org.freedesktop.login1.Manager.Inhibit, mode
// "block"): "sleep" from the upgrade's beginning to its end, and "shutdown"
// as well while the receiver's flash is written, since a receiver cut off
// between erase and program has no firmware. logind hands each lock out as
// a file descriptor and holds it while the descriptor is open; dropping the
// descriptor gives the lock back. While the flash is written the wizard also
// cancels a logout that the session manager announces
// (QGuiApplication::commitDataRequest), where the session manager lets it
// interact with the user.
//
// Without a system bus, without logind, or when logind refuses (its policy
// may), nothing happens and nothing is shown: the wizard works as it does
// without the locks.
//
// The progress page calls it at the flow's moments (ProgressFlow.h). The bus
// calls are asynchronous, so the page never waits for logind; a lock that
// arrives after the moment that asked for it has passed is dropped at once.
//
// Threading: user-interface thread only.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

class QDBusPendingCallWatcher;
class QSessionManager;

namespace wizard {

class CSessionInhibitor : public QObject {
public:
    explicit CSessionInhibitor(QObject* pParent = nullptr);

    void UpgradeBegins();
    void FlashWorkBegins();
    void FlashWorkEnds();
    void UpgradeEnds();

    // Whether logind's "sleep" or "shutdown" lock is held now.
    bool HoldsSleepLock() const { return m_aLocks[LOCK_SLEEP].isValid(); }
    bool HoldsShutdownLock() const { return m_aLocks[LOCK_SHUTDOWN].isValid(); }

private:
    enum ELock { LOCK_SLEEP, LOCK_SHUTDOWN, LOCK_COUNT };
    void Take(ELock eLock);
    void Drop(ELock eLock);
    void OnCommitDataRequest(QSessionManager& manager);

    QDBusUnixFileDescriptor m_aLocks[LOCK_COUNT];
    QDBusPendingCallWatcher* m_apPending[LOCK_COUNT] = {};  // an Inhibit call not yet answered
    bool m_bFlashWork = false;
};

}  // namespace wizard
