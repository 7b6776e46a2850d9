// trailmark-upgrade: the upgrade wizard.
#include <QApplication>

#include "wizard/MarlinFirmwareLoadApp.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The program's work is the modal wizard; InitInstance returns when it
    // closes, and then the program ends.
    wizard::theApp.InitInstance();
    return 0;
}
