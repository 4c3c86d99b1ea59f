// purgato-scan run as a program on temporary volumes: its command line, its
// two forms, what it prints with and without a terminal, and its keys.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

extern char** environ;

namespace purgato {
namespace {

using ::testing::HasSubstr;
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

std::vector<char*> argvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kProgram));
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return argv;
}

// Runs the program with stdin from /dev/null and stdout/stderr to files:
// no terminal anywhere.
Result run(std::vector<std::string> args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
  posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
  std::vector<char*> argv = argvOf(args);
  pid_t pid = 0;
  Result result;
  if (posix_spawn(&pid, kProgram, &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
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

// --- The command line -----------------------------------------------------

TEST_F(CliTest, WrongCommandLinesGetOneLineAndStatus2AndTouchNothing) {
  volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
  volume.writeFile("C:\\NOTE.TXT", std::string("note"));
  const std::string c = driveArg('C');
  const std::string folder = volume.drive('C');
  struct Case {
    std::vector<std::string> args;
    const char* message;  // what the line must say
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
      {{"--drive", "C=" + folder + "/NOTE.TXT"}, "--drive C: no folder"},
      {{"--drive", c, "--drive", "c=" + folder}, "drive C is given twice"},
      {{}, "drive C is not mapped"},
      {{"--drive", driveArg('D')}, "drive C is not mapped"},
      {{"--drive", c, "--windows-dir"}, "--windows-dir needs a Windows path"},
      {{"--drive", c, "--windows-dir", "WINDOWS"}, "--windows-dir needs a Windows path"},
      {{"--drive", c, "--windows-dir", "E:\\WINDOWS"}, "--windows-dir: drive E is not mapped"},
      {{"--drive", c, "--windows-dir", "C:\\NOWHERE"}, "--windows-dir: no folder"},
      {{"--drive", c, "--target"}, "--target needs a value"},
      {{"--drive", c, "--target", "C:", "C:\\NOTE.TXT"}, "--target cannot be combined"},
      {{"--drive", c, "E:\\NOTE.TXT"}, "drive E is not mapped"},
      {{"--drive", c, "C:\\NOTE.TXT", "C:\\MISSING.TXT"}, "no such file 'C:\\MISSING.TXT'"},
      {{"--drive", c, "C:\\WINDOWS"}, "is a folder"},
      {{"--drive", c, "C:\\*.TXT"}, "wildcard"},
      {{"--drive", c, "C:NOTE.TXT"}, "is not a full path"},
      {{"--drive", c, volume.root()}, "is not inside a mapped drive's folder"},
      {{"--drive", c, folder}, "is a folder"},
  };
  const auto before = volume.hashTree();
  for (const Case& test : cases) {
    std::string shown;
    for (const std::string& arg : test.args) shown += " '" + arg + "'";
    SCOPED_TRACE("purgato-scan" + shown);
    const Result result = run(test.args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    ASSERT_EQ(linesOf(result.err).size(), 1u) << result.err;
    EXPECT_THAT(result.err, StartsWith("purgato-scan: "));
    EXPECT_THAT(result.err, HasSubstr(test.message));
  }
  EXPECT_EQ(volume.hashTree(), before);
}

TEST_F(CliTest, HelpDescribesBothFormsAndWarnsThatTheVolumeChanges) {
  for (const char* option : {"--help", "-h"}) {
    const Result result = run({"--drive", "A=nowhere", option});  // help wins over the rest
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (const char* text : {"Usage:", "--drive L=FOLDER", "--windows-dir", "--target", "FILE...", "CHANGES",
                             "deleted", "win.ini", "autoexec", "Exit status", "Esc", "Ctrl-C"})
      EXPECT_THAT(result.out, HasSubstr(text)) << option;
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
      {"any other text is the standard scan", {"--target", "whatever"}, 2, 1, false},
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

// --- On a terminal ----------------------------------------------------------

struct TerminalResult {
  int status = -1;
  std::string screen;  // everything written to the terminal
  bool modeRestored = false;
};

// Runs the program on a fresh pseudo-terminal (its controlling terminal,
// stdin and stdout), with `typed` already waiting as input; `onQuestion`
// is typed when the question appears.
TerminalResult runOnTerminal(std::vector<std::string> args, const std::string& typed,
                             const std::string& onQuestion = "") {
  TerminalResult result;
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
    dup2(slave, 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(master);
    execv(kProgram, argv.data());
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
    if (!asked && !onQuestion.empty() && result.screen.find("[y/N] ") != std::string::npos) {
      asked = true;
      if (write(master, onQuestion.data(), onQuestion.size()) < 0) break;
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
  EXPECT_EQ(result.status, 0);
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
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.screen, HasSubstr("Scanning statistics\t\t:"));
  EXPECT_EQ(lastScreenLine(result.screen), "Scanning terminated");
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_TRUE(result.modeRestored);
}

TEST_F(CliTerminalTest, StatusLineIsRedrawnInPlaceAndFindingsScrollAboveIt) {
  const TerminalResult result = runOnTerminal({"--drive", driveArg('C')}, "");
  EXPECT_EQ(result.status, 1);
  // The first path is drawn at once (later ones at most 20 times a second),
  // in place, cleared to the line's end.
  EXPECT_THAT(result.screen, HasSubstr("\rC:\\"));
  EXPECT_THAT(result.screen, HasSubstr("\033[K"));
  // A finding first clears the status line, then takes a line of its own.
  EXPECT_THAT(result.screen, HasSubstr("\r\033[KC:\\WINDOWS\\SCRSVR.EXE     W32/Opaserv.Worm deleted\r\n"));
  EXPECT_EQ(lastScreenLine(result.screen), "Scanning completed");
}

}  // namespace
}  // namespace purgato
