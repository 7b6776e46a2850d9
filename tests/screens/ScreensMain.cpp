// trailmark-upgrade-screens: pictures of the wizard, every page and state,
// during real upgrades of virtual receivers.
//
// Starts a virtual receiver, lets COM1 stand for it, runs the wizard with the
// real engine and the package given on the command line, picks COM1: and
// presses Connect as a user would, and saves the wizard's window as PNG files
// in the output folder: the connection page before and after its list is
// ready, the progress page at the start, while data is uploaded (with a lost
// answer, so that its retry line shows), while the flash is written, at the
// end, the cancel question, and a failure (a receiver that never answers,
// with Back and Try again); then the connection page with a damaged package.
//
//   trailmark-upgrade-screens PACKAGE OUTDIR
//
// Exit status 0 when every picture was saved, the upgrade ended in success
// and the failure and the refusal were shown.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

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

bool StartReceiver(CVirtualReceiver& receiver, int nCom)
{
    std::string strError;
    if (!receiver.Start(strError)) {
        std::fprintf(stderr, "virtual receiver: %s\n", strError.c_str());
        return false;
    }
    // COMn stands for the receiver, as a user would map it.
    setenv(("TRAILMARK_COM" + std::to_string(nCom)).c_str(), receiver.SlavePaths().at(0).c_str(), 1);
    return true;
}

// The list comes at once on a real machine; waiting half a second lets
// the first picture show the page while it looks for ports.
wizard::CPortLister SlowLister()
{
    return [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return CHERFLoaderLib::ListComPorts();
    };
}

bool ResultStartsWith(wizard::CFinish& finish, const char* pszText)
{
    return finish.ResultText()->text().startsWith(QString::fromUtf8(pszText));
}

// The question the wizard asks when it is closed during the upgrade: saved,
// then answered No, so that the upgrade goes on.
bool SaveCancelQuestion(wizard::CCustomPropertySheet& sheet, const QString& strDir)
{
    bool bSaved = false;
    QTimer::singleShot(300, [&] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            bSaved = Save(*pBox, strDir, "wizard-7-cancel-question.png");
            pBox->button(QMessageBox::No)->click();
        }
    });
    sheet.reject();
    return bSaved && sheet.isVisible();
}

// The upgrade as a user sees it, up to its end.
bool RunUpgrade(const std::string& strPackage, const QString& strDir)
{
    CReceiverConfig config;
    config.m_bPace = true;  // bytes at the wire rate, so the bars can be seen moving
    // One data block's acknowledgement lost, so that the retry line shows.
    CRefusalRule lost;
    std::string strError;
    ParseRefusalRule("data:60", lost, strError);
    config.m_LostAnswers.push_back(lost);
    CVirtualReceiver receiver(config);
    if (!StartReceiver(receiver, 1))
        return false;

    wizard::CCustomPropertySheet sheet(QString::fromUtf8(wizard::WIZ_TEXT_CAPTION));
    auto* pConnection = new wizard::CConnectionPage(strPackage, SlowLister());
    auto* pFinish = new wizard::CFinish(strPackage, &wizard::CEngineJobDriver::Make);
    sheet.addPage(pConnection);
    sheet.addPage(pFinish);
    sheet.show();

    bool bOk = Save(sheet, strDir, "wizard-1-finding-ports.png");
    bOk = WaitFor([&] { return pConnection->isComplete(); }, 5000) && bOk;
    bOk = Save(sheet, strDir, "wizard-2-connection.png") && bOk;
    sheet.next();
    bOk = Save(sheet, strDir, "wizard-3-progress-start.png") && bOk;
    bOk = WaitFor([&] { return pFinish->PhaseText()->text().startsWith("Upload data"); }, 120000) && bOk;
    bOk = SaveCancelQuestion(sheet, strDir) && bOk;
    bOk = WaitFor([&] { return !pFinish->RetryText()->text().isEmpty(); }, 120000) && bOk;
    bOk = Save(sheet, strDir, "wizard-4-progress-running.png") && bOk;
    bOk = WaitFor([&] { return pFinish->WarningText()->isVisible() &&
                               pFinish->PhaseText()->text().startsWith("Program flash"); }, 300000) && bOk;
    bOk = Save(sheet, strDir, "wizard-5-progress-flash.png") && bOk;
    const bool bEnded = WaitFor([&] { return sheet.button(QWizard::FinishButton)->isEnabled(); }, 600000);
    bOk = Save(sheet, strDir, "wizard-6-progress-end.png") && bOk;
    receiver.Stop();
    std::printf("result: %s\n", pFinish->ResultText()->text().toUtf8().constData());
    return bOk && bEnded && ResultStartsWith(*pFinish, wizard::WIZ_TEXT_SUCCESS);
}

// A receiver that never answers: the failure with its whole reason, Back and
// Try again.
bool RunFailure(const std::string& strPackage, const QString& strDir)
{
    CReceiverConfig config;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_bBoot = false;
    CVirtualReceiver receiver(config);
    if (!StartReceiver(receiver, 1))
        return false;
    wizard::CCustomPropertySheet sheet(QString::fromUtf8(wizard::WIZ_TEXT_CAPTION));
    auto* pConnection = new wizard::CConnectionPage(strPackage);
    auto* pFinish = new wizard::CFinish(strPackage, &wizard::CEngineJobDriver::Make);
    sheet.addPage(pConnection);
    sheet.addPage(pFinish);
    sheet.show();
    bool bOk = WaitFor([&] { return pConnection->isComplete(); }, 5000);
    sheet.next();
    bOk = WaitFor([&] { return sheet.button(QWizard::FinishButton)->isEnabled(); }, 120000) && bOk;
    bOk = Save(sheet, strDir, "wizard-8-failure.png") && bOk;
    receiver.Stop();
    std::printf("failure: %s\n", pFinish->ResultText()->text().toUtf8().constData());
    return bOk && ResultStartsWith(*pFinish, wizard::WIZ_TEXT_FAILED) && pFinish->TryAgainButton()->isVisible() &&
           sheet.button(QWizard::BackButton)->isVisible();
}

// The package damaged in one byte of its data: refused on the first page.
bool ShowRefusedPackage(const std::string& strPackage, const QString& strDir)
{
    const std::string strDamaged = strDir.toStdString() + "/damaged/Corvid_FW_v1.82-Boot.q";
    std::filesystem::create_directories(std::filesystem::path(strDamaged).parent_path());
    std::ifstream in(strPackage, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 200)
        return false;
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
    std::ofstream(strDamaged, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    // A receiver on COM1 as before: only the package is at fault.
    CVirtualReceiver receiver{CReceiverConfig()};
    if (!StartReceiver(receiver, 1))
        return false;
    wizard::CCustomPropertySheet sheet(QString::fromUtf8(wizard::WIZ_TEXT_CAPTION));
    auto* pConnection = new wizard::CConnectionPage(strDamaged);
    sheet.addPage(pConnection);
    sheet.addPage(new wizard::CFinish(strDamaged, &wizard::CEngineJobDriver::Make));
    sheet.show();
    const bool bShown = WaitFor([&] { return !pConnection->PackageText()->text().isEmpty(); }, 10000);
    const bool bOk = Save(sheet, strDir, "wizard-9-package-refused.png");
    std::filesystem::remove_all(std::filesystem::path(strDamaged).parent_path());
    receiver.Stop();
    return bShown && bOk && !pConnection->isComplete();
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
    const bool bUpgraded = RunUpgrade(argv[1], strDir);
    const bool bFailed = RunFailure(argv[1], strDir);
    const bool bRefused = ShowRefusedPackage(argv[1], strDir);
    std::printf("upgrade %s, failure %s, refusal %s\n", bUpgraded ? "shown" : "NOT shown",
                bFailed ? "shown" : "NOT shown", bRefused ? "shown" : "NOT shown");
    return bUpgraded && bFailed && bRefused ? 0 : 1;
}
