// Feeds arbitrary bytes to the package reader as a ".q" file and as a ".bin"
// file, loads every listed section, proves the package, and checks the
// package-name conversion directly: its text must stay within its byte limit
// and be valid UTF-8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "package/FirmwareFile.h"
#include "transfer/PackageProof.h"

namespace {

// A fresh folder for the inputs, removed when the process ends.
const char* WorkFolder()
{
    static char s_szFolder[] = "/tmp/fuzz_package_XXXXXX";
    static const bool s_bMade = [] {
        if (mkdtemp(s_szFolder) == nullptr)
            std::abort();
        std::atexit([] { rmdir(s_szFolder); });
        return true;
    }();
    (void)s_bMade;
    return s_szFolder;
}

bool WriteFile(const std::string& name, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

bool IsValidUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > text.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += n;
    }
    return true;
}

void LoadAll(const std::string& name)
{
    CFirmwareFileEntry entry;
    entry.Load(name.c_str());
    if (entry.description[DESCRIPTION_FIELD_SIZE - 1] != '\0' || entry.path[PATH_FIELD_SIZE - 1] != '\0')
        std::abort();
    for (auto& section : entry.sections) {
        bool ok = section->LoadData(entry.path);
        if (ok != (section->data != nullptr))
            std::abort();
        if (ok && !section->LoadData(entry.path))
            std::abort();
    }
    // The proof judges whatever was read, sections without data included,
    // and always says why it refuses.
    std::string reason;
    if (!ProvePackage(entry, reason) && reason.empty())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 2 * PACKAGE_NAME_FIELD_UNITS) {
        size_t limit = data[0] % 40;
        std::string text = PackageNameText(data, PACKAGE_NAME_FIELD_UNITS, limit);
        if (text.size() > limit || !IsValidUtf8(text))
            std::abort();
    }
    const std::string package = std::string(WorkFolder()) + "/input.q";
    const std::string image = std::string(WorkFolder()) + "/input.bin";
    if (WriteFile(package, data, size))
        LoadAll(package);
    if (WriteFile(image, data, size))
        LoadAll(image);
    std::remove(package.c_str());
    std::remove(image.c_str());
    return 0;
}
