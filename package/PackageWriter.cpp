#include "package/PackageWriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "package/FirmwareFile.h"
#include "platform/NewFile.h"

namespace {

namespace fs = std::filesystem;

void PutLe32(std::vector<uint8_t>& out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string SystemError(const std::string& what, const std::string& path, int code)
{
    return what + " " + path + ": " + std::strerror(code);
}

// A new, exclusively created file beside `path`: the same folder, so that the
// final rename stays within one file system and is atomic. The name ends in
// `suffix`. False with `error` set when no such file can be made.
bool CreateTemporary(const std::string& path, const char* suffix, platform::CNewFile& file,
                     std::string& tempPath, std::string& error)
{
    static std::atomic<unsigned> s_nCounter{0};
    const fs::path target(path);
    const std::string base = target.filename().string();
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = (target.parent_path() / ("." + base + "." + std::to_string(platform::CurrentProcessId()) + "-" +
                                            std::to_string(s_nCounter++) + suffix))
                       .string();
        int code = file.Create(tempPath);
        if (code == 0)
            return true;
        if (code != EEXIST) {
            error = SystemError("cannot create a temporary file for", path, code);
            return false;
        }
    }
    error = "cannot create a temporary file for " + path + ": too many leftovers";
    return false;
}

// The data written to disk under a temporary name; the name in `tempPath`.
bool WriteTemporary(const std::string& path, const char* suffix, const uint8_t* data,
                    size_t size, std::string& tempPath, std::string& error)
{
    platform::CNewFile file;
    if (!CreateTemporary(path, suffix, file, tempPath, error))
        return false;
    // Flushed before the rename, so that after a crash the target holds
    // either its old contents or the complete new file.
    int code = file.WriteAll(data, size);
    int commit = file.Commit();
    if (code == 0)
        code = commit;
    if (code != 0) {
        error = SystemError("cannot write", path, code);
        platform::RemoveFile(tempPath);
    }
    return code == 0;
}

bool RenameIntoPlace(const std::string& tempPath, const std::string& path, std::string& error)
{
    int code = platform::RenameOver(tempPath, path);
    if (code == 0)
        return true;
    error = SystemError("cannot write", path, code);
    platform::RemoveFile(tempPath);
    return false;
}

// Decodes one UTF-8 sequence at `i`; false when malformed.
bool NextCodePoint(const std::string& text, size_t& i, uint32_t& cp)
{
    uint8_t lead = static_cast<uint8_t>(text[i]);
    int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2
                                                            : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= text.size())
        return false;
    cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        uint8_t next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (next & 0x3F);
    }
    static const uint32_t UTF8_MINIMUM[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < UTF8_MINIMUM[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += static_cast<size_t>(extra) + 1;
    return true;
}

}  // namespace

bool Utf8ToUtf16(const std::string& text, std::u16string& units)
{
    units.clear();
    size_t i = 0;
    while (i < text.size()) {
        uint32_t cp = 0;
        if (!NextCodePoint(text, i, cp))
            return false;
        if (cp < 0x10000) {
            units.push_back(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
    }
    return true;
}

bool BuildPackage(const std::string& name, uint32_t familyWord,
                  const std::vector<CPackSection>& sections, std::vector<uint8_t>& image,
                  std::string& error)
{
    std::u16string units;
    if (!Utf8ToUtf16(name, units)) {
        error = "package name is not valid UTF-8";
        return false;
    }
    if (units.size() > PACKAGE_NAME_UNITS) {
        error = "package name \"" + name + "\" is longer than 32 characters";
        return false;
    }
    uint64_t total = PACKAGE_HEADER_SIZE + SECTION_RECORD_SIZE * uint64_t(sections.size());
    for (size_t s = 0; s < sections.size(); ++s) {
        const CPackSection& section = sections[s];
        std::string where = "section " + std::to_string(s) + ": ";
        if (section.data.empty()) {
            error = where + "no data (an empty section can never be loaded)";
            return false;
        }
        if (section.address == 0) {
            error = where + "target address 0 (such a section can never be loaded)";
            return false;
        }
        total += section.data.size();
        if (total > UINT32_MAX) {
            error = where + "the package would exceed 4 GiB";
            return false;
        }
    }

    image.assign(static_cast<size_t>(total), 0);
    std::memcpy(image.data(), "QFW2", 4);
    for (size_t u = 0; u < units.size(); ++u) {
        image[4 + 2 * u] = static_cast<uint8_t>(units[u] & 0xFF);
        image[5 + 2 * u] = static_cast<uint8_t>(units[u] >> 8);
    }
    PutLe32(image, 68, static_cast<uint32_t>(sections.size()));
    PutLe32(image, 72, familyWord);

    size_t offset = PACKAGE_HEADER_SIZE + SECTION_RECORD_SIZE * sections.size();
    for (size_t s = 0; s < sections.size(); ++s) {
        const CPackSection& section = sections[s];
        size_t record = PACKAGE_HEADER_SIZE + SECTION_RECORD_SIZE * s;
        uint32_t length = static_cast<uint32_t>(section.data.size());
        PutLe32(image, record + 0, section.flags);
        PutLe32(image, record + 4, length);
        PutLe32(image, record + 8, section.address);
        PutLe32(image, record + 12, static_cast<uint32_t>(offset));
        uint32_t sum = ByteSum(section.data.data(), section.data.size());
        // A sum of 0xFFFFFFFF would read as "checksum not given"; it needs
        // more than 16 MiB of 0xFF bytes, so it is refused rather than stored.
        if (sum == CHECKSUM_NOT_GIVEN) {
            error = "section " + std::to_string(s) + ": byte sum " + Hex32(sum) +
                    " cannot be stored";
            return false;
        }
        PutLe32(image, record + 16, sum);
        std::memcpy(image.data() + offset, section.data.data(), length);
        offset += length;
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error)
{
    std::string tempPath;
    if (!WriteTemporary(path, ".tmp", data, size, tempPath, error))
        return false;
    return RenameIntoPlace(tempPath, path, error);
}

bool WritePackageChecked(const std::string& outputPath, const std::string& name,
                         uint32_t familyWord, const std::vector<CPackSection>& sections,
                         const PackageCheck& check, std::string& error)
{
    std::vector<uint8_t> image;
    if (!BuildPackage(name, familyWord, sections, image, error))
        return false;
    std::string tempPath;
    // The suffix keeps ".q" in the temporary name so that a check can load
    // the written file with the package reader.
    if (!WriteTemporary(outputPath, ".tmp.q", image.data(), image.size(), tempPath, error))
        return false;
    if (check && !check(tempPath, error)) {
        platform::RemoveFile(tempPath);
        return false;
    }
    return RenameIntoPlace(tempPath, outputPath, error);
}

bool WritePackage(const std::string& outputPath, const std::string& name, uint32_t familyWord,
                  const std::vector<CPackSection>& sections, std::string& error)
{
    return WritePackageChecked(outputPath, name, familyWord, sections, PackageCheck(), error);
}
