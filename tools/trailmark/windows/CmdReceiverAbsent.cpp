// The Windows `trailmark` has no `receiver` subcommand: the virtual receiver
// runs on pseudo-terminals and stays a Linux program.
#include "tools/trailmark/Command.h"

void AddReceiverCommand(CLI::App&) {}
