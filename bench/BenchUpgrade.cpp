// Wall time of a full upgrade of the paced virtual receiver at 115200 baud,
// over one port and over two, against the wire-time lower bound (the bytes
// of the monitor and of the staged image at 11 bits a byte), with the CPU
// time this host process spent. The receiver runs as its own process so that
// its work is not counted.
//
// Each phase's time is printed, with the data upload's share of the wire and
// of the protocol's ceiling (from the packet sizes), and the total against
// the wire time of every byte the receiver's ports carried plus the flash
// time the receiver models. Runs for a blank receiver and for one that
// already holds a firmware of the sample's size; options after "--" go to
// the receiver (say --latency-ms 16).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/HERFLoader.h"
#include "package/FirmwareFile.h"
#include "transfer/MonitorImages.h"
#include "transfer/Expander.h"
#include "transfer/StagedImage.h"

using namespace CHERFLoaderLib;

namespace {

uint32_t g_nBaud = 115200;

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct CReceiverProcess {
    pid_t pid = -1;
    std::vector<std::string> ports;
    std::string report;
};

bool StartReceiver(int portCount, const std::vector<std::string>& extra, CReceiverProcess& receiver)
{
    const std::string portsFile = "/tmp/bench_upgrade_ports_" + std::to_string(getpid());
    receiver.report = "/tmp/bench_upgrade_report_" + std::to_string(getpid());
    unlink(portsFile.c_str());
    unlink(receiver.report.c_str());
    std::vector<std::string> args = {"trailmark", "receiver", "--pace", "--ports", std::to_string(portCount),
                                     "--ports-file", portsFile, "--report", receiver.report};
    args.insert(args.end(), extra.begin(), extra.end());
    std::fflush(stdout);
    receiver.pid = fork();
    if (receiver.pid == 0) {
        const std::string program = std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark";
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        freopen("/dev/null", "w", stdout);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        std::ifstream in(portsFile);
        std::string line;
        receiver.ports.clear();
        while (std::getline(in, line))
            if (!line.empty())
                receiver.ports.push_back(line);
        if (static_cast<int>(receiver.ports.size()) == portCount)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// Stops the receiver and returns its report (the counts of its flash work
// and of the bytes each port carried).
std::string StopReceiver(CReceiverProcess& receiver)
{
    if (receiver.pid > 0) {
        kill(receiver.pid, SIGTERM);
        waitpid(receiver.pid, nullptr, 0);
    }
    std::ifstream in(receiver.report);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The sum of every number that follows `"key": ` in the report.
double ReportSum(const std::string& report, const std::string& key)
{
    double total = 0;
    const std::string tag = "\"" + key + "\": ";
    for (size_t at = report.find(tag); at != std::string::npos; at = report.find(tag, at + 1))
        total += std::atof(report.c_str() + at + tag.size());
    return total;
}

// The values of every occurrence of a key, in report order (one per port for
// the ports' byte counts).
std::vector<double> ReportValues(const std::string& report, const std::string& key)
{
    std::vector<double> values;
    const std::string tag = "\"" + key + "\": ";
    for (size_t at = report.find(tag); at != std::string::npos; at = report.find(tag, at + 1))
        values.push_back(std::atof(report.c_str() + at + tag.size()));
    return values;
}

struct CPhaseTime {
    std::string name;
    double seconds = 0;
};

struct CRunFigures {
    bool ok = false;
    double wall = 0, cpu = 0;
    std::vector<CPhaseTime> phases;  // in order, phases of one name summed
    std::vector<std::string> checks;  // the flash-check and erase text lines
    std::string report;
};

CRunFigures RunOnce(const std::string& package, int portCount, const std::vector<std::string>& extra,
                    int32_t flashCheck)
{
    CRunFigures f;
    CReceiverProcess receiver;
    if (!StartReceiver(portCount, extra, receiver)) {
        StopReceiver(receiver);
        std::fprintf(stderr, "the virtual receiver did not start\n");
        return f;
    }
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::string current;
    auto mark = std::chrono::steady_clock::now();
    auto closePhase = [&](std::chrono::steady_clock::time_point now) {
        if (current.empty())
            return;
        const double s = std::chrono::duration<double>(now - mark).count();
        auto it = std::find_if(f.phases.begin(), f.phases.end(), [&](const CPhaseTime& p) { return p.name == current; });
        if (it == f.phases.end())
            f.phases.push_back({current, s});
        else
            it->seconds += s;
    };
    CHERFLoader loader;
    loader.Create(
        [&](const CLoaderNotification& n) {
            std::lock_guard<std::mutex> lock(mutex);
            const auto now = std::chrono::steady_clock::now();
            if (n.nCode == HLN_PHASE_BEGIN) {
                closePhase(now);
                current = n.strText;
                mark = now;
            } else if (n.nCode == HLN_TEXT && (n.strText.rfind("Flash", 0) == 0 || n.strText.rfind("Erase", 0) == 0)) {
                f.checks.push_back(n.strText);
            } else if (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED) {
                closePhase(now);
                finished = true;
                done.notify_all();
            }
        },
        0x83E8);
    CPortId ports[3] = {CPortId(), CPortId::Com(PORT_SECONDARY_DEFAULT), CPortId::Com(PORT_THIRD_DEFAULT)};
    for (size_t i = 0; i < receiver.ports.size() && i < 3; ++i)
        ports[i] = CPortId::Device(receiver.ports[i]);
    loader.SetPorts(CReceiverPorts(ports[0], ports[1], ports[2]));
    loader.SetFlashCheck(flashCheck);
    loader.SetLineRate(g_nBaud);
    const uint32_t options = portCount > 1 ? 0x161 : 0x163;
    const double cpuBefore = CpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    mark = begin;
    f.ok = loader.Start(package.c_str(), options) == START_OK;
    if (f.ok) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return finished; });
    }
    f.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    f.cpu = CpuSeconds() - cpuBefore;
    f.ok = f.ok && loader.GetResult() == HLE_NONE;
    loader.Destroy();
    f.report = StopReceiver(receiver);
    return f;
}

// Bytes on the wire of one 1024-byte block of the data upload: the ready
// check (command packet 7 + 13) and its acknowledgement (7 + 1), the data
// packet (7 + 8 + 1024) and its acknowledgement.
constexpr double BLOCK_PAYLOAD = 1024;
constexpr double BLOCK_WIRE_BYTES = (7 + 13) + (7 + 1) + (7 + 8 + BLOCK_PAYLOAD) + (7 + 1);
constexpr double BITS = 11;  // 8O1
constexpr double BAUD = 115200;
// The monitor's bytes and the boot loader's exchanges go at 115200, the rest
// at the rate the run asks for (the flash monitor's after its switch).
constexpr double BOOT_SHARE_OVERHEAD = 1.05;

// The receiver's modelled flash time from its counts (typical figures):
// 200 ms a sector, 20 us a 16-bit word, expansion at 2 MB/s.
double FlashModelSeconds(const std::string& report, double expanded)
{
    return ReportSum(report, "erases") * 0.2 + ReportSum(report, "programs") * 2048 * 20e-6 + expanded / 2e6;
}

void Print(const char* label, int ports, const CRunFigures& f, double staged, double expanded, double monitor)
{
    if (!f.ok) {
        std::printf("%-30s %d port(s): upgrade FAILED after %.1f s\n", label, ports, f.wall);
        return;
    }
    // The ports carry their bytes side by side: the busiest one bounds the
    // run. Its monitor bytes went at 115200.
    const std::vector<double> in = ReportValues(f.report, "bytes_in"), out = ReportValues(f.report, "bytes_out");
    double bytes = 0;
    for (size_t i = 0; i < in.size() && i < out.size(); ++i)
        bytes = std::max(bytes, in[i] + out[i]);
    const double slow = std::min(bytes, monitor * BOOT_SHARE_OVERHEAD);
    const double wire = slow * BITS / BAUD + (bytes - slow) * BITS / g_nBaud;
    const double flash = FlashModelSeconds(f.report, expanded);
    std::printf("%-30s %d port(s): %.1f s; wire time of the busiest port (monitor at 115200, the rest at %u) %.1f s + "
                "modelled flash %.1f s = %.1f s (total %.2fx); host CPU %.2f s\n",
                label, ports, f.wall, g_nBaud, wire, flash, wire + flash, f.wall / (wire + flash), f.cpu);
    for (const CPhaseTime& p : f.phases) {
        std::printf("    %-22s %6.2f s", p.name.c_str(), p.seconds);
        if (p.name == "Upload data") {
            const double payloadSeconds = staged * BITS / g_nBaud / ports;
            const double ceiling = BLOCK_PAYLOAD / BLOCK_WIRE_BYTES;
            std::printf("  (%.1f%% of the wire; %.1f%% of the protocol's ceiling of %.1f%%)",
                        100 * payloadSeconds / p.seconds, 100 * payloadSeconds / p.seconds / ceiling,
                        100 * ceiling);
        }
        std::printf("\n");
    }
    for (const std::string& c : f.checks)
        std::printf("    %s\n", c.c_str());
    std::printf("    receiver: %.0f erases, %.0f blank checks passed\n", ReportSum(f.report, "erases"),
                ReportSum(f.report, "blank_checks"));
}

}  // namespace

// bench_upgrade [--package P] [--verify auto|sum|read-back|none] [--ports 1|2] [--baud RATE]
//               [-- RECEIVER OPTIONS...]
int main(int argc, char** argv)
{
    std::string package = std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";
    int32_t flashCheck = FLASH_CHECK_SUM;
    int onlyPorts = 0;
    std::vector<std::string> extra, rateArgs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            extra.assign(argv + i + 1, argv + argc);
            break;
        }
        if (a == "--package" && i + 1 < argc)
            package = argv[++i];
        else if (a == "--verify" && i + 1 < argc) {
            const std::string v = argv[++i];
            flashCheck = v == "none"        ? FLASH_CHECK_NONE
                         : v == "read-back" ? FLASH_CHECK_READ_BACK
                         : v == "auto"      ? FLASH_CHECK_AUTO
                                            : FLASH_CHECK_SUM;
        } else if (a == "--ports" && i + 1 < argc) {
            onlyPorts = std::atoi(argv[++i]);
        } else if (a == "--baud" && i + 1 < argc) {
            g_nBaud = static_cast<uint32_t>(std::atoi(argv[++i]));
            rateArgs = {"--max-baud", std::to_string(g_nBaud)};
        }
        else {
            std::fprintf(stderr, "usage: bench_upgrade [--package P] [--verify auto|sum|read-back|none] [--ports N] "
                                 "[--baud 115200|230400|460800|921600] [-- receiver options]\n");
            return 2;
        }
    }
    CFirmwareFileEntry entry;
    if (!entry.Load(package.c_str())) {
        std::fprintf(stderr, "%s\n", entry.m_strError.c_str());
        return 1;
    }
    const double staged = GetStagedSize(entry);
    double expanded = 0;
    for (const auto& section : entry.sections) {
        CCompressedPrefix prefix;
        if ((section->flags & SECTION_COMPRESSED) && section->data &&
            ReadCompressedPrefix(section->data.get(), section->length, prefix))
            expanded += prefix.expandedLength;
    }
    const double monitor = GetMonitorImage(1).nLength;
    std::printf("staged image %.0f bytes, monitor %.0f bytes: their wire time %.1f s at 115200 baud\n", staged,
                monitor, (staged + monitor) * BITS / BAUD);
    // A blank receiver has no application; a programmed one holds an image
    // of the sample application's size.
    const std::string appImage = std::string(TRAILMARK_BINARY_DIR) + "/app.bin";
    const struct {
        const char* label;
        std::vector<std::string> args;
    } receivers[] = {{"blank receiver", {"--no-app"}}, {"programmed receiver", {"--app-image", appImage}}};
    for (const auto& r : receivers) {
        for (int ports = 1; ports <= 2; ++ports) {
            if (onlyPorts && ports != onlyPorts)
                continue;
            std::vector<std::string> args = r.args;
            args.insert(args.end(), rateArgs.begin(), rateArgs.end());
            args.insert(args.end(), extra.begin(), extra.end());
            Print(r.label, ports, RunOnce(package, ports, args, flashCheck), staged, expanded, monitor);
        }
    }
    return 0;
}
