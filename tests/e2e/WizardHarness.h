// The Qt set-up shared by the wizard's tests and the pictures program
// (tests/screens): the tests' application object on Qt's offscreen platform,
// a wait that keeps the event loop turning until a condition holds, ports
// and a package the tests make up, and an answerer for the wizard's
// question boxes. Called on the test's (user-interface) thread only.
#pragma once

#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "engine/PortService.h"
#include "wizard/PackageCheck.h"

// The one application object of a wizard test program, made on first use on
// the offscreen platform (WizardHarness.cpp).
QApplication& TestApp();

// Turns the event loop until `pred` holds; false when `nMs` passed first.
template <typename Pred>
bool WaitFor(Pred pred, int nMs = 3000)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > nMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// COM1 to COM9, each with a made-up device of its own.
inline std::vector<CHERFLoaderLib::CPortEntry> PresentPorts()
{
    std::vector<CHERFLoaderLib::CPortEntry> entries;
    for (int n = 1; n <= 9; ++n)
        entries.push_back({n, "/dev/ttyFAKE" + std::to_string(n), "serial device " + std::to_string(n)});
    return entries;
}

// A package the connection page takes without reading a file; the progress
// page's job driver is then handed no package and the path.
inline wizard::CPackageCheck AcceptedPackage(const std::string& strPath)
{
    wizard::CPackageCheck check;
    check.bUsable = true;
    check.facts.strFile = strPath;
    check.facts.bHasApp = check.facts.bHasBoot = true;
    check.facts.wAppVersion = check.facts.wBootVersion = 182;
    check.facts.strBoards = "boards 5-10";
    return check;
}

// Answers every question box the wizard opens, while it lives, with one
// button, and counts them: the box runs its own event loop, in which a timer
// still fires.
class CQuestionAnswerer {
public:
    explicit CQuestionAnswerer(QMessageBox::StandardButton eAnswer) : m_eAnswer(eAnswer)
    {
        QObject::connect(&m_Timer, &QTimer::timeout, [this] {
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (pBox == nullptr || pBox->button(m_eAnswer) == nullptr)
                return;
            ++m_nAsked;
            m_strLastText = pBox->text().toStdString();
            pBox->button(m_eAnswer)->click();
        });
        m_Timer.start(10);
    }
    void Answer(QMessageBox::StandardButton eAnswer) { m_eAnswer = eAnswer; }
    int Asked() const { return m_nAsked; }
    const std::string& LastText() const { return m_strLastText; }

private:
    QMessageBox::StandardButton m_eAnswer;
    QTimer m_Timer;
    int m_nAsked = 0;
    std::string m_strLastText;
};
