// trailmark-upgrade.exe: the Win32 upgrade wizard.
#include <windows.h>

#include "wizard/win32/MarlinFirmwareLoadApp.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    // The program's work is the modal wizard; InitInstance returns when it
    // closes, and then the program ends.
    wizard::win32::theApp.InitInstance(hInstance);
    return 0;
}
