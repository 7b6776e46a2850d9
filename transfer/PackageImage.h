// A firmware package read, staged and proven once per invocation, for every
// run and every receiver of it: after Load nothing changes it, so it is
// shared by const pointer between the upgrade sessions of a tray and the
// retries of each, and a retry writes exactly the bytes the first run wrote,
// whatever happens to the file meanwhile.
//
// Load reads the file (package, application or boot image), loads every
// section's data, stages it (staging offsets, the versions it carries) and
// proves it (PackageProof.h); a failure gives the reason the upgrade gives.
// Each run takes a fresh list of the staged blocks with MakeBlocks, since a
// list records which blocks its upload has sent.
//
// Threading: Load on any thread; afterwards every operation is const and may
// run on any number of threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "package/FirmwareFile.h"
#include "transfer/DataBuffer.h"

class CPackageImage {
public:
    // The package at `path`, staged and proven; null with the reason in
    // `error` when it cannot be used. With `allowRaw` a package whose
    // receiver would not start what it writes is taken all the same
    // (RawReason says why it would not).
    static std::shared_ptr<const CPackageImage> Load(const std::string& path, std::string& error,
                                                     bool allowRaw = false);

    const CFirmwareFileEntry& Entry() const { return m_Entry; }
    const std::string& Path() const { return m_strPath; }
    uint16_t AppVersion() const { return m_wAppVersion; }    // carried by the package; 0 when none
    uint16_t BootVersion() const { return m_wBootVersion; }  // carried by the package; 0 when none
    // Bytes of image data the data upload carries.
    uint32_t DataBytes() const { return m_nDataBytes; }
    // Why the receiver would not start what the package writes; empty for a
    // package that is not a raw image (PackageProof.h).
    const std::string& RawReason() const { return m_strRawReason; }
    int BlockCount() const { return m_Blocks.GetCount(); }
    // Fills `blocks` (cleared first) with the staged blocks, none taken.
    void MakeBlocks(CSyncDataVector& blocks) const;

    CPackageImage(const CPackageImage&) = delete;
    CPackageImage& operator=(const CPackageImage&) = delete;

private:
    CPackageImage() = default;

    CFirmwareFileEntry m_Entry;
    CSyncDataVector m_Blocks;  // never handed out: only copied by MakeBlocks
    std::string m_strPath;
    std::string m_strRawReason;
    uint16_t m_wAppVersion = 0;
    uint16_t m_wBootVersion = 0;
    uint32_t m_nDataBytes = 0;
};
