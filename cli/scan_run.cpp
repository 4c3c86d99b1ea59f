#include "cli/scan_run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/text.h"
#include "scan/driver.h"
#include "scan/walker.h"

namespace purgato {

const char kDryRunNotice[] = "purgato-scan: dry run: nothing is changed; the lines show what a scan would do\n";

int printText(const std::string& text, const char* what) {
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "purgato-scan: cannot write the %s: %s\n", what, std::strerror(errno));
    return kExitFailed;
  }
  return kExitClean;
}

int outputError(int error, bool scanStarted) {
  std::fprintf(stderr, "purgato-scan: cannot write the output: %s%s\n", std::strerror(error),
               scanStarted ? "; the scan was stopped" : "");
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

int scanExitStatus(const ScanSession& session, ScanOutcome& outcome) {
  if (session.cancelRequested) outcome.noteInterrupted();
  return outcome.exitStatus();
}

}  // namespace purgato
