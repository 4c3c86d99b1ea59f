// The command line of purgato-scan: what it says, checked for form only.
// Whether folders and files exist is checked later, against the volume.
#pragma once

#include <string>
#include <vector>

#include "cli/offline_registry_step.h"

namespace purgato {

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
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Fills options from argv; on kError, error holds the one-line reason
// (without the program-name prefix).
ParseResult parseOptions(int argc, const char* const* argv, CliOptions* options, std::string* error);

// The --help text.
const char* usageText();
// The --version text: the program and its signature set.
std::string versionText();

}  // namespace purgato
