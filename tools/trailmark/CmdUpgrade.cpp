// `trailmark upgrade`: a full upgrade of one receiver from the command line.
//
// The engine runs on its own threads; its notifications are queued here and
// shown by the main thread, which also watches for Ctrl-C. Whether a failed
// run is retried, and with which options, is the upgrade policy's decision
// (engine/UpgradePolicy.h), the same as in the wizard.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "engine/HERFLoader.h"
#include "engine/UpgradePolicy.h"
#include "package/FirmwareFile.h"
#include "platform/Console.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/UpgradeView.h"

using namespace CHERFLoaderLib;

namespace {

constexpr uint32_t LOADER_MESSAGE = 0x83E8;
constexpr int EXIT_STATUS_PORT = 3;
constexpr int EXIT_STATUS_INTERRUPTED = 130;

// Set from a signal handler, or from a thread of the system's on Windows.
std::atomic<bool> g_bInterrupted{false};

void OnInterrupt()
{
    g_bInterrupted = true;
}

struct CUpgradeOptions {
    std::string m_strPort;
    std::string m_strPackage = "Corvid_FW_v1.82-Boot.q";
    std::string m_strOptions;
    std::string m_strSecondary;
    std::string m_strThird;
    std::string m_strMonitorDir;  // empty: the built-in monitors
    bool m_bNoRetry = false;
    bool m_bJson = false;
    std::string m_strVerify = "sum";
};

// Notifications arrive on engine threads; the main thread shows them.
class CNotificationQueue {
public:
    void Push(const CLoaderNotification& n)
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Items.push_back(n);
        }
        m_Ready.notify_one();
    }
    bool Pop(CLoaderNotification& n, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_Items.empty(); }))
            return false;
        n = std::move(m_Items.front());
        m_Items.pop_front();
        return true;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<CLoaderNotification> m_Items;
};

// The ports of a run: a COM number, or a device path used as typed.
struct CRunPorts {
    int nNumber[3] = {0, 2, 4};
    std::string strDevice[3];
};

// "COM3" (any case) gives 3; a device path (it holds a '/' or a '\\') is
// kept as typed.
bool ResolvePortArgument(const std::string& text, CRunPorts& ports, int index)
{
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
        (text[2] == 'M' || text[2] == 'm')) {
        uint32_t value = 0;
        if (!ParseUint32(text.substr(3), value) || value < 1 || value > 255)
            return false;
        ports.nNumber[index] = static_cast<int>(value);
        return true;
    }
    if (text.find_first_of("/\\") == std::string::npos)
        return false;
    ports.strDevice[index] = text;
    return true;
}

// Every option bit the engine knows, by value and name, for the refusal of
// one it does not.
std::string KnownOptionBits()
{
    std::string text;
    for (uint32_t bit = 1; bit & HLO_KNOWN_OPTIONS; bit <<= 1) {
        char item[48];
        std::snprintf(item, sizeof item, "%s0x%03X %s", text.empty() ? "" : ", ", bit, OptionName(bit));
        text += item;
    }
    return text;
}

struct CRunOutcome {
    int32_t nStart = 0;
    CRunReport report;
};

CRunOutcome RunOnce(const CUpgradeOptions& options, const CRunPorts& ports, uint32_t bits, CUpgradeView& view)
{
    CNotificationQueue queue;
    CHERFLoader loader;
    loader.Create([&queue](const CLoaderNotification& n) { queue.Push(n); }, LOADER_MESSAGE);
    loader.SetPortNumbers(ports.nNumber[0], ports.nNumber[1], ports.nNumber[2]);
    loader.SetPortDevices(ports.strDevice[0], ports.strDevice[1], ports.strDevice[2]);
    loader.SetFlashCheck(options.m_strVerify == "none"        ? FLASH_CHECK_NONE
                         : options.m_strVerify == "read-back" ? FLASH_CHECK_READ_BACK
                                                              : FLASH_CHECK_SUM);
    loader.SetMonitorFolder(options.m_strMonitorDir);
    CRunOutcome outcome;
    outcome.nStart = loader.Start(options.m_strPackage.c_str(), bits);
    if (outcome.nStart != START_OK) {
        outcome.report = loader.GetRunReport();
        return outcome;
    }
    bool cancelAsked = false;
    for (;;) {
        CLoaderNotification n;
        if (queue.Pop(n, 100)) {
            view.Show(n);
            if (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED)
                break;
        }
        if (g_bInterrupted && !cancelAsked) {
            cancelAsked = true;
            if (loader.Cancel())
                view.Message("Interrupted: stopping the upgrade");
            else
                view.Message("Cannot stop now: the receiver's flash is being written, and stopping would leave "
                             "it without working firmware. Please wait.");
        }
    }
    outcome.report = loader.GetRunReport();
    loader.Destroy();
    return outcome;
}

// The usage checks; EXIT_STATUS_OK when the arguments can be used.
int CheckArguments(const CUpgradeOptions& options, uint32_t& bits, CRunPorts& ports)
{
    if (!options.m_strOptions.empty() && !ParseUint32(options.m_strOptions, bits))
        return Fail(EXIT_STATUS_USAGE, "--options: '" + options.m_strOptions + "' is not a number");
    if (bits & ~HLO_KNOWN_OPTIONS) {
        char unknown[16];
        std::snprintf(unknown, sizeof unknown, "0x%X", bits & ~HLO_KNOWN_OPTIONS);
        return Fail(EXIT_STATUS_USAGE, "--options: '" + options.m_strOptions + "' sets bits no option has (" +
                                           unknown + "); the known bits are " + KnownOptionBits());
    }
    if (options.m_strPort.empty())
        return Fail(EXIT_STATUS_USAGE,
                    "--port is required: give the receiver's port as COMn or a device path ('trailmark ports' "
                    "lists the COM ports and their devices)");
    if (!ResolvePortArgument(options.m_strPort, ports, 0))
        return Fail(EXIT_STATUS_USAGE, "--port: '" + options.m_strPort +
                                           "' is neither COMn nor a device path ('trailmark ports' lists them)");
    if (!options.m_strSecondary.empty() && !ResolvePortArgument(options.m_strSecondary, ports, 1))
        return Fail(EXIT_STATUS_USAGE, "--secondary-port: '" + options.m_strSecondary + "' is not a port");
    if (!options.m_strThird.empty() && !ResolvePortArgument(options.m_strThird, ports, 2))
        return Fail(EXIT_STATUS_USAGE, "--third-port: '" + options.m_strThird + "' is not a port");
    return EXIT_STATUS_OK;
}

int FailedStart(const CRunOutcome& outcome)
{
    if (outcome.nStart == START_PACKAGE_FAILED)
        return Fail(EXIT_STATUS_BAD_PACKAGE, outcome.report.strError);
    if (outcome.nStart == START_PORT_FAILED)
        return Fail(EXIT_STATUS_PORT, outcome.report.strError);
    return Fail(EXIT_STATUS_FAILED, outcome.report.strError);
}

int RunUpgrade(const CUpgradeOptions& options)
{
    uint32_t bits = UPGRADE_FIRST_RUN_OPTIONS;
    CRunPorts ports;
    if (const int status = CheckArguments(options, bits, ports); status != EXIT_STATUS_OK)
        return status;
    // A package that cannot be used is refused before anything else is said.
    CFirmwareFileEntry package;
    if (const int status = LoadPackageFile(options.m_strPackage, package); status != EXIT_STATUS_OK)
        return status;

    EViewStyle style = options.m_bJson ? EViewStyle::Json
                       : platform::PrepareTerminal(stdout) ? EViewStyle::Terminal
                                                           : EViewStyle::Plain;
    CUpgradeView view(style, stdout);
    platform::CatchInterrupt(OnInterrupt);

    CUpgradePolicy policy(bits, !options.m_bNoRetry);
    CRunOutcome outcome;
    do {
        view.RunStarted(policy.Attempt(), policy.Options());
        outcome = RunOnce(options, ports, policy.Options(), view);
        if (outcome.nStart != START_OK)
            return FailedStart(outcome);
    } while (!g_bInterrupted && policy.NextRun(outcome.report));

    const CRunReport& report = outcome.report;
    const bool success = CUpgradePolicy::Succeeded(report);
    view.Result(success, report.nResult, success ? std::string() : FailureReason(report));
    if (success)
        return EXIT_STATUS_OK;
    // Only a run that stopped on the cancel before any flash work ends as
    // interrupted; one that wrote flash and then failed is a failure.
    if (report.bCancelled && !report.bFlashWritten)
        return EXIT_STATUS_INTERRUPTED;
    return EXIT_STATUS_FAILED;
}

}  // namespace

void AddUpgradeCommand(CLI::App& app)
{
    auto options = std::make_shared<CUpgradeOptions>();
    CLI::App* cmd = app.add_subcommand("upgrade", "Upgrade the firmware of a receiver");
    cmd->add_option("--port", options->m_strPort,
                    "Serial port: COMn or a device path (required; 'trailmark ports' lists them)");
    cmd->add_option("--package", options->m_strPackage, "Firmware package")->capture_default_str();
    cmd->add_option("--options", options->m_strOptions, "Option bits (default 0x163)");
    cmd->add_flag("--no-retry", options->m_bNoRetry,
                  "Do not retry a failed run (a retry changes only the way the receiver is reached)");
    cmd->add_option("--secondary-port", options->m_strSecondary,
                    "Second port for the parallel upload (used when the options allow it)");
    cmd->add_option("--third-port", options->m_strThird, "Third port (with option bit 0x008)");
    cmd->add_option("--verify", options->m_strVerify,
                    "How programmed flash is confirmed where the monitor's checks are sound: 'sum' (the "
                    "monitor sums each section's flash, well under a second), 'read-back' (also reads the "
                    "flash back and compares it by CRC-32: about 40 s more for the sample package at "
                    "115200 baud, and catches changes a sum cannot see) or 'none'")
        ->check(CLI::IsMember({"sum", "read-back", "none"}))
        ->capture_default_str();
    cmd->add_option("--monitor-dir", options->m_strMonitorDir,
                    "Folder with the maker's monitor programs XERF1.bin / XERF2.bin (default: the built-in "
                    "monitors, for the virtual receiver only)")
        ->envname("TRAILMARK_MONITOR_DIR");
    cmd->add_flag("--json", options->m_bJson, "One JSON object a line: every notification and the result");
    cmd->callback([options] { SetExitStatus(RunUpgrade(*options)); });
}
