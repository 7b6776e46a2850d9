// `trailmark upgrade`: full upgrades of one receiver, or of a tray of them at
// once, from the command line.
//
// Each receiver is upgraded on a thread of its own (ReceiverRun.h), with its
// own engine and its own retries as the upgrade policy decides
// (engine/UpgradePolicy.h), the same as in the wizard. Their events are
// queued to the main thread, which shows them, logs each receiver as it ends
// and watches for Ctrl-C, SIGTERM and SIGHUP (a cancel before the flash work,
// ignored after). Everything shown goes through COutputStream, so output
// that cannot be written (a closed pipe or terminal, a full disk) ends only
// the output, never the upgrade.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/HERFLoader.h"
#include "engine/UpgradePolicy.h"
#include "package/FirmwareFile.h"
#include "platform/Console.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/JsonWriter.h"
#include "tools/trailmark/OutputStream.h"
#include "tools/trailmark/ReceiverRun.h"
#include "tools/trailmark/RunSummary.h"
#include "tools/trailmark/TrayView.h"
#include "tools/trailmark/UpgradeView.h"

using namespace CHERFLoaderLib;

namespace {

// Set from a signal handler, or from a thread of the system's on Windows.
std::atomic<bool> g_bInterrupted{false};

void OnInterrupt()
{
    g_bInterrupted = true;
}

struct CUpgradeOptions {
    std::vector<std::string> m_Ports;
    std::string m_strPortsFrom;
    std::string m_strPackage = "Corvid_FW_v1.82-Boot.q";
    std::string m_strOptions;
    std::string m_strSecondary;
    std::string m_strThird;
    std::string m_strMonitorDir;  // empty: the built-in monitors
    std::string m_strLog;
    bool m_bNoRetry = false;
    bool m_bJson = false;
    bool m_bQuiet = false;
    bool m_bVerbose = false;
    std::string m_strVerify = "sum";
};

struct CReceiverPlan {
    std::string strPort;
    CReceiverPorts ports;
};

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

// A refusal before any receiver is touched: the line on stderr, and with
// --json one error object on stdout as well.
int Refuse(bool json, int status, const std::string& reason, const std::string& port = std::string())
{
    if (json) {
        CJsonWriter writer;
        writer.BeginObject();
        writer.String("event", "error");
        if (!port.empty())
            writer.String("port", port);
        writer.Signed("exit_status", status);
        writer.String("reason", reason);
        writer.EndObject();
        platform::WriteOutput(stdout, writer.Text() + "\n");
    }
    return Fail(status, reason);
}

// The ports listed in a file, one a line; blank lines and lines starting
// with '#' are skipped, and spaces around a port are not part of it.
int ReadPortsFile(const CUpgradeOptions& options, std::vector<std::string>& ports)
{
    std::ifstream in(options.m_strPortsFrom);
    if (!in)
        return Refuse(options.m_bJson, EXIT_STATUS_USAGE, "--ports-from: cannot read " + options.m_strPortsFrom);
    std::string line;
    while (std::getline(in, line)) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const size_t last = line.find_last_not_of(" \t\r");
        ports.push_back(line.substr(first, last - first + 1));
    }
    return EXIT_STATUS_OK;
}

// The usage checks; EXIT_STATUS_OK when the arguments can be used.
int CheckArguments(const CUpgradeOptions& options, uint32_t& bits, std::vector<CReceiverPlan>& receivers)
{
    const bool json = options.m_bJson;
    if (!options.m_strOptions.empty() && !ParseUint32(options.m_strOptions, bits))
        return Refuse(json, EXIT_STATUS_USAGE, "--options: '" + options.m_strOptions + "' is not a number");
    if (bits & ~HLO_KNOWN_OPTIONS) {
        char unknown[16];
        std::snprintf(unknown, sizeof unknown, "0x%X", bits & ~HLO_KNOWN_OPTIONS);
        return Refuse(json, EXIT_STATUS_USAGE,
                      "--options: '" + options.m_strOptions + "' sets bits no option has (" + unknown +
                          "); the known bits are " + KnownOptionBits());
    }
    std::vector<std::string> ports = options.m_Ports;
    if (!options.m_strPortsFrom.empty())
        if (const int status = ReadPortsFile(options, ports); status != EXIT_STATUS_OK)
            return status;
    if (ports.empty())
        return Refuse(json, EXIT_STATUS_USAGE,
                      "--port is required: give the receiver's port as COMn or a device path ('trailmark ports' "
                      "lists the COM ports and their devices)");
    for (const std::string& port : ports) {
        CReceiverPlan plan;
        plan.strPort = port;
        if (!ResolvePortArgument(port, plan.ports, 0))
            return Refuse(json, EXIT_STATUS_USAGE,
                          "--port: '" + port + "' is neither COMn nor a device path ('trailmark ports' lists them)");
        for (const CReceiverPlan& other : receivers)
            if (other.ports.nNumber[0] == plan.ports.nNumber[0] && other.ports.strDevice[0] == plan.ports.strDevice[0])
                return Refuse(json, EXIT_STATUS_USAGE, "--port: '" + port + "' is given twice");
        receivers.push_back(plan);
    }
    if (receivers.size() > 1 && (!options.m_strSecondary.empty() || !options.m_strThird.empty()))
        return Refuse(json, EXIT_STATUS_USAGE,
                      "--secondary-port and --third-port serve one receiver; with several receivers each is "
                      "upgraded over its one port");
    if (!options.m_strSecondary.empty() && !ResolvePortArgument(options.m_strSecondary, receivers[0].ports, 1))
        return Refuse(json, EXIT_STATUS_USAGE, "--secondary-port: '" + options.m_strSecondary + "' is not a port");
    if (!options.m_strThird.empty() && !ResolvePortArgument(options.m_strThird, receivers[0].ports, 2))
        return Refuse(json, EXIT_STATUS_USAGE, "--third-port: '" + options.m_strThird + "' is not a port");
    return EXIT_STATUS_OK;
}

EViewStyle ChooseStyle(const CUpgradeOptions& options)
{
    if (options.m_bJson)
        return EViewStyle::Json;
    if (options.m_bQuiet)
        return EViewStyle::Quiet;
    return platform::PrepareTerminal(stdout) ? EViewStyle::Terminal : EViewStyle::Plain;
}

// Shows the receivers' events as they come, logs each receiver as it ends,
// and returns once all have ended.
void FollowRuns(const CUpgradeOptions& options, EViewStyle style, COutputStream& out,
                std::vector<std::unique_ptr<CReceiverRun>>& runs, CRunEventQueue& queue)
{
    const bool tray = style == EViewStyle::Terminal && runs.size() > 1;
    std::vector<std::string> ports;
    std::vector<std::unique_ptr<CUpgradeView>> views;
    for (const auto& run : runs) {
        ports.push_back(run->Result().strPort);
        views.push_back(std::make_unique<CUpgradeView>(style, out, ports.back(), runs.size() > 1));
    }
    std::unique_ptr<CTrayView> trayView = tray ? std::make_unique<CTrayView>(out, ports) : nullptr;
    size_t finished = 0;
    while (finished < runs.size()) {
        CRunEvent event;
        if (!queue.Pop(event, 200)) {
            if (trayView)
                trayView->Tick();
            else
                for (auto& view : views)
                    view->Tick();
            continue;
        }
        CUpgradeView& view = *views[event.nReceiver];
        if (event.eKind != CRunEvent::FINISHED) {
            if (trayView)
                trayView->Show(event);
            else
                view.Show(event);
            continue;
        }
        ++finished;
        runs[event.nReceiver]->Join();
        const CReceiverResult& result = runs[event.nReceiver]->Result();
        // A port that could not be opened is a refusal like a bad argument:
        // an error object for scripts, the stderr line for a single receiver.
        const bool refused = result.nStart != START_OK;
        if (refused && (options.m_bJson || runs.size() == 1))
            Refuse(options.m_bJson, result.nExitStatus, result.strReason, result.strPort);
        else if (trayView)
            trayView->Result(event.nReceiver, result);
        else
            view.Result(result);
        if (!options.m_strLog.empty()) {
            std::string error;
            if (!AppendToLog(options.m_strLog, LogLine(result, platform::LocalTimeNow()), error))
                Fail(EXIT_STATUS_FAILED, "--log: " + error);
        }
        // Shown and logged: a console that closes need not wait for it.
        runs[event.nReceiver]->ReleaseFlashWork();
    }
    if (trayView)
        trayView->Close();
}

int RunUpgrade(const CUpgradeOptions& options)
{
    uint32_t bits = UPGRADE_FIRST_RUN_OPTIONS;
    std::vector<CReceiverPlan> receivers;
    if (const int status = CheckArguments(options, bits, receivers); status != EXIT_STATUS_OK)
        return status;
    // A package that cannot be used is refused before anything else is said.
    CFirmwareFileEntry package;
    if (const int status = LoadPackageFile(options.m_strPackage, package); status != EXIT_STATUS_OK) {
        if (options.m_bJson)
            Refuse(true, status, options.m_strPackage + ": " + package.m_strError);
        return status;
    }
    // A log that cannot be written is known before the first receiver is woken.
    std::string logError;
    if (!options.m_strLog.empty() && !AppendToLog(options.m_strLog, std::string(), logError))
        return Refuse(options.m_bJson, EXIT_STATUS_FAILED, "--log: " + logError);
    if (options.m_bVerbose)
        CHERFLoader::EnableTrace();

    const EViewStyle style = ChooseStyle(options);
    platform::CatchInterrupt(OnInterrupt);
    CRunSettings settings;
    settings.strPackage = options.m_strPackage;
    settings.nOptions = bits;
    settings.bRetry = !options.m_bNoRetry;
    settings.nFlashCheck = options.m_strVerify == "none"        ? FLASH_CHECK_NONE
                           : options.m_strVerify == "read-back" ? FLASH_CHECK_READ_BACK
                                                                : FLASH_CHECK_SUM;
    settings.strMonitorDir = options.m_strMonitorDir;
    settings.pInterrupted = &g_bInterrupted;

    const auto start = std::chrono::steady_clock::now();
    CRunEventQueue queue;
    std::vector<std::unique_ptr<CReceiverRun>> runs;
    for (size_t i = 0; i < receivers.size(); ++i)
        runs.push_back(std::make_unique<CReceiverRun>(static_cast<int>(i), receivers[i].strPort,
                                                      receivers[i].ports, settings, queue));
    for (auto& run : runs)
        run->Start();
    COutputStream out(stdout);
    FollowRuns(options, style, out, runs, queue);

    std::vector<const CReceiverResult*> results;
    for (const auto& run : runs)
        results.push_back(&run->Result());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (style == EViewStyle::Json)
        out.Write(SummaryJson(results, seconds) + "\n");
    else if (results.size() > 1)
        PrintSummaryTable(out, results);
    out.Flush();
    return OverallExitStatus(results);
}

}  // namespace

void AddUpgradeCommand(CLI::App& app)
{
    auto options = std::make_shared<CUpgradeOptions>();
    CLI::App* cmd = app.add_subcommand("upgrade", "Upgrade the firmware of a receiver, or of many at once");
    cmd->add_option("--port", options->m_Ports,
                    "Serial port: COMn or a device path ('trailmark ports' lists them); give it again for each "
                    "further receiver, all upgraded at once")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    cmd->add_option("--ports-from", options->m_strPortsFrom,
                    "File listing receivers' ports, one a line ('#' starts a comment), upgraded at once");
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
    cmd->add_option("--log", options->m_strLog,
                    "Append one line per receiver to this file: local time, port, serial number, board, old "
                    "and new versions, result, duration");
    CLI::Option* json =
        cmd->add_flag("--json", options->m_bJson,
                      "One JSON object a line: every notification with its port, each result, then a summary");
    cmd->add_flag("-q,--quiet", options->m_bQuiet, "Show only the result (and the summary table)")->excludes(json);
    cmd->add_flag("-v,--verbose", options->m_bVerbose, "Also show the engine's trace texts (on standard error)");
    cmd->footer("Exit status: 0 upgraded (every receiver), 1 failed, 2 usage, 3 a port cannot be opened, 4 package "
                "rejected, 130 interrupted before any flash work; with several receivers the highest status of "
                "those not upgraded. Ctrl-C, SIGTERM and SIGHUP (a closed terminal) stop the upgrade only before "
                "its flash work begins; after that it runs to its end. Output that cannot be written (a pipe "
                "whose reader has gone, a closed terminal, a full disk) is dropped without stopping the upgrade.");
    cmd->callback([options] { SetExitStatus(RunUpgrade(*options)); });
}
