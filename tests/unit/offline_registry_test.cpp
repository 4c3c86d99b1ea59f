// The registry of a mounted NT volume served from hive files: the core's
// own Run and service cleaning over hives built by the test hive builder,
// the Win32 results the core relies on, write-back with backup and its
// failures, and hives that must be left alone.
#include "os/posix/offline_registry.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "os/posix/posix_os.h"
#include "scan/driver.h"
#include "session/session.h"
#include "tests/support/hive_builder.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorKeyDeleted = 1018;
const char kRemoved[] = "System Registry     W32/Opaserv.Worm removed";
const char kRunPath[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char kSoftwarePath[] = "C:\\WINNT\\system32\\config\\SOFTWARE";
const char kSystemPath[] = "C:\\WINNT\\system32\\config\\SYSTEM";

std::vector<std::uint8_t> readBytes(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& hostPath, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool exists(const std::string& hostPath) {
  struct stat st;
  return ::lstat(hostPath.c_str(), &st) == 0;
}

// The dump without the lines of the named values of one key.
std::vector<std::string> without(std::vector<std::string> dump, const std::string& keyPath,
                                 const std::vector<std::string>& names) {
  dump.erase(std::remove_if(dump.begin(), dump.end(),
                            [&](const std::string& line) {
                              for (const std::string& name : names)
                                if (line.rfind("V " + keyPath + " " + name + " ", 0) == 0) return true;
                              return false;
                            }),
             dump.end());
  return dump;
}

// The dump without a key and everything below it.
std::vector<std::string> withoutKey(std::vector<std::string> dump, const std::string& keyPath) {
  dump.erase(std::remove_if(dump.begin(), dump.end(),
                            [&](const std::string& line) {
                              return line.rfind("K " + keyPath + " ", 0) == 0 ||
                                     line.rfind("K " + keyPath + "\\", 0) == 0 ||
                                     line.rfind("V " + keyPath + " ", 0) == 0 ||
                                     line.rfind("V " + keyPath + "\\", 0) == 0;
                            }),
             dump.end());
  return dump;
}

HiveBuilder softwareHive() {
  HiveBuilder b("SOFTWARE");
  b.text(kRunPath, "ScrSvr", "C:\\WINNT\\scrsvr.exe")
      .text(kRunPath, "Explorer Helper", "C:\\Program Files\\Helper\\helper.exe")
      .text(kRunPath, "BRASIL", "C:\\WINNT\\brasil.exe")
      .text(kRunPath, "cronos", "C:\\WINNT\\cronos.exe")
      .text(kRunPath, "Instit", "C:\\WINNT\\instit.exe")
      .text(kRunPath, "gustavved", "C:\\WINNT\\gustav.exe")
      .text(kRunPath, "MsTask", "C:\\WINNT\\system32\\mstask.exe")
      .text(kRunPath, "Caf\xe9", "C:\\caf\xe9.exe")
      .text(kRunPath, "", "default data")
      .dword(kRunPath, "Count", 7)
      .value(kRunPath, "Blob", kHiveRegBinary, {1, 2, 3, 4, 5, 6, 7, 8, 9})
      .text("Microsoft\\Windows\\CurrentVersion\\RunOnce", "scrsvr", "C:\\WINNT\\scrsvr.exe")
      .text("Classes\\.txt", "", "txtfile");
  return b;
}

HiveBuilder systemHive(std::uint32_t current = 1) {
  HiveBuilder b("SYSTEM");
  for (const char* set : {"ControlSet001", "ControlSet002"}) {
    const std::string services = std::string(set) + "\\Services\\";
    b.text(services + "mstask", "ImagePath", "C:\\WINNT\\system32\\mstask.exe", kHiveRegExpandSz)
        .dword(services + "mstask", "Start", 2)
        .key(services + "mstask\\Enum")
        .value(services + "mstask\\Security", "Security", kHiveRegBinary, {1, 0, 4, 0x80})
        .text(services + "Eventlog", "ImagePath", "%SystemRoot%\\system32\\services.exe", kHiveRegExpandSz)
        .key(services + "Eventlog\\Parameters")
        .text(services + "Tcpip", "ImagePath", "system32\\drivers\\tcpip.sys", kHiveRegExpandSz);
  }
  b.text("ControlSet002\\Services\\Tcpip", "Marker", "only in set 2");
  b.dword("Select", "Current", current).dword("Select", "Default", current);
  return b;
}

class OfflineRegistryTest : public ::testing::Test {
 protected:
  OfflineRegistryTest() {
    volume_.makeFolder("C:\\WINNT\\system32\\config");
    volume_.mapInto(posix_);
    posix_.setWindowsDirectory("C:\\WINNT");
    session_.progressWindow = 1;
    posix_.setMessageSink([this](HWnd, std::uint32_t message, std::uintptr_t, std::intptr_t) -> std::intptr_t {
      if (message == kMsgLogLine) lines_.push_back(session_.logLine);
      return 0;
    });
    offline_.setNoteSink([this](const std::string& text) { notes_.push_back(text); });
  }

  std::string software() { return volume_.hostPath(kSoftwarePath); }
  std::string system() { return volume_.hostPath(kSystemPath); }

  void load(OfflineRegistryOs::Hive which, const std::string& path) {
    std::string error;
    ASSERT_TRUE(offline_.loadHive(which, path, &error)) << error;
  }
  void loadBoth() {
    softwareHive().write(software());
    systemHive().write(system());
    load(OfflineRegistryOs::Hive::kSoftware, software());
    load(OfflineRegistryOs::Hive::kSystem, system());
  }
  void commit() {
    std::vector<std::string> errors;
    EXPECT_TRUE(offline_.commit(&errors)) << (errors.empty() ? "" : errors[0]);
  }

  TempVolume volume_;
  PosixOs posix_;
  OfflineRegistryOs offline_{posix_};
  ScanSession session_;
  std::vector<std::string> lines_;
  std::vector<std::string> notes_;
};

// --- The core's cleaning, offline ------------------------------------------

TEST_F(OfflineRegistryTest, WholeScanRemovesTheWormRunValuesAndKeepsEverythingElse) {
  softwareHive().write(software());
  const std::vector<std::uint8_t> original = readBytes(software());
  const std::vector<std::string> before = dumpHive(software());
  load(OfflineRegistryOs::Hive::kSoftware, software());
  volume_.writeFile("C:\\WINNT\\system32\\mstask.exe", buildWormSample(0));
  volume_.writeFile("C:\\notes.txt", std::string("clean text"));

  std::strcpy(session_.targetPath, "C:");
  runScan(session_, offline_);
  EXPECT_EQ(std::count(lines_.begin(), lines_.end(), std::string(kRemoved)), 6);
  EXPECT_FALSE(volume_.exists("C:\\WINNT\\system32\\mstask.exe"));
  // Nothing reaches the file before the end of the scan.
  EXPECT_EQ(readBytes(software()), original);
  EXPECT_TRUE(offline_.changed(OfflineRegistryOs::Hive::kSoftware));

  commit();
  EXPECT_EQ(dumpHive(software()),
            without(before, std::string("SOFTWARE\\") + kRunPath,
                    {"ScrSvr", "BRASIL", "cronos", "Instit", "gustavved", "MsTask"}));
  EXPECT_EQ(readBytes(software() + ".purgato-backup"), original);
  EXPECT_FALSE(exists(software() + ".purgato-new"));
  EXPECT_FALSE(offline_.changed(OfflineRegistryOs::Hive::kSoftware));
  EXPECT_TRUE(notes_.empty());
}

TEST_F(OfflineRegistryTest, ServiceKeysGoFromBothControlSetsAndOtherServicesStay) {
  loadBoth();
  const std::vector<std::uint8_t> original = readBytes(system());
  const std::vector<std::string> before = dumpHive(system());
  const std::vector<std::uint8_t> softwareBefore = readBytes(software());

  EXPECT_EQ(deleteServiceKeys(offline_, "MSTASK"), 1);
  EXPECT_EQ(deleteServiceKeys(offline_, "NoSuchService"), 0);
  // A service with a subkey of its own is no leaf: NT keeps it.
  EXPECT_EQ(deleteServiceKeys(offline_, "eventlog"), 0);
  commit();

  std::vector<std::string> expected = withoutKey(before, "SYSTEM\\ControlSet001\\Services\\mstask");
  expected = withoutKey(expected, "SYSTEM\\ControlSet002\\Services\\mstask");
  EXPECT_EQ(dumpHive(system()), expected);
  EXPECT_EQ(readBytes(system() + ".purgato-backup"), original);
  // The unchanged hive is neither written nor backed up.
  EXPECT_EQ(readBytes(software()), softwareBefore);
  EXPECT_FALSE(exists(software() + ".purgato-backup"));
}

TEST_F(OfflineRegistryTest, CurrentControlSetFollowsSelectCurrent) {
  struct Case {
    const char* what;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
    const char* marker;  // what CurrentControlSet\Services\Tcpip\Marker reads, nullptr: no such key
  };
  const Case cases[] = {
      {"set 1", kHiveRegDword, dwordBytes(1), ""},
      {"set 2", kHiveRegDword, dwordBytes(2), "only in set 2"},
      {"a set that is not there", kHiveRegDword, dwordBytes(3), nullptr},
      {"zero", kHiveRegDword, dwordBytes(0), nullptr},
      {"beyond 999", kHiveRegDword, dwordBytes(1000), nullptr},
      {"two bytes", kHiveRegDword, {2, 0}, nullptr},
      {"eight bytes", kHiveRegDword, {2, 0, 0, 0, 0, 0, 0, 0}, nullptr},
      {"not a dword", kHiveRegBinary, dwordBytes(2), nullptr},
      {"empty", kHiveRegDword, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HiveBuilder hive("SYSTEM");
    hive.value("Select", "Current", c.type, c.data);
    hive.text("ControlSet001\\Services\\Tcpip", "Marker", "")
        .text("ControlSet002\\Services\\Tcpip", "Marker", "only in set 2");
    hive.write(system());
    OfflineRegistryOs offline(posix_);
    std::string error;
    ASSERT_TRUE(offline.loadHive(OfflineRegistryOs::Hive::kSystem, system(), &error)) << error;
    char text[100] = "unread";
    const int read = readRegistryString(offline, kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\Tcpip",
                                        "Marker", text, sizeof text);
    if (c.marker == nullptr) {
      EXPECT_EQ(read, 0);
    } else {
      EXPECT_EQ(read, 1);
      EXPECT_STREQ(text, c.marker);
    }
  }
}

TEST_F(OfflineRegistryTest, DeletingThroughCurrentControlSetChangesTheSetItNames) {
  systemHive(2).write(system());
  const std::vector<std::string> before = dumpHive(system());
  load(OfflineRegistryOs::Hive::kSystem, system());
  EXPECT_EQ(offline_.regDeleteKey(kHkeyLocalMachine, "system\\currentcontrolset\\services\\MSTASK\\enum"),
            kErrorSuccess);
  commit();
  EXPECT_EQ(dumpHive(system()), withoutKey(before, "SYSTEM\\ControlSet002\\Services\\mstask\\Enum"));
}

// --- Win32 results -----------------------------------------------------------

TEST_F(OfflineRegistryTest, CallsGiveTheWin32Results) {
  loadBoth();
  HKey run = 0;
  ASSERT_EQ(offline_.regOpenKeyEx(kHkeyLocalMachine, "software\\MICROSOFT\\windows\\CurrentVersion\\rUN", kKeyRead,
                                  &run),
            kErrorSuccess);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  // Size first: the ANSI length of "C:\WINNT\scrsvr.exe" and its zero.
  EXPECT_EQ(offline_.regQueryValueEx(run, "SCRSVR", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kHiveRegSz);
  EXPECT_EQ(size, 20u);
  std::uint8_t small[5];
  size = sizeof small;
  EXPECT_EQ(offline_.regQueryValueEx(run, "scrsvr", &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, 20u);
  std::uint8_t buffer[64];
  size = sizeof buffer;
  EXPECT_EQ(offline_.regQueryValueEx(run, "scrsvr", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), std::string("C:\\WINNT\\scrsvr.exe", 20));
  size = sizeof buffer;
  EXPECT_EQ(offline_.regQueryValueEx(run, "caf\xc9", &type, buffer, &size), kErrorSuccess);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "C:\\caf\xe9.exe");  // Latin-1, as the ANSI call gives it
  size = sizeof buffer;
  EXPECT_EQ(offline_.regQueryValueEx(run, "Count", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(type, kHiveRegDword);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + size), dwordBytes(7));
  size = sizeof buffer;
  EXPECT_EQ(offline_.regQueryValueEx(run, nullptr, &type, buffer, &size), kErrorSuccess);  // the default value
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "default data");
  EXPECT_EQ(offline_.regQueryValueEx(run, "scrsvr", &type, buffer, nullptr), kErrorInvalidParameter);
  EXPECT_EQ(offline_.regQueryValueEx(run, "missing", &type, nullptr, &size), kErrorFileNotFound);
  // Opened for reading only: no deleting through it.
  EXPECT_EQ(offline_.regDeleteValue(run, "scrsvr"), kErrorAccessDenied);
  // No last-write times offline: the core then asks for each name.
  std::uint64_t stamp = 1;
  EXPECT_EQ(offline_.regQueryInfoKey(run, &stamp), kErrorInvalidFunction);
  EXPECT_EQ(stamp, 0u);
  EXPECT_EQ(offline_.regCloseKey(run), kErrorSuccess);

  HKey key = 0;
  EXPECT_EQ(offline_.regOpenKeyEx(kHkeyLocalMachine, "Software\\Nothing", kKeyRead, &key), kErrorFileNotFound);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(offline_.regOpenKeyEx(kHkeyLocalMachine, "Software\\\\Microsoft", kKeyRead, &key), kErrorFileNotFound);
  EXPECT_EQ(offline_.regOpenKeyEx(kHkeyLocalMachine, "HARDWARE", kKeyRead, &key), kErrorFileNotFound);
  EXPECT_EQ(offline_.regOpenKeyEx(kHkeyCurrentUser, "Software", kKeyRead, &key), kErrorFileNotFound);
  char folder[260];
  EXPECT_EQ(readRegistryString(offline_, kHkeyCurrentUser, kShellFoldersKey, "Startup", folder, sizeof folder), 0);

  EXPECT_EQ(offline_.regDeleteKey(kHkeyLocalMachine, "SOFTWARE"), kErrorAccessDenied);  // a hive's root
  EXPECT_EQ(offline_.regDeleteKey(kHkeyLocalMachine, "SOFTWARE\\Microsoft"), kErrorAccessDenied);  // has subkeys
  EXPECT_EQ(offline_.regDeleteKey(kHkeyLocalMachine, "SOFTWARE\\Nothing"), kErrorFileNotFound);
  EXPECT_EQ(offline_.regDeleteKey(kHkeyLocalMachine, ""), kErrorInvalidParameter);

  // A handle to a key deleted under it.
  ASSERT_EQ(offline_.regOpenKeyEx(kHkeyLocalMachine, "SOFTWARE\\Classes\\.TXT", kKeyAllAccess, &key), kErrorSuccess);
  EXPECT_EQ(offline_.regDeleteKey(kHkeyLocalMachine, "SOFTWARE\\Classes\\.txt"), kErrorSuccess);
  EXPECT_EQ(offline_.regQueryValueEx(key, "", &type, nullptr, &size), kErrorKeyDeleted);
  std::uint64_t written = 1;
  EXPECT_EQ(offline_.regQueryInfoKey(key, &written), kErrorKeyDeleted);
  EXPECT_EQ(offline_.regCloseKey(key), kErrorSuccess);
  EXPECT_EQ(offline_.regOpenKeyEx(kHkeyLocalMachine, "SOFTWARE\\Classes\\.txt", kKeyRead, &key), kErrorFileNotFound);
}

TEST_F(OfflineRegistryTest, StringDataOfOddLengthIsReadNoFurtherThanStored) {
  // Three bytes of "string": one whole UTF-16 unit; the odd byte is dropped.
  HiveBuilder b("SOFTWARE");
  b.value(kRunPath, "odd", kHiveRegSz, {'A', 0, 'B'}).value(kRunPath, "none", kHiveRegSz, {});
  b.write(software());
  load(OfflineRegistryOs::Hive::kSoftware, software());
  char text[100];
  EXPECT_EQ(readRegistryString(offline_, kHkeyLocalMachine, std::string("Software\\").append(kRunPath).c_str(), "odd",
                               text, sizeof text),
            1);
  EXPECT_STREQ(text, "A");
  EXPECT_EQ(readRegistryString(offline_, kHkeyLocalMachine, std::string("Software\\").append(kRunPath).c_str(),
                               "none", text, sizeof text),
            1);
  EXPECT_STREQ(text, "");
}

// --- Writing back ------------------------------------------------------------

TEST_F(OfflineRegistryTest, ACrashBeforeTheRenameLeavesTheOldHive) {
  loadBoth();
  const std::vector<std::uint8_t> original = readBytes(software());
  offline_.setFaultHook([](OfflineRegistryOs::CommitStep step, const std::string&) {
    return step == OfflineRegistryOs::CommitStep::kNewFileWritten;
  });
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  std::vector<std::string> errors;
  EXPECT_FALSE(offline_.commit(&errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], HasSubstr("changes not written"));
  EXPECT_EQ(readBytes(software()), original);
  EXPECT_EQ(readBytes(software() + ".purgato-backup"), original);
  // The new file is whole: the crash came after it was flushed.
  EXPECT_THAT(dumpHive(software() + ".purgato-new"),
              ::testing::Not(::testing::Contains(HasSubstr("Run ScrSvr "))));

  // A later run starts over from the old hive and the stale new file.
  OfflineRegistryOs again(posix_);
  std::string error;
  ASSERT_TRUE(again.loadHive(OfflineRegistryOs::Hive::kSoftware, software(), &error)) << error;
  ASSERT_EQ(deleteRegistryValue(again, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  EXPECT_TRUE(again.commit(nullptr));
  EXPECT_FALSE(exists(software() + ".purgato-new"));
  EXPECT_EQ(readBytes(software() + ".purgato-backup"), original);
}

// A link planted under "<hive>.purgato-new" just before the new hive is
// written must not steer the write outside the volume: the file there stays
// as it was, and the hive is written all the same.
TEST_F(OfflineRegistryTest, ALinkPlantedWhereTheNewHiveGoesIsNotWrittenThrough) {
  loadBoth();
  const std::string outside = volume_.root() + "/outside-file";
  writeBytes(outside, {'k', 'e', 'e', 'p'});
  offline_.setFaultHook([&](OfflineRegistryOs::CommitStep step, const std::string& hive) {
    if (step == OfflineRegistryOs::CommitStep::kCreatingNewFile) {
      ::unlink((hive + ".purgato-new").c_str());
      EXPECT_EQ(::symlink(outside.c_str(), (hive + ".purgato-new").c_str()), 0);
    }
    return false;
  });
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  commit();
  EXPECT_EQ(readBytes(outside), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_THAT(dumpHive(software()), ::testing::Not(::testing::Contains(HasSubstr("Run ScrSvr "))));
  EXPECT_FALSE(exists(software() + ".purgato-new"));
}

// Every extended attribute of the hive (on ntfs-3g its security descriptor
// and DOS attributes) goes to the rewritten hive and to the backup.
TEST_F(OfflineRegistryTest, TheRewrittenHiveAndItsBackupKeepTheExtendedAttributes) {
  loadBoth();
  const std::string label = "O:SYG:SYD:P(A;;FA;;;SY)";
  if (::setxattr(software().c_str(), "user.purgato.acl", label.data(), label.size(), 0) != 0)
    GTEST_SKIP() << "no user extended attributes on this file system";
  ASSERT_EQ(::setxattr(software().c_str(), "user.purgato.attrib", "\x26\0\0\0", 4, 0), 0);
  load(OfflineRegistryOs::Hive::kSoftware, software());
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  commit();
  for (const std::string& file : {software(), software() + ".purgato-backup"}) {
    SCOPED_TRACE(file);
    char value[64] = {};
    EXPECT_EQ(::getxattr(file.c_str(), "user.purgato.acl", value, sizeof value), ssize_t(label.size()));
    EXPECT_EQ(std::string(value, label.size()), label);
    EXPECT_EQ(::getxattr(file.c_str(), "user.purgato.attrib", value, sizeof value), 4);
    EXPECT_EQ(std::memcmp(value, "\x26\0\0\0", 4), 0);
  }
  EXPECT_THAT(dumpHive(software()), ::testing::Not(::testing::Contains(HasSubstr("Run ScrSvr "))));
}


// On ntfs-3g a rewritten hive keeps its security descriptor (SYSTEM only)
// and its hidden and system attributes, and so does its backup.
TEST(OfflineRegistryNtfsTest, AHiveRewrittenOnNtfsKeepsItsSecurityDescriptorAndAttributes) {
  NtfsVolume ntfs;
  if (!ntfs.ready()) GTEST_SKIP() << "no NTFS test volume: " << ntfs.why;
  const std::string config = ntfs.mount + "/C/WINNT/system32/config";
  ASSERT_EQ(std::system(("mkdir -p " + config).c_str()), 0);
  const std::string hive = config + "/SOFTWARE";
  softwareHive().write(hive);
  // Self-relative: owner and group SYSTEM, one ACE granting SYSTEM everything.
  const std::vector<std::uint8_t> systemSid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  std::vector<std::uint8_t> sd = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 44, 0, 0, 0};
  sd.insert(sd.end(), systemSid.begin(), systemSid.end());
  sd.insert(sd.end(), systemSid.begin(), systemSid.end());
  const std::vector<std::uint8_t> acl = {2, 0, 28, 0, 1, 0, 0, 0, 0, 0, 20, 0, 0xFF, 0x01, 0x1F, 0x00};
  sd.insert(sd.end(), acl.begin(), acl.end());
  sd.insert(sd.end(), systemSid.begin(), systemSid.end());
  const std::uint8_t attrib[4] = {0x26, 0, 0, 0};  // archive, system, hidden
  ASSERT_EQ(::setxattr(hive.c_str(), "system.ntfs_acl", sd.data(), sd.size(), 0), 0);
  ASSERT_EQ(::setxattr(hive.c_str(), "system.ntfs_attrib", attrib, sizeof attrib, 0), 0);

  PosixOs posix;
  posix.mapDrive('C', ntfs.mount + "/C");
  OfflineRegistryOs offline(posix);
  std::string error;
  ASSERT_TRUE(offline.loadHive(OfflineRegistryOs::Hive::kSoftware, hive, &error)) << error;
  ASSERT_EQ(deleteRegistryValue(offline, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  std::vector<std::string> errors;
  EXPECT_TRUE(offline.commit(&errors)) << (errors.empty() ? "" : errors[0]);
  for (const std::string& file : {hive, hive + ".purgato-backup"}) {
    SCOPED_TRACE(file);
    std::vector<std::uint8_t> got(256);
    const ssize_t n = ::getxattr(file.c_str(), "system.ntfs_acl", got.data(), got.size());
    ASSERT_GT(n, 0);
    got.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(got, sd);
    std::uint8_t bits[4] = {};
    ASSERT_EQ(::getxattr(file.c_str(), "system.ntfs_attrib", bits, sizeof bits), 4);
    EXPECT_EQ(bits[0] & 0x06, 0x06);
  }
  EXPECT_THAT(dumpHive(hive), ::testing::Not(::testing::Contains(HasSubstr("Run ScrSvr "))));
}

volatile sig_atomic_t gSignals = 0;
void countSignal(int) { gSignals = gSignals + 1; }

// Two Ctrl-C while the hives are written: both hives are written before
// the signals are handled, never one of them alone.
TEST_F(OfflineRegistryTest, SignalsDuringTheWriteBackWaitUntilEveryHiveIsWritten) {
  loadBoth();
  struct sigaction count {}, old {};
  count.sa_handler = countSignal;
  sigemptyset(&count.sa_mask);
  ASSERT_EQ(::sigaction(SIGINT, &count, &old), 0);
  gSignals = 0;
  int seenInside = -1;
  offline_.setFaultHook([&](OfflineRegistryOs::CommitStep step, const std::string& hive) {
    if (step == OfflineRegistryOs::CommitStep::kNewFileWritten && hive == software()) {
      ::raise(SIGINT);
      ::raise(SIGINT);
      seenInside = gSignals;
    }
    return false;
  });
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  ASSERT_EQ(deleteMachineKey(offline_, "SYSTEM\\ControlSet001\\Services\\mstask\\Enum"), 1);
  commit();
  EXPECT_EQ(seenInside, 0);
  EXPECT_GE(gSignals, 1);
  ::sigaction(SIGINT, &old, nullptr);
  EXPECT_THAT(dumpHive(software()), ::testing::Not(::testing::Contains(HasSubstr("Run ScrSvr "))));
  EXPECT_THAT(dumpHive(system()), ::testing::Not(::testing::Contains(HasSubstr("ControlSet001\\Services\\mstask\\Enum"))));
}

// A hive that cannot be written keeps the other from being written: the
// write-back is one, and each hive says so.
TEST_F(OfflineRegistryTest, WhenOneHiveCannotBeWrittenNeitherIs) {
  loadBoth();
  const std::vector<std::uint8_t> software0 = readBytes(software());
  const std::vector<std::uint8_t> system0 = readBytes(system());
  offline_.setFaultHook([&](OfflineRegistryOs::CommitStep step, const std::string& hive) {
    // Something in the way of SYSTEM's new file that cannot be removed.
    if (step == OfflineRegistryOs::CommitStep::kCreatingNewFile && hive == system()) {
      EXPECT_EQ(::mkdir((hive + ".purgato-new").c_str(), 0755), 0);
    }
    return false;
  });
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  ASSERT_EQ(deleteMachineKey(offline_, "SYSTEM\\ControlSet001\\Services\\mstask\\Enum"), 1);
  std::vector<std::string> errors;
  EXPECT_FALSE(offline_.commit(&errors));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_THAT(errors[0], HasSubstr("another hive could not be written"));
  EXPECT_THAT(errors[1], HasSubstr("could not create"));
  EXPECT_EQ(readBytes(software()), software0);
  EXPECT_EQ(readBytes(system()), system0);
  EXPECT_FALSE(exists(software() + ".purgato-new"));
  EXPECT_FALSE(exists(software() + ".purgato-old"));
}

// In a dry run the hives change in memory only: the same refusals as a
// real run, and nothing written, no backup either.
TEST_F(OfflineRegistryTest, ADryRunChangesNothingOnDiskAndRefusesWhatARealRunRefuses) {
  loadBoth();
  offline_.setDryRun(true);
  const std::vector<std::uint8_t> software0 = readBytes(software());
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  EXPECT_EQ(registryValueExists(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 0);
  EXPECT_NE(deleteMachineKey(offline_, "SYSTEM\\ControlSet001\\Services\\mstask"), 1);  // it has subkeys
  EXPECT_TRUE(offline_.commit(nullptr));
  EXPECT_EQ(readBytes(software()), software0);
  EXPECT_FALSE(exists(software() + ".purgato-backup"));
  EXPECT_FALSE(exists(system() + ".purgato-backup"));
}

// Value cells a hostile hive may hold: none may reach a library call that
// asserts on it; such a value is one that cannot be removed, with its
// reason, and so is every value beside it, whose removal would free it.
TEST_F(OfflineRegistryTest, AValueCellWithoutDataOrWithBadDataIsRefusedNotFatal) {
  const struct {
    const char* what;
    std::uint32_t length;
    std::uint32_t offset;
  } cases[] = {
      {"zero length, no data cell", 0, 0xFFFFFFFFu},
      {"zero length, offset past the end", 0, 0x7FFFFFF0u},
      {"length with no data cell", 12, 0xFFFFFFFFu},
      {"length past the end", 0x10000, 0x20u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HiveBuilder b("SOFTWARE");
    b.text(kRunPath, "scrsvr", "x").text(kRunPath, "Other", "C:\\other.exe").text(kRunPath, "brasil", "C:\\b.exe");
    b.write(software());
    patchValueCell(software(), "scrsvr", c.length, c.offset);
    const std::vector<std::uint8_t> original = readBytes(software());
    OfflineRegistryOs offline(posix_);
    std::vector<std::string> notes;
    offline.setNoteSink([&](const std::string& text) { notes.push_back(text); });
    std::string error;
    ASSERT_TRUE(offline.loadHive(OfflineRegistryOs::Hive::kSoftware, software(), &error)) << error;
    lines_.clear();
    ScanSession session;
    session.progressWindow = 1;
    posix_.setMessageSink([&](HWnd, std::uint32_t message, std::uintptr_t, std::intptr_t) -> std::intptr_t {
      if (message == kMsgLogLine) lines_.push_back(session.logLine);
      return 0;
    });
    cleanRunEntries(session, offline, "C:\\a.txt");
    cleanRunEntries(session, offline, "C:\\b.txt");
    // brasil beside it cannot go either: rewriting the key's values would free the bad cell.
    EXPECT_EQ(lines_, std::vector<std::string>(2, "System Registry     W32/Opaserv.Worm could not be removed"));
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_THAT(notes[0], HasSubstr("value 'scrsvr' left in place: its data cell is damaged"));
    EXPECT_THAT(notes[1], HasSubstr("value 'brasil' left in place: another value of the key has a damaged data cell"));
    EXPECT_TRUE(offline.commit(nullptr));
    EXPECT_EQ(readBytes(software()), original);
    EXPECT_FALSE(exists(software() + ".purgato-backup"));
  }
}

TEST_F(OfflineRegistryTest, AnExistingBackupIsNeverReplaced) {
  loadBoth();
  writeBytes(software() + ".purgato-backup", {'o', 'l', 'd'});
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  commit();
  EXPECT_EQ(readBytes(software() + ".purgato-backup"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

TEST_F(OfflineRegistryTest, NoChangeWithoutABackup) {
  loadBoth();
  const std::vector<std::uint8_t> original = readBytes(software());
  ASSERT_EQ(::mkdir((software() + ".purgato-backup").c_str(), 0755), 0);  // in the backup's way
  EXPECT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 0);
  EXPECT_EQ(registryValueExists(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  EXPECT_EQ(offline_.refusedChanges(), 1u);
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_THAT(notes_[0], HasSubstr("left in place"));
  commit();
  EXPECT_EQ(readBytes(software()), original);
}

TEST_F(OfflineRegistryTest, AValueBesideOneTooLongToRewriteIsNotDeleted) {
  HiveBuilder b("SOFTWARE");
  b.text(kRunPath, "scrsvr", "C:\\WINNT\\scrsvr.exe")
      .value(kRunPath, "Large", kHiveRegBinary, std::vector<std::uint8_t>(20000, 0x5A));
  b.write(software());
  const std::vector<std::uint8_t> original = readBytes(software());
  load(OfflineRegistryOs::Hive::kSoftware, software());
  cleanRunEntries(session_, offline_, "C:\\x.txt");
  // The worm's value stays, and the list says so.
  EXPECT_EQ(lines_, (std::vector<std::string>{"System Registry     W32/Opaserv.Worm could not be removed"}));
  EXPECT_EQ(offline_.refusedChanges(), 1u);
  commit();
  EXPECT_EQ(readBytes(software()), original);
  EXPECT_FALSE(exists(software() + ".purgato-backup"));
}

TEST_F(OfflineRegistryTest, AHiveChangedOnDiskSinceLoadingIsNotOverwritten) {
  loadBoth();
  ASSERT_EQ(deleteRegistryValue(offline_, kHkeyLocalMachine, kRunKey, "scrsvr"), 1);
  HiveBuilder("SOFTWARE").text(kRunPath, "Other", "x").write(software());
  const std::vector<std::uint8_t> replaced = readBytes(software());
  std::vector<std::string> errors;
  EXPECT_FALSE(offline_.commit(&errors));
  EXPECT_EQ(readBytes(software()), replaced);
}

// --- Hives left alone --------------------------------------------------------

TEST_F(OfflineRegistryTest, ABadHiveIsRefusedAndLeftUntouched) {
  std::vector<std::uint8_t> valid;
  {
    softwareHive().write(software());
    valid = readBytes(software());
  }
  std::vector<std::uint8_t> dirty = valid;
  dirty[4] ^= 1;  // primary sequence number differs from the secondary one
  std::vector<std::uint8_t> garbage(8192);
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = std::uint8_t(i * 131 + 7);
  std::vector<std::uint8_t> regfGarbage = garbage;
  std::memcpy(regfGarbage.data(), "regf", 4);
  regfGarbage[4] = regfGarbage[8] = 1;
  regfGarbage[5] = regfGarbage[9] = 0;
  regfGarbage[6] = regfGarbage[10] = 0;
  regfGarbage[7] = regfGarbage[11] = 0;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"empty", {}, "no regf header"},
      {"truncated in the base block", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 2000),
       "no regf header"},
      {"truncated in the bins", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 6000), "hivex cannot read"},
      {"garbage", garbage, "no regf header"},
      {"regf header, garbage after", regfGarbage, "hivex cannot read"},
      {"dirty", dirty, "not closed cleanly"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeBytes(software(), c.bytes);
    OfflineRegistryOs offline(posix_);
    std::string error;
    EXPECT_FALSE(offline.loadHive(OfflineRegistryOs::Hive::kSoftware, software(), &error));
    EXPECT_THAT(error, HasSubstr(c.reason));
    EXPECT_FALSE(offline.loaded(OfflineRegistryOs::Hive::kSoftware));
    EXPECT_EQ(registryValueExists(offline, kHkeyLocalMachine, kRunKey, "scrsvr"), 0);
    EXPECT_EQ(deleteRegistryValue(offline, kHkeyLocalMachine, kRunKey, "scrsvr"), 0);
    EXPECT_TRUE(offline.commit(nullptr));
    EXPECT_EQ(readBytes(software()), c.bytes);
    EXPECT_FALSE(exists(software() + ".purgato-backup"));
  }
}

TEST_F(OfflineRegistryTest, AHiveThatIsALinkIsNotFollowed) {
  softwareHive().write(volume_.hostPath("C:\\elsewhere"));
  ASSERT_EQ(::symlink(volume_.hostPath("C:\\elsewhere").c_str(), software().c_str()), 0);
  std::string error;
  EXPECT_FALSE(offline_.loadHive(OfflineRegistryOs::Hive::kSoftware, software(), &error));
}

TEST_F(OfflineRegistryTest, HivesAreFoundInAnyCaseAndNineXFilesAreSeen) {
  volume_.writeFile("C:\\WINNT\\System32\\Config\\software", std::string("x"));
  volume_.writeFile("C:\\WINNT\\SYSTEM32\\CONFIG\\System", std::string("y"));
  VolumeHives found = findVolumeHives(posix_);
  EXPECT_TRUE(found.nt);
  EXPECT_FALSE(found.nine);
  EXPECT_EQ(readBytes(found.software), (std::vector<std::uint8_t>{'x'}));
  EXPECT_EQ(readBytes(found.system), (std::vector<std::uint8_t>{'y'}));

  volume_.writeFile("C:\\WINDOWS\\system.dat", std::string("9x"));
  posix_.setWindowsDirectory("C:\\WINDOWS");
  found = findVolumeHives(posix_);
  EXPECT_FALSE(found.nt);
  EXPECT_TRUE(found.nine);
  EXPECT_TRUE(found.software.empty());
}

}  // namespace
}  // namespace purgato
