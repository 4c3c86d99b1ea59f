#include "engine/actions.h"

#include <algorithm>
#include <string>

#include "clean/terminate.h"
#include "engine/restart_delete.h"
#include "os/text.h"

namespace purgato {

void chooseAction(ScanSession& session, const char* /*name*/, const char* /*path*/) {
  session.chosenAction = kActionDelete;
}

namespace {

Finding fileFinding(const char* path, const char* name) {
  Finding finding;
  finding.kind = FindingKind::kFile;
  finding.path = path;
  finding.variant = name;
  return finding;
}

std::string lowered(const char* path) {
  std::string text = path;
  for (char& c : text) c = lowerAscii(c);
  return text;
}

// True when this scan already left the file for the restart (and counted it).
bool leftForRestart(const ScanSession& session, const std::string& key) {
  return std::find(session.deletesAtRestart.begin(), session.deletesAtRestart.end(), key) !=
         session.deletesAtRestart.end();
}

// One delete; a success is counted and logged. On failure *error is the
// delete's error.
bool deleteCounted(ScanSession& session, Os& os, const char* path, const char* name, long* error) {
  if (!os.deleteFile(path)) {
    *error = os.lastError();
    return false;
  }
  // Held at first and free later in the same scan: counted when it was left.
  if (!leftForRestart(session, lowered(path))) session.filesDeleted += 1;
  sendFinding(session, os, fileFinding(path, name), "%s     %s deleted", path, name);
  return true;
}

void logDeleteFailed(ScanSession& session, Os& os, const char* path, const char* name, long error) {
  Finding finding = fileFinding(path, name);
  finding.outcome = FindingOutcome::kFailed;
  finding.error = error;
  sendFinding(session, os, finding, "%s     %s Delete failed", path, name);
}

// A file that still cannot be deleted is deleted when Windows next starts,
// where Windows offers that; it counts as deleted then. error is the
// delete's, kept when no restart can take the file.
void deleteAtRestart(ScanSession& session, Os& os, const char* path, const char* name, long error) {
  const std::string key = lowered(path);
  RestartRequest request;
  if (!leftForRestart(session, key)) {
    if (!scheduleDeleteAtRestart(os, path, &request)) {
      logDeleteFailed(session, os, path, name, error);
      return;
    }
    session.deletesAtRestart.push_back(key);
    session.filesDeleted += 1;
  }
  Finding finding = fileFinding(path, name);
  finding.outcome = FindingOutcome::kAtRestart;
  finding.restartPlace = request.place.c_str();
  finding.restartEntry = request.entry.c_str();
  finding.restartWritten = request.written;
  sendFinding(session, os, finding, "%s     %s will be deleted when Windows restarts", path, name);
}

}  // namespace

void deleteInfectedFile(ScanSession& session, Os& os, const char* path, const char* name) {
  // Read-only, hidden and system would make the delete fail.
  if (!os.setFileAttributes(path, kAttrArchive)) {
    logDeleteFailed(session, os, path, name, os.lastError());
    return;
  }
  long error = 0;
  if (deleteCounted(session, os, path, name, &error)) return;
  // A running worm holds its own executable; end it and try once more.
  if (terminateProcessByImage(os, path) != 0) {
    if (!deleteCounted(session, os, path, name, &error)) deleteAtRestart(session, os, path, name, error);
    return;
  }
  // The worm file stays for now: say so in the ordinary walk too, not only
  // for a process image, or the list would show nothing for it.
  deleteAtRestart(session, os, path, name, error);
}

void applyPendingAction(ScanSession& session, Os& os, const char* path, const char* familyName) {
  session.chosenAction = session.pendingImageAction;
  Finding ended;
  ended.kind = FindingKind::kProcess;
  ended.path = path;
  ended.variant = session.detectedName[0] != '\0' ? session.detectedName : familyName;
  ended.processId = session.pendingProcess.id;
  if (!session.pendingProcess.ended) {
    ended.outcome = FindingOutcome::kFailed;
    ended.error = session.pendingProcess.error;
  }
  sendFinding(session, os, ended, "System Memory     W32/Opaserv.Worm removed");
  // The ended process may still hold the file for a moment.
  os.sleep(1000);
  if (session.chosenAction == kActionDelete) deleteInfectedFile(session, os, path, familyName);
}

}  // namespace purgato
