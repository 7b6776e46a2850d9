// Reading the three firmware file kinds and loading section data.
#include "package/FirmwareFile.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "texts/Texts.h"
#include "package/ByteOrder.h"
#include "platform/FileReader.h"
#include "platform/PrintfFormat.h"

namespace {

constexpr size_t BOOT_SCAN_SIZE = 256;
constexpr size_t TEXT_FIELD_SIZE = 64;
constexpr uint32_t APP_IMAGE_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_IMAGE_ADDRESS = 0x01000000;
constexpr size_t TABLE_CHUNK_RECORDS = 1024;


// printf into a string; the attribute lets the compiler check every call.
TRAILMARK_PRINTF_FORMAT(1, 2) std::string Printf(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// A path must be one the system opens and fit the entry's path field with
// its terminator; a longer one is refused rather than cut, since a cut path
// names another file.
bool CheckPath(const char* path, std::string& error)
{
    if (path == nullptr || path[0] == '\0') {
        error = "no file name given";
        return false;
    }
    const size_t limit = std::min(PATH_FIELD_SIZE, platform::MaxPathBytes());
    size_t n = strnlen(path, limit);
    if (n >= limit) {
        error = Printf("path is too long (more than %zu bytes): %.60s...", limit - 1, path);
        return false;
    }
    return true;
}

bool EqualsIgnoringCase(const char* text, const char* lower)
{
    for (; *text != '\0' && *lower != '\0'; ++text, ++lower)
        if (std::tolower(static_cast<unsigned char>(*text)) != *lower)
            return false;
    return *text == '\0' && *lower == '\0';
}

// One open file for the length of one operation, its path checked first;
// closed by the destructor.
class CReadFile : public platform::CFileReader {
public:
    bool Open(const char* path, std::string& error)
    {
        return CheckPath(path, error) && platform::CFileReader::Open(path, error);
    }
};

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string MagicText(const uint8_t* magic)
{
    return Printf("%02X %02X %02X %02X", magic[0], magic[1], magic[2], magic[3]);
}

bool IsAcceptedProductCode(unsigned code)
{
    return code == 1 || code == 4 || code == 5 || (code >= 8 && code <= 15);
}

// "App v1.82 12 May 2006 01:01:01 0x00000000" and the like.
std::string VersionLine(const char* pszWhat, unsigned version, unsigned year, unsigned month,
                        unsigned day, unsigned seconds, uint32_t familyWord)
{
    char szVersion[TEXT_FIELD_SIZE], szDate[TEXT_FIELD_SIZE], szTime[TEXT_FIELD_SIZE];
    FormatVersion(szVersion, sizeof szVersion, version);
    FormatDate(szDate, sizeof szDate, year, month, day);
    FormatTime(szTime, sizeof szTime, seconds);
    return Printf("%s %s %s %s 0x%08" PRIX32, pszWhat, szVersion, szDate, szTime, familyWord);
}

void StoreText(char* field, size_t fieldSize, const std::string& text)
{
    std::memset(field, 0, fieldSize);
    std::memcpy(field, text.data(), text.size() < fieldSize ? text.size() : fieldSize - 1);
}

}  // namespace

uint32_t ByteSum(const uint8_t* data, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

std::string SectionFlagNames(uint32_t flags)
{
    static const struct {
        uint32_t nBit;
        const char* pszName;
    } SECTION_FLAG_NAMES[] = {
        {SECTION_BOOT, "BOOT"}, {SECTION_APP, "APP"}, {SECTION_PLAIN, "PLAIN"}, {SECTION_COMPRESSED, "COMPRESSED"}};
    std::string text;
    uint32_t rest = flags;
    for (const auto& name : SECTION_FLAG_NAMES) {
        if (flags & name.nBit) {
            text += text.empty() ? "" : "|";
            text += name.pszName;
            rest &= ~name.nBit;
        }
    }
    if (rest != 0) {
        text += text.empty() ? "" : "|";
        text += Printf("0x%" PRIX32, rest);
    }
    return text.empty() ? "none" : text;
}

std::string PackageNameText(const uint8_t* bytes, size_t unitCount, size_t maxBytes)
{
    std::string out;
    for (size_t i = 0; i < unitCount; ++i) {
        uint32_t code = GetLe16(bytes + 2 * i);
        if (code == 0)
            break;
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < unitCount) {
            uint32_t low = GetLe16(bytes + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        // Lone surrogates have no text form; control characters in a name
        // shown on a terminal could act as commands.
        if ((code >= 0xD800 && code <= 0xDFFF) || code < 0x20 || (code >= 0x7F && code < 0xA0))
            code = '?';
        std::string one;
        AppendUtf8(one, code);
        if (out.size() + one.size() > maxBytes)
            break;
        out += one;
    }
    return out;
}

// ---------------------------------------------------------------- sections

CFirmwareSection::CFirmwareSection(uint32_t length_, uint32_t address_, uint32_t fileOffset_,
                                   uint32_t flags_, uint32_t checksum_)
    : length(length_), address(address_), fileOffset(fileOffset_), flags(flags_), checksum(checksum_)
{
}

CFirmwareSection::~CFirmwareSection() = default;

void CFirmwareSection::ReleaseData()
{
    data.reset();
}

bool CFirmwareSection::LoadData(const char* pathName)
{
    m_strError.clear();
    if (length == 0 || address == 0) {
        ReleaseData();
        m_strError = length == 0 ? "section has no data (length 0)"
                            : "section has target address 0 and cannot be loaded";
        return false;
    }
    if (!data) {
        CReadFile file;
        if (!file.Open(pathName, m_strError)) {
            ReleaseData();
            return false;
        }
        // Checked before allocating, so a record claiming gigabytes the file
        // does not hold costs nothing.
        uint64_t end = static_cast<uint64_t>(fileOffset) + length;
        if (end > file.Size()) {
            m_strError = Printf("section data runs past the end of the file (offset %" PRIu32 ", length %" PRIu32
                           ", file size %" PRIu64 ")",
                           fileOffset, length, file.Size());
            return false;
        }
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]);
        if (!buffer) {
            m_strError = Printf("cannot allocate %" PRIu32 " bytes for the section data", length);
            return false;
        }
        size_t got = file.ReadAt(fileOffset, buffer.get(), length);
        if (got < length) {
            m_strError = Printf("section data cut short: %zu of %" PRIu32 " bytes read at offset %" PRIu32, got,
                           length, fileOffset);
            return false;
        }
        data = std::move(buffer);
    }
    uint32_t sum = ByteSum(data.get(), length);
    if (checksum == CHECKSUM_NOT_GIVEN)
        checksum = sum;
    if (sum != checksum) {
        m_strError = Printf("checksum 0x%08" PRIX32 " expected, 0x%08" PRIX32 " found", checksum, sum);
        ReleaseData();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- entry

CFirmwareFileEntry::CFirmwareFileEntry() = default;

CFirmwareFileEntry::~CFirmwareFileEntry()
{
    sections.clear();
}

bool CFirmwareFileEntry::Load(const char* pathName)
{
    kind = DetectKind(pathName);
    switch (kind) {
    case KIND_PACKAGE:
        return ReadPackage(pathName);
    case KIND_APP_IMAGE:
        return ReadBinImage(pathName, true);
    case KIND_BOOT_IMAGE:
        return ReadBinImage(pathName, false);
    default:
        return false;
    }
}

int32_t KindByName(const char* pathName)
{
    if (pathName == nullptr)
        return KIND_UNKNOWN;
    if (std::strstr(pathName, ".q") != nullptr)
        return KIND_PACKAGE;
    if (std::strstr(pathName, ".bin") != nullptr)
        return KIND_APP_IMAGE;
    // The extension of the file's own name, not of a folder it lies in.
    const char* name = pathName;
    for (const char* p = pathName; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            name = p + 1;
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return KIND_UNKNOWN;
    if (EqualsIgnoringCase(dot + 1, "q"))
        return KIND_PACKAGE;
    if (EqualsIgnoringCase(dot + 1, "bin"))
        return KIND_APP_IMAGE;
    return KIND_UNKNOWN;
}

int32_t CFirmwareFileEntry::DetectKind(const char* pathName)
{
    m_strError.clear();
    CReadFile file;
    if (!file.Open(pathName, m_strError))
        return KIND_UNKNOWN;
    const int32_t named = KindByName(pathName);
    if (named == KIND_PACKAGE)
        return DetectPackage(file, pathName);
    if (named != KIND_UNKNOWN)
        return DetectImage(file, pathName);
    // The name says nothing: the first bytes do.
    uint8_t magic[4] = {};
    const size_t got = file.ReadAt(0, magic, sizeof magic);
    if (got == sizeof magic && std::memcmp(magic, "QFW2", 4) == 0)
        return DetectPackage(file, pathName);
    const int32_t image = DetectImage(file, pathName);
    if (image == KIND_UNKNOWN)
        m_strError = Printf("%s: not a firmware file: neither a QFW2 package nor an application or boot image "
                            "(its first bytes: %s)",
                            pathName, got == sizeof magic ? MagicText(magic).c_str() : "fewer than 4");
    return image;
}

int32_t CFirmwareFileEntry::DetectPackage(platform::CFileReader& file, const char* pathName)
{
    uint8_t header[PACKAGE_HEADER_SIZE];
    size_t got = file.ReadAt(0, header, sizeof header);
    if (got < sizeof header) {
        m_strError = Printf("%s: not a QFW2 package (header cut short: %zu of %zu bytes)", pathName, got,
                            sizeof header);
        return KIND_UNKNOWN;
    }
    if (std::memcmp(header, "QFW2", 4) != 0) {
        m_strError = Printf("%s: not a QFW2 package (magic %s)", pathName, MagicText(header).c_str());
        return KIND_UNKNOWN;
    }
    return KIND_PACKAGE;
}

int32_t CFirmwareFileEntry::DetectImage(platform::CFileReader& file, const char* pathName)
{
    size_t got = file.ReadAt(0, appHeader, sizeof appHeader);
    if (got == sizeof appHeader && GetLe32(appHeader) == APP_IMAGE_MAGIC)
        return KIND_APP_IMAGE;

    uint8_t head[BOOT_SCAN_SIZE];
    got = file.ReadAt(0, head, sizeof head);
    if (got < sizeof head) {
        m_strError = Printf("%s: not a firmware image (no application magic, and only %zu bytes where a boot "
                            "record is looked for in the first %zu)",
                            pathName, got, sizeof head);
        return KIND_UNKNOWN;
    }
    for (size_t offset = 0; offset < sizeof head; offset += 4) {
        if (GetLe32(head + offset) != BOOT_RECORD_MAGIC)
            continue;
        // A record near the end of the scanned bytes is completed from the
        // file; one the file cuts short is no record.
        uint8_t record[BOOT_RECORD_SIZE];
        if (file.ReadAt(offset, record, sizeof record) < sizeof record) {
            m_strError = Printf("%s: boot record at offset %zu cut short by the end of the file", pathName, offset);
            return KIND_UNKNOWN;
        }
        std::memcpy(bootRecord, record, sizeof bootRecord);
        return KIND_BOOT_IMAGE;
    }
    m_strError = Printf("%s: not a firmware image (no application magic and no boot record in the first %zu bytes)",
                        pathName, sizeof head);
    return KIND_UNKNOWN;
}

bool CFirmwareFileEntry::ReadPackage(const char* pathName)
{
    m_strError.clear();
    CReadFile file;
    if (!file.Open(pathName, m_strError))
        return false;
    StoreText(path, sizeof path, pathName);

    uint8_t header[PACKAGE_HEADER_SIZE];
    size_t got = file.ReadAt(0, header, sizeof header);
    if (got < sizeof header) {
        m_strError = Printf("%s: not a QFW2 package (header cut short: %zu of %zu bytes)", pathName, got,
                       sizeof header);
        return false;
    }
    if (std::memcmp(header, "QFW2", 4) != 0) {
        m_strError = Printf("%s: not a QFW2 package (magic %s)", pathName, MagicText(header).c_str());
        return false;
    }
    StoreText(description, sizeof description,
              PackageNameText(header + 4, PACKAGE_NAME_FIELD_UNITS, PACKAGE_DESCRIPTION_BYTES));
    familyWord = GetLe32(header + 72);

    uint32_t count = GetLe32(header + 68);
    // The records are read in chunks; a hostile count only costs reads up to
    // the end of the file.
    std::vector<uint8_t> chunk;
    size_t inChunk = 0, used = 0;
    uint64_t offset = PACKAGE_HEADER_SIZE;
    for (uint32_t i = 0; i < count; ++i) {
        if (used == inChunk) {
            size_t want = count - i < TABLE_CHUNK_RECORDS ? count - i : TABLE_CHUNK_RECORDS;
            chunk.resize(want * SECTION_RECORD_SIZE);
            inChunk = file.ReadAt(offset, chunk.data(), chunk.size()) / SECTION_RECORD_SIZE;
            offset += inChunk * SECTION_RECORD_SIZE;
            used = 0;
            if (inChunk == 0) {
                m_strError = Printf("%s: section table cut short after %" PRIu32 " of %" PRIu32 " records",
                               pathName, i, count);
                return false;
            }
        }
        const uint8_t* record = chunk.data() + used * SECTION_RECORD_SIZE;
        ++used;
        sections.push_back(std::make_unique<CFirmwareSection>(GetLe32(record + 4), GetLe32(record + 8),
                                                              GetLe32(record + 12), GetLe32(record),
                                                              GetLe32(record + 16)));
    }
    return true;
}

bool CFirmwareFileEntry::ReadBinImage(const char* pathName, bool application)
{
    m_strError.clear();
    CReadFile file;
    if (!file.Open(pathName, m_strError))
        return false;
    StoreText(path, sizeof path, pathName);

    if (application) {
        unsigned product = GetLe16(appHeader + 8);
        if (!IsAcceptedProductCode(product)) {
            m_strError = Printf("%s: application image product code %u is not one the receivers accept", pathName,
                           product);
            return false;
        }
        StoreText(description, sizeof description,
                  VersionLine("App", GetLe16(appHeader + 10), GetLe16(appHeader + 16), appHeader[18],
                              appHeader[19], GetLe32(appHeader + 20), familyWord));
    } else {
        StoreText(description, sizeof description,
                  VersionLine("Boot", GetLe32(bootRecord + 4), GetLe16(bootRecord + 8), bootRecord[10],
                              bootRecord[11], GetLe32(bootRecord + 12), familyWord));
    }

    // A section length is 32 bits; a larger file would be cut without notice.
    if (file.Size() > UINT32_MAX) {
        m_strError = Printf("%s: image of %" PRIu64 " bytes is too large (at most %" PRIu32 ")", pathName,
                       file.Size(), UINT32_MAX);
        return false;
    }
    uint32_t size = static_cast<uint32_t>(file.Size());
    if (application)
        sections.push_back(std::make_unique<CFirmwareSection>(size, APP_IMAGE_ADDRESS, 0,
                                                              SECTION_APP | SECTION_PLAIN, CHECKSUM_NOT_GIVEN));
    else
        sections.push_back(std::make_unique<CFirmwareSection>(size, BOOT_IMAGE_ADDRESS, 0,
                                                              SECTION_BOOT | SECTION_PLAIN, CHECKSUM_NOT_GIVEN));
    return true;
}
