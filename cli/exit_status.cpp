#include "cli/exit_status.h"

#include <cstring>

namespace purgato {

namespace {

// How the scan's lines end when what they name is left in place.
const char* const kUnhandledEndings[] = {
    " Delete failed",         // the file is still there
    " cannot be deleted",     // the same, found where no process could be ended
    " could not be removed",  // win.ini / autoexec entries that could not be cut
    " could not be ended",    // a worm process that kept running
};

bool endsWith(const char* text, std::size_t length, const char* ending) {
  const std::size_t n = std::strlen(ending);
  return length >= n && std::memcmp(text + length - n, ending, n) == 0;
}

}  // namespace

bool isUnhandledFinding(const char* line) {
  const std::size_t length = std::strlen(line);
  for (const char* ending : kUnhandledEndings)
    if (endsWith(line, length, ending)) return true;
  return false;
}

void ScanOutcome::noteLogLine(const char* line, bool statisticsPhase) {
  if (statisticsPhase) return;
  found_ = true;
  if (isUnhandledFinding(line)) unhandled_ = true;
}

int ScanOutcome::exitStatus() const {
  if (failed_) return kExitFailed;
  if (unhandled_) return kExitUnhandled;
  if (interrupted_ || unreadPlaces_ > 0) return kExitIncomplete;
  return found_ ? kExitFound : kExitClean;
}

}  // namespace purgato
