// Run values, the worm's service, and the win.ini / autoexec cuts, against
// the in-memory registry and service manager of FakeOs and real files in a
// temporary volume.
#include "clean/registry_cleanup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;

constexpr HWnd kProgressWindow = 0x1234;
const std::string kRemovedLine = "System Registry     W32/Opaserv.Worm removed";

class RegistryCleanupTest : public ::testing::Test {
 protected:
  RegistryCleanupTest() {
    session_.progressWindow = kProgressWindow;
    os_.attach(session_);
    os_.createKey(kHkeyLocalMachine, kRunKey);
  }

  void setRun(const std::string& name, const std::string& data = "C:\\WINDOWS\\x.exe") {
    os_.setValue(kHkeyLocalMachine, kRunKey, name, data);
  }
  std::vector<std::string> runValues() const { return os_.valueNames(kHkeyLocalMachine, kRunKey); }
  std::vector<std::string> deletedValues() const {
    std::vector<std::string> names;
    for (const std::string& e : os_.events())
      if (e.rfind("regdelete-value:", 0) == 0) names.push_back(e.substr(16));
    return names;
  }

  FakeOs os_;
  ScanSession session_;
};

// --- Run values -----------------------------------------------------------

TEST_F(RegistryCleanupTest, FixedNamesAreDeletedInTableOrderEachWithItsLine) {
  for (const char* name : {"GustavVED", "instit", "cronos", "brasil", "scrsvr"}) setRun(name);
  setRun("Explorer");

  EXPECT_EQ(cleanRunEntries(session_, os_, "C:\\WINDOWS\\NOTEPAD.EXE"), 0);

  EXPECT_EQ(deletedValues(), (std::vector<std::string>{"scrsvr", "brasil", "cronos", "instit", "GustavVED"}));
  EXPECT_EQ(runValues(), std::vector<std::string>{"Explorer"});
  EXPECT_EQ(os_.logLines(), std::vector<std::string>(5, kRemovedLine));
  EXPECT_EQ(os_.liveKeys(), 0);
}

struct RunCase {
  const char* label;
  std::vector<std::string> present;  // Run values before the call
  const char* path;
  std::vector<std::string> left;  // Run values after the call
};

class CleanRunEntriesTable : public RegistryCleanupTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(CleanRunEntriesTable, DeletesOnlyTheFixedNames) {
  const RunCase& c = GetParam();
  for (const std::string& name : c.present) setRun(name);

  EXPECT_EQ(cleanRunEntries(session_, os_, c.path), 0);

  EXPECT_EQ(runValues(), c.left);
  const std::size_t removed = c.present.size() - c.left.size();
  EXPECT_EQ(os_.logLines(), std::vector<std::string>(removed, kRemovedLine));
  EXPECT_EQ(os_.liveKeys(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanRunEntriesTable,
    ::testing::Values(
        // Value names compare without regard to case.
        RunCase{"MixedCaseFixedName", {"ScrSvr"}, "C:\\WINDOWS\\NOTEPAD.EXE", {}},
        // A legitimate entry named like the file being scanned stays: the
        // file is not known to be the worm's yet.
        RunCase{"ValueNamedAfterTheFileStays", {"MSTASK", "notepad"}, "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE",
                {"MSTASK", "notepad"}},
        RunCase{"FixedNameGoesLegitimateStays", {"SCRSVR", "Explorer"}, "C:\\WINDOWS\\SCRSVR.EXE", {"Explorer"}},
        RunCase{"CleanMachine", {}, "C:\\WINDOWS\\SCRSVR.EXE", {}}),
    [](const auto& info) { return std::string(info.param.label); });

struct WormRunCase {
  const char* label;
  const char* path;
  const char* value;  // the Run value that must go
};

class CleanWormRunEntryTable : public RegistryCleanupTest, public ::testing::WithParamInterface<WormRunCase> {};

TEST_P(CleanWormRunEntryTable, DeletesTheValueNamedAfterTheBaseName) {
  const WormRunCase& c = GetParam();
  setRun(c.value);
  setRun("Explorer");
  setRun("scrsvr");  // not this function's business

  EXPECT_EQ(cleanWormRunEntry(session_, os_, c.path), 0);

  EXPECT_EQ(deletedValues(), std::vector<std::string>{c.value});
  EXPECT_EQ(runValues(), (std::vector<std::string>{"Explorer", "scrsvr"}));
  EXPECT_EQ(os_.logLines(), std::vector<std::string>{kRemovedLine});
  EXPECT_EQ(os_.liveKeys(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanWormRunEntryTable,
    ::testing::Values(WormRunCase{"SystemFolderFile", "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE", "MSTASK"},
                      WormRunCase{"CutAtTheFirstDot", "C:\\TEMP\\setup.tmp.exe", "setup"},
                      WormRunCase{"NoFolder", "winboot.exe", "winboot"},
                      WormRunCase{"NoExtension", "C:\\WINDOWS\\mstask", "mstask"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryCleanupTest, EmptyBaseNameNeverTouchesTheDefaultValue) {
  setRun("", "C:\\legit.exe");  // the Run key's default value
  for (const char* path : {"C:\\WINDOWS\\.hidden", "C:\\WINDOWS\\", ""}) cleanWormRunEntry(session_, os_, path);
  EXPECT_TRUE(os_.hasValue(kHkeyLocalMachine, kRunKey, ""));
  EXPECT_EQ(os_.calls(Op::RegDeleteValue), 0);
}

TEST_F(RegistryCleanupTest, WithoutProgressWindowValuesGoSilently) {
  session_.progressWindow = 0;
  setRun("brasil");
  setRun("MSTASK");

  cleanRunEntries(session_, os_, "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE");
  cleanWormRunEntry(session_, os_, "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE");

  EXPECT_TRUE(runValues().empty());
  EXPECT_TRUE(os_.sent().empty());
}

TEST_F(RegistryCleanupTest, LongRunValueStillCountsAsExisting) {
  // A long command line is normal for a Run value; it must not hide it.
  setRun("cronos", std::string(300, 'x'));
  setRun("MSTASK", std::string(1000, 'y'));

  cleanRunEntries(session_, os_, "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE");
  cleanWormRunEntry(session_, os_, "C:\\WINDOWS\\SYSTEM\\MSTASK.EXE");

  EXPECT_TRUE(runValues().empty());
  EXPECT_EQ(os_.logLines().size(), 2u);
}

// The worm would start again from a value that stays: it is said, whether
// the key could not be opened for the delete (no right to it) or the
// delete itself was refused; a value gone meanwhile is not.
TEST_F(RegistryCleanupTest, AValueThatCannotBeDeletedIsReportedAndTheKeyClosed) {
  struct Case {
    const char* label;
    Op failing;
    int nth;
    std::vector<std::string> lines;
  } cases[] = {
      {"delete refused", Op::RegDeleteValue, 1, {"System Registry     W32/Opaserv.Worm could not be removed"}},
      // Opens 1 to 4 ask after scrsvr, brasil, cronos and instit; 5 is the delete's.
      {"no right to open the key", Op::RegOpenKeyEx, 5,
       {"System Registry     W32/Opaserv.Worm could not be removed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeOs os;
    ScanSession session;
    session.progressWindow = 0x77;
    os.attach(session);
    os.setValue(kHkeyLocalMachine, kRunKey, "instit", "C:\\x.exe");
    os.failOn(c.failing, c.nth);
    cleanRunEntries(session, os, "C:\\A.EXE");
    EXPECT_EQ(os.valueNames(kHkeyLocalMachine, kRunKey), std::vector<std::string>{"instit"});
    EXPECT_EQ(os.logLines(), c.lines);
    EXPECT_EQ(os.liveKeys(), 0);
  }
}

// A value that cannot be deleted is reported once per scan, not again for
// every file that follows: the fixed names and the one named after a file.
TEST_F(RegistryCleanupTest, AValueThatCannotBeDeletedIsReportedOncePerScan) {
  for (const char* name : {"instit", "MSTASK"}) setRun(name);
  os_.failWhen(Op::RegDeleteValue, [](const char* name) { return name && std::strcmp(name, "brasil") != 0; });
  for (const char* file : {"C:\\A.EXE", "C:\\WINDOWS\\MSTASK.EXE", "C:\\B.EXE", "C:\\mstask.dll"}) {
    cleanRunEntries(session_, os_, file);
    cleanWormRunEntry(session_, os_, file);
  }
  EXPECT_EQ(os_.logLines(),
            std::vector<std::string>(2, "System Registry     W32/Opaserv.Worm could not be removed"));
  EXPECT_EQ(runValues(), (std::vector<std::string>{"instit", "MSTASK"}));

  // Another value that comes later is still removed, and a new scan tries again.
  setRun("brasil");
  cleanRunEntries(session_, os_, "C:\\C.EXE");
  EXPECT_EQ(os_.logLines().back(), kRemovedLine);
  const std::size_t before = os_.logLines().size();
  ScanSession next;
  next.progressWindow = kProgressWindow;
  os_.attach(next);
  cleanRunEntries(next, os_, "C:\\A.EXE");
  ASSERT_EQ(os_.logLines().size(), before + 1);
  EXPECT_EQ(os_.logLines().back(), "System Registry     W32/Opaserv.Worm could not be removed");
}

// The 32-bit view of a 64-bit registry, when asked for: each view's value
// goes with its own line; a view without the key costs nothing.
TEST_F(RegistryCleanupTest, TheThirtyTwoBitViewIsCleanedWhenAsked) {
  os_.createKey(kHkeyLocalMachine, kRunKeyWow64);
  setRun("scrsvr");
  os_.setValue(kHkeyLocalMachine, kRunKeyWow64, "scrsvr", "C:\\WINDOWS\\scrsvr.exe");
  os_.setValue(kHkeyLocalMachine, kRunKeyWow64, "MSTASK", "C:\\WINDOWS\\mstask.exe");
  os_.setValue(kHkeyLocalMachine, kRunKeyWow64, "Other", "C:\\other.exe");

  cleanRunEntries(session_, os_, "C:\\WINDOWS\\MSTASK.EXE");
  cleanWormRunEntry(session_, os_, "C:\\WINDOWS\\MSTASK.EXE");
  EXPECT_EQ(os_.logLines(), std::vector<std::string>{kRemovedLine});  // not asked: the native view only
  session_.wow64RunView = true;
  cleanRunEntries(session_, os_, "C:\\WINDOWS\\MSTASK.EXE");
  cleanWormRunEntry(session_, os_, "C:\\WINDOWS\\MSTASK.EXE");
  EXPECT_EQ(os_.logLines(), std::vector<std::string>(3, kRemovedLine));
  EXPECT_EQ(os_.valueNames(kHkeyLocalMachine, kRunKeyWow64), std::vector<std::string>{"Other"});
  EXPECT_EQ(os_.liveKeys(), 0);
}

TEST_F(RegistryCleanupTest, MissingRunKeyIsSilent) {
  FakeOs bare;
  bare.attach(session_);
  EXPECT_EQ(cleanRunEntries(session_, bare, "C:\\SCRSVR.EXE"), 0);
  EXPECT_EQ(cleanWormRunEntry(session_, bare, "C:\\SCRSVR.EXE"), 0);
  EXPECT_TRUE(bare.sent().empty());
  EXPECT_EQ(bare.liveKeys(), 0);
}

// --- readRegistryString ---------------------------------------------------

struct ReadCase {
  const char* label;
  std::vector<std::uint8_t> data;
  std::size_t bufferSize;
  int result;
  const char* text;  // buffer contents on success
};

std::vector<std::uint8_t> bytesOf(const std::string& text, bool zero) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  if (zero) bytes.push_back(0);
  return bytes;
}

class ReadRegistryStringTable : public RegistryCleanupTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadRegistryStringTable, NeverWritesPastTheBuffer) {
  const ReadCase& c = GetParam();
  const char* key = "Software\\Test";
  os_.setRawValue(kHkeyCurrentUser, key, "Startup", FakeOs::kRegSz, c.data);
  constexpr std::size_t kCanary = 16;
  std::vector<char> storage(c.bufferSize + kCanary, '#');

  EXPECT_EQ(readRegistryString(os_, kHkeyCurrentUser, key, "Startup", storage.data(), c.bufferSize), c.result);

  for (std::size_t i = c.bufferSize; i < storage.size(); ++i) ASSERT_EQ(storage[i], '#') << "byte " << i;
  if (c.result == 1) {
    EXPECT_STREQ(storage.data(), c.text);
  }
  EXPECT_EQ(os_.liveKeys(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadRegistryStringTable,
    ::testing::Values(
        ReadCase{"Fits", bytesOf("C:\\Startup", true), 260, 1, "C:\\Startup"},
        ReadCase{"FitsExactlyWithItsZero", bytesOf("abcdefg", true), 8, 1, "abcdefg"},
        ReadCase{"UnterminatedIsTerminated", bytesOf("abc", false), 8, 1, "abc"},
        ReadCase{"UnterminatedFillsTheBuffer", bytesOf("abcdefgh", false), 8, 0, ""},
        ReadCase{"OneByteTooLong", bytesOf("abcdefgh", true), 8, 0, ""},
        ReadCase{"FarTooLong", bytesOf(std::string(400, 'z'), true), 260, 0, ""},
        ReadCase{"EmptyValue", {}, 4, 1, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryCleanupTest, TooLongValueIsNotReadAtAll) {
  os_.setValue(kHkeyCurrentUser, "Software\\Test", "Startup", std::string(300, 'q'));
  char buffer[260];
  EXPECT_EQ(readRegistryString(os_, kHkeyCurrentUser, "Software\\Test", "Startup", buffer, sizeof buffer), 0);
  EXPECT_EQ(os_.calls(Op::RegQueryValueEx), 1);  // the size only
  EXPECT_EQ(os_.liveKeys(), 0);
}

struct StepFault {
  const char* label;
  Op op;
  int nth;
  int liveKeysAfter;
};

class ReadRegistryStringFaults : public RegistryCleanupTest, public ::testing::WithParamInterface<StepFault> {};

TEST_P(ReadRegistryStringFaults, AnyFailedStepFails) {
  const StepFault& c = GetParam();
  os_.setValue(kHkeyCurrentUser, "Software\\Test", "Startup", "C:\\Startup");
  os_.failOn(c.op, c.nth);
  char buffer[260] = "";
  EXPECT_EQ(readRegistryString(os_, kHkeyCurrentUser, "Software\\Test", "Startup", buffer, sizeof buffer), 0);
  EXPECT_EQ(os_.liveKeys(), c.liveKeysAfter);
  const auto opens = os_.keyOpens();
  for (const auto& open : opens) EXPECT_EQ(open.access, kKeyRead);
}

INSTANTIATE_TEST_SUITE_P(Steps, ReadRegistryStringFaults,
                         ::testing::Values(StepFault{"Open", Op::RegOpenKeyEx, 1, 0},
                                           StepFault{"SizeQuery", Op::RegQueryValueEx, 1, 0},
                                           StepFault{"DataQuery", Op::RegQueryValueEx, 2, 0},
                                           StepFault{"Close", Op::RegCloseKey, 1, 1}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- deleteRegistryValue ----------------------------------------------------

class DeleteRegistryValueFaults : public RegistryCleanupTest, public ::testing::WithParamInterface<StepFault> {};

TEST_P(DeleteRegistryValueFaults, AnyFailedStepFailsAndTheKeyIsClosed) {
  const StepFault& c = GetParam();
  setRun("scrsvr");
  os_.failOn(c.op, c.nth);
  EXPECT_EQ(deleteRegistryValue(os_, kHkeyLocalMachine, kRunKey, "scrsvr"), 0);
  EXPECT_EQ(os_.liveKeys(), c.liveKeysAfter);
}

INSTANTIATE_TEST_SUITE_P(Steps, DeleteRegistryValueFaults,
                         ::testing::Values(StepFault{"Open", Op::RegOpenKeyEx, 1, 0},
                                           StepFault{"Delete", Op::RegDeleteValue, 1, 0},
                                           StepFault{"Close", Op::RegCloseKey, 1, 1}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryCleanupTest, DeleteRegistryValueOpensWithAllAccess) {
  setRun("scrsvr");
  EXPECT_EQ(deleteRegistryValue(os_, kHkeyLocalMachine, kRunKey, "SCRSVR"), 1);
  EXPECT_FALSE(os_.hasValue(kHkeyLocalMachine, kRunKey, "scrsvr"));
  ASSERT_EQ(os_.keyOpens().size(), 1u);
  EXPECT_EQ(os_.keyOpens()[0].access, kKeyAllAccess);
  EXPECT_EQ(deleteRegistryValue(os_, kHkeyLocalMachine, kRunKey, "scrsvr"), 0);  // gone now
}

// --- Services ---------------------------------------------------------------

const std::vector<std::string> kServiceKeyOrder = {
    "SYSTEM\\ControlSet001\\Services\\Wsvc\\Enum", "SYSTEM\\ControlSet001\\Services\\Wsvc\\Security",
    "SYSTEM\\ControlSet001\\Services\\Wsvc",       "SYSTEM\\CONTROLSET002\\SERVICES\\Wsvc\\Enum",
    "SYSTEM\\ControlSet002\\Services\\Wsvc\\Security", "SYSTEM\\ControlSet002\\Services\\Wsvc",
};

class ServiceKeysTest : public RegistryCleanupTest {
 protected:
  // Every key deleteMachineKey was asked to delete, in order.
  std::vector<std::string> asked_;
  void record() {
    os_.failWhen(Op::RegDeleteKey, [this](const char* key) {
      asked_.push_back(key);
      return false;
    });
  }
};

TEST_F(ServiceKeysTest, DeletesTheSixKeysInOrder) {
  for (const char* set : {"ControlSet001", "ControlSet002"})
    for (const char* sub : {"\\Enum", "\\Security"})
      os_.createKey(kHkeyLocalMachine, std::string("SYSTEM\\") + set + "\\Services\\Wsvc" + sub);
  os_.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Other");
  record();

  EXPECT_EQ(deleteServiceKeys(os_, "Wsvc"), 1);

  EXPECT_EQ(asked_, kServiceKeyOrder);
  for (const std::string& key : kServiceKeyOrder) EXPECT_FALSE(os_.hasKey(kHkeyLocalMachine, key)) << key;
  EXPECT_TRUE(os_.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Other"));
}

TEST_F(ServiceKeysTest, MissingServiceGivesZeroAndChangesNothing) {
  os_.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Other\\Enum");
  record();
  EXPECT_EQ(deleteServiceKeys(os_, "Wsvc"), 0);
  EXPECT_EQ(asked_, kServiceKeyOrder);  // every deletion still tried
  EXPECT_TRUE(os_.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Other\\Enum"));
}

TEST_F(ServiceKeysTest, OneSuccessIsEnoughAndLaterDeletionsStillRun) {
  os_.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Wsvc");
  os_.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\Wsvc");
  os_.failWhen(Op::RegDeleteKey, [](const char* key) { return std::strstr(key, "ControlSet001") != nullptr; });
  record();
  EXPECT_EQ(deleteServiceKeys(os_, "Wsvc"), 1);
  EXPECT_EQ(asked_.size(), 6u);
  EXPECT_TRUE(os_.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Wsvc"));
  EXPECT_FALSE(os_.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\Wsvc"));
}

TEST_F(ServiceKeysTest, KeysThatWouldNotFitAreSkippedNotCut) {
  // 30 + 475 fits 511 characters, with "\\Enum" still fits, with "\\Security" not.
  const std::string name(475, 'n');
  record();
  deleteServiceKeys(os_, name.c_str());
  ASSERT_EQ(asked_.size(), 4u);
  for (const std::string& key : asked_) {
    EXPECT_LT(key.size(), 512u);
    EXPECT_NE(key.find(name), std::string::npos);
    EXPECT_EQ(key.find("Security"), std::string::npos);
  }
}

TEST_F(ServiceKeysTest, NamesThatAreNoServiceNameDeleteNothing) {
  os_.createKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Other\\Enum");
  record();
  EXPECT_EQ(deleteServiceKeys(os_, ""), 0);
  EXPECT_EQ(deleteServiceKeys(os_, "Other\\Enum"), 0);
  EXPECT_TRUE(asked_.empty());
  EXPECT_TRUE(os_.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Other\\Enum"));
}

struct StopCase {
  const char* label;
  bool refuses;
  int pendingPolls;
  bool neverStops;
  int result;
  std::size_t sleeps;  // each of 1000 ms
};

class StopServiceTable : public RegistryCleanupTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopServiceTable, PollsWhileStopPendingWithABound) {
  const StopCase& c = GetParam();
  FakeOs::FakeService& service = os_.addService("Wsvc");
  service.refusesStop = c.refuses;
  service.pendingPolls = c.pendingPolls;
  service.neverStops = c.neverStops;

  EXPECT_EQ(stopService(os_, "Wsvc", true), c.result);

  EXPECT_EQ(os_.sleeps(), std::vector<std::uint32_t>(c.sleeps, 1000));
  if (c.refuses) {
    EXPECT_EQ(os_.calls(Op::QueryServiceStatus), 0);
  }
  EXPECT_EQ(os_.liveServiceHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, StopServiceTable,
                         ::testing::Values(StopCase{"StopsAtOnce", false, 0, false, 1, 0},
                                           StopCase{"PendingThreePolls", false, 3, false, 1, 3},
                                           StopCase{"PendingTwentyNinePolls", false, 29, false, 1, 29},
                                           StopCase{"Refused", true, 0, false, 0, 0},
                                           StopCase{"NeverStops", false, 0, true, 0, 30}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryCleanupTest, StopServiceFailuresCloseWhatWasOpened) {
  EXPECT_EQ(stopService(os_, "Missing", true), 0);
  EXPECT_EQ(os_.liveServiceHandles(), 0);

  os_.addService("Wsvc");
  os_.failOn(Op::OpenSCManager);
  EXPECT_EQ(stopService(os_, "Wsvc", true), 0);
  EXPECT_EQ(os_.calls(Op::OpenService), 1);  // only the first call got that far

  // The first query fails: the last known state is STOP_PENDING.
  os_.addService("Slow").pendingPolls = 2;
  os_.failOn(Op::QueryServiceStatus);
  EXPECT_EQ(stopService(os_, "Slow", true), 0);
  EXPECT_EQ(os_.liveServiceHandles(), 0);
}

TEST_F(RegistryCleanupTest, StopServiceWithoutStopOnlyTellsWhetherItExists) {
  os_.addService("Wsvc");
  EXPECT_EQ(stopService(os_, "WSVC", false), 1);
  EXPECT_EQ(stopService(os_, "Missing", false), 0);
  EXPECT_EQ(os_.calls(Op::ControlService), 0);
  EXPECT_EQ(os_.service("Wsvc")->state, kServiceRunning);
  EXPECT_EQ(os_.liveServiceHandles(), 0);
}

// --- win.ini and autoexec ---------------------------------------------------

enum class Cleaner { WinIni, Autoexec };

struct CutCase {
  const char* label;
  Cleaner cleaner;
  std::string content;
  int result;
  std::string after;  // file content afterwards
};

const std::string kIniBody = "[windows]\r\nload=\r\nrun=\r\n[Desktop]\r\nWallpaper=(None)\r\n";
const std::string kBatBody = "@ECHO OFF\r\nPATH C:\\WINDOWS;C:\\WINDOWS\\COMMAND\r\n";

std::string headerAt(std::size_t fromEnd) {
  // "[MSAppFont]" starting exactly fromEnd bytes before the end.
  const std::string header = "[MSAppFont]\r\n";
  return kIniBody + header + std::string(fromEnd - header.size() - 2, 'a') + "\r\n";
}

std::vector<CutCase> cutCases() {
  std::string zeroInTail = kIniBody + std::string("x\0", 2) + winIniWormTail();
  std::string zeroBatTail = kBatBody + std::string("\0\r", 2) + "@scrsvr.exe\r\n";
  return {
      {"WinIniSectionCutBeforeTheBracket", Cleaner::WinIni, winIniWithWormTail(kIniBody), 1, kIniBody},
      {"WinIniHeaderExactly50BeforeTheEnd", Cleaner::WinIni, headerAt(50), 1, kIniBody},
      {"WinIniHeader51BeforeTheEnd", Cleaner::WinIni, headerAt(51), 0, headerAt(51)},
      {"WinIniLowerCaseHeader", Cleaner::WinIni, kIniBody + "[msappfont]\r\n", 1, kIniBody},
      {"WinIniWithoutSection", Cleaner::WinIni, kIniBody + kIniBody, 0, kIniBody + kIniBody},
      {"WinIniShorterThanTheTail", Cleaner::WinIni, winIniWormTail(), 0, winIniWormTail()},
      {"WinIniZeroByteBeforeTheHeader", Cleaner::WinIni, zeroInTail, 0, zeroInTail},
      {"AutoexecMarkerCut", Cleaner::Autoexec, autoexecWithMarker(kBatBody), 1, kBatBody},
      {"AutoexecUpperCaseMarker", Cleaner::Autoexec, kBatBody + "@SCRSVR.EXE\r\n", 1, kBatBody},
      {"AutoexecOfJustTheMarkerLine", Cleaner::Autoexec, autoexecWithMarker(""), 1, ""},
      {"AutoexecShorterThanTheTail", Cleaner::Autoexec, "@scrsvr.exe\r\n", 0, "@scrsvr.exe\r\n"},
      {"AutoexecMarkerWithoutLineEnd", Cleaner::Autoexec, kBatBody + "@scrsvr.exe", 0, kBatBody + "@scrsvr.exe"},
      {"AutoexecMarkerBeforeTheTail", Cleaner::Autoexec, kBatBody + "@scrsvr.exe\r\nrem\r\n",
       0, kBatBody + "@scrsvr.exe\r\nrem\r\n"},
      {"AutoexecZeroByteBeforeTheMarker", Cleaner::Autoexec, zeroBatTail, 0, zeroBatTail},
      {"AutoexecWithoutMarker", Cleaner::Autoexec, kBatBody, 0, kBatBody},
  };
}

class StartupFileTest : public RegistryCleanupTest {
 protected:
  StartupFileTest() { volume_.mapInto(os_); }

  // Writes the file, opens it as the scanner does and hands it over.
  int clean(Cleaner cleaner, const std::string& content) {
    volume_.writeFile(path(cleaner), content);
    const int fd = os_.open(path(cleaner), kORdOnly | kOBinary);
    EXPECT_GE(fd, 0);
    return cleaner == Cleaner::WinIni ? cleanWinIni(os_, path(cleaner), fd) : cleanAutoexec(os_, path(cleaner), fd);
  }
  static const char* path(Cleaner cleaner) {
    return cleaner == Cleaner::WinIni ? "C:\\WINDOWS\\WIN.INI" : "C:\\AUTOEXEC.BAT";
  }
  void expectAllClosed(int closes) {
    EXPECT_EQ(os_.liveFiles(), 0);
    EXPECT_EQ(os_.badCloses(), 0);
    EXPECT_EQ(os_.calls(Op::Close), closes);
  }

  TempVolume volume_;
};

class CutTable : public StartupFileTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutTable, CutsAtTheMarkerInTheTail) {
  const CutCase& c = GetParam();
  EXPECT_EQ(clean(c.cleaner, c.content), c.result);
  EXPECT_EQ(volume_.readText(path(c.cleaner)), c.after);
  expectAllClosed(c.result == 1 ? 2 : 1);  // the reading descriptor, then the writing one
}

INSTANTIATE_TEST_SUITE_P(Cases, CutTable, ::testing::ValuesIn(cutCases()),
                         [](const auto& info) { return std::string(info.param.label); });

struct CutFault {
  const char* label;
  Cleaner cleaner;
  Op op;
  int nth;     // counted from the handover
  int closes;  // close calls in all
};

class CutFaults : public StartupFileTest, public ::testing::WithParamInterface<CutFault> {};

TEST_P(CutFaults, FailureLeavesTheFileAndClosesOnce) {
  const CutFault& c = GetParam();
  const std::string content = c.cleaner == Cleaner::WinIni ? winIniWithWormTail(kIniBody) : autoexecWithMarker(kBatBody);
  volume_.writeFile(path(c.cleaner), content);
  const int fd = os_.open(path(c.cleaner), kORdOnly | kOBinary);
  ASSERT_GE(fd, 0);
  os_.failOn(c.op, c.nth);

  const int result =
      c.cleaner == Cleaner::WinIni ? cleanWinIni(os_, path(c.cleaner), fd) : cleanAutoexec(os_, path(c.cleaner), fd);

  EXPECT_EQ(result, 0);
  EXPECT_EQ(volume_.readText(path(c.cleaner)), content);
  EXPECT_EQ(os_.liveFiles(), 0);
  EXPECT_EQ(os_.badCloses(), 0);
  EXPECT_EQ(os_.calls(Op::Close), c.closes);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CutFaults,
    ::testing::Values(CutFault{"WinIniSeek", Cleaner::WinIni, Op::Lseek, 1, 1},
                      CutFault{"WinIniRead", Cleaner::WinIni, Op::Read, 1, 1},
                      CutFault{"WinIniLength", Cleaner::WinIni, Op::Lseek, 2, 1},
                      CutFault{"WinIniReopen", Cleaner::WinIni, Op::Open, 1, 1},
                      CutFault{"WinIniChsize", Cleaner::WinIni, Op::Chsize, 1, 2},
                      CutFault{"AutoexecLength", Cleaner::Autoexec, Op::Lseek, 1, 1},
                      CutFault{"AutoexecSeek", Cleaner::Autoexec, Op::Lseek, 2, 1},
                      CutFault{"AutoexecRead", Cleaner::Autoexec, Op::Read, 1, 1},
                      CutFault{"AutoexecReopen", Cleaner::Autoexec, Op::Open, 1, 1},
                      CutFault{"AutoexecChsize", Cleaner::Autoexec, Op::Chsize, 1, 2}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace purgato
