// Wall time of a full upgrade of the paced virtual receiver at 115200 baud,
// over one port and over two, against the wire-time lower bound (the bytes
// of the monitor and of the staged image at 11 bits a byte), with the CPU
// time this host process spent. The receiver runs as its own process so that
// its work is not counted.
//
//   bench_upgrade [PACKAGE]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
#include "transfer/StagedImage.h"

using namespace CHERFLoaderLib;

namespace {

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
};

bool StartReceiver(int portCount, CReceiverProcess& receiver)
{
    const std::string portsFile = "/tmp/bench_upgrade_ports_" + std::to_string(getpid());
    unlink(portsFile.c_str());
    std::fflush(stdout);
    receiver.pid = fork();
    if (receiver.pid == 0) {
        const std::string program = std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark";
        const std::string count = std::to_string(portCount);
        freopen("/dev/null", "w", stdout);
        execl(program.c_str(), "trailmark", "receiver", "--pace", "--ports", count.c_str(), "--ports-file",
              portsFile.c_str(), static_cast<char*>(nullptr));
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

void StopReceiver(CReceiverProcess& receiver)
{
    if (receiver.pid > 0) {
        kill(receiver.pid, SIGTERM);
        waitpid(receiver.pid, nullptr, 0);
    }
}

bool RunOnce(const std::string& package, int portCount, double& wallSeconds, double& cpuSeconds)
{
    CReceiverProcess receiver;
    if (!StartReceiver(portCount, receiver)) {
        StopReceiver(receiver);
        std::fprintf(stderr, "the virtual receiver did not start\n");
        return false;
    }
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
    std::string devices[3];
    for (size_t i = 0; i < receiver.ports.size() && i < 3; ++i)
        devices[i] = receiver.ports[i];
    loader.SetPortDevices(devices[0], devices[1], devices[2]);
    const uint32_t options = portCount > 1 ? 0x161 : 0x163;
    const double cpuBefore = CpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    bool ok = loader.Start(package.c_str(), options) == START_OK;
    if (ok) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return finished; });
    }
    wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    cpuSeconds = CpuSeconds() - cpuBefore;
    ok = ok && loader.GetResult() == HLE_NONE;
    loader.Destroy();
    StopReceiver(receiver);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string package =
        argc > 1 ? argv[1] : std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";
    CFirmwareFileEntry entry;
    if (!entry.Load(package.c_str())) {
        std::fprintf(stderr, "%s\n", entry.m_strError.c_str());
        return 1;
    }
    const double staged = GetStagedSize(entry);
    const double monitor = GetMonitorImage(1).nLength;
    const double bound = (staged + monitor) * 11 / 115200.0;
    std::printf("staged image %.0f bytes, monitor %.0f bytes: wire-time lower bound %.1f s at 115200 baud\n",
                staged, monitor, bound);
    for (int ports = 1; ports <= 2; ++ports) {
        double wall = 0, cpu = 0;
        if (!RunOnce(package, ports, wall, cpu)) {
            std::printf("%d port(s): upgrade FAILED after %.1f s\n", ports, wall);
            continue;
        }
        std::printf("%d port(s): %.1f s wall, %.2f of the single-port lower bound, host CPU %.2f s (%.1f%%)\n",
                    ports, wall, wall / bound, cpu, 100.0 * cpu / wall);
    }
    return 0;
}
