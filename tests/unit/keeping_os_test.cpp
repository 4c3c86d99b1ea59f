// The layer that keeps what each change removes: a copy of every file
// before it is deleted or cut, the registry values before they go, and no
// change at all when its backup cannot be written.
#include "cli/keeping_os.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

const char kRunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct Scene {
  Scene() {
    volume.drive('C');
    volume.mapInto(os);
    dir = work.root() + "/kept";
  }
  TempVolume volume, work;
  FakeOs os;
  std::string dir;
};

TEST(KeepingOs, AFileIsCopiedByteForByteBeforeItIsDeletedAndOnlyOnce) {
  Scene s;
  const std::vector<std::uint8_t> sample = buildWormSample(3);
  s.volume.writeFile("C:\\WINDOWS\\INSTIT.EXE", sample);
  KeepingOs keeping(s.os, true);
  std::string error;
  ASSERT_TRUE(keeping.startBackup(s.dir, '/', makeDir, "set", &error)) << error;
  s.os.failOn(FakeOs::Op::DeleteFile, 1);  // the first delete is refused, the retry goes through
  EXPECT_FALSE(keeping.deleteFile("C:\\WINDOWS\\INSTIT.EXE"));
  EXPECT_TRUE(keeping.deleteFile("C:\\WINDOWS\\INSTIT.EXE"));
  EXPECT_FALSE(s.volume.exists("C:\\WINDOWS\\INSTIT.EXE"));
  const KeptFile kept = keeping.keptFile("c:\\windows\\instit.exe");
  ASSERT_TRUE(kept.measured);
  EXPECT_EQ(kept.size, static_cast<std::int64_t>(sample.size()));
  EXPECT_EQ(kept.sha256.size(), 64u);
  EXPECT_EQ(kept.backupPath, s.dir + "/set/C/WINDOWS/INSTIT.EXE.purgato-kept");
  EXPECT_EQ(toBytes(fileText(kept.backupPath)), sample);
  EXPECT_EQ(fileText(kept.backupPath + ".2"), "");  // not copied again for the retry
}

TEST(KeepingOs, AChangeWhoseBackupCannotBeWrittenIsNotMade) {
  Scene s;
  s.volume.writeFile("C:\\WINDOWS\\INSTIT.EXE", buildWormSample(3));
  s.os.setValue(kHkeyLocalMachine, kRunKeyPath, "instit", "C:\\WINDOWS\\INSTIT.EXE");
  KeepingOs keeping(s.os, true);
  std::string error;
  // The set folder can be made, nothing beneath it.
  ASSERT_TRUE(keeping.startBackup(s.dir, '/', [&](const std::string& path) {
    return path == s.dir || path == s.dir + "/set" ? makeDir(path) : -1;
  }, "set", &error));
  EXPECT_FALSE(keeping.deleteFile("C:\\WINDOWS\\INSTIT.EXE"));
  EXPECT_EQ(keeping.lastError(), kErrorBackupFailed);
  EXPECT_TRUE(s.volume.exists("C:\\WINDOWS\\INSTIT.EXE"));
  EXPECT_NE(keeping.keptFile("C:\\WINDOWS\\INSTIT.EXE").backupError, "");

  // The registry file cannot be written either: the value stays.
  ASSERT_EQ(::chmod((s.dir + "/set").c_str(), 0555), 0);
  if (::geteuid() != 0) {
    HKey key = 0;
    ASSERT_EQ(keeping.regOpenKeyEx(kHkeyLocalMachine, kRunKeyPath, kKeyAllAccess, &key), kErrorSuccess);
    EXPECT_EQ(keeping.regDeleteValue(key, "instit"), kErrorBackupFailed);
    keeping.regCloseKey(key);
    EXPECT_TRUE(s.os.hasValue(kHkeyLocalMachine, kRunKeyPath, "instit"));
  }
}

TEST(KeepingOs, RunValuesGoIntoARegFileUnderTheirStoredNames) {
  for (const bool nt : {true, false}) {
    SCOPED_TRACE(nt ? "NT" : "9x");
    Scene s;
    s.os.setValue(kHkeyLocalMachine, kRunKeyPath, "ScrSvr", "C:\\WINDOWS\\scrsvr.exe");
    KeepingOs keeping(s.os, nt);
    std::string error;
    ASSERT_TRUE(keeping.startBackup(s.dir, '/', makeDir, "set", &error));
    HKey key = 0;
    ASSERT_EQ(keeping.regOpenKeyEx(kHkeyLocalMachine, kRunKeyPath, kKeyAllAccess, &key), kErrorSuccess);
    EXPECT_EQ(keeping.regDeleteValue(key, "scrsvr"), kErrorSuccess);
    keeping.regCloseKey(key);
    EXPECT_FALSE(s.os.hasValue(kHkeyLocalMachine, kRunKeyPath, "scrsvr"));
    EXPECT_EQ(fileText(s.dir + "/set/registry.reg"),
              std::string(nt ? "Windows Registry Editor Version 5.00" : "REGEDIT4") +
                  "\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
                  "\"ScrSvr\"=\"C:\\\\WINDOWS\\\\scrsvr.exe\"\r\n");
  }
}

TEST(KeepingOs, EveryRunGetsASetOfItsOwnAndNothingFoundWritesNothingInIt) {
  Scene s;
  for (const char* expected : {"set", "set-2"}) {
    KeepingOs keeping(s.os, true);
    std::string error;
    ASSERT_TRUE(keeping.startBackup(s.dir, '/', makeDir, "set", &error));
    EXPECT_EQ(keeping.backupSet(), s.dir + "/" + expected);
  }
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + s.dir + "/set')\"").c_str()), 0);
}

}  // namespace
}  // namespace purgato
