// The progress dialog's one scan: a cancel confirmed before the first tick
// ends it at once, and while it runs neither OK nor another tick can start
// anything of their own.
#include "app/scan_progress_logic.h"

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

using Lines = std::vector<std::string>;

constexpr HWnd kProgressWindow = 0x4711;
constexpr std::uint32_t kWormId = 100;
const char kWorm[] = "C:\\WINDOWS\\SCRSVR.EXE";

Lines emptyStatistics() {
  return {"Scanning statistics\t\t:", "Total files scanned\t\t:  0", "Total files infected\t\t:  0",
          "Total files disinfected\t:  0", "Total files deleted\t\t:  0"};
}

// A machine with a running worm, its Run value, a worm tail in win.ini and
// a few clean files: a scan that really runs changes all of it.
class ScanRunTest : public ::testing::Test {
 protected:
  ScanRunTest() {
    volume_.drive('C');
    volume_.writeFile(kWorm, buildWormSample(0));
    volume_.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail("[windows]\r\n"));
    for (int i = 0; i < 20; ++i) volume_.writeFile("C:\\Data\\f" + std::to_string(i) + ".txt", "clean");
    volume_.mapInto(os_);
    os_.setXP();
    os_.addProcess(kWormId, kWorm);
    os_.setValue(kHkeyLocalMachine, kRunKey, "scrsvr", kWorm);
    session_.progressWindow = kProgressWindow;
    std::strcpy(session_.targetPath, "C:");
    os_.attach(session_);
  }

  int timesSent(const std::string& line) const {
    const Lines lines = os_.logLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  TempVolume volume_;
  FakeOs os_;
  ScanSession session_;
};

TEST_F(ScanRunTest, ACancelConfirmedBeforeTheFirstTickEndsTheScanAtOnce) {
  const auto before = volume_.hashTree();
  ScanRun run(session_, os_);
  run.armed();
  run.cancelConfirmed();
  EXPECT_FALSE(run.okMayClose());  // the scan is still to come

  EXPECT_TRUE(run.start());

  EXPECT_EQ(os_.logLines(), emptyStatistics());
  EXPECT_EQ(os_.statusLines().back(), "Scanning terminated");
  EXPECT_EQ(session_.filesScanned, 0);
  EXPECT_EQ(volume_.hashTree(), before);
  EXPECT_TRUE(os_.terminated().empty());
  EXPECT_TRUE(os_.hasValue(kHkeyLocalMachine, kRunKey, "scrsvr"));
  EXPECT_TRUE(run.okMayClose());
}

TEST_F(ScanRunTest, AFlagLeftFromBeforeTheDialogIsClearedAndTheScanRuns) {
  session_.cancelRequested = true;
  ScanRun run(session_, os_);
  run.armed();

  EXPECT_TRUE(run.start());

  EXPECT_EQ(os_.statusLines().back(), "Scanning completed");
  EXPECT_FALSE(volume_.exists(kWorm));
  EXPECT_EQ(os_.terminated(), std::vector<std::uint32_t>{kWormId});
  EXPECT_FALSE(os_.hasValue(kHkeyLocalMachine, kRunKey, "scrsvr"));
  EXPECT_GT(session_.filesScanned, 20);
}

TEST_F(ScanRunTest, DuringTheScanOkAndAnotherTickDoNothingAndACancelStopsIt) {
  ScanRun run(session_, os_);
  EXPECT_TRUE(run.okMayClose());  // no timer: nothing is to come
  run.armed();
  EXPECT_FALSE(run.okMayClose());

  // What the dialog's handlers would be asked, nested in the walk of C:.
  struct Seen {
    bool running = false;
    bool okMayClose = true;
    bool nestedStart = true;
  } seen;
  bool asked = false;
  os_.onSend = [&](const FakeOs::Sent& sent) {
    if (asked || sent.message != kMsgStatus || sent.text.find("\\Data\\") == std::string::npos) return;
    asked = true;
    seen.running = run.running();
    seen.okMayClose = run.okMayClose();
    seen.nestedStart = run.start();
    run.cancelConfirmed();
  };

  EXPECT_TRUE(run.start());

  ASSERT_TRUE(asked);
  EXPECT_TRUE(seen.running);
  EXPECT_FALSE(seen.okMayClose);
  EXPECT_FALSE(seen.nestedStart);
  // One scan: one statistics block, ended by the cancel.
  EXPECT_EQ(timesSent("Scanning statistics\t\t:"), 1);
  EXPECT_EQ(os_.statusLines().back(), "Scanning terminated");
  EXPECT_LT(session_.filesScanned, 22);
  EXPECT_FALSE(run.running());
  EXPECT_TRUE(run.okMayClose());
  EXPECT_FALSE(run.start());
  EXPECT_EQ(timesSent("Scanning statistics\t\t:"), 1);
}

}  // namespace
}  // namespace purgato
