// The firmware package as the connection page shows it, without a toolkit:
// read and proven once by the engine before anything is opened, then either
// described (name, versions, the boards it is meant for) or refused with the
// reason.
//
// Both wizards' connection pages run CheckPackage on their list thread
// (beside the port list) and show PackageText under the picture; a refused
// package keeps Connect from being offered and puts RefusedNote in place of
// the note. The package that passed goes with the chosen port to the
// progress page (the sheet's m_pPackage), which writes exactly it. Pure
// functions and a plain value, safe from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/PackageFacts.h"

class CPackageImage;

namespace wizard {

struct CPackageCheck {
    bool bUsable = false;
    // The package read and proven; may be null for a usable check that a
    // test made up, and the progress page then reads the file itself.
    std::shared_ptr<const CPackageImage> pPackage;
    CHERFLoaderLib::CPackageFacts facts;  // when usable
    std::string strReason;                 // when not: why, as the engine says it
};

// Reads and proves the package at strPath through the engine.
CPackageCheck CheckPackage(const std::string& strPath);

// The lines under the picture: the package's file and name, what it writes
// and the boards it is meant for; or that it cannot be written, and why.
// Lines are broken with "\r\n".
std::string PackageText(const CPackageCheck& check);

// The note in place of the connection page's usual one when the package is
// refused; strPath is the package the wizard looks for.
std::string RefusedNote(const std::string& strPath);

// How a connection page checks its package; the programs use CheckPackage,
// tests make up answers.
using CPackageChecker = std::function<CPackageCheck(const std::string& strPath)>;

}  // namespace wizard
