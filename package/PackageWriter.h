// Writing QFW2 packages.
//
// The packer of the command-line tool and the sample-firmware generator build
// packages with this: a header, a section table and the section data, with
// each section's byte sum. The file is written to a temporary name beside the
// target and renamed into place, so that a failure never leaves a half-written
// package behind.
//
// Layout written: the 76-byte header, the 20-byte section records, then the
// section data in table order, each section right after the one before.
// Pure functions over their arguments and the files they name; safe from any
// thread as long as no two calls write the same output path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr size_t PACKAGE_NAME_UNITS = 32;  // UTF-16 code units in the header's name field

struct CPackSection {
    uint32_t flags = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;  // as it goes into the package (already compressed when flagged)
};

// Name: at most 32 characters, stored as UTF-16LE (UTF-8 input).
bool WritePackage(const std::string& outputPath, const std::string& name, uint32_t familyWord,
                  const std::vector<CPackSection>& sections, std::string& error);

// Called with the name of the fully written temporary file before it is
// renamed into place; returning false (with `error` set) abandons the write
// and removes the temporary file. The temporary name always contains ".q",
// so the package reader recognises it.
using PackageCheck = std::function<bool(const std::string& writtenPath, std::string& error)>;

// As WritePackage, with a check run on the written file before the rename.
bool WritePackageChecked(const std::string& outputPath, const std::string& name,
                         uint32_t familyWord, const std::vector<CPackSection>& sections,
                         const PackageCheck& check, std::string& error);

// The whole package file in memory. False, with `error` set, when the name
// is not valid UTF-8 or longer than 32 UTF-16 code units, a section is empty
// or targets address 0 (such a section can never be loaded), or the file
// would not fit the format's 32-bit offsets.
bool BuildPackage(const std::string& name, uint32_t familyWord,
                  const std::vector<CPackSection>& sections, std::vector<uint8_t>& image,
                  std::string& error);

// UTF-8 to UTF-16 code units; false on malformed UTF-8 (overlong forms,
// surrogates, values above U+10FFFF, cut sequences).
bool Utf8ToUtf16(const std::string& text, std::u16string& units);

// Writes `size` bytes to `path` through a temporary file beside it that is
// flushed to disk and renamed into place; on failure the temporary file is
// removed and any earlier file at `path` is left as it was.
bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error);
