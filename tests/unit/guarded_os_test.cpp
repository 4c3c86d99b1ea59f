// The console scanner's guard over the seam: once stopped (its output was
// lost), a whole scan changes nothing more on disk, in the registry, among
// the processes or the services, and ends at its next pump.
#include "cli/guarded_os.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "scan/driver.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

constexpr HWnd kProgressWindow = 0x4711;
constexpr std::uint32_t kWormId = 1234;
const char kWorm[] = "C:\\WINDOWS\\SCRSVR.EXE";

bool changes(const std::string& event) {
  for (const char* kind : {"attrib:", "delete:", "delete-failed:", "chsize:", "terminate:", "terminate-failed:",
                           "regdelete-value:", "regdelete-key:", "service-stop:"})
    if (event.rfind(kind, 0) == 0) return true;
  return false;
}

// An XP machine with a little of everything the scan changes: a running
// worm that cannot be ended (so its service is stopped), Run values,
// service keys, worm files and a win.ini tail.
struct Machine {
  TempVolume volume;
  FakeOs os;
  ScanSession session;
  GuardedOs guarded{os};

  explicit Machine(int stopAtLine) {
    volume.writeFile(kWorm, buildWormSample(0));
    volume.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail("[windows]\r\n"));
    volume.writeFile("C:\\WINDOWS\\SYSTEM\\SCRSVR.DAT", buildCompanionFile());
    volume.writeFile("C:\\TEMP\\BRASIL.EXE", buildWormSample(1));
    volume.mapInto(os);
    os.setXP();
    session.progressWindow = kProgressWindow;
    copyText(session.targetPath, sizeof session.targetPath, "C:");
    os.attach(session);
    os.addProcess(kWormId, kWorm).canTerminate = false;
    os.addService("SCRSVR");
    os.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\SCRSVR");
    for (const char* name : {"scrsvr", "brasil", "cronos"}) os.setValue(kHkeyLocalMachine, kRunKey, name, "x.exe");
    int lines = 0;
    os.onSend = [this, stopAtLine, lines](const FakeOs::Sent& sent) mutable {
      if (sent.message == kMsgLogLine && !session.statisticsPhase && ++lines == stopAtLine) guarded.stop();
    };
  }
};

TEST(GuardedOsTest, OnceStoppedTheScanChangesNothingMoreAndEnds) {
  Machine unguarded(0);
  runScan(unguarded.session, unguarded.guarded);
  const std::vector<std::string> all = unguarded.os.events();
  int changed = 0;
  for (const std::string& e : all) changed += changes(e) ? 1 : 0;
  ASSERT_GE(unguarded.os.logLines().size(), 6u);  // the fixture does find and change things
  ASSERT_GT(changed, 5);
  EXPECT_FALSE(unguarded.os.hasValue(kHkeyLocalMachine, kRunKey, "brasil"));

  // Stopped at each finding line in turn: nothing changes after it.
  const std::size_t lines = unguarded.os.logLines().size() - 6;  // the statistics block
  for (std::size_t stopAt = 1; stopAt <= lines; ++stopAt) {
    SCOPED_TRACE("stopped at finding line " + std::to_string(stopAt));
    Machine m(static_cast<int>(stopAt));
    runScan(m.session, m.guarded);
    EXPECT_TRUE(m.guarded.stopped());
    EXPECT_TRUE(m.session.cancelRequested);
    EXPECT_STREQ(m.session.statusText, "Scanning terminated");
    std::size_t seenLines = 0;
    for (const std::string& e : m.os.events()) {
      if (e.rfind("log:", 0) == 0) ++seenLines;
      if (seenLines >= stopAt) {
        EXPECT_FALSE(changes(e)) << e;
      }
    }
  }
}

}  // namespace
}  // namespace purgato
