// The Qt wizard and the machine's session: the progress page's moments
// through CSessionInhibitor to logind's inhibitor locks, against a logind of
// this test's own on a private message bus that stands for the system bus.
// The wizard's engine is scripted; the locks are the descriptors the fake
// logind handed out, held while the wizard keeps them open.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QLabel>

#include "engine/LoaderCodes.h"
#include "tests/e2e/WizardHarness.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/Finish.h"
#include "wizard/WizardTexts.h"

using namespace wizard;
using namespace CHERFLoaderLib::LoaderCodes;
using CHERFLoaderLib::CJobEvent;
using CHERFLoaderLib::CJobReport;
using CHERFLoaderLib::CJobSettings;
using CHERFLoaderLib::CJobSink;
using CHERFLoaderLib::CPortId;

namespace {

const char* const LOGIN1_SERVICE = "org.freedesktop.login1";

// Answers Inhibit as logind does: with the write end of a pipe; the lock is
// held while any copy of that end is open, which the read end shows.
class CFakeLogind : public QDBusVirtualObject {
public:
    struct CLock {
        QString strWhat, strWho, strWhy, strMode;
        int nFd;
    };
    ~CFakeLogind() override { Forget(); }
    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() != "org.freedesktop.login1.Manager" || message.member() != "Inhibit")
            return false;
        const QList<QVariant> args = message.arguments();
        int fds[2];
        if (args.size() != 4 || pipe(fds) != 0)
            return false;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Locks.push_back({args[0].toString(), args[1].toString(), args[2].toString(), args[3].toString(), fds[0]});
        }
        const QDBusMessage reply = message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[1])));
        close(fds[1]);
        connection.send(reply);
        return true;
    }
    size_t Calls()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Locks.size();
    }
    bool Holds(const char* pszWhat)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const CLock& held : m_Locks) {
            pollfd end = {held.nFd, 0, 0};
            if (held.strWhat == pszWhat && poll(&end, 1, 0) == 0)
                return true;
        }
        return false;
    }
    std::vector<CLock> Locks()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Locks;
    }
    void Forget()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const CLock& held : m_Locks)
            close(held.nFd);
        m_Locks.clear();
    }

private:
    std::mutex m_Mutex;
    std::vector<CLock> m_Locks;
};

// One job: Start answers from the script, the report is a success unless
// the script says otherwise, the sink is kept for the test.
struct CScript {
    std::string strStartError;
    std::optional<CJobReport> report;
    CJobSink sink;
};

class CScriptedJob : public CJobDriver {
public:
    explicit CScriptedJob(CScript& script) : m_Script(script) {}
    bool Start(const std::string&, std::shared_ptr<const CPackageImage>, const CPortId&, const CJobSettings&,
               CJobSink sink, std::string& strError) override
    {
        m_Script.sink = std::move(sink);
        strError = m_Script.strStartError;
        return strError.empty();
    }
    bool Cancel() override { return true; }
    bool MayStop() const override { return true; }
    void Stop() override {}
    CJobReport Report() const override
    {
        if (m_Script.report.has_value())
            return *m_Script.report;
        CJobReport success;
        success.bStarted = true;
        success.bSuccess = true;
        return success;
    }

private:
    CScript& m_Script;
};

class WizardSession : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        TestApp();
        // A private bus, made the system bus before the wizard first asks for it.
        FILE* daemon = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
        char address[512] = {}, pid[32] = {};
        if (daemon != nullptr) {
            if (std::fgets(address, sizeof address, daemon) != nullptr && std::fgets(pid, sizeof pid, daemon) != nullptr)
                s_nDaemon = std::atoi(pid);
            pclose(daemon);
        }
        if (s_nDaemon <= 0)
            return;
        std::string strAddress = address;
        strAddress.erase(strAddress.find_last_not_of("\r\n") + 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", strAddress.c_str(), 1);
        s_pFake = new CFakeLogind;
        QDBusConnection fakeBus = QDBusConnection::connectToBus(QString::fromStdString(strAddress), "fake-logind");
        fakeBus.registerVirtualObject("/org/freedesktop/login1", s_pFake);
    }
    static void TearDownTestSuite()
    {
        QDBusConnection::disconnectFromBus("fake-logind");
        delete s_pFake;
        s_pFake = nullptr;
        if (s_nDaemon > 0)
            kill(s_nDaemon, SIGTERM);
    }
    static QDBusConnection FakeBus() { return QDBusConnection("fake-logind"); }

    static inline pid_t s_nDaemon = 0;
    static inline CFakeLogind* s_pFake = nullptr;
};

enum EAction { ACTIVATE, NO_CANCEL, RUN_ENDS, JOB_ENDS, CLOSE };

struct CStep {
    EAction eAction;
    size_t nCalls;  // Inhibit calls logind has had by then
    bool bSleep;    // the "sleep" lock held after the step
    bool bShutdown;
};

// Each row is an upgrade on a fresh page. Catches: a machine that may sleep
// during an upgrade or shut down during the flash work, a lock that outlives
// the upgrade (the machine never sleeps again) or the flash work, a retry
// that lets the machine sleep between its runs, a lock that arrives after
// the upgrade ended kept for good, and a wizard that shows an error or
// fails when no logind answers.
TEST_F(WizardSession, LocksFollowTheUpgradesMoments)
{
    if (s_nDaemon <= 0 || !FakeBus().isConnected())
        GTEST_SKIP() << "no dbus-daemon to stand for the system bus";
    struct CRow {
        const char* pszName;
        bool bLogind;
        const char* pszStartError;
        std::vector<CStep> steps;
        const char* pszResult;
    };
    const std::vector<CRow> rows = {
        {"upgraded", true, "",
         {{ACTIVATE, 1, true, false},
          {NO_CANCEL, 2, true, true},
          {RUN_ENDS, 2, true, false},
          {JOB_ENDS, 2, false, false}},
         WIZ_TEXT_SUCCESS},
        {"flash work fails, the retry upgrades", true, "",
         {{ACTIVATE, 1, true, false},
          {NO_CANCEL, 2, true, true},
          {RUN_ENDS, 2, true, false},
          {NO_CANCEL, 3, true, true},
          {RUN_ENDS, 3, true, false},
          {JOB_ENDS, 3, false, false}},
         WIZ_TEXT_SUCCESS},
        {"closed before the flash work", true, "", {{ACTIVATE, 1, true, false}, {CLOSE, 1, false, false}}, nullptr},
        {"start refused before logind answered", true, "COM1: no such serial device", {{ACTIVATE, 1, false, false}},
         WIZ_TEXT_FAILED},
        {"no logind", false, "",
         {{ACTIVATE, 0, false, false}, {NO_CANCEL, 0, false, false}, {JOB_ENDS, 0, false, false}}, WIZ_TEXT_SUCCESS},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        s_pFake->Forget();
        if (row.bLogind)
            ASSERT_TRUE(FakeBus().registerService(LOGIN1_SERVICE));
        else
            FakeBus().unregisterService(LOGIN1_SERVICE);
        CScript script;
        script.strStartError = row.pszStartError;
        g_nComPort = 1;
        auto pSheet = std::make_unique<CCustomPropertySheet>(QString::fromUtf8(WIZ_TEXT_CAPTION));
        auto* pConnection = new CConnectionPage("pkg/Corvid_FW_v1.82-Boot.q", &PresentPorts, &AcceptedPackage);
        auto* pFinish = new CFinish("pkg/Corvid_FW_v1.82-Boot.q",
                                    [&script] { return std::make_unique<CScriptedJob>(script); });
        pSheet->addPage(pConnection);
        pSheet->addPage(pFinish);
        pSheet->show();
        ASSERT_TRUE(WaitFor([&] { return pConnection->isComplete(); }));
        for (const CStep& step : row.steps) {
            CJobEvent event;
            event.eKind = step.eAction == JOB_ENDS ? CJobEvent::EKind::JobEnds : CJobEvent::EKind::Notification;
            event.n.nCode = step.eAction == NO_CANCEL ? HLN_NO_CANCEL : HLN_RUN;
            event.n.nPayload = step.eAction == NO_CANCEL ? 0 : RUN_FINISHED;
            if (step.eAction == ACTIVATE) {
                pSheet->next();
            } else if (step.eAction == CLOSE) {
                CQuestionAnswerer answerer(QMessageBox::Yes);  // cancel the upgrade
                pSheet->reject();
            } else {
                script.sink(event);
            }
            QCoreApplication::processEvents();  // the posted event reaches the page
            EXPECT_TRUE(WaitFor([&] {
                return s_pFake->Calls() == step.nCalls && s_pFake->Holds("sleep") == step.bSleep &&
                       s_pFake->Holds("shutdown") == step.bShutdown;
            })) << "after step " << step.eAction << ": " << s_pFake->Calls() << " calls, sleep "
                << s_pFake->Holds("sleep") << ", shutdown " << s_pFake->Holds("shutdown");
        }
        for (const CFakeLogind::CLock& lock : s_pFake->Locks()) {
            EXPECT_EQ(lock.strMode, "block");
            EXPECT_EQ(lock.strWho, WIZ_TEXT_PROGRAM);
            EXPECT_EQ(lock.strWhy, lock.strWhat == "shutdown" ? WIZ_TEXT_FLASH_WORK_REASON : WIZ_TEXT_UPGRADE_REASON);
        }
        if (row.pszResult != nullptr) {
            EXPECT_TRUE(pFinish->ResultText()->text().startsWith(QString::fromUtf8(row.pszResult)))
                << pFinish->ResultText()->text().toStdString();
        }
    }
}

}  // namespace
