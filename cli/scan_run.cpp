#include "cli/scan_run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/signatures.h"
#include "os/text.h"
#include "scan/driver.h"
#include "scan/walker.h"

namespace purgato {

const char kDryRunNotice[] =
    "purgato-scan: DRY RUN: nothing was changed; the lines below say what a real scan would do\n";

int printText(const std::string& text, const char* what) {
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "purgato-scan: cannot write the %s: %s\n", what, std::strerror(errno));
    return kExitFailed;
  }
  return kExitClean;
}

std::string outputErrorLine(int error, bool scanStarted) {
  return std::string("purgato-scan: cannot write the output: ") + std::strerror(error) +
         (scanStarted ? "; the scan was stopped" : "");
}

int outputError(int error, bool scanStarted) {
  std::fprintf(stderr, "%s\n", outputErrorLine(error, scanStarted).c_str());
  return kExitFailed;
}

void runConsoleScan(ScanSession& session, Os& os, const std::vector<std::string>& files,
                    const std::string& target) {
  if (!files.empty()) {
    for (const std::string& file : files) {
      pumpMessages(session, os);
      if (session.cancelRequested) break;
      session.imageInfected = false;
      scanEntry(session, os, file.c_str(), 0);
      pumpMessages(session, os);
      if (session.cancelRequested) break;
    }
    session.targetPath[0] = '\0';  // statistics only
  } else {
    copyText(session.targetPath, sizeof session.targetPath, target.c_str());
  }
  runScan(session, os);
}

std::string registryErrorText(long code) {
  switch (code) {
    case 2: return "The system cannot find the file specified.";
    case 5: return "Access is denied.";
    case 8: return "Not enough storage is available to process this command.";
    case 29: return "The system cannot write to the specified device.";
    case 1009: return "The configuration registry database is corrupt.";
    case 1018: return "Illegal operation attempted on a registry key that has been marked for deletion.";
  }
  return "Windows error " + std::to_string(code);
}

std::string backupSetName(std::int64_t ms) {
  const std::string iso = utcTime(ms);  // 2026-12-10T15:04:05.123Z
  return iso.substr(0, 4) + iso.substr(5, 2) + iso.substr(8, 2) + "-" + iso.substr(11, 2) + iso.substr(14, 2) +
         iso.substr(17, 2);
}

RunFacts runFacts(const CliOptions& options, bool fileForm) {
  RunFacts facts;
  facts.version = "1.5";
  for (int row = 0; row < kSignatureRows; ++row) {
    const std::string name = signatureTable[row].name;
    bool seen = false;
    for (const std::string& known : facts.signatures) seen = seen || known == name;
    if (!seen) facts.signatures.push_back(name);
  }
  facts.dryRun = options.dryRun;
  facts.target = fileForm ? "files" : options.target;
  facts.arguments = options.arguments;
  return facts;
}

int scanExitStatus(const ScanSession& session, ScanOutcome& outcome) {
  if (session.cancelRequested) outcome.noteInterrupted();
  return outcome.exitStatus();
}

}  // namespace purgato
