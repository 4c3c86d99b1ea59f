// Tests of the test double and the fixture builders, where they could lie:
// a double that is kinder than Windows, or a sample whose bytes are not
// where the scanner will look, would make every other test worthless.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "engine/signatures.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_os.h"
#include "tests/support/perf_data.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Op = FakeOs::Op;

const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// --- Registry ---------------------------------------------------------------

TEST(FakeRegistry, KeysAndValueNamesIgnoreCase) {
  FakeOs os;
  os.setValue(kHkeyLocalMachine, kRun, "ScrSvr", "c:\\tmp\\scrsvr.exe");

  HKey key = 0;
  ASSERT_EQ(kErrorSuccess, os.regOpenKeyEx(kHkeyLocalMachine, "SOFTWARE\\microsoft\\WINDOWS\\currentversion\\run",
                                           kKeyAllAccess, &key));
  std::uint32_t size = 0;
  EXPECT_EQ(kErrorSuccess, os.regQueryValueEx(key, "scrsvr", nullptr, nullptr, &size));
  EXPECT_EQ(std::strlen("c:\\tmp\\scrsvr.exe") + 1, size);  // REG_SZ keeps its zero
  EXPECT_EQ(kErrorSuccess, os.regDeleteValue(key, "SCRSVR"));
  EXPECT_EQ(kErrorFileNotFound, os.regQueryValueEx(key, "ScrSvr", nullptr, nullptr, &size));
  EXPECT_EQ(kErrorSuccess, os.regCloseKey(key));
  EXPECT_FALSE(os.hasValue(kHkeyLocalMachine, kRun, "ScrSvr"));
  // The same path under the other root is another key.
  EXPECT_EQ(kErrorFileNotFound, os.regOpenKeyEx(kHkeyCurrentUser, kRun, kKeyRead, &key));
  EXPECT_EQ(0, os.liveKeys());
}

TEST(FakeRegistry, QueryReportsSizeAndRefusesSmallBuffersWithoutWriting) {
  FakeOs os;
  os.setValue(kHkeyCurrentUser, "Software\\X", "Startup", "C:\\Startup");  // 11 bytes with the zero
  HKey key = 0;
  ASSERT_EQ(kErrorSuccess, os.regOpenKeyEx(kHkeyCurrentUser, "Software\\X", kKeyRead, &key));

  struct Case {
    std::uint32_t bufferSize;
    long result;
    std::uint32_t sizeAfter;
    bool written;
  };
  const Case cases[] = {
      {10, kErrorMoreData, 11, false},  // one short: nothing written, the need reported
      {11, kErrorSuccess, 11, true},    // exact fit
      {64, kErrorSuccess, 11, true},    // room to spare: size is the data's
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bufferSize);
    std::vector<std::uint8_t> buffer(c.bufferSize, 0xEE);
    std::uint32_t size = c.bufferSize, type = 0;
    EXPECT_EQ(c.result, os.regQueryValueEx(key, "startup", &type, buffer.data(), &size));
    EXPECT_EQ(c.sizeAfter, size);
    if (c.written) {
      EXPECT_STREQ("C:\\Startup", reinterpret_cast<const char*>(buffer.data()));
      EXPECT_EQ(FakeOs::kRegSz, type);
    } else {
      EXPECT_EQ(std::vector<std::uint8_t>(c.bufferSize, 0xEE), buffer);
    }
  }
  // A closed handle is dead.
  ASSERT_EQ(kErrorSuccess, os.regCloseKey(key));
  std::uint32_t size = 0;
  EXPECT_EQ(FakeOs::kErrorInvalidHandle, os.regQueryValueEx(key, "startup", nullptr, nullptr, &size));
  EXPECT_EQ(FakeOs::kErrorInvalidHandle, os.regCloseKey(key));
}

TEST(FakeRegistry, RightsOfTheHandleAreEnforced) {
  FakeOs os;
  os.setValue(kHkeyLocalMachine, kRun, "brasil", "x");
  HKey readOnly = 0;
  ASSERT_EQ(kErrorSuccess, os.regOpenKeyEx(kHkeyLocalMachine, kRun, kKeyRead, &readOnly));
  EXPECT_EQ(kErrorAccessDenied, os.regDeleteValue(readOnly, "brasil"));
  EXPECT_TRUE(os.hasValue(kHkeyLocalMachine, kRun, "brasil"));
  os.regCloseKey(readOnly);
  ASSERT_EQ(1u, os.keyOpens().size());
  EXPECT_EQ(kKeyRead, os.keyOpens()[0].access);
}

TEST(FakeRegistry, DeletesOnlyExistingLeafKeys) {
  FakeOs os;
  const std::string service = "SYSTEM\\ControlSet001\\Services\\scrsvr";
  os.createKey(kHkeyLocalMachine, service + "\\Enum");
  os.setValue(kHkeyLocalMachine, service, "ImagePath", "scrsvr.exe");

  EXPECT_EQ(kErrorAccessDenied, os.regDeleteKey(kHkeyLocalMachine, service.c_str()));  // has a subkey
  EXPECT_EQ(kErrorSuccess, os.regDeleteKey(kHkeyLocalMachine, "system\\controlset001\\SERVICES\\SCRSVR\\ENUM"));
  EXPECT_FALSE(os.hasKey(kHkeyLocalMachine, service + "\\Enum"));
  EXPECT_EQ(kErrorSuccess, os.regDeleteKey(kHkeyLocalMachine, service.c_str()));  // now a leaf, values and all
  EXPECT_FALSE(os.hasKey(kHkeyLocalMachine, service));
  EXPECT_EQ(kErrorFileNotFound, os.regDeleteKey(kHkeyLocalMachine, service.c_str()));
  EXPECT_TRUE(os.hasKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services"));  // parents stay
}

// --- Faults -----------------------------------------------------------------

TEST(FakeFaults, CountdownFailsTheNthCallOnceOrFromThenOn) {
  struct Case {
    int nth;
    bool persist;
    std::vector<int> results;  // of five access calls on a file that exists
  };
  const Case cases[] = {
      {1, false, {-1, 0, 0, 0, 0}},
      {3, false, {0, 0, -1, 0, 0}},
      {3, true, {0, 0, -1, -1, -1}},
      {0, false, {0, 0, 0, 0, 0}},  // disarms
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "nth " << c.nth << " persist " << c.persist);
    TempVolume volume;
    FakeOs os;
    volume.mapInto(os);
    volume.writeFile("C:\\a.txt", "a");
    os.failOn(Op::Access, 5);  // replaced by the case's countdown
    os.failOn(Op::Access, c.nth, c.persist);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i) results.push_back(os.access("C:\\a.txt", kAccessRead));
    EXPECT_EQ(c.results, results);
    EXPECT_EQ(5, os.calls(Op::Access));
    EXPECT_EQ(0, os.calls(Op::Open));
  }
}

TEST(FakeFaults, PredicateFailsCallsNamingOneThing) {
  TempVolume volume;
  FakeOs os;
  volume.mapInto(os);
  volume.writeFile("C:\\good.bin", "g");
  volume.writeFile("C:\\bad.bin", "b");
  os.failWhen(Op::Read, [](const char* path) { return std::strcmp(path, "C:\\bad.bin") == 0; });
  os.failWhen(Op::GetProcAddress, [](const char* name) { return std::strcmp(name, "Process32Next") == 0; });

  char byte = 0;
  const int good = os.open("C:\\good.bin", kORdOnly | kOBinary);
  const int bad = os.open("C:\\bad.bin", kORdOnly | kOBinary);
  ASSERT_GE(good, 0);
  ASSERT_GE(bad, 0);
  EXPECT_EQ(1, os.read(good, &byte, 1));
  EXPECT_EQ(-1, os.read(bad, &byte, 1));  // the descriptor carries its path
  EXPECT_EQ(0, os.close(good));
  EXPECT_EQ(0, os.close(bad));
  EXPECT_EQ(-1, os.close(bad));
  EXPECT_EQ(1, os.badCloses());
  EXPECT_EQ(0, os.liveFiles());

  const Module kernel = os.loadLibrary("KERNEL32.DLL");
  ASSERT_NE(0u, kernel);
  EXPECT_NE(0u, os.getProcAddress(kernel, "Process32First"));
  EXPECT_EQ(0u, os.getProcAddress(kernel, "Process32Next"));
}

// --- Processes ----------------------------------------------------------------

TEST(FakeProcesses, RunningExecutableCannotBeDeletedUntilTerminated) {
  TempVolume volume;
  FakeOs os;
  volume.mapInto(os);
  volume.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
  FakeOs::FakeProcess& worm = os.addProcess(408, "C:\\WINDOWS\\SCRSVR.EXE");
  worm.canTerminate = false;

  EXPECT_FALSE(os.deleteFile("c:\\windows\\scrsvr.exe"));  // any spelling of the path
  EXPECT_EQ(-1, os.open("C:\\WINDOWS\\SCRSVR.EXE", kOWrOnly | kOBinary));
  EXPECT_TRUE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));

  const OsHandle queryOnly = os.openProcess(kProcessQueryInformation, false, 408);
  ASSERT_NE(0u, queryOnly);
  EXPECT_FALSE(os.terminateProcess(queryOnly, 0));  // no PROCESS_TERMINATE right
  const OsHandle handle = os.openProcess(kProcessTerminate | kProcessQueryInformation, false, 408);
  EXPECT_FALSE(os.terminateProcess(handle, 0));  // canTerminate is false
  worm.canTerminate = true;
  EXPECT_TRUE(os.terminateProcess(handle, 0));
  EXPECT_TRUE(os.closeHandle(handle));
  EXPECT_TRUE(os.closeHandle(queryOnly));

  EXPECT_TRUE(os.deleteFile("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_FALSE(volume.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_EQ(std::vector<std::uint32_t>{408}, os.terminated());
  EXPECT_EQ(0u, os.openProcess(kProcessTerminate, false, 408));  // gone
  EXPECT_EQ(0, os.liveHandles());
  const std::vector<std::string> events = os.events();
  EXPECT_EQ((std::vector<std::string>{"delete-failed:c:\\windows\\scrsvr.exe", "open-process:408:0x0400",
                                      "terminate-failed:408", "open-process:408:0x0401", "terminate-failed:408",
                                      "terminate:408", "delete:C:\\WINDOWS\\SCRSVR.EXE"}),
            events);
}

TEST(FakeProcesses, ToolhelpAndPsapiListRunningProcessesThroughTheirOwnTokens) {
  FakeOs os;
  os.addProcess(4, "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL");
  os.addProcess(120, "C:\\WINDOWS\\EXPLORER.EXE");
  os.addProcess(300, "C:\\WINDOWS\\GONE.EXE").running = false;
  os.addProcess(408, "C:\\WINDOWS\\SCRSVR.EXE").toolhelpName = "SCRSVR.EXE";

  const Module kernel = os.loadLibrary("Kernel32.dll");
  const Proc snap = os.getProcAddress(kernel, "CreateToolhelp32Snapshot");
  const Proc first = os.getProcAddress(kernel, "Process32First");
  const Proc next = os.getProcAddress(kernel, "Process32Next");
  EXPECT_EQ(0u, os.getProcAddress(kernel, "process32next"));  // names are case-sensitive
  EXPECT_EQ(0u, os.getProcAddress(kernel, "EnumProcesses"));  // not kernel32's
  const OsHandle snapshot = os.createToolhelp32Snapshot(snap, kTh32csSnapProcess, 0);
  ASSERT_NE(kInvalidHandle, snapshot);

  ProcessEntry entry{};
  EXPECT_FALSE(os.process32First(first, snapshot, &entry));  // size field not set
  entry.size = sizeof entry;
  EXPECT_FALSE(os.process32First(next, snapshot, &entry));  // another function's token
  ASSERT_TRUE(os.process32First(first, snapshot, &entry));
  std::vector<std::string> names = {entry.exeFile};
  while (os.process32Next(next, snapshot, &entry)) names.push_back(entry.exeFile);
  EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL", "C:\\WINDOWS\\EXPLORER.EXE",
                                      "SCRSVR.EXE"}),
            names);
  EXPECT_TRUE(os.closeHandle(snapshot));

  const Module psapi = os.loadLibrary("PSAPI.DLL");
  const Proc enumerate = os.getProcAddress(psapi, "EnumProcesses");
  const Proc moduleName = os.getProcAddress(psapi, "GetModuleFileNameExA");
  std::uint32_t ids[2] = {}, bytes = 0;
  ASSERT_TRUE(os.enumProcesses(enumerate, ids, sizeof ids, &bytes));
  EXPECT_EQ(8u, bytes);  // only what fits
  EXPECT_EQ(4u, ids[0]);
  EXPECT_EQ(120u, ids[1]);

  const OsHandle process = os.openProcess(kProcessQueryInformation | kProcessVmRead, false, 408);
  char name[11];
  EXPECT_EQ(0u, os.getModuleFileNameEx(snap, process, 0, name, sizeof name));
  EXPECT_EQ(10u, os.getModuleFileNameEx(moduleName, process, 0, name, sizeof name));
  EXPECT_STREQ("C:\\WINDOWS", name);  // truncated to fit, zero-terminated
  os.closeHandle(process);

  os.removeProc("EnumProcesses");
  EXPECT_EQ(0u, os.getProcAddress(psapi, "EnumProcesses"));
  os.removeLibrary("psapi.dll");
  EXPECT_EQ(0u, os.loadLibrary("psapi.dll"));
}

TEST(FakeProcesses, PerformanceDataMirrorsTheProcessTable) {
  FakeOs os;
  os.installPerflibCounters();
  os.addProcess(408, "C:\\WINDOWS\\SCRSVR.EXE");
  os.addProcess(512, "C:\\WINDOWS\\GONE.EXE").running = false;

  std::vector<std::uint8_t> buffer(64);
  std::uint32_t size = 64;
  EXPECT_EQ(kErrorMoreData, os.regQueryValueEx(kHkeyPerformanceData, "230", nullptr, buffer.data(), &size));
  EXPECT_EQ(64u, size);  // NT does not say how much

  buffer.assign(51200, 0);
  size = 51200;
  ASSERT_EQ(kErrorSuccess, os.regQueryValueEx(kHkeyPerformanceData, "230", nullptr, buffer.data(), &size));
  buffer.resize(size);
  EXPECT_EQ(buildPerfData({{"Idle", 0}, {"SCRSVR", 408}, {"_Total", 0}}), buffer);

  // Another object's index: a block without objects.
  size = 51200;
  buffer.assign(51200, 0);
  ASSERT_EQ(kErrorSuccess, os.regQueryValueEx(kHkeyPerformanceData, "238", nullptr, buffer.data(), &size));
  EXPECT_EQ(0u, getLe32(buffer, 28));
  EXPECT_EQ(size, getLe32(buffer, 20));
}

// --- Services -----------------------------------------------------------------

TEST(FakeServices, StopAndPollsFollowTheServiceSettings) {
  struct Case {
    const char* what;
    bool refusesStop;
    int pendingPolls;
    bool neverStops;
    bool stopAccepted;
    std::vector<std::uint32_t> polls;  // states of three queries after the stop
  };
  const Case cases[] = {
      {"stops at once", false, 0, false, true, {kServiceStopped, kServiceStopped, kServiceStopped}},
      {"two pending polls", false, 2, false, true, {kServiceStopPending, kServiceStopPending, kServiceStopped}},
      {"never stops", false, 0, true, true, {kServiceStopPending, kServiceStopPending, kServiceStopPending}},
      {"refuses", true, 0, false, false, {kServiceRunning, kServiceRunning, kServiceRunning}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeOs os;
    FakeOs::FakeService& service = os.addService("ScrSvr");
    service.refusesStop = c.refusesStop;
    service.pendingPolls = c.pendingPolls;
    service.neverStops = c.neverStops;

    const OsHandle manager = os.openSCManager(nullptr, nullptr, kScManagerAllAccess);
    EXPECT_EQ(0u, os.openService(manager, "brasil", kServiceAllAccess));
    const OsHandle handle = os.openService(manager, "scrsvr", kServiceAllAccess);
    ASSERT_NE(0u, handle);
    ServiceStatus status{};
    EXPECT_EQ(c.stopAccepted, os.controlService(handle, kServiceControlStop, &status));
    std::vector<std::uint32_t> polls;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(os.queryServiceStatus(handle, &status));
      polls.push_back(status.currentState);
    }
    EXPECT_EQ(c.polls, polls);
    EXPECT_TRUE(os.closeServiceHandle(handle));
    EXPECT_TRUE(os.closeServiceHandle(manager));
    EXPECT_EQ(0, os.liveServiceHandles());
  }
}

// --- Messages, version, conversion --------------------------------------------

TEST(FakeMessages, ChannelSendsCarryTheSessionTextInOrderWithSleeps) {
  FakeOs os;
  ScanSession session;
  os.attach(session);
  int statuses = 0;
  os.onSend = [&](const FakeOs::Sent& sent) {
    if (sent.message == kMsgStatus && ++statuses == 2) session.cancelRequested = true;
  };

  sendLogLine(session, os, "%s", "not shown: no window yet");
  session.progressWindow = 0x1234;
  sendStatus(session, os, "C:\\one");
  sendLogLine(session, os, "%s     %s deleted", "C:\\one", "W32/Opaserv.Worm");
  os.sleep(1000);
  sendStatus(session, os, "C:\\two");

  EXPECT_TRUE(session.cancelRequested);
  EXPECT_EQ(4u, os.sent().size());
  EXPECT_EQ(std::vector<std::string>{"C:\\one     W32/Opaserv.Worm deleted"}, os.logLines());
  EXPECT_EQ((std::vector<std::string>{"C:\\one", "C:\\two"}), os.statusLines());
  EXPECT_EQ((std::vector<std::string>{"status:C:\\one", "log:C:\\one     W32/Opaserv.Worm deleted", "sleep:1000",
                                      "status:C:\\two"}),
            os.events());
  EXPECT_EQ(1000u, os.sleptMs());

  Message quit{};
  quit.message = kWmQuit;
  os.queueMessage(quit);
  os.failOn(Op::PeekMessage);
  Message got{};
  EXPECT_FALSE(os.peekMessage(&got));  // a failed peek leaves the message queued
  ASSERT_TRUE(os.peekMessage(&got));
  EXPECT_EQ(kWmQuit, got.message);
  EXPECT_FALSE(os.peekMessage(&got));

  os.answerMessageBoxes({kIdYes});
  EXPECT_EQ(kIdYes, os.messageBox(7, "Terminate the Scan now?", "Purgato Ver 1.5", kMbYesNo));
  EXPECT_EQ(kIdNo, os.messageBox(7, "again", "Purgato Ver 1.5", kMbYesNo));
  ASSERT_EQ(2u, os.boxes().size());
  EXPECT_EQ("Terminate the Scan now?", os.boxes()[0].text);
}

TEST(FakeVersion, ReportsTheFamilyOnlyToA148ByteRecord) {
  struct Case {
    void (FakeOs::*set)();
    std::uint32_t platform, major, minor;
  };
  const Case cases[] = {
      {&FakeOs::setOtherPlatform, kPlatformWin32s, 3, 10}, {&FakeOs::setWin98, kPlatformWindows, 4, 10},
      {&FakeOs::setNT4, kPlatformNT, 4, 0},                 {&FakeOs::setWin2000, kPlatformNT, 5, 0},
      {&FakeOs::setXP, kPlatformNT, 5, 1},                  {&FakeOs::setVista, kPlatformNT, 6, 0},
  };
  for (const Case& c : cases) {
    FakeOs os;
    (os.*c.set)();
    OsVersionInfo info{};
    info.size = 156;  // the extended record is not what the program passes
    EXPECT_FALSE(os.getVersionEx(&info));
    info.size = sizeof info;
    ASSERT_TRUE(os.getVersionEx(&info));
    EXPECT_EQ(c.platform, info.platformId);
    EXPECT_EQ(c.major, info.majorVersion);
    EXPECT_EQ(c.minor, info.minorVersion);
  }
  FakeOs fresh;  // the default is neither family, like a mounted volume
  OsVersionInfo info{};
  info.size = sizeof info;
  ASSERT_TRUE(fresh.getVersionEx(&info));
  EXPECT_EQ(kPlatformWin32s, info.platformId);
}

TEST(FakeConversion, WideToAnsiNeedsRoomForTheWholeName) {
  FakeOs os;
  const char16_t name[] = u"scrsvr";
  char out[8];
  EXPECT_EQ(7, os.wideCharToMultiByte(kCpAcp, 0, name, -1, out, sizeof out));
  EXPECT_STREQ("scrsvr", out);
  EXPECT_EQ(7, os.wideCharToMultiByte(kCpAcp, 0, name, -1, nullptr, 0));  // size needed
  EXPECT_EQ(0, os.wideCharToMultiByte(kCpAcp, 0, name, -1, out, 6));      // no room for the zero
  const char16_t wide[] = {u'a', 0x263A, 0};
  EXPECT_EQ(3, os.wideCharToMultiByte(kCpAcp, 0, wide, -1, out, sizeof out));
  EXPECT_STREQ("a?", out);
}

// --- Temporary volume -----------------------------------------------------------

TEST(TempVolumeTest, ResolvesWindowsPathsAndCleansUpEvenLockedFolders) {
  std::string root;
  {
    TempVolume volume;
    root = volume.root();
    FakeOs os;
    volume.writeFile("C:\\WINDOWS\\WIN.INI", "[windows]\r\n");
    volume.mapInto(os);  // drives made before and after are both mapped
    volume.writeFile("D:\\DATA\\x.bin", std::vector<std::uint8_t>{1, 2, 3});

    EXPECT_EQ(volume.hostPath("C:\\WINDOWS\\WIN.INI"), volume.hostPath("c:\\windows\\win.ini"));
    EXPECT_EQ("[windows]\r\n", volume.readText("c:\\Windows\\Win.ini"));
    EXPECT_EQ(0, os.access("c:\\windows\\win.ini", kAccessRead));
    EXPECT_EQ(0, os.access("D:\\data\\X.BIN", kAccessRead));

    const auto before = volume.hashTree();
    EXPECT_EQ((std::vector<std::string>{"C", "C/WINDOWS", "C/WINDOWS/WIN.INI", "D", "D/DATA", "D/DATA/x.bin"}),
              [&] {
                std::vector<std::string> keys;
                for (const auto& entry : before) keys.push_back(entry.first);
                return keys;
              }());
    volume.writeFile("C:\\WINDOWS\\WIN.INI", "[windowz]\r\n");  // same length, other bytes
    EXPECT_NE(before, volume.hashTree());

    // What a test may leave behind: a read-only file in a folder it locked.
    ASSERT_TRUE(os.setFileAttributes("D:\\DATA\\x.bin", kAttrReadOnly));
    ASSERT_EQ(0, ::chmod(volume.hostPath("D:\\DATA").c_str(), 0500));
  }
  struct stat st;
  EXPECT_NE(0, ::stat(root.c_str(), &st));
}

// --- Samples --------------------------------------------------------------------

// The scanner's entry-offset rule, from the raw bytes.
std::int64_t entryOffsetOf(const std::vector<std::uint8_t>& pe) {
  const std::uint32_t e = getLe32(pe, 60);
  EXPECT_EQ(0x00004550u, getLe32(pe, e));
  const std::uint16_t sections = getLe16(pe, e + 6);
  const std::uint32_t ep = getLe32(pe, e + 24 + 16);
  std::uint32_t offset = ep;
  for (std::uint16_t i = 0; i < sections; ++i) {
    const std::size_t s = e + 248 + 40u * i;
    const std::uint32_t va = getLe32(pe, s + 12);
    if (va + getLe32(pe, s + 8) > ep) {
      offset = ep - va + getLe32(pe, s + 20);
      break;
    }
  }
  if (offset >= pe.size()) offset = ep;
  if (offset == 0) offset = getLe32(pe, e + 24 + 60);
  return offset;
}

std::vector<std::uint8_t> at(const std::vector<std::uint8_t>& bytes, std::int64_t offset) {
  if (offset < 0 || offset + kPatternLength > std::int64_t(bytes.size())) return {};
  return {bytes.begin() + offset, bytes.begin() + offset + kPatternLength};
}

TEST(Samples, WormSampleCarriesBothPatternsOfItsRowAtTheEntryOffsets) {
  for (int row = 0; row < kSignatureRows; ++row) {
    SCOPED_TRACE(row);
    const SignatureRecord& record = signatureTable[row];
    const std::vector<std::uint8_t> sample = buildWormSample(row);
    const std::int64_t entry = entryOffsetOf(sample);
    EXPECT_EQ(sampleEntryOffset(row), entry);
    EXPECT_EQ(record.sizeTest == kSizeAny ? 28672u : std::size_t(record.size), sample.size());
    const std::vector<std::uint8_t> p1(record.pattern1, record.pattern1 + kPatternLength);
    const std::vector<std::uint8_t> p2(record.pattern2, record.pattern2 + kPatternLength);
    EXPECT_EQ(p1, at(sample, entry + record.offset1));
    EXPECT_EQ(p2, at(sample, entry + record.offset2));
    // Behind the headers, which the patterns must not overwrite.
    EXPECT_GE(entry + std::min(record.offset1, record.offset2), 0x400);

    const std::vector<std::uint8_t> nearMiss = buildNearMiss(row);
    ASSERT_EQ(sample.size(), nearMiss.size());
    EXPECT_EQ(p1, at(nearMiss, entry + record.offset1));
    std::size_t differing = 0;
    for (std::size_t i = 0; i < sample.size(); ++i) differing += sample[i] != nearMiss[i];
    EXPECT_EQ(1u, differing);
    EXPECT_NE(p2, at(nearMiss, entry + record.offset2));

    const std::vector<std::uint8_t> longer = buildWormSample(row, 1);
    EXPECT_EQ(sample.size() + 1, longer.size());
    EXPECT_EQ(entry, entryOffsetOf(longer));
  }
}

TEST(Samples, PeBuilderWritesTheHeaderFieldsAsked) {
  PeImage image;
  image.eLfanew = 0x100;
  image.dosSignature = false;
  image.entryPoint = 0x2345;
  image.sizeOfHeaders = 0x600;
  image.sections = {{0x1000, 0x1000, 0x400}, {0x2000, 0x2000, 0x1400}};
  image.numberOfSectionsOverride = 21;
  image.length = 0x3000;
  image.patches = {{0x2FFE, {0xAA, 0xBB, 0xCC}}};  // runs past the end: extends it
  const std::vector<std::uint8_t> pe = buildPe(image);

  EXPECT_EQ(0x3001u, pe.size());
  EXPECT_EQ(0, pe[0]);
  EXPECT_EQ(0x100u, getLe32(pe, 60));
  EXPECT_EQ(21, getLe16(pe, 0x100 + 6));
  EXPECT_EQ(0x2345u, getLe32(pe, 0x100 + 40));
  EXPECT_EQ(0x600u, getLe32(pe, 0x100 + 84));
  EXPECT_EQ(0x2000u, getLe32(pe, 0x100 + 248 + 40 + 12));
  EXPECT_EQ(0x2000u, getLe32(pe, 0x100 + 248 + 40 + 8));
  EXPECT_EQ(0x1400u, getLe32(pe, 0x100 + 248 + 40 + 20));
  EXPECT_EQ(0xCC, pe[0x3000]);
  // Second section holds the entry point: 0x2345 - 0x2000 + 0x1400.
  image.numberOfSectionsOverride = -1;
  EXPECT_EQ(0x1745, entryOffsetOf(buildPe(image)));
}

TEST(Samples, CompanionAndStartupFilesHoldTheirMarkersWhereTheCleanerLooks) {
  const std::vector<std::uint8_t> companion = buildCompanionFile();
  ASSERT_EQ(1706u, companion.size());
  EXPECT_NE(0x00004550u, getLe32(companion, getLe32(companion, 60)));  // not a PE file
  EXPECT_EQ(std::vector<std::uint8_t>(kCompanionFileSignature.pattern1, kCompanionFileSignature.pattern1 + 20),
            at(companion, 592));
  EXPECT_EQ(std::vector<std::uint8_t>(kCompanionFileSignature.pattern2, kCompanionFileSignature.pattern2 + 20),
            at(companion, 1436));

  const std::string body(300, 'x');
  const std::string ini = winIniWithWormTail(body);
  EXPECT_EQ(body.size(), ini.find("[MSAppFont]"));
  EXPECT_LE(ini.size() - body.size(), 50u);
  const std::string autoexec = autoexecWithMarker(body);
  EXPECT_EQ(body.size() + 15, autoexec.size());
  EXPECT_EQ(0, autoexec.compare(body.size(), 13, kAutoexecMarker));
}

TEST(Samples, PerfDataBlockReadsBackFieldByField) {
  const std::vector<std::pair<std::string, std::uint32_t>> instances = {
      {"Idle", 0}, {"scrsvr", 408}, {"a-seventeen-chars", 0x12345678}};
  PerfBlockLayout layout;
  const std::vector<std::uint8_t> block = buildPerfData(instances, 230, 784, &layout);

  // PERF_DATA_BLOCK
  EXPECT_EQ(0, std::memcmp(block.data(), "P\0E\0R\0F\0", 8));
  EXPECT_EQ(block.size(), getLe32(block, 20));  // TotalByteLength
  EXPECT_EQ(1u, getLe32(block, 28));            // NumObjectTypes
  const std::uint32_t object = getLe32(block, 24);  // HeaderLength
  EXPECT_EQ(layout.object, object);
  EXPECT_GE(object, 88u);
  // PERF_OBJECT_TYPE
  EXPECT_EQ(block.size() - object, getLe32(block, object + 0));  // TotalByteLength
  const std::uint32_t definitionLength = getLe32(block, object + 4);
  const std::uint32_t headerLength = getLe32(block, object + 8);
  EXPECT_EQ(64u, headerLength);
  EXPECT_EQ(230u, getLe32(block, object + 12));  // ObjectNameTitleIndex
  const std::uint32_t counters = getLe32(block, object + 32);
  EXPECT_EQ(headerLength + 40 * counters, definitionLength);
  EXPECT_EQ(3u, getLe32(block, object + 40));  // NumInstances
  // PERF_COUNTER_DEFINITIONs, 40 bytes each; "ID Process" is not the first.
  std::uint32_t idOffset = 0;
  int idSlot = -1;
  for (std::uint32_t i = 0; i < counters; ++i) {
    const std::size_t d = object + headerLength + 40 * i;
    EXPECT_EQ(40u, getLe32(block, d));
    if (getLe32(block, d + 4) == 784 && idSlot < 0) {
      idSlot = int(i);
      idOffset = getLe32(block, d + 36);
      EXPECT_EQ(4u, getLe32(block, d + 32));  // CounterSize
      EXPECT_EQ(layout.idCounter, d);
    }
  }
  EXPECT_GT(idSlot, 0);
  // Instances, each followed by its counter block.
  std::size_t instance = object + definitionLength;
  for (std::size_t i = 0; i < instances.size(); ++i) {
    SCOPED_TRACE(instances[i].first);
    EXPECT_EQ(layout.instances[i], instance);
    const std::uint32_t nameOffset = getLe32(block, instance + 16);
    const std::uint32_t nameLength = getLe32(block, instance + 20);
    EXPECT_EQ(2 * (instances[i].first.size() + 1), nameLength);  // bytes, the zero included
    std::string name;
    for (std::uint32_t u = 0; u + 2 < nameLength; u += 2) name += char(getLe16(block, instance + nameOffset + u));
    EXPECT_EQ(instances[i].first, name);
    EXPECT_EQ(0, getLe16(block, instance + nameOffset + nameLength - 2));
    const std::size_t counterBlock = instance + getLe32(block, instance + 0);
    EXPECT_EQ(layout.counterBlocks[i], counterBlock);
    EXPECT_EQ(instances[i].second, getLe32(block, counterBlock + idOffset));
    EXPECT_NE(instances[i].second, getLe32(block, counterBlock + idOffset + 4));  // the decoy counter
    instance = counterBlock + getLe32(block, counterBlock + 0);
  }
  EXPECT_EQ(block.size(), instance);

  // The counter names: "index\0name\0" pairs and a final zero.
  const std::vector<std::uint8_t> names = buildCounterNames({{230, "Process"}, {784, "ID Process"}});
  const char expected[] = "230\0Process\0" "784\0ID Process\0";
  EXPECT_EQ(std::vector<std::uint8_t>(expected, expected + sizeof expected), names);
}

}  // namespace
}  // namespace purgato
