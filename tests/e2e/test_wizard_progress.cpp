// The wizard's progress page and sheet with a scripted upgrade job, on Qt's
// offscreen platform: texts and bars per event, the retry, warning and time
// lines, the result texts and the receiver's versions from the job's report,
// the whole failure text reachable, Back and Try again, the cancel question,
// the close guards and stopping the job when the wizard closes.
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
#include <QScrollArea>
#include <QScrollBar>

#include "engine/LoaderCodes.h"
#include "tests/e2e/WizardHarness.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/DisplayText.h"
#include "wizard/Finish.h"
#include "wizard/LoaderNotifyEvent.h"
#include "wizard/ScrollText.h"
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
    std::shared_ptr<const CPackageImage> pPackage;
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
    bool Start(const std::string& strPath, std::shared_ptr<const CPackageImage> pPackage, const CPortId& port,
               const CJobSettings& settings, CJobSink sink, std::string& strError) override
    {
        m_pJob->strPath = strPath;
        m_pJob->pPackage = std::move(pPackage);
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
        m_pConnection = new CConnectionPage("pkg/Corvid_FW_v1.82-Boot.q", &PresentPorts, &AcceptedPackage);
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

    void SendKind(CJobEvent::EKind eKind, size_t nJob = 0)
    {
        CJobEvent event;
        event.eKind = eKind;
        event.nAttempt = 2;
        m_Script.jobs.at(nJob)->sink(event);
    }

    // The job ends with the script's report.
    void EndJob(size_t nJob = 0)
    {
        SendKind(CJobEvent::EKind::JobEnds, nJob);
        Pump();
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
    bool BackOffered() const
    {
        QAbstractButton* pBack = m_pSheet->button(QWizard::BackButton);
        return pBack->isVisible() && pBack->isEnabled();
    }
    bool TryAgainOffered() const { return m_pFinish->TryAgainButton()->isVisible(); }

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

// A report of a receiver identified before its first run (and, when `after`,
// again after the upgrade), 42 seconds from start to end.
CJobReport WithFacts(CJobReport report, bool after)
{
    report.dSeconds = 42.4;
    report.receiver.nBoardId = 7;
    report.receiver.wOldAppVersion = 175;
    report.receiver.wOldBootVersion = 120;
    report.receiver.bIdentifiedAfter = after;
    report.receiver.wNowAppVersion = 182;
    report.receiver.wNowBootVersion = 182;
    return report;
}

// Each row ends the job with the report it gives and checks the result
// text, the last phase line and the buttons. Catches: the power text lost,
// a failure or an unverified upgrade shown as a plain success, the job's
// reason missing under the failure text, the versions the receiver reported
// (before, and after when it was identified again) or the time taken left
// out or made up, "Connect to receiver: 100%" as the last label of an
// upgrade, Back or Try again missing after a failure or offered after a
// success, Finish not enabled or closing still barred at the end, the job's
// thread not joined.
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
        const char* pszPhase;
        bool bRetry;
    };
    const std::string strFailed = std::string(WIZ_TEXT_FAILED) + "\r\n\r\n";
    const std::string strBefore = "Before: application v1.75, boot loader v1.20";
    const std::string strNow = "Now: application v1.82, boot loader v1.82";
    const std::string strTime = "Time taken: 0:42";
    const std::vector<CRow> rows = {
        {"upgraded", WithFacts(CFakeScript::Upgraded(), true),
         std::string(WIZ_TEXT_SUCCESS) + "\r\n\r\n" + strBefore + "\r\n" + strNow + "\r\n" + strTime,
         "Upgrade finished: 100%", false},
        {"upgraded, flash unchecked", WithFacts(unverified, true),
         std::string(WIZ_TEXT_UNVERIFIED) + "\r\n\r\n" + strBefore + "\r\n" + strNow + "\r\n" + strTime,
         "Upgrade finished: 100%", false},
        {"power check", power, std::string(WIZ_TEXT_POWER_FAILED) + "\r\n\r\nTime taken: 0:00",
         "Program flash: 37%", true},
        {"failed after its retry, not identified again", WithFacts(failed, false),
         strFailed + failed.strReason + "\r\n\r\n" + strBefore + "\r\n" + strTime, "Program flash: 37%", true},
        {"no run could open the port", portGone, strFailed + portGone.strReason, "Program flash: 37%", true},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        TearDown();
        m_Script = CFakeScript();
        m_Script.report = row.report;
        SetUp();
        ReachProgressPage();
        Play({{HLN_PHASE_BEGIN, 0, "Program flash"}, {HLN_PHASE_PERCENT, 37, nullptr}});
        Send(HLN_NO_CANCEL);
        Send(HLN_RUN, RUN_FINISHED);
        Pump();
        EXPECT_FALSE(FinishEnabled()) << "a run's end is not the job's";
        EndJob();
        EXPECT_EQ(Result(), ToDisplayText(row.strText.c_str()));
        EXPECT_EQ(PhaseLine(), row.pszPhase);
        EXPECT_TRUE(FinishEnabled());
        EXPECT_EQ(BackOffered(), row.bRetry);
        EXPECT_EQ(TryAgainOffered(), row.bRetry);
        EXPECT_TRUE(m_pSheet->m_bAllowClose);
        EXPECT_EQ(m_Script.jobs[0]->nStops, 1);
        EXPECT_EQ(m_Script.jobs.size(), 1u);
    }
}

// Catches: a failure text cut after a few lines (the advice that matters
// comes last), a text wider than its place, or one that cannot be scrolled
// to its end.
TEST_F(WizardProgress, WholeFailureTextCanBeRead)
{
    std::string strReason = "Connect to receiver failed:";
    for (int i = 0; i < 40; ++i)
        strReason += " word" + std::to_string(i);
    strReason += " THE-END";
    m_Script.report = CJobReport();
    m_Script.report.bStarted = true;
    m_Script.report.strReason = strReason;
    ReachProgressPage();
    EndJob();
    QLabel* pLabel = m_pFinish->ResultText();
    QScrollArea* pArea = m_pFinish->ResultArea();
    ASSERT_TRUE(pLabel->text().contains(QString::fromStdString(strReason)));
    EXPECT_TRUE(pLabel->wordWrap());
    EXPECT_LE(pLabel->width(), pArea->viewport()->width()) << "no line may run past the right edge";
    EXPECT_GE(pLabel->height(), pLabel->heightForWidth(pLabel->width())) << "the label must hold every line";
    QScrollBar* pBar = pArea->verticalScrollBar();
    ASSERT_GT(pBar->maximum(), 0) << "a text this long needs the scroll bar";
    pBar->setValue(pBar->maximum());
    Pump();
    const int nBottom = pLabel->mapTo(pArea->viewport(), QPoint(0, pLabel->height())).y();
    EXPECT_LE(nBottom, pArea->viewport()->height()) << "scrolled to its end, the last line shows";
}

// Catches: Try again that starts a job with another port or package, or
// leaves the failure on the page; Back that does not reach the connection
// page, forgets the port there, or leaves Connect unable to start again.
TEST_F(WizardProgress, TryAgainAndBackAfterAFailure)
{
    m_Script.report = CJobReport();
    m_Script.report.bStarted = true;
    m_Script.report.strReason = "Connect to receiver failed: no answer";
    ReachProgressPage();
    EndJob();
    ASSERT_TRUE(TryAgainOffered());
    m_pFinish->TryAgainButton()->click();
    Pump();
    ASSERT_EQ(m_Script.jobs.size(), 2u);
    EXPECT_EQ(m_Script.jobs[1]->port, CPortId::Com(3));
    EXPECT_EQ(m_Script.jobs[1]->strPath, m_Script.jobs[0]->strPath);
    EXPECT_EQ(Result(), ToDisplayText(WIZ_TEXT_UPDATING));
    EXPECT_FALSE(FinishEnabled());
    EXPECT_FALSE(TryAgainOffered());
    EXPECT_FALSE(BackOffered());
    EXPECT_TRUE(m_pFinish->IsRunning());

    EndJob(1);
    ASSERT_TRUE(BackOffered());
    m_pSheet->back();
    ASSERT_EQ(m_pSheet->currentPage(), m_pConnection);
    ASSERT_TRUE(WaitFor([this] { return m_pConnection->isComplete(); }));
    EXPECT_EQ(m_pConnection->PortCombo()->currentIndex(), 2) << "the port chosen before is kept";
    m_pSheet->next();
    ASSERT_EQ(m_pSheet->currentPage(), m_pFinish);
    ASSERT_EQ(m_Script.jobs.size(), 3u);
    EXPECT_EQ(m_Script.jobs[2]->port, CPortId::Com(3));
    EXPECT_FALSE(BackOffered()) << "no way back while the job runs";
}

// Catches: a retry line that does not say what is tried again, one left
// over from an earlier phase, a run the policy adds without a word, a flash
// warning missing while the flash is written or left after it, and no time
// line while the job runs.
TEST_F(WizardProgress, RetryLineWarningAndTimes)
{
    ReachProgressPage();
    QLabel* pRetry = m_pFinish->RetryText();
    Play({{HLN_PHASE_BEGIN, 0, "Upload data"}, {HLN_RETRY, 2, "data block 17 of 302: no answer, sent again"}});
    EXPECT_EQ(pRetry->text(), "Attempt 2 failed: data block 17 of 302: no answer, sent again");
    Play({{HLN_PHASE_BEGIN, 0, "Verify data"}});
    EXPECT_EQ(pRetry->text(), "");
    SendKind(CJobEvent::EKind::RunBegins);
    Play({{HLN_PHASE_BEGIN, 0, "Connect to receiver"},
          {HLN_OVERALL_PERCENT, 5, nullptr},
          {HLN_PHASE_PERCENT, 50, nullptr}});
    EXPECT_EQ(pRetry->text(), "The upgrade is tried again (run 2).") << "kept through the run's first phase";
    EXPECT_FALSE(m_pFinish->TimesText()->text().isEmpty());
    Play({{HLN_PHASE_BEGIN, 0, "Upload monitor"}});
    EXPECT_EQ(pRetry->text(), "");
    EXPECT_FALSE(m_pFinish->WarningText()->isVisible());
    Play({{HLN_NO_CANCEL, 0, nullptr}});
    EXPECT_TRUE(m_pFinish->WarningText()->isVisible());
    EXPECT_EQ(m_pFinish->WarningText()->text(), WIZ_TEXT_FLASH_WARNING);
    Play({{HLN_RUN, RUN_FINISHED, nullptr}});
    EXPECT_FALSE(m_pFinish->WarningText()->isVisible());
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
    EXPECT_TRUE(Result().startsWith(WIZ_TEXT_SUCCESS)) << Result().toStdString();
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
    CQuestionAnswerer answerer(QMessageBox::Yes);
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
    CQuestionAnswerer answerer(QMessageBox::Yes);
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

// Each row closes the wizard one way while the job may still be stopped.
// Catches: Escape or the close box ending the upgrade without a question, a
// question asked twice for one close, "No" that cancels anyway, "Yes" that
// leaves the job running, and a question asked once the flash work has
// begun (when nothing stops the upgrade).
TEST_F(WizardProgress, CancelQuestionBeforeTheFlashWork)
{
    struct CRow {
        const char* pszName;
        bool bCloseBox;
        QMessageBox::StandardButton eAnswer;
        bool bFlashBegun;
        int nAsked;
        bool bClosed;
    };
    const CRow rows[] = {
        {"Escape, no", false, QMessageBox::No, false, 1, false},
        {"Escape, yes", false, QMessageBox::Yes, false, 1, true},
        {"close box, no", true, QMessageBox::No, false, 1, false},
        {"close box, yes", true, QMessageBox::Yes, false, 1, true},
        {"flash work begun", false, QMessageBox::Yes, true, 0, false},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        TearDown();
        m_Script = CFakeScript();
        SetUp();
        ReachProgressPage();
        CFakeJob& job = *m_Script.jobs[0];
        job.bCancelAccepted = job.bMayStop = !row.bFlashBegun;
        CQuestionAnswerer answerer(row.eAnswer);
        if (row.bCloseBox) {
            m_pSheet->close();
        } else {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(m_pSheet.get(), &escape);
        }
        Pump();
        EXPECT_EQ(answerer.Asked(), row.nAsked);
        if (row.nAsked > 0) {
            EXPECT_EQ(answerer.LastText(), WIZ_TEXT_CANCEL_QUESTION);
        }
        EXPECT_EQ(m_pSheet->isVisible(), !row.bClosed);
        EXPECT_EQ(m_pFinish->IsRunning(), !row.bClosed);
        EXPECT_EQ(job.nCancels, row.bClosed ? 1 : 0);
        EXPECT_EQ(job.nStops, row.bClosed ? 1 : 0);
    }
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
    });
    worker.join();
    // In posting order the last lines are these; any other order leaves others.
    EXPECT_TRUE(WaitFor(
        [this] { return OverallLine() == "Overall progress: 100%" && PhaseLine() == "Upload data: 0%"; }))
        << OverallLine().toStdString() << " / " << PhaseLine().toStdString();
    EXPECT_FALSE(FinishEnabled());
}

}  // namespace
