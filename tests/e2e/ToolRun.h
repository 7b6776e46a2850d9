// The `trailmark` program as a child process, for the tests that check what
// a user sees: its exit status, its stdout and its stderr apart, and a time
// limit so that a program that blocks fails the test instead of hanging it.
// Also the virtual receiver as a process of its own, with its report.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace toolrun {

const std::string TOOL = TRAILMARK_BINARY_DIR "/tools/trailmark";
const std::string SAMPLE = TRAILMARK_BINARY_DIR "/Corvid_FW_v1.82-Boot.q";

struct CToolResult {
    int m_nStatus = -1;       // exit status; -1 when it did not exit by itself
    bool m_bTimedOut = false;
    std::string m_strOut;
    std::string m_strErr;
};

inline std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the program in `folder` with `args` and, added to the environment,
// `env` ("NAME=value"); killed after `seconds`.
inline CToolResult RunTool(const std::filesystem::path& folder, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}, int seconds = 60)
{
    const std::filesystem::path out = folder / ".stdout", err = folder / ".stderr";
    std::vector<char*> argv{const_cast<char*>(TOOL.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || in < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || dup2(in, 0) < 0 ||
            chdir(folder.c_str()) != 0)
            _exit(127);
        for (const std::string& item : env)
            putenv(const_cast<char*>(item.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    CToolResult result;
    if (pid < 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.m_bTimedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!result.m_bTimedOut && WIFEXITED(status))
        result.m_nStatus = WEXITSTATUS(status);
    result.m_strOut = ReadAll(out);
    result.m_strErr = ReadAll(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return result;
}

// `trailmark receiver` in the background, its port read from its ports file;
// Stop ends it as a bench would (SIGTERM) and returns its report.
class CReceiverProcess {
public:
    CReceiverProcess(const std::filesystem::path& folder, const std::string& options = std::string())
        : m_Ports(folder / "receiver-ports"), m_Report(folder / "receiver-report.json")
    {
        std::filesystem::remove(m_Ports);
        std::filesystem::remove(m_Report);
        m_nPid = fork();
        if (m_nPid == 0) {
            const std::string command = "exec " + TOOL + " receiver " + options + " --ports-file " + m_Ports.string() +
                                        " --report " + m_Report.string() + " >/dev/null";
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && Port().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ~CReceiverProcess() { Stop(); }
    CReceiverProcess(const CReceiverProcess&) = delete;
    CReceiverProcess& operator=(const CReceiverProcess&) = delete;

    std::string Port() const
    {
        std::ifstream in(m_Ports);
        std::string line;
        std::getline(in, line);
        return line;
    }
    std::string Stop()
    {
        if (m_nPid > 0) {
            kill(m_nPid, SIGTERM);
            waitpid(m_nPid, nullptr, 0);
            m_nPid = -1;
        }
        return ReadAll(m_Report);
    }

private:
    std::filesystem::path m_Ports;
    std::filesystem::path m_Report;
    pid_t m_nPid = -1;
};

inline size_t CountLines(const std::string& text)
{
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

}  // namespace toolrun
