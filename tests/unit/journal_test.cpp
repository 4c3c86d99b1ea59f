// The run's account over the test double and real files: every byte of a
// removed Run value, and each request for the restart with the entry it
// wrote, the copy of WININIT.INI from before the run's first change, and
// no request at all when that copy cannot be written.
#include "cli/journal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "cli/keeping_os.h"
#include "engine/actions.h"
#include "tests/support/fake_os.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A machine of the double, a run's journal with its log and report in a
// folder of their own, and the keeping layer the scan changes through.
struct Account {
  Account() {
    volume.drive('C');
    volume.mapInto(os);
    os.setWindowsDirectory("C:\\WINDOWS");
    log = work.root() + "/scan.log";
    report = work.root() + "/scan.jsonl";
    backupDir = work.root() + "/kept";
  }

  // Opens the account; with a backup through makeDirectory.
  void start(bool nt, bool backup, KeepingOs::MakeDirectory makeDirectory = makeDir) {
    keeping.reset(new KeepingOs(os, nt));
    std::string error;
    if (backup) {
      ASSERT_TRUE(keeping->startBackup(backupDir, '/', makeDirectory, "set", &error)) << error;
    }
    keeping->measure(true);
    journal.reset(new RunJournal(
        session, outcome, [](const Finding& f) { return "error " + std::to_string(f.error); },
        [this](const std::string& text) { err += text; }, [] { return std::int64_t(1800000000000); }));
    journal->setKeeping(keeping.get());
    ASSERT_TRUE(journal->openLog(log, &error)) << error;
    ASSERT_TRUE(journal->openReport(report, &error)) << error;
    RunFacts facts;
    facts.version = "1.5";
    facts.signatures = {"W32/Opaserv.Worm"};
    ASSERT_TRUE(journal->start(facts, &error)) << error;
    session.findingSink = journal.get();
    session.progressWindow = 1;
    os.attach(session);
  }

  // The report passes the schema's checks.
  void expectValidReport() {
    journal->finish(outcome.exitStatus());
    const std::string check = std::string("python3 '") + PURGATO_SOURCE_DIR + "/tests/tools/check_report.py' '" +
                              PURGATO_SOURCE_DIR + "/docs/purgato-scan-report.schema.json' '" + report + "' >/dev/null";
    EXPECT_EQ(std::system(check.c_str()), 0) << fileText(report);
  }

  TempVolume volume, work;
  FakeOs os;
  ScanSession session;
  ScanOutcome outcome;
  std::unique_ptr<KeepingOs> keeping;
  std::unique_ptr<RunJournal> journal;
  std::string log, report, backupDir, err;
};

std::string hexOf(const std::string& bytes) {
  std::string hex;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

TEST(RunJournal, EveryByteOfARemovedRunValueIsReportedWithItsTextUpToTheFirstZero) {
  const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string longText = std::string(300, 'x') + ".EXE";
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string bytes;
    std::string text;  // value_data
  };
  const Case cases[] = {
      {"scrsvr", FakeOs::kRegSz, std::string("C:\\A.EXE\0", 9), "C:\\A.EXE"},
      // Longer than a path, with more after a zero.
      {"brasil", FakeOs::kRegSz, longText + std::string("\0hidden\0", 8), longText},
      {"cronos", FakeOs::kRegMultiSz, std::string("C:\\B.EXE\0-q\0\0", 13), "C:\\B.EXE"},
      {"instit", FakeOs::kRegBinary, std::string("\0\x01\xff", 3), ""},
      {"GustavVED", FakeOs::kRegSz, "C:\\NOEND.EXE", "C:\\NOEND.EXE"},  // no terminator
  };
  Account run;
  for (const Case& test : cases)
    run.os.setRawValue(kHkeyLocalMachine, kRun, test.name, test.type,
                       std::vector<std::uint8_t>(test.bytes.begin(), test.bytes.end()));
  run.start(true, false);
  cleanRunEntries(run.session, *run.keeping, "C:\\WINDOWS\\FILE.EXE");
  const std::string report = fileText(run.report);
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_FALSE(run.os.hasValue(kHkeyLocalMachine, kRun, test.name));
    EXPECT_THAT(report, HasSubstr("\"value_name\":" + jsonString(test.name) + ",\"value_type\":" +
                                  std::to_string(test.type) + ",\"value_data\":" + jsonString(test.text) +
                                  ",\"value_hex\":\"" + hexOf(test.bytes) + "\""));
  }
  run.expectValidReport();
}

const char kHeld[] = "C:\\GAMES\\SETUP.EXE";
const char kOther[] = "C:\\GAMES\\OTHER.EXE";
const char kWininit[] = "C:\\WINDOWS\\WININIT.INI";
const char kWininitBefore[] = "[rename]\r\nNUL=C:\\OLD.EXE\r\n";

// Two worm files nothing can delete now and no process holds: each is left
// for the restart.
void holdTwoFiles(Account& run) {
  for (const char* path : {kHeld, kOther}) run.volume.writeFile(path, std::string("MZ worm"));
  run.os.failWhen(FakeOs::Op::DeleteFile, [](const char* path) {
    return std::string(path).find("\\GAMES\\") != std::string::npos;
  });
}

TEST(RunJournal, ARequestOfWindows9xIsReportedAndLoggedWithWininitKeptAsItWasBeforeTheRun) {
  for (const bool existed : {true, false}) {
    SCOPED_TRACE(existed ? "WININIT.INI there" : "no WININIT.INI");
    Account run;
    run.os.setWin98();
    holdTwoFiles(run);
    run.volume.makeFolder("C:\\WINDOWS");
    if (existed) run.volume.writeFile(kWininit, std::string(kWininitBefore));
    run.start(false, true);
    deleteInfectedFile(run.session, *run.keeping, kHeld, "W32/Opaserv.Worm");
    deleteInfectedFile(run.session, *run.keeping, kOther, "W32/Opaserv.Worm");
    EXPECT_EQ(run.volume.readText(kWininit), std::string(existed ? kWininitBefore : "[rename]\r\n") +
                                                 "NUL=C:\\GAMES\\SETUP.EXE\r\nNUL=C:\\GAMES\\OTHER.EXE\r\n");

    // One copy, of the file before the first line was added; none of a
    // file the run made.
    const std::string copy = run.backupDir + "/set/C/WINDOWS/WININIT.INI.purgato-kept";
    EXPECT_EQ(fileText(copy), existed ? kWininitBefore : "");
    EXPECT_EQ(fileText(copy + ".2"), "");
    const std::string placeBackup = existed ? jsonString(copy) : "null";
    const std::string report = fileText(run.report);
    const std::string log = fileText(run.log);
    for (const char* file : {kHeld, kOther}) {
      SCOPED_TRACE(file);
      const std::string entry = std::string("NUL=") + file;
      EXPECT_THAT(report, HasSubstr("\"outcome\":\"at-restart\""));
      EXPECT_THAT(report, HasSubstr("\"restart\":{\"place\":" + jsonString(kWininit) + ",\"entry\":" +
                                    jsonString(entry) + ",\"written\":true,\"place_backup\":" + placeBackup +
                                    ",\"place_created\":" + (existed ? "false" : "true") + "}"));
      EXPECT_THAT(log, HasSubstr(std::string("restart request written to ") + kWininit + ": " + entry +
                                 (existed ? "; its copy from before the run: " + copy : "; made by this run") + "\n"));
    }
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.outcome.exitStatus(), kExitRestart);
    run.expectValidReport();
  }
}

TEST(RunJournal, NoRequestIsMadeWhenWininitCannotBeKept) {
  Account run;
  run.os.setWin98();
  holdTwoFiles(run);
  run.volume.writeFile(kWininit, std::string(kWininitBefore));
  // The copies of the held files can be written, the copy of WININIT.INI not.
  run.start(false, true, [](const std::string& path) {
    if (path.size() >= 10 && path.compare(path.size() - 10, 10, "/C/WINDOWS") == 0) {
      errno = EACCES;
      return -1;
    }
    return makeDir(path);
  });
  deleteInfectedFile(run.session, *run.keeping, kHeld, "W32/Opaserv.Worm");
  EXPECT_EQ(run.volume.readText(kWininit), kWininitBefore);
  EXPECT_TRUE(run.volume.exists(kHeld));
  const std::string report = fileText(run.report);
  EXPECT_THAT(report, HasSubstr("\"outcome\":\"failed\""));
  EXPECT_THAT(report, Not(HasSubstr("at-restart")));
  EXPECT_THAT(report, HasSubstr("\"code\":29,\"text\":\"not changed, as its backup could not be written: cannot make"));
  EXPECT_THAT(run.err, HasSubstr("purgato-scan: 'C:\\GAMES\\SETUP.EXE' was not deleted: not changed, as its backup "
                                 "could not be written: cannot make '" + run.backupDir + "/set/C/WINDOWS'"));
  EXPECT_EQ(run.outcome.exitStatus(), kExitUnhandled);
  run.expectValidReport();
}

TEST(RunJournal, ARequestOfTheNtFamilyIsReportedWithItsPendingEntryAndOnceOnly) {
  const std::string place =
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager\\PendingFileRenameOperations";
  const std::string entry = std::string("\\??\\") + kHeld;
  for (const bool written : {true, false}) {
    SCOPED_TRACE(written ? "first scan" : "a scan before the restart");
    Account run;
    run.os.setXP();
    holdTwoFiles(run);
    // An earlier scan's request.
    if (!written) {
      ASSERT_TRUE(run.os.moveFileEx(kHeld, nullptr, kMoveFileDelayUntilReboot));
    }
    run.start(true, true);
    deleteInfectedFile(run.session, *run.keeping, kHeld, "W32/Opaserv.Worm");
    EXPECT_EQ(run.os.pendingRenames().size(), 1u);
    EXPECT_THAT(fileText(run.report), HasSubstr("\"restart\":{\"place\":" + jsonString(place) + ",\"entry\":" +
                                                jsonString(entry) + ",\"written\":" + (written ? "true" : "false") +
                                                ",\"place_backup\":null,\"place_created\":false}"));
    EXPECT_THAT(fileText(run.log),
                HasSubstr("restart request " + std::string(written ? "written to " : "already in ") + place + ": " +
                          entry + "\n"));
    run.expectValidReport();
  }
}

TEST(RunJournal, WarningsBeforeTheStartComeAfterTheHeaderAndAsNotes) {
  Account run;
  run.keeping.reset(new KeepingOs(run.os, true));
  RunJournal journal(
      run.session, run.outcome, [](const Finding&) { return std::string(); }, [](const std::string&) {},
      [] { return std::int64_t(1800000000000); });
  std::string error;
  ASSERT_TRUE(journal.openLog(run.log, &error));
  ASSERT_TRUE(journal.openReport(run.report, &error));
  journal.note("purgato-scan: early warning");
  RunFacts facts;
  facts.version = "1.5";
  facts.signatures = {"W32/Opaserv.Worm"};
  ASSERT_TRUE(journal.start(facts, &error));
  journal.note("purgato-scan: later warning \"quoted\"");
  journal.finish(0);
  const std::string log = fileText(run.log);
  EXPECT_LT(log.find("options: "), log.find("purgato-scan: early warning\n"));
  EXPECT_LT(log.find("early warning"), log.find("purgato-scan: later warning \"quoted\"\n"));
  const std::string report = fileText(run.report);
  EXPECT_THAT(report, HasSubstr("}\n{\"record\":\"note\",\"text\":\"early warning\"}\n"));
  EXPECT_THAT(report, HasSubstr("{\"record\":\"note\",\"text\":\"later warning \\\"quoted\\\"\"}\n"));
  const std::string check = std::string("python3 '") + PURGATO_SOURCE_DIR + "/tests/tools/check_report.py' '" +
                            PURGATO_SOURCE_DIR + "/docs/purgato-scan-report.schema.json' '" + run.report +
                            "' >/dev/null";
  EXPECT_EQ(std::system(check.c_str()), 0) << report;
}

// The footer is made without the C library, for a signal handler: its
// calendar must agree with gmtime's, leap days and century years included.
TEST(RunJournal, TheFooterGivesTheTimeAsGmtimeDoesAndTheDurationAndStatus) {
  const std::int64_t instants[] = {
      0,                    // 1970-01-01
      951782400000 + 1,     // 2000-02-29, a leap day of a century year
      951868799999,         // its last millisecond
      4107542400000 - 1,    // 2100-02-28 23:59:59.999, a century year with no leap day
      4107542400000,        // 2100-03-01
      1796342400123,        // 2026-12-04 and 123 ms
      253402300799999,      // 9999-12-31 23:59:59.999
  };
  for (const std::int64_t ms : instants) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char want[64];
    std::snprintf(want, sizeof want, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(ms % 1000));
    EXPECT_EQ(utcTime(ms), want) << ms;
    char footer[128];
    const std::size_t length = footerText(footer, sizeof footer, ms - 61005, ms, 3);
    EXPECT_EQ(std::string(footer, length), std::string("=== run ended ") + want + " after 61.005 s, exit status 3\n\n");
  }
  char small[20];
  EXPECT_EQ(footerText(small, sizeof small, 0, 1000, 0), sizeof small);
  EXPECT_EQ(std::string(small, sizeof small), "=== run ended 1970-0");
}

}  // namespace
}  // namespace purgato
