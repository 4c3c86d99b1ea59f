#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "engine/signatures.h"
#include "os/text.h"

namespace purgato {

namespace {

// "--name=value" or "--name value"; false when the value is missing.
bool takeValue(int argc, const char* const* argv, int* index, const char* arg, std::size_t nameLength,
               std::string* value) {
  if (arg[nameLength] == '=') {
    *value = arg + nameLength + 1;
    return true;
  }
  if (*index + 1 >= argc) return false;
  *value = argv[++*index];
  return true;
}

bool parseDrive(const std::string& text, CliOptions* options, std::string* error) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
    *error = "--drive needs L=FOLDER";
    return false;
  }
  // "C=..." and "C:=..." both name drive C.
  std::string letterText = text.substr(0, equals);
  if (letterText.size() == 2 && letterText[1] == ':') letterText.resize(1);
  const char letter = letterText.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(letterText[0]))) : 0;
  if (letter < 'C' || letter > 'Z') {
    *error = "--drive: '" + letterText + "' is not a drive letter from C to Z";
    return false;
  }
  for (const DriveMapping& drive : options->drives) {
    if (drive.letter == letter) {
      *error = std::string("--drive: drive ") + letter + " is given twice";
      return false;
    }
  }
  options->drives.push_back({letter, text.substr(equals + 1)});
  return true;
}

bool parseReadAhead(const std::string& text, unsigned* files, std::string* error) {
  unsigned long value = 0;
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) {
    if (c < '0' || c > '9') digits = false;
    if (digits) value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!digits || value > kMaxReadAhead) {
    *error = "--read-ahead needs a number of files from 0 to " + std::to_string(kMaxReadAhead) + ", not '" + text + "'";
    return false;
  }
  *files = static_cast<unsigned>(value);
  return true;
}

bool parseRegistryMode(const std::string& text, RegistryMode* mode, std::string* error) {
  if (text == "auto") {
    *mode = RegistryMode::kAuto;
  } else if (text == "off") {
    *mode = RegistryMode::kOff;
  } else {
    *error = "--registry needs auto or off, not '" + text + "'";
    return false;
  }
  return true;
}

// The options that only the scan of a mounted volume takes.
const char* const kVolumeOnly[] = {"--drive", "--windows-dir", "--registry", "--read-ahead", "--force"};

// What --target takes: the standard scan of C:, every fixed drive, the
// statistics only.
bool parseTarget(const std::string& text, std::string* target, std::string* error) {
  if (text == "C:" || text == "c:") {
    *target = "C:";
  } else if (text == "!:" || text.empty()) {
    *target = text;
  } else {
    *error = "--target takes C:, !: or '' (the statistics only), not '" + text + "'";
    return false;
  }
  return true;
}

// A value that names a file or folder: present and not empty.
bool takePath(int argc, const char* const* argv, int* index, const char* arg, std::size_t nameLength,
              const char* name, const char* what, std::string* value, std::string* error) {
  if (!takeValue(argc, argv, index, arg, nameLength, value) || value->empty()) {
    *error = std::string(name) + " needs " + what;
    return false;
  }
  return true;
}

bool isOption(const char* arg, const char* name, std::size_t* length) {
  *length = std::strlen(name);
  return std::strncmp(arg, name, *length) == 0 && (arg[*length] == '\0' || arg[*length] == '=');
}

// The audit options read the same in both builds' help.
#define AUDIT_OPTIONS_HELP \
  "  --log FILE          append a log of the run to FILE: a header (program,\n" \
  "                      version, signature set, host, start time in UTC, real\n" \
  "                      or dry run, target, options), every line the run\n" \
  "                      prints on stdout and stderr, and a footer (end time,\n" \
  "                      duration, exit status). A log that cannot be opened\n" \
  "                      or written stops the scan before any change.\n" \
  "  --report FILE       write a JSON Lines report to FILE (replaced): one\n" \
  "                      object per event, written as it happens (see the\n" \
  "                      manual page for the fields).\n" \
  "  --backup DIR        before each change keep what it removes under DIR,\n" \
  "                      in a new set folder per run: each file deleted or cut\n" \
  "                      as DIR/<set>/<drive>/<path>.purgato-kept, and the Run\n" \
  "                      values and service keys as DIR/<set>/registry.reg\n" \
  "                      (regedit or reg import restores them). A change whose\n" \
  "                      backup cannot be written is not made (exit status 3).\n"

// purgato-scan.exe: the same scan on the computer it runs on.
const char* windowsHelp() {
  return "Usage:\n"
         "  purgato-scan [--target C:|!:|''] [--dry-run] [--log FILE] [--report FILE]\n"
         "               [--backup DIR]\n"
         "  purgato-scan [--dry-run] [--log FILE] [--report FILE] [--backup DIR] FILE...\n"
         "  purgato-scan --help | --version\n"
         "\n"
         "Scans this computer for W32/Opaserv.Worm and removes it, as Purgato.exe\n"
         "does, without a window: for login scripts, scheduled tasks and remote\n"
         "shells.\n"
         "\n"
         "WARNING: this CHANGES the computer. The worm's running processes are\n"
         "ended, every worm executable and the worm's 1706-byte companion file are\n"
         "deleted (there is no quarantine; --backup keeps a copy), the worm's Run\n"
         "values and service are removed and its entries are cut off the end of win.ini and\n"
         "autoexec files. Run with --dry-run first to see what it would do.\n"
         "A worm file that cannot be deleted now (another program holds it) is\n"
         "deleted when Windows restarts: on Windows NT, 2000, XP and later through\n"
         "the registry's PendingFileRenameOperations, on Windows 95, 98 and Me\n"
         "through a NUL= line under [rename] in WININIT.INI.\n"
         "\n"
         "The first form runs the whole scan: the worm's processes, the Startup\n"
         "folder, all of drive C:, the Windows folder when it is not on C:, and\n"
         "C:\\Program Files once more when the walk of C: did not enter it under\n"
         "exactly that capitalisation. The second form scans only the named\n"
         "files, then prints the statistics.\n"
         "\n"
         "Options:\n"
         "  --target C:|!:|''   what to scan: C: (the default) runs the whole scan,\n"
         "                      !: scans every fixed drive from C to Z, and ''\n"
         "                      (\"\" in cmd) prints the statistics only. Anything\n"
         "                      else is a usage error.\n"
         "  --dry-run           run the whole scan and print exactly what a real scan\n"
         "                      prints, but change nothing: no file is deleted, cut\n"
         "                      or given other attributes, no registry value or key\n"
         "                      is changed, no process is ended and no service\n"
         "                      stopped. It takes every change to succeed, so a file\n"
         "                      that cannot be deleted shows as handled.\n"
         AUDIT_OPTIONS_HELP
         "  --help, /?          show this text and exit.\n"
         "  -V, --version       show the version, the signature set and the\n"
         "                      copyright, and exit.\n"
         "  --                  end of options; what follows are files.\n"
         "\n"
         "FILE is a path, full or relative to the current folder; a file named\n"
         "twice is scanned once.\n"
         "\n"
         "Output: one line per finding, each written out at once, then the\n"
         "statistics block, then \"Scanning completed\" or \"Scanning terminated\".\n"
         "stdout holds only these lines, redirected or not. When stderr is a\n"
         "console window the progress (files scanned, found, the current path) is\n"
         "shown on its bottom line; Esc asks whether to end the scan, and Ctrl-C\n"
         "or Ctrl-Break ends it at once (the statistics are still printed; a\n"
         "second one quits without them).\n"
         "Every change that failed is named on stderr with the system's reason,\n"
         "once per file, value or process. Every place that could not be read,\n"
         "and every file or folder passed over because its path is too long for\n"
         "Windows (260 characters, 256 for a folder), is named on stderr (the\n"
         "first 20, then a count). If stdout cannot be written, the scan stops\n"
         "before it changes anything more.\n"
         "\n"
         "An administrator cannot read some folders (C:\\System Volume Information):\n"
         "run as SYSTEM, for example from a scheduled task (schtasks /ru SYSTEM),\n"
         "for a complete scan.\n"
         "\n";
}

}  // namespace

ParseResult parseOptions(int argc, const char* const* argv, CommandLine form, CliOptions* options,
                         std::string* error) {
  const bool windows = form == CommandLine::kWindows;
  // --help, then --version, win over whatever else is wrong on the line.
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
        (windows && std::strcmp(argv[i], "/?") == 0))
      return ParseResult::kHelp;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) return ParseResult::kVersion;
  for (int i = 0; i < argc; ++i) options->arguments.emplace_back(argv[i]);
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    std::size_t length = 0;
    if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
      options->files.emplace_back(arg);
      continue;
    }
    if (windows) {
      for (const char* name : kVolumeOnly) {
        if (isOption(arg, name, &length)) {
          *error = std::string(name) + " is not an option of purgato-scan.exe: it scans this computer's own drives, " +
                   "Windows folder and registry";
          return ParseResult::kError;
        }
      }
    }
    if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (std::strcmp(arg, "--dry-run") == 0) {
      options->dryRun = true;
    } else if (std::strcmp(arg, "--force") == 0) {
      options->force = true;
    } else if (isOption(arg, "--log", &length)) {
      if (!takePath(argc, argv, &i, arg, length, "--log", "a file", &options->logFile, error))
        return ParseResult::kError;
    } else if (isOption(arg, "--report", &length)) {
      if (!takePath(argc, argv, &i, arg, length, "--report", "a file", &options->reportFile, error))
        return ParseResult::kError;
    } else if (isOption(arg, "--backup", &length)) {
      if (!takePath(argc, argv, &i, arg, length, "--backup", "a folder", &options->backupDir, error))
        return ParseResult::kError;
    } else if (isOption(arg, "--drive", &length)) {
      std::string value;
      if (!takeValue(argc, argv, &i, arg, length, &value)) {
        *error = "--drive needs L=FOLDER";
        return ParseResult::kError;
      }
      if (!parseDrive(value, options, error)) return ParseResult::kError;
    } else if (isOption(arg, "--windows-dir", &length)) {
      std::string value;
      if (!takeValue(argc, argv, &i, arg, length, &value) || value.empty()) {
        *error = "--windows-dir needs a Windows path such as C:\\WINDOWS";
        return ParseResult::kError;
      }
      if (value.size() >= kPathSize) {
        *error = "--windows-dir: the path is longer than 259 characters";
        return ParseResult::kError;
      }
      options->hasWindowsDir = true;
      options->windowsDir = value;
    } else if (isOption(arg, "--target", &length)) {
      std::string value;
      if (!takeValue(argc, argv, &i, arg, length, &value)) {
        *error = "--target needs a value (C:, !: or '')";
        return ParseResult::kError;
      }
      if (!parseTarget(value, &options->target, error)) return ParseResult::kError;
      options->hasTarget = true;
    } else if (isOption(arg, "--registry", &length)) {
      std::string value;
      if (!takeValue(argc, argv, &i, arg, length, &value)) {
        *error = "--registry needs auto or off";
        return ParseResult::kError;
      }
      if (!parseRegistryMode(value, &options->registry, error)) return ParseResult::kError;
    } else if (isOption(arg, "--read-ahead", &length)) {
      std::string value;
      if (!takeValue(argc, argv, &i, arg, length, &value)) {
        *error = "--read-ahead needs a number of files";
        return ParseResult::kError;
      }
      if (!parseReadAhead(value, &options->readAhead, error)) return ParseResult::kError;
    } else {
      *error = std::string("unknown option '") + arg + "'";
      return ParseResult::kError;
    }
  }
  if (options->hasTarget && !options->files.empty()) {
    *error = "--target cannot be combined with files to scan";
    return ParseResult::kError;
  }
  return ParseResult::kRun;
}

const char kTryHelp[] = "Try 'purgato-scan --help' for more information.";

std::string versionText() {
  // The names as the table holds them, each once, in table order.
  std::vector<std::string> names;
  for (int row = 0; row < kSignatureRows; ++row) {
    const std::string name = signatureTable[row].name;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  std::string text = "purgato-scan 1.5\nsignature set:";
  for (std::size_t i = 0; i < names.size(); ++i) text += (i == 0 ? " " : ", ") + names[i];
  return text +
         "\n"
         "Copyright (c) 2026 Corvanel and the Purgato developers.\n"
         "MIT License: free to use, copy, change and pass on, with no warranty;\n"
         "the full text comes with the program.\n";
}

const char* volumeHelp() {
  return "Usage:\n"
         "  purgato-scan [--drive L=FOLDER]... [--windows-dir PATH] [--target C:|!:|'']\n"
         "               [--registry auto|off] [--read-ahead N] [--dry-run] [--force]\n"
         "               [--log FILE] [--report FILE] [--backup DIR]\n"
         "  purgato-scan --drive L=FOLDER... [--registry auto|off] [--dry-run]\n"
         "               [--log FILE] [--report FILE] [--backup DIR] FILE...\n"
         "  purgato-scan --help | --version\n"
         "\n"
         "Scans a mounted Windows volume for W32/Opaserv.Worm and removes it.\n"
         "\n"
         "WARNING: this CHANGES the scanned volume. Every worm executable and the\n"
         "worm's 1706-byte companion file are deleted (there is no quarantine;\n"
         "--backup keeps a copy), and the worm's entries are cut off the end of\n"
         "win.ini and autoexec files. Run with --dry-run first to see what it\n"
         "would do.\n"
         "\n"
         "The first form runs the whole scan: all of drive C:, the Windows folder\n"
         "when it is not on C:, and C:\\Program Files once more when the walk of C:\n"
         "did not enter it under exactly that capitalisation. The second form scans\n"
         "only the named files, then prints the statistics.\n"
         "\n"
         "Options:\n"
         "  --drive L=FOLDER    serve drive letter L (C to Z, either case) from the\n"
         "                      host folder FOLDER; may be repeated. Drive C must be\n"
         "                      mapped for the whole scan.\n"
         "  --windows-dir PATH  the Windows folder, as a Windows path on a mapped\n"
         "                      drive (for example D:\\WINDOWS). Default: the folder\n"
         "                      named windows or winnt (any letter case) at the root\n"
         "                      of C:, else C:\\WINDOWS.\n"
         "  --target C:|!:|''   what to scan: C: (the default) runs the whole scan,\n"
         "                      !: scans every mapped drive from C to Z, and ''\n"
         "                      prints the statistics only. Anything else is a\n"
         "                      usage error.\n"
         "  --registry MODE     what to do with the volume's registry. auto (the\n"
         "                      default): when the Windows folder holds\n"
         "                      system32\\config\\SOFTWARE and SYSTEM (Windows NT, 2000,\n"
         "                      XP and later), the worm's Run values are deleted from\n"
         "                      SOFTWARE and the services of deleted worm files from\n"
         "                      SYSTEM (ControlSet001, ControlSet002). Each changed hive\n"
         "                      is written once, at the end, after a copy of it is\n"
         "                      saved as <hive>.purgato-backup (an existing one is\n"
         "                      kept). Nothing else is touched; a Windows 9x registry\n"
         "                      (SYSTEM.DAT, USER.DAT) is not read. off: no registry.\n"
         "  --read-ahead N      while the walk is in a folder, fetch in the background\n"
         "                      the first pages of up to N of its files ahead of the\n"
         "                      scan, and the listings and first files of its\n"
         "                      subfolders, so that a disk nothing of which is cached\n"
         "                      is read many requests at a time. The scan and its\n"
         "                      output stay the same. Default 64; 0 turns it off.\n"
         "  --dry-run           run the whole scan and print exactly what a real scan\n"
         "                      prints, but change nothing: no file is deleted, cut\n"
         "                      or given other attributes, no registry value, key or\n"
         "                      hive is changed, no process is ended and no service\n"
         "                      stopped. What it would delete it then leaves out of\n"
         "                      what the scan sees, as a real scan would find it gone.\n"
         "                      Where it can differ: it takes every change to\n"
         "                      succeed, so a file that cannot be deleted, a win.ini\n"
         "                      that cannot be cut or a process that will not end\n"
         "                      shows as handled.\n"
         AUDIT_OPTIONS_HELP
         "  --force             scan drive folders that do not look like a Windows\n"
         "                      volume (see below).\n"
         "  --help              show this text and exit.\n"
         "  -V, --version       show the version, the signature set and the\n"
         "                      copyright, and exit.\n"
         "  --                  end of options; what follows are files.\n"
         "\n"
         "A real scan refuses (exit status 2) a drive folder that does not look\n"
         "like a Windows volume: one that holds, compared without regard to case,\n"
         "neither a Windows folder (WINDOWS, WINNT or the --windows-dir folder)\n"
         "with win.ini, SYSTEM or SYSTEM32 in it, nor one of the boot files io.sys,\n"
         "msdos.sys, ntldr, boot.ini, bootmgr, pagefile.sys, hiberfil.sys; --force\n"
         "scans it anyway. It also refuses a volume mounted read-only (a disk of\n"
         "a Windows that hibernated or shut down with Fast Startup is mounted\n"
         "read-only by the NTFS drivers: start that Windows and shut it down\n"
         "fully). A dry run needs neither; the FILE form is not looked at for a\n"
         "Windows folder.\n"
         "\n"
         "FILE is a Windows path on a mapped drive (C:\\WINDOWS\\SCRSVR.EXE) or a host\n"
         "path inside a mapped folder; a file named twice is scanned once.\n"
         "\n"
         "Names match without regard to letter case. Where a folder holds names\n"
         "that differ only in case, a name spelled exactly as given wins, else the\n"
         "first of them in byte order (upper case before lower case).\n"
         "\n"
         "Output: one line per finding, each written out at once, then the\n"
         "statistics block, then \"Scanning completed\" or \"Scanning terminated\".\n"
         "stdout holds only these lines, redirected or not. When stderr is a\n"
         "terminal the progress (files scanned, found, the current path) is\n"
         "redrawn in place on its bottom line; with TERM unset or \"dumb\" there is\n"
         "no progress and no cursor movement. Esc asks whether to end the scan,\n"
         "and Ctrl-C (or Ctrl-\\, a hang-up, SIGTERM) ends it at once (the\n"
         "statistics are still printed; a second Ctrl-C quits without them).\n"
         "Every change that failed is named on stderr with the\n"
         "system's reason, once per file or value. Every place that could not be\n"
         "read, and every file or folder passed over because its path is too\n"
         "long for Windows (260 characters, 256 for a folder), is named on\n"
         "stderr (the first 20, then a count). If stdout cannot be written, the\n"
         "scan stops before it changes anything more.\n"
         "\n";
}

std::string usageText(CommandLine form) {
  std::string text = form == CommandLine::kWindows ? windowsHelp() : volumeHelp();
  text += "Exit status:\n";
  for (int i = 0; i < kExitStatusTextCount; ++i) {
    const char* line = kExitStatusTexts[i].text;
    text += "  " + std::to_string(kExitStatusTexts[i].status) + "  ";
    for (const char* p = line; *p; ++p) {
      text += *p;
      if (*p == '\n') text += "     ";
    }
    text += "\n";
  }
  return text + "\nReport bugs to: <http://www.corvanel.example/>\n";
}

}  // namespace purgato
