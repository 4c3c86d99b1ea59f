// The structured record the core fills beside each finding line. Whatever
// must judge a finding (an exit status, a log, a report) reads the record,
// never the line's text.
#pragma once

#include <cstdint>

namespace purgato {

enum class FindingKind : std::uint8_t {
  kFile,         // a worm executable or companion file: deleted, or not
  kStartupFile,  // the worm's entries at the end of a win.ini / autoexec file: cut, or not
  kRunValue,     // a worm value under the machine-wide Run key: deleted, or not
  kProcess,      // a running worm process: ended, or not
  kService,      // a worm service's keys: deleted, or not
};

enum class FindingOutcome : std::uint8_t {
  kRemoved,  // deleted, cut, ended: the thing found is gone
  kFailed,   // the thing found is still there
  kAtRestart,  // a file left for Windows to delete at its next start
};

// Every pointer is valid only during the call that hands the record over.
struct Finding {
  FindingKind kind = FindingKind::kFile;
  FindingOutcome outcome = FindingOutcome::kRemoved;
  // The failed call's error: a Win32 error code for the registry kinds;
  // for the others what Os::lastError gave. 0 when none is known.
  long error = 0;
  const char* path = "";        // Windows path of the file or process image; the key of a Run value or service
  const char* variant = "";     // the variant's name, or the family's
  const char* valueName = "";   // a Run value's name; a service's name
  const char* valueData = "";   // a Run value's data as read before the delete (valueSize bytes)
  std::uint32_t valueSize = 0;  // 0 when not known
  std::uint32_t valueType = 0;  // its REG_* type
  std::uint32_t processId = 0;  // a process's id
  const char* const* keys = nullptr;  // a service's keys that were deleted (kService)
  int keyCount = 0;
  // A file left for the restart (kAtRestart), when this finding made the
  // request: where it went and the entry, as written ("" none).
  const char* restartPlace = "";
  const char* restartEntry = "";
  bool restartWritten = false;  // false: it was there from an earlier scan
  bool hasLine = true;  // false: no line goes with it (a process left running)
};

// Told of every finding; for one with a line, once the line is in logLine
// and before it is sent.
class FindingSink {
 public:
  virtual void onFinding(const Finding& finding) = 0;

 protected:
  ~FindingSink() = default;
};

}  // namespace purgato
