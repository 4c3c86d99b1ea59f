// purgato-scan over NT-style and 9x-style volumes: the worm's Run values
// and services removed from the hives with the core's log lines, the rest
// of the hives unchanged, backups, hives it must leave alone, --registry off.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/hive_builder.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const char kProgram[] = PURGATO_SCAN_PATH;
const char kRemoved[] = "System Registry     W32/Opaserv.Worm removed";
const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";

struct Result {
  int status = -1;
  std::vector<std::string> out;  // stdout lines
  std::string err;
};

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// purgato-scan over the folder driveC, its output kept in the folder scratch.
Result scanFolder(const std::string& driveC, const std::string& scratch, const std::vector<std::string>& args) {
  std::string command = quoted(kProgram) + " --drive " + quoted("C=" + driveC);
  for (const std::string& arg : args) command += " " + quoted(arg);
  const std::string out = scratch + "/out.txt";
  const std::string err = scratch + "/err.txt";
  command += " </dev/null >" + quoted(out) + " 2>" + quoted(err);
  const int raw = std::system(command.c_str());
  Result result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::istringstream lines(readText(out));
  for (std::string line; std::getline(lines, line);) result.out.push_back(line);
  result.err = readText(err);
  return result;
}

Result scan(TempVolume& volume, const std::vector<std::string>& args) {
  return scanFolder(volume.drive('C'), volume.root(), args);
}

long countOf(const std::vector<std::string>& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

std::vector<std::string> withoutLines(std::vector<std::string> dump, const std::vector<std::string>& prefixes) {
  dump.erase(std::remove_if(dump.begin(), dump.end(),
                            [&](const std::string& line) {
                              for (const std::string& p : prefixes)
                                if (line.rfind(p, 0) == 0) return true;
                              return false;
                            }),
             dump.end());
  return dump;
}

// An NT volume: two worm samples, the worm's Run values, its service under
// two spellings of its image, a service named like the second sample whose
// image is another file, and clean entries.
class NtVolume {
 public:
  NtVolume() {
    volume.writeFile("C:\\WINNT\\system32\\mstask.exe", buildWormSample(0));
    volume.writeFile("C:\\WINNT\\system32\\svchosts.exe", buildWormSample(3));
    volume.writeFile("C:\\WINNT\\notes.txt", std::string("clean"));
    volume.makeFolder("C:\\WINNT\\system32\\config");
    softwarePath = volume.hostPath("C:\\WINNT\\system32\\config\\SOFTWARE");
    systemPath = volume.hostPath("C:\\WINNT\\system32\\config\\SYSTEM");

    HiveBuilder software("SOFTWARE");
    software.text(kRun, "ScrSvr", "C:\\WINNT\\scrsvr.exe")
        .text(kRun, "GUSTAVVED", "C:\\WINNT\\gustav.exe")
        .text(kRun, "MSTASK", "C:\\WINNT\\system32\\mstask.exe")
        .text(kRun, "SoundMixer", "C:\\Program Files\\Mixer\\mixer.exe")
        .text("Microsoft\\Windows\\CurrentVersion\\RunServices", "mstask", "C:\\WINNT\\system32\\mstask.exe");
    software.write(softwarePath);

    HiveBuilder system("SYSTEM");
    const struct {
      const char* set;
      const char* image;
    } sets[] = {{"ControlSet001", "\\??\\C:\\WINNT\\SYSTEM32\\MSTASK.EXE"},
                {"ControlSet002", "%SystemRoot%\\system32\\mstask.exe -service"}};
    for (const auto& s : sets) {
      const std::string services = std::string(s.set) + "\\Services\\";
      system.text(services + "MsTask", "ImagePath", s.image, kHiveRegExpandSz)
          .key(services + "MsTask\\Enum")
          .key(services + "MsTask\\Security")
          .text(services + "svchosts", "ImagePath", "C:\\Program Files\\Host\\svchosts.exe", kHiveRegExpandSz)
          .text(services + "Spooler", "ImagePath", "%SystemRoot%\\system32\\spoolsv.exe", kHiveRegExpandSz)
          .key(services + "Spooler\\Security");
    }
    system.dword("Select", "Current", 1);
    system.write(systemPath);
    softwareBefore = dumpHive(softwarePath);
    systemBefore = dumpHive(systemPath);
    softwareBytes = readBytes(softwarePath);
    systemBytes = readBytes(systemPath);
  }

  TempVolume volume;
  std::string softwarePath, systemPath;
  std::vector<std::string> softwareBefore, systemBefore;
  std::vector<std::uint8_t> softwareBytes, systemBytes;
};

TEST(OfflineScanTest, TheWormsRunValuesAndServiceGoAndNothingElseChanges) {
  const struct {
    const char* form;
    std::vector<std::string> args;
  } forms[] = {
      {"whole scan", {}},
      {"file form", {"C:\\WINNT\\system32\\mstask.exe", "C:\\WINNT\\system32\\svchosts.exe"}},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(form.form);
    NtVolume nt;
    const Result result = scan(nt.volume, form.args);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_THAT(result.err, IsEmpty());
    // Two fixed names, the Run value named after mstask, and its service.
    EXPECT_EQ(countOf(result.out, kRemoved), 4);
    EXPECT_EQ(countOf(result.out, "C:\\WINNT\\system32\\mstask.exe     W32/Opaserv.Worm deleted"), 1);
    // The service's line comes with the findings, before the statistics.
    const auto statistics = std::find(result.out.begin(), result.out.end(), "Scanning statistics\t\t:");
    ASSERT_NE(statistics, result.out.end());
    EXPECT_EQ(std::count(result.out.begin(), statistics, std::string(kRemoved)), 4);

    EXPECT_EQ(dumpHive(nt.softwarePath), withoutLines(nt.softwareBefore, {"V SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run ScrSvr ",
                                                                          "V SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run GUSTAVVED ",
                                                                          "V SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run MSTASK "}));
    EXPECT_EQ(dumpHive(nt.systemPath), withoutLines(nt.systemBefore, {"K SYSTEM\\ControlSet001\\Services\\MsTask",
                                                                      "V SYSTEM\\ControlSet001\\Services\\MsTask",
                                                                      "K SYSTEM\\ControlSet002\\Services\\MsTask",
                                                                      "V SYSTEM\\ControlSet002\\Services\\MsTask"}));
    EXPECT_EQ(readBytes(nt.softwarePath + ".purgato-backup"), nt.softwareBytes);
    EXPECT_EQ(readBytes(nt.systemPath + ".purgato-backup"), nt.systemBytes);
    EXPECT_FALSE(exists(nt.softwarePath + ".purgato-new"));
    EXPECT_FALSE(exists(nt.systemPath + ".purgato-new"));
  }
}

TEST(OfflineScanTest, RegistryOffLeavesTheHivesAlone) {
  NtVolume nt;
  const Result result = scan(nt.volume, {"--registry", "off"});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(countOf(result.out, kRemoved), 0);
  EXPECT_FALSE(nt.volume.exists("C:\\WINNT\\system32\\mstask.exe"));
  EXPECT_EQ(readBytes(nt.softwarePath), nt.softwareBytes);
  EXPECT_EQ(readBytes(nt.systemPath), nt.systemBytes);
  EXPECT_FALSE(exists(nt.softwarePath + ".purgato-backup"));

  const Result wrong = scan(nt.volume, {"--registry=on"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_THAT(wrong.err, HasSubstr("--registry needs auto or off"));
}

TEST(OfflineScanTest, AHiveThatCannotBeReadIsLeftAndTheScanIsIncomplete) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;  // written over SOFTWARE
  } cases[] = {
      {"garbage", std::vector<std::uint8_t>(8192, 0x4B)},
      {"truncated", std::vector<std::uint8_t>(100, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NtVolume nt;
    std::vector<std::uint8_t> bytes = c.bytes;
    if (c.bytes.size() == 100) bytes.assign(nt.softwareBytes.begin(), nt.softwareBytes.begin() + 100);
    {
      std::ofstream out(nt.softwarePath, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    const Result result = scan(nt.volume, {});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_THAT(result.err, HasSubstr(nt.softwarePath + ": not a registry hive"));
    EXPECT_EQ(readBytes(nt.softwarePath), bytes);
    EXPECT_FALSE(exists(nt.softwarePath + ".purgato-backup"));
    // The other hive is still served: the service goes.
    EXPECT_EQ(countOf(result.out, kRemoved), 1);
  }
}

TEST(OfflineScanTest, AServiceKeyWithSubkeysOfItsOwnStaysAndIsReported) {
  NtVolume nt;
  HiveBuilder system("SYSTEM");
  system.text("ControlSet001\\Services\\mstask", "ImagePath", "C:\\WINNT\\system32\\mstask.exe", kHiveRegExpandSz)
      .key("ControlSet001\\Services\\mstask\\Parameters")
      .dword("Select", "Current", 1);
  system.write(nt.systemPath);
  const Result result = scan(nt.volume, {});
  EXPECT_EQ(result.status, 3);
  EXPECT_THAT(result.err, HasSubstr("SYSTEM\\ControlSet001\\Services\\mstask stays"));
  EXPECT_EQ(countOf(result.out, kRemoved), 3);  // the Run values only
}

// The dry run prints what the real scan prints, with its status: the
// backup the real scan makes during the walk is no file it scans, and a
// service key with subkeys of its own stays in both.
TEST(OfflineScanTest, TheDryRunPredictsTheRealScan) {
  const struct {
    const char* what;
    bool serviceWithSubkeys;
  } cases[] = {{"the worm's entries", false}, {"a service key with subkeys of its own", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NtVolume nt;
    if (c.serviceWithSubkeys) {
      HiveBuilder system("SYSTEM");
      system.text("ControlSet001\\Services\\mstask", "ImagePath", "C:\\WINNT\\system32\\mstask.exe", kHiveRegExpandSz)
          .key("ControlSet001\\Services\\mstask\\Parameters")
          .dword("Select", "Current", 1);
      system.write(nt.systemPath);
      nt.systemBytes = readBytes(nt.systemPath);
    }
    const Result dry = scan(nt.volume, {"--dry-run"});
    EXPECT_EQ(readBytes(nt.softwarePath), nt.softwareBytes);
    EXPECT_EQ(readBytes(nt.systemPath), nt.systemBytes);
    EXPECT_FALSE(exists(nt.softwarePath + ".purgato-backup"));
    const Result real = scan(nt.volume, {});
    // The dry run's first line says nothing was changed; the rest is the real scan's.
    ASSERT_FALSE(dry.out.empty());
    EXPECT_EQ(dry.out[0], "purgato-scan: DRY RUN: nothing was changed; the lines below say what a real scan would do");
    EXPECT_EQ(std::vector<std::string>(dry.out.begin() + 1, dry.out.end()), real.out);
    EXPECT_EQ(dry.status, real.status);
    EXPECT_EQ(real.status, c.serviceWithSubkeys ? 3 : 1) << real.err;
    EXPECT_TRUE(exists(nt.softwarePath + ".purgato-backup"));
  }
}

// Builds the hive at hostPath with hivexsh (Debian's libhivex-bin) from the
// empty hive of the builder: each line of script is one hivexsh command.
void hivexsh(const std::string& hostPath, const std::string& rootName, const std::vector<std::string>& script) {
  const std::vector<std::uint8_t> empty = minimalHive(rootName);
  {
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(empty.data()), std::streamsize(empty.size()));
  }
  const std::string scriptPath = hostPath + ".hivexsh";
  {
    std::ofstream out(scriptPath);
    for (const std::string& line : script) out << line << "\n";
    out << "commit\n";
  }
  ASSERT_EQ(std::system(("hivexsh -w -f " + quoted(scriptPath) + " " + quoted(hostPath)).c_str()), 0);
  std::remove(scriptPath.c_str());
}

// A disk of 64-bit Windows: a 32-bit worm's Run values sit in the 32-bit
// view (Wow6432Node). Values in each view, in both, in neither: each one
// removed with its own line, in a dry run as in the real scan, with a
// backup, and nothing else in the hive changed.
TEST(OfflineScanTest, BothRegistryViewsOfASixtyFourBitDiskAreCleaned) {
  TempVolume volume;
  volume.writeFile("C:\\Windows\\System32\\mstask.exe", buildWormSample(0));
  volume.makeFolder("C:\\Windows\\System32\\config");
  const std::string software = volume.hostPath("C:\\Windows\\System32\\config\\SOFTWARE");
  const std::string run = "cd \\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string run32 = "cd \\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
  hivexsh(software, "SOFTWARE",
          {"add Microsoft", "cd Microsoft", "add Windows", "cd Windows", "add CurrentVersion", "cd CurrentVersion",
           "add Run", "cd \\", "add Wow6432Node", "cd Wow6432Node", "add Microsoft", "cd Microsoft", "add Windows",
           "cd Windows", "add CurrentVersion", "cd CurrentVersion", "add Run",
           // native view: scrsvr only here; 32-bit view: brasil only there; MsTask and the helper in both
           run, "setval 3", "ScrSvr", "string:C:\\Windows\\scrsvr.exe", "MsTask",
           "string:C:\\Windows\\System32\\mstask.exe", "Helper", "string:C:\\Program Files\\Helper\\helper.exe",
           run32, "setval 3", "brasil", "string:C:\\Windows\\brasil.exe", "MSTASK",
           "string:C:\\Windows\\System32\\mstask.exe", "Helper32",
           "string:C:\\Program Files (x86)\\Helper\\helper.exe"});
  HiveBuilder("SYSTEM").dword("Select", "Current", 1).key("ControlSet001\\Services").write(
      volume.hostPath("C:\\Windows\\System32\\config\\SYSTEM"));
  const std::vector<std::uint8_t> original = readBytes(software);
  const std::vector<std::string> before = dumpHive(software);

  const Result dry = scan(volume, {"--dry-run"});
  EXPECT_EQ(readBytes(software), original);
  EXPECT_TRUE(volume.exists("C:\\Windows\\System32\\mstask.exe"));
  const Result real = scan(volume, {});
  EXPECT_EQ(real.status, 1) << real.err;
  EXPECT_EQ(countOf(real.out, kRemoved), 4);  // scrsvr, brasil, and MsTask in each view
  ASSERT_FALSE(dry.out.empty());
  EXPECT_EQ(std::vector<std::string>(dry.out.begin() + 1, dry.out.end()), real.out);
  EXPECT_EQ(dry.status, real.status);

  const std::string native = "V SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run ";
  const std::string wow = "V SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run ";
  EXPECT_EQ(dumpHive(software),
            withoutLines(before, {native + "ScrSvr ", native + "MsTask ", wow + "brasil ", wow + "MSTASK "}));
  EXPECT_EQ(readBytes(software + ".purgato-backup"), original);
}

// Every spelling Windows accepts for a service's image finds the worm's
// service; one that cannot be resolved is said on stderr. The Windows
// folder may be given with a trailing backslash.
TEST(OfflineScanTest, EverySpellingOfTheWormsImageFindsItsService) {
  const struct {
    const char* image;
    bool removed;  // else reported as not resolved
  } cases[] = {
      {"%SystemDrive%\\WINNT\\system32\\mstask.exe", true},
      {"system32\\mstask.exe", true},
      {"\\WINNT\\System32\\MSTASK.EXE -service", true},
      {"\\\\?\\C:\\WINNT\\system32\\mstask.exe", true},
      {"\"C:/WINNT/system32/mstask.exe\"", true},
      {"%SystemRoot%\\system32\\MSTASK~1.EXE", false},
      {"%ProgramFiles%\\mstask.exe", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    NtVolume nt;
    HiveBuilder system("SYSTEM");
    system.text("ControlSet001\\Services\\mstask", "ImagePath", c.image, kHiveRegExpandSz).dword("Select", "Current", 1);
    system.write(nt.systemPath);
    const Result result = scan(nt.volume, {"--windows-dir", "C:\\WINNT\\"});
    EXPECT_EQ(countOf(result.out, kRemoved), c.removed ? 4 : 3);
    if (c.removed) {
      EXPECT_EQ(result.status, 1) << result.err;
      EXPECT_THAT(dumpHive(nt.systemPath), Not(::testing::Contains(HasSubstr("Services\\mstask"))));
    } else {
      EXPECT_THAT(result.err, HasSubstr("cannot be resolved to a file; a service that may start"));
      EXPECT_EQ(result.status, 4);
    }
  }
}

// UTF-8 text as the UTF-16LE bytes of a REG_EXPAND_SZ with its zero, as
// hivexsh's "hex:" takes them ("41,00,...").
std::string utf16Hex(const std::string& utf8) {
  std::u16string units;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char b = static_cast<unsigned char>(utf8[i]);
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? b : (b & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += extra + 1;
    if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  units.push_back(0);
  std::string hex;
  char byte[8];
  for (char16_t u : units) {
    for (unsigned part : {u & 0xFFu, unsigned(u) >> 8}) {
      std::snprintf(byte, sizeof byte, "%s%02x", hex.empty() ? "" : ",", part);
      hex += byte;
    }
  }
  return hex;
}

// A worm file whose name is not ASCII: the volume's UTF-8 name and the
// hive's UTF-16 value name, and the image of the service named after it,
// compare as Windows compares them.
TEST(OfflineScanTest, NonAsciiNamesMatchTheirRunValuesAsWindowsWould) {
  const struct {
    const char* file;   // UTF-8, as the volume gives it
    const char* value;  // UTF-8, as hivexsh takes it
    bool removed;
    const char* image;  // of the service named after the file; nullptr: none
    bool serviceRemoved;
  } cases[] = {
      {"t\xc3\xa4sk.exe", "T\xc3\x84SK", true, nullptr, false},                  // Latin-1 letters
      {"\xcf\x89mega.exe", "\xce\xa9MEGA", true, nullptr, false},               // Greek
      {"\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.exe", "\xd0\xa4\xd0\x90\xd0\x99\xd0\x9b", true, nullptr, false},  // Cyrillic
      {"\xc5\x82\xc3\xb3" "d\xc5\xba.exe", "\xc5\x81\xc3\x93" "D\xc5\xb9", true, nullptr, false},  // Latin Extended-A
      {"t\xc3\xa4sk.exe", "task", false, nullptr, false},
      {"stra\xc3\x9f" "e.exe", "STRASSE", false, nullptr, false},
      // The service's image, in each script and spelling.
      {"t\xc3\xa4sk.exe", "Other", false, "C:\\WINNT\\t\xc3\xa4sk.exe", true},
      {"t\xc3\xa4sk.exe", "Other", false, "%SystemRoot%\\T\xc3\x84SK.EXE -s", true},
      {"\xcf\x89mega.exe", "Other", false, "\"C:\\WINNT\\\xce\xa9MEGA.exe\"", true},
      {"\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.exe", "Other", false, "\\??\\C:\\WINNT\\\xd0\xa4\xd0\x90\xd0\x99\xd0\x9b.EXE", true},
      {"\xc5\x82\xc3\xb3" "d\xc5\xba.exe", "Other", false, "C:\\WINNT\\\xc5\x81\xc3\x93" "D\xc5\xb9.exe", true},
      // Another file: the service stays.
      {"t\xc3\xa4sk.exe", "Other", false, "C:\\WINNT\\task.exe", false},
      {"stra\xc3\x9f" "e.exe", "Other", false, "C:\\WINNT\\STRASSE.EXE", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " " + (c.image ? c.image : ""));
    TempVolume volume;
    volume.writeFile(std::string("C:\\WINNT\\") + c.file, buildWormSample(0));
    volume.makeFolder("C:\\WINNT\\system32\\config");
    const std::string software = volume.hostPath("C:\\WINNT\\system32\\config\\SOFTWARE");
    const std::string system = volume.hostPath("C:\\WINNT\\system32\\config\\SYSTEM");
    hivexsh(software, "SOFTWARE",
            {"add Microsoft", "cd Microsoft", "add Windows", "cd Windows", "add CurrentVersion", "cd CurrentVersion",
             "add Run", "cd Run", "setval 2", c.value, "string:C:\\WINNT\\worm.exe", "Other", "string:C:\\other.exe"});
    const std::string service = std::string(c.file).substr(0, std::string(c.file).rfind('.'));
    std::vector<std::string> script = {"add Select", "cd Select", "setval 1", "Current", "dword:1", "cd \\",
                                       "add ControlSet001", "cd ControlSet001", "add Services", "cd Services"};
    if (c.image) {
      for (const std::string& line : {"add " + service, "cd " + service, std::string("setval 1"),
                                      std::string("ImagePath"), "hex:2:" + utf16Hex(c.image)})
        script.push_back(line);
    }
    hivexsh(system, "SYSTEM", script);
    const Result result = scan(volume, {});
    EXPECT_EQ(countOf(result.out, kRemoved), (c.removed ? 1 : 0) + (c.serviceRemoved ? 1 : 0)) << result.err;
    EXPECT_EQ(result.status, 1) << result.err;
    if (c.image) {
      const std::vector<std::string> dump = dumpHive(system);
      const bool stays = std::any_of(dump.begin(), dump.end(), [&](const std::string& line) {
        return line.find("Services\\" + service + " ImagePath") != std::string::npos;
      });
      EXPECT_EQ(stays, !c.serviceRemoved);
    }
  }
}

// A dual-boot disk: Windows 9x in C:\WINDOWS, which the walk takes as the
// Windows folder, and 2000/XP in C:\WINNT. The NT hives are cleaned all
// the same, and the output says which.
TEST(OfflineScanTest, ADualBootDiskHasItsNtHivesCleaned) {
  NtVolume nt;
  nt.volume.writeFile("C:\\WINDOWS\\SYSTEM.DAT", std::string("9x registry"));
  nt.volume.writeFile("C:\\WINDOWS\\WIN.INI", std::string("[windows]\r\n"));
  const Result result = scan(nt.volume, {});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(countOf(result.out, kRemoved), 4);
  EXPECT_THAT(result.err, HasSubstr("the registry hives of C:\\WINNT (Windows NT family) are cleaned"));
  EXPECT_THAT(result.err, HasSubstr("C:\\WINDOWS holds a Windows 9x registry"));
  EXPECT_TRUE(exists(nt.softwarePath + ".purgato-backup"));
  EXPECT_THAT(dumpHive(nt.systemPath), Not(::testing::Contains(HasSubstr("Services\\MsTask"))));
}

// Two NT installations on one disk (2000 in C:\WINNT, XP in C:\WINDOWS):
// the hives of both are cleaned, each with its backups, whichever folder
// the walk takes as the Windows folder, and each installation's service
// is the one that starts its own worm file. The dry run predicts it.
TEST(OfflineScanTest, ADiskWithTwoNtWindowsFoldersHasTheHivesOfBothCleaned) {
  for (const char* windowsDir : {"", "C:\\WINNT", "C:\\WINDOWS"}) {
    SCOPED_TRACE(windowsDir);
    NtVolume nt;
    nt.volume.writeFile("C:\\WINDOWS\\system32\\mstask.exe", buildWormSample(1));
    nt.volume.writeFile("C:\\WINDOWS\\WIN.INI", std::string("[windows]\r\n"));
    nt.volume.makeFolder("C:\\WINDOWS\\system32\\config");
    const std::string software = nt.volume.hostPath("C:\\WINDOWS\\system32\\config\\SOFTWARE");
    const std::string system = nt.volume.hostPath("C:\\WINDOWS\\system32\\config\\SYSTEM");
    HiveBuilder("SOFTWARE")
        .text(kRun, "brasil", "C:\\WINDOWS\\brasil.exe")
        .text(kRun, "mstask", "C:\\WINDOWS\\system32\\mstask.exe")
        .text(kRun, "Keep", "C:\\Program Files\\Keep\\keep.exe")
        .write(software);
    HiveBuilder("SYSTEM")
        .text("ControlSet001\\Services\\mstask", "ImagePath", "%SystemRoot%\\system32\\mstask.exe", kHiveRegExpandSz)
        .key("ControlSet001\\Services\\mstask\\Enum")
        .text("ControlSet001\\Services\\Spooler", "ImagePath", "%SystemRoot%\\system32\\spoolsv.exe",
              kHiveRegExpandSz)
        .dword("Select", "Current", 1)
        .write(system);
    const std::vector<std::uint8_t> softwareBytes = readBytes(software), systemBytes = readBytes(system);
    const std::vector<std::string> softwareBefore = dumpHive(software), systemBefore = dumpHive(system);
    std::vector<std::string> args;
    if (*windowsDir) args = {"--windows-dir", windowsDir};

    std::vector<std::string> dryArgs = args;
    dryArgs.push_back("--dry-run");
    const Result dry = scan(nt.volume, dryArgs);
    EXPECT_EQ(readBytes(software), softwareBytes);
    EXPECT_EQ(readBytes(nt.softwarePath), nt.softwareBytes);
    const Result real = scan(nt.volume, args);
    EXPECT_EQ(real.status, 1) << real.err;
    // One line names both folders.
    const std::string said = real.err.substr(0, real.err.find('\n'));
    EXPECT_THAT(said, HasSubstr("the registry hives of C:\\WIN"));
    EXPECT_THAT(said, HasSubstr("C:\\WINNT"));
    EXPECT_THAT(said, HasSubstr("C:\\WINDOWS"));
    EXPECT_THAT(said, HasSubstr("(Windows NT family) are cleaned"));
    ASSERT_FALSE(dry.out.empty());
    EXPECT_EQ(std::vector<std::string>(dry.out.begin() + 1, dry.out.end()), real.out);
    EXPECT_EQ(dry.status, real.status);
    // The fixed names of both, the Run value named after the worm in both
    // (one line: one value name), and each installation's service.
    EXPECT_EQ(countOf(real.out, kRemoved), 6);

    const std::string run = "V SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run ";
    EXPECT_EQ(dumpHive(nt.softwarePath), withoutLines(nt.softwareBefore, {run + "ScrSvr ", run + "GUSTAVVED ", run + "MSTASK "}));
    EXPECT_EQ(dumpHive(software), withoutLines(softwareBefore, {run + "brasil ", run + "mstask "}));
    EXPECT_EQ(dumpHive(nt.systemPath), withoutLines(nt.systemBefore, {"K SYSTEM\\ControlSet001\\Services\\MsTask",
                                                                      "V SYSTEM\\ControlSet001\\Services\\MsTask",
                                                                      "K SYSTEM\\ControlSet002\\Services\\MsTask",
                                                                      "V SYSTEM\\ControlSet002\\Services\\MsTask"}));
    EXPECT_EQ(dumpHive(system), withoutLines(systemBefore, {"K SYSTEM\\ControlSet001\\Services\\mstask",
                                                            "V SYSTEM\\ControlSet001\\Services\\mstask"}));
    for (const std::string& hive : {nt.softwarePath, nt.systemPath, software, system})
      EXPECT_TRUE(exists(hive + ".purgato-backup")) << hive;
    EXPECT_EQ(readBytes(software + ".purgato-backup"), softwareBytes);
    EXPECT_EQ(readBytes(nt.systemPath + ".purgato-backup"), nt.systemBytes);
  }
}

// A service image written with short (8.3) names, on a real NTFS volume
// through ntfs-3g: the folders' short names are read from the volume, the
// worm file's own before it was deleted. ntfs-3g makes no short names for
// the files it creates (not even mounted with windows_names): the test
// gives them as Windows would, through the attribute ntfs-3g serves them
// as. A file without one leaves the image unresolved, said on stderr.
TEST(OfflineScanNtfsTest, ShortNamesInAServiceImageAreResolvedThroughTheVolume) {
  NtfsVolume ntfs;
  if (!ntfs.ready()) GTEST_SKIP() << "no NTFS test volume: " << ntfs.why;
  const struct {
    const char* what;
    const char* service;
    const char* image;
    bool dosNames;    // the worm files have their short names
    int status;
    bool removed;
    const char* stderrText;  // "" for nothing on stderr
  } cases[] = {
      {"short folders and file", "taskmonitor", "C:\\PROGRA~1\\TASKMO~1\\TASKMO~1.EXE", true, 1, true, ""},
      {"short file in the Windows folder", "wormloader", "%SystemRoot%\\SYSTEM32\\WORMLO~1.EXE -k", true, 1, true,
       ""},
      {"another short file", "wormloader", "C:\\WINNT\\SYSTEM32\\WORMLO~2.EXE", true, 1, false, ""},
      {"a short folder that is none", "taskmonitor", "C:\\PROGRA~2\\TASKMO~1\\TASKMO~1.EXE", true, 1, false, ""},
      {"a file without a short name", "wormloader", "C:\\WINNT\\SYSTEM32\\WORMLO~1.EXE", false, 4, false,
       "cannot be resolved to a file"},
  };
  const std::string c = ntfs.mount + "/C";
  auto setDosName = [](const std::string& path, const char* name) {
    ASSERT_EQ(::setxattr(path.c_str(), "system.ntfs_dos_name", name, std::strlen(name), 0), 0) << path;
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(std::system(("rm -rf " + quoted(c) + " && mkdir -p " + quoted(c + "/WINNT/system32/config") + " " +
                           quoted(c + "/Program Files/Task Monitor")).c_str()),
              0);
    const std::string monitor = c + "/Program Files/Task Monitor/taskmonitor.exe";
    const std::string loader = c + "/WINNT/system32/wormloader.exe";
    for (const std::string& file : {monitor, loader}) {
      const std::vector<std::uint8_t> sample = buildWormSample(0);
      std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(sample.data()), sample.size());
    }
    setDosName(c + "/Program Files", "PROGRA~1");
    setDosName(c + "/Program Files/Task Monitor", "TASKMO~1");
    if (k.dosNames) {
      setDosName(monitor, "TASKMO~1.EXE");
      setDosName(loader, "WORMLO~1.EXE");
    }
    const std::string system = c + "/WINNT/system32/config/SYSTEM";
    HiveBuilder("SOFTWARE").key(kRun).write(c + "/WINNT/system32/config/SOFTWARE");
    HiveBuilder("SYSTEM")
        .text(std::string("ControlSet001\\Services\\") + k.service, "ImagePath", k.image, kHiveRegExpandSz)
        .dword("Select", "Current", 1)
        .write(system);
    const Result result = scanFolder(c, ntfs.mount, {});
    EXPECT_EQ(result.status, k.status) << result.err;
    EXPECT_EQ(countOf(result.out, kRemoved), k.removed ? 1 : 0);
    if (*k.stderrText) {
      EXPECT_THAT(result.err, HasSubstr(k.stderrText));
    } else {
      EXPECT_THAT(result.err, IsEmpty());
    }
    const std::vector<std::string> dump = dumpHive(system);
    EXPECT_EQ(std::any_of(dump.begin(), dump.end(),
                          [&](const std::string& line) { return line.find(std::string("Services\\") + k.service) != std::string::npos; }),
              !k.removed);
  }
}

TEST(OfflineScanTest, ANineXVolumeGetsANoticeAndKeepsItsStatus) {
  TempVolume volume;
  volume.writeFile("C:\\WINDOWS\\SYSTEM.DAT", std::string("9x registry"));
  volume.writeFile("C:\\WINDOWS\\USER.DAT", std::string("9x user"));
  volume.writeFile("C:\\WINDOWS\\SYSTEM\\SCRSVR.EXE", buildWormSample(0));
  const Result result = scan(volume, {});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_THAT(result.err, HasSubstr("Windows 9x registry"));
  EXPECT_EQ(volume.readText("C:\\WINDOWS\\SYSTEM.DAT"), "9x registry");
  EXPECT_EQ(volume.readText("C:\\WINDOWS\\USER.DAT"), "9x user");

  const Result off = scan(volume, {"--registry", "off"});
  EXPECT_THAT(off.err, Not(HasSubstr("9x")));
}

}  // namespace
}  // namespace purgato
