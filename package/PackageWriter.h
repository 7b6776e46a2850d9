// Writing QFW2 packages.
//
// The packer of the command-line tool and the sample-firmware generator build
// packages with this: a header, a section table and the section data, with
// each section's byte sum. The file is written to a temporary name beside the
// target and renamed into place, so that a failure never leaves a half-written
// package behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CPackSection {
    uint32_t flags = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;  // as it goes into the package (already compressed when flagged)
};

// Name: at most 32 characters, stored as UTF-16LE (UTF-8 input).
bool WritePackage(const std::string& outputPath, const std::string& name, uint32_t familyWord,
                  const std::vector<CPackSection>& sections, std::string& error);
