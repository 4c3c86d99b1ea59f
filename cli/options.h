// The command line of purgato-scan: what it says, checked for form only.
// Whether folders and files exist is checked later, against the volume.
// One parser for both builds; each takes its own set of options.
#pragma once

#include <string>
#include <vector>

namespace purgato {

// Which command line: the scan of a mounted volume names its drives, its
// Windows folder and what to do with its registry; purgato-scan.exe on
// Windows scans the computer's own and takes none of those.
enum class CommandLine { kMountedVolume, kWindows };

// What the scan of a mounted volume does with the volume's registry.
enum class RegistryMode { kAuto, kOff };

// Files of a listing a mounted volume fetches ahead of the walk (measured on
// the benchmark tree, README "Benchmark"), and the most --read-ahead takes.
constexpr unsigned kDefaultReadAhead = 64;
constexpr unsigned kMaxReadAhead = 4096;

struct DriveMapping {
  char letter;         // 'C'..'Z', upper case
  std::string folder;  // host folder that serves the drive
};

struct CliOptions {
  std::vector<DriveMapping> drives;  // in command-line order, each letter once
  bool hasWindowsDir = false;
  std::string windowsDir;            // what GetWindowsDirectoryA answers, when given
  bool hasTarget = false;
  std::string target = "C:";         // targetPath of the whole-volume form
  std::vector<std::string> files;    // the file form when not empty
  RegistryMode registry = RegistryMode::kAuto;  // --registry
  bool dryRun = false;               // --dry-run: the whole scan, nothing changed
  unsigned readAhead = kDefaultReadAhead;  // --read-ahead: files fetched ahead of the walk, 0 off
  bool force = false;                // --force: scan a folder that does not look like a Windows volume
  std::string logFile;               // --log: appended to; "" none
  std::string reportFile;            // --report: JSON Lines; "" none
  std::string backupDir;             // --backup: what each change removes is kept here; "" none
  std::vector<std::string> arguments;  // the command line as given, for the log and the report
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Fills options from argv; on kError, error holds the one-line reason
// (without the program-name prefix).
ParseResult parseOptions(int argc, const char* const* argv, CommandLine form, CliOptions* options,
                         std::string* error);

// The --help text.
std::string usageText(CommandLine form);
// The --version text: the program, its signature set and its copyright and licence.
std::string versionText();
// The line after a usage error.
extern const char kTryHelp[];

}  // namespace purgato
