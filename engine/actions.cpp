#include "engine/actions.h"

#include "clean/terminate.h"

namespace purgato {

void chooseAction(ScanSession& session, const char* /*name*/, const char* /*path*/) {
  session.chosenAction = kActionDelete;
}

namespace {

// One delete; a success is counted and logged.
bool deleteCounted(ScanSession& session, Os& os, const char* path, const char* name) {
  if (!os.deleteFile(path)) return false;
  session.filesDeleted += 1;
  sendLogLine(session, os, "%s     %s deleted", path, name);
  return true;
}

void logDeleteFailed(ScanSession& session, Os& os, const char* path, const char* name) {
  sendLogLine(session, os, "%s     %s Delete failed", path, name);
}

}  // namespace

void deleteInfectedFile(ScanSession& session, Os& os, const char* path, const char* name) {
  // Read-only, hidden and system would make the delete fail.
  if (!os.setFileAttributes(path, kAttrArchive)) {
    logDeleteFailed(session, os, path, name);
    return;
  }
  if (deleteCounted(session, os, path, name)) return;
  // A running worm holds its own executable; end it and try once more.
  if (terminateProcessByImage(os, path) != 0) {
    if (!deleteCounted(session, os, path, name)) logDeleteFailed(session, os, path, name);
    return;
  }
  // The worm file stays: say so in the ordinary walk too, not only for a
  // process image, or the list would show nothing for it.
  logDeleteFailed(session, os, path, name);
}

void applyPendingAction(ScanSession& session, Os& os, const char* path, const char* familyName) {
  session.chosenAction = session.pendingImageAction;
  sendLogLine(session, os, "System Memory     W32/Opaserv.Worm removed");
  // The ended process may still hold the file for a moment.
  os.sleep(1000);
  if (session.chosenAction == kActionDelete) deleteInfectedFile(session, os, path, familyName);
}

}  // namespace purgato
