// How a run of the console scanner ends: its exit status, worked out from
// what the scan reported. Shared by every console build; no OS calls.
#pragma once

namespace purgato {

enum ExitStatus : int {
  kExitClean = 0,       // a complete scan, nothing found
  kExitFound = 1,       // a complete scan; everything found was handled
  kExitFailed = 2,      // wrong command line, or the scan could not start or go on
  kExitUnhandled = 3,   // something found could not be handled, complete scan or not
  kExitIncomplete = 4,  // interrupted, or places went unread; nothing unhandled
};

// True for a finding line that says the thing found is still there: a
// file that could not be deleted, entries that could not be cut, a process
// that would not end.
bool isUnhandledFinding(const char* line);

class ScanOutcome {
 public:
  // Every line the scan logs; those before the statistics are findings.
  void noteLogLine(const char* line, bool statisticsPhase);
  // The scan's own count: an infected process left alone has no line.
  void noteFilesInfected(long count) { found_ = found_ || count > 0; }
  void noteUnreadPlace() { ++unreadPlaces_; }
  void noteInterrupted() { interrupted_ = true; }
  // The output was lost or the scan could not go on.
  void noteFailure() { failed_ = true; }

  bool found() const { return found_; }
  bool unhandled() const { return unhandled_; }
  unsigned long unreadPlaces() const { return unreadPlaces_; }
  // The status for what was noted so far.
  int exitStatus() const;
  // The status of a run cut short now, before its end was reached.
  int statusIfCutShort() const { return unhandled_ ? kExitUnhandled : kExitIncomplete; }

 private:
  bool found_ = false;
  bool unhandled_ = false;
  bool interrupted_ = false;
  bool failed_ = false;
  unsigned long unreadPlaces_ = 0;
};

}  // namespace purgato
