#include "cli/exit_status.h"

namespace purgato {

const ExitStatusText kExitStatusTexts[] = {
    {kExitClean, "a complete scan found nothing"},
    {kExitFound, "a complete scan found something, and everything found was removed"},
    {kExitFailed,
     "wrong command line, a drive folder that does not look like a Windows\n"
     "volume or a read-only volume (real scans only), a log that cannot be\n"
     "written, or the scan could not start or go on (for example, stdout\n"
     "could not be written)"},
    {kExitUnhandled,
     "something found is still there (a file that could not be deleted,\n"
     "entries that could not be cut, a Run value that could not be removed,\n"
     "a process that would not end, or a change not made because its backup\n"
     "could not be written), whether or not the scan was complete"},
    {kExitIncomplete,
     "the scan was incomplete (Esc answered y, Ctrl-C, Ctrl-Break, a hang-up\n"
     "or termination signal, the console closed, or places that could not be\n"
     "read) and nothing found was left in place"},
    {kExitRestart,
     "cleaned, restart needed: a complete scan, everything found was removed\n"
     "or will be deleted when Windows restarts (a \"will be deleted when\n"
     "Windows restarts\" line); restart to finish. A mounted volume has no\n"
     "restart: there a file that cannot be deleted now stays (status 3)"},
};
const int kExitStatusTextCount = sizeof kExitStatusTexts / sizeof kExitStatusTexts[0];

void ScanOutcome::noteFinding(const Finding& finding) {
  found_ = true;
  if (finding.outcome == FindingOutcome::kFailed) unhandled_ = true;
  if (finding.outcome == FindingOutcome::kAtRestart) restartNeeded_ = true;
}

// What is still on the computer outranks what was not looked at, which
// outranks a restart that finishes the job.
int ScanOutcome::exitStatus() const {
  if (failed_) return kExitFailed;
  if (unhandled_) return kExitUnhandled;
  if (interrupted_ || unreadPlaces_ > 0) return kExitIncomplete;
  if (restartNeeded_) return kExitRestart;
  return found_ ? kExitFound : kExitClean;
}

}  // namespace purgato
