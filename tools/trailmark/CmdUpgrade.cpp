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
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/HERFLoader.h"
#include "engine/PortService.h"
#include "engine/UpgradePolicy.h"
#include "package/FirmwareFile.h"
#include "transfer/PackageImage.h"
#include "platform/Console.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/JsonWriter.h"
#include "tools/trailmark/OutputStream.h"
#include "tools/trailmark/ReceiverRun.h"
#include "tools/trailmark/RunSummary.h"
#include "tools/trailmark/TrayView.h"
#include "tools/trailmark/UpgradeView.h"

using namespace CHERFLoaderLib;

namespace fs = std::filesystem;

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
    bool m_bRawImage = false;
    bool m_bJson = false;
    bool m_bQuiet = false;
    bool m_bVerbose = false;
    std::string m_strVerify = "auto";
    uint32_t m_nLineRate = 115200;
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

// A ports file is a short list typed by a person; anything larger, or not a
// regular file at all (a folder, a FIFO that would block, a device that
// never ends), is a mistake.
constexpr uintmax_t PORTS_FILE_LIMIT = 64 * 1024;

// The text of the ports file, refused unless it is a regular file of at
// most PORTS_FILE_LIMIT bytes. The kind is looked at before the file is
// opened, so a FIFO is never opened and nothing blocks.
bool ReadPortsText(const std::string& path, std::string& text, std::string& reason)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::exists(status)) {
        reason = "cannot read " + path + ": " + (error ? error.message() : "no such file");
        return false;
    }
    if (fs::is_directory(status)) {
        reason = path + " is a folder; give a file that lists the ports, one a line";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        reason = path + " is not a regular file (a FIFO, a device or a socket); give a file that lists the ports";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = "cannot read " + path;
        return false;
    }
    // One byte more than the limit tells a file that is too large (or grew
    // since it was looked at) from one that just fits.
    text.assign(PORTS_FILE_LIMIT + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        reason = "cannot read " + path;
        return false;
    }
    if (text.size() > PORTS_FILE_LIMIT) {
        reason = path + " is larger than a ports file may be (" + std::to_string(PORTS_FILE_LIMIT / 1024) + " KiB)";
        return false;
    }
    return true;
}

// The ports listed in a file, one a line; blank lines and lines starting
// with '#' are skipped, and spaces around a port are not part of it. A
// byte-order mark that some editors write first, and CR line ends, are
// not part of any port either.
int ReadPortsFile(const CUpgradeOptions& options, std::vector<std::string>& ports)
{
    std::string text, reason;
    if (!ReadPortsText(options.m_strPortsFrom, text, reason))
        return Refuse(options.m_bJson, EXIT_STATUS_USAGE, "--ports-from: " + reason);
    if (text.rfind("\xEF\xBB\xBF", 0) == 0)
        text.erase(0, 3);
    const size_t before = ports.size();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const size_t last = line.find_last_not_of(" \t\r");
        ports.push_back(line.substr(first, last - first + 1));
    }
    // An empty list is a mistake (the wrong file, a tray list not yet
    // filled in), not a request to upgrade nothing.
    if (ports.size() == before)
        return Refuse(options.m_bJson, EXIT_STATUS_USAGE,
                      "--ports-from: " + options.m_strPortsFrom +
                          " lists no port (blank lines and lines starting with '#' are skipped)");
    return EXIT_STATUS_OK;
}

// --options: bits are written in hexadecimal with their base, as every text
// and the manual shows them. A bare "163" is refused rather than read as
// decimal 163 (0x0A3), which would quietly drop half the bits meant.
int ParseOptionBits(const CUpgradeOptions& options, uint32_t& bits)
{
    const std::string& text = options.m_strOptions;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text == "0" || (hex && ParseUint32(text, bits))) {
        if (text == "0")
            bits = 0;
        return EXIT_STATUS_OK;
    }
    uint32_t value = 0;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && ParseUint32(text, value)) {
        char decimal[16];
        std::snprintf(decimal, sizeof decimal, "0x%03X", value);
        return Refuse(options.m_bJson, EXIT_STATUS_USAGE,
                      "--options: '" + text + "' has no base: write 0x" + text +
                          " for the hexadecimal bits (read as a decimal number it would be " + decimal + ")");
    }
    return Refuse(options.m_bJson, EXIT_STATUS_USAGE,
                  "--options: '" + text + "' is not a number: write the bits in hexadecimal, such as 0x163");
}

// The device a port stands for: a COM number through the port list the
// program shows ('trailmark ports'), a path as typed.
std::string DeviceKey(const CPortId& port, const std::vector<CPortEntry>& comPorts)
{
    std::string device = port.DevicePath();
    if (!port.IsDevicePath())
        for (const CPortEntry& entry : comPorts)
            if (entry.nNumber == port.Number())
                device = entry.strDevice;
    const std::string key = device.empty() ? std::string() : PortDeviceKey(device);
    // A port that leads to no device is compared by its name; opening it
    // fails later with its own reason.
    if (!key.empty())
        return key;
    return port.IsDevicePath() ? "name " + port.Name() : port.Name();
}

// One port the user named, with the option that named it.
struct CNamedPort {
    std::string strOption;
    std::string strText;
    std::string strKey;
};

// Two names for one device would have two links fight over one line.
int RefuseSameDevice(const CUpgradeOptions& options, const std::vector<CNamedPort>& named)
{
    for (size_t i = 0; i < named.size(); ++i)
        for (size_t j = 0; j < i; ++j) {
            if (named[i].strKey != named[j].strKey)
                continue;
            const std::string reason =
                named[i].strText == named[j].strText
                    ? named[i].strOption + ": '" + named[i].strText + "' is given twice"
                    : named[i].strOption + ": '" + named[i].strText + "' is the same device as '" + named[j].strText +
                          "'";
            return Refuse(options.m_bJson, EXIT_STATUS_USAGE, reason);
        }
    return EXIT_STATUS_OK;
}

// The command line opens only the ports the user named: without
// --secondary-port the run keeps to one port, without --third-port the
// secondary link does not send on a third. One line says so when the bits
// asked for more.
uint32_t KeepToNamedPorts(const CUpgradeOptions& options, uint32_t bits)
{
    std::string asked;
    uint32_t kept = bits;
    if (options.m_strSecondary.empty() && !(bits & HLO_PRIMARY_PORT_ONLY)) {
        kept |= HLO_PRIMARY_PORT_ONLY;
        asked = "a second port, but no --secondary-port was given";
    }
    if (options.m_strThird.empty() && (bits & HLO_THIRD_PORT)) {
        kept &= ~HLO_THIRD_PORT;
        asked += std::string(asked.empty() ? "" : ", and ") + "a third port, but no --third-port was given";
    }
    if (kept != bits) {
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "options 0x%03X ask for ", bits);
        char result[64];
        std::snprintf(result, sizeof result, ": the run uses 0x%03X, only the ports named", kept);
        platform::WriteOutput(stderr, std::string("trailmark: ") + numbers + asked + result + "\n");
    }
    return kept;
}

// The usage checks; EXIT_STATUS_OK when the arguments can be used.
int CheckArguments(const CUpgradeOptions& options, uint32_t& bits, std::vector<CReceiverPlan>& receivers)
{
    const bool json = options.m_bJson;
    if (!options.m_strOptions.empty())
        if (const int status = ParseOptionBits(options, bits); status != EXIT_STATUS_OK)
            return status;
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
        if (!ParsePortId(port, plan.ports.port[0]))
            return Refuse(json, EXIT_STATUS_USAGE,
                          "--port: '" + port + "' is neither COMn nor a device path ('trailmark ports' lists them)");
        receivers.push_back(plan);
    }
    if (receivers.size() > 1 && (!options.m_strSecondary.empty() || !options.m_strThird.empty()))
        return Refuse(json, EXIT_STATUS_USAGE,
                      "--secondary-port and --third-port serve one receiver; with several receivers each is "
                      "upgraded over its one port");
    if (!options.m_strSecondary.empty() && !ParsePortId(options.m_strSecondary, receivers[0].ports.port[1]))
        return Refuse(json, EXIT_STATUS_USAGE, "--secondary-port: '" + options.m_strSecondary + "' is not a port");
    if (!options.m_strThird.empty() && !ParsePortId(options.m_strThird, receivers[0].ports.port[2]))
        return Refuse(json, EXIT_STATUS_USAGE, "--third-port: '" + options.m_strThird + "' is not a port");
    bool anyCom = false;
    for (const CReceiverPlan& plan : receivers)
        for (int i = 0; i < 3; ++i)
            anyCom = anyCom || !plan.ports.port[i].IsDevicePath();
    const std::vector<CPortEntry> comPorts = anyCom ? ListComPorts() : std::vector<CPortEntry>();
    std::vector<CNamedPort> named;
    for (const CReceiverPlan& plan : receivers)
        named.push_back({"--port", plan.strPort, DeviceKey(plan.ports.port[0], comPorts)});
    if (!options.m_strSecondary.empty())
        named.push_back({"--secondary-port", options.m_strSecondary, DeviceKey(receivers[0].ports.port[1], comPorts)});
    if (!options.m_strThird.empty())
        named.push_back({"--third-port", options.m_strThird, DeviceKey(receivers[0].ports.port[2], comPorts)});
    if (const int status = RefuseSameDevice(options, named); status != EXIT_STATUS_OK)
        return status;
    bits = KeepToNamedPorts(options, bits);
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
// Returns why a line of the run log could not be written; empty when every
// line was.
std::string FollowRuns(const CUpgradeOptions& options, EViewStyle style, COutputStream& out,
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
    std::string logError;
    size_t finished = 0;
    bool interrupted = false;
    while (finished < runs.size()) {
        if (g_bInterrupted && !interrupted) {
            interrupted = true;
            for (auto& run : runs)
                run->Interrupt();
        }
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
            if (!AppendToLog(options.m_strLog, LogLine(result, platform::LocalTimeNow()), error)) {
                Fail(EXIT_STATUS_FAILED, "--log: " + error);
                if (logError.empty())
                    logError = error;
            }
        }
        // Shown and logged: a console that closes need not wait for it.
        runs[event.nReceiver]->ReleaseFlashWork();
    }
    if (trayView)
        trayView->Close();
    return logError;
}

int RunUpgrade(const CUpgradeOptions& options)
{
    uint32_t bits = UPGRADE_FIRST_RUN_OPTIONS;
    std::vector<CReceiverPlan> receivers;
    if (const int status = CheckArguments(options, bits, receivers); status != EXIT_STATUS_OK)
        return status;
    // A package that cannot be used is refused before anything else is said.
    // The same proof the engine's Start runs: a package no receiver can take
    // whole, or one damaged in a section, never reaches a port.
    // It is read once here, for every receiver and every retry.
    std::string packageReason;
    std::shared_ptr<const CPackageImage> package =
        CPackageImage::Load(options.m_strPackage, packageReason, options.m_bRawImage);
    if (!package) {
        if (packageReason.rfind(options.m_strPackage + ":", 0) != 0)
            packageReason = options.m_strPackage + ": " + packageReason;
        std::string ignored;
        if (!options.m_bRawImage && CPackageImage::Load(options.m_strPackage, ignored, true))
            packageReason += " (--raw-image writes it all the same)";
        return Refuse(options.m_bJson, EXIT_STATUS_BAD_PACKAGE, packageReason);
    }
    // Writing what the receiver will not start is the user's explicit
    // choice: the first line says so, before anything is written.
    if (!package->RawReason().empty())
        platform::WriteOutput(stderr, "trailmark: --raw-image: " + options.m_strPackage + ": " + package->RawReason() +
                                          "; it is written as asked, and the run is an upgrade only if the receiver "
                                          "then reports a valid application and boot loader\n");
    // A log that cannot be written is known before the first receiver is woken.
    std::string openError;
    if (!options.m_strLog.empty() && !AppendToLog(options.m_strLog, std::string(), openError))
        return Refuse(options.m_bJson, EXIT_STATUS_FAILED, "--log: " + openError);
    if (options.m_bVerbose)
        CHERFLoader::EnableTrace();

    const EViewStyle style = ChooseStyle(options);
    platform::CatchInterrupt(OnInterrupt);
    CRunSettings settings;
    settings.pPackage = package;
    settings.job.nOptions = bits;
    settings.job.bRetry = !options.m_bNoRetry;
    settings.job.nFlashCheck = options.m_strVerify == "none"        ? FLASH_CHECK_NONE
                           : options.m_strVerify == "read-back" ? FLASH_CHECK_READ_BACK
                           : options.m_strVerify == "sum"       ? FLASH_CHECK_SUM
                                                                : FLASH_CHECK_AUTO;
    settings.job.strMonitorFolder = options.m_strMonitorDir;
    settings.job.nLineRate = options.m_nLineRate;
    // A rate one receiver could not use is not asked of the others.
    settings.job.pRates = std::make_shared<CLineRateMemory>();

    const auto start = std::chrono::steady_clock::now();
    CRunEventQueue queue;
    std::vector<std::unique_ptr<CReceiverRun>> runs;
    for (size_t i = 0; i < receivers.size(); ++i)
        runs.push_back(std::make_unique<CReceiverRun>(static_cast<int>(i), receivers[i].strPort,
                                                      receivers[i].ports, settings, queue));
    for (auto& run : runs)
        run->Start();
    // A run log that lost a line is a failure of the invocation, whatever the
    // receivers did: a bench relies on its log.
    COutputStream out(stdout);
    const std::string logError = FollowRuns(options, style, out, runs, queue);

    std::vector<const CReceiverResult*> results;
    for (const auto& run : runs)
        results.push_back(&run->Result());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (style == EViewStyle::Json)
        out.Write(SummaryJson(results, seconds, logError) + "\n");
    else if (results.size() > 1)
        PrintSummaryTable(out, results);
    else if (results[0]->nStart == START_OK)
        PrintReceiverSummary(out, *results[0], settings.job.nFlashCheck);
    if (!logError.empty() && style != EViewStyle::Json)
        out.Write("The run log is incomplete: " + logError + "\n");
    out.Flush();
    const int status = OverallExitStatus(results);
    return logError.empty() ? status : std::max(status, EXIT_STATUS_FAILED);
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
    cmd->add_option("--options", options->m_strOptions,
                    "Option bits in hexadecimal with their 0x (default 0x123; 0x040 skips the device-family "
                    "check); the ports opened are only those named");
    cmd->add_flag("--raw-image", options->m_bRawImage,
                  "Write the package even where the receiver would not start it (no application header at "
                  "0x01020000, a boot image without its version record); the run still fails unless the "
                  "receiver then reports a valid application and boot loader");
    cmd->add_flag("--no-retry", options->m_bNoRetry,
                  "Do not retry a failed run (a retry changes only the way the receiver is reached)");
    cmd->add_option("--secondary-port", options->m_strSecondary,
                    "Second port for the parallel upload (used when the options allow it)");
    cmd->add_option("--third-port", options->m_strThird, "Third port (with option bit 0x008)");
    cmd->add_option("--verify", options->m_strVerify,
                    "How programmed flash is confirmed where the monitor's checks are sound: 'auto' (the sum "
                    "on a clean line; once the line lost or damaged anything, every section read back and "
                    "compared by CRC-32, and repaired where it differs), 'sum' (the monitor sums each "
                    "section's flash, well under a second), 'read-back' (also reads the flash back and "
                    "compares it by CRC-32: about 40 s more for the sample package at 115200 baud, and "
                    "catches changes a sum cannot see) or 'none'")
        ->check(CLI::IsMember({"auto", "sum", "read-back", "none"}))
        ->capture_default_str();
    cmd->add_option("--baud", options->m_nLineRate,
                    "Line rate of the monitor link after its switch to 115200: 230400, 460800 or 921600 are asked "
                    "of the receiver and checked; a receiver (or cable, or adapter) that cannot take it upgrades at "
                    "115200, and the other receivers of the invocation are not asked again")
        ->check(CLI::IsMember(std::vector<uint32_t>(std::begin(LINE_RATES), std::end(LINE_RATES))))
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
                "rejected, 5 upgraded but the flash could not be verified on this receiver (not with --verify "
                "none), 130 interrupted before any flash work; with several receivers the highest status among "
                "them. Ctrl-C, SIGTERM and SIGHUP (a closed terminal) stop the upgrade only before its flash work "
                "begins; after that it runs to its end. Output that cannot be written (a pipe whose reader has "
                "gone, a closed terminal, a full disk) is dropped without stopping the upgrade.");
    cmd->callback([options] { SetExitStatus(RunUpgrade(*options)); });
}
