// One whole standard scan over a drive of a few thousand files with the
// worm's files mixed in: exactly the worm's files go, the start-up files
// lose exactly their worm tails, and every other byte stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/signatures.h"
#include "scan/driver.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

constexpr HWnd kProgressWindow = 0x4711;

// "C:\\A\\B" -> "C/A/B", the key hashTree uses.
std::string treeKey(const std::string& windowsPath) {
  std::string key = windowsPath.substr(0, 1) + windowsPath.substr(2);
  std::replace(key.begin(), key.end(), '\\', '/');
  return key;
}

std::string lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

class WholeScanTest : public ::testing::Test {
 protected:
  WholeScanTest() {
    volume_.drive('C');
    volume_.mapInto(os_);
    session_.progressWindow = kProgressWindow;
    os_.attach(session_);
  }

  void add(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    volume_.writeFile(path, bytes);
    ++files_;
  }
  void addText(const std::string& path, const std::string& text) {
    volume_.writeFile(path, text);
    ++files_;
  }
  void addWorm(const std::string& path, const std::vector<std::uint8_t>& bytes, const std::string& name) {
    add(path, bytes);
    gone_.push_back(path);
    deletedLines_.push_back(path + "     " + name + " deleted");
  }

  TempVolume volume_;
  FakeOs os_;
  ScanSession session_;
  int files_ = 0;
  std::vector<std::string> gone_;
  std::vector<std::string> deletedLines_;
};

TEST_F(WholeScanTest, RemovesExactlyTheWormsFilesAndTailsAndNothingElse) {
  std::mt19937 rng(20021);  // fixed: the same tree every run
  std::uniform_int_distribution<int> byte(0, 255);
  const auto randomBytes = [&](std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(rng));
    return bytes;
  };

  // The clean bulk: small texts, random binaries, clean PE images and
  // near misses of every signature row.
  for (int set = 0; set < 30; ++set) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "C:\\Data\\Set%02d%s", set, set % 3 == 0 ? "\\Nested" : "");
    for (int i = 0; i < 100; ++i) {
      const std::string path = std::string(folder) + "\\f" + std::to_string(i);
      switch (i % 5) {
        case 0: addText(path + ".txt", "line " + std::to_string(i) + "\r\n"); break;
        case 1: add(path + ".bin", randomBytes(1 + rng() % 9000)); break;
        case 2: {
          PeImage image;
          image.entryPoint = 0x1000 + 0x10 * static_cast<std::uint32_t>(i);
          image.length = 0x800 + 0x40 * static_cast<std::uint32_t>(set);
          add(path + ".exe", buildPe(image));
          break;
        }
        case 3: add(path + ".dll", buildNearMiss((set + i) % kSignatureRows)); break;
        case 4: add(path + ".dat", randomBytes(1706)); break;  // the companion's length, not its patterns
      }
    }
  }
  addText("C:\\Program Files\\App\\readme.txt", "read me");
  add("C:\\Program Files\\App\\app.exe", buildPe(PeImage{}));
  addText("C:\\WINDOWS\\SYSTEM.INI", "[boot]\r\nshell=Explorer.exe\r\n");
  addText("C:\\Backup\\win.ini.old", "[windows]\r\nload=\r\nrun=\r\n" + std::string(60, ';') + "\r\n");
  addText("C:\\Backup\\autoexec.old", "@echo off\r\nprompt $p$g\r\n");

  // The worm's files, one of every row, in the places it likes and some it does not.
  const std::string places[] = {"C:\\WINDOWS\\SCRSVR.EXE",       "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE",
                                "C:\\Data\\Set04\\setup.exe",       "C:\\Data\\Set09\\Nested\\copy.exe",
                                "C:\\Program Files\\App\\x.exe", "C:\\Users\\Guest\\Desktop\\game.exe",
                                "C:\\brasil.exe",                "C:\\Data\\Set29\\cronos.exe",
                                "C:\\TEMP\\instit.exe"};
  for (int row = 0; row < kSignatureRows; ++row)
    addWorm(places[row], buildWormSample(row), signatureTable[row].name);
  addWorm("C:\\WINDOWS\\SYSTEM\\NETSTAT.DAT", buildCompanionFile(), "W32/Opaserv.Worm");

  const std::string winIniBody = "[windows]\r\nload=\r\nrun=\r\n[fonts]\r\n";
  const std::string autoexecBody = "@echo off\r\nset path=c:\\windows;c:\\windows\\command\r\n";
  addText("C:\\WINDOWS\\WIN.INI", winIniWithWormTail(winIniBody));
  addText("C:\\AUTOEXEC.BAT", autoexecWithMarker(autoexecBody));
  ASSERT_GT(files_, 3000);

  const auto before = volume_.hashTree();
  std::strcpy(session_.targetPath, "C:");

  EXPECT_EQ(runScan(session_, os_), 1);

  // Gone: the worm's files. Cut: the two start-up files. The rest: unchanged.
  auto expected = before;
  for (const std::string& path : gone_) {
    EXPECT_FALSE(volume_.exists(path)) << path;
    expected.erase(treeKey(path));
  }
  EXPECT_EQ(volume_.readText("C:\\WINDOWS\\WIN.INI"), winIniBody);
  EXPECT_EQ(volume_.readText("C:\\AUTOEXEC.BAT"), autoexecBody);
  const auto after = volume_.hashTree();
  for (const char* cut : {"C/WINDOWS/WIN.INI", "C/AUTOEXEC.BAT"}) {
    ASSERT_EQ(after.count(cut), 1u) << cut;
    expected[cut] = after.at(cut);
  }
  EXPECT_EQ(after, expected);

  const int worms = static_cast<int>(gone_.size());
  EXPECT_EQ(session_.filesScanned, files_);
  EXPECT_EQ(session_.filesInfected, worms + 2);
  EXPECT_EQ(session_.filesDisinfected, 2);
  EXPECT_EQ(session_.filesDeleted, worms);

  // The findings, in whatever order the disk lists them, then the block.
  std::vector<std::string> lines = os_.logLines();
  const std::vector<std::string> block = {" ",
                                          "Scanning statistics\t\t:",
                                          "Total files scanned\t\t:  " + std::to_string(files_),
                                          "Total files infected\t\t:  " + std::to_string(worms + 2),
                                          "Total files disinfected\t:  2",
                                          "Total files deleted\t\t:  " + std::to_string(worms)};
  ASSERT_GE(lines.size(), block.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(block.size()), lines.end()), block);
  lines.resize(lines.size() - block.size());
  std::vector<std::string> findings = deletedLines_;
  findings.push_back(lowered("C:\\WINDOWS\\WIN.INI") + "    W32/Opaserv.Worm entries removed");
  findings.push_back(lowered("C:\\AUTOEXEC.BAT") + "    W32/Opaserv.Worm entries removed");
  std::sort(lines.begin(), lines.end());
  std::sort(findings.begin(), findings.end());
  EXPECT_EQ(lines, findings);
  EXPECT_EQ(os_.statusLines().back(), "Scanning completed");
  EXPECT_EQ(os_.liveFiles(), 0);
  EXPECT_EQ(os_.liveSearches(), 0);
}

}  // namespace
}  // namespace purgato
