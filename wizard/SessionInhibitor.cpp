#include "wizard/SessionInhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QSessionManager>

#include "wizard/WizardTexts.h"

namespace wizard {

namespace {

const char* const LOGIN1_SERVICE = "org.freedesktop.login1";
const char* const LOGIN1_PATH = "/org/freedesktop/login1";
const char* const LOGIN1_MANAGER = "org.freedesktop.login1.Manager";

// What each lock keeps from happening, and the reason logind shows for it.
struct CLockKind {
    const char* pszWhat;
    const char* pszWhy;
};
const CLockKind LOCK_KINDS[] = {
    {"sleep", WIZ_TEXT_UPGRADE_REASON},
    {"shutdown", WIZ_TEXT_FLASH_WORK_REASON},
};

}  // namespace

CSessionInhibitor::CSessionInhibitor(QObject* pParent) : QObject(pParent)
{
#if QT_CONFIG(sessionmanager)
    if (auto* pApp = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(pApp, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager& manager) { OnCommitDataRequest(manager); });
#endif
}

void CSessionInhibitor::UpgradeBegins()
{
    Take(LOCK_SLEEP);
}

void CSessionInhibitor::FlashWorkBegins()
{
    m_bFlashWork = true;
    Take(LOCK_SHUTDOWN);
}

void CSessionInhibitor::FlashWorkEnds()
{
    m_bFlashWork = false;
    Drop(LOCK_SHUTDOWN);
}

void CSessionInhibitor::UpgradeEnds()
{
    FlashWorkEnds();
    Drop(LOCK_SLEEP);
}

void CSessionInhibitor::Take(ELock eLock)
{
    if (m_aLocks[eLock].isValid() || m_apPending[eLock] != nullptr)
        return;
    // Asked for once; a bus that is not there (or cannot pass descriptors)
    // leaves the machine as it is.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(LOGIN1_SERVICE, LOGIN1_PATH, LOGIN1_MANAGER, "Inhibit");
    call << QString::fromLatin1(LOCK_KINDS[eLock].pszWhat) << QString::fromUtf8(WIZ_TEXT_PROGRAM)
         << QString::fromUtf8(LOCK_KINDS[eLock].pszWhy) << QStringLiteral("block");
    auto* pWatcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    m_apPending[eLock] = pWatcher;
    connect(pWatcher, &QDBusPendingCallWatcher::finished, this, [this, eLock](QDBusPendingCallWatcher* pDone) {
        m_apPending[eLock] = nullptr;
        pDone->deleteLater();
        // No logind, or a refusal: no lock, and nothing to say about it.
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *pDone;
        if (!reply.isError())
            m_aLocks[eLock] = reply.value();
    });
}

void CSessionInhibitor::Drop(ELock eLock)
{
    // A call still on its way is forgotten: its answer, and the descriptor
    // in it, are dropped when it comes.
    delete m_apPending[eLock];
    m_apPending[eLock] = nullptr;
    m_aLocks[eLock] = QDBusUnixFileDescriptor();
}

void CSessionInhibitor::OnCommitDataRequest(QSessionManager& manager)
{
#if QT_CONFIG(sessionmanager)
    // A logout now would stop the run between erase and program; the user
    // learns why from the page, which shows the flash being written.
    if (m_bFlashWork && manager.allowsInteraction())
        manager.cancel();
#else
    (void)manager;
#endif
}

}  // namespace wizard
