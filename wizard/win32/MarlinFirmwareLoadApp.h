// CMarlinFirmwareLoadApp: the Win32 upgrade wizard program.
//
// InitInstance sets the package path (a bare file name, opened by the engine
// relative to the current directory), builds the wizard-mode property sheet
// with the connection and progress pages, runs it modally and returns false:
// the program ends when the wizard closes. There is no main window, command
// line or setting. WinMain calls InitInstance of the one instance, theApp.
//
// Threading: user-interface thread only.
#pragma once

#include <string>

#include <windows.h>

#include "wizard/JobDriver.h"

namespace wizard::win32 {

class CMarlinFirmwareLoadApp {
public:
    // Runs the wizard with jobs made by `factory` (the real job when
    // empty); always returns false.
    bool InitInstance(HINSTANCE hInstance, CJobFactory factory = CJobFactory());

    std::string m_strPackagePath;
};

extern CMarlinFirmwareLoadApp theApp;

}  // namespace wizard::win32
