// The connection page's port list without a toolkit: which COM entries the
// user picks from, the text of each entry, and the number read back from the
// chosen entry when "Connect" is pressed.
//
// Both wizards (Qt here, Win32 in win32/) fill their lists with PortChoices
// and PortEntryText and store the choice with ParseComPortText in
// g_nComPort, where the progress page (ProgressFlow.h) finds it. Pure
// functions, safe from any thread; g_nComPort belongs to the user-interface
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/PortService.h"

// The COM port number chosen last (1 = COM1 until the user picks another).
extern int32_t g_nComPort;

namespace wizard {

// Reads "COM%d:" at the start of `str` into nPort; a text that does not
// match, or names no port number of 1 or more, leaves nPort unchanged and
// returns false.
bool ParseComPortText(const std::string& str, int32_t& nPort);

// The list entry for one COM number: "COM4:" and what stands for it, or
// "no device present" when `strWhat` is empty.
std::string PortEntryText(int nNumber, const std::string& strWhat);

// The entries to offer: COM1: to COM9: in this order whatever `found` holds,
// each with the first entry of `found` that has its number (none: no
// device). With bHigherPorts the ports above COM9 that have a device follow
// in number order: Windows numbers USB adapters upwards, often past COM9,
// and an adapter the list does not offer cannot be upgraded through the
// wizard. Without it, numbers outside 1..9 are left out.
std::vector<CHERFLoaderLib::CPortEntry> PortChoices(const std::vector<CHERFLoaderLib::CPortEntry>& found,
                                                   bool bHigherPorts);

}  // namespace wizard
