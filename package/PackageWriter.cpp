#include "package/PackageWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "package/FirmwareFile.h"

namespace {

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

// Writes all bytes, retrying short writes and interrupted calls.
bool WriteAll(int fd, const uint8_t* data, size_t size, int& code)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            code = errno;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// A new, exclusively created file beside `path`: the same folder, so that the
// final rename stays within one file system and is atomic. The name ends in
// `suffix`. Returns -1 with `error` set when no such file can be made.
int CreateTemporary(const std::string& path, const char* suffix, std::string& tempPath,
                    std::string& error)
{
    static std::atomic<unsigned> s_nCounter{0};
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = folder + "." + base + "." + std::to_string(::getpid()) + "-" +
                   std::to_string(s_nCounter++) + suffix;
        int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            error = SystemError("cannot create a temporary file for", path, errno);
            return -1;
        }
    }
    error = "cannot create a temporary file for " + path + ": too many leftovers";
    return -1;
}

// The data written to disk under a temporary name; the name in `tempPath`.
bool WriteTemporary(const std::string& path, const char* suffix, const uint8_t* data,
                    size_t size, std::string& tempPath, std::string& error)
{
    int fd = CreateTemporary(path, suffix, tempPath, error);
    if (fd < 0)
        return false;
    int code = 0;
    bool ok = WriteAll(fd, data, size, code);
    // Flushed before the rename, so that after a crash the target holds
    // either its old contents or the complete new file.
    if (ok && ::fsync(fd) != 0)
        ok = false, code = errno;
    if (::close(fd) != 0 && ok)
        ok = false, code = errno;
    if (!ok) {
        error = SystemError("cannot write", path, code);
        ::unlink(tempPath.c_str());
    }
    return ok;
}

bool RenameIntoPlace(const std::string& tempPath, const std::string& path, std::string& error)
{
    if (::rename(tempPath.c_str(), path.c_str()) == 0)
        return true;
    error = SystemError("cannot write", path, errno);
    ::unlink(tempPath.c_str());
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
        ::unlink(tempPath.c_str());
        return false;
    }
    return RenameIntoPlace(tempPath, outputPath, error);
}

bool WritePackage(const std::string& outputPath, const std::string& name, uint32_t familyWord,
                  const std::vector<CPackSection>& sections, std::string& error)
{
    return WritePackageChecked(outputPath, name, familyWord, sections, PackageCheck(), error);
}
