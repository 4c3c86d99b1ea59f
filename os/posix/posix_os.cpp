// The seam served from a mounted Windows volume (Linux, kernel 5.8 or later).
//
// Every lookup goes through openat2 with RESOLVE_BENEATH beneath an O_PATH
// descriptor of the drive's root, so no path and no symbolic link can reach
// outside the mapped folder. Single-name calls (fstatat, unlinkat) are made
// only on a plain name relative to a folder resolved that way, without
// following a link.
#include "os/posix/posix_os.h"
#include "os/posix/beneath.h"
#include "os/posix/read_ahead.h"
#include "os/posix/wildcard.h"
#include "os/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unordered_set>
#include <utility>

namespace purgato {

namespace {

constexpr long kErrorInvalidHandle = 6;
constexpr std::size_t kMaxListings = 0xFFFE;  // slots a search handle can name
constexpr std::size_t kDirentBufferSize = 32 * 1024;
// Fetching threads. The advice does not wait for the device, so one thread
// keeps many requests in flight; a second covers the opens that wait for
// an inode. More only cost CPU: on the benchmark's 2-core machine 4, 8 and
// 16 threads were slower, cold and warm, than 2 (README, "Benchmark").
constexpr unsigned kReadAheadThreads = 2;

// fchmodat2 came with Linux 6.6; newer syscalls share one number on every
// architecture, so the number is safe to spell out where headers lack it.
#ifdef SYS_fchmodat2
constexpr long kSysFchmodat2 = SYS_fchmodat2;
#else
constexpr long kSysFchmodat2 = 452;
#endif

// _open flags that change nothing here: binary/text mode (no newline
// translation is done), no-inherit, and the caching hints.
constexpr int kOText = 0x4000;
constexpr int kONoInherit = 0x0080;
constexpr int kORandom = 0x0010;
constexpr int kOSequential = 0x0020;
constexpr int kOAccessMask = 0x0003;
constexpr int kOAccepted = kOAccessMask | kOBinary | kOText | kONoInherit | kORandom | kOSequential;

void closeFd(int fd) {
  if (fd >= 0) ::close(fd);
}

// Reads the directory open for reading as dirFd with getdents64 and calls
// visit(name, length, d_type) for every entry but "." and ".."; visit
// returns false to stop early. False when the directory cannot be read.
template <typename Visit>
bool forEachEntry(int dirFd, std::vector<char>& buffer, Visit visit) {
  constexpr std::size_t kHeader = 19;  // d_ino 8, d_off 8, d_reclen 2, d_type 1
  for (;;) {
    const long got = syscall(SYS_getdents64, dirFd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    const std::size_t end = static_cast<std::size_t>(got);
    std::size_t at = 0;
    while (at < end) {
      if (end - at <= kHeader) return false;
      unsigned short recordLength;
      std::memcpy(&recordLength, &buffer[at + 16], sizeof recordLength);
      if (recordLength <= kHeader || recordLength > end - at) return false;
      const unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
      const char* name = &buffer[at + kHeader];
      const std::size_t length = strnlen(name, recordLength - kHeader);
      if (length == recordLength - kHeader) return false;  // unterminated record
      const bool dots = name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'));
      if (!dots && !visit(name, length, type)) return true;
      at += recordLength;
    }
  }
}

std::uint32_t attributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  return (st.st_mode & S_IWUSR) ? kAttrArchive : kAttrReadOnly;
}

// Failures that mean "not there" or "not ours to follow" (a missing name, a
// link out of the volume, a malformed path), not a place that went unread.
bool isAbsence(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EXDEV || error == EINVAL ||
         error == ENAMETOOLONG;
}

// openat of a folder to be listed, leaving its access time alone where
// the system allows it.
int openFolderQuietly(int dirFd, const char* name) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
  return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A name as the indexes compare it, into *text (a buffer kept between calls).
void foldInto(const char* name, std::size_t length, std::string* text) {
  text->assign(name, length);
  for (char& c : *text) c = upperAscii(c);
}

std::string folded(const char* name, std::size_t length) {
  std::string text;
  foldInto(name, length, &text);
  return text;
}

// SipHash-2-4 (Aumasson and Bernstein): a keyed hash whose collisions
// cannot be chosen without the key.
std::uint64_t sipHash(const std::uint64_t key[2], const char* data, std::size_t length) {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key[0], v1 = 0x646f72616e646f6dULL ^ key[1];
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key[0], v3 = 0x7465646279746573ULL ^ key[1];
  auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const std::size_t whole = length - length % 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m = 0;
    for (int k = 7; k >= 0; --k) m = (m << 8) | p[i + k];
    v3 ^= m; round(); round(); v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(length & 0xFF) << 56;
  for (std::size_t k = 0; k < length % 8; ++k) last |= static_cast<std::uint64_t>(p[whole + k]) << (8 * k);
  v3 ^= last; round(); round(); v0 ^= last;
  v2 ^= 0xFF;
  round(); round(); round(); round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

struct PosixOs::Impl {
  struct Drive {
    int rootFd = -1;     // O_PATH of the mapped folder
    std::string folder;  // host path of the mapped folder
  };
  // A Windows path split into its drive, the folder (components joined by
  // '/', as written) and the last component.
  struct Parsed {
    int drive = -1;
    std::string folder;
    std::string leaf;     // "" when the path names the drive root
    bool trailing = false;  // ended in '\\': must be a folder
  };
  // A folder resolved beneath its root; fd is borrowed (root or cache).
  struct Folder {
    int drive = -1;
    int fd = -1;
    const std::string* corrected = nullptr;  // relative host path as on disk, "" at the root
    bool root = false;
  };
  struct File {
    bool open = false;
    std::int64_t position = 0;
    std::int64_t length = 0;  // from the fstat made at open, kept by chsize
    std::string path;         // as opened, for the report of a failed read
  };
  // The names of one folder, for lookups without regard to case: read once
  // and kept while the folder's identity and change times stay the same, so
  // that names vanishing mid-walk do not make every miss reread the folder.
  struct NameIndex {
    struct Entry {
      std::string folded;  // upper-cased ASCII
      std::string actual;
      unsigned char type;  // d_type
      bool operator<(const Entry& o) const {
        return folded != o.folded ? folded < o.folded : actual < o.actual;
      }
    };
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime {};
    struct timespec ctime {};
    std::vector<Entry> entries;  // sorted: by folded name, then in byte order
  };
  static constexpr std::size_t kIndexes = 4;
  struct Listing {
    bool inUse = false;
    std::uint32_t generation = 0;
    std::string names;  // each name followed by its zero
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;  // name offset, attributes
    std::size_t next = 0;
  };

  Drive drives[26];

  // The last folder resolved away from the root: the walker opens every
  // file of a folder right after listing it.
  int cacheDrive = -1;
  std::string cacheKey;        // folder as written
  std::string cacheCorrected;  // the same folder as spelled on disk
  int cacheFd = -1;

  std::vector<File> files;  // indexed by descriptor
  std::vector<Listing> listings;
  std::uint32_t nextGeneration = 1;

  // Every file opened for reading, for the changes that follow a read
  // however long after it: a keyed hash of its Windows path, folded, and
  // the file's identity, in an open-addressing table of 24-byte slots (a
  // 20,000-file scan adds about 1 MB). The key is drawn afresh for each
  // run, so no name on a disk can be chosen to collide with another; a
  // collision could only refuse a change, never redirect one.
  struct ReadFile {
    std::uint64_t hash = 0;  // 0: a free slot
    dev_t dev = 0;
    ino_t ino = 0;
  };
  std::vector<ReadFile> reads;
  std::size_t readCount = 0;
  std::uint64_t readHashKey[2] = {0, 0};
  std::string readKey;  // scratch

  NameIndex indexes[kIndexes];
  std::size_t nextIndex = 0;
  unsigned long directoryReads = 0;

  TroubleSink troubleSink;
  std::unordered_set<std::string> troubled;  // places already reported

  // Scratch buffers kept between calls so a scan does not churn the heap.
  Parsed parsed;
  std::vector<std::uint16_t> starts;
  std::vector<std::uint16_t> pattern;
  std::vector<char> dirents = std::vector<char>(kDirentBufferSize);
  std::string candidate;
  std::string component;
  std::string found;
  std::string rootPath;
  std::string emptyText;

  std::string windowsDirectory = "C:\\WINDOWS";
  std::unique_ptr<ReadAhead> readAhead;  // null when off
  std::vector<ReadAhead::Entry> readAheadEntries;
  MessageSink sink;
  MessageSource source;
  MessageBoxHandler messageBoxHandler;
  DispatchHandler dispatchHandler;

  ~Impl() {
    readAhead.reset();  // its threads use the root descriptors
    for (std::size_t fd = 0; fd < files.size(); ++fd) {
      if (files[fd].open) ::close(static_cast<int>(fd));
    }
    closeFd(cacheFd);
    for (Drive& d : drives) closeFd(d.rootFd);
  }

  void dropCache() {
    closeFd(cacheFd);
    cacheFd = -1;
    cacheDrive = -1;
    cacheKey.clear();
    cacheCorrected.clear();
  }

  // Splits a Windows path "X:\\..." on a mapped drive; "." and ".." fold
  // lexically, as Win32 folds them, and repeated backslashes count as one.
  bool parse(const char* path, Parsed* p) {
    if (path == nullptr) return false;
    const std::size_t length = strnlen(path, kPathSize);
    if (length >= kPathSize || length < 3) return false;
    const char letter = upperAscii(path[0]);
    if (letter < 'A' || letter > 'Z' || path[1] != ':' || path[2] != '\\') return false;
    p->drive = letter - 'A';
    if (drives[p->drive].rootFd < 0) return false;
    std::string& joined = p->folder;
    joined.clear();
    starts.clear();
    std::size_t i = 3;
    while (i < length) {
      std::size_t j = i;
      while (j < length && path[j] != '\\') ++j;
      const std::size_t n = j - i;
      const char* c = path + i;
      if (n == 0 || (n == 1 && c[0] == '.')) {
        // nothing
      } else if (n == 2 && c[0] == '.' && c[1] == '.') {
        if (!starts.empty()) {
          const std::size_t s = starts.back();
          starts.pop_back();
          joined.resize(s == 0 ? 0 : s - 1);
        }
      } else {
        if (std::memchr(c, '/', n) != nullptr) return false;  // no Windows name holds it
        if (!joined.empty()) joined.push_back('/');
        starts.push_back(static_cast<std::uint16_t>(joined.size()));
        joined.append(c, n);
      }
      i = j + 1;
    }
    p->trailing = path[length - 1] == '\\' && length > 3;
    if (starts.empty()) {
      p->leaf.clear();
    } else {
      const std::size_t s = starts.back();
      p->leaf.assign(joined, s, std::string::npos);
      joined.resize(s == 0 ? 0 : s - 1);
    }
    return true;
  }

  // Parses path into `parsed` and resolves its folder; fileOnly refuses a
  // drive root and a path ending in '\\'.
  // Fails with errno EINVAL for a path that names nothing on the volume.
  bool locate(const char* path, bool fileOnly, Folder* folder) {
    if (!parse(path, &parsed) || (fileOnly && (parsed.leaf.empty() || parsed.trailing))) {
      errno = EINVAL;
      return false;
    }
    return resolveFolder(parsed.drive, parsed.folder, folder);
  }

  // Reports a place once, while someone listens.
  void noteTrouble(const std::string& windowsPath, Trouble kind, int error) {
    if (!troubleSink || !troubled.insert(windowsPath).second) return;
    troubleSink(windowsPath, kind, error);
  }
  void noteUnreadable(const char* windowsPath, int error) {
    if (troubleSink && !isAbsence(error)) noteTrouble(windowsPath, Trouble::kUnreadable, error);
  }
  // The folder of a search pattern ("C:\\dir\\*.*" -> "C:\\dir", "C:\\*.*" -> "C:\\").
  void noteFolderUnreadable(const char* pattern, int error) {
    if (!troubleSink || isAbsence(error)) return;
    std::size_t length = static_cast<std::size_t>(afterLastBackslash(pattern) - pattern);
    if (length > 3) --length;
    noteTrouble(std::string(pattern, length), Trouble::kUnreadable, error);
  }

  // The index of the folder dirFd, read now unless a current one is kept;
  // nullptr (errno set) when the folder cannot be read.
  const NameIndex* indexOf(int dirFd) {
    struct stat st;
    if (::fstat(dirFd, &st) != 0) return nullptr;
    for (const NameIndex& index : indexes) {
      if (index.valid && index.dev == st.st_dev && index.ino == st.st_ino && sameTime(index.mtime, st.st_mtim) &&
          sameTime(index.ctime, st.st_ctim))
        return &index;
    }
    NameIndex& index = indexes[nextIndex++ % kIndexes];
    index.valid = false;
    index.entries.clear();
    const int listFd = openFolderQuietly(dirFd, ".");
    if (listFd < 0) return nullptr;
    ++directoryReads;
    const bool listed = forEachEntry(listFd, dirents, [&](const char* entry, std::size_t length, unsigned char type) {
      index.entries.push_back({folded(entry, length), std::string(entry, length), type});
      return true;
    });
    const int error = errno;
    ::close(listFd);
    if (!listed) {
      index.entries.clear();
      errno = error;
      return nullptr;
    }
    std::sort(index.entries.begin(), index.entries.end());
    index.dev = st.st_dev;
    index.ino = st.st_ino;
    index.mtime = st.st_mtim;
    index.ctime = st.st_ctim;
    index.valid = true;
    return &index;
  }

  // Finds in the folder dirFd an entry equal to name without regard to
  // case but not equal to it exactly (that was tried already): the first
  // such name in byte order, so that the choice among case twins does not
  // depend on the file system's listing order. wantFolder skips entries
  // known not to be folders. False with errno ENOENT when there is none.
  bool findNoCase(int dirFd, const std::string& name, bool wantFolder, std::string* result) {
    const NameIndex* index = indexOf(dirFd);
    if (index == nullptr) return false;
    NameIndex::Entry key{folded(name.data(), name.size()), std::string(), 0};
    for (auto it = std::lower_bound(index->entries.begin(), index->entries.end(), key);
         it != index->entries.end() && it->folded == key.folded; ++it) {
      if (it->actual == name) continue;
      if (wantFolder && it->type != DT_DIR && it->type != DT_LNK && it->type != DT_UNKNOWN) continue;
      *result = it->actual;
      return true;
    }
    errno = ENOENT;
    return false;
  }

  // The folder of a parsed path as a descriptor beneath its root.
  bool resolveFolder(int drive, const std::string& key, Folder* out) {
    out->drive = drive;
    if (key.empty()) {
      out->fd = drives[drive].rootFd;
      out->corrected = &emptyText;
      out->root = true;
      return true;
    }
    out->root = false;
    if (cacheFd >= 0 && cacheDrive == drive && cacheKey == key) {
      out->fd = cacheFd;
      out->corrected = &cacheCorrected;
      return true;
    }
    const int rootFd = drives[drive].rootFd;
    int fd = openBeneath(rootFd, key.c_str(), O_PATH | O_DIRECTORY);
    if (fd >= 0) {
      candidate = key;
    } else {
      if (errno != ENOENT && errno != ENOTDIR) return false;
      fd = resolveFolderSlowly(rootFd, key);
      if (fd < 0) return false;
    }
    dropCache();
    cacheDrive = drive;
    cacheKey = key;
    cacheCorrected = candidate;
    cacheFd = fd;
    out->fd = cacheFd;
    out->corrected = &cacheCorrected;
    return true;
  }

  // Component by component, each component trying its exact name first and
  // then a variant in another case. Leaves the host spelling in candidate.
  int resolveFolderSlowly(int rootFd, const std::string& key) {
    std::string corrected;
    int current = -1;
    std::size_t at = 0;
    while (at <= key.size()) {
      std::size_t slash = key.find('/', at);
      if (slash == std::string::npos) slash = key.size();
      component.assign(key, at, slash - at);
      candidate = corrected;
      if (!candidate.empty()) candidate.push_back('/');
      const std::size_t base = candidate.size();
      candidate += component;
      int fd = openBeneath(rootFd, candidate.c_str(), O_PATH | O_DIRECTORY);
      if (fd < 0 && (errno == ENOENT || errno == ENOTDIR) &&
          findNoCase(current >= 0 ? current : rootFd, component, true, &found)) {
        candidate.resize(base);
        candidate += found;
        fd = openBeneath(rootFd, candidate.c_str(), O_PATH | O_DIRECTORY);
      }
      closeFd(current);
      if (fd < 0) return -1;
      current = fd;
      corrected = candidate;
      at = slash + 1;
    }
    return current;
  }

  // Opens name in a resolved folder, following a link only while it stays
  // beneath the root. A link that climbs out of the folder (but not out of
  // the volume) is retried from the root.
  int openNamed(const Folder& folder, const char* name, int flags) {
    // Reads leave access times alone.
    const bool reading = (flags & (O_ACCMODE | O_PATH)) == O_RDONLY;
    auto openIt = reading ? openBeneathQuietly : openBeneath;
    int fd = openIt(folder.fd, name, flags);
    if (fd < 0 && errno == EXDEV && !folder.root) {
      candidate = *folder.corrected;
      candidate.push_back('/');
      candidate += name;
      fd = openIt(drives[folder.drive].rootFd, candidate.c_str(), flags);
    }
    return fd;
  }

  // openNamed with the case-insensitive fallback of a missing name;
  // *actual (when given) is the name opened, as on disk.
  int openLeaf(const Folder& folder, const std::string& leaf, int flags, std::string* actual = nullptr) {
    int fd = openNamed(folder, leaf.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) {
      if (actual) *actual = leaf;
      return fd;
    }
    if (!findNoCase(folder.fd, leaf, false, &found)) {
      errno = ENOENT;
      return -1;
    }
    if (actual) *actual = found;
    return openNamed(folder, found.c_str(), flags);
  }

  std::uint64_t readHash(const char* windowsPath) {
    if (readHashKey[0] == 0 && readHashKey[1] == 0) {
      if (::getrandom(readHashKey, sizeof readHashKey, 0) != static_cast<ssize_t>(sizeof readHashKey)) {
        readHashKey[0] = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        readHashKey[1] = reinterpret_cast<std::uintptr_t>(this) ^ static_cast<std::uint64_t>(::getpid());
      }
    }
    foldInto(windowsPath, std::strlen(windowsPath), &readKey);
    const std::uint64_t hash = sipHash(readHashKey, readKey.data(), readKey.size());
    return hash == 0 ? 1 : hash;
  }

  // The slot of hash: its own, or the free one where it would go.
  ReadFile& readSlot(std::uint64_t hash) {
    const std::size_t mask = reads.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask)
      if (reads[i].hash == hash || reads[i].hash == 0) return reads[i];
  }

  // The file a read-only open of windowsPath reached, or nullptr.
  const ReadFile* readBefore(const char* windowsPath) {
    if (readCount == 0) return nullptr;
    const ReadFile& slot = readSlot(readHash(windowsPath));
    return slot.hash == 0 ? nullptr : &slot;
  }

  void noteRead(const char* windowsPath, const struct stat& st) {
    if (4 * (readCount + 1) > 3 * reads.size()) {
      std::vector<ReadFile> old(std::max<std::size_t>(1024, 2 * reads.size()));
      old.swap(reads);
      for (const ReadFile& r : old)
        if (r.hash != 0) readSlot(r.hash) = r;
    }
    const std::uint64_t hash = readHash(windowsPath);
    ReadFile& slot = readSlot(hash);
    if (slot.hash == 0) ++readCount;
    slot.hash = hash;
    slot.dev = st.st_dev;
    slot.ino = st.st_ino;
  }

  // The name in the folder under which the file that was read is found
  // now: the leaf as written, else a spelling of it in another case,
  // whichever leads to that very file. False (errno ENOENT) when none does.
  bool nameOfRead(const Folder& folder, const std::string& leaf, const ReadFile& r, std::string* name) {
    auto isIt = [&](const std::string& candidate) {
      const int fd = openNamed(folder, candidate.c_str(), O_PATH);
      struct stat st;
      const bool same = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == r.dev && st.st_ino == r.ino;
      closeFd(fd);
      return same;
    };
    if (isIt(leaf)) {
      *name = leaf;
      return true;
    }
    if (const NameIndex* index = indexOf(folder.fd)) {
      NameIndex::Entry key{folded(leaf.data(), leaf.size()), std::string(), 0};
      for (auto it = std::lower_bound(index->entries.begin(), index->entries.end(), key);
           it != index->entries.end() && it->folded == key.folded; ++it) {
        if (it->actual != leaf && isIt(it->actual)) {
          *name = it->actual;
          return true;
        }
      }
    }
    errno = ENOENT;
    return false;
  }

  // For a change to the file at the parsed path: the leaf's name on disk
  // and, when the file was read, a check that this is still that file.
  // A file that was read is changed only as that very file: a case twin
  // must not take the place of a file renamed away in between. False
  // (errno ENOENT) when the file that was read is no longer there.
  bool leafToChange(const Folder& folder, const char* windowsPath, std::string* name) {
    const ReadFile* r = readBefore(windowsPath);
    if (r == nullptr) {
      struct stat st;
      return statLeaf(folder, parsed.leaf, &st, name);
    }
    return nameOfRead(folder, parsed.leaf, *r, name);
  }

  // The entry itself (a link not followed), with its name as on disk.
  bool statLeaf(const Folder& folder, const std::string& leaf, struct stat* st, std::string* actual) {
    if (::fstatat(folder.fd, leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
      *actual = leaf;
      return true;
    }
    if (errno != ENOENT || !findNoCase(folder.fd, leaf, false, actual)) return false;
    return ::fstatat(folder.fd, actual->c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // Attributes of a link entry: those of its target when the target lies in
  // the volume, plus the reparse bit.
  std::uint32_t linkAttributes(const Folder& folder, const char* name) {
    const int fd = openNamed(folder, name, O_PATH);
    std::uint32_t attributes = kAttrReparsePoint | kAttrArchive;
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
        attributes = kAttrReparsePoint | attributesOf(st);
      }
      ::close(fd);
    }
    return attributes;
  }

  // The attributes a listing reports for an entry, or false to leave it out
  // (fifos, devices and sockets are no Windows files).
  bool entryAttributes(const Folder& folder, int listFd, const char* name, unsigned char type,
                       std::uint32_t* attributes) {
    switch (type) {
      case DT_DIR:
        *attributes = kAttrDirectory;
        return true;
      case DT_REG:
        *attributes = kAttrArchive;
        return true;
      case DT_LNK:
        *attributes = linkAttributes(folder, name);
        return true;
      case DT_UNKNOWN: {
        struct stat st;
        if (::fstatat(listFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (S_ISLNK(st.st_mode)) {
          *attributes = linkAttributes(folder, name);
          return true;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return false;
        *attributes = attributesOf(st);
        return true;
      }
      default:
        return false;
    }
  }

  // Resolves the target of a path (the folder itself for a root or a
  // path ending in "\\.."), following links beneath the root. An O_PATH
  // descriptor the caller closes, or -1. changing: the caller is about to
  // change it, so no fetch may hold it.
  int openTarget(const char* path, bool changing = false) {
    const Parsed& p = parsed;
    Folder folder;
    if (!locate(path, false, &folder)) return -1;
    if (changing && readAhead && !p.leaf.empty()) {
      readAhead->touching(drives[folder.drive].rootFd, *folder.corrected, p.leaf);
    }
    int fd;
    if (p.leaf.empty()) {
      fd = ::fcntl(folder.fd, F_DUPFD_CLOEXEC, 0);
    } else if (changing) {
      std::string name;
      fd = leafToChange(folder, path, &name) ? openNamed(folder, name.c_str(), O_PATH) : -1;
    } else {
      fd = openLeaf(folder, p.leaf, O_PATH);
    }
    if (fd >= 0 && p.trailing) {
      struct stat st;
      if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
      }
    }
    return fd;
  }

  File* file(int fd) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= files.size() || !files[fd].open) return nullptr;
    return &files[fd];
  }

  Listing* listing(OsHandle handle) {
    if (handle == 0 || handle == kInvalidHandle) return nullptr;
    const std::size_t slot = (handle & 0xFFFF) - 1;
    const std::uint32_t generation = static_cast<std::uint32_t>((handle >> 16) & 0x7FFF);
    if (slot >= listings.size() || !listings[slot].inUse || (listings[slot].generation & 0x7FFF) != generation) {
      return nullptr;
    }
    return &listings[slot];
  }

  // A free listing slot, or -1 when every handle is taken.
  long acquireListing() {
    std::size_t slot = 0;
    while (slot < listings.size() && listings[slot].inUse) ++slot;
    if (slot == listings.size()) {
      if (slot >= kMaxListings) return -1;
      listings.emplace_back();
    }
    Listing& l = listings[slot];
    l.inUse = true;
    l.generation = nextGeneration++;
    l.names.clear();
    l.entries.clear();
    l.next = 0;
    return static_cast<long>(slot);
  }

  static void addEntry(Listing& l, const char* name, std::size_t length, std::uint32_t attributes) {
    l.entries.emplace_back(static_cast<std::uint32_t>(l.names.size()), attributes);
    l.names.append(name, length);
    l.names.push_back('\0');
  }

  static bool emit(Listing& l, FindData* data) {
    if (l.next >= l.entries.size()) return false;
    const auto& entry = l.entries[l.next++];
    if (data != nullptr) {
      data->attributes = entry.second;
      copyText(data->fileName, sizeof data->fileName, l.names.c_str() + entry.first);  // names fit: NAME_MAX
    }
    return true;
  }
};

PosixOs::PosixOs() : impl_(new Impl) {}
PosixOs::~PosixOs() = default;

void PosixOs::mapDrive(char letter, const std::string& folder) {
  const char upper = upperAscii(letter);
  if (upper < 'A' || upper > 'Z') return;
  Impl::Drive& drive = impl_->drives[upper - 'A'];
  if (impl_->cacheDrive == upper - 'A') impl_->dropCache();
  if (impl_->readAhead) impl_->readAhead->clear();
  closeFd(drive.rootFd);
  drive.rootFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  drive.folder = drive.rootFd >= 0 ? folder : std::string();
}

void PosixOs::setWindowsDirectory(const std::string& windowsPath) { impl_->windowsDirectory = windowsPath; }
void PosixOs::setMessageSink(MessageSink sink) { impl_->sink = std::move(sink); }
void PosixOs::setMessageSource(MessageSource source) { impl_->source = std::move(source); }
void PosixOs::setMessageBoxHandler(MessageBoxHandler handler) { impl_->messageBoxHandler = std::move(handler); }
void PosixOs::setDispatchHandler(DispatchHandler handler) { impl_->dispatchHandler = std::move(handler); }
void PosixOs::forgetCachedFolder() { impl_->dropCache(); }
void PosixOs::setTroubleSink(TroubleSink sink) {
  impl_->troubleSink = std::move(sink);
  impl_->troubled.clear();
}
void PosixOs::setReadAhead(unsigned filesAhead) {
  impl_->readAhead.reset();
  if (filesAhead > 0) impl_->readAhead.reset(new ReadAhead(filesAhead, std::min(filesAhead, kReadAheadThreads)));
}

unsigned long PosixOs::directoryReads() const { return impl_->directoryReads; }

bool PosixOs::isMapped(char letter) const {
  const char upper = upperAscii(letter);
  return upper >= 'A' && upper <= 'Z' && impl_->drives[upper - 'A'].rootFd >= 0;
}

bool PosixOs::hostPath(const char* windowsPath, std::string* result) {
  Impl& m = *impl_;
  const Impl::Parsed& p = m.parsed;
  Impl::Folder folder;
  if (result == nullptr || !m.locate(windowsPath, false, &folder)) return false;
  std::string path = m.drives[p.drive].folder;
  if (!folder.corrected->empty()) path += "/" + *folder.corrected;
  if (!p.leaf.empty()) {
    struct stat st;
    std::string actual;
    path += "/";
    path += m.statLeaf(folder, p.leaf, &st, &actual) ? actual : p.leaf;
  }
  *result = std::move(path);
  return true;
}

bool PosixOs::dosName(const char* windowsPath, std::string* name) {
  std::string host;
  if (name == nullptr || !hostPath(windowsPath, &host)) {
    errno = ENOENT;
    return false;
  }
  char buffer[64];  // 8.3 and a few bytes more
  const ssize_t length = ::lgetxattr(host.c_str(), "system.ntfs_dos_name", buffer, sizeof buffer);
  if (length <= 0) {
    if (length == 0) errno = ENODATA;
    return false;
  }
  name->assign(buffer, static_cast<std::size_t>(length));
  return true;
}

// --- Files and drives ---------------------------------------------------

OsHandle PosixOs::findFirstFile(const char* pattern, FindData* data) {
  Impl& m = *impl_;
  const Impl::Parsed& p = m.parsed;
  Impl::Folder folder;
  const bool wildcard = pattern != nullptr && std::strpbrk(afterLastBackslash(pattern), "*?") != nullptr;
  if (!m.locate(pattern, true, &folder)) {
    if (wildcard) m.noteFolderUnreadable(pattern, errno);
    return kInvalidHandle;
  }
  const long slot = m.acquireListing();
  if (slot < 0) return kInvalidHandle;
  Impl::Listing& l = m.listings[static_cast<std::size_t>(slot)];

  if (!wildcard) {
    // One named entry.
    struct stat st;
    if (m.statLeaf(folder, p.leaf, &st, &m.found)) {
      if (S_ISLNK(st.st_mode)) {
        Impl::addEntry(l, m.found.data(), m.found.size(), m.linkAttributes(folder, m.found.c_str()));
      } else if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
        Impl::addEntry(l, m.found.data(), m.found.size(), attributesOf(st));
      }
    }
  } else {
    compilePattern(p.leaf, &m.pattern);
    if (!folder.root) {
      if (matchPattern(m.pattern, ".", 1)) Impl::addEntry(l, ".", 1, kAttrDirectory);
      if (matchPattern(m.pattern, "..", 2)) Impl::addEntry(l, "..", 2, kAttrDirectory);
    }
    const int listFd = openFolderQuietly(folder.fd, ".");
    if (listFd < 0) {
      m.noteFolderUnreadable(pattern, errno);
      l.inUse = false;
      return kInvalidHandle;
    }
    ++m.directoryReads;
    // The walker builds each entry's path as the pattern's folder (up to its
    // last backslash) and the name, in 260 bytes; what does not fit is
    // passed over, and said here, where the full names are seen.
    const std::size_t folderLength = static_cast<std::size_t>(afterLastBackslash(pattern) - pattern);
    const bool listed = forEachEntry(listFd, m.dirents, [&](const char* name, std::size_t length, unsigned char type) {
      // A name holding a backslash cannot be spelled as a Windows path.
      if (std::memchr(name, '\\', length) != nullptr) return true;
      if (!matchPattern(m.pattern, name, length)) return true;
      std::uint32_t attributes;
      if (!m.entryAttributes(folder, listFd, name, type, &attributes)) return true;
      Impl::addEntry(l, name, length, attributes);
      const std::size_t full = folderLength + length;
      if (full + 4 >= kPathSize && m.troubleSink) {
        const bool searchable = (attributes & (kAttrDirectory | kAttrReparsePoint)) == kAttrDirectory;
        if (full >= kPathSize) {
          m.noteTrouble(std::string(pattern, folderLength) + std::string(name, length), Trouble::kTooLong, 0);
        } else if (searchable) {
          // Its own pattern, "\\*.*" added, would not fit.
          m.noteTrouble(std::string(pattern, folderLength) + std::string(name, length), Trouble::kFolderTooDeep, 0);
        }
      }
      return true;
    });
    const int error = errno;
    ::close(listFd);
    if (!listed) {
      l.entries.clear();
      m.noteFolderUnreadable(pattern, error);
    } else if (m.readAhead) {
      m.readAheadEntries.clear();
      for (const auto& entry : l.entries) {
        const char* name = l.names.c_str() + entry.first;
        const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
        if (dots || (entry.second & kAttrReparsePoint) != 0) continue;  // links are never fetched
        m.readAheadEntries.push_back({name, std::strlen(name), (entry.second & kAttrDirectory) != 0});
      }
      m.readAhead->listed(m.drives[folder.drive].rootFd, *folder.corrected, m.readAheadEntries);
    }
  }

  if (l.entries.empty()) {
    l.inUse = false;
    return kInvalidHandle;
  }
  Impl::emit(l, data);
  return (static_cast<OsHandle>(l.generation & 0x7FFF) << 16) | static_cast<OsHandle>(slot + 1);
}

bool PosixOs::findNextFile(OsHandle find, FindData* data) {
  Impl::Listing* l = impl_->listing(find);
  return l != nullptr && Impl::emit(*l, data);
}

bool PosixOs::findClose(OsHandle find) {
  Impl::Listing* l = impl_->listing(find);
  if (l == nullptr) return false;
  l->inUse = false;
  return true;
}

int PosixOs::open(const char* path, int flags) {
  Impl& m = *impl_;
  if ((flags & ~kOAccepted) != 0) return -1;
  int access;
  switch (flags & kOAccessMask) {
    case kORdOnly: access = O_RDONLY; break;
    case kOWrOnly: access = O_WRONLY; break;
    case kORdWr: access = O_RDWR; break;
    default: return -1;
  }
  const Impl::Parsed& p = m.parsed;
  Impl::Folder folder;
  const bool located = m.locate(path, true, &folder);
  if (located && m.readAhead) {
    // No fetch holds the file while it is read or changed, nor fetches it after.
    const int rootFd = m.drives[folder.drive].rootFd;
    if (access == O_RDONLY) {
      m.readAhead->reached(rootFd, *folder.corrected, p.leaf);
    } else {
      m.readAhead->touching(rootFd, *folder.corrected, p.leaf);
    }
  }
  // O_NONBLOCK: a fifo must not hang the scan before fstat turns it away.
  const int openFlags = access | O_NONBLOCK | O_NOCTTY;
  const Impl::ReadFile* before = located && access != O_RDONLY ? m.readBefore(path) : nullptr;
  std::string actual;
  int fd = -1;
  if (!located) {
  } else if (before != nullptr) {
    // Written only as the very file that was read.
    if (m.nameOfRead(folder, p.leaf, *before, &actual)) fd = m.openNamed(folder, actual.c_str(), openFlags);
  } else {
    fd = m.openLeaf(folder, p.leaf, openFlags, &actual);
  }
  if (fd < 0) {
    // A file opened to be read and refused is a file that went unscanned.
    if (access == O_RDONLY) m.noteUnreadable(path, errno);
    return -1;
  }
  struct stat st;
  // Only regular files, and writing only where the read-only bit is clear,
  // as on Windows (root could write anyway).
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (access != O_RDONLY && !(st.st_mode & S_IWUSR)) ||
      (before != nullptr && (st.st_dev != before->dev || st.st_ino != before->ino))) {
    ::close(fd);
    errno = ENOENT;
    return -1;
  }
  if (access == O_RDONLY) m.noteRead(path, st);
  if (static_cast<std::size_t>(fd) >= m.files.size()) m.files.resize(static_cast<std::size_t>(fd) + 1);
  Impl::File& f = m.files[fd];
  f.open = true;
  f.position = 0;
  f.length = st.st_size;
  if (m.troubleSink) f.path = path;
  return fd;
}

std::int32_t PosixOs::lseek(int fd, std::int32_t offset, int origin) {
  Impl::File* f = impl_->file(fd);
  if (f == nullptr) return -1;
  std::int64_t base;
  switch (origin) {
    case kSeekSet: base = 0; break;
    case kSeekCur: base = f->position; break;
    case kSeekEnd:
      // The 32-bit _lseek cannot report the end of a file of 2 GiB or more.
      if (f->length > INT32_MAX) return -1;
      base = f->length;
      break;
    default: return -1;
  }
  const std::int64_t target = base + offset;
  if (target < 0 || target > INT32_MAX) return -1;
  f->position = target;
  return static_cast<std::int32_t>(target);
}

int PosixOs::read(int fd, void* buffer, unsigned count) {
  Impl::File* f = impl_->file(fd);
  if (f == nullptr || count > static_cast<unsigned>(INT_MAX)) return -1;
  if (count == 0) return 0;
  if (buffer == nullptr) return -1;
  ssize_t got;
  do {
    got = ::pread(fd, buffer, count, f->position);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    impl_->noteUnreadable(f->path.c_str(), errno);
    return -1;
  }
  f->position += got;
  return static_cast<int>(got);
}

int PosixOs::write(int fd, const void* buffer, unsigned count) {
  Impl::File* f = impl_->file(fd);
  if (f == nullptr || count > static_cast<unsigned>(INT_MAX)) return -1;
  if (count == 0) return 0;
  if (buffer == nullptr || f->position + static_cast<std::int64_t>(count) > INT32_MAX) return -1;
  ssize_t put;
  do {
    put = ::pwrite(fd, buffer, count, f->position);
  } while (put < 0 && errno == EINTR);
  if (put < 0) return -1;
  f->position += put;
  if (f->position > f->length) f->length = f->position;
  return static_cast<int>(put);
}

int PosixOs::chsize(int fd, std::int32_t size) {
  Impl::File* f = impl_->file(fd);
  if (f == nullptr || size < 0) return -1;
  if (::ftruncate(fd, size) != 0) return -1;
  f->length = size;
  return 0;
}

int PosixOs::close(int fd) {
  Impl::File* f = impl_->file(fd);
  if (f == nullptr) return -1;
  f->open = false;
  return ::close(fd) == 0 ? 0 : -1;
}

int PosixOs::access(const char* path, int mode) {
  if ((mode & ~(kAccessWrite | kAccessRead)) != 0) return -1;
  const int fd = impl_->openTarget(path);
  if (fd < 0) return -1;
  int result = 0;
  if (mode != kAccessExists) {
    const int want = ((mode & kAccessWrite) ? W_OK : 0) | ((mode & kAccessRead) ? R_OK : 0);
    struct stat st;
    if (syscall(SYS_faccessat2, fd, "", want, AT_EMPTY_PATH) != 0) result = -1;
    // Writable means the read-only bit is clear, as on Windows.
    if ((mode & kAccessWrite) && (::fstat(fd, &st) != 0 || !(st.st_mode & S_IWUSR))) result = -1;
  }
  ::close(fd);
  return result;
}

bool PosixOs::setFileAttributes(const char* path, std::uint32_t attributes) {
  const int fd = impl_->openTarget(path, true);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok) {
    const mode_t mode = st.st_mode & 07777;
    const mode_t wanted = (attributes & kAttrReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
    if (wanted != mode) {
      ok = syscall(kSysFchmodat2, fd, "", wanted, AT_EMPTY_PATH) == 0;
      if (!ok && (errno == ENOSYS || errno == EINVAL)) {
        // Kernels before 6.6: the descriptor's own entry in /proc.
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
        ok = ::chmod(procPath, wanted) == 0;
      }
    }
  }
  ::close(fd);
  return ok;
}

bool PosixOs::deleteFile(const char* path) {
  Impl& m = *impl_;
  const Impl::Parsed& p = m.parsed;
  Impl::Folder folder;
  if (!m.locate(path, true, &folder)) return false;
  if (m.readAhead) m.readAhead->touching(m.drives[folder.drive].rootFd, *folder.corrected, p.leaf);
  std::string name;
  struct stat st;
  if (!m.leafToChange(folder, path, &name) || ::fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  // No folders; and a read-only file refuses, as DeleteFileA refuses it.
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    return false;
  }
  return ::unlinkat(folder.fd, name.c_str(), 0) == 0;
}

std::uint32_t PosixOs::getFileAttributes(const char* path) {
  // The name as it is: '*' and '?' are plain characters of names here,
  // and the file a delete would remove is the one asked about.
  Impl& m = *impl_;
  Impl::Folder folder;
  if (!m.locate(path, false, &folder)) return kInvalidFileAttributes;
  const Impl::Parsed& p = m.parsed;
  if (p.leaf.empty()) return kAttrDirectory;
  struct stat st;
  std::string actual;
  if (!m.statLeaf(folder, p.leaf, &st, &actual)) return kInvalidFileAttributes;
  if (S_ISLNK(st.st_mode)) return m.linkAttributes(folder, actual.c_str());
  if (p.trailing && !S_ISDIR(st.st_mode)) return kInvalidFileAttributes;
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return kInvalidFileAttributes;
  return attributesOf(st);
}

long PosixOs::lastError() { return errno; }

unsigned PosixOs::getDriveType(const char* root) {
  if (root == nullptr) return kDriveNoRootDir;
  const bool shape = root[0] != '\0' && root[1] == ':' && (root[2] == '\0' || (root[2] == '\\' && root[3] == '\0'));
  return shape && isMapped(root[0]) ? kDriveFixed : kDriveNoRootDir;
}

unsigned PosixOs::getWindowsDirectory(char* buffer, unsigned size) {
  const std::string& text = impl_->windowsDirectory;
  if (text.empty() || text.size() >= UINT_MAX) return 0;
  const unsigned length = static_cast<unsigned>(text.size());
  if (buffer == nullptr || size <= length) return length + 1;
  std::memcpy(buffer, text.c_str(), length + 1);
  return length;
}

// --- Registry: there is none ----------------------------------------------

long PosixOs::regOpenKeyEx(HKey, const char*, std::uint32_t, HKey* result) {
  if (result != nullptr) *result = 0;
  return kErrorFileNotFound;
}

long PosixOs::regQueryValueEx(HKey, const char*, std::uint32_t*, std::uint8_t*, std::uint32_t*) {
  return kErrorFileNotFound;
}

long PosixOs::regDeleteValue(HKey, const char*) { return kErrorFileNotFound; }
long PosixOs::regDeleteKey(HKey, const char*) { return kErrorFileNotFound; }

long PosixOs::regCloseKey(HKey key) {
  // Only the predefined roots exist; no other key was ever handed out.
  return (key >= 0x80000000u && key <= 0x80000006u) ? kErrorSuccess : kErrorInvalidHandle;
}

// --- Processes and versions: none to see ---------------------------------

bool PosixOs::getVersionEx(OsVersionInfo* info) {
  // OSVERSIONINFOA or OSVERSIONINFOEXA; only the first 148 bytes are ours.
  if (info == nullptr || (info->size != sizeof(OsVersionInfo) && info->size != 156)) return false;
  const std::uint32_t size = info->size;
  std::memset(info, 0, sizeof *info);
  info->size = size;
  info->platformId = kPlatformWin32s;  // neither the 9x nor the NT family
  return true;
}

Module PosixOs::loadLibrary(const char*) { return 0; }
bool PosixOs::freeLibrary(Module) { return false; }
Proc PosixOs::getProcAddress(Module, const char*) { return 0; }
OsHandle PosixOs::createToolhelp32Snapshot(Proc, std::uint32_t, std::uint32_t) { return kInvalidHandle; }
bool PosixOs::process32First(Proc, OsHandle, ProcessEntry*) { return false; }
bool PosixOs::process32Next(Proc, OsHandle, ProcessEntry*) { return false; }

bool PosixOs::enumProcesses(Proc, std::uint32_t*, std::uint32_t, std::uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  return false;
}

std::uint32_t PosixOs::getModuleFileNameEx(Proc, OsHandle, Module, char*, std::uint32_t) { return 0; }
OsHandle PosixOs::openProcess(std::uint32_t, bool, std::uint32_t) { return 0; }
bool PosixOs::terminateProcess(OsHandle, std::uint32_t) { return false; }
bool PosixOs::closeHandle(OsHandle) { return false; }

int PosixOs::wideCharToMultiByte(unsigned, std::uint32_t, const char16_t* wide, int wideLength, char* out,
                                 int outSize) {
  if (wide == nullptr || wideLength == 0 || wideLength < -1 || outSize < 0 || (outSize > 0 && out == nullptr)) {
    return 0;
  }
  std::size_t count;
  if (wideLength == -1) {
    count = 0;
    while (wide[count] != 0) ++count;
    ++count;  // the terminating zero is converted and counted
  } else {
    count = static_cast<std::size_t>(wideLength);
  }
  if (count > static_cast<std::size_t>(INT_MAX)) return 0;
  if (outSize == 0) return static_cast<int>(count);  // the size needed
  if (count > static_cast<std::size_t>(outSize)) return 0;  // buffer too small
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = wide[i] < 0x100 ? static_cast<char>(wide[i]) : '?';
  }
  return static_cast<int>(count);
}

// --- Services: no service manager ----------------------------------------

OsHandle PosixOs::openSCManager(const char*, const char*, std::uint32_t) { return 0; }
OsHandle PosixOs::openService(OsHandle, const char*, std::uint32_t) { return 0; }
bool PosixOs::controlService(OsHandle, std::uint32_t, ServiceStatus*) { return false; }
bool PosixOs::queryServiceStatus(OsHandle, ServiceStatus*) { return false; }
bool PosixOs::closeServiceHandle(OsHandle) { return false; }

// --- Messages, message boxes, sleeping ------------------------------------

bool PosixOs::peekMessage(Message* msg) {
  return msg != nullptr && impl_->source && impl_->source(msg);
}

void PosixOs::translateMessage(const Message*) {}

void PosixOs::dispatchMessage(const Message* msg) {
  if (impl_->dispatchHandler) impl_->dispatchHandler(msg);
}

std::intptr_t PosixOs::sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return impl_->sink ? impl_->sink(window, message, wParam, lParam) : 0;
}

int PosixOs::messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) {
  return impl_->messageBoxHandler ? impl_->messageBoxHandler(owner, text, caption, style) : kIdNo;
}

void PosixOs::sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace purgato
