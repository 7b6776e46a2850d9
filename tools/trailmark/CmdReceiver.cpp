// `trailmark receiver [options]`: runs a virtual receiver on pseudo-terminals
// until it is killed (or, with --exit-after-upgrade, until an upgrade has
// finished), printing the path of each port on standard output, one a line.
// On exit, also on SIGTERM and SIGINT, it writes its report (--report).

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "receiver/ReceiverConfig.h"
#include "receiver/VirtualReceiver.h"
#include "tools/trailmark/Command.h"

namespace {

volatile std::sig_atomic_t g_bStopSignal = 0;

void OnStopSignal(int)
{
    g_bStopSignal = 1;
}

struct CReceiverOptions {
    CReceiverConfig m_Config;
    std::string m_strMode = "app";
    std::string m_strFlashTiming = "typical";
    std::string m_strMonitorChecks = "reads-flash";
    std::string m_strReadReply = "status";
    std::string m_strMonitorReads = "any";
    std::string m_strMonitorRates;
    bool m_bMonitorRates = false;  // given, perhaps empty
    std::string m_strDamageBootRam;
    bool m_bPassthrough = false;
    std::string m_strPortsFile;
    std::string m_strReport;
    std::vector<std::string> m_Refusals;
    std::vector<std::string> m_LostAnswers;
};

// Writes the ports file whole under a temporary name first, so that a script
// waiting for it never reads half of it.
bool WritePortsFile(const std::string& path, const std::vector<std::string>& ports)
{
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const std::string& port : ports)
            out << port << '\n';
        out.close();
        if (!out)
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int RunReceiver(CReceiverOptions& options)
{
    CReceiverConfig& config = options.m_Config;
    if (options.m_bPassthrough || options.m_strMode == "passthrough")
        config.m_eStart = RXS_PASSTHROUGH;
    else if (options.m_strMode == "boot")
        config.m_eStart = RXS_BOOT_LOADER;
    else
        config.m_eStart = RXS_APPLICATION;
    config.m_eFlashTiming = options.m_strFlashTiming == "maximum" ? RXT_MAXIMUM : RXT_TYPICAL;
    config.m_eMonitorChecks = options.m_strMonitorChecks == "refuses-flash" ? RXC_REFUSES_FLASH
                              : options.m_strMonitorChecks == "accepts-any" ? RXC_ACCEPTS_ANY
                                                                            : RXC_READS_FLASH;
    config.m_eReadReply = options.m_strReadReply == "mirror" ? RXRB_MIRROR : RXRB_STATUS;
    config.m_eMonitorReads = options.m_strMonitorReads == "flash"  ? RXMR_FLASH
                             : options.m_strMonitorReads == "none" ? RXMR_NONE
                                                                   : RXMR_ANY;
    if (options.m_bMonitorRates) {
        std::string error;
        if (!ParseRateList(options.m_strMonitorRates, config.m_MonitorRates, error))
            return Fail(EXIT_STATUS_USAGE, "--monitor-rates: " + error);
    }
    config.m_eDamageBootRam = options.m_strDamageBootRam == "once"     ? RXD_ONCE
                              : options.m_strDamageBootRam == "always" ? RXD_ALWAYS
                                                                       : RXD_NONE;
    for (const std::string& text : options.m_Refusals) {
        CRefusalRule rule;
        std::string error;
        if (!ParseRefusalRule(text, rule, error))
            return Fail(EXIT_STATUS_USAGE, error);
        config.m_Refusals.push_back(rule);
    }
    for (const std::string& text : options.m_LostAnswers) {
        CRefusalRule rule;
        std::string error;
        if (!ParseRefusalRule(text, rule, error) || rule.m_nPort != 0)
            return Fail(EXIT_STATUS_USAGE, "--lose-answer: " + (error.empty() ? "no @PORT here" : error));
        config.m_LostAnswers.push_back(rule);
    }
    std::string error;
    if (!ValidateReceiverConfig(config, error))
        return Fail(EXIT_STATUS_USAGE, error);

    CVirtualReceiver receiver(config);
    if (!receiver.Start(error))
        return Fail(EXIT_STATUS_FAILED, error);
    std::vector<std::string> ports = receiver.SlavePaths();
    for (const std::string& port : ports)
        std::printf("%s\n", port.c_str());
    std::fflush(stdout);
    if (!options.m_strPortsFile.empty() && !WritePortsFile(options.m_strPortsFile, ports)) {
        receiver.Stop();
        return Fail(EXIT_STATUS_FAILED, options.m_strPortsFile + ": cannot write the ports file");
    }

    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    while (!g_bStopSignal) {
        if (config.m_bExitAfterUpgrade && receiver.IsUpgradeFinished()) {
            // Let the last acknowledgement reach the host before the ports go.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    receiver.Stop();
    if (!options.m_strReport.empty() && !receiver.WriteReport(options.m_strReport, error))
        return Fail(EXIT_STATUS_FAILED, error);
    return EXIT_STATUS_OK;
}

void AddModelOptions(CLI::App* command, CReceiverOptions& o)
{
    CReceiverConfig& c = o.m_Config;
    command->add_option("--board", c.m_nBoardId, "board identifier (0 to 10; others allowed)")
        ->check(CLI::Range(0, 65535));
    command->add_option("--chip", c.m_strChip, "flash chip: AT49BV16X4 or AT49LV8011")
        ->check(CLI::IsMember({"AT49BV16X4", "AT49LV8011"}));
    command->add_option("--product-code", c.m_wProductCode, "product code of the firmware");
    command->add_option("--product-name", c.m_strProductName, "product name in the info packet");
    command->add_option("--serial", c.m_strSerial, "serial number (up to 16 characters)");
    command->add_option("--power", c.m_fPower, "power reading in the power record");
    command->add_flag("--memory-map", c.m_bMemoryMapReply, "answer the memory-map request");
    command->add_option("--mode", o.m_strMode, "start mode: app, boot or passthrough")
        ->check(CLI::IsMember({"app", "boot", "passthrough"}));
    command->add_flag("--passthrough", o.m_bPassthrough, "sit behind a handheld (--mode passthrough)");
    command->add_option("--ports", c.m_nPorts, "number of ports, 1 to 3")->check(CLI::Range(1, 3));
    command->add_option("--app-version", c.m_wAppVersion, "version of the generated application");
    command->add_option("--boot-version", c.m_wBootVersion, "version of the generated boot loader");
    command->add_flag("--no-app", [&c](int64_t) { c.m_bApp = false; }, "start with no application");
    command->add_flag("--no-boot", [&c](int64_t) { c.m_bBoot = false; }, "start with no boot loader");
    command->add_option("--app-image", c.m_strAppFile, "raw application image to start with");
    command->add_option("--boot-image", c.m_strBootFile, "raw boot image to start with");
}

// The behaviours a flash monitor (and boot loader) may choose, each a switch
// so that tests can hold a host to the strictest of them.
void AddMonitorVariantOptions(CLI::App* command, CReceiverOptions& o)
{
    CReceiverConfig& c = o.m_Config;
    command->add_option("--max-read", c.m_nMaxRead,
                        "largest read-back (0x94) the monitor answers, 128 to 1024; larger ones are refused")
        ->check(CLI::Range(RX_READ_MIN, RX_READ_MAX));
    command->add_option("--monitor-reads", o.m_strMonitorReads,
                        "what the monitor's read-back (0x94) reads: any memory, flash only, or none")
        ->check(CLI::IsMember({"any", "flash", "none"}));
    command->add_option_function<std::string>(
        "--monitor-rates",
        [&o](const std::string& text) {
            o.m_strMonitorRates = text;
            o.m_bMonitorRates = true;
        },
        "exactly the rates the monitor's speed change (0x99) takes, comma-separated");
    command->add_option("--switch-delay-ms", c.m_nSwitchDelayMs,
                        "how long after acknowledging a speed change the receiver changes its rate, 0 to 400")
        ->check(CLI::Range(0u, RX_SWITCH_DELAY_MAX_MS));
    command->add_option("--packet-gap-ms", c.m_nPacketGapMs,
                        "abandon a packet whose bytes stop for this long (0: never)")
        ->check(CLI::Range(0, 60000));
}

void AddRunOptions(CLI::App* command, CReceiverOptions& o)
{
    CReceiverConfig& c = o.m_Config;
    command->add_option("--ports-file", o.m_strPortsFile, "write the port paths here, one a line");
    command->add_option("--report", o.m_strReport, "write the JSON report here on exit");
    command->add_flag("--exit-after-upgrade", c.m_bExitAfterUpgrade,
                      "exit once an upgrade is recorded and the boot loader was left again");
    command->add_flag("--pace", c.m_bPace, "move bytes at the wire rate; flash takes real time");
    command->add_option("--announce-ms", c.m_nAnnounceMs, "interval of the announcements")
        ->check(CLI::Range(1, 10000));
    command->add_option("--seed", c.m_nSeed, "seed of the fault injection");
    command->add_option("--drop-rx", c.m_dDropRx, "rate of host bytes lost")->check(CLI::Range(0.0, 1.0));
    command->add_option("--drop-tx", c.m_dDropTx, "rate of receiver bytes lost")->check(CLI::Range(0.0, 1.0));
    command->add_option("--corrupt-rx", c.m_dCorruptRx, "rate of host bytes corrupted")
        ->check(CLI::Range(0.0, 1.0));
    command->add_option("--corrupt-tx", c.m_dCorruptTx, "rate of receiver bytes corrupted")
        ->check(CLI::Range(0.0, 1.0));
    command->add_option("--refuse", o.m_Refusals,
                        "refuse CODE[:N[:K]][@PORT]: the N-th occurrence of a command code, K times "
                        "(CODE also 'data' or 'text')");
    command->add_option("--lose-answer", o.m_LostAnswers,
                        "lose CODE[:N[:K]]: the flash monitor carries out the N-th occurrence of a command, K "
                        "times, but its acknowledgement is lost on the line (CODE also 'data')");
    command->add_option("--power-loss-after", c.m_nPowerLossAfter,
                        "lose power after N bytes received (bricks a receiver whose boot loader is not whole)")
        ->check(CLI::Range(int64_t(0), INT64_MAX));
    command->add_option("--power-off-ms", c.m_nPowerOffMs, "how long a power loss lasts");
    command->add_option("--unplug-after", c.m_nUnplugAfter, "close the primary port after N bytes received")
        ->check(CLI::Range(int64_t(0), INT64_MAX));
    command->add_flag("--refuse-speed", c.m_bRefuseSpeed, "refuse speed changes");
    command->add_option("--flash-code", c.m_nFlashCodeOverride,
                        "device code the monitor reports for its flash (an unknown chip)")
        ->check(CLI::Range(0, 0xFFFF));
    command->add_flag("--silent-secondary", c.m_bSilentSecondary, "never answer on ports 2 and 3");
    command->add_option("--slow-flash", c.m_nSlowFlashMs, "extra milliseconds per erase and program");
    command->add_option("--flash-timing", o.m_strFlashTiming,
                        "paced flash timing: the chips' typical figures or their maximum")
        ->check(CLI::IsMember({"typical", "maximum"}));
    command->add_option("--latency-ms", c.m_nLatencyMs,
                        "USB adapter latency timer: answers wait for the next tick of N ms")
        ->check(CLI::Range(0, 255));
    command->add_option("--bit-error-rate", c.m_dBitErrorRate,
                        "bit errors on the line, both ways (a parity error drops the byte)")
        ->check(CLI::Range(0.0, 0.1));
    command->add_option("--monitor-checks", o.m_strMonitorChecks,
                        "monitor's read-back and verify: reads-flash, refuses-flash or accepts-any")
        ->check(CLI::IsMember({"reads-flash", "refuses-flash", "accepts-any"}));
    command->add_option("--read-reply", o.m_strReadReply,
                        "layout of the read-back answer: status (address, 16-bit length, status byte) "
                        "or mirror (address, 32-bit length, as the host's data packet)")
        ->check(CLI::IsMember({"status", "mirror"}));
    command->add_option("--damage-boot-ram", o.m_strDamageBootRam,
                        "damage the staged boot image in RAM with two bit flips no byte sum sees: "
                        "once (the first time) or always")
        ->check(CLI::IsMember({"once", "always"}));
    command->add_option("--max-baud", c.m_nMaxBaud,
                        "fastest rate the monitor's speed change accepts: 115200, 230400, 460800 or 921600")
        ->check(CLI::IsMember({115200u, 230400u, 460800u, 921600u}));
    command->add_option("--baud-error", c.m_dBaudErrorPercent,
                        "receiver clock error in per cent above 115200: from 2 a growing share of "
                        "bytes is damaged or lost, from 3.5 nearly all")
        ->check(CLI::Range(0.0, 10.0));
    AddMonitorVariantOptions(command, o);
    command->add_option("--weak-bit", c.m_nWeakBitProgram,
                        "the N-th program command leaves one bit unprogrammed and reports success");
    command->add_option("--disturb-bit", c.m_nDisturbProgram,
                        "as --weak-bit, and that bit is cleared in a later byte instead: the byte sum holds");
}

}  // namespace

void AddReceiverCommand(CLI::App& app)
{
    auto options = std::make_shared<CReceiverOptions>();
    CLI::App* command = app.add_subcommand(
        "receiver", "run a virtual receiver on pseudo-terminals until killed");
    AddModelOptions(command, *options);
    AddRunOptions(command, *options);
    command->callback([options]() { SetExitStatus(RunReceiver(*options)); });
}
