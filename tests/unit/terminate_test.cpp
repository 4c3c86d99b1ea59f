// Ending processes by executable name on both Windows families, against the
// process table, toolhelp snapshot and performance-data registry of FakeOs.
// The performance-data blocks that lie are padded to exactly the first
// buffer's size, so that under AddressSanitizer any read past the data is a
// read past the buffer.
#include "clean/terminate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/fake_os.h"
#include "tests/support/perf_data.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;
using Ids = std::vector<std::uint32_t>;

constexpr std::size_t kFirstPerfBuffer = 51200;

// --- Family ---------------------------------------------------------------

struct FamilyCase {
  const char* label;
  std::function<void(FakeOs&)> setUp;
  int family;
};

class PlatformClassTable : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(PlatformClassTable, MapsThePlatformId) {
  FakeOs os;
  GetParam().setUp(os);
  EXPECT_EQ(platformClass(os), GetParam().family);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlatformClassTable,
    ::testing::Values(FamilyCase{"Win95", [](FakeOs& os) { os.setWin95(); }, kFamily9x},
                      FamilyCase{"Win98", [](FakeOs& os) { os.setWin98(); }, kFamily9x},
                      FamilyCase{"NT4", [](FakeOs& os) { os.setNT4(); }, kFamilyNT},
                      FamilyCase{"XP", [](FakeOs& os) { os.setXP(); }, kFamilyNT},
                      FamilyCase{"Vista", [](FakeOs& os) { os.setVista(); }, kFamilyNT},
                      FamilyCase{"Win32s", [](FakeOs& os) { os.setOtherPlatform(); }, kFamilyOther},
                      FamilyCase{"QueryFails", [](FakeOs& os) { os.failOn(Op::GetVersionEx); }, kFamilyQueryFailed}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TerminateProcessByImage, OtherFamiliesReturnOneAtOnce) {
  for (bool queryFails : {false, true}) {
    FakeOs os;
    os.setOtherPlatform();
    if (queryFails) os.failOn(Op::GetVersionEx);
    os.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
    EXPECT_EQ(terminateProcessByImage(os, "C:\\WINDOWS\\SCRSVR.EXE"), 1);
    EXPECT_TRUE(os.terminated().empty());
    EXPECT_EQ(os.calls(Op::LoadLibrary), 0);
    EXPECT_EQ(os.calls(Op::RegOpenKeyEx), 0);
    EXPECT_TRUE(os.sleeps().empty());
  }
}

TEST(TerminateProcessByImage, DispatchesByFamilyAndReportsWhetherAnythingEnded) {
  FakeOs nt;
  nt.setXP();
  nt.installPerflibCounters();
  nt.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  EXPECT_EQ(terminateProcessByImage(nt, "C:\\WINDOWS\\SYSTEM\\NOTHERE.EXE"), 0);
  EXPECT_EQ(terminateProcessByImage(nt, "C:\\WINDOWS\\SCRSVR.EXE"), 1);
  EXPECT_EQ(nt.terminated(), Ids{10});

  FakeOs w98;
  w98.setWin98();
  w98.addProcess(1, "C:\\WINDOWS\\EXPLORER.EXE");
  w98.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  EXPECT_EQ(terminateProcessByImage(w98, "C:\\WINDOWS\\NOTHERE.EXE"), 0);
  EXPECT_EQ(terminateProcessByImage(w98, "C:\\WINDOWS\\SCRSVR.EXE"), 1);
  EXPECT_EQ(w98.terminated(), Ids{10});
}

// --- 9x -------------------------------------------------------------------

struct Proc9x {
  std::uint32_t id;
  std::string exeFile;  // what the snapshot reports
};

struct Case9x {
  const char* label;
  std::vector<Proc9x> processes;  // in snapshot order
  const char* path;
  Ids ended;
};

class Terminate9xTable : public ::testing::TestWithParam<Case9x> {};

TEST_P(Terminate9xTable, EndsTheFirstProcessWithTheWholeFileName) {
  const Case9x& c = GetParam();
  FakeOs os;
  os.setWin98();
  for (const Proc9x& p : c.processes) os.addProcess(p.id, p.exeFile);

  EXPECT_EQ(terminateByImage9x(os, c.path), c.ended.empty() ? 0 : 1);

  EXPECT_EQ(os.terminated(), c.ended);
  EXPECT_EQ(os.liveHandles(), 0);
  EXPECT_EQ(os.calls(Op::FreeLibrary), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Terminate9xTable,
    ::testing::Values(
        Case9x{"AnyLetterCase",
               {{1, "C:\\WINDOWS\\KERNEL32.DLL"}, {2, "C:\\WINDOWS\\scrsvr.exe"}},
               "C:\\WINDOWS\\SCRSVR.EXE",
               {2}},
        Case9x{"OnlyTheFirstMatch",
               {{1, "C:\\WINDOWS\\KERNEL32.DLL"}, {2, "C:\\TEMP\\SCRSVR.EXE"}, {3, "C:\\WINDOWS\\SCRSVR.EXE"}},
               "C:\\WINDOWS\\SCRSVR.EXE",
               {2}},
        Case9x{"FirstSnapshotEntryNeverEnded",
               {{1, "C:\\WINDOWS\\SCRSVR.EXE"}, {2, "C:\\WINDOWS\\EXPLORER.EXE"}},
               "C:\\WINDOWS\\SCRSVR.EXE",
               {}},
        Case9x{"ExtensionMustMatch",
               {{1, "C:\\WINDOWS\\KERNEL32.DLL"}, {2, "C:\\WINDOWS\\SCRSVR2.EXE"}, {3, "C:\\WINDOWS\\SCRSVR.COM"}},
               "C:\\WINDOWS\\SCRSVR.EXE",
               {}},
        Case9x{"BareNamesOnBothSides", {{1, "KERNEL32.DLL"}, {2, "SCRSVR.EXE"}}, "scrsvr.exe", {2}},
        Case9x{"EmptySnapshot", {}, "C:\\WINDOWS\\SCRSVR.EXE", {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Terminate9x, WaitsAndOpensAsDocumented) {
  FakeOs os;
  os.setWin95();
  os.addProcess(1, "C:\\WINDOWS\\KERNEL32.DLL");
  os.addProcess(2, "C:\\WINDOWS\\EXPLORER.EXE");
  os.addProcess(3, "C:\\WINDOWS\\SCRSVR.EXE");
  os.addProcess(4, "C:\\WINDOWS\\SCRSVR.EXE");

  EXPECT_EQ(terminateByImage9x(os, "C:\\WINDOWS\\SCRSVR.EXE"), 1);

  // Load, snapshot, two Process32Next calls with a wait on each side, then
  // the wait before and after ending the process.
  EXPECT_EQ(os.sleeps(), (Ids{100, 100, 100, 100, 100, 100, 50, 500}));
  ASSERT_EQ(os.processOpens().size(), 1u);
  EXPECT_EQ(os.processOpens()[0].access, kProcessTerminate | kProcessQueryInformation);
  EXPECT_EQ(os.calls(Op::Process32Next), 2);
}

struct Fault9x {
  const char* label;
  std::function<void(FakeOs&)> inject;
  bool freesLibrary;
};

class Terminate9xFaults : public ::testing::TestWithParam<Fault9x> {};

TEST_P(Terminate9xFaults, EndNothingAndLeakNothing) {
  FakeOs os;
  os.setWin98();
  os.addProcess(1, "C:\\WINDOWS\\KERNEL32.DLL");
  os.addProcess(2, "C:\\WINDOWS\\SCRSVR.EXE");
  GetParam().inject(os);

  EXPECT_EQ(terminateByImage9x(os, "C:\\WINDOWS\\SCRSVR.EXE"), 0);

  EXPECT_TRUE(os.terminated().empty());
  EXPECT_EQ(os.liveHandles(), 0);
  EXPECT_EQ(os.calls(Op::FreeLibrary), GetParam().freesLibrary ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Terminate9xFaults,
    ::testing::Values(
        Fault9x{"NoKernel32", [](FakeOs& os) { os.removeLibrary("Kernel32.dll"); }, false},
        Fault9x{"NoSnapshotFunction", [](FakeOs& os) { os.removeProc("CreateToolhelp32Snapshot"); }, true},
        Fault9x{"SnapshotFails", [](FakeOs& os) { os.failOn(Op::CreateToolhelp32Snapshot); }, true},
        Fault9x{"NoProcess32First", [](FakeOs& os) { os.removeProc("Process32First"); }, true},
        Fault9x{"Process32FirstFails", [](FakeOs& os) { os.failOn(Op::Process32First); }, true},
        Fault9x{"NoProcess32Next", [](FakeOs& os) { os.removeProc("Process32Next"); }, true},
        Fault9x{"OpenProcessFails", [](FakeOs& os) { os.failOn(Op::OpenProcess); }, true},
        Fault9x{"TerminateFails", [](FakeOs& os) { os.failOn(Op::TerminateProcess); }, true}),
    [](const auto& info) { return std::string(info.param.label); });

// --- NT -------------------------------------------------------------------

class TerminateNTTest : public ::testing::Test {
 protected:
  TerminateNTTest() {
    os_.setXP();
    os_.installPerflibCounters();
  }

  // The counter names, overriding the default ones.
  void setCounterNames(std::vector<std::uint8_t> bytes) {
    os_.setRawValue(kHkeyLocalMachine, kPerflibCountersKey, "Counters", FakeOs::kRegMultiSz, std::move(bytes));
  }
  int perfQueries() const {
    int n = 0;
    for (const std::string& e : os_.events()) n += e.rfind("perfdata:", 0) == 0;
    return n;
  }

  FakeOs os_;
};

TEST_F(TerminateNTTest, ShortPathsAndEmptyTargetsNeverReachTheRegistry) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  for (const char* path : {"a.ex", "", ".EXE", "C:\\WINDOWS\\.EXE", "C:\\.exe"}) {
    EXPECT_EQ(terminateByImageNT(os_, path), 0) << path;
  }
  EXPECT_EQ(os_.calls(Op::RegOpenKeyEx), 0);
  EXPECT_EQ(os_.calls(Op::RegQueryValueEx), 0);
  EXPECT_TRUE(os_.terminated().empty());
}

struct ProcNT {
  std::uint32_t id;
  const char* path;
};

struct CaseNT {
  const char* label;
  std::vector<ProcNT> processes;
  const char* path;
  Ids ended;
};

class TerminateNTTable : public TerminateNTTest, public ::testing::WithParamInterface<CaseNT> {};

TEST_P(TerminateNTTable, EndsEveryInstanceThatBeginsWithTheName) {
  const CaseNT& c = GetParam();
  for (const ProcNT& p : c.processes) os_.addProcess(p.id, p.path);

  EXPECT_EQ(terminateByImageNT(os_, c.path), c.ended.empty() ? 0 : 1);

  EXPECT_EQ(os_.terminated(), c.ended);
  EXPECT_EQ(os_.sleeps(), Ids(c.ended.size(), 500));
  for (const auto& open : os_.processOpens()) EXPECT_EQ(open.access, kProcessTerminate);
  EXPECT_EQ(os_.liveHandles(), 0);
  EXPECT_EQ(os_.liveKeys(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TerminateNTTable,
    ::testing::Values(
        CaseNT{"PrefixMatchesToo",
               {{8, "C:\\WINDOWS\\EXPLORER.EXE"}, {10, "C:\\WINDOWS\\scrsvr.exe"}, {11, "C:\\TEMP\\scrsvr2.exe"}},
               "C:\\WINDOWS\\SCRSVR.EXE",
               {10, 11}},
        CaseNT{"SixteenCharactersMatch",
               {{20, "C:\\W\\SCRSVRABCDEFGHIJ.EXE"}, {21, "C:\\W\\SCRSVRABCDEFGHIJK.EXE"}},
               "C:\\WINDOWS\\SCRSVR.EXE",
               {20}},
        CaseNT{"NameShorterThanTarget", {{30, "C:\\W\\SCRSV.EXE"}}, "C:\\WINDOWS\\SCRSVR.EXE", {}},
        CaseNT{"OtherExtension", {{31, "C:\\W\\mstask.exe"}}, "C:\\WINDOWS\\SYSTEM\\MSTASK.DLL", {31}},
        CaseNT{"TargetLongerThanAnyName",
               {{32, "C:\\W\\SCRSVRABCDEFGHIJ.EXE"}},
               "C:\\W\\SCRSVRABCDEFGHIJK.EXE",
               {}},
        CaseNT{"NoFolderInPath", {{33, "C:\\W\\winboot.exe"}}, "WINBOOT.EXE", {33}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(TerminateNTTest, WaitsAfterEveryMatchEvenWhenItCannotBeEnded) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE").canOpen = false;
  os_.addProcess(11, "C:\\WINDOWS\\SCRSVR1.EXE").canTerminate = false;
  os_.addProcess(12, "C:\\WINDOWS\\SCRSVR2.EXE");

  EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 1);

  EXPECT_EQ(os_.terminated(), Ids{12});
  EXPECT_EQ(os_.sleeps(), (Ids{500, 500, 500}));
  EXPECT_EQ(os_.liveHandles(), 0);
}

TEST_F(TerminateNTTest, ClosesTheCounterKeyAndThePerformanceData) {
  std::vector<std::string> closed;
  os_.failWhen(Op::RegCloseKey, [&](const char* key) {
    closed.push_back(key);
    return false;
  });
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE");
  // The counter key by its path, HKEY_PERFORMANCE_DATA as a root with none.
  EXPECT_EQ(closed, (std::vector<std::string>{kPerflibCountersKey, ""}));
  EXPECT_EQ(os_.liveKeys(), 0);
}

TEST_F(TerminateNTTest, ZeroIdIsStoredAsFFFFFFFE) {
  os_.addProcess(0xFFFFFFFEu, "C:\\WINDOWS\\SCRSVR.EXE");
  os_.setPerformanceData(buildPerfData({{"scrsvr", 0}}));
  EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 1);
  EXPECT_EQ(os_.terminated(), Ids{0xFFFFFFFEu});
}

TEST_F(TerminateNTTest, AtMost254Rows) {
  std::vector<std::pair<std::string, std::uint32_t>> instances;
  for (std::uint32_t id = 1; id <= 260; ++id) {
    os_.addProcess(id, "C:\\W\\SCRSVR.EXE");
    instances.push_back({"scrsvr", id});
  }
  os_.setPerformanceData(buildPerfData(instances));
  terminateByImageNT(os_, "C:\\W\\SCRSVR.EXE");
  ASSERT_EQ(os_.terminated().size(), 254u);
  EXPECT_EQ(os_.terminated().back(), 254u);
}

TEST_F(TerminateNTTest, FailedNameConversionNamesTheRowUnknown) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  os_.failOn(Op::WideCharToMultiByte, 2);  // the second instance; "Idle" comes first
  EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 0);
  EXPECT_EQ(terminateByImageNT(os_, "C:\\TEMP\\UNKNOWN.EXE"), 0);
  os_.failOn(Op::WideCharToMultiByte, 2);
  EXPECT_EQ(terminateByImageNT(os_, "C:\\TEMP\\UNKNOWN.EXE"), 1);
  EXPECT_EQ(os_.terminated(), Ids{10});
}

// --- NT: counter names ------------------------------------------------------

// The bytes of a literal with embedded zeros, without the literal's own.
template <std::size_t N>
std::vector<std::uint8_t> counterBytes(const char (&text)[N]) {
  return {text, text + N - 1};
}

struct CounterCase {
  const char* label;
  std::vector<std::uint8_t> counters;
  std::uint32_t processIndex;  // what the performance data is built with
  std::uint32_t idIndex;
  bool ends;
};

class CounterNamesTable : public TerminateNTTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(CounterNamesTable, FindsBothIndices) {
  const CounterCase& c = GetParam();
  setCounterNames(c.counters);
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  // The block is served only to a query that names the right object.
  std::vector<std::uint8_t> block = buildPerfData({{"scrsvr", 10}}, c.processIndex, c.idIndex);
  const std::string wanted = std::to_string(c.processIndex);
  os_.failWhen(Op::RegQueryValueEx, [wanted](const char* name) {
    return std::strspn(name, "0123456789") == std::strlen(name) && *name && wanted != name;
  });
  os_.setPerformanceData(block);

  EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), c.ends ? 1 : 0);
  EXPECT_EQ(os_.liveKeys(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CounterNamesTable,
    ::testing::Values(
        CounterCase{"Default", buildCounterNames(defaultCounterNames()), 230, 784, true},
        CounterCase{"AnyLetterCase", counterBytes("230\0" "PROCESS\0" "784\0" "id PROCESS\0" "\0"), 230, 784, true},
        CounterCase{"LaterNameWins",
                    counterBytes("230\0" "Process\0" "784\0" "ID Process\0"
                                 "900\0" "Process\0" "999\0" "ID Process\0" "\0"),
                    900, 999, true},
        // REG_MULTI_SZ without its final zeros, or cut short: nothing past
        // the value is read.
        CounterCase{"NoFinalZeros", counterBytes("230\0" "Process\0" "784\0" "ID Process"), 230, 784, true},
        CounterCase{"CutAfterTheLastIndex", counterBytes("784\0" "ID Process\0" "230"), 230, 784, false},
        CounterCase{"NoIdProcess", counterBytes("230\0" "Process\0" "\0"), 230, 784, false},
        CounterCase{"NoProcess", counterBytes("784\0" "ID Process\0" "\0"), 230, 784, false},
        CounterCase{"StopsAtTheEmptyString",
                    counterBytes("230\0" "Process\0" "\0" "784\0" "ID Process\0" "\0"), 230, 784, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(TerminateNTTest, UnreadableCounterNamesEndNothing) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  for (Op op : {Op::RegOpenKeyEx, Op::RegQueryValueEx}) {
    for (int nth : {1, 2}) {
      if (op == Op::RegOpenKeyEx && nth == 2) continue;
      os_.failOn(op, nth);
      EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 0);
      EXPECT_EQ(perfQueries(), 0);
      EXPECT_EQ(os_.liveKeys(), 0);
      os_.clearFaults();
    }
  }
  FakeOs bare;  // no Counters value at all
  bare.setXP();
  bare.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  EXPECT_EQ(terminateByImageNT(bare, "C:\\WINDOWS\\SCRSVR.EXE"), 0);
  EXPECT_TRUE(bare.terminated().empty());
}

// --- NT: the performance-data query -----------------------------------------

TEST_F(TerminateNTTest, GrowsTheBufferWhileMoreDataIsAsked) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  std::vector<std::uint8_t> block = buildPerfData({{"scrsvr", 10}});
  block.resize(51200 + 2 * 25600 + 1, 0);  // fits only the fourth buffer
  os_.setPerformanceData(block);

  EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 1);
  EXPECT_EQ(perfQueries(), 4);
  EXPECT_EQ(os_.terminated(), Ids{10});
}

TEST_F(TerminateNTTest, MissingOrForeignDataEndsNothing) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  std::vector<std::uint8_t> notPerf = buildPerfData({{"scrsvr", 10}});
  notPerf[0] = 'Q';
  for (const std::vector<std::uint8_t>& block :
       {std::vector<std::uint8_t>{}, notPerf, std::vector<std::uint8_t>{'P', 0, 'E', 0, 'R', 0}}) {
    os_.setPerformanceData(block);
    EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 0);
  }
  os_.clearFaults();
  os_.setPerformanceData(buildPerfData({{"scrsvr", 10}}));
  os_.failWhen(Op::RegQueryValueEx, [](const char* name) { return std::strcmp(name, "230") == 0; });
  EXPECT_EQ(terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE"), 0);
  EXPECT_TRUE(os_.terminated().empty());
  EXPECT_EQ(os_.liveKeys(), 0);
}

// --- NT: blocks that lie ----------------------------------------------------

struct LieCase {
  const char* label;
  std::function<void(std::vector<std::uint8_t>&, const PerfBlockLayout&)> lie;
  Ids ended;
};

void pad(std::vector<std::uint8_t>& block) {
  ASSERT_LE(block.size(), kFirstPerfBuffer);
  block.resize(kFirstPerfBuffer, 0xEE);
}

class LyingBlockTable : public TerminateNTTest, public ::testing::WithParamInterface<LieCase> {};

TEST_P(LyingBlockTable, NoReadOutsideTheBlockAndOnlySoundRowsEnded) {
  os_.addProcess(10, "C:\\WINDOWS\\SCRSVR.EXE");
  os_.addProcess(11, "C:\\WINDOWS\\SCRSVR2.EXE");
  PerfBlockLayout layout;
  std::vector<std::uint8_t> block = buildPerfData({{"scrsvr", 10}, {"scrsvr2", 11}}, 230, 784, &layout);
  pad(block);
  GetParam().lie(block, layout);
  os_.setPerformanceData(block);

  terminateByImageNT(os_, "C:\\WINDOWS\\SCRSVR.EXE");

  EXPECT_EQ(os_.terminated(), GetParam().ended);
  EXPECT_EQ(os_.liveKeys(), 0);
}

constexpr std::uint32_t kHuge = 0xFFFFFFF0u;
const std::size_t kEnd = kFirstPerfBuffer;

INSTANTIATE_TEST_SUITE_P(
    Cases, LyingBlockTable,
    ::testing::Values(
        LieCase{"Sound", [](auto&, const auto&) {}, {10, 11}},
        LieCase{"HeaderLengthPastTheEnd",
                [](auto& b, const auto&) { putLe32(b, kPerfBlockHeaderLength, std::uint32_t(kEnd) + 8); }, {}},
        LieCase{"HeaderLengthAtTheVeryEnd",
                [](auto& b, const auto&) { putLe32(b, kPerfBlockHeaderLength, std::uint32_t(kEnd) - 2); }, {}},
        LieCase{"HeaderLengthHuge", [](auto& b, const auto&) { putLe32(b, kPerfBlockHeaderLength, kHuge); }, {}},
        LieCase{"ObjectHeaderLengthHuge",
                [](auto& b, const auto& l) { putLe32(b, l.object + kPerfObjectHeaderLength, kHuge); }, {}},
        LieCase{"DefinitionsRunOffTheEnd",
                [](auto& b, const auto& l) {
                  putLe32(b, l.object + kPerfObjectHeaderLength, std::uint32_t(kEnd - l.object - 20));
                  putLe32(b, l.object + kPerfObjectNumCounters, kHuge);
                },
                {}},
        LieCase{"CounterCountHugeButIdCounterFound",
                [](auto& b, const auto& l) { putLe32(b, l.object + kPerfObjectNumCounters, kHuge); }, {10, 11}},
        LieCase{"DuplicateIdCounterFirstWins",
                [](auto& b, const auto& l) {
                  // The decoy after it claims the same index; its value is another id.
                  putLe32(b, l.idCounter + kPerfCounterDefinitionSize + kPerfCounterNameTitleIndex, 784);
                },
                {10, 11}},
        LieCase{"IdCounterBeyondTheCount",
                [](auto& b, const auto& l) { putLe32(b, l.object + kPerfObjectNumCounters, kPerfIdCounterSlot); },
                {}},
        LieCase{"CounterOffsetHuge",
                [](auto& b, const auto& l) { putLe32(b, l.idCounter + kPerfCounterOffset, kHuge); }, {}},
        LieCase{"CounterOffsetPastTheCounterBlock",
                [](auto& b, const auto& l) { putLe32(b, l.idCounter + kPerfCounterOffset, kPerfCounterBlockLength); },
                {}},
        LieCase{"InstanceCountHuge",
                [](auto& b, const auto& l) { putLe32(b, l.object + kPerfObjectNumInstances, 0x7FFFFFFF); }, {10, 11}},
        LieCase{"InstanceCountNegative",
                [](auto& b, const auto& l) { putLe32(b, l.object + kPerfObjectNumInstances, 0x80000000u); }, {}},
        LieCase{"DefinitionLengthHuge",
                [](auto& b, const auto& l) { putLe32(b, l.object + kPerfObjectDefinitionLength, kHuge); }, {}},
        LieCase{"DefinitionLengthToTheLastBytes",
                [](auto& b, const auto& l) {
                  putLe32(b, l.object + kPerfObjectDefinitionLength, std::uint32_t(kEnd - l.object - 3));
                },
                {}},
        LieCase{"FirstNameOffsetHuge",
                [](auto& b, const auto& l) { putLe32(b, l.instances[0] + kPerfInstanceNameOffset, kHuge); }, {}},
        LieCase{"SecondNameOffsetPastTheEnd",
                [](auto& b, const auto& l) {
                  putLe32(b, l.instances[1] + kPerfInstanceNameOffset, std::uint32_t(kEnd - l.instances[1] + 2));
                },
                {10}},
        LieCase{"InstanceLengthZero",
                [](auto& b, const auto& l) { putLe32(b, l.instances[0] + kPerfInstanceByteLength, 0); }, {}},
        LieCase{"InstanceLengthHuge",
                [](auto& b, const auto& l) { putLe32(b, l.instances[1] + kPerfInstanceByteLength, kHuge); }, {10}},
        LieCase{"CounterBlockLengthZero",
                [](auto& b, const auto& l) { putLe32(b, l.counterBlocks[0] + kPerfCounterBlockByteLength, 0); }, {}},
        LieCase{"CounterBlockLengthPastTheEnd",
                [](auto& b, const auto& l) {
                  putLe32(b, l.counterBlocks[1] + kPerfCounterBlockByteLength,
                          std::uint32_t(kEnd - l.counterBlocks[1] + 1));
                },
                {10}},
        LieCase{"CounterBlockLengthHuge",
                [](auto& b, const auto& l) { putLe32(b, l.counterBlocks[0] + kPerfCounterBlockByteLength, kHuge); },
                {}},
        LieCase{"NameWithoutZeroAtTheEnd",
                [](auto& b, const auto& l) {
                  // The first instance's name is moved to the block's last
                  // bytes, with no zero after it.
                  const std::uint8_t name[] = {'s', 0, 'c', 0, 'r', 0, 's', 0, 'v', 0, 'r', 0};
                  putBytes(b, kEnd - sizeof name, name, sizeof name);
                  putLe32(b, l.instances[0] + kPerfInstanceNameOffset,
                          std::uint32_t(kEnd - sizeof name - l.instances[0]));
                },
                {10, 11}},
        LieCase{"NameOnTheLastOddByte",
                [](auto& b, const auto& l) {
                  putLe32(b, l.instances[0] + kPerfInstanceNameOffset, std::uint32_t(kEnd - 1 - l.instances[0]));
                },
                {11}},
        LieCase{"NameLongerThanAnyBuffer",
                [](auto& b, const auto& l) {
                  // 600 units without a zero: converted at most 260, then
                  // the conversion fails and the row is "unknown".
                  for (std::size_t i = 0; i < 600; ++i) putLe16(b, kEnd - 1200 + 2 * i, 'S');
                  putLe32(b, l.instances[0] + kPerfInstanceNameOffset, std::uint32_t(kEnd - 1200 - l.instances[0]));
                },
                {11}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace purgato
