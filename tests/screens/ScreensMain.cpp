// trailmark-upgrade-screens: pictures of the wizard during a real upgrade.
//
// Starts a virtual receiver, lets COM1 stand for it, runs the wizard with the
// real engine and the package given on the command line, picks COM1: and
// presses Connect as a user would, and saves the wizard's window as PNG files
// in the output folder: the connection page before and after its list is
// ready, the progress page at the start, during the run and at the end.
//
//   trailmark-upgrade-screens PACKAGE OUTDIR
//
// Exit status 0 when every picture was saved and the run ended in success.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "engine/PortService.h"
#include "receiver/VirtualReceiver.h"
#include "tests/e2e/WizardHarness.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/Finish.h"
#include "wizard/WizardTexts.h"

namespace {

bool Save(QWidget& window, const QString& strDir, const char* pszName)
{
    QCoreApplication::processEvents();
    const QString strPath = strDir + QLatin1Char('/') + QLatin1String(pszName);
    const bool bOk = window.grab().save(strPath);
    std::printf("%s %s\n", bOk ? "saved" : "cannot save", strPath.toUtf8().constData());
    return bOk;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: trailmark-upgrade-screens PACKAGE OUTDIR\n");
        return 2;
    }
    QApplication app(argc, argv);
    const QString strDir = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(strDir);

    CReceiverConfig config;
    config.m_bPace = true;  // bytes at the wire rate, so the bars can be seen moving
    CVirtualReceiver receiver(config);
    std::string strError;
    if (!receiver.Start(strError)) {
        std::fprintf(stderr, "virtual receiver: %s\n", strError.c_str());
        return 1;
    }
    // COM1 stands for the receiver, as a user would map it.
    setenv("TRAILMARK_COM1", receiver.SlavePaths().at(0).c_str(), 1);

    wizard::CCustomPropertySheet sheet(QString::fromUtf8(wizard::WIZ_TEXT_CAPTION));
    // The list comes at once on a real machine; waiting half a second lets
    // the first picture show the page while it looks for ports.
    auto* pConnection = new wizard::CConnectionPage([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return CHERFLoaderLib::ListComPorts();
    });
    auto* pFinish = new wizard::CFinish(argv[1], &wizard::CEngineJobDriver::Make);
    sheet.addPage(pConnection);
    sheet.addPage(pFinish);
    sheet.show();

    bool bOk = Save(sheet, strDir, "wizard-1-finding-ports.png");
    bOk = WaitFor([&] { return pConnection->isComplete(); }, 5000) && bOk;
    bOk = Save(sheet, strDir, "wizard-2-connection.png") && bOk;
    sheet.next();
    bOk = Save(sheet, strDir, "wizard-3-progress-start.png") && bOk;
    WaitFor([&] { return pFinish->OverallProgress()->value() >= 40; }, 300000);
    bOk = Save(sheet, strDir, "wizard-4-progress-running.png") && bOk;
    const bool bEnded =
        WaitFor([&] { return sheet.button(QWizard::FinishButton)->isEnabled(); }, 600000);
    bOk = Save(sheet, strDir, "wizard-5-progress-end.png") && bOk;
    receiver.Stop();
    const bool bSuccess =
        bEnded && pFinish->ResultText()->text() == QLatin1String(wizard::WIZ_TEXT_SUCCESS);
    std::printf("result: %s\n", pFinish->ResultText()->text().toUtf8().constData());
    return bOk && bSuccess ? 0 : 1;
}
