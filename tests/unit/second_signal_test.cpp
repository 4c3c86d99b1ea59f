// A second Ctrl-C quits at once: its exit status and stderr line say what
// the quit leaves on the disk, before the hives are written back, while
// they are, and after. Each case runs the console's handlers and the
// offline registry of a real volume in a child that the signal ends.
#include <signal.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/offline_registry_step.h"
#include "os/posix/posix_os.h"
#include "tests/support/hive_builder.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Step = OfflineRegistryOs::CommitStep;

const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";

struct Case {
  const char* what;
  int scanStatus;       // the status the scan worked out before the write-back
  bool secondBefore;    // both signals come before the write-back
  Step during;          // else: the step of the write-back they come at
  bool writeFails;      // the new SOFTWARE cannot be created
  int status;           // the status the quit must end with
  const char* stderrLine;
  bool written;         // the Run value is gone from the hive afterwards
};

// What the scanner does from the walk to the write-back, with signals
// raised as a user would send them; never returns.
[[noreturn]] void scanAndQuit(TempVolume& volume, const Case& c) {
  PosixOs os;
  volume.mapInto(os);
  os.setWindowsDirectory("C:\\WINNT");
  ScanSession session;
  session.progressWindow = 1;
  ScanOutcome outcome;
  Console console(session, outcome);
  console.attach(os);
  OfflineRegistry registry(os, RegistryMode::kAuto);
  registry.watchQuit(console);
  // The worm's Run value goes, in memory, with its line.
  cleanRunEntries(session, registry.base(), "C:\\WINNT\\x.exe");
  if (c.secondBefore) {
    ::raise(SIGINT);
    ::raise(SIGINT);
    std::_Exit(99);
  }
  const std::string software = volume.hostPath("C:\\WINNT\\system32\\config\\SOFTWARE");
  if (c.writeFails) ::raise(SIGINT);  // the first one ended the walk
  registry.setFaultHook([&](Step step, const std::string& hive) {
    if (step != c.during || hive != software) return false;
    if (c.writeFails) {
      ::mkdir((hive + ".purgato-new").c_str(), 0755);  // in the way, and not removable
    } else {
      ::raise(SIGINT);
    }
    ::raise(SIGTERM);
    return false;
  });
  registry.finish(console, c.scanStatus);
  std::_Exit(98);
}

TEST(SecondSignalDeathTest, TheQuitStatusAndLineSayWhatIsOnTheDisk) {
  const Case cases[] = {
      {"before the write-back: nothing is written", kExitIncomplete, true, Step::kCreatingNewFile, false, 3,
       "quit before the registry hives were written back: what was reported removed from them is still there",
       false},
      {"during a write-back that fails", kExitIncomplete, false, Step::kCreatingNewFile, true, 3,
       "changes not written: could not create .*; what was reported removed from it is still there", false},
      {"during the write-back of a complete scan", kExitFound, false, Step::kNewFileWritten, false, 1, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempVolume volume;
    volume.makeFolder("C:\\WINNT\\system32\\config");
    const std::string software = volume.hostPath("C:\\WINNT\\system32\\config\\SOFTWARE");
    HiveBuilder("SOFTWARE").text(kRun, "ScrSvr", "C:\\WINNT\\scrsvr.exe").write(software);
    HiveBuilder("SYSTEM").dword("Select", "Current", 1).write(volume.hostPath("C:\\WINNT\\system32\\config\\SYSTEM"));
    EXPECT_EXIT(scanAndQuit(volume, c), ::testing::ExitedWithCode(c.status), c.stderrLine);
    const std::vector<std::string> dump = dumpHive(software);
    EXPECT_EQ(std::none_of(dump.begin(), dump.end(),
                           [](const std::string& line) { return line.find("Run ScrSvr ") != std::string::npos; }),
              c.written);
  }
}

}  // namespace
}  // namespace purgato
