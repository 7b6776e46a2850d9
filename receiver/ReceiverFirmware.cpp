#include "receiver/ReceiverFirmware.h"

#include "receiver/FrameCodec.h"
#include "receiver/ReceiverConfig.h"
#include "receiver/ReceiverMemory.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr uint32_t APP_MAGIC = 0xA9B8C7D6;
constexpr uint32_t BOOT_MAGIC = 0xB00710AD;
constexpr uint32_t GENERATED_APP_SIZE = 0x8000;
constexpr uint32_t GENERATED_BOOT_SIZE = 0x4000;

// A fixed pseudo-random body so that two receivers of the same versions hold
// the same bytes, and an upgrade visibly changes them.
void FillBody(std::vector<uint8_t>& image, size_t from, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = from; i < image.size(); ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<uint8_t>(x >> 16);
    }
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

std::vector<uint8_t> BuildAppImage(uint16_t productCode, uint16_t version)
{
    std::vector<uint8_t> image(GENERATED_APP_SIZE, 0);
    FillBody(image, 32, 0xA000u + version);
    RxPutLe32(&image[0], APP_MAGIC);
    RxPutLe16(&image[8], productCode);
    RxPutLe16(&image[10], version);
    RxPutLe16(&image[16], 2005);
    image[18] = 9;
    image[19] = 21;
    RxPutLe32(&image[20], 43200);
    return image;
}

std::vector<uint8_t> BuildBootImage(uint16_t version)
{
    std::vector<uint8_t> image(GENERATED_BOOT_SIZE, 0);
    FillBody(image, 0, 0xB000u + version);
    uint8_t* r = &image[RXI_BOOT_RECORD_OFFSET];
    std::memset(r, 0, 16);
    RxPutLe32(r, BOOT_MAGIC);
    RxPutLe32(r + 4, version);
    RxPutLe16(r + 8, 2005);
    r[10] = 4;
    r[11] = 11;
    RxPutLe32(r + 12, 36000);
    return image;
}

CFlashVersions ReadFlashVersions(const CReceiverMemory& memory)
{
    CFlashVersions v;
    uint8_t h[32];
    if (memory.Read(RXM_APP_START, h, sizeof h) && RxGetLe32(h) == APP_MAGIC) {
        v.m_bAppValid = true;
        v.m_wProductCode = RxGetLe16(h + 8);
        v.m_wAppVersion = RxGetLe16(h + 10);
        v.m_wAppYear = RxGetLe16(h + 16);
        v.m_nAppMonth = h[18];
        v.m_nAppDay = h[19];
    }
    uint8_t b[256 + 12];
    if (!memory.Read(RXM_BOOT_START, b, sizeof b))
        return v;
    for (size_t k = 0; k < 256; k += 4) {
        if (RxGetLe32(b + k) != BOOT_MAGIC)
            continue;
        v.m_bBootValid = true;
        v.m_wBootVersion = static_cast<uint16_t>(RxGetLe32(b + k + 4));
        v.m_wBootYear = RxGetLe16(b + k + 8);
        v.m_nBootMonth = b[k + 10];
        v.m_nBootDay = b[k + 11];
        break;
    }
    return v;
}

std::vector<uint8_t> BuildIdentityRecord(const CReceiverMemory& memory,
                                         const CReceiverConfig& config)
{
    CFlashVersions v = ReadFlashVersions(memory);
    std::vector<uint8_t> r(RXI_IDENTITY_SIZE, 0);
    RxPutLe16(&r[0], v.m_bAppValid ? v.m_wProductCode : config.m_wProductCode);
    RxPutLe16(&r[2], v.m_wAppVersion);
    RxPutLe16(&r[4], v.m_wAppYear);
    r[6] = v.m_nAppMonth;
    r[7] = v.m_nAppDay;
    RxPutLe16(&r[8], 1);
    RxPutLe16(&r[10], static_cast<uint16_t>(config.m_nBoardId));
    RxPutLe16(&r[12], 2005);
    r[14] = 3;
    r[15] = 14;
    RxPutLe16(&r[16], v.m_wBootVersion);
    RxPutLe16(&r[18], v.m_wBootYear);
    r[20] = v.m_nBootMonth;
    r[21] = v.m_nBootDay;
    size_t n = std::min<size_t>(config.m_strSerial.size(), 16);
    std::memcpy(&r[22], config.m_strSerial.data(), n);
    return r;
}

static bool LoadImage(CReceiverMemory& memory, uint32_t address, uint32_t room,
                      const std::string& file, const std::vector<uint8_t>& generated,
                      std::string& error)
{
    std::vector<uint8_t> bytes = generated;
    if (!file.empty() && !ReadFile(file, bytes))
        return error = file + ": cannot be read", false;
    if (bytes.size() > room)
        return error = (file.empty() ? std::string("image") : file) + ": does not fit its region",
               false;
    return memory.LoadFlash(address, bytes.data(), static_cast<uint32_t>(bytes.size())) ||
           (error = "image outside flash", false);
}

bool LoadInitialFirmware(CReceiverMemory& memory, const CReceiverConfig& config,
                         std::string& error)
{
    if (config.m_bBoot &&
        !LoadImage(memory, RXM_BOOT_START, RXM_BOOT_SIZE, config.m_strBootFile,
                   BuildBootImage(config.m_wBootVersion), error))
        return false;
    uint32_t appRoom = memory.Chip().m_nSize - (RXM_APP_START - RXM_FLASH_BASE);
    if (config.m_bApp &&
        !LoadImage(memory, RXM_APP_START, appRoom, config.m_strAppFile,
                   BuildAppImage(config.m_wProductCode, config.m_wAppVersion), error))
        return false;
    return true;
}
