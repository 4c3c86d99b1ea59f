// PosixOs against real temporary folders: one folder mapped as drive C,
// and a sibling folder outside the volume that must never be reached.
#include "os/posix/posix_os.h"
#include "os/posix/beneath.h"
#include "engine/actions.h"
#include "os/forwarding_os.h"
#include "session/session.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace purgato {
namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

class PosixOsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/posix_os_test.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    base_ = templ;
    vol_ = base_ + "/vol";
    outside_ = base_ + "/outside";
    ASSERT_EQ(::mkdir(vol_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    os_.mapDrive('C', vol_);
  }
  void TearDown() override {
    if (!base_.empty()) ::nftw(base_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  // Host paths relative to the volume (or absolute when they start with '/').
  std::string host(const std::string& rel) const { return rel[0] == '/' ? rel : vol_ + "/" + rel; }
  void makeDir(const std::string& rel) { ASSERT_EQ(::mkdir(host(rel).c_str(), 0755), 0) << rel; }
  void write(const std::string& rel, const std::string& bytes) {
    std::ofstream out(host(rel), std::ios::binary);
    out << bytes;
    ASSERT_TRUE(out.good()) << rel;
  }
  void link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(::symlink(target.c_str(), host(rel).c_str()), 0) << rel;
  }
  bool hostExists(const std::string& rel) const {
    struct stat st;
    return ::lstat(host(rel).c_str(), &st) == 0;
  }
  mode_t hostMode(const std::string& rel) const {
    struct stat st;
    EXPECT_EQ(::lstat(host(rel).c_str(), &st), 0) << rel;
    return st.st_mode & 07777;
  }

  // The whole file through the seam, or "<fail>" when it cannot be opened.
  std::string readAll(const std::string& path) {
    const int fd = os_.open(path.c_str(), kORdOnly | kOBinary);
    if (fd < 0) return "<fail>";
    std::string text;
    char buffer[64];
    int got;
    while ((got = os_.read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
    os_.close(fd);
    return text;
  }

  struct Entry {
    std::string name;
    std::uint32_t attributes;
  };
  // Every entry of a listing in the order given; empty when it fails.
  std::vector<Entry> list(const std::string& pattern) {
    std::vector<Entry> entries;
    FindData data;
    const OsHandle find = os_.findFirstFile(pattern.c_str(), &data);
    if (find == kInvalidHandle) return entries;
    do {
      entries.push_back({data.fileName, data.attributes});
    } while (os_.findNextFile(find, &data));
    EXPECT_TRUE(os_.findClose(find));
    return entries;
  }
  std::set<std::string> names(const std::string& pattern) {
    std::set<std::string> result;
    for (const Entry& e : list(pattern)) result.insert(e.name);
    return result;
  }
  std::uint32_t attributesOf(const std::string& folderPattern, const std::string& name) {
    for (const Entry& e : list(folderPattern)) {
      if (e.name == name) return e.attributes;
    }
    ADD_FAILURE() << name << " not listed by " << folderPattern;
    return 0;
  }

  std::string base_, vol_, outside_;
  PosixOs os_;
};

TEST_F(PosixOsTest, ResolvesComponentsWithoutRegardToCase) {
  makeDir("WINDOWS");
  write("WINDOWS/Win.ini", "ini");
  makeDir("Program Files");
  makeDir("Program Files/App");
  write("Program Files/App/x.EXE", "exe");
  makeDir("dup");
  write("dup/File", "mixed");
  write("dup/FILE", "upper");

  const struct {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\WINDOWS\\Win.ini", "ini"},
      {"c:\\windows\\WIN.INI", "ini"},
      {"C:\\program files\\APP\\X.exe", "exe"},
      {"C:\\\\WINDOWS\\\\win.ini", "ini"},                  // repeated backslashes count as one
      {"C:\\windows\\..\\Windows\\.\\win.ini", "ini"},      // "." and ".." fold as Win32 folds them
      {"C:\\..\\..\\WINDOWS\\win.ini", "ini"},              // ".." stops at the root
      {"C:\\dup\\FILE", "upper"},                           // an exact name wins over a case variant
      {"C:\\dup\\File", "mixed"},
      {"C:\\WINDOWS\\system.ini", "<fail>"},
      {"C:\\WINDOWS", "<fail>"},                            // a folder is no file
      {"C:\\WINDOWS\\win.ini\\", "<fail>"},
      {"C:/WINDOWS/win.ini", "<fail>"},                     // only backslashes separate
      {"C:\\WINDOWS/win.ini", "<fail>"},
      {"D:\\WINDOWS\\win.ini", "<fail>"},                   // unmapped drive
      {"WINDOWS\\win.ini", "<fail>"},                       // relative
      {"C:WINDOWS\\win.ini", "<fail>"},
      {"", "<fail>"},
  };
  for (const auto& c : cases) EXPECT_EQ(readAll(c.path), c.expected) << c.path;

  std::string hostPath;
  ASSERT_TRUE(os_.hostPath("c:\\program files\\app\\X.EXE", &hostPath));
  EXPECT_EQ(hostPath, vol_ + "/Program Files/App/x.EXE");
  EXPECT_EQ(os_.open(nullptr, kORdOnly), -1);
}

TEST_F(PosixOsTest, CaseTwinsResolveToTheExactNameElseTheFirstInByteOrder) {
  // Seven of the eight spellings of "abc", made in both orders so that the
  // listing order of at least one folder differs from byte order.
  const std::vector<std::string> twins = {"ABC", "ABc", "AbC", "Abc", "aBC", "aBc", "abC"};
  for (const char* folder : {"up", "down"}) {
    makeDir(folder);
    std::vector<std::string> order = twins;
    if (std::string(folder) == "down") std::reverse(order.begin(), order.end());
    for (const std::string& name : order) write(std::string(folder) + "/" + name, name);
  }
  for (const char* name : {"Win", "WIN", "win"}) {
    makeDir(name);
    write(std::string(name) + "/f", name);
  }
  const struct {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\up\\abc", "ABC"},   {"C:\\down\\abc", "ABC"},  // no exact name: the first in byte order
      {"C:\\up\\aBc", "aBc"},   {"C:\\down\\Abc", "Abc"},  // an exact name wins
      {"C:\\wIN\\f", "WIN"},    {"C:\\win\\f", "win"},    {"C:\\Win\\f", "Win"},
  };
  for (const auto& c : cases) EXPECT_EQ(readAll(c.path), c.expected) << c.path;
  std::string hostPath;
  ASSERT_TRUE(os_.hostPath("c:\\WiN\\F", &hostPath));
  EXPECT_EQ(hostPath, vol_ + "/WIN/f");
}

TEST_F(PosixOsTest, NamesVanishingMidWalkDoNotMakeEveryMissRereadTheFolder) {
  makeDir("big");
  for (int i = 0; i < 300; ++i) write("big/F" + std::to_string(i), "x");
  FindData data;
  const OsHandle find = os_.findFirstFile("C:\\big\\*.*", &data);
  ASSERT_NE(find, kInvalidHandle);
  // Renamed away behind the listing's back.
  for (int i = 0; i < 300; ++i) {
    const std::string name = "F" + std::to_string(i);
    ASSERT_EQ(::rename(host("big/" + name).c_str(), (outside_ + "/" + name).c_str()), 0);
  }
  const unsigned long before = os_.directoryReads();
  int opened = 0;
  while (os_.findNextFile(find, &data)) {
    const std::string path = std::string("C:\\big\\") + data.fileName;
    const int fd = os_.open(path.c_str(), kORdOnly);
    if (fd >= 0) {
      ++opened;
      os_.close(fd);
    }
  }
  os_.findClose(find);
  EXPECT_EQ(opened, 0);
  EXPECT_LE(os_.directoryReads() - before, 1u);
  // A name that appears later, in another case, is still found: a change of
  // the folder makes it read again.
  write("big/Late", "late");
  EXPECT_EQ(readAll("C:\\big\\LATE"), "late");
  EXPECT_EQ(readAll("C:\\big\\f1"), "<fail>");
  EXPECT_LE(os_.directoryReads() - before, 2u);
}

TEST_F(PosixOsTest, InterleavedFoldersKeepTheirOwnFiles) {
  // The cached folder must never answer for another folder.
  makeDir("a");
  makeDir("b");
  makeDir("a/b");
  write("a/f", "a");
  write("b/f", "b");
  write("a/b/f", "ab");
  write("f", "root");
  const char* sequence[][2] = {{"C:\\a\\f", "a"},    {"C:\\b\\f", "b"}, {"C:\\a\\b\\f", "ab"}, {"C:\\a\\f", "a"},
                               {"C:\\f", "root"},    {"C:\\A\\F", "a"}, {"C:\\a\\F", "a"},     {"C:\\b\\f", "b"}};
  for (const auto& step : sequence) {
    EXPECT_EQ(names("C:\\b\\*.*").count("f"), 1u);
    EXPECT_EQ(readAll(step[0]), step[1]) << step[0];
  }
}

TEST_F(PosixOsTest, ListsDotEntriesFirstEverywhereButAtARoot) {
  makeDir("empty");
  makeDir("dir");
  write("dir/file", "x");
  makeDir("dir/sub");

  const std::vector<Entry> empty = list("C:\\empty\\*.*");
  ASSERT_EQ(empty.size(), 2u);
  EXPECT_EQ(empty[0].name, ".");
  EXPECT_EQ(empty[1].name, "..");
  EXPECT_EQ(empty[0].attributes, kAttrDirectory);
  EXPECT_EQ(empty[1].attributes, kAttrDirectory);

  const std::vector<Entry> dir = list("C:\\DIR\\*");
  ASSERT_EQ(dir.size(), 4u);
  EXPECT_EQ(dir[0].name, ".");
  EXPECT_EQ(dir[1].name, "..");
  EXPECT_EQ(attributesOf("C:\\dir\\*.*", "sub"), kAttrDirectory);
  EXPECT_EQ(attributesOf("C:\\dir\\*.*", "file") & kAttrDirectory, 0u);

  EXPECT_EQ(names("C:\\*.*"), (std::set<std::string>{"empty", "dir"}));
  EXPECT_EQ(names("C:\\..\\*.*"), (std::set<std::string>{"empty", "dir"}));

  EXPECT_EQ(os_.findFirstFile("C:\\missing\\*.*", nullptr), kInvalidHandle);
  EXPECT_EQ(os_.findFirstFile("C:\\dir\\file\\*.*", nullptr), kInvalidHandle);
  EXPECT_EQ(os_.findFirstFile("C:\\dir\\", nullptr), kInvalidHandle);
  EXPECT_EQ(os_.findFirstFile("C:\\", nullptr), kInvalidHandle);
  EXPECT_EQ(os_.findFirstFile("Q:\\*.*", nullptr), kInvalidHandle);
}

TEST_F(PosixOsTest, MatchesWildcardsTheWayWindowsDoes) {
  makeDir("w");
  const std::vector<std::string> all = {"scrsvr.exe", "scrsvr",   "SCRSVR.DLL", "readme", "a.b.exe",
                                        "a.exe.txt",  "x.htm",    "x.html",     "abc",    "Mixed.Case"};
  for (const std::string& n : all) write("w/" + n, "");
  std::set<std::string> everything(all.begin(), all.end());
  everything.insert(".");
  everything.insert("..");

  const struct {
    const char* pattern;
    std::set<std::string> expected;
  } cases[] = {
      {"*.*", everything},
      {"*", everything},
      {"SCRSVR.*", {"scrsvr.exe", "scrsvr", "SCRSVR.DLL"}},  // also the name without a dot
      {"*.exe", {"scrsvr.exe", "a.b.exe"}},                  // the extension is what follows the last dot
      {"*.EXE", {"scrsvr.exe", "a.b.exe"}},
      {"*.htm", {"x.htm"}},
      {"*.", {"scrsvr", "readme", "abc", ".", ".."}},        // names without an extension
      {"???", {"abc"}},                                      // '?' may match nothing at the end
      {"?????", {"abc"}},
      {"scrsv?.exe", {"scrsvr.exe"}},
      {"a.*.txt", {"a.exe.txt"}},
      {"*m*.*", {"Mixed.Case", "x.htm", "x.html", "readme"}},
      {"mixed.case", {"Mixed.Case"}},                        // no wildcard: one named entry
      {"X.HTM", {"x.htm"}},
      {"x.ht", {}},
      {"zz*", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(names("C:\\w\\" + std::string(c.pattern)), c.expected) << c.pattern;
}

TEST_F(PosixOsTest, ListingLeavesOutWhatNoWindowsPathCanName) {
  makeDir("d");
  write("d/back\\slash", "x");
  ASSERT_EQ(::mkfifo(host("d/pipe").c_str(), 0644), 0);
  write("d/plain", "x");
  EXPECT_EQ(names("C:\\d\\*.*"), (std::set<std::string>{".", "..", "plain"}));
  // A fifo must not hang open, and is no file.
  EXPECT_EQ(os_.open("C:\\d\\pipe", kORdOnly | kOBinary), -1);
}

TEST_F(PosixOsTest, ReportsReadOnlyWhereTheEntryWasLookedAtAnyway) {
  makeDir("d");
  write("d/ro.txt", "x");
  write("d/rw.txt", "x");
  ASSERT_EQ(::chmod(host("d/ro.txt").c_str(), 0444), 0);
  EXPECT_EQ(list("C:\\d\\RO.TXT").at(0).attributes, kAttrReadOnly);
  EXPECT_EQ(list("C:\\d\\rw.txt").at(0).attributes, kAttrArchive);
  EXPECT_EQ(list("C:\\d").at(0).attributes, kAttrDirectory);
  EXPECT_EQ(list("C:\\d").at(0).name, "d");
}

TEST_F(PosixOsTest, FollowsLinksOnlyWhileTheyStayInsideTheVolume) {
  makeDir("real");
  write("real/f", "inside");
  makeDir("sub");
  write(outside_ + "/secret", "outside");
  ::chmod((outside_ + "/secret").c_str(), 0644);
  link("real", "linkdir");
  link("real/f", "linkfile");
  link("../real", "sub/up");           // climbs out of its folder, not out of the volume
  link("../real/f", "sub/upfile");
  link("../outside", "out");
  link("../outside/secret", "outfile");
  link(outside_, "abs");               // absolute targets count as leaving the volume
  link(vol_ + "/real/f", "absinside");
  link("nowhere", "dangling");

  const struct {
    const char* path;
    const char* expected;
  } reads[] = {
      {"C:\\linkdir\\f", "inside"},  {"C:\\LINKFILE", "inside"},       {"C:\\sub\\up\\f", "inside"},
      {"C:\\sub\\upfile", "inside"}, {"C:\\out\\secret", "<fail>"},    {"C:\\outfile", "<fail>"},
      {"C:\\abs\\secret", "<fail>"}, {"C:\\absinside", "<fail>"},      {"C:\\dangling", "<fail>"},
  };
  for (const auto& r : reads) EXPECT_EQ(readAll(r.path), r.expected) << r.path;

  EXPECT_EQ(names("C:\\linkdir\\*.*"), (std::set<std::string>{".", "..", "f"}));
  EXPECT_EQ(names("C:\\sub\\UP\\*.*"), (std::set<std::string>{".", "..", "f"}));
  EXPECT_TRUE(list("C:\\out\\*.*").empty());
  EXPECT_TRUE(list("C:\\abs\\*").empty());

  EXPECT_EQ(attributesOf("C:\\*.*", "linkdir"), kAttrDirectory | kAttrReparsePoint);
  EXPECT_EQ(attributesOf("C:\\*.*", "linkfile"), kAttrReparsePoint | kAttrArchive);
  EXPECT_EQ(attributesOf("C:\\sub\\*.*", "up"), kAttrDirectory | kAttrReparsePoint);
  for (const char* n : {"out", "outfile", "abs", "dangling"}) {
    EXPECT_EQ(attributesOf("C:\\*.*", n) & kAttrDirectory, 0u) << n;
  }

  // Nothing outside is checked, changed or deleted through a link.
  EXPECT_EQ(os_.access("C:\\outfile", kAccessExists), -1);
  EXPECT_EQ(os_.access("C:\\out\\secret", kAccessExists), -1);
  EXPECT_FALSE(os_.setFileAttributes("C:\\outfile", kAttrReadOnly));
  EXPECT_FALSE(os_.setFileAttributes("C:\\out\\secret", kAttrReadOnly));
  EXPECT_FALSE(os_.deleteFile("C:\\out\\secret"));
  EXPECT_FALSE(os_.deleteFile("C:\\abs\\secret"));
  EXPECT_EQ(hostMode(outside_ + "/secret"), 0644u);
  EXPECT_TRUE(hostExists(outside_ + "/secret"));
  EXPECT_EQ(os_.access("C:\\linkfile", kAccessExists), 0);
  EXPECT_TRUE(os_.setFileAttributes("C:\\linkfile", kAttrReadOnly));  // reaches the target inside
  EXPECT_EQ(hostMode("real/f") & S_IWUSR, 0u);

  // Deleting a link entry removes the link, never its target.
  EXPECT_TRUE(os_.deleteFile("C:\\outfile"));
  EXPECT_FALSE(hostExists("outfile"));
  EXPECT_TRUE(os_.deleteFile("C:\\dangling"));
  EXPECT_TRUE(os_.deleteFile("C:\\linkdir"));
  EXPECT_TRUE(hostExists("real/f"));
  EXPECT_TRUE(hostExists(outside_ + "/secret"));
}

// The lookup used where the kernel has no openat2: it must never leave the
// folder, and it may refuse links that openat2 would have followed.
TEST_F(PosixOsTest, LookupWithoutOpenat2NeverLeavesTheFolder) {
  makeDir("a");
  makeDir("a/b");
  write("a/b/f.txt", "inside");
  write(outside_ + "/secret", "outside");
  link(outside_ + "/secret", "a/abs");
  link("../../outside/secret", "a/rel");
  link("b", "a/inner");
  const int root = ::open(vol_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  struct Case {
    const char* path;
    int flags;
    bool opens;
  } cases[] = {
      {"a/b/f.txt", O_RDONLY, true},
      {"a//b/f.txt", O_RDONLY, true},
      {"a/b", O_PATH | O_DIRECTORY, true},
      {"", O_PATH | O_DIRECTORY, true},
      {"a/b/../b/f.txt", O_RDONLY, false},
      {"../outside/secret", O_RDONLY, false},
      {"a/abs", O_RDONLY, false},
      {"a/abs", O_PATH, false},
      {"a/rel", O_RDONLY, false},
      {"a/inner/f.txt", O_RDONLY, false},
      {"a/missing", O_RDONLY, false},
  };
  for (const Case& c : cases) {
    const int fd = openBeneathByComponents(root, c.path, c.flags);
    EXPECT_EQ(fd >= 0, c.opens) << c.path;
    if (fd >= 0) {
      if ((c.flags & O_PATH) == 0) {
        char buffer[16] = {};
        EXPECT_EQ(::read(fd, buffer, sizeof buffer), 6) << c.path;
        EXPECT_STREQ(buffer, "inside") << c.path;
      }
      ::close(fd);
    }
  }
  ::close(root);
}

TEST_F(PosixOsTest, WalkingALinkLoopEnds) {
  makeDir("a");
  write("a/f", "x");
  link(".", "a/self");
  makeDir("b");
  link("../b", "b/again");
  // Descends into every folder entry, links included, as a naive walker
  // would; the kernel's limit on links per lookup (or the 259-character
  // limit) ends each chain.
  std::function<int(const std::string&, int)> walk = [&](const std::string& folder, int depth) {
    if (depth > 100) return depth;
    int deepest = depth;
    for (const Entry& e : list(folder + "\\*.*")) {
      if ((e.attributes & kAttrDirectory) && e.name != "." && e.name != "..") {
        deepest = std::max(deepest, walk(folder + "\\" + e.name, depth + 1));
      }
    }
    return deepest;
  };
  for (const char* start : {"C:\\a", "C:\\b"}) {
    const int deepest = walk(start, 0);
    EXPECT_GT(deepest, 1) << start;  // the link was followed ...
    EXPECT_LE(deepest, 60) << start;  // ... but not for ever
  }
}

TEST_F(PosixOsTest, SeeksAndReadsLikeTheRuntimeCalls) {
  write("ten", "0123456789");
  const int fd = os_.open("C:\\ten", kORdOnly | kOBinary);
  ASSERT_GE(fd, 0);
  char buffer[16];
  auto readText = [&](unsigned count) {
    const int got = os_.read(fd, buffer, count);
    return got < 0 ? std::string("<fail>") : std::string(buffer, got);
  };

  EXPECT_EQ(os_.lseek(fd, 0, kSeekEnd), 10);
  EXPECT_EQ(os_.lseek(fd, 4, kSeekSet), 4);
  EXPECT_EQ(os_.lseek(fd, -1, kSeekSet), -1);  // a negative position fails ...
  EXPECT_EQ(os_.lseek(fd, -5, kSeekCur), -1);
  EXPECT_EQ(os_.lseek(fd, -11, kSeekEnd), -1);
  EXPECT_EQ(readText(2), "45");  // ... and leaves the position where it was
  EXPECT_EQ(os_.lseek(fd, 0, kSeekCur), 6);
  EXPECT_EQ(os_.lseek(fd, -3, kSeekEnd), 7);
  EXPECT_EQ(readText(10), "789");  // a short read at the end
  EXPECT_EQ(readText(10), "");
  EXPECT_EQ(os_.lseek(fd, 100, kSeekSet), 100);  // past the end is allowed
  EXPECT_EQ(readText(4), "");
  EXPECT_EQ(os_.lseek(fd, 0, 3), -1);
  EXPECT_EQ(os_.lseek(fd, 0x7FFFFFFF, kSeekSet), 0x7FFFFFFF);
  EXPECT_EQ(os_.lseek(fd, 1, kSeekCur), -1);  // beyond what 32 bits can report
  EXPECT_EQ(os_.lseek(fd, 1, kSeekSet), 1);
  EXPECT_EQ(os_.read(fd, buffer, 0), 0);
  EXPECT_EQ(os_.read(fd, nullptr, 4), -1);
  EXPECT_EQ(os_.chsize(fd, 4), -1);  // opened for reading only
  EXPECT_EQ(os_.close(fd), 0);

  // A closed or foreign descriptor is refused, and a foreign one is left open.
  EXPECT_EQ(os_.read(fd, buffer, 1), -1);
  EXPECT_EQ(os_.lseek(fd, 0, kSeekSet), -1);
  EXPECT_EQ(os_.close(fd), -1);
  EXPECT_EQ(os_.close(0), -1);
  EXPECT_NE(::fcntl(0, F_GETFD), -1);
  EXPECT_EQ(os_.read(-1, buffer, 1), -1);
}

TEST_F(PosixOsTest, EndOfAFileOfTwoGigabytesCannotBeReported) {
  const int host = ::open(this->host("big").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(host, 0);
  ASSERT_EQ(::ftruncate(host, 0x80000000LL), 0);  // sparse
  ASSERT_EQ(::pwrite(host, "PE", 2, 0x100), 2);
  ::close(host);
  const int fd = os_.open("C:\\big", kORdOnly | kOBinary);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(os_.lseek(fd, 0, kSeekEnd), -1);
  EXPECT_EQ(os_.lseek(fd, -16, kSeekEnd), -1);
  EXPECT_EQ(os_.lseek(fd, 0x100, kSeekSet), 0x100);
  char buffer[2];
  EXPECT_EQ(os_.read(fd, buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "PE");
  os_.close(fd);
}

TEST_F(PosixOsTest, ChsizeCutsAndGrowsAndTheEndFollows) {
  write("f", "0123456789");
  const int fd = os_.open("C:\\F", kORdWr | kOBinary);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(os_.lseek(fd, 0, kSeekEnd), 10);
  EXPECT_EQ(os_.chsize(fd, 4), 0);
  EXPECT_EQ(os_.lseek(fd, 0, kSeekEnd), 4);
  EXPECT_EQ(os_.chsize(fd, 6), 0);
  EXPECT_EQ(os_.lseek(fd, 0, kSeekEnd), 6);
  EXPECT_EQ(os_.chsize(fd, -1), -1);
  EXPECT_EQ(os_.close(fd), 0);
  EXPECT_EQ(readAll("C:\\f"), std::string("0123\0\0", 6));
}

TEST_F(PosixOsTest, OpensOnlyRegularFilesWithKnownFlags) {
  makeDir("d");
  write("ro", "x");
  ::chmod(host("ro").c_str(), 0444);
  write("rw", "x");
  const struct {
    const char* path;
    int flags;
    bool opens;
  } cases[] = {
      {"C:\\rw", kORdOnly, true},
      {"C:\\rw", kORdOnly | kOBinary, true},
      {"C:\\rw", kOWrOnly | kOBinary, true},
      {"C:\\rw", kORdWr | kOBinary, true},
      {"C:\\ro", kORdOnly | kOBinary, true},
      {"C:\\ro", kORdWr | kOBinary, false},  // read-only, as Windows refuses it
      {"C:\\ro", kOWrOnly, false},
      {"C:\\rw", 3, false},
      {"C:\\rw", kORdOnly | 0x0100, false},  // _O_CREAT is not offered
      {"C:\\rw", kORdWr | 0x0200, false},    // nor _O_TRUNC
      {"C:\\d", kORdOnly | kOBinary, false},
      {"C:\\", kORdOnly | kOBinary, false},
  };
  for (const auto& c : cases) {
    const int fd = os_.open(c.path, c.flags);
    EXPECT_EQ(fd >= 0, c.opens) << c.path << " flags " << c.flags;
    if (fd >= 0) os_.close(fd);
  }
  // A write-only descriptor cannot be read.
  const int fd = os_.open("C:\\rw", kOWrOnly | kOBinary);
  char c;
  EXPECT_EQ(os_.read(fd, &c, 1), -1);
  os_.close(fd);
}

TEST_F(PosixOsTest, ReadOnlyAttributeIsTheOwnerWriteBit) {
  makeDir("d");
  write("d/f", "x");
  ASSERT_EQ(::chmod(host("d/f").c_str(), 0664), 0);

  EXPECT_TRUE(os_.setFileAttributes("C:\\D\\F", kAttrReadOnly | kAttrHidden));
  EXPECT_EQ(hostMode("d/f"), 0464u);  // only the owner's write bit goes
  EXPECT_EQ(os_.access("C:\\d\\f", kAccessWrite), -1);
  EXPECT_EQ(os_.access("C:\\d\\f", kAccessExists), 0);
  EXPECT_EQ(os_.access("C:\\d\\f", kAccessRead), 0);
  EXPECT_EQ(list("C:\\d\\f").at(0).attributes, kAttrReadOnly);

  EXPECT_TRUE(os_.setFileAttributes("C:\\d\\f", kAttrArchive));
  EXPECT_EQ(hostMode("d/f"), 0664u);
  EXPECT_EQ(os_.access("C:\\d\\f", kAccessWrite), 0);
  EXPECT_EQ(os_.access("C:\\d\\f", kAccessWrite | kAccessRead), 0);
  EXPECT_TRUE(os_.setFileAttributes("C:\\d\\f", kAttrHidden | kAttrSystem));  // other bits ignored
  EXPECT_EQ(hostMode("d/f"), 0664u);

  EXPECT_FALSE(os_.setFileAttributes("C:\\d\\missing", kAttrArchive));
  EXPECT_FALSE(os_.setFileAttributes("C:\\d\\f\\", kAttrArchive));
  EXPECT_FALSE(os_.setFileAttributes("E:\\f", kAttrArchive));
  EXPECT_EQ(os_.access("C:\\d\\missing", kAccessExists), -1);
  EXPECT_EQ(os_.access("C:\\d\\f", 1), -1);  // no such mode
  EXPECT_EQ(os_.access("C:\\d", kAccessExists), 0);
  EXPECT_EQ(os_.access("C:\\d\\", kAccessExists), 0);
  EXPECT_EQ(os_.access("C:\\d\\f\\", kAccessExists), -1);
  EXPECT_EQ(os_.access("C:\\", kAccessExists), 0);
  EXPECT_EQ(os_.access("C:\\PROGRAM FILES", kAccessExists), -1);
}

TEST_F(PosixOsTest, DeletesFilesButNoFoldersNorReadOnlyFiles) {
  makeDir("d");
  write("d/Victim.EXE", "x");
  write("d/ro", "x");
  ::chmod(host("d/ro").c_str(), 0444);

  EXPECT_TRUE(os_.deleteFile("C:\\D\\victim.exe"));
  EXPECT_FALSE(hostExists("d/Victim.EXE"));
  EXPECT_FALSE(os_.deleteFile("C:\\d\\victim.exe"));
  EXPECT_FALSE(os_.deleteFile("C:\\d"));
  EXPECT_TRUE(hostExists("d"));
  EXPECT_FALSE(os_.deleteFile("C:\\d\\ro"));  // as DeleteFileA refuses a read-only file
  EXPECT_TRUE(os_.setFileAttributes("C:\\d\\ro", kAttrArchive));
  EXPECT_TRUE(os_.deleteFile("C:\\d\\ro"));
  EXPECT_FALSE(os_.deleteFile("C:\\"));
  EXPECT_FALSE(os_.deleteFile(nullptr));
}

// Renames the host file `from` to `to` just before the first change
// reaches the volume: the moment between a scan's read and its delete.
class RenamesBeforeChange : public ForwardingOs {
 public:
  RenamesBeforeChange(Os& inner, std::string from, std::string to)
      : ForwardingOs(inner), from_(std::move(from)), to_(std::move(to)) {}
  bool setFileAttributes(const char* path, std::uint32_t attributes) override {
    renameOnce();
    return ForwardingOs::setFileAttributes(path, attributes);
  }
  bool deleteFile(const char* path) override {
    renameOnce();
    return ForwardingOs::deleteFile(path);
  }
  const ScanSession* session = nullptr;
  std::vector<std::string> lines;
  std::intptr_t sendMessage(HWnd, std::uint32_t message, std::uintptr_t, std::intptr_t) override {
    if (message == kMsgLogLine) lines.push_back(session->logLine);
    return 0;
  }

 private:
  void renameOnce() {
    if (!from_.empty()) {
      EXPECT_EQ(::rename(from_.c_str(), to_.c_str()), 0);
    }
    from_.clear();
  }
  std::string from_, to_;
};

TEST_F(PosixOsTest, AChangeActsOnTheFileThatWasReadAndNeverOnACaseTwin) {
  // worm.exe is renamed away (or replaced) between the read and the
  // change, right after the read or after many other files were read;
  // its clean, read-only twin WORM.EXE must stay as it is.
  const struct {
    const char* what;
    bool replaced;  // another file takes the name, rather than none
    int readsBetween;
  } cases[] = {{"renamed away", false, 0},
               {"replaced by another file", true, 0},
               {"renamed away after many reads", false, 500},
               {"replaced after many reads", true, 500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    makeDir("d");
    write("d/worm.exe", "worm");
    write("d/WORM.EXE", "clean");
    ASSERT_EQ(::chmod(host("d/WORM.EXE").c_str(), 0444), 0);
    ASSERT_EQ(readAll("C:\\d\\worm.exe"), "worm");
    for (int i = 0; i < c.readsBetween; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      write("d/" + name, "x");
      ASSERT_EQ(readAll("C:\\d\\" + name), "x");
    }
    ASSERT_EQ(::rename(host("d/worm.exe").c_str(), host("d/moved.exe").c_str()), 0);
    if (c.replaced) write("d/worm.exe", "other");

    EXPECT_FALSE(os_.setFileAttributes("C:\\d\\worm.exe", kAttrArchive));
    EXPECT_EQ(os_.open("C:\\d\\worm.exe", kORdWr | kOBinary), -1);
    EXPECT_FALSE(os_.deleteFile("C:\\d\\worm.exe"));
    EXPECT_EQ(hostMode("d/WORM.EXE"), 0444u);
    EXPECT_TRUE(hostExists("d/WORM.EXE"));
    EXPECT_TRUE(hostExists("d/moved.exe"));
    EXPECT_EQ(hostExists("d/worm.exe"), c.replaced);

    // Read again, it is the file now there that changes.
    if (c.replaced) {
      ASSERT_EQ(readAll("C:\\d\\worm.exe"), "other");
      EXPECT_TRUE(os_.deleteFile("C:\\d\\worm.exe"));
    }
    ASSERT_EQ(::chmod(host("d/WORM.EXE").c_str(), 0644), 0);
    ::nftw(host("d").c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    os_.forgetCachedFolder();
  }

  // Through the core's delete, the race placed by the seam.
  makeDir("d");
  write("d/worm.exe", "worm");
  write("d/WORM.EXE", "clean");
  ASSERT_EQ(::chmod(host("d/WORM.EXE").c_str(), 0444), 0);
  ASSERT_EQ(readAll("C:\\d\\worm.exe"), "worm");
  RenamesBeforeChange racing(os_, host("d/worm.exe"), host("d/moved.exe"));
  ScanSession session;
  session.progressWindow = 1;
  racing.session = &session;
  deleteInfectedFile(session, racing, "C:\\d\\worm.exe", "W32/Opaserv.Worm");
  EXPECT_EQ(racing.lines, (std::vector<std::string>{"C:\\d\\worm.exe     W32/Opaserv.Worm Delete failed"}));
  EXPECT_EQ(session.filesDeleted, 0);
  EXPECT_EQ(hostMode("d/WORM.EXE"), 0444u);
  EXPECT_TRUE(hostExists("d/moved.exe"));

  // A file read under another spelling is changed under the name it was read by.
  write("d/Win.ini", "text");
  ASSERT_EQ(readAll("C:\\d\\WIN.INI"), "text");
  EXPECT_TRUE(os_.setFileAttributes("C:\\d\\WIN.INI", kAttrReadOnly));
  EXPECT_EQ(hostMode("d/Win.ini"), 0444u);
}

TEST_F(PosixOsTest, AttributesOfANameAreThoseOfThatNameWildcardsAndAll) {
  // '*' and '?' are plain characters of Linux names: no listing answers for them.
  makeDir("d");
  write("d/w*rm?.exe", "x");
  write("d/other.exe", "x");
  ASSERT_EQ(::chmod(host("d/other.exe").c_str(), 0444), 0);
  EXPECT_EQ(os_.getFileAttributes("C:\\d\\w*rm?.exe"), kAttrArchive);
  EXPECT_EQ(os_.getFileAttributes("C:\\d\\*.exe"), kInvalidFileAttributes);
  EXPECT_EQ(os_.getFileAttributes("C:\\D\\OTHER.EXE"), kAttrReadOnly);
  EXPECT_EQ(os_.getFileAttributes("C:\\d"), kAttrDirectory);
  EXPECT_EQ(os_.getFileAttributes("C:\\d\\"), kAttrDirectory);
  EXPECT_EQ(os_.getFileAttributes("C:\\d\\other.exe\\"), kInvalidFileAttributes);
  EXPECT_EQ(os_.getFileAttributes("C:\\"), kAttrDirectory);
  EXPECT_EQ(os_.getFileAttributes("C:\\d\\missing"), kInvalidFileAttributes);
  link("other.exe", "d/link.exe");
  EXPECT_EQ(os_.getFileAttributes("C:\\d\\link.exe"), kAttrReparsePoint | kAttrReadOnly);
  EXPECT_TRUE(os_.deleteFile("C:\\d\\w*rm?.exe"));
  EXPECT_FALSE(hostExists("d/w*rm?.exe"));
}

TEST_F(PosixOsTest, ReadsLeaveAccessTimesAlone) {
  // An access time well before the change time: relatime would renew it.
  makeDir("d");
  write("d/f.exe", "some bytes");
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, host("d/f.exe").c_str(), old, 0), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, host("d").c_str(), old, 0), 0);
  auto atime = [&](const std::string& rel) {
    struct stat st;
    EXPECT_EQ(::stat(host(rel).c_str(), &st), 0);
    return st.st_atim.tv_sec;
  };
  // The check itself must be able to fail here: a plain read renews it.
  write("d/probe", "x");
  ASSERT_EQ(::utimensat(AT_FDCWD, host("d/probe").c_str(), old, 0), 0);
  {
    std::ifstream in(host("d/probe"));
    char c;
    in.get(c);
  }
  if (atime("d/probe") == old[0].tv_sec) GTEST_SKIP() << "this file system keeps no access times";
  ASSERT_EQ(::utimensat(AT_FDCWD, host("d").c_str(), old, 0), 0);

  EXPECT_EQ(readAll("C:\\d\\f.exe"), "some bytes");
  EXPECT_EQ(list("C:\\d\\*.*").size(), 4u);
  EXPECT_EQ(atime("d/f.exe"), old[0].tv_sec);
  EXPECT_EQ(atime("d"), old[0].tv_sec);
}

TEST_F(PosixOsTest, DriveTypesFollowTheMapping) {
  const struct {
    const char* root;
    unsigned type;
  } cases[] = {
      {"C:\\", kDriveFixed}, {"c:\\", kDriveFixed},         {"C:", kDriveFixed},
      {"D:\\", kDriveNoRootDir}, {"C:\\dir", kDriveNoRootDir}, {"", kDriveNoRootDir},
      {nullptr, kDriveNoRootDir},
  };
  for (const auto& c : cases) EXPECT_EQ(os_.getDriveType(c.root), c.type) << (c.root ? c.root : "(null)");

  os_.mapDrive('d', base_ + "/no-such-folder");
  EXPECT_EQ(os_.getDriveType("D:\\"), kDriveNoRootDir);
  os_.mapDrive('D', outside_);
  EXPECT_EQ(os_.getDriveType("D:\\"), kDriveFixed);
  EXPECT_EQ(names("D:\\*.*"), std::set<std::string>{});
}

TEST_F(PosixOsTest, PathsStopAt259Characters) {
  // "C:\" + 100 + "\" + 100 + "\" + name: 205 characters before the name.
  const std::string a(100, 'a'), b(100, 'b');
  makeDir(a);
  makeDir(a + "/" + b);
  const std::string name259(54, 'n'), name260(55, 'n');
  write(a + "/" + b + "/" + name259, "ok");
  write(a + "/" + b + "/" + name260, "ok");
  const std::string folder = "C:\\" + a + "\\" + b + "\\";
  ASSERT_EQ((folder + name259).size(), 259u);
  EXPECT_EQ(readAll(folder + name259), "ok");
  EXPECT_EQ(readAll(folder + name260), "<fail>");  // MAX_PATH, as the ANSI calls
  EXPECT_EQ(os_.access((folder + name260).c_str(), kAccessExists), -1);
  EXPECT_FALSE(os_.deleteFile((folder + name260).c_str()));
  EXPECT_TRUE(hostExists(a + "/" + b + "/" + name260));
  EXPECT_EQ(names(folder + std::string(54, '?')).size(), 1u);
  EXPECT_TRUE(names(folder + std::string(55, '?')).empty());
}

// Runs body with the rights of an ordinary user: as root, in a child that
// has become nobody (root reads everything); else right here. Gives what
// body returned, or "<child failed>".
std::string asOrdinaryUser(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return body();
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "<child failed>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    const std::string text = body();
    const bool written = ::write(pipeFds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "<child failed>";
}

TEST_F(PosixOsTest, ReportsEveryPlaceItCouldNotReadOnce) {
  makeDir("locked");
  write("locked/SCRSVR.EXE", "x");
  makeDir("blind");  // no search right: neither it nor anything in it can be opened
  write("blind/f", "x");
  makeDir("blind/sub");
  write("secret.txt", "x");
  write("plain.txt", "x");
  link(outside_, "out");
  ASSERT_EQ(::chmod(host("locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod(host("blind").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(host("secret.txt").c_str(), 0), 0);
  ASSERT_EQ(::chmod(base_.c_str(), 0755), 0);
  const std::string seen = asOrdinaryUser([this] {
    std::ostringstream text;
    os_.setTroubleSink([&](const std::string& path, PosixOs::Trouble kind, int error) {
      text << path << " " << static_cast<int>(kind) << " " << (error == EACCES ? "EACCES" : std::to_string(error))
           << "\n";
    });
    for (int twice = 0; twice < 2; ++twice) {
      for (const char* pattern : {"C:\\locked\\*.*", "C:\\blind\\*.*", "C:\\blind\\sub\\*", "C:\\missing\\*.*",
                                  "C:\\out\\*.*", "C:\\*.*"})
        list(pattern);
      for (const char* path : {"C:\\secret.txt", "C:\\blind\\f", "C:\\plain.txt", "C:\\nothing.txt",
                               "C:\\locked\\SCRSVR.EXE", "C:\\out\\x"}) {
        const int fd = os_.open(path, kORdOnly);
        if (fd >= 0) os_.close(fd);
      }
      // Writing is not reading: a refusal there is the caller's to report.
      if (os_.open("C:\\secret.txt", kOWrOnly) != -1) text << "opened for writing\n";
    }
    return text.str();
  });
  ::chmod(host("locked").c_str(), 0755);
  ::chmod(host("blind").c_str(), 0755);
  EXPECT_EQ(seen,
            "C:\\locked 0 EACCES\n"
            "C:\\blind 0 EACCES\n"
            "C:\\blind\\sub 0 EACCES\n"
            "C:\\secret.txt 0 EACCES\n"
            "C:\\blind\\f 0 EACCES\n"
            "C:\\locked\\SCRSVR.EXE 0 EACCES\n");
}

TEST_F(PosixOsTest, ReportsEntriesTheWalkMustPassOverForTheirLength) {
  // "C:\" + 100 + "\" + 100 + "\": 205 characters before each name.
  const std::string a(100, 'a'), b(100, 'b');
  makeDir(a);
  makeDir(a + "/" + b);
  const std::string folder = "C:\\" + a + "\\" + b + "\\";
  const std::string file259(54, 'f'), file260(55, 'f'), folder255(50, 'd'), folder256(51, 'd'), folder260(55, 'e');
  for (const std::string& name : {file259, file260}) write(a + "/" + b + "/" + name, "x");
  for (const std::string& name : {folder255, folder256, folder260}) makeDir(a + "/" + b + "/" + name);
  std::vector<std::string> seen;
  os_.setTroubleSink([&](const std::string& path, PosixOs::Trouble kind, int) {
    seen.push_back(std::to_string(path.size()) + " " + std::to_string(static_cast<int>(kind)));
  });
  list(folder + "*.*");
  list(folder + "*");  // the walker lists each folder twice: said once
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"256 2", "260 1", "260 1"}));
}

TEST_F(PosixOsTest, SearchHandlesAreTheirOwn) {
  makeDir("a");
  makeDir("b");
  write("a/x", "");
  write("b/y", "");
  FindData first, second;
  const OsHandle ha = os_.findFirstFile("C:\\a\\*.*", &first);
  const OsHandle hb = os_.findFirstFile("C:\\b\\?", &second);
  ASSERT_NE(ha, kInvalidHandle);
  ASSERT_NE(hb, kInvalidHandle);
  EXPECT_STREQ(second.fileName, "y");
  EXPECT_FALSE(os_.findNextFile(hb, &second));
  EXPECT_STREQ(first.fileName, ".");
  EXPECT_TRUE(os_.findNextFile(ha, &first));
  EXPECT_STREQ(first.fileName, "..");
  EXPECT_TRUE(os_.findClose(hb));
  EXPECT_FALSE(os_.findClose(hb));
  EXPECT_FALSE(os_.findNextFile(hb, &second));
  // A closed handle stays dead even when its slot serves a new listing.
  const OsHandle hc = os_.findFirstFile("C:\\b\\*", &second);
  ASSERT_NE(hc, kInvalidHandle);
  EXPECT_NE(hc, hb);
  EXPECT_FALSE(os_.findNextFile(hb, &second));
  EXPECT_TRUE(os_.findNextFile(ha, &first));
  EXPECT_STREQ(first.fileName, "x");
  EXPECT_FALSE(os_.findNextFile(ha, &first));
  EXPECT_TRUE(os_.findClose(ha));
  EXPECT_TRUE(os_.findClose(hc));
  EXPECT_FALSE(os_.findClose(kInvalidHandle));
  EXPECT_FALSE(os_.findClose(0));
}

TEST_F(PosixOsTest, RegistryProcessesAndServicesAreAbsent) {
  HKey key = 1234;
  EXPECT_EQ(os_.regOpenKeyEx(kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", kKeyAllAccess,
                             &key),
            kErrorFileNotFound);
  EXPECT_EQ(key, 0u);
  std::uint32_t size = 64;
  std::uint8_t data[64];
  EXPECT_EQ(os_.regQueryValueEx(kHkeyPerformanceData, "Global", nullptr, data, &size), kErrorFileNotFound);
  EXPECT_EQ(os_.regDeleteValue(kHkeyLocalMachine, "x"), kErrorFileNotFound);
  EXPECT_EQ(os_.regDeleteKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\x"), kErrorFileNotFound);
  EXPECT_EQ(os_.regCloseKey(kHkeyPerformanceData), kErrorSuccess);

  EXPECT_EQ(os_.loadLibrary("Kernel32.dll"), 0u);
  EXPECT_EQ(os_.getProcAddress(0, "CreateToolhelp32Snapshot"), 0u);
  EXPECT_EQ(os_.createToolhelp32Snapshot(0, kTh32csSnapProcess, 0), kInvalidHandle);
  std::uint32_t ids[4], returned = 99;
  EXPECT_FALSE(os_.enumProcesses(0, ids, sizeof ids, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(os_.openProcess(kProcessTerminate, false, 4), 0u);
  EXPECT_FALSE(os_.terminateProcess(0, 0));
  EXPECT_EQ(os_.openSCManager(nullptr, nullptr, kScManagerAllAccess), 0u);
  EXPECT_EQ(os_.openService(0, "x", kServiceAllAccess), 0u);
  ServiceStatus status;
  EXPECT_FALSE(os_.queryServiceStatus(0, &status));
  EXPECT_FALSE(os_.controlService(0, kServiceControlStop, &status));
}

TEST_F(PosixOsTest, PlatformIsNeither9xNorNt) {
  OsVersionInfo info;
  std::memset(&info, 0x5A, sizeof info);
  info.size = sizeof info;
  ASSERT_TRUE(os_.getVersionEx(&info));
  EXPECT_EQ(info.platformId, kPlatformWin32s);
  EXPECT_EQ(info.size, sizeof info);
  EXPECT_EQ(info.csdVersion[0], '\0');
  info.size = 0;
  EXPECT_FALSE(os_.getVersionEx(&info));
  EXPECT_FALSE(os_.getVersionEx(nullptr));
}

TEST_F(PosixOsTest, WindowsDirectoryHasWin32Semantics) {
  char buffer[32];
  EXPECT_EQ(os_.getWindowsDirectory(buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(os_.getWindowsDirectory(buffer, 10), 11u);  // too small: the size needed
  EXPECT_EQ(buffer[0], 'z');
  EXPECT_EQ(os_.getWindowsDirectory(buffer, 11), 10u);
  os_.setWindowsDirectory("D:\\WINNT");
  EXPECT_EQ(os_.getWindowsDirectory(buffer, sizeof buffer), 8u);
  EXPECT_STREQ(buffer, "D:\\WINNT");
  os_.setWindowsDirectory("");
  EXPECT_EQ(os_.getWindowsDirectory(buffer, sizeof buffer), 0u);
}

TEST_F(PosixOsTest, WideCharToMultiByteConvertsPlainly) {
  char out[8];
  const struct {
    std::u16string wide;
    int length;  // -1: up to and with the zero
    int outSize;
    int result;
    std::string text;
  } cases[] = {
      {u"abc", -1, 8, 4, std::string("abc\0", 4)},
      {u"abc", 2, 8, 2, "ab"},
      {u"\u00e9\u20ac\u0041", 3, 8, 3, "\xe9?A"},  // Latin-1 kept, the rest '?'
      {u"abc", -1, 0, 4, ""},                      // size query
      {u"abc", -1, 3, 0, ""},                      // too small: nothing
      {u"abc", 0, 8, 0, ""},
      {u"abc", -2, 8, 0, ""},
  };
  for (const auto& c : cases) {
    std::memset(out, 0, sizeof out);
    const int result = os_.wideCharToMultiByte(kCpAcp, 0, c.wide.c_str(), c.length, c.outSize ? out : nullptr,
                                               c.outSize);
    EXPECT_EQ(result, c.result) << c.length << "/" << c.outSize;
    if (result > 0 && c.outSize > 0) {
      EXPECT_EQ(std::string(out, result), c.text);
    } else {
      EXPECT_EQ(out[0], '\0');  // nothing written
    }
  }
  EXPECT_EQ(os_.wideCharToMultiByte(kCpAcp, 0, nullptr, -1, out, 8), 0);
  EXPECT_EQ(os_.wideCharToMultiByte(kCpAcp, 0, u"a", 1, nullptr, 8), 0);
}

TEST_F(PosixOsTest, MessagesGoToTheInstalledHandlers) {
  Message msg{};
  EXPECT_FALSE(os_.peekMessage(&msg));
  EXPECT_EQ(os_.sendMessage(1, 0x000A, 0, 0), 0);
  EXPECT_EQ(os_.messageBox(1, "Terminate the Scan now?", "Warning", kMbYesNo | kMbIconInformation), kIdNo);
  os_.dispatchMessage(&msg);  // no handler: nothing happens

  int queued = 1;
  os_.setMessageSource([&](Message* m) {
    if (queued == 0) return false;
    --queued;
    m->message = kWmQuit;
    m->wParam = 27;
    return true;
  });
  std::vector<std::string> seen;
  os_.setMessageSink([&](HWnd w, std::uint32_t m, std::uintptr_t wp, std::intptr_t lp) -> std::intptr_t {
    seen.push_back(std::to_string(w) + "," + std::to_string(m) + "," + std::to_string(wp) + "," + std::to_string(lp));
    return 77;
  });
  os_.setMessageBoxHandler([&](HWnd, const char* text, const char* caption, std::uint32_t style) {
    seen.push_back(std::string(text) + "|" + caption + "|" + std::to_string(style));
    return kIdYes;
  });
  const Message* dispatched = nullptr;
  os_.setDispatchHandler([&](const Message* m) { dispatched = m; });

  ASSERT_TRUE(os_.peekMessage(&msg));
  EXPECT_EQ(msg.message, kWmQuit);
  EXPECT_EQ(msg.wParam, 27u);
  EXPECT_FALSE(os_.peekMessage(&msg));
  EXPECT_EQ(os_.sendMessage(5, 0x000B, 1, -2), 77);
  EXPECT_EQ(os_.messageBox(5, "t", "c", 0x44), kIdYes);
  os_.dispatchMessage(&msg);
  EXPECT_EQ(dispatched, &msg);
  EXPECT_EQ(seen, (std::vector<std::string>{"5,11,1,-2", "t|c|68"}));
}

}  // namespace
}  // namespace purgato
