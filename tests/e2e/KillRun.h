// Running `trailmark` as a child process and killing it (SIGKILL: nothing
// of its own runs) as soon as a point of the upgrade is reached, for the
// tests of interrupted upgrades; and running it to its end. The points are
// found in the program's lines and in the receiver's flash.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "receiver/VirtualReceiver.h"

namespace harness {

// What the test sees while the first run goes: the program's lines so far
// and the receiver.
struct CProgress {
    const std::vector<std::string>& lines;
    CVirtualReceiver& receiver;
    bool Said(const std::string& text) const
    {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    int Count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& line : lines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    // The flash is looked at directly (the report would take the receiver's
    // lock for as long as it sums the whole flash).
    bool Erased(uint32_t address) const
    {
        std::vector<uint8_t> head;
        return receiver.ReadMemory(address, 64, head) && head == std::vector<uint8_t>(64, 0xFF);
    }
    // The 4096-byte piece `piece` of an image at `address` is programmed.
    bool Programmed(uint32_t address, const std::vector<uint8_t>& image, uint32_t piece) const
    {
        std::vector<uint8_t> flash;
        const uint32_t offset = piece * 4096 + 4000;
        return receiver.ReadMemory(address + offset, 64, flash) &&
               std::equal(flash.begin(), flash.end(), image.begin() + offset);
    }
};

struct CKillPoint;
inline void PrintTo(const CKillPoint& point, std::ostream* os);

struct CKillPoint {
    const char* pszName;
    std::function<bool(const CProgress&)> reached;
};

inline void PrintTo(const CKillPoint& point, std::ostream* os)
{
    *os << point.pszName;
}

// Runs the program with its standard output on a pipe, and kills it with
// SIGKILL as soon as `reached` says so (checked at every line and every few
// milliseconds). Returns whether it was killed before it ended by itself.
inline bool RunAndKill(const std::vector<std::string>& args, CVirtualReceiver& receiver,
                const std::function<bool(const CProgress&)>& reached, std::vector<std::string>& lines)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string pending;
    bool killed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 3) > 0) {
            char buffer[4096];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                lines.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        if (!killed && (reached(CProgress{lines, receiver}) || std::chrono::steady_clock::now() > deadline)) {
            kill(child, SIGKILL);
            killed = true;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return killed && WIFSIGNALED(status);
}

inline int RunToEnd(const std::vector<std::string>& args, std::string& text)
{
    std::string command;
    for (const std::string& a : args)
        command += "'" + a + "' ";
    FILE* pipe = popen((command + "2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    const int raw = pclose(pipe);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace harness
