// The process phase on every Windows family the double can play: a worm
// process that ends, one that does not (and, on NT 4 and 2000 / XP, the
// service fallback), and the ways the listing itself can fail.
#include "scan/process_phase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;

constexpr HWnd kProgressWindow = 0x4711;
constexpr std::uint32_t kExplorerId = 8;
constexpr std::uint32_t kWormId = 100;
const std::string kExplorer = "C:\\WINDOWS\\EXPLORER.EXE";
const std::string kWorm = "C:\\WINDOWS\\SCRSVR.EXE";
const std::string kRemovedLine = "System Memory     W32/Opaserv.Worm removed";
const std::string kDeletedLine = kWorm + "     W32/Opaserv.Worm deleted";
const std::string kAtRestartLine = kWorm + "     W32/Opaserv.Worm will be deleted when Windows restarts";

const std::vector<std::string> kServiceKeys = {
    "SYSTEM\\ControlSet001\\Services\\SCRSVR\\Enum", "SYSTEM\\ControlSet001\\Services\\SCRSVR\\Security",
    "SYSTEM\\ControlSet001\\Services\\SCRSVR",       "SYSTEM\\ControlSet002\\Services\\SCRSVR\\Enum",
    "SYSTEM\\ControlSet002\\Services\\SCRSVR\\Security", "SYSTEM\\ControlSet002\\Services\\SCRSVR",
};

struct Family {
  const char* name;
  void (FakeOs::*set)();
};
const Family kFamilies[] = {
    {"Windows 98", &FakeOs::setWin98}, {"NT 4", &FakeOs::setNT4}, {"Windows 2000", &FakeOs::setWin2000},
    {"XP", &FakeOs::setXP},            {"Vista", &FakeOs::setVista},
};

// One machine: a clean Explorer and a running worm, both on disk.
struct Machine {
  TempVolume volume;
  FakeOs os;
  ScanSession session;
  FakeOs::FakeProcess* worm = nullptr;

  explicit Machine(void (FakeOs::*family)(), const std::string& wormPath = kWorm) {
    volume.writeFile(kExplorer, buildPe(PeImage{}));
    volume.writeFile(wormPath, buildWormSample(0));
    volume.mapInto(os);
    (os.*family)();
    session.progressWindow = kProgressWindow;
    os.attach(session);
    os.addProcess(kExplorerId, kExplorer);
    worm = &os.addProcess(kWormId, wormPath);
  }

  FakeOs::FakeService& addWormService() {
    for (const std::string& key : kServiceKeys) os.createKey(kHkeyLocalMachine, key);
    return os.addService("SCRSVR");
  }
  bool anyServiceKeyLeft() const {
    return std::any_of(kServiceKeys.begin(), kServiceKeys.end(),
                       [&](const std::string& key) { return os.hasKey(kHkeyLocalMachine, key); });
  }
  // Stopping the service ends its process; the double does not link the two.
  void serviceStopEndsTheProcess() {
    os.onSend = [this](const FakeOs::Sent& sent) {
      if (sent.text == kRemovedLine) worm->running = false;
    };
  }
  int terminateOpens(std::uint32_t id) const {
    int n = 0;
    for (const FakeOs::ProcessOpen& open : os.processOpens())
      if (open.id == id && open.access == 0x0401) ++n;
    return n;
  }
  std::size_t eventIndex(const std::string& event) const {
    const auto events = os.events();
    return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
  }
  void run() { killWormProcesses(session, os); }
};

TEST(ProcessPhaseTest, AWormProcessThatEndsIsEndedAndItsFileDeletedOnEveryFamily) {
  for (const Family& family : kFamilies) {
    SCOPED_TRACE(family.name);
    Machine m(family.set);

    m.run();

    EXPECT_EQ(m.os.logLines(), (std::vector<std::string>{kRemovedLine, kDeletedLine}));
    EXPECT_EQ(m.os.terminated(), std::vector<std::uint32_t>{kWormId});
    EXPECT_EQ(m.terminateOpens(kWormId), 1);
    // Ended first, then reported, then the wait, then deleted.
    EXPECT_LT(m.eventIndex("terminate:100"), m.eventIndex("log:" + kRemovedLine));
    EXPECT_LT(m.eventIndex("log:" + kRemovedLine), m.eventIndex("sleep:1000"));
    EXPECT_LT(m.eventIndex("sleep:1000"), m.eventIndex("delete:" + kWorm));
    EXPECT_FALSE(m.volume.exists(kWorm));
    EXPECT_TRUE(m.volume.exists(kExplorer));
    EXPECT_TRUE(m.os.process(kExplorerId)->running);
    EXPECT_EQ(m.session.filesInfected, 1);
    EXPECT_EQ(m.session.filesScanned, 0);
    EXPECT_EQ(m.session.filesDeleted, 1);
    EXPECT_FALSE(m.session.processImageMode);
    EXPECT_EQ(m.session.pendingImageAction, 0);
    EXPECT_EQ(m.os.liveHandles(), 0);
    EXPECT_EQ(m.os.liveSearches(), 0);
    EXPECT_EQ(m.os.liveFiles(), 0);
  }
}

TEST(ProcessPhaseTest, On9xAWormProcessThatWillNotEndIsDeletedAtTheRestart) {
  Machine m(&FakeOs::setWin98);
  m.worm->canTerminate = false;

  m.run();

  EXPECT_EQ(m.os.logLines(), (std::vector<std::string>{kRemovedLine, kAtRestartLine}));
  EXPECT_TRUE(m.volume.exists(kWorm));
  EXPECT_EQ(m.volume.readText("C:\\WINDOWS\\WININIT.INI"), "[rename]\r\nNUL=" + kWorm + "\r\n");
  EXPECT_EQ(m.session.filesInfected, 1);
  EXPECT_EQ(m.session.filesDeleted, 1);
  EXPECT_EQ(m.os.calls(Op::OpenSCManager), 0);
  EXPECT_EQ(m.os.liveHandles(), 0);
}

TEST(ProcessPhaseTest, OnNT4And2000AWormThatWillNotEndIsStoppedAsAServiceAndDeleted) {
  for (const Family& family : {kFamilies[1], kFamilies[2], kFamilies[3]}) {
    SCOPED_TRACE(family.name);
    Machine m(family.set);
    m.worm->canTerminate = false;
    m.addWormService();
    m.serviceStopEndsTheProcess();

    m.run();

    // Two tries with fresh handles before the service fallback.
    EXPECT_EQ(m.terminateOpens(kWormId), 2);
    EXPECT_EQ(m.os.service("SCRSVR")->state, kServiceStopped);
    EXPECT_FALSE(m.anyServiceKeyLeft());
    EXPECT_EQ(m.os.logLines(), (std::vector<std::string>{kRemovedLine, kDeletedLine}));
    EXPECT_FALSE(m.volume.exists(kWorm));
    EXPECT_EQ(m.session.filesInfected, 1);
    EXPECT_EQ(m.session.filesScanned, 0);
    EXPECT_EQ(m.os.liveHandles(), 0);
    EXPECT_EQ(m.os.liveServiceHandles(), 0);
  }
}

TEST(ProcessPhaseTest, AServiceThatRefusesToStopLosesItsKeysButKeepsItsFile) {
  for (const Family& family : {kFamilies[1], kFamilies[3]}) {
    SCOPED_TRACE(family.name);
    Machine m(family.set);
    m.worm->canTerminate = false;
    m.addWormService().refusesStop = true;

    m.run();

    EXPECT_FALSE(m.anyServiceKeyLeft());
    EXPECT_TRUE(m.os.logLines().empty());  // no follow-up walk
    EXPECT_TRUE(m.volume.exists(kWorm));
    EXPECT_EQ(m.session.filesInfected, 1);
    EXPECT_EQ(m.session.filesDeleted, 0);
  }
}

TEST(ProcessPhaseTest, OnVistaAndLaterAWormThatWillNotEndIsLeftAlone) {
  Machine m(&FakeOs::setVista);
  m.worm->canTerminate = false;
  m.addWormService();

  m.run();

  EXPECT_EQ(m.terminateOpens(kWormId), 2);
  EXPECT_EQ(m.os.calls(Op::OpenSCManager), 0);
  EXPECT_EQ(m.os.service("SCRSVR")->state, kServiceRunning);
  for (const std::string& key : kServiceKeys) EXPECT_TRUE(m.os.hasKey(kHkeyLocalMachine, key)) << key;
  EXPECT_TRUE(m.os.logLines().empty());
  EXPECT_TRUE(m.volume.exists(kWorm));
  EXPECT_EQ(m.session.filesInfected, 1);
}

TEST(ProcessPhaseTest, OnNTTheSecondTerminateAttemptCanSucceed) {
  Machine m(&FakeOs::setXP);
  m.addWormService();
  m.os.failOn(Op::TerminateProcess, 1);  // the worm's first attempt

  m.run();

  EXPECT_EQ(m.terminateOpens(kWormId), 2);
  EXPECT_EQ(m.os.terminated(), std::vector<std::uint32_t>{kWormId});
  EXPECT_EQ(m.os.calls(Op::OpenSCManager), 0);
  for (const std::string& key : kServiceKeys) EXPECT_TRUE(m.os.hasKey(kHkeyLocalMachine, key)) << key;
  EXPECT_EQ(m.os.logLines(), (std::vector<std::string>{kRemovedLine, kDeletedLine}));
  EXPECT_EQ(m.os.liveHandles(), 0);
}

TEST(ProcessPhaseTest, ServiceNameIsTheFileNameCutAtItsLastDot) {
  struct Case {
    std::string path;
    std::string service;
  };
  const Case cases[] = {
      {"C:\\WINNT\\SYSTEM32\\scrsvr.exe", "scrsvr"},
      {"C:\\WINNT\\SYSTEM32\\my.svc.exe", "my.svc"},
      {"C:\\WINNT\\SYSTEM32\\NODOT", "NODOT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Machine m(&FakeOs::setWin2000, c.path);
    m.worm->canTerminate = false;
    m.os.addService(c.service);
    const std::string key = "SYSTEM\\ControlSet001\\Services\\" + c.service;
    m.os.createKey(kHkeyLocalMachine, key);

    m.run();

    EXPECT_EQ(m.os.service(c.service)->state, kServiceStopped);
    EXPECT_FALSE(m.os.hasKey(kHkeyLocalMachine, key));
  }
}

TEST(ProcessPhaseTest, AnExecutableWithoutAFileNameGetsNoServiceTreatment) {
  // Cut at its dot, ".exe" leaves no name: the key paths would name the
  // Services key itself.
  Machine m(&FakeOs::setWin2000, "C:\\WINNT\\.exe");
  m.worm->canTerminate = false;
  m.os.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services");

  m.run();

  EXPECT_EQ(m.session.filesInfected, 1);
  EXPECT_EQ(m.os.calls(Op::OpenSCManager), 0);
  EXPECT_EQ(m.os.calls(Op::RegDeleteKey), 0);
  EXPECT_TRUE(m.volume.exists("C:\\WINNT\\.exe"));
}

TEST(ProcessPhaseTest, AnUnreadableExecutableIsPassedOverWithoutAWalk) {
  for (const Family& family : {kFamilies[0], kFamilies[3]}) {
    SCOPED_TRACE(family.name);
    Machine m(family.set);
    m.os.failWhen(Op::Access, [](const char* path) { return kWorm == path; });

    m.run();

    const auto statuses = m.os.statusLines();
    EXPECT_EQ(statuses, std::vector<std::string>{kExplorer});
    EXPECT_TRUE(m.os.terminated().empty());
    EXPECT_TRUE(m.volume.exists(kWorm));
    EXPECT_EQ(m.session.filesInfected, 0);
  }
}

TEST(ProcessPhaseTest, CleanProcessesAreScannedAndLeftRunning) {
  for (const Family& family : kFamilies) {
    SCOPED_TRACE(family.name);
    Machine m(family.set);
    m.volume.writeFile(kWorm, buildNearMiss(0));

    m.run();

    EXPECT_EQ(m.os.statusLines(), (std::vector<std::string>{kExplorer, kWorm}));
    EXPECT_TRUE(m.os.terminated().empty());
    EXPECT_TRUE(m.os.logLines().empty());
    EXPECT_EQ(m.session.filesInfected, 0);
    EXPECT_EQ(m.os.liveHandles(), 0);
  }
}

TEST(ProcessPhaseTest, AListingThatCannotBeCompletedHandlesNoProcess) {
  struct Case {
    const char* what;
    void (FakeOs::*family)();
    std::function<void(Machine&)> fault;
    bool nothingListed;  // else only the worm is missing from the list
  };
  const Case cases[] = {
      {"no Kernel32.dll", &FakeOs::setWin98, [](Machine& m) { m.os.removeLibrary("Kernel32.dll"); }, true},
      {"no snapshot", &FakeOs::setWin98, [](Machine& m) { m.os.failOn(Op::CreateToolhelp32Snapshot); }, true},
      {"Process32First fails", &FakeOs::setWin98, [](Machine& m) { m.os.failOn(Op::Process32First); }, true},
      {"no Process32Next", &FakeOs::setWin98, [](Machine& m) { m.os.removeProc("Process32Next"); }, true},
      // Lookups: the snapshot, Process32First, Process32Next (gives the worm),
      // Process32Next again: that one fails with two nodes listed.
      {"Process32Next lookup fails mid-list", &FakeOs::setWin98,
       [](Machine& m) { m.os.failOn(Op::GetProcAddress, 4); }, true},
      {"no psapi.dll", &FakeOs::setXP, [](Machine& m) { m.os.removeLibrary("psapi.dll"); }, true},
      {"no EnumProcesses", &FakeOs::setXP, [](Machine& m) { m.os.removeProc("EnumProcesses"); }, true},
      {"EnumProcesses fails", &FakeOs::setXP, [](Machine& m) { m.os.failOn(Op::EnumProcesses); }, true},
      {"no GetModuleFileNameExA", &FakeOs::setXP, [](Machine& m) { m.os.removeProc("GetModuleFileNameExA"); }, true},
      {"worm cannot be opened", &FakeOs::setXP, [](Machine& m) { m.worm->canOpen = false; }, false},
      {"worm cannot be named", &FakeOs::setXP,
       [](Machine& m) { m.os.failWhen(Op::GetModuleFileNameEx, [](const char* p) { return kWorm == p; }); }, false},
      {"no version", &FakeOs::setXP, [](Machine& m) { m.os.failOn(Op::GetVersionEx); }, true},
      {"neither 9x nor NT", &FakeOs::setOtherPlatform, [](Machine&) {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m(c.family);
    m.os.addProcess(9, "C:\\WINDOWS\\RUNDLL.EXE");
    c.fault(m);

    m.run();

    const auto statuses = m.os.statusLines();
    if (c.nothingListed) {
      EXPECT_TRUE(statuses.empty());
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kWorm), 0);
    EXPECT_TRUE(m.os.terminated().empty());
    EXPECT_TRUE(m.volume.exists(kWorm));
    EXPECT_EQ(m.session.filesInfected, 0);
    EXPECT_FALSE(m.session.processImageMode);
    EXPECT_EQ(m.os.liveHandles(), 0);
  }
}

TEST(ProcessPhaseTest, ProcessImageModeIsSetForTheWholePhase) {
  for (const Family& family : {kFamilies[0], kFamilies[3]}) {
    SCOPED_TRACE(family.name);
    Machine m(family.set);
    std::vector<bool> modes;
    m.os.onSend = [&](const FakeOs::Sent&) { modes.push_back(m.session.processImageMode); };

    m.run();

    ASSERT_FALSE(modes.empty());
    EXPECT_TRUE(std::all_of(modes.begin(), modes.end(), [](bool on) { return on; }));
    EXPECT_FALSE(m.session.processImageMode);
  }
}

TEST(NtVersionClassTest, SortsVersionsIntoTheServiceFamilies) {
  struct Case {
    const char* what;
    std::function<void(FakeOs&)> set;
    int expected;
  };
  const Case cases[] = {
      {"NT 3.51", [](FakeOs& os) { os.setVersion(kPlatformNT, 3, 51); }, kNtVersion4},
      {"NT 4", [](FakeOs& os) { os.setNT4(); }, kNtVersion4},
      {"2000", [](FakeOs& os) { os.setWin2000(); }, kNtVersion5},
      {"XP", [](FakeOs& os) { os.setXP(); }, kNtVersion5},
      {"Vista", [](FakeOs& os) { os.setVista(); }, 0},
      {"10", [](FakeOs& os) { os.setVersion(kPlatformNT, 10, 0); }, 0},
      {"98", [](FakeOs& os) { os.setWin98(); }, 0},
      {"query fails", [](FakeOs& os) { os.setXP(); os.failOn(Op::GetVersionEx); }, 0},
  };
  for (const Case& c : cases) {
    FakeOs os;
    c.set(os);
    EXPECT_EQ(ntVersionClass(os), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace purgato
