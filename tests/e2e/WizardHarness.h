// The Qt set-up shared by the wizard's tests and the pictures program
// (tests/screens): the tests' application object on Qt's offscreen platform,
// and a wait that keeps the event loop turning until a condition holds.
// Called on the test's (user-interface) thread only.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

class QApplication;

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
