// What one scan walks, in which order, for each kind of target, and the
// statistics block that ends every scan.
#include "scan/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;
using Lines = std::vector<std::string>;

constexpr HWnd kProgressWindow = 0x4711;

Lines statistics(int scanned, int infected, int disinfected, int deleted) {
  Lines lines;
  if (infected > 0) lines.push_back(" ");
  lines.push_back("Scanning statistics\t\t:");
  lines.push_back("Total files scanned\t\t:  " + std::to_string(scanned));
  lines.push_back("Total files infected\t\t:  " + std::to_string(infected));
  lines.push_back("Total files disinfected\t:  " + std::to_string(disinfected));
  lines.push_back("Total files deleted\t\t:  " + std::to_string(deleted));
  return lines;
}

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() {
    volume_.drive('C');
    volume_.mapInto(os_);
    session_.progressWindow = kProgressWindow;
    os_.attach(session_);
    // Every search pattern, in order; the predicate never fails a call.
    os_.failWhen(Op::FindFirstFile, [this](const char* pattern) {
      patterns_.push_back(pattern);
      return false;
    });
  }

  int run(const char* target) {
    std::strcpy(session_.targetPath, target);
    return runScan(session_, os_);
  }
  void setStartup(const std::string& folder) {
    os_.setValue(kHkeyCurrentUser, kShellFoldersKey, "Startup", folder);
  }

  bool searched(const std::string& pattern) const {
    return std::find(patterns_.begin(), patterns_.end(), pattern) != patterns_.end();
  }
  // Position of the first search for pattern; patterns_.size() when none.
  std::size_t firstSearch(const std::string& pattern) const {
    return static_cast<std::size_t>(std::find(patterns_.begin(), patterns_.end(), pattern) - patterns_.begin());
  }
  int timesShown(const std::string& status) const {
    const Lines lines = os_.statusLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), status));
  }
  bool anyShownStartingWith(const std::string& prefix) const {
    for (const std::string& line : os_.statusLines())
      if (line.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }
  // The lines from the statistics block on.
  Lines statisticsLines() const {
    const Lines all = os_.logLines();
    auto start = std::find(all.begin(), all.end(), "Scanning statistics\t\t:");
    if (start != all.begin() && start != all.end() && *(start - 1) == " ") --start;
    return Lines(start, all.end());
  }

  TempVolume volume_;
  FakeOs os_;
  ScanSession session_;
  Lines patterns_;
};

// --- Statistics ---------------------------------------------------------------

TEST_F(DriverTest, EmptyTargetSendsOnlyTheStatisticsAndTouchesNothing) {
  volume_.writeFile("C:\\worm.exe", buildWormSample(0));
  volume_.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail("[windows]\r\n"));
  os_.setWin98();
  os_.addProcess(100, "C:\\worm.exe");
  os_.setValue(kHkeyLocalMachine, kRunKey, "scrsvr", "C:\\worm.exe");
  const auto before = volume_.hashTree();

  EXPECT_EQ(run(""), 1);

  EXPECT_EQ(os_.logLines(), statistics(0, 0, 0, 0));
  EXPECT_EQ(os_.statusLines(), Lines{"Scanning completed"});
  EXPECT_TRUE(session_.statisticsPhase);
  EXPECT_EQ(volume_.hashTree(), before);
  EXPECT_TRUE(patterns_.empty());
  EXPECT_EQ(os_.calls(Op::Open), 0);
  EXPECT_EQ(os_.calls(Op::RegOpenKeyEx), 0);
  EXPECT_EQ(os_.calls(Op::GetVersionEx), 0);
  EXPECT_EQ(os_.calls(Op::LoadLibrary), 0);
  EXPECT_TRUE(os_.terminated().empty());
}

TEST_F(DriverTest, StatisticsBlockFollowsTheCountersAndTheStoredSetting) {
  struct Case {
    int scanned, infected, disinfected, deleted, showDisinfected;
    Lines expected;
  };
  const Case cases[] = {
      {12, 0, 0, 0, 1, statistics(12, 0, 0, 0)},
      {12, 3, 1, 2, 1, statistics(12, 3, 1, 2)},  // the first infection brings the blank line
      {7, 1, 1, 0, 0,
       {" ", "Scanning statistics\t\t:", "Total files scanned\t\t:  7", "Total files infected\t\t:  1",
        "Total files deleted\t\t:  0"}},
      {7, 0, 0, 0, 2,
       {"Scanning statistics\t\t:", "Total files scanned\t\t:  7", "Total files infected\t\t:  0",
        "Total files deleted\t\t:  0"}},
  };
  for (const Case& c : cases) {
    FakeOs os;
    ScanSession session;
    session.progressWindow = kProgressWindow;
    os.attach(session);
    session.filesScanned = c.scanned;
    session.filesInfected = c.infected;
    session.filesDisinfected = c.disinfected;
    session.filesDeleted = c.deleted;
    session.showDisinfectedTotal = c.showDisinfected;

    EXPECT_EQ(runScan(session, os), 1);

    EXPECT_EQ(os.logLines(), c.expected) << c.infected << " / " << c.showDisinfected;
    EXPECT_EQ(os.statusLines(), Lines{"Scanning completed"});
  }
}

// --- Mode selection -------------------------------------------------------------

TEST_F(DriverTest, TargetTextOnlySelectsTheKindOfScan) {
  enum Mode { kNone, kAllDrives, kStandard };
  struct Case {
    const char* target;
    Mode mode;
  };
  const Case cases[] = {
      {"", kNone},       {"!:", kAllDrives}, {"C:", kStandard}, {"D:\\data", kStandard},
      {"!:\\", kStandard}, {"!", kStandard},   {" !:", kStandard},
  };
  for (const Case& c : cases) {
    TempVolume volume;
    FakeOs os;
    volume.writeFile("D:\\data\\d.txt", "d");
    volume.writeFile("C:\\c.txt", "c");
    volume.mapInto(os);
    ScanSession session;
    std::strcpy(session.targetPath, c.target);
    Lines patterns;
    os.failWhen(Op::FindFirstFile, [&](const char* p) {
      patterns.push_back(p);
      return false;
    });

    runScan(session, os);

    const auto has = [&](const char* p) { return std::find(patterns.begin(), patterns.end(), p) != patterns.end(); };
    EXPECT_EQ(has("C:\\*.*"), c.mode != kNone) << c.target;
    EXPECT_EQ(has("D:\\*.*"), c.mode == kAllDrives) << c.target;
    // Only the standard scan runs the process phase.
    EXPECT_EQ(os.calls(Op::GetVersionEx) > 0, c.mode == kStandard) << c.target;
    EXPECT_EQ(session.filesScanned, c.mode == kNone ? 0 : c.mode == kAllDrives ? 2 : 1) << c.target;
  }
}

// --- The standard scan ----------------------------------------------------------

TEST_F(DriverTest, StandardScanRunsItsStepsInOrder) {
  volume_.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
  volume_.writeFile("C:\\c.txt", "c");
  volume_.writeFile("C:\\PROGRAM FILES\\app.txt", "a");
  volume_.writeFile("D:\\Profiles\\Me\\Start Menu\\Programs\\StartUp\\run.lnk", "l");
  volume_.writeFile("D:\\WINNT\\notepad.exe", buildPe(PeImage{}));
  os_.setWindowsDirectory("D:\\WINNT");
  setStartup("D:\\Profiles\\Me\\Start Menu\\Programs\\StartUp");
  os_.setWin98();
  os_.addProcess(100, "C:\\WINDOWS\\SCRSVR.EXE");

  EXPECT_EQ(run("C:"), 1);

  const std::size_t process = firstSearch("C:\\WINDOWS\\SCRSVR.EXE");
  const std::size_t startup = firstSearch("d:\\profiles\\me\\start menu\\programs\\startup\\*.*");
  const std::size_t driveC = firstSearch("C:\\*.*");
  const std::size_t windows = firstSearch("d:\\winnt\\*.*");
  const std::size_t deferred = firstSearch("C:\\Program Files\\*.*");
  EXPECT_LT(process, startup);
  EXPECT_LT(startup, driveC);
  EXPECT_LT(driveC, windows);
  EXPECT_LT(windows, deferred);
  EXPECT_LT(deferred, patterns_.size());

  EXPECT_EQ(os_.terminated(), std::vector<std::uint32_t>{100});
  EXPECT_FALSE(volume_.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_EQ(timesShown("d:\\profiles\\me\\start menu\\programs\\startup\\run.lnk"), 1);
  EXPECT_EQ(timesShown("d:\\winnt\\notepad.exe"), 1);
  EXPECT_FALSE(session_.deferredPending);
  // c.txt, app.txt twice (once per spelling), run.lnk, notepad.exe; the
  // process image is not counted.
  EXPECT_EQ(session_.filesScanned, 5);
  EXPECT_EQ(statisticsLines(), statistics(5, 1, 0, 1));
  EXPECT_EQ(os_.statusLines().back(), "Scanning completed");
}

TEST_F(DriverTest, StartupFolderIsWalkedOnlyWhenItsPathSaysStartup) {
  struct Case {
    const char* what;
    std::string value;  // "" : no value
    const char* pattern;  // expected walk, nullptr: none
  };
  const std::string tooLong = "D:\\" + std::string(300, 's') + "\\Startup";
  const std::string noRoomForPattern = "D:\\" + std::string(245, 's') + "\\Startup";  // 256 characters
  const Case cases[] = {
      {"mixed case", "D:\\Menu\\StartUp", "d:\\menu\\startup\\*.*"},
      {"upper case", "D:\\MENU\\STARTUP", "d:\\menu\\startup\\*.*"},
      {"no such word", "D:\\Menu\\Autostart", nullptr},
      {"no value", "", nullptr},
      {"longer than the buffer", tooLong, nullptr},
      {"no room for the pattern", noRoomForPattern, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempVolume volume;
    FakeOs os;
    volume.writeFile("D:\\Menu\\StartUp\\run.lnk", "l");
    volume.writeFile("D:\\Menu\\Autostart\\run.lnk", "l");
    volume.drive('C');
    volume.mapInto(os);
    ScanSession session;
    std::strcpy(session.targetPath, "C:");
    os.createKey(kHkeyCurrentUser, kShellFoldersKey);
    if (!c.value.empty()) os.setValue(kHkeyCurrentUser, kShellFoldersKey, "Startup", c.value);
    Lines patterns;
    os.failWhen(Op::FindFirstFile, [&](const char* p) {
      patterns.push_back(p);
      return false;
    });

    runScan(session, os);

    // The first walk after the (empty) process phase is the Startup folder's, if any.
    ASSERT_FALSE(patterns.empty());
    if (c.pattern) {
      EXPECT_EQ(patterns.front(), c.pattern);
      EXPECT_EQ(session.filesScanned, 1);
    } else {
      EXPECT_EQ(patterns.front(), "C:\\*.*");
      EXPECT_EQ(session.filesScanned, 0);
    }
  }
}

TEST_F(DriverTest, WindowsFolderIsWalkedOnlyOffDriveC) {
  struct Case {
    const char* windows;
    const char* pattern;  // its own walk, nullptr: none
    int scanned;
  };
  const Case cases[] = {
      {"C:\\WINDOWS", nullptr, 1},  // walked with drive C, once
      {"C:\\Windows", nullptr, 1},
      {"c:\\windows", nullptr, 1},
      {"D:\\WINDOWS", "d:\\windows\\*.*", 2},
      {"D:\\WinNT", "d:\\winnt\\*.*", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windows);
    TempVolume volume;
    FakeOs os;
    volume.writeFile("C:\\WINDOWS\\SYSTEM.INI", "[boot]");
    volume.writeFile("D:\\WINDOWS\\WIN.INI", "[windows]");
    volume.writeFile("D:\\WinNT\\WIN.INI", "[windows]");
    volume.mapInto(os);
    os.setWindowsDirectory(c.windows);
    ScanSession session;
    session.progressWindow = kProgressWindow;
    os.attach(session);
    std::strcpy(session.targetPath, "C:");
    Lines patterns;
    os.failWhen(Op::FindFirstFile, [&](const char* p) {
      patterns.push_back(p);
      return false;
    });

    runScan(session, os);

    EXPECT_EQ(session.filesScanned, c.scanned);
    for (const std::string& p : patterns) EXPECT_NE(p.compare(0, 2, "D:"), 0) << p;  // never as written
    if (c.pattern) {
      EXPECT_NE(std::find(patterns.begin(), patterns.end(), c.pattern), patterns.end());
      // The folder as walked, lower case; the name as listed.
      const std::string shown = std::string(c.pattern, std::strlen(c.pattern) - 3) + "WIN.INI";
      const Lines statuses = os.statusLines();
      EXPECT_NE(std::find(statuses.begin(), statuses.end(), shown), statuses.end()) << shown;
    }
  }
}

TEST_F(DriverTest, AFailedWindowsFolderQueryWalksNothingExtra) {
  volume_.writeFile("C:\\c.txt", "c");
  os_.failOn(Op::GetWindowsDirectory, 1, true);

  run("C:");

  EXPECT_FALSE(searched("\\*.*"));
  EXPECT_EQ(session_.filesScanned, 1);
}

TEST_F(DriverTest, DeferredProgramFilesWalkCatchesOtherCapitals) {
  struct Case {
    const char* onDisk;  // nullptr: no such folder
    int exactShown;      // times C:\Program Files\app.txt is shown
    int scanned;
  };
  const Case cases[] = {
      {"Program Files", 1, 2},
      {"PROGRAM FILES", 1, 3},  // walked under both spellings, counted twice
      {"program files", 1, 3},
      {nullptr, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.onDisk ? c.onDisk : "absent");
    TempVolume volume;
    FakeOs os;
    volume.writeFile("C:\\c.txt", "c");
    if (c.onDisk) volume.writeFile(std::string("C:\\") + c.onDisk + "\\app.txt", "a");
    volume.mapInto(os);
    ScanSession session;
    session.progressWindow = kProgressWindow;
    os.attach(session);
    std::strcpy(session.targetPath, "C:");

    runScan(session, os);

    const Lines statuses = os.statusLines();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "C:\\Program Files\\app.txt"), c.exactShown);
    EXPECT_EQ(session.filesScanned, c.scanned);
  }
}

TEST_F(DriverTest, CancelDuringTheDriveWalkStillSendsTheFullStatistics) {
  volume_.writeFile("C:\\first\\worm.exe", buildWormSample(0));
  volume_.writeFile("C:\\first\\later\\f.txt", "f");
  volume_.writeFile("C:\\first\\later\\g.txt", "g");
  volume_.makeFolder("C:\\PROGRAM FILES");
  volume_.writeFile("D:\\WINDOWS\\WIN.INI", "[windows]");
  os_.setWindowsDirectory("D:\\WINDOWS");
  bool quit = false;
  os_.onSend = [&](const FakeOs::Sent& sent) {
    if (!quit && sent.message == kMsgStatus && sent.text.find("\\later\\") != std::string::npos &&
        sent.text.find(".txt") != std::string::npos) {
      Message m{};
      m.message = kWmQuit;
      os_.queueMessage(m);
      quit = true;
    }
  };

  EXPECT_EQ(run("C:"), 1);

  Lines expected = {"C:\\first\\worm.exe     W32/Opaserv.Worm deleted"};
  for (const std::string& line : statistics(2, 1, 0, 1)) expected.push_back(line);
  EXPECT_EQ(os_.logLines(), expected);
  EXPECT_EQ(os_.statusLines().back(), "Scanning terminated");
  EXPECT_FALSE(anyShownStartingWith("d:\\"));
  EXPECT_FALSE(anyShownStartingWith("C:\\Program Files\\"));
  EXPECT_TRUE(session_.statisticsPhase);
}

// --- All fixed drives -------------------------------------------------------------

TEST_F(DriverTest, AllFixedDrivesWalksEachFixedDriveInOrderWithItsDeferredCheck) {
  volume_.writeFile("C:\\PROGRAM FILES\\c.txt", "c");  // C's deferred walk
  volume_.writeFile("D:\\Program Files\\d.txt", "d");  // entered: no later drive gets one
  volume_.writeFile("E:\\PROGRAM FILES\\e.txt", "e");
  volume_.writeFile("F:\\f.txt", "f");
  volume_.writeFile("G:\\g.txt", "g");
  volume_.writeFile("A:\\a.txt", "a");
  os_.setDriveType('F', kDriveRemovable);
  os_.setDriveType('G', kDriveRemote);
  os_.setDriveType('A', kDriveFixed);
  // A running worm and a Startup folder, both off the walked drives: only
  // the standard scan would reach them.
  os_.setWin98();
  volume_.writeFile("F:\\SCRSVR.EXE", buildWormSample(0));
  os_.addProcess(100, "F:\\SCRSVR.EXE");
  volume_.writeFile("F:\\StartUp\\run.lnk", "l");
  setStartup("F:\\StartUp");

  EXPECT_EQ(run("!:"), 1);

  EXPECT_LT(firstSearch("C:\\*.*"), firstSearch("C:\\Program Files\\*.*"));
  EXPECT_LT(firstSearch("C:\\Program Files\\*.*"), firstSearch("D:\\*.*"));
  EXPECT_LT(firstSearch("D:\\*.*"), firstSearch("E:\\*.*"));
  EXPECT_LT(firstSearch("E:\\*.*"), patterns_.size());
  for (const char* never : {"A:\\*.*", "B:\\*.*", "F:\\*.*", "G:\\*.*", "E:\\Program Files\\*.*"})
    EXPECT_FALSE(searched(never)) << never;
  EXPECT_EQ(timesShown("C:\\Program Files\\c.txt"), 1);
  EXPECT_EQ(timesShown("D:\\Program Files\\d.txt"), 1);
  EXPECT_EQ(timesShown("E:\\PROGRAM FILES\\e.txt"), 1);
  EXPECT_TRUE(os_.terminated().empty());
  EXPECT_TRUE(volume_.exists("F:\\SCRSVR.EXE"));
  EXPECT_EQ(os_.calls(Op::LoadLibrary), 0);
  EXPECT_FALSE(searched("f:\\startup\\*.*"));
  // c.txt under both spellings, d.txt, e.txt.
  EXPECT_EQ(session_.filesScanned, 4);
}

}  // namespace
}  // namespace purgato
