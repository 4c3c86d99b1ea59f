#include "cli/exit_status.h"

namespace purgato {

void ScanOutcome::noteFinding(const Finding& finding) {
  found_ = true;
  if (finding.outcome == FindingOutcome::kFailed) unhandled_ = true;
}

int ScanOutcome::exitStatus() const {
  if (failed_) return kExitFailed;
  if (unhandled_) return kExitUnhandled;
  if (interrupted_ || unreadPlaces_ > 0) return kExitIncomplete;
  return found_ ? kExitFound : kExitClean;
}

}  // namespace purgato
