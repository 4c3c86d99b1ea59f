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
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/scan_run.h"
#include "cli/win32/console.h"
#include "cli/win32/unread_places_os.h"
#include "os/text.h"
#include "os/win32/win32_os.h"
#include "session/session.h"

namespace purgato {
namespace {

// Arguments echoed in the message have their control characters spelled out.
int usageError(const std::string& message) {
  writeStderr("purgato-scan: " + escapeControls(message) + "\n");
  return kExitFailed;
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

  ScanSession session;
  session.progressWindow = 1;  // any non-zero token: the channel is live
  ScanOutcome outcome;
  session.findingSink = &outcome;
  WinConsole console(session, outcome);
  // From the bottom: the system, the record of unread places (it reads
  // the system's error values, so nothing may sit between them), the dry
  // run, the console's channel, and on top the guard that stops every
  // change once the output is lost.
  UnreadPlacesOs watched(system, [&console](const std::string& path, UnreadPlace kind, const std::string& reason) {
    console.reportUnread(path, kind, reason);
  });
  DryRunOs dryRun(watched);
  ConsoleChannelOs channel(options.dryRun ? static_cast<Os&>(dryRun) : watched, console);
  GuardedOs guarded(channel);
  console.onOutputFailure([&guarded] { guarded.stop(); });
  if (options.dryRun) {
    // Said before anything else: in a console window as the first line,
    // else where it cannot mix with the scan's own lines.
    std::FILE* notice = console.onConsole() ? stdout : stderr;
    std::fputs(kDryRunNotice, notice);
    std::fflush(notice);
  }
  Os& scanOs = guarded;

  runConsoleScan(session, scanOs, files, options.target);
  console.finish();
  if (console.outputError() != 0) return outputError(console.outputError(), true);
  return scanExitStatus(session, outcome);
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
