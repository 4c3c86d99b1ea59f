#include "cli/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/journal.h"

namespace purgato {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDrawInterval = std::chrono::milliseconds(50);  // about 20 redraws a second
constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr unsigned kPumpCallsPerClockRead = 16;
constexpr std::uint32_t kWmKeyDown = 0x0100;
constexpr unsigned char kEsc = 27;
constexpr HWnd kProgressWindow = 1;

// Signal handlers can only talk through these.
volatile sig_atomic_t gInterrupted = 0;
volatile sig_atomic_t gResized = 0;
volatile sig_atomic_t gTerminalChanged = 0;
volatile sig_atomic_t gQuitStatus = kExitIncomplete;  // the exit status of a second Ctrl-C
volatile sig_atomic_t gTerminalFd = -1;  // where the progress or the question is shown; -1 none
volatile sig_atomic_t gLogFd = -1;       // the --log file, appended to; -1 none
std::int64_t gLogStartMs = 0;           // the log's header was written then; 0 before
// A line for stderr on that quit; its length is 0 while the text changes.
char gQuitNote[1024];
volatile sig_atomic_t gQuitNoteLength = 0;
struct termios gSavedMode;  // the terminal as we found it
struct termios gScanMode;   // non-canonical, no echo

void setQuit(int status, const std::string& note) {
  gQuitNoteLength = 0;
  const std::size_t length = std::min(note.size(), sizeof gQuitNote);
  std::memcpy(gQuitNote, note.data(), length);
  gQuitStatus = status;
  gQuitNoteLength = static_cast<sig_atomic_t>(length);
}

void restoreTerminal() {
  if (gTerminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &gSavedMode);
}

void onInterrupt(int) {
  if (gInterrupted) {
    // A second Ctrl-C: the user wants out now, statistics or not.
    restoreTerminal();
    // The shell's prompt goes on a line of its own; a file gets nothing.
    if (gTerminalFd >= 0) {
      static const char kNewline[] = "\n";
      ssize_t ignored = write(gTerminalFd, kNewline, 1);
      (void)ignored;
    }
    if (gQuitNoteLength > 0) {
      ssize_t ignored = write(STDERR_FILENO, gQuitNote, static_cast<std::size_t>(gQuitNoteLength));
      // The log holds every line printed: this one too.
      if (gLogFd >= 0) ignored = write(gLogFd, gQuitNote, static_cast<std::size_t>(gQuitNoteLength));
      (void)ignored;
    }
    // A log with a header gets its footer: how the run ended is on record.
    if (gLogFd >= 0 && gLogStartMs > 0) {
      struct timespec now;
      ::clock_gettime(CLOCK_REALTIME, &now);
      char footer[128];
      const std::size_t length = footerText(footer, sizeof footer, gLogStartMs,
                                            static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
                                            gQuitStatus);
      ssize_t ignored = write(gLogFd, footer, length);
      (void)ignored;
    }
    _exit(gQuitStatus);
  }
  gInterrupted = 1;
}

void onResize(int) { gResized = 1; }

// Ctrl-Z: give the shell its terminal back, stop, and take it again on fg.
void onStop(int) {
  const int savedErrno = errno;
  restoreTerminal();
  struct sigaction dflt;
  std::memset(&dflt, 0, sizeof dflt);
  dflt.sa_handler = SIG_DFL;
  sigaction(SIGTSTP, &dflt, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(SIGTSTP);
  // Continued.
  struct sigaction again;
  std::memset(&again, 0, sizeof again);
  again.sa_handler = onStop;
  sigaction(SIGTSTP, &again, nullptr);
  if (gTerminalChanged && tcgetpgrp(STDIN_FILENO) == getpgrp()) tcsetattr(STDIN_FILENO, TCSANOW, &gScanMode);
  gResized = 1;
  errno = savedErrno;
}

void install(int signalNumber, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking key read returns on Ctrl-C
  sigaction(signalNumber, &action, nullptr);
}

// Control characters would move the cursor or split the line; a file name
// can hold any of them.
inline char printable(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f ? '?' : c;
}

// Appends at most `columns` characters (UTF-8 continuation bytes take no
// column; tabs are dropped, as the status line has no use for them).
void appendColumns(std::string* out, const char* text, int columns) {
  int used = 0;
  for (const char* p = text; *p; ++p) {
    const unsigned char u = static_cast<unsigned char>(*p);
    if ((u & 0xC0) == 0x80) {
      if (used > 0) out->push_back(*p);
      continue;
    }
    if (used == columns) break;
    out->push_back(*p == '\t' ? ' ' : printable(*p));
    ++used;
  }
}

// A terminal that can take a carriage return and an erase to the line's
// end. TERM=dumb (an editor's shell buffer, a recorder) or no TERM at all
// (a service, a job runner): every byte stays in the transcript as it is.
bool cursorCanMove() {
  const char* term = std::getenv("TERM");
  return term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

}  // namespace

Console::Console(const ScanSession& session, ScanOutcome& outcome)
    : session_(session), outcome_(outcome), report_(session, outcome) {
  // The progress goes to stderr, so that stdout holds only the lines
  // whether or not it is redirected; the question of Esc goes where the
  // user looks: stderr on a terminal, else stdout on one.
  progress_ = isatty(STDERR_FILENO) == 1 && cursorCanMove();
  terminalFd_ = isatty(STDERR_FILENO) == 1 ? STDERR_FILENO : isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  gTerminalFd = terminalFd_;
  // A background job must not touch the terminal mode or read keys.
  keys_ = terminalFd_ >= 0 && isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp();
  if (isatty(STDOUT_FILENO) != 1) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
  // Each of them ends the scan with its statistics, the terminal restored.
  for (int signalNumber : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) install(signalNumber, onInterrupt);
  // A reader that went away shows as a failed write, not as death mid-scan.
  install(SIGPIPE, SIG_IGN);
  if (progress_) {
    install(SIGWINCH, onResize);
    updateWidth();
  }
  if (keys_ && tcgetattr(STDIN_FILENO, &gSavedMode) == 0) {
    gScanMode = gSavedMode;
    gScanMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl-C is a signal
    gScanMode.c_cc[VMIN] = 1;
    gScanMode.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &gScanMode) == 0) {
      gTerminalChanged = 1;
      install(SIGTSTP, onStop);
    } else {
      keys_ = false;
    }
  } else {
    keys_ = false;
  }
  line_.reserve(1024);
}

Console::~Console() {
  clearStatus();
  std::fflush(stdout);
  restoreTerminal();
  gTerminalChanged = 0;
  gTerminalFd = -1;
  gLogFd = -1;
  gLogStartMs = 0;
}

void Console::setLogDescriptor(int fd) { gLogFd = fd; }

void Console::setLogStart(std::int64_t startMs) { gLogStartMs = startMs; }

void Console::attach(PosixOs& os) {
  os.setMessageSink([this](HWnd, std::uint32_t message, std::uintptr_t, std::intptr_t) { return onMessage(message); });
  os.setMessageSource([this](Message* msg) { return nextMessage(msg); });
  os.setMessageBoxHandler([this](HWnd, const char* text, const char*, std::uint32_t) { return askYesNo(text); });
  os.setTroubleSink([this](const std::string& windowsPath, PosixOs::Trouble kind, int error) {
    reportTrouble(windowsPath, kind, error);
  });
}

void Console::reportTrouble(const std::string& windowsPath, PosixOs::Trouble kind, int error) {
  UnreadPlace place = UnreadPlace::kUnreadable;
  if (kind == PosixOs::Trouble::kTooLong) place = UnreadPlace::kTooLong;
  if (kind == PosixOs::Trouble::kFolderTooDeep) place = UnreadPlace::kFolderTooDeep;
  const std::string line = report_.unreadPlaceLine(windowsPath, place, std::strerror(error));
  if (!line.empty()) writeStderr(line);
}

void Console::writeStderr(const std::string& text) {
  // The line goes on a line of its own, not after a half-drawn status,
  // and after the lines of stdout printed before it.
  clearStatus();
  flushOut();
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

// A failed write stops the scan: what follows could change the volume
// without the user ever reading of it.
void Console::flushOut() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
  const int error = errno != 0 ? errno : EIO;
  std::clearerr(stdout);
  if (outputError_ != 0) return;
  outputError_ = error;
  outcome_.noteFailure();
  if (outputFailureHandler_) outputFailureHandler_();
}

std::intptr_t Console::onMessage(std::uint32_t message) {
  if (message == kMsgLogLine) {
    printLogLine();
  } else if (message == kMsgStatus && progress_ && !session_.statisticsPhase) {
    // Off a terminal a status costs only this test.
    const Clock::time_point now = Clock::now();
    if (now - lastDraw_ >= kDrawInterval) drawStatus();
  }
  return 0;
}

bool Console::nextMessage(Message* msg) {
  if (gInterrupted && !quitSent_) {
    quitSent_ = true;
    *msg = Message{kProgressWindow, kWmQuit, 0, 0, 0, 0, 0};
    return true;
  }
  if (!keys_) return false;
  // The pump runs for every entry: read the clock only now and then, and
  // the terminal at most every few milliseconds.
  if (++pumpCalls_ % kPumpCallsPerClockRead != 0) return false;
  const Clock::time_point now = Clock::now();
  if (now - lastPoll_ < kPollInterval) return false;
  lastPoll_ = now;
  if (!pollKeys()) return false;
  *msg = Message{kProgressWindow, kWmKeyDown, kEsc, 0, 0, 0, 0};
  return true;
}

// True when a lone Esc was typed; the escape sequences of arrow and
// function keys also start with Esc and are passed over.
bool Console::pollKeys() {
  struct pollfd input = {STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, 0) <= 0 || (input.revents & POLLIN) == 0) {
    if (input.revents & (POLLHUP | POLLERR | POLLNVAL)) keys_ = false;
    return false;
  }
  unsigned char bytes[64];
  const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
  if (count <= 0) {
    if (count == 0) keys_ = false;  // the terminal went away
    return false;
  }
  for (ssize_t i = 0; i < count; ++i) {
    if (bytes[i] != kEsc) continue;
    if (i + 1 < count && (bytes[i + 1] == '[' || bytes[i + 1] == 'O')) return false;
    // What was typed after the Esc answers the question.
    typedAhead_.assign(reinterpret_cast<const char*>(bytes) + i + 1, static_cast<std::size_t>(count - i - 1));
    return true;
  }
  return false;
}

// The question and its answer, on the terminal.
void Console::writeTerminal(const std::string& text) {
  ssize_t ignored = write(terminalFd_, text.data(), text.size());
  (void)ignored;
}

int Console::askYesNo(const char* text) {
  if (!keys_) return kIdNo;
  clearStatus();
  flushOut();
  writeTerminal(std::string(text) + " [y/N] ");
  unsigned char answer = 0;
  if (!typedAhead_.empty()) {
    answer = static_cast<unsigned char>(typedAhead_[0]);
    typedAhead_.clear();
  } else {
    // Waits in short steps: a Ctrl-C that lands just before a blocking
    // read would otherwise leave the question waiting for ever.
    while (!gInterrupted) {
      struct pollfd input = {STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&input, 1, 100);
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
      if (read(STDIN_FILENO, &answer, 1) == 1) break;
      if (input.revents & (POLLHUP | POLLERR | POLLNVAL)) break;  // no more input: No
    }
    // After a Ctrl-C the answer is No here; the pump's next call ends the scan.
    if (gInterrupted) answer = 0;
  }
  std::string echo;
  if (answer >= 0x21 && answer < 0x7f) echo.push_back(static_cast<char>(answer));
  writeTerminal(echo + "\n");
  if (progress_) drawStatus();
  return answer == 'y' || answer == 'Y' ? kIdYes : kIdNo;
}

// One line of stdout, the progress cleared first.
void Console::writeLine(bool endLine) {
  clearStatus();
  line_.clear();
  if (endLine) {
    report_.appendEndLine(&line_);
  } else {
    report_.appendLogLine(&line_);
  }
  line_.push_back('\n');
  std::fwrite(line_.data(), 1, line_.size(), stdout);
}

void Console::printLogLine() {
  writeLine(false);
  if (!quitSettled_) {
    std::string note;
    const int status = outcome_.statusIfCutShort();
    setQuit(weighQuit_ ? weighQuit_(status, &note) : status, note);
  }
  // Out at once: a finding must never wait in a buffer for the next one;
  // then the progress comes back under it.
  flushOut();
  // The statistics block has no file left to show.
  if (progress_ && !session_.statisticsPhase) drawStatus();
}

// The counts and the current path in place on stderr's bottom line.
void Console::drawStatus() {
  if (gResized) updateWidth();
  lastDraw_ = Clock::now();
  if (session_.statusText[0] == '\0') {
    clearStatus();
    return;
  }
  char counts[64];
  std::snprintf(counts, sizeof counts, "%ld scanned, %ld found: ", static_cast<long>(session_.filesScanned),
                static_cast<long>(session_.filesInfected));
  line_.clear();
  line_ += '\r';
  // One column short of the width, so the terminal never wraps the line.
  const int columns = width_ > 1 ? width_ - 1 : 1;
  appendColumns(&line_, counts, columns);
  const int used = static_cast<int>(std::strlen(counts));
  if (used < columns) appendColumns(&line_, session_.statusText, columns - used);
  line_ += "\033[K";
  writeStatusBytes(line_);
  statusShown_ = true;
}

void Console::clearStatus() {
  if (!statusShown_) return;
  writeStatusBytes("\r\033[K");
  statusShown_ = false;
}

// Straight to the descriptor: stderr has no buffer to mix it with.
void Console::writeStatusBytes(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      progress_ = false;  // a terminal that cannot be written shows nothing more
      return;
    }
    done += static_cast<std::size_t>(put);
  }
}

void Console::updateWidth() {
  gResized = 0;
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width_ = size.ws_col;
}

void Console::settleQuit(int status, const std::string& note) {
  quitSettled_ = true;
  setQuit(status, note);
}

void Console::finish() {
  writeLine(true);
  flushOut();
  const std::string unnamed = report_.unnamedPlacesLine();
  if (!unnamed.empty()) {
    std::fputs(unnamed.c_str(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace purgato
