// purgato-scan.exe: the scan of this computer, from a console, a login
// script, a scheduled task or a remote shell.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/dry_run_os.h"
#include "cli/exit_status.h"
#include "cli/guarded_os.h"
#include "cli/journal.h"
#include "cli/keeping_os.h"
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/scan_run.h"
#include "cli/win32/console.h"
#include "cli/win32/unread_places_os.h"
#include "os/text.h"
#include "clean/terminate.h"
#include "os/win32/win32_os.h"
#include "session/session.h"

namespace purgato {
namespace {

// Arguments echoed in the message have their control characters spelled out.
int usageError(const std::string& message) {
  writeStderr("purgato-scan: " + escapeControls(message) + "\n" + kTryHelp + "\n");
  return kExitFailed;
}

// A sound command line whose scan must not start.
int refuse(const std::string& message) {
  writeStderr("purgato-scan: " + escapeControls(message) + "\n");
  return kExitFailed;
}

// The system's own words for an error, without the line end it adds.
std::string systemErrorText(DWORD code) {
  char text[512] = "";
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      text, sizeof text, nullptr);
  std::string out(text, length);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out.empty() ? "Windows error " + std::to_string(code) : out;
}

std::string errorText(const Finding& finding) { return systemErrorText(static_cast<DWORD>(finding.error)); }

std::int64_t nowMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000ULL) - 11644473600000LL;  // from 1601 to 1970
}

std::string hostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

int makeDirectory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return 0;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return 1;
  errno = error == ERROR_ACCESS_DENIED ? EACCES : error == ERROR_ALREADY_EXISTS ? ENOTDIR : EIO;
  return -1;
}

// A volume that cannot be written: no change could be made.
bool readOnlyVolume(const char* root) {
  DWORD flags = 0;
  return GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & 0x00080000) != 0;  // FILE_READ_ONLY_VOLUME
}

bool validHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Without a stdout the findings would go nowhere and the scan would still
// change the computer; a missing stdin or stderr is the null device.
bool standardHandlesUsable() {
  if (!validHandle(STD_INPUT_HANDLE)) std::freopen("NUL", "r", stdin);
  if (!validHandle(STD_ERROR_HANDLE)) std::freopen("NUL", "w", stderr);
  return validHandle(STD_OUTPUT_HANDLE) && _get_osfhandle(_fileno(stdout)) != -1;
}

// The file a path names, to tell one file named twice from two files
// (a long and a short name, other capitals).
bool identityOf(const std::string& path, std::pair<unsigned long long, unsigned long long>* identity) {
  const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!known) return false;
  *identity = {info.dwVolumeSerialNumber, (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

// Checks one FILE argument and gives its full path.
bool resolveFile(Os& os, const std::string& argument, std::string* fullPath, std::string* error) {
  if (argument.find_first_of("*?") != std::string::npos) {
    *error = "'" + argument + "' holds a wildcard; name each file";
    return false;
  }
  char full[MAX_PATH];
  char* namePart = nullptr;
  const DWORD length = GetFullPathNameA(argument.c_str(), sizeof full, full, &namePart);
  if (length == 0) {
    *error = "no such file '" + argument + "'";
    return false;
  }
  if (length >= sizeof full) {
    *error = "'" + argument + "' is longer than 259 characters as a full path";
    return false;
  }
  *fullPath = full;
  const std::uint32_t attributes = os.getFileAttributes(full);
  if (attributes == kInvalidFileAttributes) {
    *error = "no such file '" + argument + "'";
    return false;
  }
  if (attributes & kAttrDirectory) {
    *error = "'" + argument + "' is a folder, not a file";
    return false;
  }
  const int fd = os.open(full, kORdOnly | kOBinary);
  if (fd < 0) {
    *error = "cannot read '" + argument + "': " + std::strerror(errno);
    return false;
  }
  os.close(fd);
  return true;
}

int run(int argc, const char* const* argv) {
  if (!standardHandlesUsable()) return outputError(EBADF, false);
  CliOptions options;
  std::string error;
  switch (parseOptions(argc, argv, CommandLine::kWindows, &options, &error)) {
    case ParseResult::kHelp:
      return printText(usageText(CommandLine::kWindows), "help text");
    case ParseResult::kVersion:
      return printText(versionText(), "version");
    case ParseResult::kError:
      return usageError(error);
    case ParseResult::kRun:
      break;
  }

  Win32Os system;
  // Every file is checked before the first one is touched; a file named
  // twice is scanned once.
  std::vector<std::string> files;
  std::set<std::pair<unsigned long long, unsigned long long>> named;
  std::set<std::string> namedPaths;
  for (const std::string& argument : options.files) {
    std::string path;
    if (!resolveFile(system, argument, &path, &error)) return usageError(error);
    std::pair<unsigned long long, unsigned long long> identity;
    std::string lowered = path;
    for (char& c : lowered) c = lowerAscii(c);
    if (identityOf(path, &identity) ? !named.insert(identity).second : !namedPaths.insert(lowered).second) continue;
    files.push_back(path);
  }

  if (!options.dryRun && readOnlyVolume("C:\\"))
    return refuse("drive C: is a read-only volume, so nothing found could be removed; --dry-run shows what a "
                  "scan would find");

  ScanSession session;
  session.progressWindow = 1;  // any non-zero token: the channel is live
  ScanOutcome outcome;
  WinConsole console(session, outcome);
  RunJournal journal(
      session, outcome, errorText, [&console](const std::string& text) { console.writeErrorLine(text); }, nowMs);
  session.findingSink = &journal;
  // The log and the report are opened before anything can change: a run
  // that cannot keep its account does not start.
  if (!options.logFile.empty() && !journal.openLog(options.logFile, &error)) return refuse(error);
  if (!options.reportFile.empty() && !journal.openReport(options.reportFile, &error)) return refuse(error);
  // From the bottom: the system, the record of unread places (it reads
  // the system's error values, so nothing may sit between them), the dry
  // run, the layer that keeps what each change removes, the console's
  // channel, and on top the guard that stops every change once the output
  // or the account is lost.
  UnreadPlacesOs watched(system, [&console](const std::string& path, UnreadPlace kind, const std::string& reason) {
    console.reportUnread(path, kind, reason);
  });
  DryRunOs dryRun(watched);
  KeepingOs keeping(options.dryRun ? static_cast<Os&>(dryRun) : watched, platformClass(system) == kFamilyNT);
  if (!options.backupDir.empty() && !options.dryRun &&
      !keeping.startBackup(options.backupDir, '\\', makeDirectory, backupSetName(nowMs()), &error))
    return refuse("--backup: " + error);
  keeping.measure(!options.reportFile.empty());
  journal.setKeeping(&keeping);
  ConsoleChannelOs channel(keeping, console);
  GuardedOs guarded(channel);
  console.onOutputFailure([&guarded, &journal] {
    guarded.stop();
    journal.silence();
  });
  journal.onWriteFailure([&guarded] { guarded.stop(); });

  RunFacts facts = runFacts(options, !files.empty());
  facts.host = hostName();
  char windowsDir[MAX_PATH] = "";
  const unsigned windowsLength = system.getWindowsDirectory(windowsDir, sizeof windowsDir);
  if (windowsLength > 0 && windowsLength < sizeof windowsDir) facts.windowsDir = windowsDir;
  facts.backupSet = keeping.backupSet();
  if (!journal.start(facts, &error)) return refuse(error);
  console.setJournal(&journal);
  if (options.dryRun) {
    // The first line of stdout, so that a saved dry run never reads like a cleaning.
    std::fputs(kDryRunNotice, stdout);
    std::fflush(stdout);
    journal.stdoutLine(std::string(kDryRunNotice, std::strlen(kDryRunNotice) - 1));
  }
  Os& scanOs = guarded;

  runConsoleScan(session, scanOs, files, options.target);
  console.finish();
  int status = scanExitStatus(session, outcome);
  if (console.outputError() != 0) {
    status = outputError(console.outputError(), true);
    journal.stderrLine(outputErrorLine(console.outputError(), true));
  }
  if (!journal.writeError().empty()) {
    console.writeErrorLine("purgato-scan: " + journal.writeError() + "; the scan was stopped\n");
    status = kExitFailed;
  }
  journal.finish(status);
  return status;
}

}  // namespace
}  // namespace purgato

int main(int argc, char** argv) {
  // Nothing may unwind into the system's start-up code.
  try {
    return purgato::run(argc, argv);
  } catch (...) {
    std::fputs("purgato-scan: the scan failed unexpectedly\n", stderr);
    return purgato::kExitFailed;
  }
}
