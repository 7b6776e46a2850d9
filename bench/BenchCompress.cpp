// bench_compress: our compressor and expander against gzip -9 and lz4 -12.
//
// For each input it prints the input size, our compressed stream size, the
// sizes the gzip and lz4 programs reach (skipped with a note when a program
// is missing), the ratios, and our compressor's and expander's speed, all
// measured in the same run. Inputs: files named on the command line, the
// application image of a package given with --sample, or by default a
// generated buffer of 384 KiB that looks like processor code and tables.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "transfer/Expander.h"
#include "transfer/StagedImage.h"

namespace {

using Bytes = std::vector<uint8_t>;
using CClock = std::chrono::steady_clock;

constexpr double BENCH_MIN_SECONDS = 0.5;  // repeat each measurement at least this long

// splitmix64: a fixed-seed generator of our own, the same output everywhere.
class CBenchRandom {
public:
    explicit CBenchRandom(uint64_t seed) : m_nState(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    // Registers: low ones far more often, as compilers allocate them.
    uint32_t Register() { return Below(4) ? Below(4) : Below(13); }

private:
    uint64_t m_nState;
};

void PutWord(Bytes& out, uint32_t word)
{
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<uint8_t>(word >> (8 * k)));
}

// One function: prologue, a body of 32-bit instruction words from a few
// templates with register, offset and immediate fields, epilogue and a small
// pool of literal addresses.
void PutFunction(Bytes& out, CBenchRandom& random)
{
    PutWord(out, 0xE92D4000 | (0xF0u >> random.Below(4) << 4));
    const uint32_t nBody = 6 + random.Below(60);
    for (uint32_t k = 0; k < nBody; ++k) {
        const uint32_t rd = random.Register(), rn = random.Register(), rm = random.Register();
        switch (random.Below(8)) {
        case 0: PutWord(out, 0xE0800000 | random.Below(16) << 21 | rn << 16 | rd << 12 | rm); break;
        case 1: PutWord(out, 0xE3A00000 | rd << 12 | random.Below(32)); break;
        case 2: PutWord(out, 0xE59F0000 | rd << 12 | random.Below(16) * 4); break;
        case 3: PutWord(out, 0xE5900000 | random.Below(2) << 20 | rn << 16 | rd << 12 | random.Below(12) * 4); break;
        case 4: PutWord(out, 0xEB000000 | ((0x1000000 - 64 - random.Below(4096)) & 0xFFFFFF)); break;
        case 5: PutWord(out, 0xE3500000 | rn << 16 | random.Below(16)); break;
        case 6: PutWord(out, 0x1A000000 | random.Below(24)); break;
        default: PutWord(out, 0xE1A00000 | rd << 12 | rm); break;
        }
    }
    PutWord(out, 0xE8BD8000 | (0xF0u >> random.Below(4) << 4));
    const uint32_t nPool = random.Below(6);
    for (uint32_t k = 0; k < nPool; ++k)
        PutWord(out, (random.Below(2) ? 0x01020000 : 0x05000000) + random.Below(0x8000) * 4);
}

void PutStrings(Bytes& out, CBenchRandom& random)
{
    static const char* const words[] = {"satellite", "position", "fix", "error", "track", "waypoint",
                                        "route", "battery", "low", "signal", "lost", "acquiring",
                                        "%d", "%s", "found", "the", "of", "memory", "flash", "time"};
    const uint32_t nLines = 2 + random.Below(8);
    for (uint32_t k = 0; k < nLines; ++k) {
        const uint32_t nWords = 1 + random.Below(6);
        for (uint32_t w = 0; w < nWords; ++w) {
            const char* pWord = words[random.Below(sizeof(words) / sizeof(words[0]))];
            out.insert(out.end(), pWord, pWord + std::strlen(pWord));
            out.push_back(w + 1 < nWords ? ' ' : 0);
        }
        while (out.size() % 4)
            out.push_back(0);
    }
}

void PutTable(Bytes& out, CBenchRandom& random)
{
    if (random.Below(2)) {
        for (int k = 0; k < 256; ++k) {
            const auto value = static_cast<int16_t>(std::lround(32767 * std::sin(k * 2 * std::numbers::pi / 256)));
            out.push_back(static_cast<uint8_t>(value));
            out.push_back(static_cast<uint8_t>(value >> 8));
        }
    } else {
        for (uint32_t k = 0; k < 256; ++k) {
            uint32_t crc = k;
            for (int b = 0; b < 8; ++b)
                crc = crc & 1 ? 0xEDB88320 ^ (crc >> 1) : crc >> 1;
            PutWord(out, crc);
        }
    }
}

Bytes MakeCodeLike(size_t size)
{
    CBenchRandom random(0x436F6465);
    Bytes out;
    while (out.size() < size) {
        const uint32_t nPick = random.Below(100);
        if (nPick < 80)
            PutFunction(out, random);
        else if (nPick < 95)
            PutStrings(out, random);
        else if (nPick < 97)
            PutTable(out, random);
        else
            out.insert(out.end(), 16 + random.Below(240), 0);
    }
    out.resize(size);
    return out;
}

bool ReadFile(const std::string& path, Bytes& data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The application image of a package (expanded when compressed), or the
// first section when none is flagged as application.
bool ReadSampleImage(const std::string& path, Bytes& image, std::string& error)
{
    CFirmwareFileEntry entry;
    if (!entry.Load(path.c_str()) || entry.sections.empty()) {
        error = entry.m_strError.empty() ? "no sections" : entry.m_strError;
        return false;
    }
    CFirmwareSection* pSection = entry.sections.front().get();
    for (const auto& pCandidate : entry.sections)
        if (pCandidate->flags & SECTION_APP) {
            pSection = pCandidate.get();
            break;
        }
    if (!pSection->LoadData(entry.path)) {
        error = pSection->m_strError;
        return false;
    }
    if (!(pSection->flags & SECTION_COMPRESSED)) {
        image.assign(pSection->data.get(), pSection->data.get() + pSection->length);
        return true;
    }
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(pSection->data.get(), pSection->length, prefix) ||
        prefix.expandedLength > MAX_EXPANDED_LENGTH) {
        error = "bad compressed section prefix";
        return false;
    }
    image.resize(prefix.expandedLength);
    ExpandBuffer(pSection->data.get() + COMPRESSED_PREFIX_SIZE, prefix.streamLength, image.data(),
                 prefix.expandedLength);
    return true;
}

bool HaveProgram(const char* name)
{
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Output size of `command` run on a temporary copy of the input; -1 on failure.
long ExternalSize(const Bytes& data, const std::string& command)
{
    char path[] = "/tmp/bench_compress_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return -1;
    const bool bWritten = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    close(fd);
    long nSize = -1;
    if (bWritten) {
        const std::string line = command + " < " + path;
        if (FILE* pPipe = popen(line.c_str(), "r")) {
            char buffer[65536];
            size_t nRead = 0;
            nSize = 0;
            while ((nRead = std::fread(buffer, 1, sizeof(buffer), pPipe)) > 0)
                nSize += static_cast<long>(nRead);
            if (pclose(pPipe) != 0)
                nSize = -1;
        }
    }
    unlink(path);
    return nSize;
}

// Runs `work` repeatedly for at least BENCH_MIN_SECONDS; seconds per run.
template <typename F>
double SecondsPerRun(F work)
{
    int nRuns = 0;
    const auto start = CClock::now();
    double dElapsed = 0;
    do {
        work();
        ++nRuns;
        dElapsed = std::chrono::duration<double>(CClock::now() - start).count();
    } while (dElapsed < BENCH_MIN_SECONDS);
    return dElapsed / nRuns;
}

void PrintOther(const char* label, long size, size_t ours)
{
    if (size < 0)
        std::printf("  %-10s skipped (program missing or failed)\n", label);
    else
        std::printf("  %-10s %9ld   ours/%s %.3f\n", label, size, label,
                    size > 0 ? static_cast<double>(ours) / static_cast<double>(size) : 0.0);
}

bool Bench(const std::string& name, const Bytes& data, bool bGzip, bool bLz4)
{
    Bytes stream;
    const double dCompress = SecondsPerRun([&] { stream = CompressStream(data.data(), data.size()); });
    Bytes out(data.size());
    uint32_t nCount = 0;
    const double dExpand = SecondsPerRun([&] {
        nCount = ExpandBuffer(stream.data(), static_cast<uint32_t>(stream.size()), out.data(),
                              static_cast<uint32_t>(out.size()));
    });
    const double dMegabytes = static_cast<double>(data.size()) / 1e6;
    std::printf("%s\n  %-10s %9zu\n  %-10s %9zu   ratio %.3f\n", name.c_str(), "input", data.size(),
                "ours", stream.size(),
                data.empty() ? 0.0 : static_cast<double>(stream.size()) / static_cast<double>(data.size()));
    PrintOther("gzip", bGzip ? ExternalSize(data, "gzip -9 -c") : -1, stream.size());
    PrintOther("lz4", bLz4 ? ExternalSize(data, "lz4 -12 -c") : -1, stream.size());
    std::printf("  compress   %9.2f MB/s (%.1f ms)\n  expand     %9.1f MB/s (%.2f ms)\n",
                dMegabytes / dCompress, dCompress * 1e3, dMegabytes / dExpand, dExpand * 1e3);
    if (nCount != data.size() || out != data) {
        std::printf("  ROUND TRIP FAILED\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("usage: bench_compress [--sample PACKAGE] [FILE...]\n");
            return 0;
        }
        Bytes data;
        std::string error = "cannot read";
        const bool bSample = arg == "--sample" && i + 1 < argc;
        const std::string path = bSample ? argv[++i] : arg;
        if (bSample ? !ReadSampleImage(path, data, error) : !ReadFile(path, data)) {
            std::fprintf(stderr, "bench_compress: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        inputs.emplace_back(bSample ? path + " (application image)" : path, std::move(data));
    }
    if (inputs.empty())
        inputs.emplace_back("generated code-like data", MakeCodeLike(384 * 1024));
    const bool bGzip = HaveProgram("gzip");
    const bool bLz4 = HaveProgram("lz4");
    bool bOk = true;
    for (const auto& [name, data] : inputs)
        bOk = Bench(name, data, bGzip, bLz4) && bOk;
    return bOk ? 0 : 1;
}
