// Deleting a file when Windows next starts: MoveFileExA on the NT family,
// a [rename] line of WININIT.INI on the 9x family, nothing on a mounted
// volume; and the edit of WININIT.INI, which leaves every other byte alone.
#include "engine/restart_delete.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;

std::string applied(const std::string& text, const RenameEdit& edit) {
  return text.substr(0, edit.offset) + edit.insert + text.substr(edit.offset);
}

TEST(PlanRenameLine, TheLineGoesUnderTheRenameSectionAndNothingElseMoves) {
  const std::string line = "NUL=C:\\WINDOWS\\INSTIT.EXE";
  struct Case {
    const char* label;
    std::string before;
    std::string after;
  } cases[] = {
      {"empty file", "", "[rename]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n"},
      {"no section: a new one at the end", "[boot]\r\nx=1\r\n",
       "[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n"},
      {"no line end at the end", "[boot]\r\nx=1", "[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n"},
      {"after the section's last line", "[rename]\r\nNUL=C:\\A.EXE\r\n",
       "[rename]\r\nNUL=C:\\A.EXE\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n"},
      {"before blank lines and the next section, any capitals",
       "; kept\r\n[Rename]\r\nNUL=C:\\A.EXE\r\n\r\n[other]\r\nb=2\r\n",
       "; kept\r\n[Rename]\r\nNUL=C:\\A.EXE\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n\r\n[other]\r\nb=2\r\n"},
      {"an empty section", "[rename]\r\n[other]\r\n", "[rename]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n[other]\r\n"},
      {"last line without its line end", "[rename]\r\nNUL=C:\\A.EXE",
       "[rename]\r\nNUL=C:\\A.EXE\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n"},
      {"lines ended by LF alone", "[rename]\nNUL=C:\\A.EXE\n[x]\n",
       "[rename]\nNUL=C:\\A.EXE\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n[x]\n"},
      {"only the first section", "[rename]\r\nNUL=C:\\A.EXE\r\n[x]\r\n[rename]\r\nNUL=C:\\B.EXE\r\n",
       "[rename]\r\nNUL=C:\\A.EXE\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n[x]\r\n[rename]\r\nNUL=C:\\B.EXE\r\n"},
      {"the same line in another section does not count", "[x]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n",
       "[x]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n[rename]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const RenameEdit edit = planRenameLine(c.before, line);
    EXPECT_FALSE(edit.present);
    EXPECT_EQ(applied(c.before, edit), c.after);
  }
}

TEST(PlanRenameLine, ALineAlreadyThereIsNotAddedAgain) {
  for (const std::string text : {"[rename]\r\nNUL=C:\\WINDOWS\\INSTIT.EXE\r\n", "[RENAME]\r\n nul = c:\\windows\\instit.exe",
                                 "[rename]\r\nNUL=C:\\A.EXE\r\n\tNUL=C:\\WINDOWS\\INSTIT.EXE\t\r\n[x]\r\n"}) {
    const RenameEdit edit = planRenameLine(text, "NUL=C:\\WINDOWS\\INSTIT.EXE");
    EXPECT_TRUE(edit.present) << text;
    EXPECT_EQ(edit.insert, "");
  }
}

constexpr const char* kWorm = "C:\\Program Files\\Worm Dir\\instit.exe";
constexpr const char* kShort = "C:\\PROGRA~1\\WORMDI~1\\INSTIT.EXE";
constexpr const char* kWininit = "C:\\WINDOWS\\WININIT.INI";

// A held worm file, a Windows folder with other files, and the double.
struct Machine {
  Machine() {
    volume.drive('C');
    volume.mapInto(os);
    os.setWindowsDirectory("C:\\WINDOWS");
    volume.writeFile(kWorm, "MZ worm");
    volume.writeFile("C:\\WINDOWS\\WIN.INI", "[windows]\r\nload=\r\n");
    os.setShortPath(kWorm, kShort);
  }
  // Everything but WININIT.INI.
  std::map<std::string, std::string> rest() const {
    std::map<std::string, std::string> tree = volume.hashTree();
    tree.erase("C/WINDOWS/WININIT.INI");
    return tree;
  }

  TempVolume volume;
  FakeOs os;
};

TEST(ScheduleDeleteAtRestart, NtFamilyAsksMoveFileExAndWritesNoFile) {
  const std::function<void(FakeOs&)> families[] = {
      [](FakeOs& os) { os.setNT4(); }, [](FakeOs& os) { os.setWin2000(); }, [](FakeOs& os) { os.setXP(); },
      [](FakeOs& os) { os.setVista(); }};
  for (const auto& family : families) {
    Machine m;
    family(m.os);
    const auto before = m.volume.hashTree();
    ASSERT_TRUE(scheduleDeleteAtRestart(m.os, kWorm));
    const std::vector<FakeOs::PendingRename> pending = m.os.pendingRenames();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].existing, kWorm);  // the long path: NT needs no short one
    EXPECT_EQ(pending[0].newName, "");
    EXPECT_EQ(pending[0].flags, kMoveFileDelayUntilReboot);
    EXPECT_EQ(m.volume.hashTree(), before);
    EXPECT_EQ(m.os.calls(Op::GetShortPathName), 0);
  }
}

// The registry value of PendingFileRenameOperations for these pairs.
std::vector<std::uint8_t> multiSz(const std::vector<std::string>& strings) {
  std::vector<std::uint8_t> data;
  for (const std::string& s : strings) {
    data.insert(data.end(), s.begin(), s.end());
    data.push_back(0);
  }
  data.push_back(0);
  return data;
}

TEST(ScheduleDeleteAtRestart, NtFamilyAsksOnceWhateverTheScansBeforeTheRestart) {
  const std::string mine = std::string("\\??\\") + kWorm;
  struct Case {
    const char* label;
    std::vector<std::string> before;  // the value's strings; none: no value
    bool asks;
  } cases[] = {
      {"no value", {}, true},
      {"other files' requests", {"\\??\\C:\\A.EXE", "", "\\??\\C:\\B.TMP", "\\??\\C:\\B.EXE"}, true},
      {"the file renamed, not deleted", {mine, "\\??\\C:\\ELSE.EXE"}, true},
      {"the file's deletion already asked for, in other capitals",
       {"\\??\\C:\\A.EXE", "", "\\??\\c:\\program files\\worm dir\\INSTIT.EXE", ""}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Machine m;
    m.os.setXP();
    if (!c.before.empty())
      m.os.setRawValue(kHkeyLocalMachine, kSessionManagerKey, "PendingFileRenameOperations", FakeOs::kRegMultiSz,
                       multiSz(c.before));
    ASSERT_TRUE(scheduleDeleteAtRestart(m.os, kWorm));
    EXPECT_EQ(m.os.pendingRenames().size(), c.asks ? 1u : 0u);
    // A second scan before the restart asks for nothing more.
    ASSERT_TRUE(scheduleDeleteAtRestart(m.os, kWorm));
    EXPECT_EQ(m.os.pendingRenames().size(), c.asks ? 1u : 0u);
    std::vector<std::string> after = c.before;
    if (c.asks) {
      after.push_back(mine);
      after.push_back("");
    }
    EXPECT_EQ(m.os.valueData(kHkeyLocalMachine, kSessionManagerKey, "PendingFileRenameOperations"), multiSz(after));
    EXPECT_EQ(m.os.liveKeys(), 0);
  }
}

TEST(ScheduleDeleteAtRestart, NinexFamilyWritesTheShortPathIntoWininit) {
  const std::function<void(FakeOs&)> families[] = {[](FakeOs& os) { os.setWin95(); },
                                                   [](FakeOs& os) { os.setWin98(); }};
  for (const auto& family : families) {
    Machine m;
    family(m.os);
    const auto rest = m.rest();
    ASSERT_TRUE(scheduleDeleteAtRestart(m.os, kWorm));
    EXPECT_EQ(m.volume.readText(kWininit), std::string("[rename]\r\nNUL=") + kShort + "\r\n");
    // Asked again (a second scan before the restart): still one line.
    ASSERT_TRUE(scheduleDeleteAtRestart(m.os, kWorm));
    EXPECT_EQ(m.volume.readText(kWininit), std::string("[rename]\r\nNUL=") + kShort + "\r\n");
    EXPECT_EQ(m.rest(), rest);
    EXPECT_TRUE(m.os.pendingRenames().empty());
    EXPECT_EQ(m.os.calls(Op::MoveFileEx), 0);
    EXPECT_EQ(m.os.liveFiles(), 0);
  }
}

TEST(ScheduleDeleteAtRestart, AnExistingWininitGetsOneLineInsertedAndKeepsTheRest) {
  Machine m;
  m.os.setWin98();
  const std::string before = "[rename]\r\nNUL=C:\\OLD.EXE\r\n\r\n[combined]\r\nx=1\r\n";
  m.volume.writeFile(kWininit, before);
  ASSERT_TRUE(scheduleDeleteAtRestart(m.os, kWorm));
  EXPECT_EQ(m.volume.readText(kWininit),
            std::string("[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=") + kShort + "\r\n\r\n[combined]\r\nx=1\r\n");
}

TEST(ScheduleDeleteAtRestart, NoRestartOnAMountedVolume) {
  Machine m;  // platform 0: neither family
  const auto before = m.volume.hashTree();
  EXPECT_FALSE(scheduleDeleteAtRestart(m.os, kWorm));
  EXPECT_EQ(m.volume.hashTree(), before);
  EXPECT_EQ(m.os.calls(Op::MoveFileEx) + m.os.calls(Op::GetShortPathName) + m.os.calls(Op::Open), 0);
}

TEST(ScheduleDeleteAtRestart, RefusedWhereWindowsRefuses) {
  struct Case {
    const char* label;
    std::function<void(Machine&)> setup;
  } cases[] = {
      {"NT: MoveFileExA fails", [](Machine& m) {
         m.os.setXP();
         m.os.failOn(Op::MoveFileEx);
       }},
      {"9x: no short path", [](Machine& m) {
         m.os.setWin98();
         m.os.failOn(Op::GetShortPathName);
       }},
      {"9x: no Windows folder", [](Machine& m) {
         m.os.setWin98();
         m.os.failOn(Op::GetWindowsDirectory);
       }},
      {"9x: WININIT.INI read-only", [](Machine& m) {
         m.os.setWin98();
         m.volume.writeFile(kWininit, "[rename]\r\n");
         m.os.setFileAttributes(kWininit, kAttrReadOnly);
       }},
      {"9x: WININIT.INI too large to be one", [](Machine& m) {
         m.os.setWin98();
         m.volume.writeFile(kWininit, "[rename]\r\n" + std::string(1 << 20, ';'));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Machine m;
    c.setup(m);
    const auto before = m.volume.hashTree();
    EXPECT_FALSE(scheduleDeleteAtRestart(m.os, kWorm));
    EXPECT_EQ(m.volume.hashTree(), before);
    EXPECT_TRUE(m.os.pendingRenames().empty());
    EXPECT_EQ(m.os.liveFiles(), 0);
  }
}

// Every call of the 9x edit failing, once and from then on: the answer
// says what happened, and WININIT.INI is either as it was (absent when it
// was absent) or holds the line, never half of it. The one exception is a
// file that takes the first write and then refuses every other: its lines
// before the [rename] section's end stay, and the answer is no.
TEST(ScheduleDeleteAtRestart, WininitIsWholeWhateverCallFails) {
  const std::string existing = "[rename]\r\nNUL=C:\\OLD.EXE\r\n[x]\r\ny=2\r\n";
  const std::string edited = std::string("[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=") + kShort + "\r\n[x]\r\ny=2\r\n";
  const std::string fresh = std::string("[rename]\r\nNUL=") + kShort + "\r\n";
  for (const bool present : {false, true}) {
    for (const Op op : {Op::GetWindowsDirectory, Op::GetShortPathName, Op::Open, Op::Lseek, Op::Read, Op::Write,
                        Op::Chsize, Op::DeleteFile}) {
      for (const bool persist : {false, true}) {
        for (int nth = 1;; ++nth) {
          SCOPED_TRACE(std::string(present ? "existing" : "absent") + ", op " + std::to_string(static_cast<int>(op)) +
                       (persist ? " from call " : " at call ") + std::to_string(nth));
          Machine m;
          m.os.setWin98();
          if (present) m.volume.writeFile(kWininit, existing);
          const auto rest = m.rest();
          m.os.failOn(op, nth, persist);
          const bool asked = scheduleDeleteAtRestart(m.os, kWorm);
          const bool reached = m.os.calls(op) >= nth;
          m.os.clearFaults();
          EXPECT_EQ(m.rest(), rest);
          EXPECT_EQ(m.os.liveFiles(), 0);
          if (present && op == Op::Write && persist && nth > 1 && reached) {
            EXPECT_FALSE(asked);
            const std::size_t kept = existing.find("[x]");
            EXPECT_EQ(m.volume.readText(kWininit).substr(0, kept), existing.substr(0, kept));
          } else if (asked) {
            EXPECT_EQ(m.volume.readText(kWininit), present ? edited : fresh);
          } else if (present) {
            EXPECT_EQ(m.volume.readText(kWininit), existing);
          } else {
            EXPECT_FALSE(m.volume.exists(kWininit));
          }
          if (::testing::Test::HasFailure() || !reached) break;
        }
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace purgato
