// The Run key held open across a scan: a file's check of the fixed worm
// names is skipped only while the key provably has not been written since
// a check that found none of them. Whatever the clock does, a worm value
// that appears between two files is gone, with its line, before the next
// file is opened.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "scan/driver.h"
#include "tests/support/fake_os.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;
constexpr const char* kRunLine = "System Registry     W32/Opaserv.Worm removed";
constexpr int kFiles = 12;

struct Scan {
  TempVolume volume;
  FakeOs os;
  ScanSession session;

  Scan() {
    volume.drive('C');
    volume.mapInto(os);
    for (int i = 0; i < kFiles; ++i) volume.writeFile("C:\\DATA\\f" + std::to_string(i) + ".txt", "clean");
    os.setValue(kHkeyLocalMachine, kRunKey, "igfxtray", "C:\\WINDOWS\\igfxtray.exe");
    session.progressWindow = 0x99;
    std::strcpy(session.targetPath, "C:");
    os.attach(session);
  }
  bool hasRunValue(const std::string& name) { return os.hasValue(kHkeyLocalMachine, kRunKey, name); }
};

TEST(RunKeyWatch, AValueWrittenBetweenTwoFilesGoesBeforeTheNextFileIsOpened) {
  constexpr std::uint64_t kMs = 10000;
  struct Case {
    const char* label;
    std::uint64_t tick, step;  // the clock: tick size, movement per reading
    bool win98;
    bool deleteKeyFirst;       // the Run key itself is deleted and made again
  } cases[] = {
      {"clock moving", 156250, 3 * kMs, false, false},
      // The value is stamped with the very time the last quiet check saw:
      // only the rule that the check must come after that time catches it.
      {"time standing still", 156250, 0, false, false},
      {"fine clock", 1, 1, false, false},
      {"9x: no last-write time", 156250, 3 * kMs, true, false},
      {"the key deleted and made again", 156250, 3 * kMs, false, true},
  };
  for (const Case& c : cases) {
    for (int at = 1; at < kFiles; at += 5) {
      SCOPED_TRACE(std::string(c.label) + ", written while file " + std::to_string(at) + " is open");
      Scan s;
      s.os.setClock(c.tick, c.step);
      if (c.win98) s.os.setWin98();
      int opens = 0;
      bool goneBeforeNextOpen = false;
      s.os.onOpen = [&](const char*, int) {
        ++opens;
        if (opens == at) {
          if (c.deleteKeyFirst) {
            s.os.regDeleteKey(kHkeyLocalMachine, kRunKey);
            s.os.createKey(kHkeyLocalMachine, kRunKey);
          }
          s.os.setValue(kHkeyLocalMachine, kRunKey, "brasil", "C:\\brasil.exe");
        }
        if (opens == at + 1) goneBeforeNextOpen = !s.hasRunValue("brasil");
      };
      runScan(s.session, s.os);
      EXPECT_EQ(opens, kFiles);
      EXPECT_TRUE(goneBeforeNextOpen);
      EXPECT_FALSE(s.hasRunValue("brasil"));
      EXPECT_EQ(s.hasRunValue("igfxtray"), !c.deleteKeyFirst);
      EXPECT_EQ(s.os.logLines().front(), kRunLine);
      EXPECT_EQ(s.os.liveKeys(), 0);
    }
  }
}

// While nothing is written, each file costs one last-write query of the
// held key instead of five opens, queries and closes.
TEST(RunKeyWatch, AQuietKeyCostsOneQueryPerFile) {
  Scan s;
  s.os.setClock(156250, 5 * 10000);
  runScan(s.session, s.os);
  EXPECT_EQ(s.session.filesScanned, kFiles);
  EXPECT_EQ(s.os.calls(Op::RegQueryInfoKey), kFiles);
  // One open of the Run key for the scan, beside the Startup folder's
  // lookup; the names are asked once, at the first file.
  EXPECT_LE(s.os.calls(Op::RegOpenKeyEx), 3);
  EXPECT_LE(s.os.calls(Op::RegQueryValueEx), 5 + 2);
  EXPECT_EQ(s.os.liveKeys(), 0);
}

// Without the scan's watch (a file handed to the scanner on its own) every
// name is asked by its own open, as before.
TEST(RunKeyWatch, OutsideAScanEachNameIsAskedOnItsOwn) {
  Scan s;
  s.os.setValue(kHkeyLocalMachine, kRunKey, "ScrSvr", "C:\\x.exe");
  EXPECT_EQ(cleanRunEntries(s.session, s.os, "C:\\DATA\\f0.txt"), 0);
  EXPECT_FALSE(s.hasRunValue("ScrSvr"));
  EXPECT_EQ(s.os.calls(Op::RegQueryInfoKey), 0);
  EXPECT_EQ(s.os.liveKeys(), 0);
}

}  // namespace
}  // namespace purgato
