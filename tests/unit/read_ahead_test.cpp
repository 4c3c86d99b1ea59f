// The read-ahead of a mounted volume: which files it fetches and when, that
// it waits for the scanner's files, and that it leaves no thread, no
// descriptor and no trace outside the volume or in it.
#include "os/posix/read_ahead.h"
#include "os/posix/posix_os.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace purgato {
namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

std::size_t entriesOf(const char* folder) {
  std::size_t count = 0;
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return 0;
  while (const struct dirent* e = ::readdir(dir))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
  ::closedir(dir);
  return count - 1;  // the descriptor of the listing itself
}

std::size_t openDescriptors() { return entriesOf("/proc/self/fd"); }
std::size_t threads() { return entriesOf("/proc/self/task") + 1; }

// What the fetching threads were asked to fetch, in order; each fetch may
// be held until the test lets it go.
class Recorder {
 public:
  ReadAhead::FetchFile fetch() {
    return [this](int, const char* path, bool tail) {
      std::unique_lock<std::mutex> lock(mutex_);
      fetched_.push_back(std::string(path) + (tail ? " +tail" : ""));
      changed_.notify_all();
      changed_.wait(lock, [&] { return held_.count(path) == 0; });
      return cached_;
    };
  }
  // What a fetch reports: the file's first page was cached already.
  void setCached(bool cached) {
    std::lock_guard<std::mutex> lock(mutex_);
    cached_ = cached;
  }
  void hold(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.insert(path);
  }
  void release(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(path);
    changed_.notify_all();
  }
  void waitUntilFetching(const std::string& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      for (const std::string& f : fetched_)
        if (f == path) return true;
      return false;
    });
  }
  // What was fetched since the last call.
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> result(fetched_.begin() + static_cast<long>(seen_), fetched_.end());
    seen_ = fetched_.size();
    return result;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> fetched_;
  std::size_t seen_ = 0;
  std::set<std::string> held_;
  bool cached_ = false;
};

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/read_ahead_test.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    base_ = templ;
    vol_ = base_ + "/vol";
    outside_ = base_ + "/outside";
    ASSERT_EQ(::mkdir(vol_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    root_ = ::open(vol_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root_, 0);
  }
  void TearDown() override {
    if (root_ >= 0) ::close(root_);
    if (!base_.empty()) ::nftw(base_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  std::string host(const std::string& rel) const { return rel[0] == '/' ? rel : vol_ + "/" + rel; }
  void makeDir(const std::string& rel) { ASSERT_EQ(::mkdir(host(rel).c_str(), 0755), 0) << rel; }
  void write(const std::string& rel, const std::string& bytes) {
    std::ofstream out(host(rel), std::ios::binary);
    out << bytes;
    ASSERT_TRUE(out.good()) << rel;
  }
  // Files NAME00.., each a few bytes; their names.
  std::vector<std::string> makeFiles(const std::string& folder, const char* prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%s%02d", prefix, i);
      write(folder + "/" + name, std::string("bytes of ") + name);
      names.push_back(name);
    }
    return names;
  }
  // The entries as the volume would pass them on.
  static std::vector<ReadAhead::Entry> entries(const std::vector<std::string>& files,
                                               const std::vector<std::string>& folders = {}) {
    std::vector<ReadAhead::Entry> result;
    for (const std::string& f : files) result.push_back({f.c_str(), f.size(), false});
    for (const std::string& f : folders) result.push_back({f.c_str(), f.size(), true});
    return result;
  }
  // A folder's regular files in the order the file system lists them.
  std::vector<std::string> listingOrder(const std::string& rel) const {
    std::vector<std::string> names;
    DIR* dir = ::opendir(host(rel).c_str());
    while (const struct dirent* e = dir ? ::readdir(dir) : nullptr)
      if (e->d_type == DT_REG) names.push_back(e->d_name);
    if (dir) ::closedir(dir);
    return names;
  }

  std::string base_, vol_, outside_;
  int root_ = -1;
};

std::vector<std::string> prefixed(const std::string& folder, const std::vector<std::string>& names, std::size_t from,
                                  std::size_t to) {
  std::vector<std::string> result;
  for (std::size_t i = from; i < to; ++i) result.push_back(folder + "/" + names[i]);
  return result;
}

// The files of the listing, in its order, at most N beyond the last one
// the scanner opened; what lies behind it or is about to change never.
TEST_F(ReadAheadTest, FetchesInListingOrderAtMostNFilesAheadOfTheScanner) {
  makeDir("DIR");
  const std::vector<std::string> names = makeFiles("DIR", "F", 20);
  Recorder recorder;
  ReadAhead ahead(5, 1, recorder.fetch());

  ahead.listed(root_, "DIR", entries(names));
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(), prefixed("DIR", names, 0, 5));

  struct Step {
    const char* what;
    const char* name;        // the scanner opens it, or is about to change it
    std::size_t from, to;    // then these are fetched, in this order
  };
  const Step steps[] = {
      {"the first file opened", "F00", 5, 6},
      {"files passed over", "F09", 10, 15},  // F06..F09 lie behind it now
      {"a file opened again", "F09", 0, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ahead.reached(root_, "DIR", step.name);
    ahead.waitIdle();
    EXPECT_EQ(recorder.take(), prefixed("DIR", names, step.from, step.to));
  }

  // A file about to be changed is not fetched afterwards, in any case.
  ahead.touching(root_, "DIR", "f16");
  ahead.reached(root_, "DIR", "F14");
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"DIR/F15", "DIR/F17", "DIR/F18", "DIR/F19"}));

  // The same folder listed again right after itself, and a file of
  // another folder, change nothing.
  ahead.listed(root_, "DIR", entries(names));
  ahead.reached(root_, "OTHER", "F00");
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(), std::vector<std::string>());

  // A new listing replaces what was queued; win.ini and autoexec
  // candidates get their last pages too.
  makeDir("WINDOWS");
  const std::vector<std::string> windows = {"Win.ini", "AUTOEXEC.BAT", "NOTEPAD.EXE"};
  for (const std::string& name : windows) write("WINDOWS/" + name, "text");
  ahead.listed(root_, "WINDOWS", entries(windows));
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(),
            (std::vector<std::string>{"WINDOWS/Win.ini +tail", "WINDOWS/AUTOEXEC.BAT +tail", "WINDOWS/NOTEPAD.EXE"}));
}

// Subfolders of the latest listing, which the walk enters next: their
// listings are read and their first files fetched, and the walk's own
// listing of such a folder does not fetch those files again.
TEST_F(ReadAheadTest, FetchesTheFirstFilesOfTheSubfoldersAndNotTwice) {
  makeDir("TOP");
  makeDir("TOP/A");
  makeDir("TOP/B");
  makeDir("TOP/B/DEEPER");
  makeFiles("TOP/A", "A", 10);
  makeFiles("TOP/B", "B", 3);
  makeFiles("TOP/B/DEEPER", "D", 3);
  const std::vector<std::string> top = makeFiles("TOP", "T", 1);
  Recorder recorder;
  ReadAhead ahead(4, 1, recorder.fetch());

  ahead.listed(root_, "TOP", entries(top, {"A", "B"}));
  ahead.waitIdle();
  const std::vector<std::string> a = listingOrder("TOP/A");
  const std::vector<std::string> b = listingOrder("TOP/B");
  std::vector<std::string> expected = {"TOP/T00"};
  for (const std::string& f : prefixed("TOP/A", a, 0, 4)) expected.push_back(f);
  for (const std::string& f : prefixed("TOP/B", b, 0, 3)) expected.push_back(f);
  EXPECT_EQ(recorder.take(), expected);  // nothing from a level further down

  ahead.listed(root_, "TOP/A", entries(a));
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(), std::vector<std::string>());
  ahead.reached(root_, "TOP/A", a[0]);
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(), prefixed("TOP/A", a, 4, 5));
}

// On a warm cache no thread is started: the first file of one listing in
// 16 is looked at, and the threads start with the first one found cold.
TEST_F(ReadAheadTest, StartsNoThreadWhileTheFilesItLooksAtAreCached) {
  const std::vector<std::string> names = {"ONE", "TWO", "THREE"};
  const std::size_t before = threads();
  Recorder recorder;
  recorder.setCached(true);
  ReadAhead ahead(8, 2, recorder.fetch());
  for (int i = 0; i < 32; ++i) {
    ahead.listed(root_, "L" + std::to_string(i), entries(names, {"SUB"}));
    ahead.reached(root_, "L" + std::to_string(i), "ONE");
  }
  ahead.waitIdle();
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"L0/ONE", "L16/ONE"}));
  EXPECT_EQ(threads(), before);

  recorder.setCached(false);
  ahead.listed(root_, "L32", entries(names, {"SUB"}));
  ahead.waitIdle();
  EXPECT_EQ(threads(), before + 2);
  const std::vector<std::string> fetched = recorder.take();
  ASSERT_EQ(fetched.size(), 3u);  // its three files (its subfolder is not on disk)
  EXPECT_EQ(fetched[0], "L32/ONE");
  EXPECT_EQ(std::set<std::string>(fetched.begin() + 1, fetched.end()), (std::set<std::string>{"L32/TWO", "L32/THREE"}));
}

// A fetch under way is waited for: the scanner never opens, deletes or
// cuts a file while a fetching thread holds it.
TEST_F(ReadAheadTest, ScannerWaitsForAFetchOfItsFileThatIsUnderWay) {
  makeDir("DIR");
  const std::vector<std::string> names = makeFiles("DIR", "F", 8);
  struct Case {
    const char* what;
    const char* held;
    void (ReadAhead::*call)(int, const std::string&, const std::string&);
    const char* name;
  };
  const Case cases[] = {
      {"opened", "DIR/F01", &ReadAhead::reached, "F01"},
      {"about to be changed, named in another case", "DIR/F01", &ReadAhead::touching, "f01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder recorder;
    recorder.hold(c.held);
    ReadAhead ahead(4, 2, recorder.fetch());
    ahead.listed(root_, "DIR", entries(names));
    recorder.waitUntilFetching(c.held);

    std::atomic<bool> returned{false};
    std::thread scanner([&] {
      (ahead.*c.call)(root_, "DIR", c.name);
      returned = true;
    });
    // It can only pass too early, never fail when the code is right.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned);
    recorder.release(c.held);
    scanner.join();
    EXPECT_TRUE(returned);
  }
}

// Stopping with fetches under way and work queued: every thread has ended
// when stop returns, and nothing more is fetched.
TEST_F(ReadAheadTest, StopEndsEveryThreadEvenWithAFetchUnderWay) {
  makeDir("DIR");
  const std::vector<std::string> names = makeFiles("DIR", "F", 30);
  const std::size_t before = threads();
  Recorder recorder;
  recorder.hold("DIR/F01");
  ReadAhead ahead(16, 4, recorder.fetch());
  EXPECT_EQ(threads(), before);  // none until a file is found uncached
  ahead.listed(root_, "DIR", entries(names));
  EXPECT_EQ(threads(), before + 4);
  recorder.waitUntilFetching("DIR/F01");
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    recorder.release("DIR/F01");
  });
  ahead.stop();
  releaser.join();
  EXPECT_EQ(threads(), before);
  const std::size_t fetched = recorder.take().size();
  ahead.listed(root_, "DIR2", entries(names));
  ahead.reached(root_, "DIR", "F00");
  EXPECT_EQ(recorder.take().size(), 0u);
  EXPECT_LE(fetched, 16u);
}

// inotify events of the folders watched, in order.
class Watch {
 public:
  Watch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~Watch() { ::close(fd_); }
  void add(const std::string& folder, const std::string& label) {
    const int wd = inotify_add_watch(fd_, folder.c_str(), IN_ALL_EVENTS);
    ASSERT_GE(wd, 0) << folder;
    labels_[wd] = label;
  }
  struct Event {
    std::string path;  // label/name
    std::uint32_t mask;
  };
  // Reads what has come so far.
  void drain() {
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(buffer + at);
        if (e->mask & IN_Q_OVERFLOW) overflowed = true;
        events.push_back({labels_[e->wd] + "/" + (e->len ? e->name : ""), e->mask});
        at += static_cast<ssize_t>(sizeof *e + e->len);
      }
    }
  }
  std::vector<Event> events;
  bool overflowed = false;

 private:
  int fd_;
  std::map<int, std::string> labels_;
};

// The fetch of a cached file reads a byte of it, which would renew its
// access time; forensic work on a pulled disk relies on those.
TEST_F(ReadAheadTest, FetchingLeavesAccessTimesAlone) {
  makeDir("D");
  const std::vector<std::string> names = makeFiles("D", "F", 3);
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  auto atime = [&](const std::string& name) {
    struct stat st;
    EXPECT_EQ(::stat(host("D/" + name).c_str(), &st), 0);
    return st.st_atim.tv_sec;
  };
  for (const std::string& name : names) ASSERT_EQ(::utimensat(AT_FDCWD, host("D/" + name).c_str(), old, 0), 0);
  {
    std::ifstream in(host("D/" + names[2]));  // a plain read, to see that this file system keeps them
    char c;
    in.get(c);
  }
  if (atime(names[2]) == old[0].tv_sec) GTEST_SKIP() << "this file system keeps no access times";
  ASSERT_EQ(::utimensat(AT_FDCWD, host("D/" + names[2]).c_str(), old, 0), 0);

  ReadAhead ahead(4, 1);
  ahead.listed(root_, "D", entries(names));  // the first file is fetched here, on this thread
  ahead.waitIdle();
  ahead.stop();
  for (const std::string& name : names) EXPECT_EQ(atime(name), old[0].tv_sec) << name;
}

// A whole walk over the volume with the read-ahead on, the scanner
// deleting every file it has read, as it deletes worm files: nothing
// outside the volume is touched, nothing in it is opened for writing or
// changed by the fetching, no file is held by a fetch when it is deleted,
// and no thread or descriptor is left.
TEST_F(ReadAheadTest, WalkTouchesNothingOutsideWritesNothingAndLeavesNoThreadOrDescriptor) {
  makeDir("DIR");
  makeDir("DIR/SUB");
  makeFiles("DIR", "F", 150);
  makeFiles("DIR/SUB", "S", 50);
  write("/" + outside_ + "/SECRET.TXT", "outside");
  ::mkdir((outside_ + "/FOLDER").c_str(), 0755);
  write("/" + outside_ + "/FOLDER/INNER.TXT", "outside too");
  ASSERT_EQ(::symlink((outside_ + "/SECRET.TXT").c_str(), host("DIR/OUT.TXT").c_str()), 0);
  ASSERT_EQ(::symlink("../../outside/SECRET.TXT", host("DIR/UP.TXT").c_str()), 0);
  ASSERT_EQ(::symlink((outside_ + "/FOLDER").c_str(), host("DIR/OUTDIR").c_str()), 0);
  ASSERT_EQ(::symlink("F00", host("DIR/INSIDE.TXT").c_str()), 0);  // links are not fetched at all

  // Out of the page cache, so that the volume's first look finds it cold
  // and starts its threads.
  ::sync();
  bool cold = true;
  for (const char* folder : {"DIR", "DIR/SUB"}) {
    DIR* dir = ::opendir(host(folder).c_str());
    while (const struct dirent* e = dir ? ::readdir(dir) : nullptr) {
      if (e->d_type != DT_REG) continue;
      const int fd = ::openat(dirfd(dir), e->d_name, O_RDONLY);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      // mincore looks without reading, as a read would bring the page in.
      void* page = ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0);
      unsigned char resident = 1;
      if (page == MAP_FAILED || ::mincore(page, 1, &resident) != 0 || (resident & 1)) cold = false;
      if (page != MAP_FAILED) ::munmap(page, 1);
      ::close(fd);
    }
    if (dir) ::closedir(dir);
  }
  if (!cold) GTEST_SKIP() << "this file system keeps the files cached";

  Watch watch;
  watch.add(outside_, "outside");
  watch.add(outside_ + "/FOLDER", "outside/FOLDER");
  watch.add(host("DIR"), "DIR");
  watch.add(host("DIR/SUB"), "DIR/SUB");
  const std::size_t descriptors = openDescriptors();
  const std::size_t threadsBefore = threads();
  {
    PosixOs os;
    os.mapDrive('C', vol_);
    os.setReadAhead(8);
    for (const char* pattern : {"C:\\DIR\\*.*", "C:\\DIR\\SUB\\*.*"}) {
      std::vector<std::string> names;
      FindData data;
      const OsHandle find = os.findFirstFile(pattern, &data);
      ASSERT_NE(find, kInvalidHandle);
      do {
        if (!(data.attributes & (kAttrDirectory | kAttrReparsePoint))) names.push_back(data.fileName);
      } while (os.findNextFile(find, &data));
      os.findClose(find);
      if (names.size() == 150) {
        // Before the scanner opens anything, the first files of the
        // listing and of its subfolder are fetched (waited for, not timed).
        std::set<std::string> first, fetched, fetchedBelow;
        for (std::size_t i = 0; i < 8; ++i) first.insert("DIR/" + names[i]);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((fetched.size() < 8 || fetchedBelow.size() < 8) && std::chrono::steady_clock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          watch.drain();
          for (const Watch::Event& e : watch.events) {
            if (!(e.mask & IN_CLOSE_NOWRITE) || (e.mask & IN_ISDIR)) continue;
            (e.path.compare(0, 8, "DIR/SUB/") == 0 ? fetchedBelow : fetched).insert(e.path);
          }
        }
        EXPECT_EQ(fetched, first);
        EXPECT_EQ(fetchedBelow.size(), 8u);
        EXPECT_GT(threads(), threadsBefore);
      }
      const std::string folder(pattern, std::strlen(pattern) - 3);
      for (const std::string& name : names) {
        const std::string path = folder + name;
        const int fd = os.open(path.c_str(), kORdOnly | kOBinary);
        ASSERT_GE(fd, 0) << path;
        char buffer[64];
        EXPECT_GT(os.read(fd, buffer, sizeof buffer), 0);
        os.close(fd);
        EXPECT_TRUE(os.deleteFile(path.c_str())) << path;
        watch.drain();
      }
    }
    os.setReadAhead(0);
    EXPECT_EQ(threads(), threadsBefore);
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  watch.drain();
  ASSERT_FALSE(watch.overflowed);

  std::map<std::string, int> open;    // descriptors open now, by path
  std::map<std::string, int> opened;  // opens in all
  std::set<std::string> deleted;
  for (const Watch::Event& e : watch.events) {
    SCOPED_TRACE(e.path);
    EXPECT_NE(e.path.compare(0, 8, "outside/"), 0) << "mask " << std::hex << e.mask;
    EXPECT_FALSE(e.mask & (IN_CLOSE_WRITE | IN_MODIFY));  // (an unlink is an attribute change)
    if (e.mask & IN_ISDIR) continue;
    if (e.mask & IN_OPEN) {
      EXPECT_EQ(deleted.count(e.path), 0u) << "opened after it was deleted";
      ++open[e.path];
      ++opened[e.path];
    }
    if (e.mask & IN_CLOSE_NOWRITE) --open[e.path];
    if (e.mask & IN_DELETE) {
      EXPECT_EQ(open[e.path], 0) << "held open when it was deleted";
      deleted.insert(e.path);
    }
  }
  EXPECT_EQ(deleted.size(), 200u);
  // Each file is opened by the scanner once and fetched at most once.
  std::size_t fetched = 0;
  for (const auto& entry : opened) {
    EXPECT_LE(entry.second, 2) << entry.first;
    if (entry.second == 2) ++fetched;
  }
  EXPECT_GE(fetched, 16u);
}

}  // namespace
}  // namespace purgato
