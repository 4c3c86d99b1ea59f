// The console side of the progress channel on Windows: log lines on stdout,
// the progress (counts and current path) kept in place on the bottom line
// of stderr's console window (console API), Esc read from the console's
// input, Ctrl-C and Ctrl-Break caught with SetConsoleCtrlHandler. stdout
// holds only the lines, redirected or not, as on Linux.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cli/exit_status.h"
#include "cli/report.h"
#include "os/forwarding_os.h"
#include "session/session.h"

namespace purgato {

class WinConsole {
 public:
  // Looks at the standard handles: the progress is drawn only when stderr
  // is a console; keys are read when stdin is one and stderr or stdout is
  // one too, where Esc's question is asked.
  // Installs the handler of Ctrl-C, Ctrl-Break and the console's closing.
  // Every log line goes into outcome.
  WinConsole(const ScanSession& session, ScanOutcome& outcome);
  ~WinConsole();
  WinConsole(const WinConsole&) = delete;
  WinConsole& operator=(const WinConsole&) = delete;

  // Every line from here on also goes to the journal.
  // From the journal's start on: its log also gets the footer of a run
  // quit by a second Ctrl-C.
  void setJournal(RunJournal* journal);
  // A line for stderr (with its newline), put on a line of its own.
  void writeErrorLine(const std::string& text);
  // Called once, when writing to stdout first fails.
  void onOutputFailure(std::function<void()> handler) { outputFailureHandler_ = std::move(handler); }
  // A place the scan could not read, on stderr.
  void reportUnread(const std::string& windowsPath, UnreadPlace kind, const std::string& reason);
  // Shows the end status as the last line, and how many unread places went
  // unnamed.
  void finish();
  // The C run-time error of the first failed write to stdout, 0 when none.
  int outputError() const { return outputError_; }
  // True when stdout is a console window.
  bool onConsole() const { return onConsole_; }

  // The channel, as ConsoleChannelOs hands it over.
  std::intptr_t onMessage(std::uint32_t message);
  bool nextMessage(Message* msg);
  int askYesNo(const char* text);

 private:
  bool pollEscape();
  void printLogLine();
  void writeText(const std::string& text);
  void writeQuestion(const std::string& text);
  void drawStatus();
  void clearStatus();
  void flushOut();

  const ScanSession& session_;
  ScanOutcome& outcome_;
  ScanReport report_;
  std::function<void()> outputFailureHandler_;
  void* out_ = nullptr;     // HANDLE of stdout
  void* in_ = nullptr;      // HANDLE of stdin
  void* err_ = nullptr;     // HANDLE of stderr
  bool onConsole_ = false;  // stdout is a console
  bool progress_ = false;   // stderr is a console: the progress is drawn there
  bool keys_ = false;       // stdin too: Esc is read
  bool statusShown_ = false;
  bool quitSent_ = false;   // the Ctrl-C's WM_QUIT was handed out
  int outputError_ = 0;
  unsigned pumpCalls_ = 0;
  std::uint32_t lastDraw_ = 0;  // GetTickCount of the last drawing
  std::uint32_t lastPoll_ = 0;
  char typedAhead_ = 0;         // a key typed after an Esc, before its question
  std::string line_;            // reused output buffer
};

// Writes text to stderr: to a console window through the console, in its
// code page; else as it is (ANSI), through the C run-time.
void writeStderr(const std::string& text);

// The seam with its channel calls turned to the console: the scan's
// messages, its message queue and its question boxes.
class ConsoleChannelOs final : public ForwardingOs {
 public:
  ConsoleChannelOs(Os& inner, WinConsole& console) : ForwardingOs(inner), console_(console) {}

  bool peekMessage(Message* msg) override { return console_.nextMessage(msg); }
  void translateMessage(const Message*) override {}
  void dispatchMessage(const Message*) override {}
  std::intptr_t sendMessage(HWnd, std::uint32_t message, std::uintptr_t, std::intptr_t) override {
    return console_.onMessage(message);
  }
  int messageBox(HWnd, const char* text, const char*, std::uint32_t) override { return console_.askYesNo(text); }

 private:
  WinConsole& console_;
};

}  // namespace purgato
