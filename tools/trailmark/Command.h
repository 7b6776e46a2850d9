// What every subcommand of the `trailmark` program shares.
//
// Each subcommand lives in a file of its own (CmdInfo.cpp, CmdUnpack.cpp,
// CmdPack.cpp, ...) and exposes one `void AddXxxCommand(CLI::App& app)` that
// adds the subcommand, its options and its callback; main.cpp only calls
// those functions and runs the parse.
//
// Exit status. A callback does its work in a function that returns an exit
// status and hands it to SetExitStatus; main returns GetExitStatus() after
// the parse. A callback never calls exit() and never throws for an ordinary
// failure: it reports it with Fail(), which prints the one line
// "trailmark: <what and where>" on stderr and returns the status to pass on.
//   0  success
//   1  any other failure (missing file, bad option value, I/O error)
//   2  usage error: the command line does not parse (main maps CLI11's
//      parse errors to it)
//   4  the package or image file is rejected or unreadable
// A subcommand may add statuses of its own above these (the upgrade uses 3
// for a port that cannot be opened); they are listed in its help text.
//
// Threading: all of this runs on the main thread; the status is a plain
// process-wide value.
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

constexpr int EXIT_STATUS_OK = 0;
constexpr int EXIT_STATUS_FAILED = 1;
constexpr int EXIT_STATUS_USAGE = 2;
constexpr int EXIT_STATUS_BAD_PACKAGE = 4;

void SetExitStatus(int status);
int GetExitStatus();

// Prints "trailmark: <message>" on stderr and returns `status`.
int Fail(int status, const std::string& message);

// A refusal before anything runs: the Fail line, and with `json` also the
// one object {"event":"error",["port":..,]"exit_status":N,"reason":..} on
// stdout, which a script reads instead of a summary.
int Refuse(bool json, int status, const std::string& reason, const std::string& port = std::string());

// A number in decimal or with a 0x prefix in hex, fitting 32 bits unsigned.
bool ParseUint32(const std::string& text, uint32_t& value);

void AddInfoCommand(CLI::App& app);
void AddUnpackCommand(CLI::App& app);
void AddPackCommand(CLI::App& app);
void AddUpgradeCommand(CLI::App& app);
void AddPortsCommand(CLI::App& app);
void AddReceiverCommand(CLI::App& app);

class CFirmwareFileEntry;
class CFirmwareSection;

// Loads a package or image file with the reader; on failure reports
// "<path>: <reader's reason>" and returns EXIT_STATUS_BAD_PACKAGE.
int LoadPackageFile(const std::string& path, CFirmwareFileEntry& entry);

// Reads a package or image file, loads every section and proves the package
// whole (transfer/PackageProof.h). False with `reason` set to
// "<path>: <why>", naming the section at fault.
bool LoadProvenPackageFile(const std::string& path, CFirmwareFileEntry& entry, std::string& reason);

// Section flags by name, "BOOT|APP|PLAIN|COMPRESSED", unknown bits in hex
// ("APP|0x100"); "none" for 0.
std::string FormatSectionFlags(uint32_t flags);

// "package", "application image", "boot image" or "unknown".
const char* KindName(int32_t kind);

// Hex text with a 0x prefix and eight digits.
std::string Hex32(uint32_t value);
