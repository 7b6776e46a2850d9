// A service bench's tray: `trailmark upgrade` run as a bench runs it, with
// RECEIVERS paced virtual receivers (115200 baud on the wire, the flash
// chips' typical times) given at once, against the same program upgrading
// one. Prints the wall time of each, their ratio, and the CPU time the
// program itself used (the receivers run in this process and are not
// counted).
//
//   bench_many [RECEIVERS]    (default 8)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "receiver/VirtualReceiver.h"

namespace {

struct CMeasure {
    double dWall = 0;
    double dCpu = 0;
    int nStatus = -1;
};

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

// Runs the program with these ports; its output goes to /dev/null.
CMeasure RunProgram(const std::vector<std::string>& ports)
{
    const std::string tool = std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark";
    const std::string package = std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";
    std::vector<std::string> arguments = {tool, "upgrade", "--package", package};
    for (const std::string& port : ports) {
        arguments.push_back("--port");
        arguments.push_back(port);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    CMeasure measure;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(127);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return measure;
    measure.dWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measure.dCpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    measure.nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return measure;
}

// Fresh paced receivers (as they come to the bench, holding the old
// firmware), the program run on all of them, then the receivers stopped.
bool Tray(int count, CMeasure& measure)
{
    std::vector<std::unique_ptr<CVirtualReceiver>> receivers;
    std::vector<std::string> ports;
    for (int i = 0; i < count; ++i) {
        CReceiverConfig config;
        config.m_bPace = true;
        config.m_strSerial = "BENCH" + std::to_string(i);
        receivers.push_back(std::make_unique<CVirtualReceiver>(config));
        std::string error;
        if (!receivers.back()->Start(error)) {
            std::fprintf(stderr, "cannot start a virtual receiver: %s\n", error.c_str());
            return false;
        }
        ports.push_back(receivers.back()->SlavePaths()[0]);
    }
    measure = RunProgram(ports);
    for (auto& receiver : receivers)
        receiver->Stop();
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 8;
    if (count < 1 || count > 64) {
        std::fprintf(stderr, "usage: bench_many [RECEIVERS 1..64]\n");
        return 2;
    }
    CMeasure one, many;
    if (!Tray(1, one) || !Tray(count, many))
        return 1;
    std::printf("paced, 115200 baud, sample package, one port a receiver\n");
    std::printf("1 receiver:   %6.1f s wall, %5.2f s CPU of the program, exit %d\n", one.dWall, one.dCpu,
                one.nStatus);
    std::printf("%d receivers: %6.1f s wall, %5.2f s CPU of the program, exit %d\n", count, many.dWall, many.dCpu,
                many.nStatus);
    std::printf("wall time ratio %d against 1: %.3f (goal at most 1.15)\n", count, many.dWall / one.dWall);
    return one.nStatus == 0 && many.nStatus == 0 ? 0 : 1;
}
