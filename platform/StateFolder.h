// The folder where the program keeps state between its runs on this machine
// (the record of an upgrade that holds a receiver in its flash monitor).
//
// TRAILMARK_STATE_DIR, when set, is used as it stands (tests give each run
// a folder of its own). Otherwise: $XDG_STATE_HOME/trailmark, else
// $HOME/.local/state/trailmark on POSIX systems; %LOCALAPPDATA%\Trailmark on
// Windows. Empty when none of these can be had. The folder is not created.
//
// Backends: posix/StateFolder.cpp, win32/StateFolder.cpp. Thread-safe.
#pragma once

#include <string>

namespace platform {

std::string StateFolder();

}  // namespace platform
