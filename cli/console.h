// The console side of the progress channel: log lines on stdout, the
// progress (counts and current path) kept in place on stderr's bottom line
// when stderr is a terminal that can move its cursor, Esc and Ctrl-C turned
// into the messages the walker's pump understands.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "cli/exit_status.h"
#include "cli/report.h"
#include "os/posix/posix_os.h"
#include "session/session.h"

namespace purgato {

class Console {
 public:
  // Looks at the standard descriptors and TERM: the progress is drawn only
  // when stderr is a terminal and TERM is set and not "dumb"; keys are read
  // when stdin is a terminal and stderr or stdout is one, where Esc's
  // question is asked. Installs the handlers of
  // Ctrl-C, Ctrl-\\, hang-up and termination and, for keys, puts the
  // terminal in non-canonical, no-echo mode. Every log line goes into
  // outcome.
  Console(const ScanSession& session, ScanOutcome& outcome);
  ~Console();  // restores the terminal
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Routes os's channel messages, message source, message boxes and
  // reports of unread places here.
  void attach(PosixOs& os);
  // Every line from here on also goes to the journal.
  void setJournal(RunJournal* journal) { report_.setJournal(journal); }
  // A line for stderr (with its newline), put on a line of its own.
  void writeStderr(const std::string& text);
  // Called once, when writing to stdout first fails.
  void onOutputFailure(std::function<void()> handler) { outputFailureHandler_ = std::move(handler); }
  // The --log file's descriptor (opened to append, its buffer flushed after
  // every write): a second signal's line goes there as well.
  void setLogDescriptor(int fd);
  // When the log's header was written: from then on a second signal's quit
  // ends the log with its footer.
  void setLogStart(std::int64_t startMs);
  // What a second signal (which quits at once) ends the run with: by
  // default the status of a scan cut short now, worked out at each log
  // line. `weigh` (when set) gets that status at each log line and gives
  // the one to quit with, with *note a line for stderr ("" for none): what
  // a quit leaves on the disk that the lines do not say.
  using QuitWeigher = std::function<int(int status, std::string* note)>;
  void weighQuit(QuitWeigher weigh) { weighQuit_ = std::move(weigh); }
  // From here on a second signal quits with `status` and `note`, whatever
  // log lines follow.
  void settleQuit(int status, const std::string& note);
  // Shows the end status (the driver's last statusText) as the last line,
  // and how many unread places went unnamed.
  void finish();
  // The error of the first failed write to stdout, 0 when none failed.
  int outputError() const { return outputError_; }

 private:
  std::intptr_t onMessage(std::uint32_t message);
  bool nextMessage(Message* msg);
  int askYesNo(const char* text);
  bool pollKeys();
  void writeLine(bool endLine);  // the log line just sent, or the end status
  void printLogLine();
  void drawStatus();
  void clearStatus();
  void writeStatusBytes(const std::string& bytes);
  void writeTerminal(const std::string& text);
  void updateWidth();
  void flushOut();
  void reportTrouble(const std::string& windowsPath, PosixOs::Trouble kind, int error);

  const ScanSession& session_;
  ScanOutcome& outcome_;
  ScanReport report_;
  std::function<void()> outputFailureHandler_;
  QuitWeigher weighQuit_;
  bool quitSettled_ = false;
  int outputError_ = 0;            // errno of the first failed write
  bool progress_ = false;          // the progress is drawn on stderr
  int terminalFd_ = -1;            // the terminal of the question: stderr, else stdout; -1 none
  bool keys_ = false;              // stdin is a terminal too; its mode was changed
  bool statusShown_ = false;       // stderr's bottom line holds the progress
  bool quitSent_ = false;          // the Ctrl-C's WM_QUIT was handed out
  int width_ = 80;                 // terminal columns
  unsigned pumpCalls_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
  std::chrono::steady_clock::time_point lastPoll_{};
  std::string line_;               // reused output buffer
  std::string typedAhead_;         // keys typed after an Esc, before its question
};

}  // namespace purgato
