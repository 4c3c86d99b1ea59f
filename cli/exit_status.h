// How a run of the console scanner ends: its exit status, worked out from
// the records of the scan's findings. Shared by every console build; no OS
// calls.
#pragma once

#include "session/finding.h"

namespace purgato {

enum ExitStatus : int {
  kExitClean = 0,       // a complete scan, nothing found
  kExitFound = 1,       // a complete scan; everything found was handled
  kExitFailed = 2,      // wrong command line, or the scan could not start or go on
  kExitUnhandled = 3,   // something found could not be handled, complete scan or not
  kExitIncomplete = 4,  // interrupted, or places went unread; nothing unhandled
  kExitRestart = 5,     // a complete scan; everything handled, some of it when Windows restarts
};

// The one wording of each status, for --help and the manual page (a test
// holds the manual page to it).
struct ExitStatusText {
  int status;
  const char* text;  // lines of at most 72 characters, joined by '\n'
};
extern const ExitStatusText kExitStatusTexts[];
extern const int kExitStatusTextCount;

class ScanOutcome final : public FindingSink {
 public:
  // Every finding's record, with a line or without.
  void noteFinding(const Finding& finding);
  void onFinding(const Finding& finding) override { noteFinding(finding); }
  void noteUnreadPlace() { ++unreadPlaces_; }
  void noteInterrupted() { interrupted_ = true; }
  // The output was lost or the scan could not go on.
  void noteFailure() { failed_ = true; }

  bool found() const { return found_; }
  bool unhandled() const { return unhandled_; }
  bool restartNeeded() const { return restartNeeded_; }
  unsigned long unreadPlaces() const { return unreadPlaces_; }
  // The status for what was noted so far.
  int exitStatus() const;
  // The status of a run cut short now, before its end was reached.
  int statusIfCutShort() const { return unhandled_ ? kExitUnhandled : kExitIncomplete; }

 private:
  bool found_ = false;
  bool unhandled_ = false;
  bool restartNeeded_ = false;
  bool interrupted_ = false;
  bool failed_ = false;
  unsigned long unreadPlaces_ = 0;
};

}  // namespace purgato
