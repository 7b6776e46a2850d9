// Counts false successes under line faults: seeded upgrades of the
// in-process virtual receiver (unpaced), each run as `trailmark upgrade` runs
// it (the upgrade policy with its retries), and the flash then compared byte
// for byte with the package. A false success is a run that ends upgraded
// while the flash differs; a bricked receiver is one the upgrade left without
// a whole boot loader outside its monitor.
//
//   bench_faults [--runs N] [--seed S] [--jobs J] [--verify auto,sum,read-back,none]
//                [--bits R,...] [--corrupt R,...] [--drop R,...]
//
// --bits is the line model's bit error rate both ways, --corrupt flips one bit
// of bytes at that rate both ways, --drop loses bytes both ways; rate 0 is a
// clean line (the baseline of the median time). Each case prints upgraded,
// failed, false successes, bricked receivers, the share of upgraded runs that
// read their flash back because the line had lost or damaged something, and
// the median time of a receiver's whole upgrade. Runs mostly wait, so --jobs
// runs that many receivers side by side.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/UpgradeJob.h"
#include "transfer/PackageImage.h"
#include "receiver/VirtualReceiver.h"

using namespace CHERFLoaderLib;

namespace {

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

enum class EFault { Bits, Corrupt, Drop };

struct CCase {
    EFault eFault;
    double dRate;
    const char* pszVerify;
    int32_t nCheck;
};

struct COutcome {
    bool bUpgraded = false, bSame = false, bBricked = false, bReadBack = false;
    double dSeconds = 0;
    std::string strReason;  // why it failed, as the job reports it
};

COutcome Upgrade(const CCase& c, uint64_t seed, const std::shared_ptr<const CPackageImage>& package,
                 const std::vector<uint8_t>& app, const std::vector<uint8_t>& boot)
{
    CReceiverConfig config;
    config.m_nSeed = seed;
    if (c.eFault == EFault::Bits)
        config.m_dBitErrorRate = c.dRate;
    else if (c.eFault == EFault::Corrupt)
        config.m_dCorruptRx = config.m_dCorruptTx = c.dRate;
    else
        config.m_dDropRx = config.m_dDropTx = c.dRate;
    COutcome outcome;
    CVirtualReceiver receiver(config);
    std::string error;
    if (!receiver.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return outcome;
    }
    std::mutex mutex;
    std::condition_variable done;
    bool readBack = false, finished = false;
    CJobSettings settings;
    settings.nFlashCheck = c.nCheck;
    CUpgradeJob job(package, settings, [&](const CJobEvent& event) {
        std::lock_guard<std::mutex> lock(mutex);
        finished = finished || event.eKind == CJobEvent::EKind::JobEnds;
        done.notify_all();
    });
    job.SetPorts(CPortId::Device(receiver.SlavePaths()[0]));
    if (job.Start()) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return finished; });
    }
    const CJobReport report = job.Report();
    readBack = report.last.bLineTrouble;
    outcome.dSeconds = report.dSeconds;
    std::vector<uint8_t> flashApp, flashBoot;
    outcome.bSame = receiver.ReadMemory(0x01020000, static_cast<uint32_t>(app.size()), flashApp) &&
                    receiver.ReadMemory(0x01000000, static_cast<uint32_t>(boot.size()), flashBoot) &&
                    flashApp == app && flashBoot == boot;
    receiver.Stop();
    outcome.bBricked = receiver.IsBricked();
    outcome.bUpgraded = report.bSuccess;
    outcome.strReason = report.strReason;
    outcome.bReadBack = readBack && c.nCheck == FLASH_CHECK_AUTO;
    return outcome;
}

std::vector<double> Rates(const std::string& text)
{
    std::vector<double> rates;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        rates.push_back(std::atof(item.c_str()));
    return rates;
}

// Whether the comma-separated list names `name`. Read item by item: the
// list padded with commas by concatenation fails the Release build (GCC 12
// at -O3 warns of an overlapping copy, -Wrestrict).
bool Lists(const std::string& text, const char* name)
{
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (item == name)
            return true;
    return false;
}

const char* FaultName(EFault fault)
{
    return fault == EFault::Bits ? "bit errors" : fault == EFault::Corrupt ? "corrupt bytes" : "lost bytes";
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 100, jobs = 4;
    uint64_t firstSeed = 1;
    std::string verify = "auto,sum,read-back,none";
    std::vector<std::pair<EFault, std::vector<double>>> faults;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--runs")
            runs = std::atoi(value.c_str());
        else if (flag == "--seed")
            firstSeed = std::strtoull(value.c_str(), nullptr, 10);
        else if (flag == "--jobs")
            jobs = std::max(1, std::atoi(value.c_str()));
        else if (flag == "--verify")
            verify = value;
        else if (flag == "--bits")
            faults.emplace_back(EFault::Bits, Rates(value));
        else if (flag == "--corrupt")
            faults.emplace_back(EFault::Corrupt, Rates(value));
        else if (flag == "--drop")
            faults.emplace_back(EFault::Drop, Rates(value));
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    if (faults.empty())
        faults.emplace_back(EFault::Bits, std::vector<double>{1e-6, 3e-6, 1e-5});
    const std::string dir = TRAILMARK_BINARY_DIR;
    // The records of monitors left running stay in the build tree.
    setenv("TRAILMARK_STATE_DIR", (dir + "/bench-state").c_str(), 1);
    std::string error;
    const std::shared_ptr<const CPackageImage> package = CPackageImage::Load(dir + "/Corvid_FW_v1.82-Boot.q", error);
    if (!package) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::vector<uint8_t> app = ReadFile(dir + "/app.bin"), boot = ReadFile(dir + "/boot.bin");
    if (app.empty() || boot.empty()) {
        std::fprintf(stderr, "app.bin and boot.bin are missing from %s\n", dir.c_str());
        return 1;
    }
    const struct {
        const char* name;
        int32_t check;
    } checks[] = {{"auto", FLASH_CHECK_AUTO},
                  {"sum", FLASH_CHECK_SUM},
                  {"read-back", FLASH_CHECK_READ_BACK},
                  {"none", FLASH_CHECK_NONE}};
    std::printf("%d seeded runs a case from seed %llu, %d at once, sample package, unpaced\n", runs,
                static_cast<unsigned long long>(firstSeed), jobs);
    for (const auto& [fault, rates] : faults) {
        for (double rate : rates) {
            for (const auto& check : checks) {
                if (!Lists(verify, check.name))
                    continue;
                const CCase c{fault, rate, check.name, check.check};
                std::vector<COutcome> outcomes(static_cast<size_t>(runs));
                std::atomic<int> next{0};
                const auto begin = std::chrono::steady_clock::now();
                std::vector<std::thread> workers;
                for (int j = 0; j < jobs; ++j)
                    workers.emplace_back([&] {
                        for (int i; (i = next++) < runs;)
                            outcomes[static_cast<size_t>(i)] =
                                Upgrade(c, firstSeed + static_cast<uint64_t>(i), package, app, boot);
                    });
                for (std::thread& worker : workers)
                    worker.join();
                int upgraded = 0, falseSuccess = 0, bricked = 0, readBack = 0;
                std::vector<double> seconds;
                for (const COutcome& o : outcomes) {
                    upgraded += o.bUpgraded;
                    falseSuccess += o.bUpgraded && !o.bSame;
                    bricked += o.bBricked;
                    readBack += o.bUpgraded && o.bReadBack;
                    seconds.push_back(o.dSeconds);
                }
                std::sort(seconds.begin(), seconds.end());
                const double median = seconds.empty() ? 0 : seconds[seconds.size() / 2];
                std::printf("%-13s %.0e, --verify %-9s: %d upgraded, %d failed, %d FALSE SUCCESSES, %d bricked, "
                            "%d of the upgraded read back, median %.1f s (%.0f s in all)\n",
                            FaultName(fault), rate, check.name, upgraded, runs - upgraded, falseSuccess, bricked,
                            readBack, median,
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
                // What the failed runs ended on, most frequent first, so that a
                // share of failures points at the phase that gives up.
                std::map<std::string, int> reasons;
                for (const COutcome& o : outcomes)
                    if (!o.bUpgraded)
                        ++reasons[o.strReason.substr(0, 160)];
                std::vector<std::pair<int, std::string>> sorted;
                for (const auto& [reason, count] : reasons)
                    sorted.emplace_back(count, reason);
                std::sort(sorted.rbegin(), sorted.rend());
                for (const auto& [count, reason] : sorted)
                    std::printf("    %3d failed: %s\n", count, reason.c_str());
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
