#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

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
const char* const kVolumeOnly[] = {"--drive", "--windows-dir", "--registry", "--read-ahead"};

bool isOption(const char* arg, const char* name, std::size_t* length) {
  *length = std::strlen(name);
  return std::strncmp(arg, name, *length) == 0 && (arg[*length] == '\0' || arg[*length] == '=');
}

// purgato-scan.exe: the same scan on the computer it runs on.
const char* windowsUsageText() {
  return "Usage:\n"
         "  purgato-scan [--target TEXT] [--dry-run]\n"
         "  purgato-scan [--dry-run] FILE...\n"
         "  purgato-scan --help | --version\n"
         "\n"
         "Scans this computer for W32/Opaserv.Worm and removes it, as Purgato.exe\n"
         "does, without a window: for login scripts, scheduled tasks and remote\n"
         "shells.\n"
         "\n"
         "WARNING: this CHANGES the computer. The worm's running processes are\n"
         "ended, every worm executable and the worm's 1706-byte companion file are\n"
         "deleted (there is no quarantine and no backup), the worm's Run values and\n"
         "service are removed and its entries are cut off the end of win.ini and\n"
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
         "  --target TEXT       what to scan: C: (the default) or any other text runs\n"
         "                      the whole scan, !: scans every fixed drive from C to\n"
         "                      Z, and \"\" prints the statistics only.\n"
         "  --dry-run           run the whole scan and print exactly what a real scan\n"
         "                      prints, but change nothing: no file is deleted, cut\n"
         "                      or given other attributes, no registry value or key\n"
         "                      is changed, no process is ended and no service\n"
         "                      stopped. It takes every change to succeed, so a file\n"
         "                      that cannot be deleted shows as handled.\n"
         "  --help, /?          show this text and exit.\n"
         "  --version           show the version and the signature set, and exit.\n"
         "  --                  end of options; what follows are files.\n"
         "\n"
         "FILE is a path, full or relative to the current folder; a file named\n"
         "twice is scanned once.\n"
         "\n"
         "Output: one line per finding, each written out at once, then the\n"
         "statistics block, then \"Scanning completed\" or \"Scanning terminated\".\n"
         "In a console window the current path is shown on the bottom line; Esc\n"
         "asks whether to end the scan, and Ctrl-C or Ctrl-Break ends it at once\n"
         "(the statistics are still printed; a second one quits without them).\n"
         "Every place that could not be read, and every file or folder passed over\n"
         "because its path is too long for Windows (260 characters, 256 for a\n"
         "folder), is named on stderr (the first 20, then a count). If stdout\n"
         "cannot be written, the scan stops before it changes anything more.\n"
         "\n"
         "Exit status:\n"
         "  0  a complete scan found nothing\n"
         "  1  a complete scan found something, and everything found was removed\n"
         "  2  wrong command line, or the scan could not start or go on (for\n"
         "     example, stdout could not be written)\n"
         "  3  something found is still there (a \"Delete failed\" or \"could not\n"
         "     be removed\" line, a process that would not end), whether or not\n"
         "     the scan was complete\n"
         "  4  the scan was incomplete (Esc answered y, Ctrl-C, Ctrl-Break, the\n"
         "     console closed, or places that could not be read) and nothing found\n"
         "     was left in place\n"
         "  5  cleaned, restart needed: a complete scan, everything found was\n"
         "     removed or will be deleted when Windows restarts (a \"will be\n"
         "     deleted when Windows restarts\" line); restart to finish\n"
         "\n"
         "An administrator cannot read some folders (C:\\System Volume Information):\n"
         "run as SYSTEM, for example from a scheduled task (schtasks /ru SYSTEM),\n"
         "for a complete scan.\n";
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
    if (std::strcmp(argv[i], "--version") == 0) return ParseResult::kVersion;
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
      if (value.size() >= kPathSize) {
        *error = "--target: the text is longer than 259 characters";
        return ParseResult::kError;
      }
      options->hasTarget = true;
      options->target = value;
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

const char* usageText(CommandLine form) {
  if (form == CommandLine::kWindows) return windowsUsageText();
  return "Usage:\n"
         "  purgato-scan [--drive L=FOLDER]... [--windows-dir PATH] [--target TEXT]\n"
         "               [--registry auto|off] [--read-ahead N] [--dry-run]\n"
         "  purgato-scan --drive L=FOLDER... [--registry auto|off] [--dry-run] FILE...\n"
         "  purgato-scan --help | --version\n"
         "\n"
         "Scans a mounted Windows volume for W32/Opaserv.Worm and removes it.\n"
         "\n"
         "WARNING: this CHANGES the scanned volume. Every worm executable and the\n"
         "worm's 1706-byte companion file are deleted (there is no quarantine and\n"
         "no backup), and the worm's entries are cut off the end of win.ini and\n"
         "autoexec files. Run with --dry-run first to see what it would do.\n"
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
         "  --target TEXT       what to scan: C: (the default) or any other text runs\n"
         "                      the whole scan, !: scans every mapped drive from C to\n"
         "                      Z, and '' prints the statistics only.\n"
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
         "  --help              show this text and exit.\n"
         "  --version           show the version and the signature set, and exit.\n"
         "  --                  end of options; what follows are files.\n"
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
         "On a terminal the current path is shown on the bottom line; Esc asks\n"
         "whether to end the scan, and Ctrl-C (or Ctrl-\\, a hang-up, SIGTERM) ends\n"
         "it at once (the statistics are still printed; a second Ctrl-C quits\n"
         "without them). Every place that could not be read, and every file or\n"
         "folder passed over because its path is too long for Windows (260\n"
         "characters, 256 for a folder), is named on stderr (the first 20, then a\n"
         "count). If stdout cannot be written, the scan stops before it changes\n"
         "anything more.\n"
         "\n"
         "Exit status:\n"
         "  0  a complete scan found nothing\n"
         "  1  a complete scan found something, and everything found was removed\n"
         "  2  wrong command line, or the scan could not start or go on (for\n"
         "     example, stdout could not be written)\n"
         "  3  something found is still there (a \"Delete failed\" or \"could not\n"
         "     be removed\" line), whether or not the scan was complete. A mounted\n"
         "     volume has no restart at which to delete a file: one that cannot be\n"
         "     deleted now stays, and stderr says why\n"
         "  4  the scan was incomplete (Esc answered y, Ctrl-C, Ctrl-\\, a hang-up,\n"
         "     SIGTERM, or places that could not be read) and nothing found was\n"
         "     left in place\n"
         "  (5, cleaned with a restart needed, is purgato-scan.exe's on Windows)\n";
}

}  // namespace purgato
