#include "os/posix/read_ahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "os/posix/beneath.h"
#include "os/text.h"

namespace purgato {

namespace {

// The scanner reads the DOS and PE headers, the section table and the
// entry point's bytes, nearly always within the first pages; win.ini and
// autoexec cuts read the last 50 and 15 bytes, which may straddle a page.
constexpr off_t kHeadBytes = 32 * 1024;
constexpr off_t kTailBytes = 4096;
constexpr std::size_t kListingBuffer = 32 * 1024;
// On a warm cache every fetch finds its page there already and only costs
// the scan the CPU: after this many such fetches in a row only one file in
// kWarmStride is fetched, until one is not in the cache.
// Nor are the threads woken then but for one listing in kWarmListings,
// whose files are sampled: waking them costs the walk more than the
// fetching saves.
constexpr std::size_t kWarmAfter = 64;
constexpr std::size_t kWarmStride = 8;
constexpr std::size_t kWarmListings = 16;

bool sameNoCase(const char* a, std::size_t aLength, const char* b, std::size_t bLength) {
  if (aLength != bLength) return false;
  for (std::size_t i = 0; i < aLength; ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

bool sameNoCase(const std::string& a, const std::string& b) { return sameNoCase(a.data(), a.size(), b.data(), b.size()); }

// What the cleaners treat as win.ini or autoexec: the lower-cased path
// holds the name anywhere.
bool holdsNoCase(const char* text, std::size_t length, const char* lowerWord) {
  const std::size_t n = std::strlen(lowerWord);
  for (std::size_t at = 0; at + n <= length; ++at) {
    std::size_t i = 0;
    while (i < n && lowerAscii(text[at + i]) == lowerWord[i]) ++i;
    if (i == n) return true;
  }
  return false;
}

bool startupCandidate(const char* path, std::size_t length) {
  return holdsNoCase(path, length, "win.ini") || holdsNoCase(path, length, "autoexec");
}

// path == folder + "/" + name (just name at the root), without regard to case.
bool isPathOf(const std::string& path, const std::string& folder, const std::string& name) {
  const std::size_t slash = folder.empty() ? 0 : 1;
  return path.size() == folder.size() + slash + name.size() &&
         sameNoCase(path.data(), folder.size(), folder.data(), folder.size()) &&
         (slash == 0 || path[folder.size()] == '/') &&
         sameNoCase(path.data() + folder.size() + slash, name.size(), name.data(), name.size());
}

// True when the file's first page was in the cache already.
bool fetchPages(int rootFd, const char* path, bool tail) {
  // Never for writing, never through a link, and no wait on a fifo that
  // took the file's place since the listing.
  const int fd = openBeneathQuietly(rootFd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  // RWF_NOWAIT reads only what is cached; an empty file counts as cached.
  char byte;
  struct iovec one = {&byte, 1};
  const bool cached = ::preadv2(fd, &one, 1, 0, RWF_NOWAIT) >= 0;
  // Beyond the end of the file the advice asks for nothing; it fails on
  // anything but a file.
  if (!cached) ::posix_fadvise(fd, 0, kHeadBytes, POSIX_FADV_WILLNEED);
  struct stat st;
  if (tail && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kHeadBytes) {
    const off_t from = (st.st_size - kTailBytes) & ~(kTailBytes - 1);
    ::posix_fadvise(fd, from, st.st_size - from, POSIX_FADV_WILLNEED);
  }
  ::close(fd);
  return cached;
}

std::string joined(const std::string& folder, const char* name, std::size_t length) {
  std::string path;
  path.reserve(folder.size() + 1 + length);
  path = folder;
  if (!path.empty()) path.push_back('/');
  path.append(name, length);
  return path;
}

}  // namespace

ReadAhead::ReadAhead(unsigned filesAhead, unsigned threads, FetchFile fetchFile)
    : filesAhead_(std::max(1u, filesAhead)),
      fetchFile_(fetchFile ? std::move(fetchFile) : FetchFile(fetchPages)),
      fetching_(std::max(1u, threads)) {}

ReadAhead::~ReadAhead() { stop(); }

bool ReadAhead::warm() const { return cachedInARow_ >= kWarmAfter; }

std::size_t ReadAhead::cancelFolder(int rootFd, const std::string& folder, bool anyCase) {
  auto same = [&](const std::string& other) { return anyCase ? sameNoCase(other, folder) : other == folder; };
  folders_.erase(std::remove_if(folders_.begin(), folders_.end(),
                                [&](const Folder& f) { return f.rootFd == rootFd && same(f.path); }),
                 folders_.end());
  std::size_t files = 0;
  for (Fetching& f : fetching_) {
    if (f.busy && f.folderFetch && f.rootFd == rootFd && same(f.folder)) {
      f.cancelled = true;
      files = std::max(files, f.files);
    }
  }
  for (auto it = fetched_.begin(); it != fetched_.end(); ++it) {
    if (it->rootFd == rootFd && same(it->path)) {
      files = std::max(files, it->files);
      fetched_.erase(it);
      break;
    }
  }
  return files;
}

void ReadAhead::listed(int rootFd, const std::string& folder, const std::vector<Entry>& entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  // The walk reads it now itself, and its files are queued below.
  const std::size_t fetchedAhead = cancelFolder(rootFd, folder, false);
  if (files_.rootFd == rootFd && files_.folder == folder) return;
  std::size_t fetchedHere = 0;
  if (threads_.empty()) {
    // No thread until a file is found uncached: a process with threads pays
    // for them in every system call (glibc's cancellation points), which a
    // scan of a warm cache would notice. The first file of one listing in
    // kWarmListings is fetched here to find out.
    const Entry* first = nullptr;
    for (const Entry& e : entries)
      if (!e.folder && first == nullptr) first = &e;
    if (first == nullptr || unstartedListings_++ % kWarmListings != 0) return;
    const std::string path = joined(folder, first->name, first->length);
    if (fetchFile_(rootFd, path.c_str(), startupCandidate(path.data(), path.size()))) return;
    // A thread that cannot be started leaves fewer, or none: the scan does
    // not depend on them.
    try {
      threads_.reserve(fetching_.size());
      for (std::size_t slot = 0; slot < fetching_.size(); ++slot) threads_.emplace_back([this, slot] { run(slot); });
    } catch (const std::system_error&) {
    }
    if (threads_.empty()) return;
    fetchedHere = 1;
  }
  files_.rootFd = rootFd;
  files_.folder = folder;
  files_.names.clear();
  files_.items.clear();
  files_.reached = 0;
  // The listing order is the one the folder's fetch went by.
  files_.next = std::max(fetchedAhead, fetchedHere);
  const bool candidateFolder = startupCandidate(folder.data(), folder.size());
  for (const Entry& e : entries) {
    if (e.folder) {
      if (folders_.size() < filesAhead_) folders_.push_back({rootFd, joined(folder, e.name, e.length)});
      continue;
    }
    const bool tail = candidateFolder || startupCandidate(e.name, e.length);
    files_.items.push_back({static_cast<std::uint32_t>(files_.names.size()), tail ? Kind::kHeadAndTail : Kind::kHead});
    files_.names.append(e.name, e.length);
    files_.names.push_back('\0');
  }
  if (!warm() || ++warmListings_ % kWarmListings == 0) work_.notify_all();
}

void ReadAhead::waitFor(int rootFd, const std::string& folder, const std::string& name,
                        std::unique_lock<std::mutex>& lock) {
  // A name spelled in another case may be the same file.
  done_.wait(lock, [&] {
    for (const Fetching& f : fetching_)
      if (f.busy && f.rootFd == rootFd && isPathOf(f.path, folder, name)) return false;
    return true;
  });
}

void ReadAhead::reached(int rootFd, const std::string& folder, const std::string& name) {
  std::unique_lock<std::mutex> lock(mutex_);
  waitFor(rootFd, folder, name, lock);
  if (files_.rootFd != rootFd || files_.folder != folder) return;
  // Nearly always the next file; a miss (a file not of this listing) looks
  // through the rest.
  const std::vector<Item>& items = files_.items;
  for (std::size_t i = files_.reached; i < items.size(); ++i) {
    if (std::strcmp(files_.names.c_str() + items[i].nameOffset, name.c_str()) == 0) {
      // The window moved by about one file: one thread is enough, and
      // waking all of them on every file costs more than the fetching.
      // Nor is a thread woken for a file or two: it waits for a quarter
      // of the window, or the listing's end.
      files_.reached = i + 1;
      const std::size_t limit = std::min(items.size(), files_.reached + filesAhead_);
      const std::size_t ready = limit > files_.next ? limit - files_.next : 0;
      if (!warm() && idle_ > 0 && ready > 0 &&
          (ready >= std::max<std::size_t>(1, filesAhead_ / 4) || limit == items.size()))
        work_.notify_one();
      return;
    }
  }
}

void ReadAhead::touching(int rootFd, const std::string& folder, const std::string& name) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A folder fetched ahead is given up rather than searched.
  cancelFolder(rootFd, folder, true);
  waitFor(rootFd, folder, name, lock);
  if (files_.rootFd != rootFd || !sameNoCase(files_.folder, folder)) return;
  for (std::size_t i = files_.next; i < files_.items.size(); ++i) {
    Item& item = files_.items[i];
    const char* queued = files_.names.c_str() + item.nameOffset;
    if (sameNoCase(queued, std::strlen(queued), name.data(), name.size())) item.kind = Kind::kDropped;
  }
}

bool ReadAhead::take(std::size_t slot, Kind* kind) {
  Fetching& f = fetching_[slot];
  files_.next = std::max(files_.next, files_.reached);
  const std::size_t limit = std::min(files_.items.size(), files_.reached + filesAhead_);
  while (files_.next < limit && files_.items[files_.next].kind == Kind::kDropped) ++files_.next;
  if (warm()) {
    for (std::size_t skipped = 1; skipped < kWarmStride && files_.next + 1 < limit; ++skipped) ++files_.next;
  }
  if (files_.next < limit) {
    const Item& item = files_.items[files_.next++];
    const char* name = files_.names.c_str() + item.nameOffset;
    f.folderFetch = false;
    f.rootFd = files_.rootFd;
    f.folder = files_.folder;
    f.path = joined(files_.folder, name, std::strlen(name));
    *kind = item.kind;
  } else if (!folders_.empty() && !warm()) {
    f.folderFetch = true;
    f.rootFd = folders_.front().rootFd;
    f.folder = std::move(folders_.front().path);
    f.path = f.folder;
    folders_.pop_front();
    *kind = Kind::kListing;
  } else {
    return false;
  }
  f.cancelled = false;
  f.files = 0;
  f.busy = true;
  return true;
}

// A subfolder the walk enters soon: its listing read once, so that the
// walker's own finds it cached, and its first files fetched. Each file is
// announced in the slot under the lock before it is opened, so reached()
// and touching() see it, and a cancel stops the files at once.
void ReadAhead::fetchFolder(std::size_t slot, std::vector<char>& buffer) {
  Fetching& f = fetching_[slot];
  const int rootFd = f.rootFd;
  const std::string folder = f.folder;
  const int fd = openBeneath(rootFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return;
  const bool candidateFolder = startupCandidate(folder.data(), folder.size());
  std::size_t files = 0;
  std::size_t seen = 0;
  bool givenUp = false;
  bool cached = false;
  bool warm;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    warm = this->warm();
  }
  constexpr std::size_t kHeader = 19;  // d_ino 8, d_off 8, d_reclen 2, d_type 1
  while (!givenUp && !stopped_.load(std::memory_order_relaxed)) {
    const long got = syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
    if (got <= 0) break;
    const std::size_t end = static_cast<std::size_t>(got);
    for (std::size_t at = 0; seen < filesAhead_ && at + kHeader < end;) {
      unsigned short recordLength;
      std::memcpy(&recordLength, &buffer[at + 16], sizeof recordLength);
      if (recordLength <= kHeader || recordLength > end - at) break;
      const char* name = &buffer[at + kHeader];
      const std::size_t length = strnlen(name, recordLength - kHeader);
      const unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
      at += recordLength;
      if (type != DT_REG || length == recordLength - kHeader) continue;
      // Files passed over on a warm cache count as fetched: the walk's own
      // listing goes on after them.
      if (warm && seen++ % kWarmStride != 0) continue;
      if (!warm) ++seen;
      std::string path = joined(folder, name, length);
      const bool tail = candidateFolder || startupCandidate(name, length);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (files > 0) cachedInARow_ = cached ? cachedInARow_ + 1 : 0;
        warm = this->warm();
        givenUp = stopping_ || f.cancelled;
        if (givenUp) break;
        f.path = std::move(path);
        f.files = seen;
        ++files;
      }
      cached = fetchFile_(rootFd, f.path.c_str(), tail);
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!givenUp && !stopping_ && !f.cancelled) {
    if (fetched_.size() >= filesAhead_) fetched_.pop_front();
    fetched_.push_back({rootFd, folder, seen});
  }
}

void ReadAhead::run(std::size_t slot) {
  std::vector<char> buffer(kListingBuffer);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Kind kind = Kind::kHead;
    ++idle_;
    work_.wait(lock, [&] { return stopping_ || take(slot, &kind); });
    --idle_;
    if (stopping_) break;
    // Only this thread writes its slot, so it reads it unlocked.
    const Fetching& f = fetching_[slot];
    lock.unlock();
    if (kind == Kind::kListing) {
      fetchFolder(slot, buffer);
    } else {
      const bool cached = fetchFile_(f.rootFd, f.path.c_str(), kind == Kind::kHeadAndTail);
      lock.lock();
      cachedInARow_ = cached ? cachedInARow_ + 1 : 0;
      lock.unlock();
    }
    lock.lock();
    fetching_[slot].busy = false;
    done_.notify_all();
  }
}

void ReadAhead::clear() {
  std::unique_lock<std::mutex> lock(mutex_);
  files_ = Files();
  folders_.clear();
  fetched_.clear();
  for (Fetching& f : fetching_) f.cancelled = true;
  done_.wait(lock, [&] {
    for (const Fetching& f : fetching_)
      if (f.busy) return false;
    return true;
  });
}

void ReadAhead::waitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] {
    for (const Fetching& f : fetching_)
      if (f.busy) return false;
    std::size_t next = std::max(files_.next, files_.reached);
    const std::size_t limit = std::min(files_.items.size(), files_.reached + filesAhead_);
    while (next < limit && files_.items[next].kind == Kind::kDropped) ++next;
    return stopping_ || (next >= limit && folders_.empty());
  });
}

void ReadAhead::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stopped_.store(true, std::memory_order_relaxed);
    files_ = Files();
    folders_.clear();
  }
  work_.notify_all();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

}  // namespace purgato
