#include "cli/exit_status.h"

namespace purgato {

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
