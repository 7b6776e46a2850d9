// The connection page's port list without a toolkit: which COM entries the
// user picks from, the text of each entry, and the number read back from the
// chosen entry when "Connect" is pressed.
//
// Both wizards (Qt here, Win32 in win32/) fill their lists with PortChoices
// and PortEntryText, select with ChoiceIndex, offer Connect only for an
// entry IsChoosable allows, and store the choice with ParseComPortText in
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
// "no device present" when `strWhat` is empty; a device that was set but is
// not there is marked "(missing)".
std::string PortEntryText(int nNumber, const std::string& strWhat, bool bMissing = false);

// Whether the user may choose an entry: a device stands for its number and
// is there. An entry that cannot be chosen is shown, but Connect is not
// offered for it.
bool IsChoosable(const CHERFLoaderLib::CPortEntry& entry);

// The entry to select when the list is (re)filled: the one of nPort (the
// port chosen before, kept when the user comes back) when it can be chosen,
// else the first that can; -1 when none can.
int ChoiceIndex(const std::vector<CHERFLoaderLib::CPortEntry>& entries, int32_t nPort);

// What the line under the list says of the selected entry: its device's
// description, or why it cannot be chosen; that no port was found when none
// can be chosen and none is selected.
std::string SelectedPortText(const std::vector<CHERFLoaderLib::CPortEntry>& entries, int nIndex);

// The entries to offer: COM1: to COM9: in this order whatever `found` holds,
// each with the first entry of `found` that has its number (none: no
// device). With bHigherPorts the ports above COM9 that have a device follow
// in number order: Windows numbers USB adapters upwards, often past COM9,
// and an adapter the list does not offer cannot be upgraded through the
// wizard. Without it, numbers outside 1..9 are left out.
std::vector<CHERFLoaderLib::CPortEntry> PortChoices(const std::vector<CHERFLoaderLib::CPortEntry>& found,
                                                   bool bHigherPorts);

}  // namespace wizard
