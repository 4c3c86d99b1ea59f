// What is done with an identified worm file: the action choice, the
// deletion with its one retry, and the process-image follow-up.
#pragma once

#include "session/session.h"

namespace purgato {

// Stores kActionDelete in chosenAction; the arguments are ignored.
void chooseAction(ScanSession& session, const char* name, const char* path);
// Resets the attributes, deletes, and after a failure ends the process
// running from the file and deletes once more; a file that still cannot be
// deleted is left for Windows to delete at its next start. Logs the
// outcome.
void deleteInfectedFile(ScanSession& session, Os& os, const char* path, const char* name);
// Follow-up of the process phase: logs, waits 1000 ms and applies pendingImageAction.
void applyPendingAction(ScanSession& session, Os& os, const char* path, const char* familyName);

}  // namespace purgato
