// Whether a package is whole and may go to a receiver at all, decided from
// the package alone before any receiver is touched.
//
// The layout checks (LayoutCheck.h) judge a package against one receiver's
// RAM and flash once that receiver is known; some faults no such check can
// see, because every receiver takes the bytes and only fails afterwards: an
// application three bytes off the address the boot loader starts it from, a
// boot image off the boot loader's own address, a compressed stream changed
// so that its byte sum still holds. ProvePackage finds those. `trailmark
// upgrade`, `info` and `pack` run it on the file, and the engine's Start runs
// it on the package it staged, so that the command line and the wizard
// refuse the same packages with the same reason.
//
// Pure functions of the package and the built-in layouts; safe from any
// thread for packages no other thread changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/FirmwareFile.h"

// "section 2 (APP|COMPRESSED at 0x01020003)": how every reason names a section.
std::string SectionTitle(size_t index, const CFirmwareSection& section);

// The image a section programs: its data for a plain section, the strict
// expansion of its stream for a compressed one (transfer/Expander.h). False,
// with the reason (without the section's title), when the section holds no
// data, has no valid prefix, promises an image larger than any receiver's
// flash or does not expand exactly to it. A section neither plain nor
// compressed gives an empty image.
bool SectionImage(const CFirmwareSection& section, std::vector<uint8_t>& image, std::string& reason);

// The rules every section of a loaded package (each section holding its
// data) must meet on every receiver its device family goes to:
//  - its data is there and matches its byte sum;
//  - it is a boot or an application image, plain or compressed, not both;
//  - a compressed stream expands strictly (see ExpandStrict) to exactly its
//    expanded length;
//  - its address and the length it programs are whole 16-bit words;
//  - a boot image starts at the boot loader's own address and ends inside
//    the boot region;
//  - the image that carries the application header (APP_IMAGE_MAGIC at
//    offset 0) starts where the boot loader looks for the application and
//    ends inside the flash of some receiver.
// and, unless `allowRaw`, the rules of a receiver that starts afterwards
// (RawImageReason).
// False, with a reason that starts with the section's title, at the first
// rule broken.
bool ProvePackage(const CFirmwareFileEntry& package, std::string& reason, bool allowRaw = false);

// Why the receiver would not start what the package writes, or empty when it
// would: the section written where the boot loader looks for the
// application must begin with the application header, a package that
// writes the application region must write that section, and a boot image
// must hold the boot version record (at a 4-aligned offset of its first 256
// bytes) by which the receiver knows its boot loader is there. A package
// that breaks one is written only when asked for explicitly (a raw image).
std::string RawImageReason(const CFirmwareFileEntry& package);

// Reads the file at `path`, loads every section's data and proves the
// package. False, with the reason (naming the section when a section is at
// fault, not the file), at the first fault.
bool LoadProvenPackage(const char* path, CFirmwareFileEntry& package, std::string& reason, bool allowRaw = false);
