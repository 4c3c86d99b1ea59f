// The dry run's layer over the seam: a whole standard scan through it says
// exactly what a real scan of the same machine says, and changes nothing
// on disk, in the registry, among the processes or the services.
#include "cli/dry_run_os.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
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

bool changes(const std::string& event) {
  for (const char* kind : {"attrib:", "delete:", "chsize:", "terminate:", "regdelete-value:", "regdelete-key:",
                           "service-stop:"})
    if (event.rfind(kind, 0) == 0) return true;
  return false;
}

// A machine of the NT family with a bit of everything the scan handles: a
// running worm with its service, a read-only sample, the companion file,
// infected start-up files, the worm's Run values beside a clean program's.
struct Machine {
  TempVolume volume;
  FakeOs os;
  ScanSession session;

  explicit Machine(bool version2000) {
    volume.drive('C');
    volume.mapInto(os);
    if (version2000) os.setWin2000(); else os.setXP();
    os.setWindowsDirectory("C:\\WINDOWS");
    volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
    volume.writeFile("C:\\WINDOWS\\SYSTEM\\MSTASK.EXE", buildWormSample(1));
    ::chmod(volume.hostPath("C:\\WINDOWS\\SYSTEM\\MSTASK.EXE").c_str(), 0444);
    volume.writeFile("C:\\Program Files\\App\\x.exe", buildWormSample(8));
    volume.writeFile("C:\\WINDOWS\\SYSTEM\\NETSTAT.DAT", buildCompanionFile());
    volume.writeFile("C:\\WINDOWS\\WIN.INI", winIniWithWormTail("[windows]\r\n"));
    volume.writeFile("C:\\AUTOEXEC.BAT", autoexecWithMarker("@echo off\r\n"));
    volume.writeFile("C:\\WINDOWS\\igfxtray.exe", buildPe(PeImage{}));
    os.addProcess(100, "C:\\WINDOWS\\SCRSVR.EXE");
    os.addService("SCRSVR");
    os.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\SCRSVR\\Enum");
    for (const char* name : kFixedRunNameTable) os.setValue(kHkeyLocalMachine, kRunKey, name, "C:\\x.exe");
    os.setValue(kHkeyLocalMachine, kRunKey, "MSTASK", "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE");
    os.setValue(kHkeyLocalMachine, kRunKey, "igfxtray", "C:\\WINDOWS\\igfxtray.exe");
    session.progressWindow = kProgressWindow;
    std::strcpy(session.targetPath, "C:");
    os.attach(session);
  }
};

TEST(DryRun, SaysWhatARealScanSaysAndChangesNothing) {
  for (const bool version2000 : {false, true}) {
    SCOPED_TRACE(version2000 ? "Windows 2000" : "Windows XP");
    Machine real(version2000);
    runScan(real.session, real.os);

    Machine dry(version2000);
    const auto before = dry.volume.hashTree();
    const std::vector<std::string> runValues = dry.os.valueNames(kHkeyLocalMachine, kRunKey);
    DryRunOs layer(dry.os);
    runScan(dry.session, layer);

    EXPECT_EQ(dry.os.logLines(), real.os.logLines());
    EXPECT_EQ(dry.os.statusLines(), real.os.statusLines());
    EXPECT_EQ(dry.session.filesDeleted, real.session.filesDeleted);
    EXPECT_GT(real.session.filesDeleted, 3);

    EXPECT_EQ(dry.volume.hashTree(), before);
    struct stat st;
    ASSERT_EQ(::stat(dry.volume.hostPath("C:\\WINDOWS\\SYSTEM\\MSTASK.EXE").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(dry.os.valueNames(kHkeyLocalMachine, kRunKey), runValues);
    EXPECT_TRUE(dry.os.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\SCRSVR\\Enum"));
    EXPECT_EQ(dry.os.service("SCRSVR")->state, kServiceRunning);
    EXPECT_TRUE(dry.os.terminated().empty());
    for (const std::string& event : dry.os.events()) EXPECT_FALSE(changes(event)) << event;
    EXPECT_EQ(dry.os.liveFiles(), 0);
    EXPECT_EQ(dry.os.liveKeys(), 0);
    EXPECT_EQ(dry.os.liveServiceHandles(), 0);
  }
}

}  // namespace
}  // namespace purgato
