// The wizard end to end on Qt's offscreen platform: driven like a user (pick
// the COM entry that stands for the virtual receiver, press Connect), it
// upgrades the receiver with the sample package through the real engine and
// shows the success text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "receiver/VirtualReceiver.h"
#include "tests/e2e/WizardHarness.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/Finish.h"
#include "wizard/WizardTexts.h"

using namespace wizard;

namespace {

const std::string SAMPLE = TRAILMARK_BINARY_DIR "/Corvid_FW_v1.82-Boot.q";

// Catches: anything between the pages and the engine that keeps a real
// upgrade from completing or from being reported as it went: the wrong port,
// path or options handed over, notifications lost on the way to the page, the
// success text or the final bar positions not shown.
TEST(WizardUpgrade, UpgradesVirtualReceiver)
{
    if (!std::filesystem::exists(SAMPLE))
        GTEST_SKIP() << "the sample package is made by the full build: " << SAMPLE;
    TestApp();

    CReceiverConfig config;
    CVirtualReceiver receiver(config);
    std::string strError;
    ASSERT_TRUE(receiver.Start(strError)) << strError;
    const std::string strDevice = receiver.SlavePaths().at(0);
    // COM5 stands for the receiver, as a user would map it.
    setenv("TRAILMARK_COM5", strDevice.c_str(), 1);

    g_nComPort = 1;
    CCustomPropertySheet sheet(QString::fromUtf8(WIZ_TEXT_CAPTION));
    auto* pConnection = new CConnectionPage(SAMPLE);
    auto* pFinish = new CFinish(SAMPLE, &CEngineJobDriver::Make);
    sheet.addPage(pConnection);
    sheet.addPage(pFinish);
    sheet.show();
    ASSERT_TRUE(WaitFor([&] { return pConnection->isComplete(); }, 5000));

    QComboBox* pCombo = pConnection->PortCombo();
    const int nIndex = pCombo->findText(QString::fromStdString("COM5:  " + strDevice));
    ASSERT_EQ(nIndex, 4) << "the entry names the receiver's device";
    pCombo->setCurrentIndex(nIndex);
    sheet.next();
    ASSERT_EQ(sheet.currentPage(), pFinish);
    EXPECT_EQ(g_nComPort, 5);

    const bool bEnded = WaitFor(
        [&] { return sheet.button(QWizard::FinishButton)->isEnabled(); }, 120000);
    unsetenv("TRAILMARK_COM5");
    ASSERT_TRUE(bEnded) << pFinish->PhaseText()->text().toStdString();
    // The versions as the receiver reported them, before and after.
    const QStringList lines = pFinish->ResultText()->text().split('\n');
    ASSERT_GE(lines.size(), 5) << pFinish->ResultText()->text().toStdString();
    EXPECT_EQ(lines[0], WIZ_TEXT_SUCCESS);
    EXPECT_EQ(lines[2], "Before: application v1.75, boot loader v1.20");
    EXPECT_EQ(lines[3], "Now: application v1.82, boot loader v1.82");
    EXPECT_TRUE(lines[4].startsWith("Time taken: ")) << lines[4].toStdString();
    EXPECT_EQ(pFinish->PhaseText()->text(), "Upgrade finished: 100%");
    EXPECT_EQ(pFinish->OverallText()->text(), "Overall progress: 100%");
    EXPECT_EQ(pFinish->OverallProgress()->value(), 100);
    EXPECT_TRUE(sheet.m_bAllowClose);

    const std::string strReport = receiver.ReportJson();
    EXPECT_NE(strReport.find("\"application_valid\": true"), std::string::npos) << strReport;
    EXPECT_NE(strReport.find("\"application\": 182"), std::string::npos) << strReport;
    EXPECT_TRUE(receiver.IsUpgradeFinished()) << strReport;
    receiver.Stop();
}

// Catches: closing the wizard while the run may still be interrupted leaving
// engine threads running against a freed page or an open port (the sanitizer
// build sees either), or the close taking the whole run to finish.
TEST(WizardUpgrade, CloseDuringRunStopsTheEngine)
{
    if (!std::filesystem::exists(SAMPLE))
        GTEST_SKIP() << "the sample package is made by the full build: " << SAMPLE;
    TestApp();

    CReceiverConfig config;
    config.m_bPace = true;  // a run long enough to be closed in the middle
    CVirtualReceiver receiver(config);
    std::string strError;
    ASSERT_TRUE(receiver.Start(strError)) << strError;
    setenv("TRAILMARK_COM6", receiver.SlavePaths().at(0).c_str(), 1);

    auto pSheet = std::make_unique<CCustomPropertySheet>(QString::fromUtf8(WIZ_TEXT_CAPTION));
    auto* pConnection = new CConnectionPage(SAMPLE);
    auto* pFinish = new CFinish(SAMPLE, &CEngineJobDriver::Make);
    pSheet->addPage(pConnection);
    pSheet->addPage(pFinish);
    pSheet->show();
    ASSERT_TRUE(WaitFor([&] { return pConnection->isComplete(); }, 5000));
    pConnection->PortCombo()->setCurrentIndex(5);
    pSheet->next();
    ASSERT_TRUE(pFinish->IsRunning());
    ASSERT_TRUE(WaitFor([&] { return pFinish->OverallProgress()->value() > 0; }, 30000));
    ASSERT_TRUE(pSheet->m_bAllowClose) << "still in a phase that may be interrupted";

    QElapsedTimer timer;
    timer.start();
    CQuestionAnswerer answerer(QMessageBox::Yes);  // cancel the upgrade
    pSheet->reject();
    EXPECT_EQ(answerer.Asked(), 1);
    EXPECT_FALSE(pSheet->isVisible());
    EXPECT_FALSE(pFinish->IsRunning());
    pSheet.reset();
    EXPECT_LT(timer.elapsed(), 10000);
    unsetenv("TRAILMARK_COM6");
    receiver.Stop();
}

}  // namespace
