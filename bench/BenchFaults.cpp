// Counts false successes under the line's own faults: seeded upgrades of the
// in-process virtual receiver (unpaced) with bit errors at several rates,
// each run as `trailmark upgrade` runs it (the upgrade policy with its one
// retry), and with the flash then compared byte for byte with the package.
// A false success is a run that ends upgraded while the flash differs.
//
//   bench_faults [RUNS_PER_CASE] [FIRST_SEED] [RATE...]
//
// Every bit error costs the exchange it hits a time-out, so a run at 1e-4
// takes minutes: the default rates keep a case to about a minute a run.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "engine/HERFLoader.h"
#include "engine/UpgradePolicy.h"
#include "receiver/VirtualReceiver.h"

using namespace CHERFLoaderLib;

namespace {

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

CRunReport RunOnce(const std::vector<std::string>& ports, const std::string& package, uint32_t options,
                   int32_t flashCheck)
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    CHERFLoader loader;
    loader.Create(
        [&](const CLoaderNotification& n) {
            if (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED) {
                std::lock_guard<std::mutex> lock(mutex);
                finished = true;
                done.notify_all();
            }
        },
        0x83E8);
    loader.SetPortNumbers(0, 2, 4);
    loader.SetPortDevices(ports[0], "", "");
    loader.SetFlashCheck(flashCheck);
    CRunReport report;
    if (loader.Start(package.c_str(), options) == START_OK) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait_for(lock, std::chrono::seconds(300), [&] { return finished; });
    }
    report = loader.GetRunReport();
    loader.Destroy();
    return report;
}

struct CCounts {
    int upgraded = 0, failed = 0, falseSuccess = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 100;
    const uint64_t firstSeed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const std::string dir = TRAILMARK_BINARY_DIR;
    const std::string package = dir + "/Corvid_FW_v1.82-Boot.q";
    const std::vector<uint8_t> app = ReadFile(dir + "/app.bin"), boot = ReadFile(dir + "/boot.bin");
    if (app.empty() || boot.empty()) {
        std::fprintf(stderr, "app.bin and boot.bin are missing from %s\n", dir.c_str());
        return 1;
    }
    std::vector<double> rates = {1e-6, 3e-6, 1e-5};
    if (argc > 3) {
        rates.clear();
        for (int i = 3; i < argc; ++i)
            rates.push_back(std::atof(argv[i]));
    }
    const struct {
        const char* name;
        int32_t check;
    } checks[] = {{"none", FLASH_CHECK_NONE}, {"sum", FLASH_CHECK_SUM}, {"read-back", FLASH_CHECK_READ_BACK}};
    std::printf("%d seeded runs a case from seed %llu, sample package, line bit errors both ways\n", runs,
                static_cast<unsigned long long>(firstSeed));
    for (double rate : rates) {
        for (const auto& check : checks) {
            CCounts counts;
            const auto begin = std::chrono::steady_clock::now();
            for (int i = 0; i < runs; ++i) {
                CReceiverConfig config;
                config.m_dBitErrorRate = rate;
                config.m_nSeed = firstSeed + static_cast<uint64_t>(i);
                CVirtualReceiver receiver(config);
                std::string error;
                if (!receiver.Start(error)) {
                    std::fprintf(stderr, "%s\n", error.c_str());
                    return 1;
                }
                CUpgradePolicy policy;
                CRunReport report;
                do
                    report = RunOnce(receiver.SlavePaths(), package, policy.Options(), check.check);
                while (policy.NextRun(report));
                std::vector<uint8_t> flashApp, flashBoot;
                const bool same = receiver.ReadMemory(0x01020000, static_cast<uint32_t>(app.size()), flashApp) &&
                                  receiver.ReadMemory(0x01000000, static_cast<uint32_t>(boot.size()), flashBoot) &&
                                  flashApp == app && flashBoot == boot;
                receiver.Stop();
                if (CUpgradePolicy::Succeeded(report)) {
                    ++counts.upgraded;
                    counts.falseSuccess += !same;
                } else {
                    ++counts.failed;
                }
            }
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::printf("bit error rate %.0e, --verify %-9s: %d upgraded, %d failed, %d FALSE SUCCESSES (%.0f s)\n",
                        rate, check.name, counts.upgraded, counts.failed, counts.falseSuccess, seconds);
            std::fflush(stdout);
        }
    }
    return 0;
}
