// The wizard's progress page and sheet with a scripted engine, on Qt's
// offscreen platform: texts and bars per notification, the retry, the result
// texts, the close guards and stopping a run when the wizard closes.
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
using CHERFLoaderLib::CLoaderNotification;
using CHERFLoaderLib::CNotifySink;
using CHERFLoaderLib::CRunReport;

namespace {

void Pump()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// What one engine of the page was asked to do, kept beyond the engine's life.
struct CFakeRun {
    CNotifySink sink;
    uint32_t nMessage = 0;
    int32_t anPorts[3] = {0, 0, 0};
    std::string strPath;
    uint32_t nOptions = 0;
    CRunReport report;
    int nCancels = 0;
    int nDestroys = 0;
    bool bAlive = true;          // the engine object exists
    bool bCancelAccepted = true;  // what Cancel answers
    bool bMayStop = true;         // what MayStop answers
};

// The engines the factory makes, one per run, with the reports they give.
struct CFakeScript {
    std::vector<std::shared_ptr<CFakeRun>> runs;
    std::vector<int32_t> startResults;  // Start's answer per run; 0 when not given
    std::vector<CRunReport> reports;    // the report per run; a success when not given
};

// The report of a run that started and ended with this result.
CRunReport Ended(int32_t nResult, bool bReached = true, int32_t nFailedStep = -1, const char* pszError = "")
{
    CRunReport report;
    report.bStarted = true;
    report.nResult = nResult;
    report.bReachedBootLoader = bReached;
    report.nFailedStep = nFailedStep;
    report.strError = pszError;
    return report;
}

// The report of a Start that refused.
CRunReport NotStarted(const char* pszError)
{
    CRunReport report;
    report.strError = pszError;
    return report;
}

class CFakeEngine : public CLoaderDriver {
public:
    CFakeEngine(CFakeScript& script, std::shared_ptr<CFakeRun> pRun)
        : m_Script(script), m_pRun(std::move(pRun)), m_nIndex(script.runs.size() - 1)
    {
    }
    ~CFakeEngine() override { m_pRun->bAlive = false; }
    void Create(CNotifySink sink, uint32_t nMessage) override
    {
        m_pRun->sink = std::move(sink);
        m_pRun->nMessage = nMessage;
    }
    void SetPortNumbers(int32_t a, int32_t b, int32_t c) override
    {
        m_pRun->anPorts[0] = a;
        m_pRun->anPorts[1] = b;
        m_pRun->anPorts[2] = c;
    }
    int32_t Start(const char* pszPath, uint32_t nOptions) override
    {
        m_pRun->strPath = pszPath;
        m_pRun->nOptions = nOptions;
        m_pRun->report = m_nIndex < m_Script.reports.size() ? m_Script.reports[m_nIndex] : Ended(HLE_NONE);
        return m_nIndex < m_Script.startResults.size() ? m_Script.startResults[m_nIndex] : 0;
    }
    int32_t GetResult() const override
    {
        return m_pRun->nDestroys > 0 ? HLE_NO_SESSION : m_pRun->report.nResult;
    }
    bool Cancel() override
    {
        ++m_pRun->nCancels;
        return m_pRun->bCancelAccepted;
    }
    bool MayStop() const override { return m_pRun->bMayStop; }
    CRunReport GetRunReport() const override { return m_pRun->report; }
    void Destroy() override { ++m_pRun->nDestroys; }

private:
    CFakeScript& m_Script;
    std::shared_ptr<CFakeRun> m_pRun;
    size_t m_nIndex;
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
            m_Script.runs.push_back(std::make_shared<CFakeRun>());
            return std::make_unique<CFakeEngine>(m_Script, m_Script.runs.back());
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

    void Send(int32_t nCode, int64_t nPayload = 0, const char* pszText = nullptr, size_t nRun = 0)
    {
        CLoaderNotification n;
        n.nMessage = WM_LOADER_NOTIFY;
        n.nCode = nCode;
        n.nPayload = nPayload;
        if (pszText != nullptr)
            n.strText = pszText;
        m_Script.runs.at(nRun)->sink(n);
    }

    void Play(const std::vector<CStep>& steps, size_t nRun = 0)
    {
        for (const CStep& step : steps)
            Send(step.nCode, step.nPayload, step.pszText, nRun);
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

// Catches: a page that starts the wrong engine (port, options, message, path)
// or shows stale texts, or offers a button before the run has ended.
TEST_F(WizardProgress, ActivationStartsOneEngineAndShowsInitialState)
{
    ReachProgressPage();
    ASSERT_EQ(m_Script.runs.size(), 1u);
    const CFakeRun& run = *m_Script.runs[0];
    EXPECT_EQ(run.nMessage, 0x83E8u);
    EXPECT_EQ(run.anPorts[0], 3);
    EXPECT_EQ(run.anPorts[1], 2);
    EXPECT_EQ(run.anPorts[2], 4);
    EXPECT_EQ(run.strPath, "pkg/Corvid_FW_v1.82-Boot.q");
    EXPECT_EQ(run.nOptions, 0x123u);

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
        {"run begins, texts, steps and unknown codes change nothing",
         {{HLN_RUN, 0, nullptr},
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
        EXPECT_EQ(m_Script.runs.size(), 1u);
    }
}

// Each row ends the first run (and, where the page retries, the second) with
// the reports the engine gives and checks the result text, how many engines
// ran and the retry's options. Catches: a missing or doubled retry, a retry
// that loosens a check or reaches the receiver another way than the policy
// says, the power text lost, a refused check or a cancel retried or shown as
// success, the failing step and its reason missing under the result text,
// Finish not enabled or closing still barred at the end.
TEST_F(WizardProgress, EndOfRunTable)
{
    CRunReport power = Ended(HLE_CONNECT_FAILED, true, HLN_CONNECT);
    power.bPowerFailed = true;
    CRunReport refused = Ended(HLE_NONE, true, HLN_APP_VERSION_CHECK,
                               "the package's application v1.82 is not newer than the receiver's v1.82");
    refused.bCheckRefused = true;
    CRunReport cancelled = Ended(HLE_CANCELLED, true, -1, "the upgrade was cancelled");
    cancelled.bCancelled = true;
    const CRunReport eraseRefused =
        Ended(HLE_PREPARE_FAILED, true, HLN_PREPARE_FLASH, "the receiver could not erase its flash");
    const CRunReport unreached = Ended(HLE_CONNECT_FAILED, false, HLN_CONNECT, "the receiver did not answer");
    struct CRow {
        const char* pszName;
        std::vector<CRunReport> reports;
        std::string strText;
        size_t nRuns;
        uint32_t nRetryOptions;
    };
    const std::string strFailed = std::string(WIZ_TEXT_FAILED) + "\r\n\r\n";
    const std::vector<CRow> rows = {
        {"success", {Ended(HLE_NONE)}, WIZ_TEXT_SUCCESS, 1, 0},
        {"power check", {power}, WIZ_TEXT_POWER_FAILED, 1, 0},
        {"refused check with result 0", {refused},
         strFailed + "App Version check failed: the package's application v1.82 is not newer than the "
                     "receiver's v1.82",
         1, 0},
        {"cancelled", {cancelled}, strFailed + "the upgrade was cancelled", 1, 0},
        {"package refused", {Ended(HLE_PACKAGE_REFUSED, true, -1, "RAM too small")}, strFailed + "RAM too small", 1, 0},
        {"unreached, retry the other way succeeds", {unreached, Ended(HLE_NONE)}, WIZ_TEXT_SUCCESS, 2, 0x33},
        {"reached, retry the same way fails too", {eraseRefused, eraseRefused},
         strFailed + "Prepare flash failed: the receiver could not erase its flash", 2, 0x123},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        TearDown();
        m_Script = CFakeScript();
        m_Script.reports = row.reports;
        SetUp();
        ReachProgressPage();
        Send(HLN_NO_CANCEL);
        Send(HLN_RUN, RUN_FINISHED);
        Pump();
        ASSERT_EQ(m_Script.runs.size(), row.nRuns);
        EXPECT_EQ(m_Script.runs[0]->nDestroys, 1);
        if (row.nRuns == 2) {
            const CFakeRun& retry = *m_Script.runs[1];
            EXPECT_EQ(retry.nOptions, row.nRetryOptions);
            EXPECT_EQ(retry.anPorts[0], 3);
            EXPECT_EQ(retry.anPorts[1], 2);
            EXPECT_EQ(retry.anPorts[2], 4);
            EXPECT_FALSE(m_Script.runs[0]->bAlive) << "the first engine is replaced";
            EXPECT_FALSE(FinishEnabled()) << "the page waits for the retry";
            Play({{HLN_PHASE_BEGIN, 0, "Upload data"}, {HLN_PHASE_PERCENT, 40, nullptr}}, 1);
            EXPECT_EQ(PhaseLine(), "Upload data: 40%") << "the retry's notifications are shown";
            Send(HLN_RUN, RUN_FINISHED, nullptr, 1);
            Pump();
            ASSERT_EQ(m_Script.runs.size(), 2u) << "only one retry";
        }
        EXPECT_EQ(Result(), ToDisplayText(row.strText.c_str()));
        EXPECT_TRUE(FinishEnabled());
        EXPECT_TRUE(m_pSheet->m_bAllowClose);
    }
}

// Catches: a phase's HLN_RUN 3 taken as the end of the run (the engine still
// closes its links and completes its report), or the run's usual HLN_RUN 1
// after it read as a second end.
TEST_F(WizardProgress, OnlyTheLastNotificationEndsTheRun)
{
    CRunReport cancelled = Ended(HLE_CANCELLED, true);
    cancelled.bCancelled = true;
    m_Script.reports = {cancelled};
    ReachProgressPage();
    Send(HLN_RUN, RUN_CANCELLED);
    Pump();
    EXPECT_FALSE(FinishEnabled());
    Send(HLN_RUN, RUN_FINISHED);
    Send(HLN_OVERALL_PERCENT, 55);
    Pump();
    EXPECT_EQ(m_Script.runs.size(), 1u);
    EXPECT_TRUE(Result().startsWith(WIZ_TEXT_FAILED));
    EXPECT_EQ(OverallLine(), "Overall progress: 0%");
}

// Each row has Start refuse, for the first run or for the retry. Catches: a
// page frozen at "Connecting to receiver: 0%" with Finish disabled, or a
// failure shown without the reason Start gave.
TEST_F(WizardProgress, StartThatFailsSaysWhyAndLetsTheUserClose)
{
    struct CRow {
        const char* pszName;
        std::vector<int32_t> startResults;
        std::vector<CRunReport> reports;
        const char* pszReason;
    };
    const std::vector<CRow> rows = {
        {"package unreadable", {2},
         {NotStarted("cannot open pkg/Corvid_FW_v1.82-Boot.q: No such file or directory")},
         "cannot open pkg/Corvid_FW_v1.82-Boot.q: No such file or directory"},
        {"port in use", {3}, {NotStarted("COM3 (/dev/ttyUSB0) is in use by another program")},
         "COM3 (/dev/ttyUSB0) is in use by another program"},
        {"retry's port gone", {0, 3},
         {Ended(HLE_CONNECT_FAILED, false), NotStarted("COM3: no such serial device")},
         "COM3: no such serial device"},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        TearDown();
        m_Script = CFakeScript();
        m_Script.startResults = row.startResults;
        m_Script.reports = row.reports;
        SetUp();
        ReachProgressPage();
        if (row.startResults.size() == 2) {
            Send(HLN_NO_CANCEL);
            Send(HLN_RUN, RUN_FINISHED);
        }
        Pump();
        ASSERT_EQ(m_Script.runs.size(), row.startResults.size());
        EXPECT_EQ(Result(), QString::fromUtf8(WIZ_TEXT_FAILED) + "\n\n" + row.pszReason);
        EXPECT_TRUE(FinishEnabled());
        EXPECT_TRUE(m_pSheet->m_bAllowClose);
        EXPECT_FALSE(m_pFinish->IsRunning());
        m_pSheet->close();
        EXPECT_FALSE(m_pSheet->isVisible());
    }
}

// Catches: a close let through because HLN_NO_CANCEL is still queued while
// the engine has already begun the flash work.
TEST_F(WizardProgress, CloseRefusedWhenTheEngineSaysTheFlashWorkHasBegun)
{
    ReachProgressPage();
    CFakeRun& run = *m_Script.runs[0];
    run.bCancelAccepted = false;
    run.bMayStop = false;
    ASSERT_TRUE(m_pSheet->m_bAllowClose) << "the notification has not arrived";
    m_pSheet->reject();
    EXPECT_FALSE(m_pSheet->close());
    Pump();
    EXPECT_TRUE(m_pSheet->isVisible());
    EXPECT_TRUE(m_pFinish->IsRunning());
    EXPECT_EQ(run.nDestroys, 0);
    // Once the worker has finished, stopping is harmless again.
    run.bMayStop = true;
    m_pSheet->reject();
    EXPECT_FALSE(m_pSheet->isVisible());
    EXPECT_EQ(run.nDestroys, 1);
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
    EXPECT_EQ(m_Script.runs[0]->nDestroys, 0);

    Send(HLN_RUN, RUN_FINISHED);
    Pump();
    ASSERT_TRUE(m_pSheet->m_bAllowClose);
    QKeyEvent escapeAfter(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(m_pSheet.get(), &escapeAfter);
    EXPECT_FALSE(m_pSheet->isVisible());
}

// Catches: closing the wizard during a run that may still be interrupted
// leaving the engine running (its threads posting to a freed page).
TEST_F(WizardProgress, CloseWhileCancellableStopsTheRun)
{
    ReachProgressPage();
    ASSERT_TRUE(m_pSheet->m_bAllowClose);
    m_pSheet->reject();
    EXPECT_FALSE(m_pSheet->isVisible());
    const CFakeRun& run = *m_Script.runs[0];
    EXPECT_GE(run.nCancels, 1);
    EXPECT_EQ(run.nDestroys, 1);
    EXPECT_FALSE(m_pFinish->IsRunning());
    // Whatever the stopped run had queued is dropped.
    Send(HLN_RUN, RUN_FINISHED);
    Pump();
    EXPECT_EQ(m_Script.runs.size(), 1u);
    EXPECT_FALSE(FinishEnabled());
}

// Catches: destroying the wizard with a run going not stopping the engine.
TEST_F(WizardProgress, DestroyingTheSheetStopsTheRun)
{
    ReachProgressPage();
    std::shared_ptr<CFakeRun> pRun = m_Script.runs[0];
    m_pSheet.reset();
    EXPECT_EQ(pRun->nDestroys, 1);
    EXPECT_FALSE(pRun->bAlive);
}

// Catches: notifications posted from engine threads arriving out of order or
// touching widgets off the user-interface thread (TSan/ASan would see it).
TEST_F(WizardProgress, NotificationsFromEngineThreadsArriveInOrder)
{
    ReachProgressPage();
    CNotifySink sink = m_Script.runs[0]->sink;
    std::thread worker([sink] {
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
    ASSERT_TRUE(WaitFor([this] { return FinishEnabled(); }));
    EXPECT_EQ(OverallLine(), "Overall progress: 100%");
    EXPECT_EQ(PhaseLine(), "Upload data: 0%");
    EXPECT_EQ(Result(), WIZ_TEXT_SUCCESS);
}

}  // namespace
