// Firmware files: the QFW2 package, the application image and the boot image.
//
// A CFirmwareFileEntry reads one file of any of the three kinds and lists its
// sections; each CFirmwareSection says where its bytes lie in the file, where
// they go in the receiver and what their byte sum must be, and loads and
// checks those bytes on demand. The upgrade session loads the entry once at
// start; image staging then calls LoadData on every section.
//
// Nothing here talks to the receiver, shows a message or throws. Every
// operation reports false (or KIND_UNKNOWN) and leaves a one-line reason in
// `m_strError` for the front ends to show. Files are opened only for the length of
// one operation. Not thread-safe: one entry is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class CFileReader;
}

// Section flags.
constexpr uint32_t SECTION_BOOT = 0x01;
constexpr uint32_t SECTION_APP = 0x02;
constexpr uint32_t SECTION_PLAIN = 0x10;
constexpr uint32_t SECTION_COMPRESSED = 0x20;

// File kinds.
constexpr int32_t KIND_UNKNOWN = 0;
constexpr int32_t KIND_PACKAGE = 1;
constexpr int32_t KIND_APP_IMAGE = 2;
constexpr int32_t KIND_BOOT_IMAGE = 3;

constexpr uint32_t APP_IMAGE_MAGIC = 0xA9B8C7D6;
constexpr uint32_t BOOT_RECORD_MAGIC = 0xB00710AD;
constexpr uint32_t CHECKSUM_NOT_GIVEN = 0xFFFFFFFF;

constexpr size_t PACKAGE_HEADER_SIZE = 76;
constexpr size_t SECTION_RECORD_SIZE = 20;
constexpr size_t APP_HEADER_SIZE = 32;
constexpr size_t BOOT_RECORD_SIZE = 16;
// Bytes of the entry's path, terminator included: room for the longest path
// any supported system opens (Linux's 4096). A path the running system
// cannot open (longer than platform::MaxPathBytes) is refused, never cut.
constexpr size_t PATH_FIELD_SIZE = 4096;
constexpr size_t DESCRIPTION_FIELD_SIZE = 256;  // bytes, terminator included

// The byte sum of a section: unsigned bytes into a wrapping 32-bit sum.
uint32_t ByteSum(const uint8_t* data, size_t length);

// Section flags by name, "BOOT|APP|PLAIN|COMPRESSED", unknown bits in hex
// ("APP|0x100"); "none" for 0.
std::string SectionFlagNames(uint32_t flags);

// The package name as UTF-8 text: `unitCount` UTF-16LE code units read from
// `bytes` (2 bytes each), up to the first 0 unit. Unpaired surrogates and
// control characters become '?'. The result is at most `maxBytes` bytes and
// never ends inside a multi-byte character.
std::string PackageNameText(const uint8_t* bytes, size_t unitCount, size_t maxBytes);
constexpr size_t PACKAGE_NAME_FIELD_UNITS = 32;
constexpr size_t PACKAGE_DESCRIPTION_BYTES = 32;

// What a file's name says of its kind: KIND_PACKAGE for a path holding
// ".q", else KIND_APP_IMAGE for one holding ".bin" (both tested on the whole
// path, case-sensitively, ".q" first, as the receivers' tools have always
// done); else the file name's extension read without regard to case ("Q",
// "BIN"); KIND_UNKNOWN when the name says nothing (no extension, another
// one), and the kind is then judged by the contents. KIND_APP_IMAGE stands
// for either image kind, which only the contents tell apart.
int32_t KindByName(const char* path);

class CFirmwareSection {
public:
    CFirmwareSection(uint32_t length, uint32_t address, uint32_t fileOffset, uint32_t flags,
                     uint32_t checksum);
    virtual ~CFirmwareSection();
    CFirmwareSection(const CFirmwareSection&) = delete;
    CFirmwareSection& operator=(const CFirmwareSection&) = delete;

    // Makes `data` hold the section's bytes and checks them against
    // `checksum`; the first load of a section without a given checksum fixes
    // it. On false no data is held and `m_strError` says why.
    bool LoadData(const char* path);
    void ReleaseData();

    uint32_t length = 0;
    uint32_t address = 0;
    int32_t stagingOffset = 0;
    uint32_t fileOffset = 0;
    uint32_t flags = 0;
    uint32_t checksum = CHECKSUM_NOT_GIVEN;
    std::unique_ptr<uint8_t[]> data;  // exactly `length` bytes, or none
    std::string m_strError;           // reason of the last failed LoadData
};

class CFirmwareFileEntry {
public:
    CFirmwareFileEntry();
    virtual ~CFirmwareFileEntry();
    CFirmwareFileEntry(const CFirmwareFileEntry&) = delete;
    CFirmwareFileEntry& operator=(const CFirmwareFileEntry&) = delete;

    // Detects the kind, stores it in `kind` and runs that kind's reader.
    bool Load(const char* path);
    // The kind, as the file's name says it, else as its contents do (see
    // KindByName).
    int32_t DetectKind(const char* path);
    bool ReadPackage(const char* path);
    bool ReadBinImage(const char* path, bool application);

    char path[PATH_FIELD_SIZE] = {};
    char description[DESCRIPTION_FIELD_SIZE] = {};
    uint32_t familyWord = 0;
    std::vector<std::unique_ptr<CFirmwareSection>> sections;
    uint8_t appHeader[APP_HEADER_SIZE] = {};
    uint8_t bootRecord[BOOT_RECORD_SIZE] = {};
    int32_t kind = KIND_UNKNOWN;
    std::string m_strError;  // reason of the last failure, one line

private:
    // The checks of one kind on an open file; fill appHeader or bootRecord.
    int32_t DetectPackage(platform::CFileReader& file, const char* path);
    int32_t DetectImage(platform::CFileReader& file, const char* path);
};
