// The record beside each finding line: every kind of finding, handled and
// left in place, with what was removed and why a change failed; and the
// console's exit status, which is worked out from those records alone.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "cli/exit_status.h"
#include "engine/file_scanner.h"
#include "os/text.h"
#include "scan/process_phase.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;

// A record as the sink saw it, its pointers copied out.
struct Seen {
  FindingKind kind;
  FindingOutcome outcome;
  long error;
  std::string path, variant, valueName, valueData;
  std::uint32_t processId;
  std::vector<std::string> keys;
  bool hasLine;
  std::string lineAfter;  // the log line sent next, when the record has one
};

struct Collector final : FindingSink {
  std::vector<Seen> seen;
  void onFinding(const Finding& f) override {
    Seen s{f.kind, f.outcome, f.error, f.path, f.variant, f.valueName,
           std::string(f.valueData, f.valueSize), f.processId, {}, f.hasLine, ""};
    for (int i = 0; i < f.keyCount; ++i) s.keys.push_back(f.keys[i]);
    seen.push_back(s);
  }
};

struct Scene {
  Scene() {
    volume.drive('C');
    volume.mapInto(os);
    session.progressWindow = 0x77;
    session.findingSink = &sink;
    os.attach(session);
  }
  // Scans one file as the walker hands it over.
  void scan(const std::string& path) {
    char buffer[kPathSize];
    copyText(buffer, sizeof buffer, path.c_str());
    scanFile(session, os, "W32/Opaserv.Worm", buffer);
  }
  TempVolume volume;
  FakeOs os;
  ScanSession session;
  Collector sink;
};

const std::string kIniBody = "[windows]\r\nload=\r\nrun=\r\n" + std::string(60, ';') + "\r\n";
const char kRun[] = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST(FindingRecord, EachKindOfFileFindingHandledOrNot) {
  const std::string worm = "C:\\WINDOWS\\MSTASK.EXE";
  const std::string companion = "C:\\WINDOWS\\SCRSVR.DAT";
  const std::string winIni = "C:\\WINDOWS\\WIN.INI";
  struct Case {
    const char* label;
    std::function<void(Scene&)> setup;
    std::string path;
    FindingKind kind;
    FindingOutcome outcome;
    long error;
    std::string line;
  } cases[] = {
      {"worm deleted", [&](Scene& s) { s.volume.writeFile(worm, buildWormSample(7)); }, worm, FindingKind::kFile,
       FindingOutcome::kRemoved, 0, worm + "     W32/Opaserv.H.Worm deleted"},
      {"worm kept", [&](Scene& s) {
         s.volume.writeFile(worm, buildWormSample(7));
         s.os.failOn(Op::DeleteFile, 1, true);
       },
       worm, FindingKind::kFile, FindingOutcome::kFailed, EACCES, worm + "     W32/Opaserv.H.Worm Delete failed"},
      {"attributes refused", [&](Scene& s) {
         s.volume.writeFile(worm, buildWormSample(7));
         s.os.failOn(Op::SetFileAttributes, 1, true);
       },
       worm, FindingKind::kFile, FindingOutcome::kFailed, EACCES, worm + "     W32/Opaserv.H.Worm Delete failed"},
      {"companion deleted", [&](Scene& s) { s.volume.writeFile(companion, buildCompanionFile()); }, companion,
       FindingKind::kFile, FindingOutcome::kRemoved, 0, companion + "     W32/Opaserv.Worm deleted"},
      {"win.ini cut", [&](Scene& s) { s.volume.writeFile(winIni, toBytes(winIniWithWormTail(kIniBody))); },
       winIni, FindingKind::kStartupFile, FindingOutcome::kRemoved, 0,
       "c:\\windows\\win.ini    W32/Opaserv.Worm entries removed"},
      {"win.ini kept", [&](Scene& s) {
         s.volume.writeFile(winIni, toBytes(winIniWithWormTail(kIniBody)));
         s.os.failOn(Op::Chsize, 1, true);
       },
       winIni, FindingKind::kStartupFile, FindingOutcome::kFailed, EACCES,
       "c:\\windows\\win.ini    W32/Opaserv.Worm entries could not be removed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Scene s;
    c.setup(s);
    s.scan(c.path);
    ASSERT_EQ(s.sink.seen.size(), 1u);
    const Seen& r = s.sink.seen[0];
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.path, c.path);  // as found, not lower-cased like the line
    EXPECT_TRUE(r.hasLine);
    EXPECT_EQ(s.os.logLines(), std::vector<std::string>{c.line});
  }
}

TEST(FindingRecord, RunValueCarriesItsNameAndDataAndTheRegistryError) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "deleted");
    Scene s;
    s.os.setValue(kHkeyLocalMachine, kRunKey, "scrsvr", "C:\\WINDOWS\\scrsvr.exe");
    if (refused) s.os.failOn(Op::RegDeleteValue, 1, true);
    cleanRunEntries(s.session, s.os, "C:\\x.txt");
    ASSERT_EQ(s.sink.seen.size(), 1u);
    const Seen& r = s.sink.seen[0];
    EXPECT_EQ(r.kind, FindingKind::kRunValue);
    EXPECT_EQ(r.outcome, refused ? FindingOutcome::kFailed : FindingOutcome::kRemoved);
    EXPECT_EQ(r.error, refused ? kErrorAccessDenied : kErrorSuccess);
    EXPECT_EQ(r.path, kRun);
    EXPECT_EQ(r.valueName, "scrsvr");
    EXPECT_EQ(std::string(r.valueData.c_str()), "C:\\WINDOWS\\scrsvr.exe");
    EXPECT_EQ(s.os.hasValue(kHkeyLocalMachine, kRunKey, "scrsvr"), refused);
  }
}

TEST(FindingRecord, ProcessesEndedLeftRunningOrStoppedAsServices) {
  const std::string worm = "C:\\WINDOWS\\SCRSVR.EXE";
  struct Case {
    const char* label;
    void (FakeOs::*family)();
    bool canTerminate;
    std::vector<FindingKind> kinds;
    std::vector<FindingOutcome> outcomes;
    std::vector<bool> lines;
  } cases[] = {
      {"ended", &FakeOs::setXP, true, {FindingKind::kProcess, FindingKind::kFile},
       {FindingOutcome::kRemoved, FindingOutcome::kRemoved}, {true, true}},
      // The 9x line says removed whatever happened; the record tells. The
      // file still held is left for the restart.
      {"9x, will not end", &FakeOs::setWin98, false, {FindingKind::kProcess, FindingKind::kFile},
       {FindingOutcome::kFailed, FindingOutcome::kAtRestart}, {true, true}},
      {"Vista, left alone: no line, still a record", &FakeOs::setVista, false, {FindingKind::kProcess},
       {FindingOutcome::kFailed}, {false}},
      {"XP, stopped as a service", &FakeOs::setXP, false,
       {FindingKind::kService, FindingKind::kProcess, FindingKind::kFile},
       {FindingOutcome::kRemoved, FindingOutcome::kRemoved, FindingOutcome::kAtRestart}, {false, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Scene s;
    s.volume.writeFile(worm, buildWormSample(0));
    (s.os.*c.family)();
    s.os.addProcess(100, worm).canTerminate = c.canTerminate;
    s.os.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\SCRSVR");
    s.os.addService("SCRSVR");
    killWormProcesses(s.session, s.os);
    ASSERT_EQ(s.sink.seen.size(), c.kinds.size());
    for (std::size_t i = 0; i < c.kinds.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(s.sink.seen[i].kind, c.kinds[i]);
      EXPECT_EQ(s.sink.seen[i].outcome, c.outcomes[i]);
      EXPECT_EQ(s.sink.seen[i].hasLine, c.lines[i]);
      EXPECT_EQ(s.sink.seen[i].path, worm);
      if (c.kinds[i] == FindingKind::kProcess) {
        EXPECT_EQ(s.sink.seen[i].processId, 100u);
      }
      if (c.kinds[i] == FindingKind::kService) {
        EXPECT_EQ(s.sink.seen[i].valueName, "SCRSVR");
        EXPECT_EQ(s.sink.seen[i].keys,
                  std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\SCRSVR"});
      }
    }
  }
}

TEST(FindingRecord, TheExitStatusComesFromTheRecordsNotTheText) {
  Finding removed;
  Finding failed;
  failed.outcome = FindingOutcome::kFailed;
  failed.hasLine = false;
  Finding atRestart;
  atRestart.outcome = FindingOutcome::kAtRestart;
  struct Case {
    std::vector<Finding> findings;
    bool interrupted;
    int status;
  } cases[] = {
      {{}, false, kExitClean},
      {{removed, removed}, false, kExitFound},
      {{removed, failed}, false, kExitUnhandled},
      {{failed}, true, kExitUnhandled},
      {{removed}, true, kExitIncomplete},
      {{removed, atRestart}, false, kExitRestart},
      {{atRestart, failed}, false, kExitUnhandled},
      {{atRestart}, true, kExitIncomplete},
  };
  for (const Case& c : cases) {
    ScanOutcome outcome;
    for (const Finding& f : c.findings) outcome.onFinding(f);
    if (c.interrupted) outcome.noteInterrupted();
    EXPECT_EQ(outcome.exitStatus(), c.status);
  }
}

}  // namespace
}  // namespace purgato
