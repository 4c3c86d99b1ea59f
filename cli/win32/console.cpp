#include "cli/win32/console.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

namespace purgato {

namespace {

constexpr DWORD kDrawInterval = 50;  // ms: about 20 redraws a second
constexpr DWORD kPollInterval = 5;   // ms between looks at the console's input
constexpr unsigned kPumpCallsPerClockRead = 16;
constexpr std::uint32_t kWmKeyDown = 0x0100;
constexpr HWnd kProgressWindow = 1;

// The control handler runs on a thread of its own; it talks through these.
volatile LONG gInterrupted = 0;
volatile LONG gQuitStatus = kExitIncomplete;  // the exit status of a second Ctrl-C
volatile LONG gFinished = 0;                  // the scan has ended
HANDLE gOut = INVALID_HANDLE_VALUE;
volatile LONG gLogFd = -1;     // the --log file's descriptor; -1 none
std::int64_t gLogStartMs = 0;  // when its header was written

BOOL WINAPI onControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (gInterrupted) {
    // A second one: the user wants out now, statistics or not.
    DWORD written = 0;
    if (gOut != INVALID_HANDLE_VALUE) WriteFile(gOut, "\r\n", 2, &written, nullptr);
    // A log with a header gets its footer: how the run ended is on record.
    if (gLogFd >= 0 && gLogStartMs > 0) {
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
      char footer[128];
      const std::size_t length = footerText(footer, sizeof footer, gLogStartMs,
                                            static_cast<std::int64_t>(ticks / 10000ULL) - 11644473600000LL,
                                            static_cast<int>(gQuitStatus));
      _write(gLogFd, footer, static_cast<unsigned>(length));
    }
    ExitProcess(static_cast<UINT>(gQuitStatus));
  }
  gInterrupted = 1;
  // The window is going away: the system ends the process when this
  // returns, so let the scan stop between two files first.
  if (type == CTRL_CLOSE_EVENT)
    for (int i = 0; i < 40 && !gFinished; ++i) Sleep(100);
  return TRUE;
}

// Names come in the ANSI code page, as the scan reads them; a console
// window shows its own code page (the OEM one unless changed with chcp),
// where the same bytes are other letters.
std::string inConsoleCodePage(const std::string& ansi) {
  const UINT console = GetConsoleOutputCP();
  if (console == 0 || console == GetACP() || ansi.empty()) return ansi;
  const int length = static_cast<int>(ansi.size());
  std::wstring wide(ansi.size(), L'\0');
  const int wideLength = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, &wide[0], length);
  if (wideLength <= 0) return ansi;
  std::string out(static_cast<std::size_t>(wideLength) * 2, '\0');
  const int outLength = WideCharToMultiByte(console, 0, wide.data(), wideLength, &out[0],
                                            static_cast<int>(out.size()), nullptr, nullptr);
  if (outLength <= 0) return ansi;
  out.resize(static_cast<std::size_t>(outLength));
  return out;
}

// A line end as a console window takes it.
std::string withCrLf(const std::string& text) {
  std::string crlf;
  crlf.reserve(text.size() + 8);
  for (const char c : text) {
    if (c == '\n') crlf.push_back('\r');
    crlf.push_back(c);
  }
  return crlf;
}

bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != FALSE;
}

}  // namespace

void writeStderr(const std::string& text) {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (!isConsole(err)) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    return;
  }
  const std::string shown = withCrLf(inConsoleCodePage(text));
  DWORD written = 0;
  WriteConsoleA(err, shown.data(), static_cast<DWORD>(shown.size()), &written, nullptr);
}

WinConsole::WinConsole(const ScanSession& session, ScanOutcome& outcome)
    : session_(session), outcome_(outcome), report_(session, outcome) {
  out_ = GetStdHandle(STD_OUTPUT_HANDLE);
  in_ = GetStdHandle(STD_INPUT_HANDLE);
  err_ = GetStdHandle(STD_ERROR_HANDLE);
  onConsole_ = isConsole(out_);
  progress_ = isConsole(err_);
  // The question, and the line end of a second Ctrl-C, go where the user looks.
  gOut = progress_ ? err_ : onConsole_ ? out_ : INVALID_HANDLE_VALUE;
  keys_ = (progress_ || onConsole_) && isConsole(in_);
  if (!onConsole_) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
  SetConsoleCtrlHandler(onControl, TRUE);
  line_.reserve(1024);
}

void WinConsole::setJournal(RunJournal* journal) {
  report_.setJournal(journal);
  gLogStartMs = journal ? journal->startMs() : 0;
  gLogFd = journal ? journal->logDescriptor() : -1;
}

WinConsole::~WinConsole() {
  std::fflush(stdout);
  gFinished = 1;
  gLogFd = -1;
  SetConsoleCtrlHandler(onControl, FALSE);
}

// A failed write stops the scan: what follows could change the computer
// without anyone ever reading of it.
void WinConsole::flushOut() {
  if (onConsole_) return;
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
  const int error = errno != 0 ? errno : EIO;
  std::clearerr(stdout);
  if (outputError_ != 0) return;
  outputError_ = error;
  outcome_.noteFailure();
  if (outputFailureHandler_) outputFailureHandler_();
}

// Text for stdout: to the console window through the console, else
// through the C run-time (which writes a line end as CR LF).
void WinConsole::writeText(const std::string& text) {
  if (!onConsole_) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  const std::string crlf = withCrLf(inConsoleCodePage(text));
  DWORD written = 0;
  if (WriteConsoleA(out_, crlf.data(), static_cast<DWORD>(crlf.size()), &written, nullptr) || outputError_ != 0)
    return;
  outputError_ = EIO;
  outcome_.noteFailure();
  if (outputFailureHandler_) outputFailureHandler_();
}

void WinConsole::reportUnread(const std::string& windowsPath, UnreadPlace kind, const std::string& reason) {
  const std::string line = report_.unreadPlaceLine(windowsPath, kind, reason);
  if (!line.empty()) writeErrorLine(line);
}

void WinConsole::writeErrorLine(const std::string& text) {
  // The line goes on a line of its own, not over the status.
  clearStatus();
  flushOut();
  writeStderr(text);
}

std::intptr_t WinConsole::onMessage(std::uint32_t message) {
  if (message == kMsgLogLine) {
    printLogLine();
  } else if (message == kMsgStatus && progress_ && !session_.statisticsPhase) {
    // Redirected, a status costs only this test.
    if (GetTickCount() - lastDraw_ >= kDrawInterval) drawStatus();
  }
  return 0;
}

void WinConsole::printLogLine() {
  line_.clear();
  report_.appendLogLine(&line_);
  line_.push_back('\n');
  gQuitStatus = outcome_.statusIfCutShort();
  clearStatus();
  writeText(line_);
  // Out at once: a finding must never wait in a buffer for the next one;
  // then the progress comes back under it.
  flushOut();
  if (!session_.statisticsPhase) drawStatus();
}

bool WinConsole::nextMessage(Message* msg) {
  if (gInterrupted && !quitSent_) {
    quitSent_ = true;
    *msg = Message{kProgressWindow, kWmQuit, 0, 0, 0, 0, 0};
    return true;
  }
  if (!keys_) return false;
  // The pump runs for every entry: read the clock only now and then, and
  // the console's input at most every few milliseconds.
  if (++pumpCalls_ % kPumpCallsPerClockRead != 0) return false;
  const DWORD now = GetTickCount();
  if (now - lastPoll_ < kPollInterval) return false;
  lastPoll_ = now;
  if (!pollEscape()) return false;
  *msg = Message{kProgressWindow, kWmKeyDown, VK_ESCAPE, 0, 0, 0, 0};
  return true;
}

// True when Esc was pressed; every key read is taken off the input, so
// nothing typed during the scan is left for the shell.
bool WinConsole::pollEscape() {
  // Peeking, not counting: Wine's console on a terminal reads the
  // terminal only for a peek or a read, and counts nothing before that.
  INPUT_RECORD first;
  DWORD pending = 0;
  if (!PeekConsoleInputA(in_, &first, 1, &pending) || pending == 0) return false;
  INPUT_RECORD records[32];
  DWORD count = 0;
  if (!ReadConsoleInputA(in_, records, 32, &count)) {
    keys_ = false;
    return false;
  }
  bool escape = false;
  for (DWORD i = 0; i < count; ++i) {
    if (records[i].EventType != KEY_EVENT || !records[i].Event.KeyEvent.bKeyDown) continue;
    const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
    if (!escape) {
      escape = key.wVirtualKeyCode == VK_ESCAPE;
    } else if (key.uChar.AsciiChar != 0) {
      // What was typed after the Esc answers the question.
      typedAhead_ = key.uChar.AsciiChar;
      break;
    }
  }
  return escape;
}

// The question and its answer, on the console the user looks at.
void WinConsole::writeQuestion(const std::string& text) {
  if (!progress_) {
    writeText(text);
    return;
  }
  const std::string crlf = withCrLf(inConsoleCodePage(text));
  DWORD written = 0;
  WriteConsoleA(err_, crlf.data(), static_cast<DWORD>(crlf.size()), &written, nullptr);
}

int WinConsole::askYesNo(const char* text) {
  if (!keys_) return kIdNo;
  clearStatus();
  flushOut();
  writeQuestion(std::string(text) + " [y/N] ");
  char answer = typedAhead_;
  typedAhead_ = 0;
  // Waits in short steps, so that a Ctrl-C meanwhile is seen.
  while (answer == 0 && !gInterrupted) {
    const DWORD ready = WaitForSingleObject(in_, 100);
    if (ready == WAIT_TIMEOUT) continue;
    INPUT_RECORD record;
    DWORD count = 0;
    if (ready != WAIT_OBJECT_0 || !ReadConsoleInputA(in_, &record, 1, &count)) break;  // no more input: No
    if (count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
      answer = record.Event.KeyEvent.uChar.AsciiChar;
  }
  // After a Ctrl-C the answer is No here; the pump's next call ends the scan.
  if (gInterrupted) answer = 0;
  std::string echo;
  if (answer >= 0x21 && answer < 0x7f) echo.push_back(answer);
  writeQuestion(echo + "\n");
  drawStatus();
  return answer == 'y' || answer == 'Y' ? kIdYes : kIdNo;
}

// The progress on the cursor's line of stderr's console, written into the
// screen buffer: the cursor stays at the line's start, where the next line
// goes.
void WinConsole::drawStatus() {
  if (!progress_) return;
  lastDraw_ = GetTickCount();
  if (session_.statusText[0] == '\0') {
    clearStatus();
    return;
  }
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(err_, &info) || info.dwSize.X < 2) return;
  const COORD start = {0, info.dwCursorPosition.Y};
  DWORD written = 0;
  FillConsoleOutputCharacterA(err_, ' ', static_cast<DWORD>(info.dwSize.X), start, &written);
  char counts[64];
  std::snprintf(counts, sizeof counts, "%ld scanned, %ld found: ", static_cast<long>(session_.filesScanned),
                static_cast<long>(session_.filesInfected));
  std::string status = counts;
  appendPrintable(&status, session_.statusText);
  for (char& c : status)
    if (c == '\t') c = ' ';
  // One column short of the width, so the console never wraps the line.
  line_ = inConsoleCodePage(status);
  if (line_.size() > static_cast<std::size_t>(info.dwSize.X - 1)) line_.resize(static_cast<std::size_t>(info.dwSize.X - 1));
  WriteConsoleOutputCharacterA(err_, line_.data(), static_cast<DWORD>(line_.size()), start, &written);
  statusShown_ = true;
}

void WinConsole::clearStatus() {
  if (!statusShown_) return;
  statusShown_ = false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(err_, &info)) return;
  const COORD start = {0, info.dwCursorPosition.Y};
  DWORD written = 0;
  FillConsoleOutputCharacterA(err_, ' ', static_cast<DWORD>(info.dwSize.X), start, &written);
}

void WinConsole::finish() {
  clearStatus();
  line_.clear();
  report_.appendEndLine(&line_);
  line_.push_back('\n');
  writeText(line_);
  flushOut();
  gFinished = 1;
  const std::string unnamed = report_.unnamedPlacesLine();
  if (!unnamed.empty()) writeStderr(unnamed);
}

}  // namespace purgato
