#include "scan/driver.h"

#include <cstring>

#include "clean/registry_cleanup.h"
#include "os/text.h"
#include "scan/process_phase.h"
#include "scan/walker.h"

namespace purgato {

namespace {

// The drive's Program Files folder, when the walk of its drive did not enter
// it under exactly that capitalisation.
void walkDeferredFolder(ScanSession& session, Os& os) {
  if (!session.deferredPending || session.programFilesVisited) return;
  // The walk may register a root again; it must not write into its own pattern.
  char pattern[kPathSize];
  copyText(pattern, sizeof pattern, session.deferredFolder);
  walkFolder(session, os, pattern);
  session.deferredPending = false;
}

void walkStartupFolder(ScanSession& session, Os& os) {
  char folder[kPathSize] = "";
  // A value read is always terminated within the buffer.
  if (!readRegistryString(os, kHkeyCurrentUser, kShellFoldersKey, "Startup", folder, sizeof folder)) return;
  lowerInPlace(folder);
  if (std::strstr(folder, "startup") == nullptr) return;
  if (!appendText(folder, sizeof folder, "\\*.*")) return;
  walkFolder(session, os, folder);
}

void walkWindowsFolder(ScanSession& session, Os& os) {
  char folder[kPathSize] = "";
  const unsigned length = os.getWindowsDirectory(folder, sizeof folder);
  // Without a folder the pattern would be "\\*.*": the root of whatever
  // drive is current.
  if (length == 0 || length >= sizeof folder) return;
  folder[length] = '\0';
  lowerInPlace(folder);
  if (std::strstr(folder, "c:") != nullptr) return;  // walked with drive C
  if (!appendText(folder, sizeof folder, "\\*.*")) return;
  walkFolder(session, os, folder);
}

void standardScan(ScanSession& session, Os& os) {
  killWormProcesses(session, os);
  walkStartupFolder(session, os);
  walkFolder(session, os, "C:\\*.*");
  walkWindowsFolder(session, os);
  walkDeferredFolder(session, os);
}

void allFixedDrives(ScanSession& session, Os& os) {
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    if (os.getDriveType(root) != kDriveFixed) continue;
    const char pattern[] = {letter, ':', '\\', '*', '.', '*', '\0'};
    walkFolder(session, os, pattern);
    walkDeferredFolder(session, os);
  }
}

void sendStatistics(ScanSession& session, Os& os) {
  session.statisticsPhase = true;
  if (session.filesInfected > 0) sendLogLine(session, os, " ");
  sendLogLine(session, os, "Scanning statistics\t\t:");
  sendLogLine(session, os, "Total files scanned\t\t:  %d", static_cast<int>(session.filesScanned));
  sendLogLine(session, os, "Total files infected\t\t:  %d", static_cast<int>(session.filesInfected));
  if (session.showDisinfectedTotal == 1)
    sendLogLine(session, os, "Total files disinfected\t:  %d", static_cast<int>(session.filesDisinfected));
  sendLogLine(session, os, "Total files deleted\t\t:  %d", static_cast<int>(session.filesDeleted));
  sendStatus(session, os, session.cancelRequested ? "Scanning terminated" : "Scanning completed");
}

}  // namespace

int runScan(ScanSession& session, Os& os) {
  session.runWatch.enabled = true;
  if (session.targetPath[0] == '\0') {
    // Statistics only.
  } else if (std::strcmp(session.targetPath, "!:") == 0) {
    allFixedDrives(session, os);
  } else {
    standardScan(session, os);
  }
  releaseRunKeyWatch(session, os);
  sendStatistics(session, os);
  return 1;
}

}  // namespace purgato
