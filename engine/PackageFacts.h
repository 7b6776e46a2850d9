// What a front end shows of a package before it writes it: the file's name,
// the name the package carries, the versions of the parts it holds and the
// boards its device family is meant for.
//
// The wizard's connection page shows these for the package it found (read
// and proven by LoadPackage, engine/UpgradeJob.h) before anything is opened,
// so that the user sees what will be written. A plain value made from the
// package, which stays as loaded; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

class CPackageImage;

namespace CHERFLoaderLib {

struct CPackageFacts {
    std::string strFile;          // the file's name without its folders
    std::string strName;          // the name a QFW2 package carries; empty for an image file
    bool bHasApp = false;         // the package holds an application section
    bool bHasBoot = false;        // ... a boot-loader section
    uint16_t wAppVersion = 0;     // the application's version, when it holds one
    uint16_t wBootVersion = 0;    // the boot loader's
    uint32_t nFamily = 0;         // the device family (the family word masked with 0xFF000); 0: any board
    // The boards the family is meant for: "boards 5-10", "board 4", "any
    // board", or "no known board (device family 0x5000)".
    std::string strBoards;
};

CPackageFacts DescribePackage(const CPackageImage& package);

}  // namespace CHERFLoaderLib
