// The `trailmark` command-line program: one subcommand per file, registered
// here. See Command.h for how subcommands report their exit status.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

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
