// When the progress dialog's one scan starts and when its OK button may
// close the dialog, apart from the window: portable, so that it is tested
// natively over the test double.
#pragma once

#include "os/os.h"
#include "session/session.h"

namespace purgato {

class ScanRun {
 public:
  ScanRun(ScanSession& session, Os& os) : session_(session), os_(os) {}
  ScanRun(const ScanRun&) = delete;
  ScanRun& operator=(const ScanRun&) = delete;

  // The start timer is armed: the scan is about to start.
  void armed();
  // Cancel (or Escape) answered Yes in the dialog. Before the start the
  // cancel is kept, so that the scan ends at once when it starts.
  void cancelConfirmed();
  // The first tick: the whole scan, once. False, and nothing run, when
  // the scan has started already (it may be running around this call).
  bool start();

  bool waiting() const { return state_ == State::kWaiting; }
  bool running() const { return state_ == State::kRunning; }
  // OK (1003) closes the dialog only when no scan runs or waits to start:
  // pressed during the walk it would open the thank-you dialog inside the
  // scan, and the main dialog behind could then start a second one.
  bool okMayClose() const { return state_ == State::kIdle || state_ == State::kEnded; }

 private:
  enum class State { kIdle, kWaiting, kRunning, kEnded };

  ScanSession& session_;
  Os& os_;
  State state_ = State::kIdle;
  bool cancelledBeforeStart_ = false;
};

}  // namespace purgato
