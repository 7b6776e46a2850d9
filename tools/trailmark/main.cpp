// The `trailmark` command-line program: one subcommand per file, registered
// here. See Command.h for how subcommands report their exit status.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "tools/trailmark/Command.h"

namespace {

// Whether the command line asks for JSON. Read from the words themselves:
// a command line that does not parse never sets the option, and a script
// that asked for JSON must get its error as JSON too.
bool AsksForJson(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            break;
        if (word == "--json")
            return true;
    }
    return false;
}

// The first word that is no option of the program's own and names none of
// its subcommands ("trailmark bogus"); empty when there is none. The
// parser would only say that a subcommand is required.
std::string UnknownSubcommand(const CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            return std::string();
        if (!word.empty() && word[0] == '-')
            continue;  // the program's own options take no value
        for (const CLI::App* sub : app.get_subcommands({}))
            if (sub->check_name(word))
                return std::string();
        return word;
    }
    return std::string();
}

// What the program's own help ends with, and its manual page shows as the
// sections ENVIRONMENT, EXIT STATUS and FILES (packaging/help-pages.awk):
// entries laid out as the options are, names from the third column,
// descriptions from the thirty-first.
constexpr const char* PROGRAM_FOOTER =
    "Environment:\n"
    "  TRAILMARK_COMn              makes COMn (1 to 9) stand for the device it names, such as\n"
    "                              TRAILMARK_COM3=/dev/ttyUSB0; without it COM1 is the first serial device\n"
    "                              present (USB serial adapters first, then on-board UARTs), COM2 the second,\n"
    "                              and so on ('trailmark ports' shows them, and marks a device set here that\n"
    "                              is not there as missing); a device path given to --port is opened as it\n"
    "                              stands\n"
    "  TRAILMARK_MONITOR_DIR       the folder of the maker's monitor programs XERF1.bin and XERF2.bin, as\n"
    "                              upgrade --monitor-dir gives it (the option wins)\n"
    "  TRAILMARK_STATE_DIR         the folder of the record an upgrade keeps while it holds a receiver in its\n"
    "                              flash monitor, in place of the one below\n"
    "  XDG_STATE_HOME              that record is $XDG_STATE_HOME/trailmark/interrupted, or\n"
    "                              ~/.local/state/trailmark/interrupted when it is not set\n"
    "                              (%LOCALAPPDATA%\\Trailmark\\interrupted on Windows)\n"
    "  TRAILMARK_DEBUG             when set, the engine's trace goes to standard error, as with upgrade -v\n"
    "\n"
    "Exit status:\n"
    "  0                           success (upgrade: every receiver upgraded, its flash verified)\n"
    "  1                           any other failure\n"
    "  2                           usage error: the command line cannot be used as given\n"
    "  3                           upgrade: a port cannot be opened\n"
    "  4                           the package or image is rejected or cannot be read\n"
    "  5                           upgrade: upgraded, but the flash could not be verified on this receiver\n"
    "                              (not with --verify none)\n"
    "  130                         upgrade: interrupted before any flash work\n"
    "\n"
    "Files:\n"
    "  Corvid_FW_v1.82-Boot.q      the package upgrade writes unless --package names another, in the current\n"
    "                              folder\n"
    "  XERF1.bin, XERF2.bin        the maker's monitor programs (boards 0 to 3, boards 4 to 10), in the\n"
    "                              folder --monitor-dir or TRAILMARK_MONITOR_DIR names\n"
    "  $XDG_STATE_HOME/trailmark/interrupted\n"
    "                              the record of an upgrade that holds a receiver in its flash monitor, so\n"
    "                              that running the upgrade again finishes it; removed when the monitor is\n"
    "                              ended";

// "info, unpack, pack, upgrade, ports and receiver".
std::string SubcommandNames(const CLI::App& app)
{
    const std::vector<const CLI::App*> subs = app.get_subcommands({});
    std::string names;
    for (size_t i = 0; i < subs.size(); ++i)
        names += (i == 0 ? "" : i + 1 == subs.size() ? " and " : ", ") + subs[i]->get_name();
    return names;
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader that goes away (`trailmark upgrade ... | head`) must not end
    // the program in the middle of an upgrade: its writes fail instead, and
    // the output stops (platform::WriteOutput).
    platform::IgnoreBrokenPipe();
    CLI::App app{"Firmware packages and receiver upgrades", "trailmark"};
    app.set_version_flag("--version", std::string("trailmark ") + TRAILMARK_VERSION);
    app.require_subcommand(1);
    AddInfoCommand(app);
    AddUnpackCommand(app);
    AddPackCommand(app);
    AddUpgradeCommand(app);
    AddPortsCommand(app);
    AddReceiverCommand(app);
    // Set after the subcommands exist, which would otherwise each repeat it.
    app.footer(PROGRAM_FOOTER);
    if (const std::string word = UnknownSubcommand(app, argc, argv); !word.empty())
        return Refuse(AsksForJson(argc, argv), EXIT_STATUS_USAGE,
                      "'" + word + "' is no subcommand of trailmark: the subcommands are " + SubcommandNames(app) +
                          " (see trailmark --help)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        return Refuse(AsksForJson(argc, argv), EXIT_STATUS_USAGE, std::string(e.what()) + " (see trailmark --help)");
    } catch (const std::exception& e) {
        return Fail(EXIT_STATUS_FAILED, e.what());
    }
    return GetExitStatus();
}
