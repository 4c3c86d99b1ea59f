#include "engine/actions.h"

#include "clean/terminate.h"

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

// One delete; a success is counted and logged. On failure *error is the
// delete's error.
bool deleteCounted(ScanSession& session, Os& os, const char* path, const char* name, long* error) {
  if (!os.deleteFile(path)) {
    *error = os.lastError();
    return false;
  }
  session.filesDeleted += 1;
  sendFinding(session, os, fileFinding(path, name), "%s     %s deleted", path, name);
  return true;
}

void logDeleteFailed(ScanSession& session, Os& os, const char* path, const char* name, long error) {
  Finding finding = fileFinding(path, name);
  finding.outcome = FindingOutcome::kFailed;
  finding.error = error;
  sendFinding(session, os, finding, "%s     %s Delete failed", path, name);
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
    if (!deleteCounted(session, os, path, name, &error)) logDeleteFailed(session, os, path, name, error);
    return;
  }
  // The worm file stays: say so in the ordinary walk too, not only for a
  // process image, or the list would show nothing for it.
  logDeleteFailed(session, os, path, name, error);
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
