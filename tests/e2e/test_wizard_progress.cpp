// The wizard's progress page and sheet with a scripted upgrade job, on Qt's
// offscreen platform: texts and bars per event, the result texts from the
// job's report, the close guards and stopping the job when the wizard closes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "engine/LoaderCodes.h"
#include "tests/e2e/WizardHarness.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/DisplayText.h"
#include "wizard/Finish.h"
#include "wizard/LoaderNotifyEvent.h"
#include "wizard/WizardTexts.h"

using namespace wizard;
using namespace CHERFLoaderLib::LoaderCodes;
using CHERFLoaderLib::CJobEvent;
using CHERFLoaderLib::CJobReport;
using CHERFLoaderLib::CJobSettings;
using CHERFLoaderLib::CJobSink;
using CHERFLoaderLib::CLoaderNotification;
using CHERFLoaderLib::CPortId;

namespace {

void Pump()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// What the page asked of its job, kept beyond the driver's life.
struct CFakeJob {
    CJobSink sink;
    CPortId port;
    CJobSettings settings;
    std::string strPath;
    int nCancels = 0;
    int nStops = 0;
    bool bAlive = true;           // the driver object exists
    bool bCancelAccepted = true;  // what Cancel answers
    bool bMayStop = true;         // what MayStop answers
};

// The jobs the factory makes, with what Start and Report give.
struct CFakeScript {
    std::vector<std::shared_ptr<CFakeJob>> jobs;
    std::string strStartError;  // Start refuses with it when not empty
    CJobReport report = Upgraded();

    static CJobReport Upgraded()
    {
        CJobReport report;
        report.bStarted = true;
        report.bSuccess = true;
        report.nRuns = 1;
        return report;
    }
};

class CFakeDriver : public CJobDriver {
public:
    CFakeDriver(CFakeScript& script, std::shared_ptr<CFakeJob> pJob) : m_Script(script), m_pJob(std::move(pJob)) {}
    ~CFakeDriver() override { m_pJob->bAlive = false; }
    bool Start(const std::string& strPath, const CPortId& port, const CJobSettings& settings, CJobSink sink,
               std::string& strError) override
    {
        m_pJob->strPath = strPath;
        m_pJob->port = port;
        m_pJob->settings = settings;
        m_pJob->sink = std::move(sink);
        strError = m_Script.strStartError;
        return strError.empty();
    }
    bool Cancel() override
    {
        ++m_pJob->nCancels;
        return m_pJob->bCancelAccepted;
    }
    bool MayStop() const override { return m_pJob->bMayStop; }
    void Stop() override { ++m_pJob->nStops; }
    CJobReport Report() const override { return m_Script.report; }

private:
    CFakeScript& m_Script;
    std::shared_ptr<CFakeJob> m_pJob;
};

struct CStep {
    int32_t nCode;
    int64_t nPayload;
    const char* pszText;
};

class WizardProgress : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        g_nComPort = 1;
        m_pSheet = std::make_unique<CCustomPropertySheet>(QString::fromUtf8(WIZ_TEXT_CAPTION));
        m_pConnection = new CConnectionPage([] { return std::vector<platform::CPortEntry>(); });
        m_pFinish = new CFinish("pkg/Corvid_FW_v1.82-Boot.q", [this] {
            m_Script.jobs.push_back(std::make_shared<CFakeJob>());
            return std::make_unique<CFakeDriver>(m_Script, m_Script.jobs.back());
        });
        m_pSheet->addPage(m_pConnection);
        m_pSheet->addPage(m_pFinish);
    }

    void TearDown() override { m_pSheet.reset(); }

    // Shows the wizard, waits for the port list, picks COM3: and presses
    // Connect.
    void ReachProgressPage()
    {
        m_pSheet->show();
        ASSERT_TRUE(WaitFor([this] { return m_pConnection->isComplete(); }));
        m_pConnection->PortCombo()->setCurrentIndex(2);
        m_pSheet->next();
        ASSERT_EQ(m_pSheet->currentPage(), m_pFinish);
    }

    void Send(int32_t nCode, int64_t nPayload = 0, const char* pszText = nullptr)
    {
        CJobEvent event;
        event.n.nMessage = WM_LOADER_NOTIFY;
        event.n.nCode = nCode;
        event.n.nPayload = nPayload;
        if (pszText != nullptr)
            event.n.strText = pszText;
        m_Script.jobs.at(0)->sink(event);
    }

    void SendKind(CJobEvent::EKind eKind)
    {
        CJobEvent event;
        event.eKind = eKind;
        event.nAttempt = 2;
        m_Script.jobs.at(0)->sink(event);
    }

    void Play(const std::vector<CStep>& steps)
    {
        for (const CStep& step : steps)
            Send(step.nCode, step.nPayload, step.pszText);
        Pump();
    }

    QString PhaseLine() const { return m_pFinish->PhaseText()->text(); }
    QString OverallLine() const { return m_pFinish->OverallText()->text(); }
    QString Result() const { return m_pFinish->ResultText()->text(); }
    bool FinishEnabled() const { return m_pSheet->button(QWizard::FinishButton)->isEnabled(); }

    CFakeScript m_Script;
    std::unique_ptr<CCustomPropertySheet> m_pSheet;
    CConnectionPage* m_pConnection = nullptr;
    CFinish* m_pFinish = nullptr;
};

// Catches: a page that starts the wrong job (port, options, message, path)
// or shows stale texts, or offers a button before the job has ended.
TEST_F(WizardProgress, ActivationStartsOneJobAndShowsInitialState)
{
    ReachProgressPage();
    ASSERT_EQ(m_Script.jobs.size(), 1u);
    const CFakeJob& job = *m_Script.jobs[0];
    EXPECT_EQ(job.settings.nMessage, 0x83E8u);
    EXPECT_EQ(job.port, CPortId::Com(3));
    EXPECT_EQ(job.strPath, "pkg/Corvid_FW_v1.82-Boot.q");
    EXPECT_EQ(job.settings.nOptions, 0x123u);
    EXPECT_TRUE(job.settings.bRetry);

    EXPECT_EQ(PhaseLine(), "Connecting to receiver: 0%");
    EXPECT_EQ(OverallLine(), "Overall progress: 0%");
    EXPECT_EQ(Result(), "Updating GPS Firmware\nPlease wait...");
    EXPECT_EQ(m_pFinish->PhaseProgress()->value(), 0);
    EXPECT_EQ(m_pFinish->OverallProgress()->value(), 0);
    EXPECT_FALSE(FinishEnabled());
    EXPECT_EQ(m_pSheet->button(QWizard::FinishButton)->text(), "Finish");
    EXPECT_FALSE(m_pSheet->button(QWizard::CancelButton)->isVisible());
    EXPECT_FALSE(m_pSheet->button(QWizard::BackButton)->isVisible());
    EXPECT_FALSE(m_pSheet->button(QWizard::HelpButton)->isVisible());
}

// Each row plays notifications into a fresh page and checks both lines and
// bars. Catches: wrong formats, a phase name shown before its percentage, bars
// and lines out of step, notifications that should change nothing changing
// something, payloads outside 0..100 reaching the bars unchecked.
TEST_F(WizardProgress, NotificationTable)
{
    struct CRow {
        const char* pszName;
        std::vector<CStep> steps;
        const char* pszPhase;
        const char* pszOverall;
        int nPhaseBar;
        int nOverallBar;
    };
    const std::vector<CRow> rows = {
        {"percentage before any phase name", {{HLN_PHASE_PERCENT, 37, nullptr}}, ": 37%",
         "Overall progress: 0%", 37, 0},
        {"phase name then percentage",
         {{HLN_PHASE_BEGIN, 0, "Upload data"}, {HLN_PHASE_PERCENT, 37, nullptr}},
         "Upload data: 37%", "Overall progress: 0%", 37, 0},
        {"phase name alone changes no line", {{HLN_PHASE_BEGIN, 0, "Verify data"}},
         "Connecting to receiver: 0%", "Overall progress: 0%", 0, 0},
        {"overall 100", {{HLN_OVERALL_PERCENT, 100, nullptr}}, "Connecting to receiver: 0%",
         "Overall progress: 100%", 0, 100},
        {"runs begin and end, texts, steps and unknown codes change nothing",
         {{HLN_RUN, 0, nullptr},
          {HLN_RUN, RUN_FINISHED, nullptr},
          {HLN_TEXT, 0, "Application version v1.82"},
          {HLN_CONNECT, 1, nullptr},
          {HLN_RETRY, 1, nullptr},
          {HLN_PROGRAM_FLASH, 2, nullptr},
          {99, 5, nullptr},
          {-1, 5, nullptr}},
         "Connecting to receiver: 0%", "Overall progress: 0%", 0, 0},
        {"payloads outside 0..100 are held to the range",
         {{HLN_OVERALL_PERCENT, 250, nullptr}, {HLN_PHASE_PERCENT, -5, nullptr}}, ": 0%",
         "Overall progress: 100%", 0, 100},
        {"later phase replaces the name",
         {{HLN_PHASE_BEGIN, 0, "Upload data"},
          {HLN_PHASE_BEGIN, 0, "Program flash"},
          {HLN_OVERALL_PERCENT, 80, nullptr},
          {HLN_PHASE_PERCENT, 5, nullptr}},
         "Program flash: 5%", "Overall progress: 80%", 5, 80},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        TearDown();
        m_Script = CFakeScript();
        SetUp();
        ReachProgressPage();
        Play(row.steps);
        EXPECT_EQ(PhaseLine(), row.pszPhase);
        EXPECT_EQ(OverallLine(), row.pszOverall);
        EXPECT_EQ(m_pFinish->PhaseProgress()->value(), row.nPhaseBar);
        EXPECT_EQ(m_pFinish->OverallProgress()->value(), row.nOverallBar);
        EXPECT_FALSE(FinishEnabled());
        EXPECT_EQ(m_Script.jobs.size(), 1u);
    }
}

// Each row ends the job with the report it gives and checks the result
// text. Catches: the power text lost, a failure or an unverified upgrade
// shown as a plain success, the job's reason missing under the failure text,
// Finish not enabled or closing still barred at the end, the job's thread
// not joined.
TEST_F(WizardProgress, JobEndShowsWhatTheJobReports)
{
    CJobReport power;
    power.bStarted = true;
    power.last.bPowerFailed = true;
    CJobReport unverified = CFakeScript::Upgraded();
    unverified.bUnverified = true;
    CJobReport failed;
    failed.bStarted = true;
    failed.nRuns = 2;
    failed.strReason = "Prepare flash failed: the receiver could not erase its flash";
    CJobReport portGone;
    portGone.strReason = "COM3: no such serial device";
    struct CRow {
        const char* pszName;
        CJobReport report;
        std::string strText;
    };
    const std::string strFailed = std::string(WIZ_TEXT_FAILED) + "\r\n\r\n";
    const std::vector<CRow> rows = {
        {"upgraded", CFakeScript::Upgraded(), WIZ_TEXT_SUCCESS},
        {"upgraded, flash unchecked", unverified, WIZ_TEXT_UNVERIFIED},
        {"power check", power, WIZ_TEXT_POWER_FAILED},
        {"failed after its retry", failed, strFailed + failed.strReason},
        {"no run could open the port", portGone, strFailed + portGone.strReason},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        TearDown();
        m_Script = CFakeScript();
        m_Script.report = row.report;
        SetUp();
        ReachProgressPage();
        Send(HLN_NO_CANCEL);
        Send(HLN_RUN, RUN_FINISHED);
        Pump();
        EXPECT_FALSE(FinishEnabled()) << "a run's end is not the job's";
        SendKind(CJobEvent::EKind::JobEnds);
        Pump();
        EXPECT_EQ(Result(), ToDisplayText(row.strText.c_str()));
        EXPECT_TRUE(FinishEnabled());
        EXPECT_TRUE(m_pSheet->m_bAllowClose);
        EXPECT_EQ(m_Script.jobs[0]->nStops, 1);
        EXPECT_EQ(m_Script.jobs.size(), 1u);
    }
}

// Catches: a retry's events not shown on the same page, or anything the job
// sends after its end changing the shown result.
TEST_F(WizardProgress, RetryContinuesOnThePageAndNothingFollowsTheEnd)
{
    ReachProgressPage();
    Send(HLN_RUN, RUN_FINISHED);
    SendKind(CJobEvent::EKind::RunBegins);
    Play({{HLN_PHASE_BEGIN, 0, "Upload data"}, {HLN_PHASE_PERCENT, 40, nullptr}});
    EXPECT_EQ(PhaseLine(), "Upload data: 40%");
    EXPECT_FALSE(FinishEnabled());
    SendKind(CJobEvent::EKind::JobEnds);
    Send(HLN_OVERALL_PERCENT, 55);
    Pump();
    EXPECT_EQ(Result(), WIZ_TEXT_SUCCESS);
    EXPECT_EQ(OverallLine(), "Overall progress: 0%");
}

// Catches: a page frozen at "Connecting to receiver: 0%" with Finish
// disabled when the job cannot start, or a failure shown without its reason.
TEST_F(WizardProgress, StartThatFailsSaysWhyAndLetsTheUserClose)
{
    m_Script.strStartError = "cannot open pkg/Corvid_FW_v1.82-Boot.q: No such file or directory";
    ReachProgressPage();
    Pump();
    EXPECT_EQ(Result(), QString::fromUtf8(WIZ_TEXT_FAILED) + "\n\n" + QString::fromStdString(m_Script.strStartError));
    EXPECT_TRUE(FinishEnabled());
    EXPECT_TRUE(m_pSheet->m_bAllowClose);
    EXPECT_FALSE(m_pFinish->IsRunning());
    m_pSheet->close();
    EXPECT_FALSE(m_pSheet->isVisible());
}

// Catches: a close let through because HLN_NO_CANCEL is still queued while
// the job has already begun the flash work.
TEST_F(WizardProgress, CloseRefusedWhenTheJobSaysTheFlashWorkHasBegun)
{
    ReachProgressPage();
    CFakeJob& job = *m_Script.jobs[0];
    job.bCancelAccepted = false;
    job.bMayStop = false;
    ASSERT_TRUE(m_pSheet->m_bAllowClose) << "the notification has not arrived";
    m_pSheet->reject();
    EXPECT_FALSE(m_pSheet->close());
    Pump();
    EXPECT_TRUE(m_pSheet->isVisible());
    EXPECT_TRUE(m_pFinish->IsRunning());
    EXPECT_EQ(job.nStops, 0);
    // Once the job has finished its flash work, stopping is harmless again.
    job.bMayStop = true;
    m_pSheet->reject();
    EXPECT_FALSE(m_pSheet->isVisible());
    EXPECT_EQ(job.nStops, 1);
}

// Catches: any way of closing the wizard getting through while the run may
// not be interrupted, or staying refused once the result is shown.
TEST_F(WizardProgress, CloseRefusedWhileBarredAndAllowedAfter)
{
    ReachProgressPage();
    Send(HLN_NO_CANCEL);
    Pump();
    ASSERT_FALSE(m_pSheet->m_bAllowClose);

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QKeyEvent altF4(QEvent::KeyPress, Qt::Key_F4, Qt::AltModifier);
    QCoreApplication::sendEvent(m_pSheet.get(), &escape);
    QCoreApplication::sendEvent(m_pSheet.get(), &enter);
    QCoreApplication::sendEvent(m_pSheet.get(), &altF4);
    m_pSheet->reject();
    m_pSheet->accept();
    m_pSheet->done(0);
    EXPECT_FALSE(m_pSheet->close());
    Pump();
    EXPECT_TRUE(m_pSheet->isVisible());
    EXPECT_TRUE(m_pFinish->IsRunning());
    EXPECT_EQ(m_Script.jobs[0]->nStops, 0);

    Send(HLN_RUN, RUN_FINISHED);
    SendKind(CJobEvent::EKind::JobEnds);
    Pump();
    ASSERT_TRUE(m_pSheet->m_bAllowClose);
    QKeyEvent escapeAfter(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(m_pSheet.get(), &escapeAfter);
    EXPECT_FALSE(m_pSheet->isVisible());
}

// Catches: closing the wizard during a job that may still be interrupted
// leaving it running (its thread posting to a freed page).
TEST_F(WizardProgress, CloseWhileCancellableStopsTheRun)
{
    ReachProgressPage();
    ASSERT_TRUE(m_pSheet->m_bAllowClose);
    m_pSheet->reject();
    EXPECT_FALSE(m_pSheet->isVisible());
    const CFakeJob& job = *m_Script.jobs[0];
    EXPECT_GE(job.nCancels, 1);
    EXPECT_EQ(job.nStops, 1);
    EXPECT_FALSE(m_pFinish->IsRunning());
    // Whatever the stopped job had queued is dropped.
    SendKind(CJobEvent::EKind::JobEnds);
    Pump();
    EXPECT_EQ(m_Script.jobs.size(), 1u);
    EXPECT_FALSE(FinishEnabled());
}

// Catches: destroying the wizard with a job going not stopping it.
TEST_F(WizardProgress, DestroyingTheSheetStopsTheJob)
{
    ReachProgressPage();
    std::shared_ptr<CFakeJob> pJob = m_Script.jobs[0];
    m_pSheet.reset();
    EXPECT_EQ(pJob->nStops, 1);
    EXPECT_FALSE(pJob->bAlive);
}

// Catches: events posted from the job's thread arriving out of order or
// touching widgets off the user-interface thread (TSan/ASan would see it).
TEST_F(WizardProgress, EventsFromTheJobThreadArriveInOrder)
{
    ReachProgressPage();
    CJobSink jobSink = m_Script.jobs[0]->sink;
    std::thread worker([jobSink] {
        const auto sink = [&jobSink](const CLoaderNotification& n) {
            CJobEvent event;
            event.n = n;
            jobSink(event);
        };
        CLoaderNotification n;
        n.nCode = HLN_PHASE_BEGIN;
        n.strText = "Upload data";
        sink(n);
        n.strText.clear();
        for (int i = 0; i <= 100; ++i) {
            n.nCode = HLN_OVERALL_PERCENT;
            n.nPayload = i;
            sink(n);
            n.nCode = HLN_PHASE_PERCENT;
            n.nPayload = 100 - i;
            sink(n);
        }
        n.nCode = HLN_RUN;
        n.nPayload = RUN_FINISHED;
        sink(n);
        CJobEvent end;
        end.eKind = CJobEvent::EKind::JobEnds;
        jobSink(end);
    });
    worker.join();
    ASSERT_TRUE(WaitFor([this] { return FinishEnabled(); }));
    EXPECT_EQ(OverallLine(), "Overall progress: 100%");
    EXPECT_EQ(PhaseLine(), "Upload data: 0%");
    EXPECT_EQ(Result(), WIZ_TEXT_SUCCESS);
}

}  // namespace
