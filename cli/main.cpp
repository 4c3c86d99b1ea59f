// purgato-scan: the scan of a mounted Windows volume, from a console.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/console.h"
#include "cli/dry_run_os.h"
#include "cli/exit_status.h"
#include "cli/guarded_os.h"
#include "cli/journal.h"
#include "cli/keeping_os.h"
#include "cli/messages.h"
#include "cli/offline_registry_step.h"
#include "cli/options.h"
#include "cli/scan_run.h"
#include "os/posix/posix_os.h"
#include "os/text.h"
#include "session/session.h"

namespace purgato {
namespace {

// Arguments echoed in the message have their control characters spelled out.
int usageError(const std::string& message) {
  std::fprintf(stderr, "purgato-scan: %s\n%s\n", escapeControls(message).c_str(), kTryHelp);
  return kExitFailed;
}

// A sound command line whose scan must not start.
int refuse(const std::string& message) {
  std::fprintf(stderr, "purgato-scan: %s\n", escapeControls(message).c_str());
  return kExitFailed;
}

// Compared without regard to case: a Windows folder (WINDOWS, WINNT or the
// one --windows-dir names on this drive) holding win.ini, SYSTEM or
// SYSTEM32, or one of the boot files at the root.
bool looksLikeWindowsVolume(PosixOs& os, char letter, const std::string& windowsDir) {
  const std::string root = std::string(1, letter) + ":\\";
  for (const char* boot : {"io.sys", "msdos.sys", "ntldr", "boot.ini", "bootmgr", "pagefile.sys", "hiberfil.sys"})
    if (os.getFileAttributes((root + boot).c_str()) != kInvalidFileAttributes) return true;
  std::vector<std::string> folders = {root + "WINDOWS", root + "WINNT"};
  if (windowsDir.size() > 3 && std::toupper(static_cast<unsigned char>(windowsDir[0])) == letter)
    folders.push_back(windowsDir);
  for (const std::string& folder : folders) {
    const std::uint32_t attributes = os.getFileAttributes(folder.c_str());
    if (attributes == kInvalidFileAttributes || !(attributes & kAttrDirectory)) continue;
    for (const char* inside : {"win.ini", "SYSTEM", "SYSTEM32"})
      if (os.getFileAttributes((folder + "\\" + inside).c_str()) != kInvalidFileAttributes) return true;
  }
  return false;
}

bool mountedReadOnly(const std::string& folder) {
  struct statvfs info;
  return ::statvfs(folder.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

std::string hostName() {
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

std::int64_t nowMs() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  struct stat info;
  if (errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return 1;
  errno = errno == EEXIST ? ENOTDIR : errno;
  return -1;
}

// A record's error as the system words it: errno for files and processes,
// the Win32 code the hive layer answers for the registry.
std::string errorText(const Finding& finding) {
  if (finding.kind == FindingKind::kRunValue || finding.kind == FindingKind::kService)
    return registryErrorText(finding.error);
  return std::strerror(static_cast<int>(finding.error));
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Closed standard descriptors would be handed out to the first files
// opened, and the scan's output would be written into the volume.
bool standardDescriptorsOpen() {
  for (int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null != fd) return false;
  }
  return ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

struct MappedFolder {
  char letter;
  std::string realFolder;  // canonical host path of the drive's folder
};

bool hasEntries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (const struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}


std::string canonical(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool looksLikeWindowsPath(const std::string& text) {
  return text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

char driveLetterOf(const std::string& windowsPath) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath[0])));
}

// The Windows path of a host path inside a mapped folder; "" with error set
// when it lies in none of them.
std::string windowsPathOfHostPath(const std::vector<MappedFolder>& mapped, const std::string& hostPath,
                                  std::string* error) {
  const std::string real = canonical(hostPath);
  if (real.empty()) {
    *error = "no such file '" + hostPath + "'";
    return "";
  }
  // The innermost mapped folder wins when one lies inside another.
  const MappedFolder* best = nullptr;
  for (const MappedFolder& drive : mapped) {
    const std::string& root = drive.realFolder;
    const bool inside = real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
                        (root == "/" || real[root.size()] == '/');
    if (real == root) {
      *error = "'" + hostPath + "' is a folder, not a file";
      return "";
    }
    if (inside && (!best || root.size() > best->realFolder.size())) best = &drive;
  }
  if (!best) {
    *error = "'" + hostPath + "' is not inside a mapped drive's folder";
    return "";
  }
  std::string rest = real.substr(best->realFolder == "/" ? 1 : best->realFolder.size() + 1);
  if (rest.find('\\') != std::string::npos) {
    *error = "'" + hostPath + "' has a backslash in a name, which a Windows path cannot hold";
    return "";
  }
  for (char& c : rest)
    if (c == '/') c = '\\';
  return std::string(1, best->letter) + ":\\" + rest;
}

// Checks one FILE argument against the volume and gives its Windows path.
bool resolveFile(PosixOs& os, const std::vector<MappedFolder>& mapped, const std::string& argument,
                 std::string* windowsPath, std::string* error) {
  if (looksLikeWindowsPath(argument)) {
    *windowsPath = argument;
    const char letter = driveLetterOf(argument);
    if (!os.isMapped(letter)) {
      *error = std::string("drive ") + letter + " is not mapped (use --drive " + letter + "=FOLDER): '" +
               argument + "'";
      return false;
    }
    if (argument.size() < 3 || argument[2] != '\\') {
      *error = "'" + argument + "' is not a full path such as C:\\WINDOWS\\WIN.INI";
      return false;
    }
  } else {
    *windowsPath = windowsPathOfHostPath(mapped, argument, error);
    if (windowsPath->empty()) return false;
  }
  if (windowsPath->size() >= static_cast<std::size_t>(kPathSize)) {
    *error = "'" + argument + "' is longer than 259 characters as a Windows path";
    return false;
  }
  if (windowsPath->find_first_of("*?") != std::string::npos) {
    *error = "'" + argument + "' holds a wildcard; name each file";
    return false;
  }
  if (windowsPath->back() == '\\') {
    *error = "'" + argument + "' is a folder, not a file";
    return false;
  }
  FindData data;
  const OsHandle find = os.findFirstFile(windowsPath->c_str(), &data);
  if (find == kInvalidHandle) {
    *error = "no such file '" + argument + "'";
    return false;
  }
  os.findClose(find);
  if (data.attributes & kAttrDirectory) {
    *error = "'" + argument + "' is a folder, not a file";
    return false;
  }
  const int fd = os.open(windowsPath->c_str(), kORdOnly | kOBinary);
  if (fd < 0) {
    const int reason = errno;
    if (reason == EXDEV || reason == ELOOP) {
      *error = "'" + argument + "' is a link that leads out of the volume";
    } else {
      *error = "cannot read '" + argument + "': " + std::strerror(reason);
    }
    return false;
  }
  os.close(fd);
  return true;
}

// The host file a checked Windows path names, to tell one file named twice
// from two files; false when it cannot be told.
bool identityOf(PosixOs& os, const std::string& windowsPath, std::pair<dev_t, ino_t>* identity) {
  std::string host;
  struct stat info;
  if (!os.hostPath(windowsPath.c_str(), &host) || ::stat(host.c_str(), &info) != 0) return false;
  *identity = {info.st_dev, info.st_ino};
  return true;
}

bool sameFolder(PosixOs& os, const std::string& a, const std::string& b) {
  std::pair<dev_t, ino_t> first, second;
  return identityOf(os, a, &first) && identityOf(os, b, &second) && first == second;
}

std::string lowerCased(std::string text) {
  for (char& c : text) c = lowerAscii(c);
  return text;
}

// The scan walks a Windows folder that is not on C: by its lower-cased path.
// On a volume that holds case twins that path can name another folder than
// the one given, and the given one would silently go unscanned.
bool windowsFolderReachable(PosixOs& os, const std::string& dir, std::string* error) {
  if (driveLetterOf(dir) == 'C') return true;  // walked with all of C:, twins and all
  const std::string walked = lowerCased(dir);
  if (walked == dir || sameFolder(os, dir, walked)) return true;
  std::string host, other;
  os.hostPath(dir.c_str(), &host);
  os.hostPath(walked.c_str(), &other);
  *error = "--windows-dir: the scan walks the Windows folder as '" + walked + "', which on this volume is '" + other +
           "', not '" + host + "' (names that differ only in letter case); rename one of them, or scan every " +
           "drive with --target '!:'";
  return false;
}

// The folder named windows or winnt at the root of C:, spelled as on disk;
// else the usual C:\WINDOWS.
std::string defaultWindowsDirectory(PosixOs& os) {
  for (const char* name : {"C:\\WINDOWS", "C:\\WINNT"}) {
    FindData data;
    const OsHandle find = os.findFirstFile(name, &data);
    if (find == kInvalidHandle) continue;
    os.findClose(find);
    if (data.attributes & kAttrDirectory) return std::string("C:\\") + data.fileName;
  }
  return "C:\\WINDOWS";
}

int run(int argc, const char* const* argv) {
  if (!standardDescriptorsOpen()) return outputError(EBADF, false);
  CliOptions options;
  std::string error;
  switch (parseOptions(argc, argv, CommandLine::kMountedVolume, &options, &error)) {
    case ParseResult::kHelp:
      return printText(usageText(CommandLine::kMountedVolume), "help text");
    case ParseResult::kVersion:
      return printText(versionText(), "version");
    case ParseResult::kError:
      return usageError(error);
    case ParseResult::kRun:
      break;
  }

  PosixOs os;
  std::vector<MappedFolder> mapped;
  for (const DriveMapping& drive : options.drives) {
    struct stat info;
    if (::stat(drive.folder.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
      return usageError(std::string("--drive ") + drive.letter + ": '" + drive.folder + "' is a file, not a folder");
    if (!isDirectory(drive.folder))
      return usageError(std::string("--drive ") + drive.letter + ": no folder '" + drive.folder + "'");
    // A drive that cannot be listed would scan nothing and still complete.
    if (::faccessat(AT_FDCWD, drive.folder.c_str(), R_OK | X_OK, AT_EACCESS) != 0)
      return refuse(std::string("--drive ") + drive.letter + ": cannot read folder '" + drive.folder +
                    "': " + std::strerror(errno));
    os.mapDrive(drive.letter, drive.folder);
    if (!os.isMapped(drive.letter))
      return usageError(std::string("--drive ") + drive.letter + ": cannot open folder '" + drive.folder + "'");
    // A volume layer that cannot list what the host sees would scan nothing
    // and still report a completed scan.
    const char everything[] = {drive.letter, ':', '\\', '*', '.', '*', '\0'};
    FindData data;
    const OsHandle find = os.findFirstFile(everything, &data);
    if (find != kInvalidHandle) {
      os.findClose(find);
    } else if (hasEntries(drive.folder)) {
      return usageError(std::string("--drive ") + drive.letter + ": cannot list folder '" + drive.folder + "'");
    }
    mapped.push_back({drive.letter, canonical(drive.folder)});
  }

  const bool fileForm = !options.files.empty();
  const bool standardScan = !fileForm && !options.target.empty() && options.target != "!:";
  if (standardScan && !os.isMapped('C'))
    return usageError("drive C is not mapped (use --drive C=FOLDER)");
  if (fileForm && mapped.empty()) return usageError("files need a mapped drive (use --drive C=FOLDER)");
  if (!fileForm && options.target == "!:" && mapped.empty())
    return usageError("--target '!:' scans the mapped drives, and none is mapped (use --drive L=FOLDER)");

  if (options.hasWindowsDir) {
    // C:\WINNT\ names the same folder as C:\WINNT; every later use wants the latter.
    while (options.windowsDir.size() > 3 && options.windowsDir.back() == '\\') options.windowsDir.pop_back();
    const std::string& dir = options.windowsDir;
    if (!looksLikeWindowsPath(dir) || dir.size() < 3 || dir[2] != '\\')
      return usageError("--windows-dir needs a Windows path such as C:\\WINDOWS, not '" + dir + "'");
    if (!os.isMapped(driveLetterOf(dir)))
      return usageError(std::string("--windows-dir: drive ") + driveLetterOf(dir) + " is not mapped");
    if (os.access(dir.c_str(), kAccessExists) != 0)
      return usageError("--windows-dir: no folder '" + dir + "'");
    if (os.access((dir + "\\").c_str(), kAccessExists) != 0)
      return usageError("--windows-dir: '" + dir + "' is a file, not a folder");
    if (standardScan && !windowsFolderReachable(os, dir, &error)) return usageError(error);
    os.setWindowsDirectory(dir);
  } else if (os.isMapped('C')) {
    os.setWindowsDirectory(defaultWindowsDirectory(os));
  }

  // Every file is checked before the first one is touched; a file named
  // twice (in other spellings, or once by its host path) is scanned once.
  std::vector<std::string> files;
  std::set<std::pair<dev_t, ino_t>> named;
  for (const std::string& argument : options.files) {
    std::string windowsPath;
    if (!resolveFile(os, mapped, argument, &windowsPath, &error)) {
      // A file that is there but cannot be read is no fault of the command line.
      const bool thereButUnusable = error.rfind("cannot read ", 0) == 0 || error.find("is a link") != std::string::npos;
      return thereButUnusable ? refuse(error) : usageError(error);
    }
    std::pair<dev_t, ino_t> identity;
    if (identityOf(os, windowsPath, &identity) && !named.insert(identity).second) continue;
    files.push_back(windowsPath);
  }

  // A real scan changes the volume: not one that is plainly no Windows
  // volume, nor one that cannot be written at all.
  if (!options.dryRun) {
    for (const DriveMapping& drive : options.drives) {
      if (!fileForm && !options.target.empty() && !options.force &&
          !looksLikeWindowsVolume(os, drive.letter, options.windowsDir))
        return refuse(std::string("--drive ") + drive.letter + ": '" + drive.folder +
                      "' does not look like a Windows volume: it holds neither a WINDOWS or WINNT folder (nor "
                      "the --windows-dir folder) with win.ini, SYSTEM or SYSTEM32 in it, nor one of io.sys, "
                      "msdos.sys, ntldr, boot.ini, bootmgr, pagefile.sys, hiberfil.sys; use --force to scan it "
                      "anyway");
      if (mountedReadOnly(drive.folder))
        return refuse(std::string("--drive ") + drive.letter + ": '" + drive.folder +
                      "' is on a volume mounted read-only, so nothing found could be removed (a disk of a Windows "
                      "that hibernated or shut down with Fast Startup is mounted read-only by the NTFS drivers: "
                      "start that Windows and shut it down fully); --dry-run shows what a scan would find");
    }
  }

  ScanSession session;
  session.progressWindow = 1;  // any non-zero token: the channel is live
  ScanOutcome outcome;
  Console console(session, outcome);
  RunJournal journal(
      session, outcome, errorText, [&console](const std::string& text) { console.writeStderr(text); }, nowMs);
  session.findingSink = &journal;
  journal.setHostPath([&os](const std::string& windowsPath) {
    std::string host;
    return os.hostPath(windowsPath.c_str(), &host) ? host : std::string();
  });
  // The log and the report are opened before anything can change: a run
  // that cannot keep its account does not start.
  if (!options.logFile.empty() && !journal.openLog(options.logFile, &error)) return refuse(error);
  console.setLogDescriptor(journal.logDescriptor());
  if (!options.reportFile.empty() && !journal.openReport(options.reportFile, &error)) return refuse(error);

  // The registry's warnings are lines of the run like any other.
  setOfflineRegistryWarningSink([&console, &journal](const std::string& line) {
    console.writeStderr(line + "\n");
    journal.note(line);
  });
  OfflineRegistry registry(os, options.registry);
  DryRunOs dryRun(registry.base());
  if (options.dryRun && registry.serves()) {
    registry.setDryRun();
    dryRun.letRegistryThrough();
  }
  KeepingOs keeping(options.dryRun ? static_cast<Os&>(dryRun) : registry.base(), true);
  if (!options.backupDir.empty() && !options.dryRun &&
      !keeping.startBackup(options.backupDir, '/', makeDirectory, backupSetName(nowMs()), &error))
    return refuse("--backup: " + error);
  keeping.measure(!options.reportFile.empty());
  journal.setKeeping(&keeping);
  GuardedOs guarded(keeping);
  Os& scanOs = registry.around(session, guarded);
  journal.onWriteFailure([&guarded] { guarded.stop(); });

  RunFacts facts = runFacts(options, fileForm);
  facts.host = hostName();
  for (const MappedFolder& drive : mapped) facts.drives.push_back({drive.letter, drive.realFolder});
  char windowsDir[kPathSize] = "";
  const unsigned windowsLength = os.getWindowsDirectory(windowsDir, sizeof windowsDir);
  if (windowsLength > 0 && windowsLength < sizeof windowsDir) facts.windowsDir = windowsDir;
  facts.backupSet = keeping.backupSet();
  if (!journal.start(facts, &error)) return refuse(error);
  console.setLogStart(journal.startMs());
  if (options.dryRun) {
    // The first line of stdout, so that a saved dry run never reads like a cleaning.
    std::fputs(kDryRunNotice, stdout);
    std::fflush(stdout);
    journal.stdoutLine(std::string(kDryRunNotice, std::strlen(kDryRunNotice) - 1));
  }
  console.setJournal(&journal);
  console.attach(os);
  registry.watchQuit(console);
  console.onOutputFailure([&guarded, &journal] {
    guarded.stop();
    journal.silence();
  });
  // From here on every listing is fetched ahead; the checks above are not.
  os.setReadAhead(options.readAhead);

  runConsoleScan(session, scanOs, files, options.target);
  os.setReadAhead(0);  // ended or stopped: no fetching thread outlives the scan
  registry.finish(console, scanExitStatus(session, outcome));
  console.finish();
  int status = registry.exitStatus(scanExitStatus(session, outcome));
  if (console.outputError() != 0) {
    status = outputError(console.outputError(), true);
    journal.stderrLine(outputErrorLine(console.outputError(), true));
  }
  if (!journal.writeError().empty()) {
    console.writeStderr("purgato-scan: " + journal.writeError() + "; the scan was stopped\n");
    status = kExitFailed;
  }
  journal.finish(status);
  setOfflineRegistryWarningSink(nullptr);
  return status;
}

}  // namespace
}  // namespace purgato

int main(int argc, char** argv) { return purgato::run(argc, argv); }
