// purgato-scan run as a program on temporary volumes: its command line, its
// two forms, what it prints with and without a terminal, and its keys.
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/hive_builder.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

extern char** environ;

namespace purgato {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;

const char kProgram[] = PURGATO_SCAN_PATH;

struct Result {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

std::string readAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

// The tests' volumes are bare folders with no Windows folder: --force goes
// first, except where a test looks at the refusal itself.
char kForce[] = "--force";

std::vector<char*> argvOf(std::vector<std::string>& args, bool force = true) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kProgram));
  if (force) argv.push_back(kForce);
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return argv;
}

const char kSetpriv[] = "/usr/bin/setpriv";

// How a run is set up beyond its arguments.
struct How {
  bool ordinaryUser = false;  // with the rights of nobody when the tests run as root
  const char* stdoutPath = nullptr;  // stdout opened on this instead of a file
  bool stdoutClosed = false;
  bool force = true;  // --force first
};

bool runningAsRoot() { return geteuid() == 0; }

// Runs the program with stdin from /dev/null and stdout/stderr to files:
// no terminal anywhere. Returns once it has started, with its pid.
pid_t start(std::vector<std::string> args, const How& how, std::FILE* out, std::FILE* err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (how.stdoutClosed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (how.stdoutPath != nullptr) {
    posix_spawn_file_actions_addopen(&actions, 1, how.stdoutPath, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
  }
  posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
  if (how.ordinaryUser && runningAsRoot()) {
    // Root reads and deletes everything; nobody meets the volume's rights.
    if (how.force) args.insert(args.begin(), kForce);
    args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", kProgram});
  }
  std::vector<char*> argv = argvOf(args, how.force && !(how.ordinaryUser && runningAsRoot()));
  if (how.ordinaryUser && runningAsRoot()) argv[0] = const_cast<char*>(kSetpriv);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

Result run(std::vector<std::string> args, const How& how = How()) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const pid_t pid = start(std::move(args), how, out, err);
  Result result;
  if (pid > 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  result.out = readAll(out);
  result.err = readAll(err);
  std::fclose(out);
  std::fclose(err);
  return result;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The block the driver ends every scan with, as printed.
std::string statistics(int scanned, int infected, int disinfected, int deleted) {
  std::string text = infected > 0 ? " \n" : "";
  text += "Scanning statistics\t\t:\n";
  text += "Total files scanned\t\t:  " + std::to_string(scanned) + "\n";
  text += "Total files infected\t\t:  " + std::to_string(infected) + "\n";
  text += "Total files disinfected\t:  " + std::to_string(disinfected) + "\n";
  text += "Total files deleted\t\t:  " + std::to_string(deleted) + "\n";
  return text;
}

const char kWinIniBody[] = "[windows]\r\nload=\r\nrun=\r\n";
const char kAutoexecBody[] = "@ECHO OFF\r\n";

class CliTest : public ::testing::Test {
 protected:
  std::string driveArg(char letter) { return std::string(1, letter) + "=" + volume.drive(letter); }

  // A small C: with one of each kind of finding, a look-alike and clean files.
  void writeSmallSystem() {
    volume.writeFile("C:\\AUTOEXEC.BAT", autoexecWithMarker(kAutoexecBody));
    volume.writeFile("C:\\CONFIG.SYS", std::string("FILES=40\r\n"));
    volume.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail(kWinIniBody));
    volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
    volume.writeFile("C:\\WINDOWS\\NOTEPAD.EXE", buildPe(PeImage{}));
    volume.writeFile("C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT", buildCompanionFile());
    volume.writeFile("C:\\WINDOWS\\SYSTEM\\SCRSVR0.EXE", buildNearMiss(0));
    volume.writeFile("C:\\Program Files\\Games\\PATCH.EXE", buildWormSample(8));
    volume.writeFile("C:\\Program Files\\Games\\README.TXT", std::string("Have fun.\r\n"));
  }
  static constexpr int kSmallSystemFiles = 9;

  TempVolume volume;
};

// Lets an ordinary user into the volume's folders (mkdtemp made the root
// private); what a test locks afterwards stays locked.
void openToOrdinaryUsers(TempVolume& volume) {
  ASSERT_EQ(chmod(volume.root().c_str(), 0755), 0);
  for (char letter : {'C', 'D'}) ASSERT_EQ(chmod(volume.drive(letter).c_str(), 0755), 0);
}

void setMode(TempVolume& volume, const std::string& windowsPath, mode_t mode) {
  ASSERT_EQ(chmod(volume.hostPath(windowsPath).c_str(), mode), 0) << windowsPath;
}

// --- The command line -----------------------------------------------------

TEST_F(CliTest, WrongCommandLinesGetOneLineAndStatus2AndTouchNothing) {
  volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
  volume.writeFile("C:\\NOTE.TXT", std::string("note"));
  const std::string c = driveArg('C');
  const std::string folder = volume.drive('C');
  struct Case {
    std::vector<std::string> args;
    std::string message;  // what the line must say
  };
  const Case cases[] = {
      {{"--x"}, "purgato-scan: unknown option '--x'"},
      {{"--drive", c, "-v"}, "purgato-scan: unknown option '-v'"},
      {{"--drive"}, "purgato-scan: --drive needs L=FOLDER"},
      {{"--drive", "C"}, "purgato-scan: --drive needs L=FOLDER"},
      {{"--drive", "C="}, "purgato-scan: --drive needs L=FOLDER"},
      {{"--drive", "A=" + folder}, "'A' is not a drive letter"},
      {{"--drive", "7=" + folder}, "'7' is not a drive letter"},
      {{"--drive", "CD=" + folder}, "'CD' is not a drive letter"},
      {{"--drive", "C=" + folder + "/missing"}, "--drive C: no folder"},
      {{"--drive", "C=" + folder + "/NOTE.TXT"}, "--drive C: '" + folder + "/NOTE.TXT' is a file, not a folder"},
      {{"--drive", c, "--drive", "c=" + folder}, "drive C is given twice"},
      {{}, "drive C is not mapped"},
      {{"--drive", driveArg('D')}, "drive C is not mapped"},
      {{"--drive", c, "--windows-dir"}, "--windows-dir needs a Windows path"},
      {{"--drive", c, "--windows-dir", "WINDOWS"}, "--windows-dir needs a Windows path"},
      {{"--drive", c, "--windows-dir", "E:\\WINDOWS"}, "--windows-dir: drive E is not mapped"},
      {{"--drive", c, "--windows-dir", "C:\\NOWHERE"}, "--windows-dir: no folder"},
      {{"--drive", c, "--windows-dir", "C:\\NOTE.TXT"}, "--windows-dir: 'C:\\NOTE.TXT' is a file, not a folder"},
      {{"--target", "!:"}, "--target '!:' scans the mapped drives, and none is mapped"},
      {{"--drive", c, "--x\n\033[31m"}, "unknown option '--x\\n\\x1b[31m'"},  // control characters spelled out
      {{"--drive", c, "C:\\NOTE\tTXT\r"}, "no such file 'C:\\NOTE\\tTXT\\r'"},
      {{"--drive", c, "--target"}, "--target needs a value"},
      {{"--drive", c, "--target", "D:"}, "--target takes C:, !: or '' (the statistics only), not 'D:'"},
      {{"--drive", c, "--target", "whatever"}, "not 'whatever'"},
      {{"--drive", c, "--log"}, "--log needs a file"},
      {{"--drive", c, "--report="}, "--report needs a file"},
      {{"--drive", c, "--backup"}, "--backup needs a folder"},
      {{"--drive", c, "--target", "C:", "C:\\NOTE.TXT"}, "--target cannot be combined"},
      {{"--drive", c, "E:\\NOTE.TXT"}, "drive E is not mapped"},
      {{"--drive", c, "C:\\NOTE.TXT", "C:\\MISSING.TXT"}, "no such file 'C:\\MISSING.TXT'"},
      {{"--drive", c, "C:\\WINDOWS"}, "is a folder"},
      {{"--drive", c, "C:\\*.TXT"}, "wildcard"},
      {{"--drive", c, "C:NOTE.TXT"}, "is not a full path"},
      {{"--drive", c, volume.root()}, "is not inside a mapped drive's folder"},
      {{"--drive", c, folder}, "is a folder"},
      {{"--drive", c, "--read-ahead"}, "--read-ahead needs a number of files"},
      {{"--drive", c, "--read-ahead", "many"}, "--read-ahead needs a number of files from 0 to 4096, not 'many'"},
      {{"--drive", c, "--read-ahead=-1"}, "from 0 to 4096, not '-1'"},
      {{"--drive", c, "--read-ahead", "4097"}, "from 0 to 4096, not '4097'"},
      {{"--drive", c, "--read-ahead", ""}, "from 0 to 4096, not ''"},
      {{"--drive", c, "--read-ahead", "99999999999"}, "from 0 to 4096, not '99999999999'"},
  };
  const auto before = volume.hashTree();
  for (const Case& test : cases) {
    std::string shown;
    for (const std::string& arg : test.args) shown += " '" + arg + "'";
    SCOPED_TRACE("purgato-scan" + shown);
    const Result result = run(test.args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    const std::vector<std::string> lines = linesOf(result.err);
    ASSERT_EQ(lines.size(), 2u) << result.err;
    EXPECT_THAT(lines[0], StartsWith("purgato-scan: "));
    EXPECT_THAT(lines[0], HasSubstr(test.message));
    EXPECT_EQ(lines[1], "Try 'purgato-scan --help' for more information.");
  }
  EXPECT_EQ(volume.hashTree(), before);
}

TEST_F(CliTest, HelpDescribesBothFormsAndWarnsThatTheVolumeChanges) {
  for (const char* option : {"--help", "-h"}) {
    const Result result = run({"--drive", "A=nowhere", option});  // help wins over the rest
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (const char* text : {"Usage:", "--drive L=FOLDER", "--windows-dir", "--target", "--read-ahead N", "FILE...",
                             "CHANGES", "deleted", "win.ini", "autoexec", "Exit status", "Esc", "Ctrl-C"})
      EXPECT_THAT(result.out, HasSubstr(text)) << option;
  }
}

TEST_F(CliTest, VersionNamesTheProgramEveryVariantOfItsSignatureSetAndTheLicence) {
  const Result result = run({"--drive", "C=nowhere", "--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = linesOf(result.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "purgato-scan 1.5");
  EXPECT_EQ(lines[2], "Copyright (c) 2026 Corvanel and the Purgato developers.");
  EXPECT_THAT(lines[3], ::testing::StartsWith("MIT License"));
  EXPECT_EQ(run({"-V"}).out, result.out);
  EXPECT_THAT(lines[1], ::testing::StartsWith("signature set: W32/Opaserv.Worm, "));
  for (const char* variant : {"A", "B", "D", "E", "H", "K"})
    EXPECT_THAT(lines[1], HasSubstr(std::string("W32/Opaserv.") + variant + ".Worm")) << variant;
  How full;
  full.stdoutPath = "/dev/full";
  EXPECT_EQ(run({"--version"}, full).status, 2);
}

// The dry run prints what the scan of the same volume prints, byte for
// byte, and leaves every file as it was, its read-only bit included.
TEST_F(CliTest, DryRunPrintsWhatTheScanPrintsAndChangesNothing) {
  writeSmallSystem();
  volume.writeFile("C:\\WINDOWS\\SYSTEM\\MSTASK.EXE", buildWormSample(1));
  setMode(volume, "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE", 0444);
  TempVolume copy;
  ASSERT_EQ(std::system(("cp -a '" + volume.drive('C') + "/.' '" + copy.drive('C') + "/'").c_str()), 0);
  const auto before = volume.hashTree();

  const Result dry = run({"--dry-run", "--drive", driveArg('C')});
  const Result real = run({"--drive", "C=" + copy.drive('C')});
  EXPECT_EQ(real.status, 1);
  EXPECT_EQ(dry.status, real.status);
  // One line first says that nothing was changed; the rest is the real scan's.
  EXPECT_EQ(dry.out, "purgato-scan: DRY RUN: nothing was changed; the lines below say what a real scan would do\n" +
                         real.out);
  EXPECT_THAT(real.out, HasSubstr("MSTASK.EXE     W32/Opaserv.E.Worm deleted"));
  EXPECT_EQ(dry.err, "");
  EXPECT_EQ(volume.hashTree(), before);
  struct stat info;
  ASSERT_EQ(stat(volume.hostPath("C:\\WINDOWS\\SYSTEM\\MSTASK.EXE").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0444u);
  EXPECT_FALSE(copy.exists("C:\\WINDOWS\\SYSTEM\\MSTASK.EXE"));

  // The file form too.
  const Result dryFile = run({"--dry-run", "--drive", driveArg('C'), "C:\\WINDOWS\\WIN.INI"});
  EXPECT_EQ(dryFile.status, 1);
  EXPECT_THAT(dryFile.out, HasSubstr("c:\\windows\\win.ini    W32/Opaserv.Worm entries removed"));
  EXPECT_EQ(volume.hashTree(), before);
}

// Puts the files beneath folder out of the page cache, as on a disk just
// mounted: the read-ahead starts its threads only for files not cached.
int evictFile(const char* path, const struct stat* info, int type, struct FTW*) {
  if (type != FTW_F || !S_ISREG(info->st_mode)) return 0;
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
  return 0;
}
void evict(const std::string& folder) {
  ::sync();
  ::nftw(folder.c_str(), evictFile, 16, FTW_PHYS);
}

// The read-ahead only warms the cache: with it off, on with one file ahead,
// by default and at its most, every scan prints the same bytes, ends with
// the same status and leaves the same volume behind.
TEST_F(CliTest, ReadAheadChangesNoByteOfTheOutputNorOfTheVolume) {
  struct Source {
    const char* what;
    std::string makeArgs;  // for make_samples, before the folder
  };
  const Source sources[] = {{"benchmark tree", "--bench 2000"}, {"demo volume", ""}};
  const std::vector<std::vector<std::string>> settings = {
      {"--read-ahead", "0"}, {"--read-ahead", "1"}, {}, {"--read-ahead=4096"}};
  for (const Source& source : sources) {
    SCOPED_TRACE(source.what);
    TempVolume original;
    ASSERT_EQ(std::system((std::string(PURGATO_MAKE_SAMPLES_PATH) + " " + source.makeArgs + " '" +
                           original.drive('C') + "' >/dev/null")
                              .c_str()),
              0);
    Result off;
    std::map<std::string, std::string> offTree;
    for (const std::vector<std::string>& setting : settings) {
      SCOPED_TRACE(setting.empty() ? "default" : setting.back());
      TempVolume copy;
      ASSERT_EQ(std::system(("cp -a '" + original.drive('C') + "/.' '" + copy.drive('C') + "/'").c_str()), 0);
      evict(copy.drive('C'));
      std::vector<std::string> args = {"--drive", "C=" + copy.drive('C')};
      args.insert(args.end(), setting.begin(), setting.end());
      const Result result = run(args);
      if (&setting == &settings.front()) {
        off = result;
        offTree = copy.hashTree();
        EXPECT_EQ(off.status, 1);
        EXPECT_THAT(off.out, HasSubstr("W32/Opaserv.Worm entries removed"));
        EXPECT_THAT(off.out, HasSubstr("deleted"));
        EXPECT_NE(offTree, original.hashTree());
        continue;
      }
      EXPECT_EQ(result.status, off.status);
      EXPECT_EQ(result.out, off.out);
      EXPECT_EQ(result.err, off.err);
      EXPECT_EQ(copy.hashTree(), offTree);
    }
  }
}

// --- The file form ----------------------------------------------------------

TEST_F(CliTest, FileFormScansEachNamedFileAndPrintsTheStatistics) {
  auto writeFiles = [this] {
    volume.writeFile("C:\\WINDOWS\\NOTEPAD.EXE", buildPe(PeImage{}));
    volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
    volume.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail(kWinIniBody));
    volume.writeFile("C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT", buildCompanionFile());
    volume.writeFile("D:\\BACKUP\\BRASIL.EXE", buildWormSample(1));
  };
  writeFiles();
  const std::string c = driveArg('C');
  const std::string d = driveArg('D');
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string output;
    int status;
    std::vector<std::string> gone;
  };
  const Case cases[] = {
      {"clean file", {"--drive", c, "C:\\WINDOWS\\NOTEPAD.EXE"}, statistics(1, 0, 0, 0) + "Scanning completed\n", 0,
       {}},
      {"sample named in other letter case",
       {"--drive", c, "c:\\windows\\scrsvr.exe"},
       "c:\\windows\\scrsvr.exe     W32/Opaserv.Worm deleted\n" + statistics(1, 1, 0, 1) + "Scanning completed\n",
       1,
       {"C:\\WINDOWS\\SCRSVR.EXE"}},
      {"sample named by its host path",
       {"--drive", c, volume.hostPath("C:\\WINDOWS\\SCRSVR.EXE")},
       "C:\\WINDOWS\\SCRSVR.EXE     W32/Opaserv.Worm deleted\n" + statistics(1, 1, 0, 1) + "Scanning completed\n",
       1,
       {"C:\\WINDOWS\\SCRSVR.EXE"}},
      {"several files, in order",
       {"--drive", c, "--", "C:\\WINDOWS\\WIN.INI", "C:\\WINDOWS\\NOTEPAD.EXE", "C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT"},
       "c:\\windows\\win.ini    W32/Opaserv.Worm entries removed\n"
       "C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT     W32/Opaserv.Worm deleted\n" +
           statistics(3, 2, 1, 1) + "Scanning completed\n",
       1,
       {"C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT"}},
      {"one file named three times, by three spellings, is scanned once",
       {"--drive", c, "C:\\WINDOWS\\SCRSVR.EXE", "c:\\windows\\scrsvr.exe", volume.hostPath("C:\\WINDOWS\\SCRSVR.EXE")},
       "C:\\WINDOWS\\SCRSVR.EXE     W32/Opaserv.Worm deleted\n" + statistics(1, 1, 0, 1) + "Scanning completed\n",
       1,
       {"C:\\WINDOWS\\SCRSVR.EXE"}},
      {"a drive other than C alone",
       {"--drive", d, "D:\\BACKUP\\BRASIL.EXE"},
       "D:\\BACKUP\\BRASIL.EXE     W32/Opaserv.E.Worm deleted\n" + statistics(1, 1, 0, 1) + "Scanning completed\n",
       1,
       {"D:\\BACKUP\\BRASIL.EXE"}},
  };
  const std::vector<std::string> fixture = {"C:\\WINDOWS\\NOTEPAD.EXE", "C:\\WINDOWS\\SCRSVR.EXE",
                                            "C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT", "D:\\BACKUP\\BRASIL.EXE"};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    writeFiles();
    const Result result = run(test.args);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, test.output);
    EXPECT_EQ(result.status, test.status);
    for (const std::string& path : fixture) {
      const bool named = std::find(test.gone.begin(), test.gone.end(), path) != test.gone.end();
      EXPECT_EQ(volume.exists(path), !named) << path;
    }
    const bool winIniNamed = test.args.size() > 3 && test.args[3] == "C:\\WINDOWS\\WIN.INI";
    EXPECT_EQ(volume.readText("C:\\WINDOWS\\WIN.INI"),
              winIniNamed ? std::string(kWinIniBody) : winIniWithWormTail(kWinIniBody));
  }
}

// --- The whole-volume form --------------------------------------------------

TEST_F(CliTest, WholeScanPrintsEachFindingThenTheStatisticsAndEndsWithTheEndStatus) {
  writeSmallSystem();
  const Result result = run({"--drive", driveArg('C')});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "");
  const std::string tail = statistics(kSmallSystemFiles, 5, 2, 3) + "Scanning completed\n";
  ASSERT_GE(result.out.size(), tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  // The findings come in the order the folders list their files.
  EXPECT_THAT(linesOf(result.out.substr(0, result.out.size() - tail.size())),
              UnorderedElementsAreArray({
                  "c:\\autoexec.bat    W32/Opaserv.Worm entries removed",
                  "c:\\windows\\win.ini    W32/Opaserv.Worm entries removed",
                  "C:\\WINDOWS\\SCRSVR.EXE     W32/Opaserv.Worm deleted",
                  "C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT     W32/Opaserv.Worm deleted",
                  "C:\\Program Files\\Games\\PATCH.EXE     W32/Opaserv.K.Worm deleted",
              }));
  // Off a terminal the status line (every visited path) is not printed.
  EXPECT_THAT(result.out, Not(HasSubstr("NOTEPAD")));
  EXPECT_THAT(result.out, Not(HasSubstr("README")));

  EXPECT_FALSE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_FALSE(volume.exists("C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT"));
  EXPECT_FALSE(volume.exists("C:\\Program Files\\Games\\PATCH.EXE"));
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SYSTEM\\SCRSVR0.EXE"));
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\NOTEPAD.EXE"));
  EXPECT_EQ(volume.readText("C:\\WINDOWS\\WIN.INI"), kWinIniBody);
  EXPECT_EQ(volume.readText("C:\\AUTOEXEC.BAT"), kAutoexecBody);

  // A second scan finds nothing left and says so with status 0.
  const Result again = run({"--drive", driveArg('C')});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, statistics(kSmallSystemFiles - 3, 0, 0, 0) + "Scanning completed\n");
}

TEST_F(CliTest, TargetChoosesWhatIsScanned) {
  struct Case {
    const char* name;
    std::vector<std::string> target;  // the --target arguments, if any
    int scanned;
    int infected;
    bool dDriveScanned;
  };
  const Case cases[] = {
      {"statistics only", {"--target", ""}, 0, 0, false},
      {"statistics only, = form", {"--target="}, 0, 0, false},
      {"the standard scan", {"--target", "C:"}, 2, 1, false},
      {"the standard scan, lower case", {"--target=c:"}, 2, 1, false},
      {"every mapped drive", {"--target", "!:"}, 3, 2, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempVolume fresh;
    fresh.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
    fresh.writeFile("C:\\WINDOWS\\NOTEPAD.EXE", buildPe(PeImage{}));
    fresh.writeFile("D:\\DATA\\INSTIT.EXE", buildWormSample(3));
    std::vector<std::string> args = {"--drive", "C=" + fresh.drive('C'), "--drive", "D=" + fresh.drive('D')};
    args.insert(args.end(), test.target.begin(), test.target.end());
    const Result result = run(args);
    EXPECT_EQ(result.status, test.infected > 0 ? 1 : 0);
    EXPECT_THAT(result.out, HasSubstr(statistics(test.scanned, test.infected, 0, test.infected) +
                                      "Scanning completed\n"));
    EXPECT_EQ(fresh.exists("C:\\WINDOWS\\SCRSVR.EXE"), test.scanned == 0);
    EXPECT_EQ(fresh.exists("D:\\DATA\\INSTIT.EXE"), !test.dDriveScanned);
  }
}

TEST_F(CliTest, WindowsFolderOnAnotherDriveIsWalkedWithItsLowerCasedPath) {
  volume.writeFile("C:\\CONFIG.SYS", std::string("FILES=40\r\n"));
  volume.writeFile("D:\\WinNT\\SCRSVR.EXE", buildWormSample(0));
  volume.writeFile("D:\\OTHER\\INSTIT.EXE", buildWormSample(3));
  const Result result = run({"--drive", driveArg('C'), "--drive", driveArg('D'), "--windows-dir", "D:\\WINNT"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "d:\\winnt\\SCRSVR.EXE     W32/Opaserv.Worm deleted\n" + statistics(2, 1, 0, 1) +
                            "Scanning completed\n");
  EXPECT_TRUE(volume.exists("D:\\OTHER\\INSTIT.EXE"));  // the rest of D: is not scanned
}

TEST_F(CliTest, WindowsFolderFoundOnCInAnyCaseIsNotWalkedTwice) {
  for (const char* name : {"WinNT", "windows", "WINDOWS"}) {
    SCOPED_TRACE(name);
    TempVolume fresh;
    fresh.writeFile(std::string("C:\\") + name + "\\SYSTEM.INI", std::string("[boot]\r\n"));
    fresh.writeFile(std::string("C:\\") + name + "\\SCRSVR.EXE", buildWormSample(0));
    const Result result = run({"--drive", "C=" + fresh.drive('C')});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.out, HasSubstr(statistics(2, 1, 0, 1)));
  }
}

TEST_F(CliTest, WindowsFolderWithACaseTwinThatTheWalkWouldTakeIsRefused) {
  volume.writeFile("C:\\CONFIG.SYS", std::string("FILES=40\r\n"));
  volume.writeFile("D:\\WINNT\\SCRSVR.EXE", buildWormSample(0));
  // The volume helper would resolve "winnt" to the folder just made.
  ASSERT_EQ(mkdir((volume.drive('D') + "/winnt").c_str(), 0755), 0);
  volume.writeFile("D:\\winnt\\NOTEPAD.EXE", buildPe(PeImage{}));
  const std::string c = driveArg('C'), d = driveArg('D');
  // The walk takes the lower-cased path: the named folder would go unscanned.
  const auto before = volume.hashTree();
  const Result refused = run({"--drive", c, "--drive", d, "--windows-dir", "D:\\WINNT"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_THAT(refused.err, HasSubstr("--windows-dir: the scan walks the Windows folder as 'd:\\winnt'"));
  EXPECT_EQ(volume.hashTree(), before);
  // Naming the twin the walk takes is fine, and so is a folder whose
  // lower-cased path leads to it.
  EXPECT_EQ(run({"--drive", c, "--drive", d, "--windows-dir", "D:\\winnt"}).status, 0);
  volume.writeFile("D:\\Sys\\SCRSVR.EXE", buildWormSample(0));
  const Result other = run({"--drive", c, "--drive", d, "--windows-dir", "D:\\SYS"});
  EXPECT_EQ(other.status, 1);
  EXPECT_FALSE(volume.exists("D:\\Sys\\SCRSVR.EXE"));
}

// --- What the scan could not do ----------------------------------------------

TEST_F(CliTest, ExitStatusSaysWhetherTheScanWasCompleteAndEverythingFoundHandled) {
  // Run as an ordinary user: nothing can be deleted from a folder without
  // write rights, nothing read without read rights (as root, the program
  // runs as nobody, and the folders are root's).
  struct Case {
    const char* name;
    std::function<void(TempVolume&)> setUp;
    int status;
    std::vector<std::string> errLines;
    bool ownerCanUndo = false;  // the owner of a read-only file may clear the bit: root only
  };
  const Case cases[] = {
      {"clean", [](TempVolume&) {}, 0, {}},
      {"a sample removed", [](TempVolume& v) { v.writeFile("C:\\TMP\\SCRSVR.EXE", buildWormSample(0)); }, 1, {}},
      // A mounted volume has no restart to leave the file for.
      {"a sample that cannot be deleted",
       [](TempVolume& v) {
         v.writeFile("C:\\KEEP\\SCRSVR.EXE", buildWormSample(0));
         setMode(v, "C:\\KEEP", 0555);
       },
       3,
       {"purgato-scan: 'C:\\KEEP\\SCRSVR.EXE' was not deleted: Permission denied"}},
      {"win.ini entries that cannot be cut",
       [](TempVolume& v) {
         v.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail(kWinIniBody));
         setMode(v, "C:\\WINDOWS\\WIN.INI", 0444);
       },
       3,
       {"purgato-scan: the worm's entries at the end of 'C:\\WINDOWS\\WIN.INI' were not cut: Operation not "
        "permitted"},
       true},
      {"an unreadable folder",
       [](TempVolume& v) {
         v.writeFile("C:\\LOCKED\\SCRSVR.EXE", buildWormSample(0));
         setMode(v, "C:\\LOCKED", 0);
       },
       4,
       {"purgato-scan: cannot read 'C:\\LOCKED': Permission denied"}},
      {"an unreadable file, and a sample removed",
       [](TempVolume& v) {
         v.writeFile("C:\\TMP\\SCRSVR.EXE", buildWormSample(0));
         setMode(v, "C:\\TMP", 0777);
         v.writeFile("C:\\SECRET.EXE", buildWormSample(1));
         setMode(v, "C:\\SECRET.EXE", 0);
       },
       4,
       {"purgato-scan: cannot read 'C:\\SECRET.EXE': Permission denied"}},
      {"an unreadable folder, and a sample that stays",
       [](TempVolume& v) {
         v.writeFile("C:\\KEEP\\SCRSVR.EXE", buildWormSample(0));
         setMode(v, "C:\\KEEP", 0555);
         v.makeFolder("C:\\LOCKED");
         setMode(v, "C:\\LOCKED", 0);
       },
       3,
       {"purgato-scan: cannot read 'C:\\LOCKED': Permission denied",
        "purgato-scan: 'C:\\KEEP\\SCRSVR.EXE' was not deleted: Permission denied"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    if (test.ownerCanUndo && !runningAsRoot()) continue;
    TempVolume fresh;
    fresh.writeFile("C:\\CONFIG.SYS", std::string("FILES=40\r\n"));
    if (runningAsRoot()) {
      // The deleted sample's folder must be writable for nobody.
      fresh.makeFolder("C:\\TMP");
      setMode(fresh, "C:\\TMP", 0777);
    }
    test.setUp(fresh);
    openToOrdinaryUsers(fresh);
    How how;
    how.ordinaryUser = true;
    const Result result = run({"--drive", "C=" + fresh.drive('C')}, how);
    EXPECT_EQ(result.status, test.status) << result.out << result.err;
    // Folders come in the order the volume lists them.
    EXPECT_THAT(linesOf(result.err), ::testing::UnorderedElementsAreArray(test.errLines));
    EXPECT_THAT(result.out, ::testing::EndsWith("Scanning completed\n"));
  }
}

TEST_F(CliTest, UnreadableDriveFolderIsRefusedBeforeTheScan) {
  volume.writeFile("C:\\SCRSVR.EXE", buildWormSample(0));
  openToOrdinaryUsers(volume);
  setMode(volume, "C:\\", 0);
  How how;
  how.ordinaryUser = true;
  const Result result = run({"--drive", driveArg('C')}, how);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "purgato-scan: --drive C: cannot read folder '" + volume.drive('C') + "': Permission denied\n");
}

TEST_F(CliTest, FileFormRefusesUnreadableFilesAndLinksOutOfTheVolume) {
  volume.writeFile("C:\\SCRSVR.EXE", buildWormSample(0));
  volume.writeFile("C:\\SECRET.EXE", buildWormSample(1));
  volume.writeFile("D:\\ELSEWHERE.EXE", buildWormSample(2));
  ASSERT_EQ(symlink(volume.hostPath("D:\\ELSEWHERE.EXE").c_str(), volume.hostPath("C:\\LINK.EXE").c_str()), 0);
  openToOrdinaryUsers(volume);
  setMode(volume, "C:\\SECRET.EXE", 0);
  const std::string c = driveArg('C');
  How how;
  how.ordinaryUser = true;
  const auto before = volume.hashTree();
  const Result unreadable = run({"--drive", c, "C:\\SCRSVR.EXE", "C:\\SECRET.EXE"}, how);
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.err, "purgato-scan: cannot read 'C:\\SECRET.EXE': Permission denied\n");
  const Result link = run({"--drive", c, "C:\\SCRSVR.EXE", "C:\\LINK.EXE"});
  EXPECT_EQ(link.status, 2);
  EXPECT_EQ(link.err, "purgato-scan: 'C:\\LINK.EXE' is a link that leads out of the volume\n");
  EXPECT_EQ(volume.hashTree(), before);
}

TEST_F(CliTest, PathsTooLongForWindowsAreNamedAndMakeTheScanIncomplete) {
  // Thirty levels of "\\LEVEL00nn" with a sample in each: the walk reaches
  // the samples of levels 1 to 24, passes over that of level 25 (263
  // characters) and does not enter level 26 (a 262-character folder).
  std::vector<std::string> folders = {"C:"};
  for (int level = 1; level <= 30; ++level) {
    char name[16];
    std::snprintf(name, sizeof name, "\\LEVEL%04d", level);
    folders.push_back(folders.back() + name);
    volume.writeFile(folders.back() + "\\SCRSVR.EXE", buildWormSample(0));
  }
  const std::string tooLong = "' skipped: path longer than 259 characters";
  const std::vector<std::string> deep = {"purgato-scan: '" + folders[25] + "\\SCRSVR.EXE" + tooLong,
                                         "purgato-scan: '" + folders[26] + tooLong};
  const Result result = run({"--drive", driveArg('C')});
  EXPECT_EQ(result.status, 4);  // everything found was deleted, but not everything was looked at
  EXPECT_THAT(result.out, HasSubstr(statistics(24, 24, 0, 24) + "Scanning completed\n"));
  EXPECT_THAT(linesOf(result.err), UnorderedElementsAreArray(deep));
  EXPECT_TRUE(volume.exists(folders[25] + "\\SCRSVR.EXE"));

  // More places than are named one by one: the first 20, then a count.
  const std::string crowded = volume.drive('C') + "/" + std::string(200, 'c');
  ASSERT_EQ(mkdir(crowded.c_str(), 0755), 0);
  std::vector<std::string> expected = deep;
  for (int i = 0; i < 25; ++i) {
    const std::string name = std::string(60, 'f') + std::to_string(i);
    std::FILE* file = std::fopen((crowded + "/" + name).c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    expected.push_back("purgato-scan: 'C:\\" + std::string(200, 'c') + "\\" + name + tooLong);
  }
  const Result crowdedResult = run({"--drive", driveArg('C')});
  EXPECT_EQ(crowdedResult.status, 4);
  const std::vector<std::string> err = linesOf(crowdedResult.err);
  ASSERT_EQ(err.size(), 21u) << crowdedResult.err;
  EXPECT_EQ(err.back(), "purgato-scan: ... and 7 more places could not be read");
  for (std::size_t i = 0; i + 1 < err.size(); ++i)
    EXPECT_THAT(expected, ::testing::Contains(err[i]));
  EXPECT_EQ(std::set<std::string>(err.begin(), err.end() - 1).size(), 20u);
}

// --- Output that cannot be written -------------------------------------------

TEST_F(CliTest, FailedOutputStopsTheScanBeforeAnythingMoreIsChanged) {
  for (const char* name : {"A.EXE", "B.EXE", "C.EXE"}) volume.writeFile(std::string("C:\\") + name, buildWormSample(0));
  const std::string c = driveArg('C');
  How full;
  full.stdoutPath = "/dev/full";
  const Result result = run({"--drive", c}, full);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "purgato-scan: cannot write the output: No space left on device; the scan was stopped\n");
  // The first deletion's line is the one that could not be written.
  int left = 0;
  for (const char* name : {"A.EXE", "B.EXE", "C.EXE"}) left += volume.exists(std::string("C:\\") + name) ? 1 : 0;
  EXPECT_EQ(left, 2);

  How closed;
  closed.stdoutClosed = true;
  const auto before = volume.hashTree();
  const Result noStdout = run({"--drive", c}, closed);
  EXPECT_EQ(noStdout.status, 2);
  EXPECT_EQ(noStdout.err, "purgato-scan: cannot write the output: Bad file descriptor\n");
  EXPECT_EQ(volume.hashTree(), before);

  const Result help = run({"--help"}, full);
  EXPECT_EQ(help.status, 2);
  EXPECT_EQ(help.err, "purgato-scan: cannot write the help text: No space left on device\n");
}

TEST_F(CliTest, EachFindingIsWrittenOutBeforeTheScanGoesOn) {
  // A sample at the root, found first, then enough files for the scan to
  // be caught mid-walk once the sample is gone. Killed there, the program
  // has had no chance to flush anything: what is in its output was
  // written when it was found.
  volume.writeFile("C:\\SCRSVR.EXE", buildWormSample(0));
  const std::string many = volume.drive('C') + "/MANY";
  ASSERT_EQ(mkdir(many.c_str(), 0755), 0);
  for (int i = 0; i < 20000; ++i) {
    const int fd = open((many + "/F" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, volume.drive('C').c_str(), IN_DELETE), 0);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const pid_t pid = start({"--drive", driveArg('C')}, How(), out, err);
  ASSERT_GT(pid, 0);
  char event[4096];
  ASSERT_GT(read(watch, event, sizeof event), 0);  // the sample was deleted
  close(watch);
  // Its line follows at once, while the scan goes on.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  struct stat info {};
  while (fstat(fileno(out), &info) == 0 && info.st_size == 0 && std::chrono::steady_clock::now() < deadline) {
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the scan ended before the line was seen";
  EXPECT_EQ(readAll(out), "C:\\SCRSVR.EXE     W32/Opaserv.Worm deleted\n");
  std::fclose(out);
  std::fclose(err);
}

// --- On a terminal ----------------------------------------------------------

struct TerminalResult {
  int status = -1;
  std::string screen;  // everything written to the terminal
  bool modeRestored = false;
};

// Which descriptors the terminal gets, and the TERM the program sees.
struct Wiring {
  std::FILE* stdoutFile = nullptr;  // stdout redirected here; null: the terminal
  std::FILE* stderrFile = nullptr;  // stderr redirected here; null: /dev/null, or the terminal with stderrOnTerminal
  bool stderrOnTerminal = false;
  const char* term = "xterm";  // null: no TERM at all
  int secondSignal = 0;  // sent right after signalOnQuestion (another one: the same would merge with it)
};

// Runs the program on a fresh pseudo-terminal (its controlling terminal,
// stdin and, as `wiring` says, stdout and stderr), with `typed` already
// waiting as input; `onQuestion` is typed, and `signalOnQuestion` sent,
// when the question appears.
TerminalResult runOnTerminal(std::vector<std::string> args, const std::string& typed,
                             const std::string& onQuestion = "", int signalOnQuestion = 0,
                             const Wiring& wiring = Wiring()) {
  TerminalResult result;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::strncmp(*entry, "TERM=", 5) != 0) environment.push_back(*entry);
  if (wiring.term != nullptr) environment.push_back(std::string("TERM=") + wiring.term);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) return result;
  // Keys arrive one by one and are not echoed; VTIME 5 marks the mode as ours.
  termios mode;
  tcgetattr(slave, &mode);
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 5;
  tcsetattr(slave, TCSANOW, &mode);
  winsize size = {24, 200, 0, 0};
  ioctl(slave, TIOCSWINSZ, &size);
  if (!typed.empty() && write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()))
    return result;

  std::vector<char*> argv = argvOf(args);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(wiring.stdoutFile != nullptr ? fileno(wiring.stdoutFile) : slave, 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(wiring.stderrFile != nullptr ? fileno(wiring.stderrFile) : wiring.stderrOnTerminal ? slave : null, 2);
    close(master);
    execve(kProgram, argv.data(), envp.data());
    _exit(127);
  }
  bool asked = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    pollfd input = {master, POLLIN, 0};
    if (poll(&input, 1, 100) > 0) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) result.screen.append(buffer, static_cast<std::size_t>(n));
    }
    if (!asked && (!onQuestion.empty() || signalOnQuestion != 0) &&
        result.screen.find("[y/N] ") != std::string::npos) {
      asked = true;
      // Both signals wait, held by a stop, and come together: on two cores
      // the scanner would otherwise run on between them, up to its end.
      if (wiring.secondSignal != 0) kill(pid, SIGSTOP);
      if (signalOnQuestion != 0) kill(pid, signalOnQuestion);
      if (wiring.secondSignal != 0) {
        kill(pid, wiring.secondSignal);
        kill(pid, SIGCONT);
      }
      if (!onQuestion.empty() && write(master, onQuestion.data(), onQuestion.size()) < 0) break;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      // Whatever is still buffered.
      for (char buffer[4096];;) {
        pollfd rest = {master, POLLIN, 0};
        if (poll(&rest, 1, 0) <= 0) break;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        result.screen.append(buffer, static_cast<std::size_t>(n));
      }
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
  }
  termios after;
  tcgetattr(slave, &after);
  result.modeRestored = (after.c_lflag & (ICANON | ECHO)) == 0 && after.c_cc[VMIN] == 0 && after.c_cc[VTIME] == 5;
  close(slave);
  close(master);
  return result;
}

// What the terminal shows last: the text after the last line break, with
// the in-place redraws resolved.
std::string lastScreenLine(const std::string& screen) {
  std::string text = screen;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t cut = text.find_last_of("\r\n");
  std::string line = cut == std::string::npos ? text : text.substr(cut + 1);
  for (std::size_t erase; (erase = line.find("\033[K")) != std::string::npos;) line.erase(erase, 3);
  return line;
}

class CliTerminalTest : public CliTest {
 protected:
  // Enough files at the root for the keys to be read well before the end,
  // and a sample in a subfolder, which the walk reaches last.
  void SetUp() override {
    for (int i = 0; i < 40; ++i) volume.writeFile("C:\\FILE" + std::to_string(i) + ".TXT", std::string("text"));
    volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
  }
  static constexpr int kFiles = 41;
};

TEST_F(CliTerminalTest, EscAnsweredYesEndsTheScanWithTheStatistics) {
  const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, "\033y");
  EXPECT_EQ(result.status, 4);  // incomplete, though nothing was found
  EXPECT_THAT(result.screen, HasSubstr("Terminate the Scan now? [y/N] y\r\n"));
  EXPECT_THAT(result.screen, HasSubstr("Scanning statistics\t\t:"));
  EXPECT_THAT(result.screen, Not(HasSubstr("Total files scanned\t\t:  " + std::to_string(kFiles) + "\r\n")));
  EXPECT_EQ(lastScreenLine(result.screen), "Scanning terminated");
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_TRUE(result.modeRestored);
}

TEST_F(CliTerminalTest, EscAnsweredNoAndOtherKeysLeaveTheScanRunning) {
  for (const char* typed : {"\033n", "\033\r", "\033[A", "q"}) {
    SCOPED_TRACE(testing::PrintToString(typed));
    volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
    const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, typed);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.screen.find("Terminate the Scan now?") != std::string::npos, typed[0] == '\033' &&
                                                                                   typed[1] != '[');
    EXPECT_THAT(result.screen, HasSubstr("Total files scanned\t\t:  " + std::to_string(kFiles) + "\r\n"));
    EXPECT_EQ(lastScreenLine(result.screen), "Scanning completed");
    EXPECT_FALSE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
    EXPECT_TRUE(result.modeRestored);
  }
}

TEST_F(CliTerminalTest, CtrlCEndsTheScanWithTheStatistics) {
  // The question holds the scan still, so the Ctrl-C surely lands mid-scan.
  const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, "\033", "\003");
  EXPECT_EQ(result.status, 4);
  EXPECT_THAT(result.screen, HasSubstr("Scanning statistics\t\t:"));
  EXPECT_EQ(lastScreenLine(result.screen), "Scanning terminated");
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_TRUE(result.modeRestored);
}

TEST_F(CliTerminalTest, QuitAndHangUpEndTheScanAndGiveTheTerminalBack) {
  // Ctrl-\\ typed (the terminal sends SIGQUIT), a hang-up and a SIGTERM
  // sent, each while the question holds the scan still.
  struct Case {
    const char* name;
    std::string typed;
    int signalNumber;
  };
  const Case cases[] = {{"Ctrl-\\", "\034", 0}, {"SIGQUIT", "", SIGQUIT}, {"SIGHUP", "", SIGHUP}, {"SIGTERM", "", SIGTERM}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, "\033", test.typed, test.signalNumber);
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(lastScreenLine(result.screen), "Scanning terminated");
    EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
    EXPECT_TRUE(result.modeRestored);
  }
}

// No cursor movement: every carriage return only ends a line (the
// terminal turns each newline into CR LF), and no escape sequence.
bool plainLines(const std::string& screen) {
  for (std::size_t i = 0; i < screen.size(); ++i)
    if (screen[i] == '\033' || (screen[i] == '\r' && (i + 1 == screen.size() || screen[i + 1] != '\n'))) return false;
  return true;
}

TEST_F(CliTerminalTest, ProgressGoesToStderrOnATerminalThatCanMoveItsCursorAndStdoutKeepsOnlyTheLines) {
  struct Case {
    const char* name;
    bool stdoutOnTerminal;
    bool stderrOnTerminal;
    const char* term;
    bool progress;
  };
  const Case cases[] = {
      {"stdout and stderr on the terminal", true, true, "xterm", true},
      {"stdout to a file", false, true, "xterm-256color", true},
      {"stderr to a file", true, false, "xterm", false},
      {"TERM=dumb", true, true, "dumb", false},
      {"TERM=dumb, stdout to a file", false, true, "dumb", false},
      {"no TERM", true, true, nullptr, false},
  };
  const std::string finding = "C:\\WINDOWS\\SCRSVR.EXE     W32/Opaserv.Worm deleted";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Wiring wiring;
    wiring.stdoutFile = test.stdoutOnTerminal ? nullptr : out;
    wiring.stderrFile = test.stderrOnTerminal ? nullptr : err;
    wiring.stderrOnTerminal = test.stderrOnTerminal;
    wiring.term = test.term;
    const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, "", "", 0, wiring);
    const std::string outText = readAll(out);
    const std::string errText = readAll(err);
    std::fclose(out);
    std::fclose(err);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errText, "");
    // The counts and the path, in place; the first path at once, and after
    // the finding the count of what was found.
    EXPECT_EQ(result.screen.find("\r0 scanned, 0 found: C:\\") != std::string::npos, test.progress);
    EXPECT_EQ(result.screen.find(" scanned, 1 found: C:\\") != std::string::npos, test.progress);
    if (!test.progress) {
      EXPECT_TRUE(plainLines(result.screen)) << testing::PrintToString(result.screen);
    }
    if (test.stdoutOnTerminal) {
      // A finding clears the progress first, then takes a line of its own.
      EXPECT_THAT(result.screen, HasSubstr((test.progress ? "\r\033[K" : "") + finding + "\r\n"));
      EXPECT_EQ(lastScreenLine(result.screen), "Scanning completed");
    } else {
      // The file holds the lines and nothing else; the terminal, no line,
      // and the progress cleared at the end.
      EXPECT_EQ(outText, finding + "\n" + statistics(kFiles, 1, 0, 1) + "Scanning completed\n");
      EXPECT_THAT(result.screen, Not(HasSubstr("W32/Opaserv")));
      EXPECT_EQ(lastScreenLine(result.screen), "");
    }
  }
}

// A second signal before the hives are written back quits with a line
// saying so; the log holds that line too.
TEST_F(CliTerminalTest, TheLineOfASecondSignalAndTheFooterEndTheLog) {
  volume.makeFolder("C:\\WINNT\\system32\\config");
  HiveBuilder("SOFTWARE")
      .text("Microsoft\\Windows\\CurrentVersion\\Run", "ScrSvr", "C:\\WINNT\\scrsvr.exe")
      .write(volume.hostPath("C:\\WINNT\\system32\\config\\SOFTWARE"));
  HiveBuilder("SYSTEM").dword("Select", "Current", 1).write(volume.hostPath("C:\\WINNT\\system32\\config\\SYSTEM"));
  TempVolume work;
  const std::string log = work.root() + "/scan.log";
  std::FILE* err = std::tmpfile();
  Wiring wiring;
  wiring.stderrFile = err;
  wiring.secondSignal = SIGTERM;
  const TerminalResult result =
      runOnTerminal({"--drive", driveArg('C'), "--windows-dir", "C:\\WINNT", "--log", log}, "\033", "", SIGINT, wiring);
  const std::string errText = readAll(err);
  std::fclose(err);
  const std::string line =
      "purgato-scan: quit before the registry hives were written back: what was reported removed from them is "
      "still there\n";
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(errText, line);
  const std::string text = fileText(log);
  const std::size_t at = text.rfind("\n" + line);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_THAT(text.substr(at + 1 + line.size()),
              MatchesRegex("=== run ended [0-9-]+T[0-9:]+\\.[0-9]{3}Z after [0-9]+\\.[0-9]{3} s, exit status 3\n\n"));
}

TEST_F(CliTerminalTest, EscAsksOnTheTerminalWhenStdoutGoesToAFile) {
  std::FILE* out = std::tmpfile();
  Wiring wiring;
  wiring.stdoutFile = out;
  wiring.stderrOnTerminal = true;
  const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, "\033y", "", 0, wiring);
  const std::string outText = readAll(out);
  std::fclose(out);
  EXPECT_EQ(result.status, 4);
  EXPECT_THAT(result.screen, HasSubstr("Terminate the Scan now? [y/N] y\r\n"));
  EXPECT_THAT(outText, Not(HasSubstr("Terminate")));
  EXPECT_THAT(outText, HasSubstr("Scanning statistics\t\t:\n"));
  EXPECT_THAT(outText, EndsWith("\nScanning terminated\n"));
  EXPECT_TRUE(result.modeRestored);
}

// --- Refusing the wrong target --------------------------------------------

namespace refusal {

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace refusal

TEST_F(CliTest, AFolderThatDoesNotLookLikeAWindowsVolumeIsRefusedForARealScanOnly) {
  struct Case {
    const char* name;
    std::function<void(TempVolume&)> setUp;
    std::vector<std::string> extra;
    int status;
  };
  const Case cases[] = {
      {"source checkouts", [](TempVolume&) {}, {}, 2},
      {"a Windows folder without its files", [](TempVolume& v) { v.makeFolder("C:\\WINDOWS\\Fonts"); }, {}, 2},
      {"windows\\WIN.INI", [](TempVolume& v) { v.writeFile("C:\\windows\\WIN.INI", std::string("[x]")); }, {}, 1},
      {"WINNT\\system32", [](TempVolume& v) { v.makeFolder("C:\\WinNT\\system32"); }, {}, 1},
      {"WINDOWS\\System", [](TempVolume& v) { v.makeFolder("C:\\WINDOWS\\System"); }, {}, 1},
      {"a boot file", [](TempVolume& v) { v.writeFile("C:\\IO.SYS", std::string("")); }, {}, 1},
      {"bootmgr", [](TempVolume& v) { v.writeFile("C:\\bootmgr", std::string("")); }, {}, 1},
      {"the --windows-dir folder", [](TempVolume& v) { v.makeFolder("C:\\OS\\SYSTEM32"); },
       {"--windows-dir", "C:\\OS"}, 1},
      {"--force", [](TempVolume&) {}, {"--force"}, 1},
      {"a dry run", [](TempVolume&) {}, {"--dry-run"}, 1},
      {"the file form", [](TempVolume&) {}, {"C:\\src\\a\\SCRSVR.EXE"}, 1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempVolume fresh;
    fresh.writeFile("C:\\src\\a\\SCRSVR.EXE", buildWormSample(0));
    fresh.writeFile("C:\\src\\b\\autoexec.bat", autoexecWithMarker(kAutoexecBody));
    test.setUp(fresh);
    const auto before = fresh.hashTree();
    std::vector<std::string> args = {"--drive", "C=" + fresh.drive('C')};
    args.insert(args.end(), test.extra.begin(), test.extra.end());
    How how;
    how.force = false;
    const Result result = run(args, how);
    EXPECT_EQ(result.status, test.status) << result.err;
    if (test.status == 2) {
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(linesOf(result.err).size(), 1u) << result.err;
      EXPECT_THAT(result.err, HasSubstr("does not look like a Windows volume"));
      EXPECT_THAT(result.err, HasSubstr("--force"));
      EXPECT_EQ(fresh.hashTree(), before);
    }
  }
}

// Needs root, for a mount namespace of its own with a read-only bind mount.
TEST_F(CliTest, AReadOnlyMountIsRefusedUpFrontAndADryRunGoesOn) {
  if (!runningAsRoot() || std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "needs root and unshare";
  writeSmallSystem();
  TempVolume mountPoint;
  const std::string target = mountPoint.drive('C');
  for (const bool dry : {false, true}) {
    SCOPED_TRACE(dry ? "dry run" : "real scan");
    const std::string out = mountPoint.root() + "/out", err = mountPoint.root() + "/err";
    const std::string command = "unshare -m sh -c " +
                                refusal::shellQuote("mount --bind -o ro " + refusal::shellQuote(volume.drive('C')) +
                                                    " " + refusal::shellQuote(target) + " && exec " + kProgram +
                                                    " --force --drive C=" + refusal::shellQuote(target) +
                                                    (dry ? " --dry-run" : "")) +
                                " >" + out + " 2>" + err;
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::FILE* e = std::fopen(err.c_str(), "rb");
    const std::string errText = e ? readAll(e) : "";
    if (e) std::fclose(e);
    if (dry) {
      EXPECT_EQ(status, 1) << errText;
    } else {
      EXPECT_EQ(status, 2);
      ASSERT_EQ(linesOf(errText).size(), 1u) << errText;
      EXPECT_THAT(errText, HasSubstr("mounted read-only"));
      EXPECT_THAT(errText, HasSubstr("Fast Startup"));
    }
  }
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
}

// --- The audit trail and the backups ---------------------------------------

// The values of one kind of record field, in order: a crude reading of the
// report's JSON Lines, enough for the flat string fields the test needs.
std::vector<std::string> fieldOf(const std::string& report, const std::string& record, const std::string& field) {
  std::vector<std::string> values;
  for (const std::string& line : linesOf(report)) {
    if (line.find("\"record\":\"" + record + "\"") == std::string::npos) continue;
    const std::size_t at = line.find("\"" + field + "\":\"");
    if (at == std::string::npos) {
      values.emplace_back();
      continue;
    }
    std::string value;
    for (std::size_t i = at + field.size() + 4; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\') ++i;
      value += line[i];
    }
    values.push_back(value);
  }
  return values;
}

TEST_F(CliTest, LogReportAndBackupOfARealScanAccountForEveryChangeAndUndoIt) {
  TempVolume original;
  const std::string c = volume.drive('C');
  ASSERT_EQ(std::system((std::string(PURGATO_MAKE_SAMPLES_PATH) + " '" + c + "' >/dev/null").c_str()), 0);
  ASSERT_EQ(std::system(("cp -a '" + c + "/.' '" + original.drive('C') + "/'").c_str()), 0);
  const auto before = volume.hashTree();
  TempVolume work;
  const std::string log = work.root() + "/scan.log", report = work.root() + "/scan.jsonl",
                    backup = work.root() + "/kept", out = work.root() + "/out";

  const Result result = run({"--drive", "C=" + c, "--log", log, "--report", report, "--backup", backup});
  ASSERT_EQ(result.status, 1) << result.err;
  std::FILE* saved = std::fopen(out.c_str(), "wb");
  std::fwrite(result.out.data(), 1, result.out.size(), saved);
  std::fclose(saved);

  // The log: a header, every line of stdout, a footer.
  std::vector<std::string> logLines = linesOf(fileText(log));
  while (!logLines.empty() && logLines.back().empty()) logLines.pop_back();  // runs are a blank line apart
  ASSERT_GT(logLines.size(), 8u);
  EXPECT_THAT(logLines[0], StartsWith("=== purgato-scan 1.5 run started 20"));
  EXPECT_THAT(fileText(log), HasSubstr("\nmode: real scan\n"));
  EXPECT_THAT(fileText(log), HasSubstr("\ndrive C: " + c + "\n"));
  EXPECT_THAT(fileText(log), HasSubstr(result.out));
  EXPECT_THAT(logLines.back(), ::testing::MatchesRegex("=== run ended .* after [0-9.]+ s, exit status 1"));

  // The report: every record valid, the totals those of the statistics block.
  const std::string check = std::string("python3 '") + PURGATO_SOURCE_DIR + "/tests/tools/check_report.py' '" +
                            PURGATO_SOURCE_DIR + "/docs/purgato-scan-report.schema.json' '" + report + "' '" + out + "'";
  EXPECT_EQ(std::system(check.c_str()), 0) << fileText(report);

  // Every deleted and cut file is kept as it was: put back, the volume is
  // the one before the scan.
  const std::string text = fileText(report);
  const std::vector<std::string> hostPaths = fieldOf(text, "finding", "host_path");
  const std::vector<std::string> backups = fieldOf(text, "finding", "backup");
  ASSERT_EQ(hostPaths.size(), 12u);
  ASSERT_EQ(backups.size(), hostPaths.size());
  EXPECT_NE(volume.hashTree(), before);
  for (std::size_t i = 0; i < backups.size(); ++i) {
    SCOPED_TRACE(hostPaths[i]);
    EXPECT_THAT(backups[i], ::testing::EndsWith(".purgato-kept"));
    ASSERT_EQ(std::system(("cp '" + backups[i] + "' '" + hostPaths[i] + "'").c_str()), 0);
  }
  EXPECT_EQ(volume.hashTree(), before);

  // A second run appends to the log and keeps its own backup set.
  const Result again = run({"--drive", "C=" + c, "--log", log, "--backup", backup, "--target", ""});
  EXPECT_EQ(again.status, 0);
  const std::string both = fileText(log);
  int headers = 0;
  for (const std::string& line : linesOf(both)) headers += line.rfind("=== purgato-scan 1.5 run started", 0) == 0;
  EXPECT_EQ(headers, 2);
  EXPECT_EQ(std::system(("test $(ls '" + backup + "' | wc -l) -eq 2").c_str()), 0);
}

// The registry's warnings (a 9x registry not cleaned offline, a hive
// missing) are lines of the run: in the log and, as notes, in the report;
// and a Run value of the offline hive is reported byte for byte.
TEST_F(CliTest, TheOfflineRegistrysWarningsAreLoggedAndReportedAndRunValuesKeepEveryByte) {
  struct Case {
    const char* name;
    std::function<void(TempVolume&)> setUp;
    int status;
    const char* warning;
  };
  const std::string multi("C:\\WINNT\\scrsvr.exe\0-q\0\0", 24);
  const Case cases[] = {
      {"Windows 9x", [](TempVolume& v) {
         v.writeFile("C:\\WINDOWS\\WIN.INI", std::string(kWinIniBody));
         v.writeFile("C:\\WINDOWS\\SYSTEM.DAT", std::string("9x registry"));
         v.writeFile("C:\\WINDOWS\\USER.DAT", std::string("9x user"));
       }, 0, "purgato-scan: C:\\WINDOWS holds a Windows 9x registry (SYSTEM.DAT, USER.DAT), which is not cleaned offline"},
      {"NT without its SYSTEM hive", [&multi](TempVolume& v) {
         v.writeFile("C:\\WINNT\\scrsvr.exe", buildWormSample(0));
         v.makeFolder("C:\\WINNT\\system32\\config");
         // A REG_MULTI_SZ: the UTF-16 of each byte, the zeros too.
         std::vector<std::uint8_t> wide;
         for (char c : multi) wide.insert(wide.end(), {static_cast<std::uint8_t>(c), 0});
         HiveBuilder software("SOFTWARE");
         software.value("Microsoft\\Windows\\CurrentVersion\\Run", "ScrSvr", kHiveRegMultiSz, wide);
         software.write(v.hostPath("C:\\WINNT\\system32\\config\\SOFTWARE"));
       }, 4, "purgato-scan: C:\\WINNT\\system32\\config\\SYSTEM: no such hive; the worm's services are not looked for"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempVolume fresh, work;
    test.setUp(fresh);
    const std::string log = work.root() + "/scan.log", report = work.root() + "/scan.jsonl";
    const Result result = run({"--drive", "C=" + fresh.drive('C'), "--log", log, "--report", report});
    EXPECT_EQ(result.status, test.status) << result.err;
    ASSERT_THAT(result.err, HasSubstr(std::string(test.warning)));
    // Every line of stdout and stderr is in the log.
    for (const std::string& line : linesOf(result.out + result.err)) EXPECT_THAT(fileText(log), HasSubstr(line + "\n"));
    const std::string text = fileText(report);
    std::string noteText;  // as a JSON string, without the program's name
    for (const char c : std::string(test.warning).substr(std::strlen("purgato-scan: ")))
      noteText += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_THAT(text, HasSubstr("{\"record\":\"note\",\"text\":\"" + noteText));
    const std::string out = work.root() + "/out", err = work.root() + "/err";
    for (const auto& file : {std::make_pair(out, result.out), std::make_pair(err, result.err)}) {
      std::FILE* saved = std::fopen(file.first.c_str(), "wb");
      std::fwrite(file.second.data(), 1, file.second.size(), saved);
      std::fclose(saved);
    }
    const std::string check = std::string("python3 '") + PURGATO_SOURCE_DIR + "/tests/tools/check_report.py' '" +
                              PURGATO_SOURCE_DIR + "/docs/purgato-scan-report.schema.json' '" + report + "' '" + out +
                              "' '" + err + "' >/dev/null";
    EXPECT_EQ(std::system(check.c_str()), 0) << text;
    if (test.status == 4) {
      std::string hex;
      char two[3];
      for (const unsigned char c : multi) {
        std::snprintf(two, sizeof two, "%02x", c);
        hex += two;
      }
      EXPECT_THAT(text, HasSubstr("\"value_name\":\"scrsvr\",\"value_type\":7,"
                                  "\"value_data\":\"C:\\\\WINNT\\\\scrsvr.exe\",\"value_hex\":\"" + hex + "\""));
    }
  }
}

TEST_F(CliTest, ALogOrReportThatCannotBeOpenedStopsTheScanBeforeAnyChange) {
  writeSmallSystem();
  const auto before = volume.hashTree();
  for (const char* option : {"--log", "--report"}) {
    SCOPED_TRACE(option);
    const Result result = run({"--drive", driveArg('C'), option, volume.root() + "/no/such/folder/file"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, HasSubstr(std::string(option) + ": cannot open"));
  }
  const Result full = run({"--drive", driveArg('C'), "--log", "/dev/full"});
  EXPECT_EQ(full.status, 2);
  EXPECT_THAT(full.err, HasSubstr("cannot write the log"));
  EXPECT_EQ(volume.hashTree(), before);
}

}  // namespace
}  // namespace purgato
