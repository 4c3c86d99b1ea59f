// The run's account of itself, shared by every console build: the reason
// for each failed change on stderr (once per object), the --log file
// (header, every line printed, footer) and the --report file (JSON Lines,
// one object per event). Everything it says of a finding comes from the
// finding's record, and the records also go into the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/exit_status.h"
#include "cli/keeping_os.h"
#include "session/session.h"

namespace purgato {

// What the first record and the log's header say about the run.
struct RunFacts {
  std::string version;                 // "1.5"
  std::vector<std::string> signatures;  // the variants' names
  std::string host;                    // the machine's name
  bool dryRun = false;
  std::string target;                  // "C:", "!:", "" or "files"
  std::vector<std::pair<char, std::string>> drives;  // drive letter, host folder (mounted volumes)
  std::string windowsDir;
  std::string backupSet;               // "" without --backup
  std::vector<std::string> arguments;  // the command line
};

// The text of a time as ISO 8601 UTC, from seconds and milliseconds since 1970.
std::string utcTime(std::int64_t unixMilliseconds);
// The log's footer ("=== run ended <time> after <s> s, exit status N" and
// an empty line) into out, cut to size; returns its length. Allocates
// nothing and calls no library function, so a signal handler may use it
// for a run that is quit at once.
std::size_t footerText(char* out, std::size_t size, std::int64_t startMs, std::int64_t endMs, int exitStatus);
// The JSON string for text (quotes included); bytes that are not UTF-8
// come out as \u00XX of their Latin-1 reading.
std::string jsonString(const std::string& text);

class RunJournal final : public FindingSink {
 public:
  using ErrorText = std::function<std::string(const Finding& finding)>;
  using HostPath = std::function<std::string(const std::string& windowsPath)>;  // "" when none
  using Write = std::function<void(const std::string& text)>;
  using Clock = std::function<std::int64_t()>;  // milliseconds since 1970, UTC

  RunJournal(const ScanSession& session, ScanOutcome& outcome, ErrorText errorText, Write toStderr, Clock clock)
      : session_(session), outcome_(outcome), errorText_(std::move(errorText)), stderr_(std::move(toStderr)),
        clock_(std::move(clock)) {}
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  void setHostPath(HostPath hostPath) { hostPath_ = std::move(hostPath); }
  void setKeeping(const KeepingOs* keeping) { keeping_ = keeping; }
  // Called once, when writing the log or the report first fails.
  void onWriteFailure(std::function<void()> handler) { writeFailureHandler_ = std::move(handler); }

  // No more reason lines: the scan is being stopped, and what it refuses
  // from now on is its own doing.
  void silence() { silenced_ = true; }
  // Open the files (the log appended to, the report replaced): false with
  // *error when one cannot be opened.
  bool openLog(const std::string& path, std::string* error);
  bool openReport(const std::string& path, std::string* error);
  // The log's descriptor, -1 without one; its buffer is empty between calls.
  int logDescriptor() const;
  // When start() was called, in milliseconds since 1970; 0 before.
  std::int64_t startMs() const { return startMs_; }
  // The log's header and the report's first record: false with *error
  // when they could not be written.
  bool start(const RunFacts& facts, std::string* error);

  void onFinding(const Finding& finding) override;
  // A line printed on stdout or stderr (without its newline), for the log.
  void stdoutLine(const std::string& line);
  void stderrLine(const std::string& line);
  // A place the scan could not read.
  void unreadPlace(const std::string& windowsPath, const std::string& reason);
  // A warning printed on stderr (the line without its newline), for the
  // log and as a note record; kept until start() when it comes before.
  void note(const std::string& line);
  // The report's last record and the log's footer.
  void finish(int exitStatus);
  // The error of the first failed write, "" when none failed.
  const std::string& writeError() const { return writeError_; }

 private:
  void logText(const std::string& text);
  void reportRecord(const std::string& json);
  void noteWriteFailure(const char* what);
  void writeNote(const std::string& line);
  std::string restartJson(const Finding& finding) const;

  const ScanSession& session_;
  ScanOutcome& outcome_;
  ErrorText errorText_;
  Write stderr_;
  Clock clock_;
  HostPath hostPath_;
  const KeepingOs* keeping_ = nullptr;
  std::function<void()> writeFailureHandler_;
  std::FILE* log_ = nullptr;
  std::FILE* report_ = nullptr;
  std::string logPath_, reportPath_;
  std::string writeError_;
  std::int64_t startMs_ = 0;
  std::set<std::string> reasonsGiven_;  // objects whose failure was explained
  std::vector<std::string> earlyNotes_;  // warnings from before start()
  bool started_ = false;
  std::size_t refusalsSeen_ = 0;  // the keeping layer's refusals up to the last finding
  long findings_ = 0, failures_ = 0, unread_ = 0;
  bool silenced_ = false;
};

}  // namespace purgato
