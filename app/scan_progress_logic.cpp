#include "app/scan_progress_logic.h"

#include "scan/driver.h"

namespace purgato {

void ScanRun::armed() {
  if (state_ == State::kIdle) state_ = State::kWaiting;
}

void ScanRun::cancelConfirmed() {
  if (state_ == State::kIdle || state_ == State::kWaiting) cancelledBeforeStart_ = true;
  session_.cancelRequested = true;
}

bool ScanRun::start() {
  if (state_ == State::kRunning || state_ == State::kEnded) return false;
  state_ = State::kRunning;
  // A flag left from before this dialog is cleared; a cancel confirmed in
  // it is not: the walks then return at their first check and the
  // statistics and "Scanning terminated" follow at once.
  if (!cancelledBeforeStart_) session_.cancelRequested = false;
  runScan(session_, os_);
  state_ = State::kEnded;
  return true;
}

}  // namespace purgato
