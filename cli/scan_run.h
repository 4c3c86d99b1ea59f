// The steps of a console scan that are the same on every build: the
// answers to --help and --version, the scan itself (named files one by one,
// or the whole scan of a target), and the exit status it comes to.
#pragma once

#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/journal.h"
#include "cli/options.h"
#include "os/os.h"
#include "session/session.h"

namespace purgato {

// The line a dry run starts with.
extern const char kDryRunNotice[];

// Writes text (the help or the version) to stdout: kExitClean, or
// kExitFailed with one stderr line saying `what` could not be written.
int printText(const std::string& text, const char* what);

// The stderr line for output that could not be written; kExitFailed.
int outputError(int error, bool scanStarted);
// That line, without its newline.
std::string outputErrorLine(int error, bool scanStarted);

// With files, scans each as the walker scans a directory entry, pumping
// before and after as it does, then prints the statistics only; without,
// runs the whole scan that target chooses.
void runConsoleScan(ScanSession& session, Os& os, const std::vector<std::string>& files,
                    const std::string& target);

// The Win32 error's text where the system has none (a registry served from
// hive files): the common ones in words, the rest by number.
std::string registryErrorText(long code);

// The name of a new backup set, from the time: YYYYMMDD-HHMMSS (UTC).
std::string backupSetName(std::int64_t unixMilliseconds);

// What the journal's first record says, as far as the options tell.
RunFacts runFacts(const CliOptions& options, bool fileForm);

// The exit status of a scan that has run to its statistics.
int scanExitStatus(const ScanSession& session, ScanOutcome& outcome);

}  // namespace purgato
