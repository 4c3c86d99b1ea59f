// The action choice, the deletion with its one retry after ending the
// process that holds the file, and the process-image follow-up.
#include "engine/actions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kPath = "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE";
constexpr const char* kName = "W32/Opaserv.H.Worm";
const std::string kDeleted = std::string(kPath) + "     " + kName + " deleted";
const std::string kFailed = std::string(kPath) + "     " + kName + " Delete failed";
const std::string kAtRestart = std::string(kPath) + "     " + kName + " will be deleted when Windows restarts";

TEST(ChooseAction, AlwaysDelete) {
  struct Case {
    const char* name;
    const char* path;
    std::int32_t before;
  } cases[] = {{"W32/Opaserv.B.Worm", "C:\\a.exe", 0}, {"", "", 7}, {nullptr, nullptr, kActionDelete}};
  for (const Case& c : cases) {
    ScanSession session;
    session.chosenAction = c.before;
    chooseAction(session, c.name, c.path);
    EXPECT_EQ(session.chosenAction, kActionDelete);
  }
}

// One infected file on drive C, a progress window, and the double.
struct Scene {
  Scene() {
    volume.drive('C');
    volume.mapInto(os);
    session.progressWindow = 0x77;
    os.attach(session);
    volume.writeFile(kPath, buildWormSample(7));
  }

  // A process running from the file, behind a first snapshot entry that
  // the 9x lookup never compares.
  FakeOs::FakeProcess& holdFile() {
    os.addProcess(8, "C:\\WINDOWS\\EXPLORER.EXE");
    return os.addProcess(0x1A4, kPath);
  }

  // Events of these kinds, in order.
  Lines trace() const {
    Lines out;
    for (const std::string& e : os.events()) {
      for (const char* kind : {"log:", "sleep:", "attrib:", "delete", "terminate"}) {
        if (e.rfind(kind, 0) == 0) {
          out.push_back(e);
          break;
        }
      }
    }
    return out;
  }

  TempVolume volume;
  FakeOs os;
  ScanSession session;
};

TEST(DeleteInfectedFile, ReadOnlyHiddenFileIsDeleted) {
  Scene s;
  ASSERT_TRUE(s.os.setFileAttributes(kPath, kAttrReadOnly | kAttrHidden));
  ASSERT_FALSE(s.os.deleteFile(kPath));  // refused, as Windows refuses it
  const std::size_t eventsBefore = s.os.events().size();

  deleteInfectedFile(s.session, s.os, kPath, kName);
  EXPECT_FALSE(s.volume.exists(kPath));
  EXPECT_EQ(s.session.filesDeleted, 1);
  EXPECT_EQ(s.os.logLines(), Lines{kDeleted});
  const Lines events = s.os.events();
  ASSERT_GE(events.size(), eventsBefore + 2);
  EXPECT_EQ(events[eventsBefore].rfind(std::string("attrib:") + kPath + ":", 0), 0u);
  EXPECT_EQ(events[eventsBefore + 1], std::string("delete:") + kPath);
}

TEST(DeleteInfectedFile, FileHeldByARunningProcessIsDeletedOnceItEnds) {
  const std::function<void(FakeOs&)> families[] = {
      [](FakeOs& os) { os.setWin98(); },
      [](FakeOs& os) {
        os.setXP();
        os.installPerflibCounters();
      },
  };
  for (const auto& family : families) {
    Scene s;
    family(s.os);
    s.holdFile();

    deleteInfectedFile(s.session, s.os, kPath, kName);
    EXPECT_FALSE(s.volume.exists(kPath));
    EXPECT_EQ(s.session.filesDeleted, 1);
    EXPECT_EQ(s.os.logLines(), Lines{kDeleted});
    EXPECT_EQ(s.os.terminated(), std::vector<std::uint32_t>{0x1A4});
  }
}

TEST(DeleteInfectedFile, OutcomesWhenTheFileResists) {
  using Op = FakeOs::Op;
  const auto xp = [](Scene& s) {
    s.os.setXP();
    s.os.installPerflibCounters();
  };
  const auto refuseAttributes = [=](Scene& s) {
    xp(s);
    s.os.failOn(Op::SetFileAttributes);
  };
  const auto unending98 = [](Scene& s) {
    s.os.setWin98();
    s.holdFile().canTerminate = false;
  };
  const auto unendingXP = [=](Scene& s) {
    xp(s);
    s.holdFile().canTerminate = false;
  };
  const auto endedButStillRefusedXP = [=](Scene& s) {
    xp(s);
    s.holdFile();
    s.os.failOn(Op::DeleteFile, 1, true);
  };
  const auto refuseDeletes = [](Scene& s) { s.os.failOn(Op::DeleteFile, 1, true); };
  const auto refuseFirstDelete = [](Scene& s) { s.os.failOn(Op::DeleteFile, 1); };
  enum Restart { kNone, kMoveFileEx, kWininit };
  struct Case {
    const char* label;
    std::function<void(Scene&)> setup;
    bool processImageMode;
    Lines lines;
    int deleteCalls;
    Restart restart;
  } cases[] = {
      {"attributes cannot be reset", refuseAttributes, false, {kFailed}, 0, kNone},
      {"attributes cannot be reset, process image", refuseAttributes, true, {kFailed}, 0, kNone},
      {"9x, process cannot be ended", unending98, false, {kAtRestart}, 1, kWininit},
      {"9x, process cannot be ended, process image", unending98, true, {kAtRestart}, 1, kWininit},
      {"NT, process cannot be ended", unendingXP, false, {kAtRestart}, 1, kMoveFileEx},
      {"NT, process ended, second delete refused", endedButStillRefusedXP, true, {kAtRestart}, 2, kMoveFileEx},
      {"NT, MoveFileExA refused",
       [=](Scene& s) {
         unendingXP(s);
         s.os.failOn(Op::MoveFileEx);
       },
       false, {kFailed}, 1, kNone},
      // The WININIT.INI made for the line is deleted again: two deletes.
      {"9x, WININIT.INI cannot be written",
       [=](Scene& s) {
         unending98(s);
         s.os.failOn(Op::Write, 1, true);
       },
       false, {kFailed}, 2, kNone},
      // Neither 9x nor NT (a mounted volume): nothing is ended, yet the
      // delete is retried; there is no restart to wait for.
      {"no restart, second delete refused", refuseDeletes, false, {kFailed}, 2, kNone},
      {"no restart, second delete refused, process image", refuseDeletes, true, {kFailed}, 2, kNone},
      {"second delete succeeds", refuseFirstDelete, false, {kDeleted}, 2, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Scene s;
    c.setup(s);
    s.session.processImageMode = c.processImageMode;
    const bool deleted = c.lines == Lines{kDeleted};

    deleteInfectedFile(s.session, s.os, kPath, kName);
    EXPECT_EQ(s.os.logLines(), c.lines);
    EXPECT_EQ(s.os.calls(Op::DeleteFile), c.deleteCalls);
    // A file left for the restart counts as deleted.
    EXPECT_EQ(s.session.filesDeleted, deleted || c.restart != kNone ? 1 : 0);
    EXPECT_EQ(s.volume.exists(kPath), !deleted);
    if (!deleted) {
      EXPECT_EQ(s.volume.readFile(kPath), buildWormSample(7));
    }
    const std::vector<FakeOs::PendingRename> pending = s.os.pendingRenames();
    EXPECT_EQ(pending.size(), c.restart == kMoveFileEx ? 1u : 0u);
    if (!pending.empty()) {
      EXPECT_EQ(pending[0].existing, kPath);
    }
    if (c.restart == kWininit) {
      EXPECT_EQ(s.volume.readText("C:\\WINDOWS\\WININIT.INI"), std::string("[rename]\r\nNUL=") + kPath + "\r\n");
    } else {
      EXPECT_FALSE(s.volume.exists("C:\\WINDOWS\\WININIT.INI"));
    }
  }
}

TEST(DeleteInfectedFile, AFileLeftForTheRestartIsAskedForAndCountedOnce) {
  Scene s;
  s.os.setXP();
  s.os.installPerflibCounters();
  FakeOs::FakeProcess& holder = s.holdFile();
  holder.canTerminate = false;

  // Met twice while held (the process image, then the walk): one request.
  deleteInfectedFile(s.session, s.os, kPath, kName);
  deleteInfectedFile(s.session, s.os, "c:\\windows\\system\\mstask.exe", kName);
  EXPECT_EQ(s.os.pendingRenames().size(), 1u);
  EXPECT_EQ(s.session.filesDeleted, 1);
  // Free by the third time: deleted now, still counted once.
  holder.running = false;
  deleteInfectedFile(s.session, s.os, kPath, kName);
  EXPECT_FALSE(s.volume.exists(kPath));
  EXPECT_EQ(s.session.filesDeleted, 1);
  EXPECT_EQ(s.os.logLines(), (Lines{kAtRestart,
                                    "c:\\windows\\system\\mstask.exe     " + std::string(kName) +
                                        " will be deleted when Windows restarts",
                                    kDeleted}));
}

TEST(ApplyPendingAction, LogsWaitsThenDeletes) {
  Scene s;
  s.session.pendingImageAction = kActionDelete;
  s.session.filesInfected = 1;

  applyPendingAction(s.session, s.os, kPath, "W32/Opaserv.Worm");
  EXPECT_EQ(s.session.chosenAction, kActionDelete);
  EXPECT_EQ(s.session.filesInfected, 1);
  EXPECT_EQ(s.session.filesDeleted, 1);
  EXPECT_FALSE(s.volume.exists(kPath));
  const Lines trace = s.trace();
  ASSERT_EQ(trace.size(), 5u);
  EXPECT_EQ(trace[0], "log:System Memory     W32/Opaserv.Worm removed");
  EXPECT_EQ(trace[1], "sleep:1000");
  EXPECT_EQ(trace[2].rfind(std::string("attrib:") + kPath, 0), 0u);
  EXPECT_EQ(trace[3], std::string("delete:") + kPath);
  EXPECT_EQ(trace[4], std::string("log:") + kPath + "     W32/Opaserv.Worm deleted");
  // The wait does not pump messages, and the file is not read again.
  EXPECT_EQ(s.os.calls(FakeOs::Op::PeekMessage), 0);
  EXPECT_EQ(s.os.calls(FakeOs::Op::Open), 0);
}

TEST(ApplyPendingAction, FailedDeletionOfTheImageIsReported) {
  // The process phase could not end the process: the follow-up reports it.
  Scene s;
  s.os.setWin98();
  s.holdFile().canTerminate = false;
  s.os.failOn(FakeOs::Op::GetShortPathName);  // and no deletion at the restart either
  s.session.processImageMode = true;
  s.session.pendingImageAction = kActionDelete;

  applyPendingAction(s.session, s.os, kPath, "W32/Opaserv.Worm");
  EXPECT_EQ(s.os.logLines(), (Lines{"System Memory     W32/Opaserv.Worm removed",
                                    std::string(kPath) + "     W32/Opaserv.Worm Delete failed"}));
  EXPECT_TRUE(s.volume.exists(kPath));
}

TEST(ApplyPendingAction, OnlyTheDeleteCodeDeletes) {
  Scene s;
  s.session.pendingImageAction = 5;
  applyPendingAction(s.session, s.os, kPath, "W32/Opaserv.Worm");
  EXPECT_EQ(s.session.chosenAction, 5);
  EXPECT_TRUE(s.volume.exists(kPath));
  EXPECT_EQ(s.os.calls(FakeOs::Op::DeleteFile), 0);
}

}  // namespace
}  // namespace purgato
