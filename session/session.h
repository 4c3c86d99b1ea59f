// The scan record shared by every part of one scan, and the progress
// channel through which scanning code reports to the progress window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"
#include "session/finding.h"
#include "os/text.h"

namespace purgato {

constexpr std::uint32_t kMsgStatus = 0x000A;   // show statusText (the number of WM_ENABLE)
constexpr std::uint32_t kMsgLogLine = 0x000B;  // append logLine (the number of WM_SETREDRAW)

constexpr int kActionDelete = 100;  // the only action the system chooses; 0 is "none"

constexpr int kLogLineSize = 500;

// The machine-wide Run key, held open across one scan so that a file's
// check of the fixed worm names can be skipped while the key provably has
// not been written since a check that found none of them.
struct RunKeyWatch {
  bool enabled = false;          // runScan sets it for its walks
  HKey key = 0;                  // the Run key, open for reading; 0 when not open
  std::uint64_t quietSince = 0;  // the key's last-write time when none of the names was there; 0 unknown
};

// What the process phase did to the process whose image it walks again.
struct PendingProcess {
  std::uint32_t id = 0;
  bool ended = true;  // false: it could not be ended and runs on
  long error = 0;     // the failed end's error
};

struct ScanSession {
  char targetPath[kPathSize] = "";      // "" statistics only, "!:" all fixed drives, else the standard scan
  HWnd progressWindow = 0;              // receiver of the channel messages; 0 before the dialog exists
  char logLine[kLogLineSize] = "";      // text of the last kMsgLogLine
  char statusText[kPathSize] = "";      // text of the last kMsgStatus; also the path of the last match
  char detectedName[kPathSize] = "";    // malware name of the last match
  bool statisticsPhase = false;         // set once before the statistics block
  bool cancelRequested = false;         // Cancel or Esc answered Yes, WM_QUIT, WM_DESTROY
  std::int32_t filesScanned = 0;        // files handed to the scanners outside process-image mode
  std::int32_t filesInfected = 0;       // every detection, process images and cut start-up files included
  std::int32_t filesDisinfected = 0;    // win.ini / autoexec files cut
  std::int32_t filesDeleted = 0;        // successful deletions
  std::int32_t chosenAction = 0;        // set by chooseAction
  bool processImageMode = false;        // set for the whole process phase
  bool imageInfected = false;           // the last walk in process-image mode matched
  std::int32_t pendingImageAction = 0;  // non-zero during the second walk over an infected image
  char deferredFolder[kPathSize] = "";  // the drive's Program Files pattern, registered at a root walk
  bool deferredPending = false;         // deferredFolder exists and is still to be walked
  bool programFilesVisited = false;     // a walk entered "\Program Files\" with exactly those capitals
  std::int32_t showDisinfectedTotal = 1;  // stored setting: 1 shows "Total files disinfected"
  RunKeyWatch runWatch;                   // see RunKeyWatch
  PendingProcess pendingProcess;          // the process whose image the second walk deletes
  FindingSink* findingSink = nullptr;     // told of every finding; none in the dialog
  // Worm files this scan left for Windows to delete at its next start,
  // lower-cased: each is asked for and counted in filesDeleted once.
  std::vector<std::string> deletesAtRestart;
  bool wow64RunView = false;              // the 32-bit view's Run key is checked too (a 64-bit registry offline)
  // Run values ("<key>\\<name>", lower-cased) whose deletion failed in this
  // scan: reported once, not tried again for every file.
  std::vector<std::string> runValuesLeft;
};

// Formats into logLine (cut to fit its 500 bytes) and sends kMsgLogLine.
void sendLogLine(ScanSession& session, Os& os, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Formats the finding's line into logLine, hands its record to the sink
// (which may read the line there), then sends the line as sendLogLine does.
void sendFinding(ScanSession& session, Os& os, const Finding& finding, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// A finding that has no line of its own: only its record.
void noteFinding(ScanSession& session, const Finding& finding);

// Copies text into statusText (text may be statusText itself) and sends kMsgStatus.
void sendStatus(ScanSession& session, Os& os, const char* text);

}  // namespace purgato
