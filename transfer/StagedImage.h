// Staging a package's image as blocks, and the versions it carries.
//
// These are operations of the upgrade session: StageImage runs once per start,
// on the starting thread, before any worker thread exists. They take the
// package, the block list and the two version numbers they fill.
#pragma once

#include <cstdint>
#include <vector>

#include "package/FirmwareFile.h"
#include "transfer/DataBuffer.h"

// Expanded lengths beyond this are refused: no receiver has more flash.
constexpr uint32_t MAX_EXPANDED_LENGTH = 16u * 1024 * 1024;

// Sum over all sections of their length rounded up to a multiple of 1024.
uint32_t GetStagedSize(const CFirmwareFileEntry& package);

// Loads every section's data, cuts it into blocks at negative offsets from the
// top of RAM (the image ends exactly there) and reads the versions. False,
// with `package`'s `m_strError` set (naming the section as SectionTitle
// does), when a section's data cannot be loaded (the
// blocks of earlier sections stay listed) or when nothing was staged at all.
bool StageImage(CFirmwareFileEntry& package, CSyncDataVector& imageData, uint16_t& newAppVersion,
                uint16_t& newBootVersion);

// The version a boot or application section carries, 0 when none. The section
// must hold its data.
uint16_t ReadEmbeddedVersion(const CFirmwareSection& section);

// The bytes "Program flash" writes for a section: its data, or for a
// compressed section its expansion to the length its prefix gives. False when
// the section holds no data or its expansion does not give exactly that
// length. The section must hold its data.
bool ProgrammedImage(const CFirmwareSection& section, std::vector<uint8_t>& image);
