// What the console scanner writes, the same on every build: the text of each
// line on stdout (findings, statistics, the end status) and of each line on
// stderr about places the scan could not read. Where and when the text goes
// (a terminal, a console, a file) is the platform's console's business.
#pragma once

#include <string>

#include "cli/exit_status.h"
#include "cli/journal.h"
#include "session/session.h"

namespace purgato {

// Places a scan passes over without a word from the core.
enum class UnreadPlace {
  kUnreadable,     // a folder that cannot be listed, a file that cannot be opened or read
  kTooLong,        // an entry whose Windows path would be 260 characters or more
  kFolderTooDeep,  // a folder whose search pattern ("\\*.*" added) would not fit 260 bytes
};

// The first places are named one by one; the rest are counted.
constexpr unsigned long kUnreadPlacesNamed = 20;

class ScanReport {
 public:
  ScanReport(const ScanSession& session, ScanOutcome& outcome) : session_(session), outcome_(outcome) {}
  // Every line from here on also goes to the journal (its log).
  void setJournal(RunJournal* journal) { journal_ = journal; }

  // The log line the scan just sent: appends its text
  // (control characters but tab shown as '?'), without a newline.
  void appendLogLine(std::string* out);
  // The end status (the driver's last statusText) as the last line, the
  // same way.
  void appendEndLine(std::string* out) const;
  // One place that could not be read (`reason` says why, for kUnreadable),
  // noted in the outcome: its stderr line with the newline, or "" once
  // kUnreadPlacesNamed were named.
  std::string unreadPlaceLine(const std::string& windowsPath, UnreadPlace kind, const std::string& reason);
  // The count of places not named, as a last stderr line; "" when none.
  std::string unnamedPlacesLine();

 private:
  const ScanSession& session_;
  ScanOutcome& outcome_;
  unsigned long unreadPlaces_ = 0;
  RunJournal* journal_ = nullptr;
  std::string text_;  // reused
};

// Appends text, control characters but tab shown as '?': a file name can
// hold any of them, and they would move the cursor or split the line.
void appendPrintable(std::string* out, const char* text);

}  // namespace purgato
