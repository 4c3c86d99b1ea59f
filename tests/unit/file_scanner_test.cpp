// scanFile over real files in a temp volume: the PE walk and its bad
// inputs, every outcome of one call, the start-up file cut, the
// process-image modes, and the Run values tried for each file.
#include "engine/file_scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "engine/signatures.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

constexpr const char* kFamily = "W32/Opaserv.Worm";
constexpr const char* kRunLine = "System Registry     W32/Opaserv.Worm removed";
constexpr std::uint32_t kE = 0x80;  // e_lfanew of the built samples

// Host files written and read as they are named, without the volume's
// case folding: for twins whose names differ only in case.
void writeHostFile(const std::string& host, const std::string& text) {
  const std::string folder = host.substr(0, host.rfind('/'));
  ::mkdir(folder.c_str(), 0755);
  std::ofstream(host, std::ios::binary) << text;
}
std::string readHostFile(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ComputeEntryOffset, FollowsTheSectionTable) {
  struct Case {
    const char* label;
    std::uint32_t ep, sizeOfHeaders;
    std::vector<SectionHeader> sections;  // {VirtualSize, VirtualAddress, PointerToRawData}
    std::int32_t fileLength;
    std::uint32_t expected;
  } cases[] = {
      {"entry point in the first section", 0x1000, 0x400, {{0x2000, 0x1000, 0x400}}, 0x8000, 0x400},
      {"in the second section", 0x2100, 0x400, {{0x1000, 0x1000, 0x400}, {0x2000, 0x2000, 0x1400}}, 0x8000, 0x1500},
      {"first section in table order wins", 0x2100, 0x400,
       {{0x3000, 0x1000, 0x400}, {0x1000, 0x2000, 0x3000}}, 0x8000, 0x1500},
      {"in no section: the raw entry point", 0x5000, 0x400, {{0x1000, 0x1000, 0x400}}, 0x8000, 0x5000},
      {"no sections", 0x1234, 0x400, {}, 0x8000, 0x1234},
      {"offset at the end of the file: the raw entry point", 0x1000, 0x400, {{0x2000, 0x1000, 0x9000}}, 0x9000,
       0x1000},
      {"offset just inside the file", 0x1000, 0x400, {{0x2000, 0x1000, 0x9000}}, 0x9001, 0x9000},
      // A section above the entry point still qualifies; the difference
      // wraps to a huge unsigned value, which is not below the length.
      {"negative difference wraps", 0x500, 0x400, {{0x1000, 0x1000, 0x400}}, 0x8000, 0x500},
      // 0xFFFFF000 + 0x2000 wraps to 0x1000, which is not above 0x1800.
      {"section end wraps below the entry point", 0x1800, 0x400, {{0x2000, 0xFFFFF000, 0x200}}, 0x8000, 0x1800},
      {"section end wraps above the entry point", 0x800, 0x400, {{0x2000, 0xFFFFF000, 0x200}}, 0x8000, 0x1A00},
      {"zero entry point in no section: SizeOfHeaders", 0, 0x600, {}, 0x8000, 0x600},
      {"zero offset from a section: SizeOfHeaders", 0, 0x600, {{0x1000, 0, 0}}, 0x8000, 0x600},
      {"entry point past the end is kept", 0x50000, 0x400, {}, 0x8000, 0x50000},
      {"top bit set is kept", 0xFFFFFFFF, 0x400, {}, 0x8000, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<std::uint32_t>(computeEntryOffset(c.ep, c.sizeOfHeaders, c.sections.data(),
                                                            static_cast<int>(c.sections.size()), c.fileLength)),
              c.expected)
        << c.label;
  }
}

class ScanFileTest : public ::testing::Test {
 protected:
  ScanFileTest() {
    volume.drive('C');
    volume.drive('D');
    volume.mapInto(os);
    reset();
  }
  void TearDown() override {
    // The file is closed exactly once on every path.
    EXPECT_EQ(os.liveFiles(), 0);
    EXPECT_EQ(os.badCloses(), 0);
  }

  void reset() {
    session = ScanSession{};
    session.progressWindow = 0x77;
    os.attach(session);
  }

  int scan(const std::string& path) {
    char buffer[kPathSize];
    std::strcpy(buffer, path.c_str());
    return scanFile(session, os, kFamily, buffer);
  }

  void runValue(const std::string& name) { os.setValue(kHkeyLocalMachine, kRunKey, name, "C:\\x.exe"); }
  bool hasRunValue(const std::string& name) { return os.hasValue(kHkeyLocalMachine, kRunKey, name); }

  void expectCounters(int infected, int disinfected, int deleted) {
    EXPECT_EQ(session.filesInfected, infected);
    EXPECT_EQ(session.filesDisinfected, disinfected);
    EXPECT_EQ(session.filesDeleted, deleted);
  }

  TempVolume volume;
  FakeOs os;
  ScanSession session;
};

TEST_F(ScanFileTest, EveryRowIsDetectedUnderItsNameAndDeleted) {
  const char* const names[kSignatureRows] = {
      "W32/Opaserv.Worm",   "W32/Opaserv.E.Worm", "W32/Opaserv.E.Worm", "W32/Opaserv.A.Worm", "W32/Opaserv.A.Worm",
      "W32/Opaserv.B.Worm", "W32/Opaserv.D.Worm", "W32/Opaserv.H.Worm", "W32/Opaserv.K.Worm"};
  for (int row = 0; row < kSignatureRows; ++row) {
    SCOPED_TRACE("row " + std::to_string(row + 1));
    reset();
    const std::string path = "C:\\WINDOWS\\SYSTEM\\ROW" + std::to_string(row + 1) + ".EXE";
    volume.writeFile(path, buildWormSample(row));
    const std::size_t linesBefore = os.logLines().size();

    EXPECT_EQ(scan(path), 1);
    expectCounters(1, 0, 1);
    EXPECT_STREQ(session.detectedName, names[row]);
    EXPECT_EQ(session.statusText, path);
    EXPECT_EQ(session.chosenAction, kActionDelete);
    EXPECT_FALSE(volume.exists(path));
    const Lines lines = os.logLines();
    EXPECT_EQ(Lines(lines.begin() + linesBefore, lines.end()), Lines{path + "     " + names[row] + " deleted"});
  }
}

Bytes withPatternsOfRow1(PeImage image, std::int64_t entryOffset) {
  const SignatureRecord& r = signatureTable[0];
  image.length = 28672;
  image.patches.push_back({entryOffset + r.offset1, Bytes(r.pattern1, r.pattern1 + kPatternLength)});
  image.patches.push_back({entryOffset + r.offset2, Bytes(r.pattern2, r.pattern2 + kPatternLength)});
  return buildPe(image);
}

TEST_F(ScanFileTest, HeaderShapes) {
  const Bytes worm = buildWormSample(0);
  auto edited = [&](auto edit) {
    Bytes b = worm;
    edit(b);
    return b;
  };
  PeImage noSections;
  noSections.sections = {};
  noSections.entryPoint = 0x400;
  PeImage zeroEntry = noSections;
  zeroEntry.entryPoint = 0;
  zeroEntry.sizeOfHeaders = 0x600;
  PeImage offsetPastEnd;  // entry point in a section whose raw data lies past the end
  offsetPastEnd.entryPoint = 0x400;
  offsetPastEnd.sections = {{0x1000, 0x10000, 0x100000}};
  PeImage topBit = noSections;  // entry offset 0xFFFFFFFF counts as -1, as in 32 bits
  topBit.entryPoint = 0xFFFFFFFF;

  struct Case {
    const char* label;
    Bytes bytes;
    int expected;
  } cases[] = {
      {"sample", worm, 1},
      {"no DOS signature", edited([](Bytes& b) { b[0] = b[1] = 0; }), 1},
      {"20 sections", edited([](Bytes& b) { putLe16(b, kE + kPeNumberOfSections, 20); }), 1},
      {"21 sections", edited([](Bytes& b) { putLe16(b, kE + kPeNumberOfSections, 21); }), 0},
      {"65535 sections", edited([](Bytes& b) { putLe16(b, kE + kPeNumberOfSections, 0xFFFF); }), 0},
      {"no sections: the raw entry point", withPatternsOfRow1(noSections, 0x400), 1},
      {"zero entry point: SizeOfHeaders", withPatternsOfRow1(zeroEntry, 0x600), 1},
      {"offset past the end: the raw entry point", withPatternsOfRow1(offsetPastEnd, 0x400), 1},
      {"entry offset -1", withPatternsOfRow1(topBit, -1), 1},
      {"PE signature differs", edited([](Bytes& b) { b[kE + 3] = 1; }), 0},
      {"e_lfanew negative", edited([](Bytes& b) { putLe32(b, 60, 0xFFFFFFF0); }), 0},
      {"e_lfanew past the end", edited([](Bytes& b) { putLe32(b, 60, 28672); }), 0},
      {"e_lfanew at INT32_MAX", edited([](Bytes& b) { putLe32(b, 60, 0x7FFFFFFF); }), 0},
      {"empty file", {}, 0},
      {"63 bytes", Bytes(worm.begin(), worm.begin() + 63), 0},
      {"64 bytes", Bytes(worm.begin(), worm.begin() + 64), 0},
      {"file header cut", Bytes(worm.begin(), worm.begin() + kE + 4 + 19), 0},
      {"optional header cut", Bytes(worm.begin(), worm.begin() + kE + 24 + 95), 0},
      {"section table cut", Bytes(worm.begin(), worm.begin() + kE + kPeSectionTable + 39), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    const std::string path = "C:\\SHAPES\\SAMPLE.EXE";
    volume.writeFile(path, c.bytes);
    EXPECT_EQ(scan(path), c.expected);
    if (c.expected == 1) {
      expectCounters(1, 0, 1);
      EXPECT_FALSE(volume.exists(path));
    } else {
      expectCounters(0, 0, 0);
      EXPECT_EQ(volume.readFile(path), c.bytes);
    }
  }
  std::size_t detections = 0;
  for (const Case& c : cases) detections += c.expected;
  EXPECT_EQ(os.logLines().size(), detections);  // one "deleted" line each
}

TEST_F(ScanFileTest, StoppedPeFilesGetNoStartupCleaning) {
  // A PE file whose headers cannot be walked is not examined as a non-PE
  // file; one that fails the PE test is. The tail's text must not stop at
  // a zero byte of the image within the last 50 bytes.
  const std::string tail = "; [boot] shell=Explorer.exe\r\n" + winIniWormTail();
  auto pe = [&](auto edit) {
    Bytes b = buildPe(PeImage{});
    edit(b);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  struct Case {
    const char* label;
    Bytes bytes;
    bool cut;
  } cases[] = {
      {"21 sections", pe([](Bytes& b) { putLe16(b, kE + kPeNumberOfSections, 21); }), false},
      {"optional header cut", pe([](Bytes& b) { b.resize(kE + 24 + 40); }), false},
      {"section table cut", pe([](Bytes& b) { b.resize(kE + kPeSectionTable + 20); }), false},
      {"not PE", pe([](Bytes& b) { b[kE] = 'N'; }), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    volume.writeFile("C:\\WINDOWS\\WIN.INI", c.bytes);
    EXPECT_EQ(scan("C:\\WINDOWS\\WIN.INI"), 0);
    EXPECT_EQ(session.filesDisinfected, c.cut ? 1 : 0);
    EXPECT_EQ(volume.readFile("C:\\WINDOWS\\WIN.INI").size(), c.bytes.size() - (c.cut ? winIniWormTail().size() : 0));
  }
}

TEST_F(ScanFileTest, FileThatCannotBeOpenedOrMeasured) {
  const std::string path = "C:\\WINDOWS\\SYSTEM\\WORM.EXE";
  EXPECT_EQ(scan(path), 0);  // not there at all

  volume.writeFile(path, buildWormSample(0));
  os.failOn(FakeOs::Op::Open);
  EXPECT_EQ(scan(path), 0);
  os.failOn(FakeOs::Op::Lseek);  // the length
  EXPECT_EQ(scan(path), 0);

  expectCounters(0, 0, 0);
  EXPECT_TRUE(os.logLines().empty());
  EXPECT_TRUE(volume.exists(path));
}

TEST_F(ScanFileTest, AnyFailedSeekOrReadBeforeTheMatchMeansNoMatch) {
  // Fail the 1st, 2nd, ... call of each kind until the fault is no longer
  // reached: every earlier fault leaves the sample alone and untouched.
  const std::string path = "C:\\WINDOWS\\SYSTEM\\WORM.EXE";
  const Bytes worm = buildWormSample(0);
  for (FakeOs::Op op : {FakeOs::Op::Lseek, FakeOs::Op::Read}) {
    int nth = 1;
    for (; nth < 30; ++nth) {
      SCOPED_TRACE((op == FakeOs::Op::Lseek ? "lseek " : "read ") + std::to_string(nth));
      reset();
      volume.writeFile(path, worm);
      const int before = os.calls(op);
      os.failOn(op, nth);
      const int result = scan(path);
      os.clearFaults();
      if (os.calls(op) - before < nth) {
        EXPECT_EQ(result, 1);  // the fault was never reached
        break;
      }
      EXPECT_EQ(result, 0);
      expectCounters(0, 0, 0);
      EXPECT_EQ(volume.readFile(path), worm);
    }
    EXPECT_GT(nth, 5);  // the header reads were all covered
  }
  EXPECT_EQ(os.logLines().size(), 2u);  // the two final, unfaulted scans
}

TEST_F(ScanFileTest, ReadOnlyFileOfARunningProcessIsExamined) {
  // The file is only read: neither its read-only bit nor the process that
  // runs from it keeps the scanner out.
  const std::string path = "C:\\WINDOWS\\SYSTEM\\SCRSVR.EXE";
  volume.writeFile(path, buildWormSample(0));
  ASSERT_TRUE(os.setFileAttributes(path.c_str(), kAttrReadOnly | kAttrHidden | kAttrSystem));
  os.addProcess(0x1A4, path);
  session.processImageMode = true;
  EXPECT_EQ(scan(path), 1);
  EXPECT_TRUE(session.imageInfected);
}

TEST_F(ScanFileTest, ProcessImageIsOnlyRecorded) {
  const std::string path = "C:\\WINDOWS\\SYSTEM\\SCRSVR.EXE";
  const Bytes worm = buildWormSample(5);
  volume.writeFile(path, worm);
  session.processImageMode = true;

  EXPECT_EQ(scan(path), 1);
  EXPECT_TRUE(session.imageInfected);
  EXPECT_STREQ(session.detectedName, "W32/Opaserv.B.Worm");
  EXPECT_EQ(session.statusText, path);
  expectCounters(1, 0, 0);
  EXPECT_EQ(session.chosenAction, 0);
  EXPECT_EQ(volume.readFile(path), worm);
  EXPECT_TRUE(os.logLines().empty());
  EXPECT_EQ(os.calls(FakeOs::Op::DeleteFile), 0);
}

TEST_F(ScanFileTest, CompanionFileIsDeletedUnderTheFamilyName) {
  // Reported with the path as given, even where the path names a start-up file.
  for (const std::string path : {"C:\\Windows\\System\\FontCache.DAT", "C:\\WINDOWS\\WIN.INI"}) {
    SCOPED_TRACE(path);
    reset();
    volume.writeFile(path, buildCompanionFile());
    const std::size_t linesBefore = os.logLines().size();
    EXPECT_EQ(scan(path), 0);
    expectCounters(1, 0, 1);
    EXPECT_FALSE(volume.exists(path));
    const Lines lines = os.logLines();
    EXPECT_EQ(Lines(lines.begin() + linesBefore, lines.end()), Lines{path + "     W32/Opaserv.Worm deleted"});
  }
}

TEST_F(ScanFileTest, StartupFilesAreCutAndLoggedInLowerCase) {
  const std::string body = "[boot]\r\nshell=Explorer.exe\r\n";
  std::string markerAt51 = winIniWithWormTail(body);
  markerAt51 += std::string(51 - winIniWormTail().size() - 2, ';') + "\r\n";
  ASSERT_EQ(markerAt51[markerAt51.size() - 51], '[');
  struct Case {
    const char* path;
    std::string content;
    std::string expectedContent;  // "" when left alone
    const char* line;
  } cases[] = {
      {"C:\\WINDOWS\\WIN.INI", winIniWithWormTail(body), body, "c:\\windows\\win.ini"},
      {"D:\\BACKUP\\win.ini.old", winIniWithWormTail(body), body, "d:\\backup\\win.ini.old"},
      {"C:\\AUTOEXEC.BAT", autoexecWithMarker("@ECHO OFF\r\n"), "@ECHO OFF\r\n", "c:\\autoexec.bat"},
      {"D:\\Old\\AutoExec.Sav", autoexecWithMarker("PATH C:\\\r\n"), "PATH C:\\\r\n", "d:\\old\\autoexec.sav"},
      {"C:\\WINDOWS\\WIN.INI", body, "", nullptr},
      {"C:\\WINDOWS\\WIN.INI", markerAt51, "", nullptr},
      {"C:\\AUTOEXEC.BAT", "@ECHO OFF\r\nPATH C:\\WINDOWS\r\n", "", nullptr},
      // Both words: only the win.ini cut is tried, and it finds no section.
      {"C:\\AUTOEXEC\\WIN.INI", autoexecWithMarker(body), "", nullptr},
      {"C:\\NOTES\\README.TXT", winIniWithWormTail(body), "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.line ? " cut" : " left"));
    reset();
    volume.writeFile(c.path, c.content);
    const std::size_t linesBefore = os.logLines().size();
    EXPECT_EQ(scan(c.path), 0);
    const Lines lines = os.logLines();
    if (c.line) {
      expectCounters(1, 1, 0);
      EXPECT_EQ(volume.readText(c.path), c.expectedContent);
      EXPECT_EQ(Lines(lines.begin() + linesBefore, lines.end()),
                Lines{std::string(c.line) + "    W32/Opaserv.Worm entries removed"});
    } else {
      expectCounters(0, 0, 0);
      EXPECT_EQ(volume.readText(c.path), c.content);
      EXPECT_EQ(lines.size(), linesBefore);
    }
  }
}

// The cut reopens the file by the path the walk found, never by the
// lower-cased copy: on a volume that keeps letter case, that copy can name
// a clean twin.
TEST_F(ScanFileTest, CaseTwinsOnlyTheFileThatWasReadIsCut) {
  const std::string body = "[boot]\r\nshell=Explorer.exe\r\n";
  const std::string bigClean(12893, 'x');
  struct Case {
    const char* infected;  // host path under drive C
    std::string content, expected;
    const char* twin;  // clean host file of the same name in another case
    std::string twinContent;
    const char* scanned;
  } cases[] = {
      {"AUTOEXEC.BAT", autoexecWithMarker("@ECHO OFF\r\n"), "@ECHO OFF\r\n", "autoexec.bat", bigClean,
       "C:\\AUTOEXEC.BAT"},
      {"WINDOWS/WIN.INI", winIniWithWormTail(body), body, "windows/win.ini", "[boot]\r\n\r\n", "C:\\WINDOWS\\WIN.INI"},
      {"windows/win.ini", winIniWithWormTail(body), body, "WINDOWS/WIN.INI", "[boot]\r\n\r\n", "C:\\windows\\win.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scanned);
    TempVolume twins;
    FakeOs twinOs;
    twins.mapInto(twinOs);
    const std::string root = twins.drive('C');
    writeHostFile(root + "/" + c.infected, c.content);
    writeHostFile(root + "/" + c.twin, c.twinContent);
    ScanSession twinSession;
    twinSession.progressWindow = 0x77;
    twinOs.attach(twinSession);
    char path[kPathSize];
    std::strcpy(path, c.scanned);
    EXPECT_EQ(scanFile(twinSession, twinOs, kFamily, path), 0);
    EXPECT_EQ(readHostFile(root + "/" + c.infected), c.expected);
    EXPECT_EQ(readHostFile(root + "/" + c.twin), c.twinContent);
    EXPECT_EQ(twinSession.filesDisinfected, 1);
    EXPECT_EQ(twinOs.liveFiles(), 0);
  }
}

// Between the read and the cut the file can be saved over; the cut happens
// only when the length and the marker's place are still those first read.
TEST_F(ScanFileTest, AFileChangedBeforeTheCutIsLeftAlone) {
  const std::string body = "[boot]\r\nshell=Explorer.exe\r\n";
  const std::string infected = winIniWithWormTail(body);
  std::string markerMoved = infected;  // same length, the section one byte later
  markerMoved.insert(markerMoved.size() - winIniWormTail().size(), ";");
  markerMoved.pop_back();
  struct Case {
    const char* label;
    std::string savedBetween;  // "" when nothing changes
    std::string expected;
    bool cut;
  } cases[] = {
      {"unchanged", "", body, true},
      {"saved longer", infected + "[fonts]\r\n", infected + "[fonts]\r\n", false},
      {"saved shorter, clean", body, body, false},
      {"same length, marker moved", markerMoved, markerMoved, false},
  };
  const char* const kPath = "C:\\WINDOWS\\WIN.INI";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    volume.writeFile(kPath, infected);
    const std::size_t linesBefore = os.logLines().size();
    int opens = 0;
    os.onOpen = [&](const char*, int) {
      if (++opens == 2 && !c.savedBetween.empty()) volume.writeFile(kPath, c.savedBetween);
    };
    EXPECT_EQ(scan(kPath), 0);
    os.onOpen = nullptr;
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(volume.readText(kPath), c.expected);
    if (c.cut) {
      expectCounters(1, 1, 0);
      EXPECT_EQ(os.logLines().back(), "c:\\windows\\win.ini    W32/Opaserv.Worm entries removed");
    } else {
      expectCounters(0, 0, 0);
      EXPECT_EQ(os.logLines().size(), linesBefore);
    }
  }
}

// A read-only start-up file is made writable for the cut and read-only
// again after it; one that still cannot be cut is counted as infected and
// said to keep its entries.
TEST_F(ScanFileTest, ReadOnlyAndUncuttableStartupFiles) {
  const std::string body = "@ECHO OFF\r\n";
  const std::string infected = autoexecWithMarker(body);
  const char* const kPath = "C:\\AUTOEXEC.BAT";
  const std::string kStays = "c:\\autoexec.bat    W32/Opaserv.Worm entries could not be removed";
  struct Case {
    const char* label;
    bool readOnly;
    FakeOs::Op failing;  // kCount: nothing fails
    int nth;
    bool cut;
  } cases[] = {
      {"read-only, cut", true, FakeOs::Op::kCount, 0, true},
      {"read-only, attributes cannot be cleared", true, FakeOs::Op::SetFileAttributes, 1, false},
      {"read-only, reopen refused", true, FakeOs::Op::Open, 2, false},
      {"read-only, cut refused", true, FakeOs::Op::Chsize, 1, false},
      {"writable, reopen refused", false, FakeOs::Op::Open, 2, false},
      {"writable, cut refused", false, FakeOs::Op::Chsize, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    volume.writeFile(kPath, infected);
    const std::string host = volume.hostPath(kPath);
    ASSERT_EQ(::chmod(host.c_str(), c.readOnly ? 0444 : 0644), 0);
    if (c.failing != FakeOs::Op::kCount) os.failOn(c.failing, c.nth);
    EXPECT_EQ(scan(kPath), 0);
    os.clearFaults();
    EXPECT_EQ(volume.readText(kPath), c.cut ? body : infected);
    expectCounters(1, c.cut ? 1 : 0, 0);
    EXPECT_EQ(os.logLines().back(), c.cut ? "c:\\autoexec.bat    W32/Opaserv.Worm entries removed" : kStays);
    struct stat st;
    ASSERT_EQ(::stat(host.c_str(), &st), 0);
    EXPECT_EQ((st.st_mode & S_IWUSR) == 0, c.readOnly) << "attributes put back";
    ::chmod(host.c_str(), 0644);
  }
}

TEST_F(ScanFileTest, ProcessImageFollowUpDeletesWithoutScanning) {
  const std::string path = "C:\\WINDOWS\\SYSTEM\\SCRSVR.EXE";
  volume.writeFile(path, buildWormSample(0));
  runValue("scrsvr");
  runValue("SCRSVR");
  session.pendingImageAction = kActionDelete;
  session.filesInfected = 1;  // counted when the process phase found it

  EXPECT_EQ(scan(path), 0);
  EXPECT_EQ(os.calls(FakeOs::Op::Open), 0);
  EXPECT_EQ(os.calls(FakeOs::Op::RegOpenKeyEx), 0);
  EXPECT_TRUE(hasRunValue("scrsvr"));
  expectCounters(1, 0, 1);
  EXPECT_FALSE(volume.exists(path));
  Lines order;
  for (const std::string& e : os.events()) {
    if (e.rfind("log:", 0) == 0 || e.rfind("sleep:", 0) == 0 || e.rfind("delete", 0) == 0) order.push_back(e);
  }
  EXPECT_EQ(order, (Lines{"log:System Memory     W32/Opaserv.Worm removed", "sleep:1000", "delete:" + path,
                          "log:" + path + "     W32/Opaserv.Worm deleted"}));
}

TEST_F(ScanFileTest, PendingActionWithoutProgressWindowScansAsUsual) {
  const std::string path = "C:\\WINDOWS\\SYSTEM\\SCRSVR.EXE";
  volume.writeFile(path, buildNearMiss(0));
  runValue("scrsvr");
  session.progressWindow = 0;
  session.pendingImageAction = kActionDelete;

  EXPECT_EQ(scan(path), 0);
  EXPECT_TRUE(volume.exists(path));   // not handed to the deletion
  EXPECT_FALSE(hasRunValue("scrsvr"));  // the fixed names were tried
  EXPECT_TRUE(os.sleeps().empty());
}

TEST_F(ScanFileTest, RunValueNamedAfterTheFileGoesOnlyForWormFiles) {
  // The fixed worm names are tried for every file, before it is opened; the
  // file's own base name only once the file is known to be the worm's, so
  // a clean program's start-up entry survives.
  struct Case {
    const char* label;
    const char* path;
    Bytes bytes;
    bool processImage;
    const char* value;  // named after the file
    bool removed;
  } cases[] = {
      {"clean program", "C:\\Program Files\\Intel\\igfxtray.exe", buildNearMiss(0), false, "IgfxTray", false},
      {"missing file", "C:\\WINDOWS\\GONE.EXE", {}, false, "GONE", false},
      {"worm file", "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE", buildWormSample(7), false, "MSTASK", true},
      {"worm process image", "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE", buildWormSample(7), true, "mstask", true},
      {"companion file", "C:\\WINDOWS\\FONTS.DAT", buildCompanionFile(), false, "Fonts", true},
      {"cut win.ini", "C:\\WINDOWS\\WIN.INI", toBytes(winIniWithWormTail("[boot]\r\n")), false, "WIN", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    if (!c.bytes.empty()) volume.writeFile(c.path, c.bytes);
    session.processImageMode = c.processImage;
    runValue(c.value);
    runValue("ScrSvr");
    runValue("GustavVED");
    const std::size_t linesBefore = os.logLines().size();

    scan(c.path);
    EXPECT_FALSE(hasRunValue("scrsvr"));
    EXPECT_FALSE(hasRunValue("GustavVED"));
    EXPECT_EQ(hasRunValue(c.value), !c.removed);
    const Lines lines = os.logLines();
    const Lines mine(lines.begin() + linesBefore, lines.end());
    ASSERT_GE(mine.size(), 2u);
    EXPECT_EQ(mine[0], kRunLine);
    EXPECT_EQ(mine[1], kRunLine);
    const int runLines = static_cast<int>(std::count(mine.begin(), mine.end(), std::string(kRunLine)));
    EXPECT_EQ(runLines, c.removed ? 3 : 2);
    if (c.removed && !c.processImage) {
      // Removed before the file's own line.
      ASSERT_EQ(mine.size(), 4u);
      EXPECT_EQ(mine[2], kRunLine);
    }
  }
}

TEST_F(ScanFileTest, LookAlikesChangeNothing) {
  const std::string dir = "C:\\LOOK\\";
  std::vector<std::string> files;
  auto add = [&](const std::string& name, const Bytes& bytes) {
    volume.writeFile(dir + name, bytes);
    files.push_back(dir + name);
  };
  for (int row = 0; row < kSignatureRows; ++row) add("ROW" + std::to_string(row + 1) + ".EXE", buildNearMiss(row));
  std::string winIni = winIniWithWormTail("[boot]\r\n");
  winIni += std::string(51 - winIniWormTail().size() - 2, ';') + "\r\n";
  add("WIN.INI", toBytes(winIni));
  add("AUTOEXEC.BAT", toBytes("@ECHO OFF\r\nPATH C:\\WINDOWS;C:\\WINDOWS\\COMMAND\r\n"));
  Bytes longCompanion = buildCompanionFile();
  longCompanion.push_back(0);
  add("FONT.DAT", longCompanion);
  Bytes halfCompanion = buildCompanionFile();
  halfCompanion[1436] ^= 0xFF;
  add("HALF.DAT", halfCompanion);
  Bytes manySections = buildWormSample(0);
  putLe16(manySections, kE + kPeNumberOfSections, 21);
  add("MANY.EXE", manySections);
  Bytes longH = buildWormSample(7, 1);
  add("HPLUS1.EXE", longH);
  for (const std::string& f : files) {
    const std::size_t slash = f.rfind('\\'), dot = f.rfind('.');
    runValue(f.substr(slash + 1, dot - slash - 1));
  }
  runValue("IgfxTray");
  const auto valuesBefore = os.valueNames(kHkeyLocalMachine, kRunKey);
  const auto before = volume.hashTree();

  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    EXPECT_EQ(scan(f), 0);
  }
  EXPECT_EQ(volume.hashTree(), before);
  EXPECT_EQ(os.valueNames(kHkeyLocalMachine, kRunKey), valuesBefore);
  expectCounters(0, 0, 0);
  EXPECT_TRUE(os.logLines().empty());
  EXPECT_EQ(os.calls(FakeOs::Op::DeleteFile), 0);
  EXPECT_EQ(os.calls(FakeOs::Op::Chsize), 0);
}

}  // namespace
}  // namespace purgato
