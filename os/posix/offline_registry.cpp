#include "os/posix/offline_registry.h"

#include <fcntl.h>
#include <hivex.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <map>
#include <unordered_map>
#include <utility>

#include "os/posix/posix_os.h"
#include "os/posix/signals_held.h"
#include "os/text.h"

namespace purgato {

namespace {

constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorRegistryCorrupt = 1015;
constexpr long kErrorKeyDeleted = 1018;
constexpr long kErrorNoMoreItems = 259;
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
// Hives of format 1.4 and later keep data longer than this in "big data"
// cells; hivex writes data back as one plain cell, which those hives read
// as something else. Values that long are never rewritten.
constexpr std::size_t kBigDataThreshold = 16344;
constexpr std::size_t kBaseBlockSize = 4096;
constexpr HKey kFirstHandle = 0x1000;

// Names are compared as RegOpenKeyExA and RegQueryValueExA compare them
// after their ANSI text is widened: without regard to case, here for the
// Latin-1 letters (the ANSI text is taken as Latin-1).
struct FoldTable {
  char to[256];
  FoldTable() {
    for (int c = 0; c < 256; ++c) {
      const bool upper = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
      to[c] = static_cast<char>(upper ? c + 0x20 : c);
    }
  }
};
const FoldTable kFold;  // every key is looked up for every file: one load per character

char foldLatin1(unsigned char c) { return kFold.to[c]; }

// One code point as compared: lower case for the letters of Latin-1,
// Latin Extended-A, Greek and Cyrillic, where Windows' table pairs them.
char32_t foldCodePoint(char32_t c) {
  if (c < 0x100) return static_cast<unsigned char>(foldLatin1(static_cast<unsigned char>(c)));
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (c == 0x178) return 0xFF;
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddUpper) return (c & 1) ? c + 1 : c;
    return (c & 1) ? c : c + 1;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

void appendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes UTF-8; false at the first byte that is no part of it.
bool decodeUtf8(const unsigned char* p, std::size_t length, std::u32string* out) {
  out->clear();
  for (std::size_t i = 0; i < length;) {
    const unsigned char b = p[i];
    std::size_t extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 9;
    if (extra == 9 || (extra > 0 && i + extra >= length)) return false;
    char32_t c = extra == 0 ? b : (b & (0x3F >> extra));
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    if ((extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)))
      return false;
    out->push_back(c);
    i += extra + 1;
  }
  return true;
}

// An ANSI name as compared. The volume's names are UTF-8, and so are the
// names the scan builds from them; bytes that are no UTF-8 are taken as
// Latin-1. Both sides are folded code point by code point and compared as
// UTF-8, as Windows compares the UTF-16 names.
std::string folded(const char* ansi) {
  const std::size_t length = std::strlen(ansi);
  std::string out;
  bool ascii = true;
  for (std::size_t i = 0; i < length && ascii; ++i) ascii = static_cast<unsigned char>(ansi[i]) < 0x80;
  if (ascii) {
    out.assign(ansi, length);
    for (char& c : out) c = foldLatin1(static_cast<unsigned char>(c));
    return out;
  }
  std::u32string points;
  if (!decodeUtf8(reinterpret_cast<const unsigned char*>(ansi), length, &points)) {
    points.clear();
    for (std::size_t i = 0; i < length; ++i) points.push_back(static_cast<unsigned char>(ansi[i]));
  }
  for (char32_t c : points) appendUtf8(&out, foldCodePoint(c));
  return out;
}

// A name as hivex gives it (UTF-8) as compared; false when it is no UTF-8.
bool foldedFromUtf8(const char* utf8, std::string* out) {
  out->clear();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
  bool ascii = true;
  std::size_t length = 0;
  for (; p[length] != 0; ++length) ascii = ascii && p[length] < 0x80;
  if (ascii) {
    out->assign(utf8, length);
    for (char& c : *out) c = foldLatin1(static_cast<unsigned char>(c));
    return true;
  }
  std::u32string points;
  if (!decodeUtf8(p, length, &points)) return false;
  for (char32_t c : points) appendUtf8(out, foldCodePoint(c));
  return true;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// The library keeps a value's type, any 32 bits the hive holds, in a
// hive_type; loaded as that enum most of them would be out of its range.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t), "hive_type holds 32 bits");
std::uint32_t typeBits(const hive_type& type) {
  std::uint32_t bits;
  std::memcpy(&bits, &type, sizeof bits);
  return bits;
}

bool isStringType(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// The file is the one that was loaded, not written since.
bool sameFile(const struct stat& now, const struct stat& then) {
  return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec && now.st_mtim.tv_nsec == then.st_mtim.tv_nsec;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a rename in the folder (an O_PATH descriptor) durable. Some file
// systems cannot flush a folder (EINVAL); the rename itself has happened then.
bool syncFolder(int folder) {
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

bool writeAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string errorText(int error) { return std::strerror(error); }

// ntfs-3g serves a file's security descriptor and its DOS attributes
// (hidden, system) as these, without listing them.
const char* const kNtfsAttributes[] = {"system.ntfs_acl", "system.ntfs_attrib"};

// Gives `to` every extended attribute `from` has (the listed ones and the
// NTFS ones above): a rewritten hive keeps who may read it and its hidden
// and system bits. False with *why when one cannot be carried over.
bool copyExtendedAttributes(int from, int to, std::string* why) {
  std::vector<std::string> names(std::begin(kNtfsAttributes), std::end(kNtfsAttributes));
  ssize_t length = ::flistxattr(from, nullptr, 0);
  if (length > 0) {
    std::vector<char> list(static_cast<std::size_t>(length));
    length = ::flistxattr(from, list.data(), list.size());
    for (ssize_t at = 0; length > 0 && at < length;) {
      const std::string name(&list[static_cast<std::size_t>(at)]);
      at += static_cast<ssize_t>(name.size()) + 1;
      if (!name.empty() && name != kNtfsAttributes[0] && name != kNtfsAttributes[1]) names.push_back(name);
    }
  }
  std::vector<char> value, present;
  for (const std::string& name : names) {
    const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) continue;  // not there (or not on this file system)
    value.resize(static_cast<std::size_t>(size) + 1);
    const ssize_t got = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0) {
      *why = "cannot read its extended attribute " + name + " (" + errorText(errno) + ")";
      return false;
    }
    // One the system set by itself already (a security label) needs no copy.
    present.resize(value.size());
    const ssize_t there = ::fgetxattr(to, name.c_str(), present.data(), present.size());
    if (there == got && std::memcmp(present.data(), value.data(), static_cast<std::size_t>(got)) == 0) continue;
    if (::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      *why = "cannot carry over its extended attribute " + name + " (" + errorText(errno) + ")";
      return false;
    }
  }
  return true;
}

// The offsets of the cells in use in the hive file, as the library finds
// them when it opens one: the hbins from 4096 on, each cell led by its
// size, negative for one in use. The library asserts when it is made to
// free anything else, so every cell a change would free is looked up here
// first. Sorted.
std::vector<std::uint32_t> usedCellsOf(int fd, off_t size) {
  std::vector<std::uint32_t> used;
  if (size <= static_cast<off_t>(kBaseBlockSize) || size > 0x7FFFFFFF) return used;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  const std::size_t end = got;
  for (std::size_t page = kBaseBlockSize; page + 0x20 <= end;) {
    if (std::memcmp(&bytes[page], "hbin", 4) != 0) break;
    const std::uint32_t pageSize = le32(&bytes[page + 8]);
    if (pageSize <= 0x20 || (pageSize & 0xFFF) != 0 || pageSize > end - page) break;
    for (std::size_t cell = page + 0x20; cell + 4 <= page + pageSize;) {
      const std::int32_t length = static_cast<std::int32_t>(le32(&bytes[cell]));
      const std::uint32_t span = length < 0 ? 0u - static_cast<std::uint32_t>(length) : static_cast<std::uint32_t>(length);
      if (span <= 4 || (span & 3) != 0 || span > page + pageSize - cell) break;
      if (length < 0) used.push_back(static_cast<std::uint32_t>(cell));
      cell += span;
    }
    page += pageSize;
  }
  return used;
}

bool copyAll(int in, int out, off_t* copied) {
  char buffer[65536];
  *copied = 0;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!writeAll(out, buffer, static_cast<std::size_t>(n))) return false;
    *copied += n;
  }
}

// A folder of our own for what hivex writes: it opens the name it is
// given, following links, and nothing on the volume may steer that.
class PrivateFolder {
 public:
  PrivateFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/purgato-hive.XXXXXX";
    if (::mkdtemp(&templ[0]) != nullptr) path_ = templ;
  }
  ~PrivateFolder() {
    if (path_.empty()) return;
    ::unlink(file().c_str());
    ::rmdir(path_.c_str());
  }
  bool ok() const { return !path_.empty(); }
  std::string file() const { return path_ + "/hive"; }

 private:
  std::string path_;
};

// Runs a change of the library's in-memory hive first in a child process,
// on its copy: the library asserts on some damaged cells that no check
// here can rule out. True when the child made the change and ended well.
bool triedSafely(const std::function<int()>& change) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::signal(SIGABRT, SIG_DFL);  // a plain abort, whatever handler the parent has
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDERR_FILENO);  // the library's complaint is no line of the scan
    ::_exit(change() == 0 ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

struct OfflineRegistryOs::Impl {
  struct ValueEntry {
    std::string foldedName;
    hive_value_h value;
  };
  struct LoadedHive {
    hive_h* h = nullptr;
    std::string path;           // host path of the hive file, for messages
    int folder = -1;            // O_PATH of its folder: every later name is looked up in it
    std::string name;           // its name in the folder
    std::string fresh;          // "<name>.purgato-new" while written and not yet renamed
    int raw = -1;               // the file as loaded, for the cells the library would free
    std::uint32_t loadedSize = 0;          // its size; cells at or beyond it are the library's own
    std::vector<std::uint32_t> usedCells;  // see usedCellsOf
    std::vector<std::uint64_t> freedCells;  // cells of the file the library was let free since (sorted)
    std::vector<hive_node_h> rewritten;    // keys whose value lists the library wrote itself
    std::map<std::uint64_t, std::uint32_t> skReleased;  // security cells: references dropped so far
    struct stat original {};    // the file as it was loaded
    bool changed = false;       // changes not yet written
    bool broken = false;        // a change went wrong half-way in memory: never written
    bool backedUp = false;      // "<hive>.purgato-backup" holds the original
    hive_node_h currentControlSet = 0;  // SYSTEM: the set Select\Current names; 0 none
    std::unordered_map<std::string, hive_node_h> lookups;  // folded path below the root -> key
    std::unordered_map<hive_node_h, std::vector<ValueEntry>> values;  // a key's values, once listed
  };
  struct OpenKey {
    int hive;            // index into hives; -1 for HKEY_LOCAL_MACHINE itself
    hive_node_h node;    // 0 for HKEY_LOCAL_MACHINE itself
    std::uint32_t access;
    bool deleted;        // the key was deleted while this handle was open
  };

  struct Place {
    int hive;
    hive_node_h node;  // 0: no such key
  };

  LoadedHive hives[2];
  // Whole paths below HKEY_LOCAL_MACHINE, folded, as resolved before (the
  // scan asks for the same few keys for every file); forgotten when a key
  // is deleted.
  std::unordered_map<std::string, Place> machinePaths;
  std::map<HKey, OpenKey> openKeys;
  HKey nextHandle = kFirstHandle;
  NoteSink noteSink;
  FaultHook faultHook;
  bool dryRun = false;
  std::vector<std::string> made;  // host paths of the files this object created on the volume
  unsigned long refused = 0;

  ~Impl() {
    for (LoadedHive& lh : hives) {
      if (lh.h) hivex_close(lh.h);
      if (lh.folder >= 0) ::close(lh.folder);
      if (lh.raw >= 0) ::close(lh.raw);
    }
  }

  // A cell the library may free: one in use in the file as loaded, or one
  // it wrote itself since.
  static bool cellInUse(const LoadedHive& lh, std::uint64_t offset) {
    if (offset >= lh.loadedSize) return offset < 0x80000000u;
    return std::binary_search(lh.usedCells.begin(), lh.usedCells.end(), static_cast<std::uint32_t>(offset)) &&
           !std::binary_search(lh.freedCells.begin(), lh.freedCells.end(), offset);
  }

  // After a change the library made: the cells of the file it freed.
  static void noteFreed(LoadedHive& lh, const std::vector<std::uint64_t>& cells) {
    for (std::uint64_t cell : cells)
      if (cell < lh.loadedSize) lh.freedCells.push_back(cell);
    std::sort(lh.freedCells.begin(), lh.freedCells.end());
  }

  // Every cell that rewriting or deleting the key's values frees can be
  // freed, once: the value list, each value's record and data cell, in use,
  // all distinct, and each value's data readable as the library reads it.
  // *freed gets them; *bad the value at fault (0 for the list or a cell
  // shared).
  bool valueCellsSound(const LoadedHive& lh, hive_node_h node, hive_value_h* bad,
                       std::vector<std::uint64_t>* freed) {
    Owned<hive_value_h> values(hivex_node_values(lh.h, node));
    *bad = 0;
    if (!values) return false;
    if (node < lh.loadedSize &&
        std::find(lh.rewritten.begin(), lh.rewritten.end(), node) == lh.rewritten.end()) {
      std::uint64_t cells[4];
      if (!keyRecord(lh, node, cells)) return false;
      if (cells[1] != 0xFFFFFFFFu && values.get()[0] != 0) {
        if (!cellInUse(lh, cells[1])) return false;
        freed->push_back(cells[1]);
      }
    }
    for (hive_value_h* v = values.get(); *v != 0; ++v) {
      *bad = *v;
      if (!cellInUse(lh, *v)) return false;
      freed->push_back(*v);
      std::size_t length = 0;
      errno = 0;
      const hive_value_h data = hivex_value_data_cell_offset(lh.h, *v, &length);
      if (data == 0 && errno != 0) return false;
      if (data != 0) {
        if (!cellInUse(lh, data)) return false;
        freed->push_back(data);
      }
      hive_type type = hive_t_REG_NONE;
      std::size_t size = 0;
      Owned<char> bytes(hivex_value_value(lh.h, *v, &type, &size));
      if (!bytes) return false;
    }
    *bad = 0;
    std::vector<std::uint64_t> sorted(*freed);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
  }

  // The offsets in a key's record of the file as loaded: its subkey list,
  // value list, security and class name cells (0xFFFFFFFF for none), each
  // as an offset from the file's start; false when it cannot be read.
  static bool keyRecord(const LoadedHive& lh, hive_node_h node, std::uint64_t cells[4]) {
    unsigned char record[56];
    if (lh.raw < 0 || node >= lh.loadedSize ||
        ::pread(lh.raw, record, sizeof record, static_cast<off_t>(node)) != sizeof record ||
        std::memcmp(record + 4, "nk", 2) != 0)
      return false;
    const std::size_t fields[4] = {32, 44, 48, 52};  // subkey list, value list, security, class name
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t offset = le32(record + fields[i]);
      cells[i] = offset == 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint64_t(offset) + kBaseBlockSize;
    }
    return true;
  }

  // What deleting a leaf key frees: its values, its security cell when
  // this was its last reference (whose neighbours in their chain are then
  // rewritten), its class name and the key's own record; every one a cell
  // in use, each freed once. Cells the library wrote itself are sound.
  bool keyCellsSound(LoadedHive& lh, hive_node_h node, std::vector<std::uint64_t>* freed, std::uint64_t* sk) {
    hive_value_h bad = 0;
    *sk = 0;
    if (!valueCellsSound(lh, node, &bad, freed)) return false;
    if (node >= lh.loadedSize) return true;  // written by the library itself
    if (!cellInUse(lh, node)) return false;
    std::uint64_t cells[4];
    if (!keyRecord(lh, node, cells)) return false;
    if (cells[0] != 0xFFFFFFFFu) {
      // Its subkey list (empty: it is a leaf), and for an index the lists it names.
      unsigned char head[8];
      if (!cellInUse(lh, cells[0]) || cells[0] >= lh.loadedSize ||
          ::pread(lh.raw, head, sizeof head, static_cast<off_t>(cells[0])) != sizeof head)
        return false;
      freed->push_back(cells[0]);
      if (std::memcmp(head + 4, "ri", 2) == 0) {
        const std::uint32_t count = head[6] | std::uint32_t(head[7]) << 8;
        std::vector<unsigned char> list(count * 4u);
        if (::pread(lh.raw, list.data(), list.size(), static_cast<off_t>(cells[0] + 8)) !=
            static_cast<ssize_t>(list.size()))
          return false;
        for (std::uint32_t i = 0; i < count; ++i) {
          const std::uint64_t sub = std::uint64_t(le32(&list[i * 4])) + kBaseBlockSize;
          if (!cellInUse(lh, sub)) return false;
          freed->push_back(sub);
        }
      }
    }
    if (cells[3] != 0xFFFFFFFFu) {
      if (!cellInUse(lh, cells[3])) return false;
      freed->push_back(cells[3]);
    }
    if (cells[2] != 0xFFFFFFFFu) {
      // sk: id at 4, previous and next in the chain at 8 and 12, references at 16.
      unsigned char record[20];
      if (!cellInUse(lh, cells[2]) || cells[2] >= lh.loadedSize ||
          ::pread(lh.raw, record, sizeof record, static_cast<off_t>(cells[2])) != sizeof record ||
          std::memcmp(record + 4, "sk", 2) != 0)
        return false;
      const std::uint32_t references = le32(record + 16);
      const std::uint32_t released = lh.skReleased[cells[2]];
      if (references <= released) return false;
      if (references - released == 1) {
        for (std::size_t field : {8u, 12u}) {
          const std::uint64_t neighbour = std::uint64_t(le32(record + field)) + kBaseBlockSize;
          if (neighbour != cells[2] && !cellInUse(lh, neighbour)) return false;
        }
        freed->push_back(cells[2]);
      }
      *sk = cells[2];
    }
    freed->push_back(node);
    std::vector<std::uint64_t> sorted(*freed);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
  }

  void note(const std::string& text) {
    if (noteSink) noteSink(text);
  }

  long refuse(const LoadedHive& lh, const std::string& what, const std::string& why) {
    ++refused;
    note(lh.path + ": " + what + " left in place: " + why);
    return kErrorAccessDenied;
  }

  // The child of node named `name` without regard to case; 0 when none.
  static hive_node_h child(hive_h* h, hive_node_h node, const char* name) {
    Owned<hive_node_h> children(hivex_node_children(h, node));
    if (!children) return 0;
    const std::string wanted = folded(name);
    std::string candidate;
    for (hive_node_h* c = children.get(); *c != 0; ++c) {
      Owned<char> childName(hivex_node_name(h, *c));
      if (childName && foldedFromUtf8(childName.get(), &candidate) && candidate == wanted) return *c;
    }
    return 0;
  }

  const std::vector<ValueEntry>& valuesOf(LoadedHive& lh, hive_node_h node) {
    auto found = lh.values.find(node);
    if (found != lh.values.end()) return found->second;
    std::vector<ValueEntry>& list = lh.values[node];
    if (Owned<hive_value_h> values{hivex_node_values(lh.h, node)}) {
      for (hive_value_h* v = values.get(); *v != 0; ++v) {
        Owned<char> name(hivex_value_key(lh.h, *v));
        std::string key;
        if (name && foldedFromUtf8(name.get(), &key)) list.push_back({key, *v});
      }
    }
    return list;
  }

  hive_value_h findValue(LoadedHive& lh, hive_node_h node, const char* valueName) {
    const std::string wanted = folded(valueName ? valueName : "");
    for (const ValueEntry& entry : valuesOf(lh, node))
      if (entry.foldedName == wanted) return entry.value;
    return 0;
  }

  // Where root + subKey leads: *hive (-1 for HKEY_LOCAL_MACHINE itself)
  // and *node. root is HKEY_LOCAL_MACHINE or a handle of ours.
  long resolve(HKey root, const char* subKey, int* hive, hive_node_h* node) {
    if (root != kHkeyLocalMachine || subKey == nullptr || *subKey == '\0') return walk(root, subKey, hive, node);
    std::string key = folded(subKey);
    auto known = machinePaths.find(key);
    if (known == machinePaths.end()) {
      Place place{-1, 0};
      if (walk(root, subKey, &place.hive, &place.node) != kErrorSuccess) place.node = 0;
      known = machinePaths.emplace(std::move(key), place).first;
    }
    if (known->second.node == 0) return kErrorFileNotFound;
    *hive = known->second.hive;
    *node = known->second.node;
    return kErrorSuccess;
  }

  long walk(HKey root, const char* subKey, int* hive, hive_node_h* node) {
    int at = -1;
    hive_node_h current = 0;
    bool fromRoot = true;  // the walk starts at a hive's root: lookups may be cached
    if (root != kHkeyLocalMachine) {
      auto it = openKeys.find(root);
      if (it == openKeys.end()) return kErrorInvalidHandle;
      if (it->second.deleted) return kErrorKeyDeleted;
      at = it->second.hive;
      current = it->second.node;
      fromRoot = false;
    }
    std::string path;  // folded, below the hive's root
    const char* p = subKey ? subKey : "";
    while (*p != '\0') {
      const char* end = std::strchr(p, '\\');
      const std::string name = end ? std::string(p, end) : std::string(p);
      if (name.empty()) return kErrorFileNotFound;
      if (at < 0) {
        const std::string top = folded(name.c_str());
        if (top == "software") {
          at = 0;
        } else if (top == "system") {
          at = 1;
        } else {
          return kErrorFileNotFound;
        }
        if (!hives[at].h) return kErrorFileNotFound;
        current = hivex_root(hives[at].h);
        if (current == 0) return kErrorFileNotFound;
      } else {
        LoadedHive& lh = hives[at];
        const std::string part = folded(name.c_str());
        if (fromRoot) path += path.empty() ? part : "\\" + part;
        auto cached = fromRoot ? lh.lookups.find(path) : lh.lookups.end();
        if (cached != lh.lookups.end()) {
          current = cached->second;
        } else {
          hive_node_h next = 0;
          if (at == 1 && current == hivex_root(lh.h) && part == "currentcontrolset") {
            next = lh.currentControlSet;  // the link Windows makes at boot
          } else {
            next = child(lh.h, current, name.c_str());
          }
          if (next == 0) return kErrorFileNotFound;
          if (fromRoot) lh.lookups.emplace(path, next);
          current = next;
        }
      }
      if (!end) break;
      p = end + 1;
      if (*p == '\0') return kErrorFileNotFound;  // a trailing backslash names no key
    }
    *hive = at;
    *node = current;
    return kErrorSuccess;
  }

  // The key behind a handle for a value call. Sets *hive -1 for a root
  // that holds no values here.
  long keyOf(HKey key, std::uint32_t right, OpenKey** result) {
    auto it = openKeys.find(key);
    if (it == openKeys.end()) return kErrorInvalidHandle;
    if (it->second.deleted) return kErrorKeyDeleted;
    if ((it->second.access & right) == 0) return kErrorAccessDenied;
    *result = &it->second;
    return kErrorSuccess;
  }

  bool unchangedOnDisk(const LoadedHive& lh) {
    struct stat now;
    return ::fstatat(lh.folder, lh.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
           sameFile(now, lh.original);
  }

  // Copies the original hive to "<hive>.purgato-backup" unless that exists.
  // In a dry run nothing is written: the change is refused only where a
  // real run would find the backup's place taken.
  bool ensureBackup(LoadedHive& lh, std::string* why) {
    if (lh.backedUp) return true;
    if (!unchangedOnDisk(lh)) {
      *why = "the hive file changed since it was read";
      return false;
    }
    const std::string backupName = lh.name + ".purgato-backup";
    const std::string backup = lh.path + ".purgato-backup";
    struct stat st;
    if (::fstatat(lh.folder, backupName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(st.st_mode)) {
        *why = backup + " exists and is not a file";
        return false;
      }
      lh.backedUp = true;  // an earlier run's: the oldest original is kept
      return true;
    }
    if (dryRun) {
      lh.backedUp = true;
      return true;
    }
    const std::string part = lh.name + ".purgato-backup-part";
    ::unlinkat(lh.folder, part.c_str(), 0);
    errno = 0;
    const int in = ::openat(lh.folder, lh.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int out = ::openat(lh.folder, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             lh.original.st_mode & 0777);
    bool ok = in >= 0 && out >= 0;
    off_t copied = 0;
    ok = ok && copyAll(in, out, &copied);
    int error = errno;
    ok = ok && copied == lh.original.st_size;
    std::string attributeTrouble;
    if (ok && !copyExtendedAttributes(in, out, &attributeTrouble)) {
      ok = false;
      error = errno;
    }
    ok = ok && ::fsync(out) == 0;
    if (in >= 0) ::close(in);
    if (out >= 0 && ::close(out) != 0) ok = false;
    // Never over an existing backup: a rename that cannot refuse to
    // replace falls back to a check just before it.
    if (ok && ::renameat2(lh.folder, part.c_str(), lh.folder, backupName.c_str(), RENAME_NOREPLACE) != 0) {
      ok = (errno == EINVAL || errno == ENOSYS) &&
           ::fstatat(lh.folder, backupName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
           ::renameat(lh.folder, part.c_str(), lh.folder, backupName.c_str()) == 0;
    }
    if (!ok) {
      ::unlinkat(lh.folder, part.c_str(), 0);
      *why = "no backup could be written to " + backup + " (" +
             (attributeTrouble.empty() ? errorText(error ? error : EIO) : attributeTrouble) + ")";
      return false;
    }
    syncFolder(lh.folder);
    made.push_back(backup);
    lh.backedUp = true;
    return true;
  }

  // Select\Current as a REG_DWORD of exactly four bytes, 1 to 999.
  void resolveCurrentControlSet(LoadedHive& lh) {
    lh.currentControlSet = 0;
    const hive_node_h root = hivex_root(lh.h);
    const hive_node_h select = root ? child(lh.h, root, "Select") : 0;
    const hive_value_h current = select ? findValue(lh, select, "Current") : 0;
    if (current == 0) return;
    hive_type type = hive_t_REG_NONE;
    std::size_t length = 0;
    Owned<char> data(hivex_value_value(lh.h, current, &type, &length));
    if (!data || typeBits(type) != kRegDword || length != 4) return;
    const std::uint32_t number = le32(reinterpret_cast<const unsigned char*>(data.get()));
    if (number < 1 || number > 999) return;
    char name[16];
    std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(number));
    lh.currentControlSet = child(lh.h, root, name);
  }

  void forgetNode(LoadedHive& lh, int index, hive_node_h node) {
    for (auto& entry : openKeys)
      if (entry.second.hive == index && entry.second.node == node) entry.second.deleted = true;
    lh.lookups.clear();
    machinePaths.clear();
    lh.values.erase(node);
    if (lh.currentControlSet == node) lh.currentControlSet = 0;
  }

  // Writes the hive's new content to "<hive>.purgato-new", flushed, beside
  // the hive. hivex writes it first into a private folder; the file on the
  // volume is one this process created itself, never one found there (a
  // link planted under that name is removed, not followed).
  bool prepare(LoadedHive& lh, std::string* error) {
    if (lh.broken) {
      *error = "a change to it went wrong in memory";
      return false;
    }
    if (!unchangedOnDisk(lh)) {
      *error = "the file changed since it was read";
      return false;
    }
    const std::string freshName = lh.name + ".purgato-new";
    const std::string fresh = lh.path + ".purgato-new";
    PrivateFolder scratch;
    if (!scratch.ok()) {
      *error = "no private folder for writing it (" + errorText(errno) + ")";
      return false;
    }
    if (hivex_commit(lh.h, scratch.file().c_str(), 0) != 0) {
      *error = "hivex could not write it (" + errorText(errno) + ")";
      return false;
    }
    // What was written must read back as a hive before it replaces one.
    if (hive_h* check = hivex_open(scratch.file().c_str(), 0)) {
      hivex_close(check);
    } else {
      *error = "the written hive does not read back";
      return false;
    }
    if (faultHook && faultHook(CommitStep::kCreatingNewFile, lh.path)) {
      *error = "stopped before " + fresh + " was created";
      return false;
    }
    ::unlinkat(lh.folder, freshName.c_str(), 0);  // a stale one, or whatever was planted there
    const int in = ::open(scratch.file().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int out = ::openat(lh.folder, freshName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int original = ::openat(lh.folder, lh.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (out < 0) {
      *error = "could not create " + fresh + " (" + errorText(errno) + ")";
    } else {
      lh.fresh = freshName;
    }
    off_t copied = 0;
    bool ok = in >= 0 && out >= 0 && original >= 0 && copyAll(in, out, &copied);
    if (out >= 0 && !ok && error->empty()) *error = "could not write " + fresh + " (" + errorText(errno) + ")";
    if (ok) {
      ::fchmod(out, lh.original.st_mode & 07777);
      if (::fchown(out, lh.original.st_uid, lh.original.st_gid) != 0) {
        // Owners mean little on a mounted NTFS volume; the content is what matters.
      }
      std::string why;
      if (!copyExtendedAttributes(original, out, &why)) {
        ok = false;
        *error = fresh + ": " + why;
      }
    }
    if (ok && ::fsync(out) != 0) {
      ok = false;
      *error = "could not flush " + fresh + " (" + errorText(errno) + ")";
    }
    if (in >= 0) ::close(in);
    if (original >= 0) ::close(original);
    if (out >= 0 && ::close(out) != 0 && ok) {
      ok = false;
      *error = "could not flush " + fresh + " (" + errorText(errno) + ")";
    }
    if (!ok) {
      dropFresh(lh);
      return false;
    }
    if (faultHook && faultHook(CommitStep::kNewFileWritten, lh.path)) {
      *error = "stopped before " + fresh + " replaced the hive";
      lh.fresh.clear();
      return false;  // left as a crash would leave it
    }
    return true;
  }

  void dropFresh(LoadedHive& lh) {
    if (!lh.fresh.empty()) ::unlinkat(lh.folder, lh.fresh.c_str(), 0);
    lh.fresh.clear();
  }

  // Writes every changed hive, or none: each new file is written first,
  // and only when all are does any replace its hive; a rename that fails
  // puts the hives renamed before it back.
  bool commitAll(std::vector<std::string>* errors) {
    std::vector<LoadedHive*> todo;
    for (LoadedHive& lh : hives)
      if (lh.h && lh.changed) todo.push_back(&lh);
    if (todo.empty() || dryRun) return true;
    // A second Ctrl-C must not leave one hive written and another not.
    SignalsHeld held;
    bool ok = true;
    std::vector<std::string> why(todo.size());
    for (std::size_t i = 0; i < todo.size() && ok; ++i) ok = prepare(*todo[i], &why[i]);
    // Each original stays reachable under "<hive>.purgato-old" until all are replaced.
    std::vector<std::string> old(todo.size());
    std::size_t renamed = 0;
    for (; ok && renamed < todo.size(); ++renamed) {
      LoadedHive& lh = *todo[renamed];
      old[renamed] = lh.name + ".purgato-old";
      ::unlinkat(lh.folder, old[renamed].c_str(), 0);
      if (::linkat(lh.folder, lh.name.c_str(), lh.folder, old[renamed].c_str(), 0) != 0) old[renamed].clear();
      if (::renameat(lh.folder, lh.fresh.c_str(), lh.folder, lh.name.c_str()) != 0) {
        why[renamed] = "could not rename " + lh.path + ".purgato-new over the hive (" + errorText(errno) + ")";
        if (!old[renamed].empty()) ::unlinkat(lh.folder, old[renamed].c_str(), 0);
        ok = false;
        break;
      }
      lh.fresh.clear();
    }
    if (!ok) {
      for (std::size_t i = 0; i < renamed; ++i) {
        LoadedHive& lh = *todo[i];
        if (!old[i].empty() && ::renameat(lh.folder, old[i].c_str(), lh.folder, lh.name.c_str()) == 0) {
          struct stat st;
          if (::fstatat(lh.folder, lh.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) lh.original = st;
          why[i] = "put back, as another hive could not be written";
        } else {
          why[i].clear();  // written after all: it cannot be put back
          lh.changed = false;
        }
      }
      for (std::size_t i = 0; i < todo.size(); ++i) {
        LoadedHive& lh = *todo[i];
        dropFresh(lh);
        if (!lh.changed) continue;
        if (why[i].empty()) why[i] = "not written, as another hive could not be written";
        if (errors) errors->push_back(lh.path + ": changes not written: " + why[i]);
      }
      for (LoadedHive* lh : todo) syncFolder(lh->folder);
      return false;
    }
    for (std::size_t i = 0; i < todo.size(); ++i) {
      LoadedHive& lh = *todo[i];
      if (!old[i].empty()) ::unlinkat(lh.folder, old[i].c_str(), 0);
      syncFolder(lh.folder);
      struct stat st;
      if (::fstatat(lh.folder, lh.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) lh.original = st;
      lh.changed = false;
    }
    return true;
  }
};

OfflineRegistryOs::OfflineRegistryOs(Os& inner, PosixOs* volume)
    : ForwardingOs(inner), impl_(new Impl), volume_(volume ? volume : dynamic_cast<PosixOs*>(&inner)) {}
OfflineRegistryOs::~OfflineRegistryOs() = default;

bool OfflineRegistryOs::loadHive(Hive which, const std::string& hostPath, std::string* error) {
  Impl::LoadedHive& lh = impl_->hives[which == Hive::kSoftware ? 0 : 1];
  if (lh.h) hivex_close(lh.h);
  if (lh.folder >= 0) ::close(lh.folder);
  if (lh.raw >= 0) ::close(lh.raw);
  lh = Impl::LoadedHive{};
  std::string why;
  const std::size_t slash = hostPath.rfind('/');
  const std::string name = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
  const int folder = ::open(folderOf(hostPath).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int fd = folder < 0 ? -1 : ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  unsigned char header[kBaseBlockSize];
  if (fd < 0) {
    why = errorText(errno);
  } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
             std::memcmp(header, "regf", 4) != 0) {
    why = "not a registry hive (no regf header)";
  } else if (le32(header + 4) != le32(header + 8)) {
    // Windows replays the hive's log files at boot when the two sequence
    // numbers differ; a hive written back clean would lose those changes.
    why = "the hive was not closed cleanly (changes wait in its log files)";
  } else {
    // Through the descriptor that was checked, not the name again.
    char byDescriptor[64];
    std::snprintf(byDescriptor, sizeof byDescriptor, "/proc/self/fd/%d", fd);
    lh.h = hivex_open(::access(byDescriptor, F_OK) == 0 ? byDescriptor : hostPath.c_str(), HIVEX_OPEN_WRITE);
    if (!lh.h) why = std::string("hivex cannot read it (") + errorText(errno) + ")";
  }
  if (fd >= 0) ::close(fd);
  if (!lh.h) {
    if (folder >= 0) ::close(folder);
    if (error) *error = why;
    return false;
  }
  lh.path = hostPath;
  lh.folder = folder;
  lh.name = name;
  lh.raw = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat again {};
  if (lh.raw >= 0 && ::fstat(lh.raw, &again) == 0 && sameFile(again, st)) {
    lh.loadedSize = static_cast<std::uint32_t>(std::min<off_t>(st.st_size, 0x7FFFFFFF));
    lh.usedCells = usedCellsOf(lh.raw, st.st_size);
  }
  lh.original = st;
  if (which == Hive::kSystem) impl_->resolveCurrentControlSet(lh);
  return true;
}

bool OfflineRegistryOs::loaded(Hive which) const { return impl_->hives[which == Hive::kSoftware ? 0 : 1].h; }
bool OfflineRegistryOs::changed(Hive which) const {
  return impl_->hives[which == Hive::kSoftware ? 0 : 1].changed;
}
void OfflineRegistryOs::setNoteSink(NoteSink sink) { impl_->noteSink = std::move(sink); }
void OfflineRegistryOs::setFaultHook(FaultHook hook) { impl_->faultHook = std::move(hook); }
void OfflineRegistryOs::setDryRun(bool dryRun) { impl_->dryRun = dryRun; }

bool OfflineRegistryOs::madeHere(const std::string& windowsPath) {
  if (impl_->made.empty()) return false;
  PosixOs* volume = volume_;
  std::string host;
  if (volume == nullptr || !volume->hostPath(windowsPath.c_str(), &host)) return false;
  for (const std::string& made : impl_->made)
    if (made == host) return true;
  return false;
}

bool OfflineRegistryOs::skipMade(OsHandle find, FindData* data) {
  auto folder = searches_.find(find);
  if (folder == searches_.end()) return true;
  for (;;) {
    const std::size_t length = std::strlen(data->fileName);
    const char kSuffix[] = ".purgato-backup";
    const std::size_t suffix = sizeof kSuffix - 1;
    const bool ours = length > suffix && strncasecmp(data->fileName + length - suffix, kSuffix, suffix) == 0 &&
                      madeHere(folder->second + data->fileName);
    if (!ours) return true;
    if (!ForwardingOs::findNextFile(find, data)) return false;
  }
}

OsHandle OfflineRegistryOs::findFirstFile(const char* pattern, FindData* data) {
  const OsHandle find = ForwardingOs::findFirstFile(pattern, data);
  if (find == kInvalidHandle || impl_->made.empty() || pattern == nullptr) return find;
  const char* last = std::strrchr(pattern, '\\');
  searches_[find] = last ? std::string(pattern, last + 1) : std::string();
  if (skipMade(find, data)) return find;
  findClose(find);
  return kInvalidHandle;
}

bool OfflineRegistryOs::findNextFile(OsHandle find, FindData* data) {
  return ForwardingOs::findNextFile(find, data) && skipMade(find, data);
}

bool OfflineRegistryOs::findClose(OsHandle find) {
  searches_.erase(find);
  return ForwardingOs::findClose(find);
}
unsigned long OfflineRegistryOs::refusedChanges() const { return impl_->refused; }

bool OfflineRegistryOs::commit(std::vector<std::string>* errors) { return impl_->commitAll(errors); }

long OfflineRegistryOs::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  if (root == kHkeyCurrentUser) {
    if (result) *result = 0;
    return kErrorFileNotFound;  // no user is logged on to a volume
  }
  if (root != kHkeyLocalMachine && impl_->openKeys.count(root) == 0)
    return ForwardingOs::regOpenKeyEx(root, subKey, access, result);
  if (result == nullptr) return kErrorInvalidParameter;
  *result = 0;
  int hive = -1;
  hive_node_h node = 0;
  if (const long error = impl_->resolve(root, subKey, &hive, &node)) return error;
  const HKey handle = impl_->nextHandle;
  impl_->nextHandle += 4;
  impl_->openKeys[handle] = {hive, node, access, false};
  *result = handle;
  return kErrorSuccess;
}

long OfflineRegistryOs::regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                                        std::uint32_t* size) {
  if (key == kHkeyCurrentUser || key == kHkeyLocalMachine) return kErrorFileNotFound;
  if (impl_->openKeys.count(key) == 0) return ForwardingOs::regQueryValueEx(key, valueName, type, data, size);
  Impl::OpenKey* k = nullptr;
  if (const long error = impl_->keyOf(key, kKeyQueryValue, &k)) return error;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  if (k->hive < 0) return kErrorFileNotFound;
  Impl::LoadedHive& lh = impl_->hives[k->hive];
  const hive_value_h value = impl_->findValue(lh, k->node, valueName);
  if (value == 0) return kErrorFileNotFound;

  hive_type stored = hive_t_REG_NONE;
  std::size_t length = 0;
  // A size question needs no copy of the data.
  Owned<char> raw(data == nullptr ? nullptr : hivex_value_value(lh.h, value, &stored, &length));
  if (data == nullptr ? hivex_value_type(lh.h, value, &stored, &length) != 0 : !raw) return kErrorRegistryCorrupt;
  const std::uint32_t valueType = typeBits(stored);
  // What the ANSI call hands out: strings one byte per UTF-16 unit.
  const std::size_t needed = isStringType(valueType) ? length / 2 : length;
  if (needed > UINT32_MAX) return kErrorRegistryCorrupt;
  if (type) *type = valueType;
  if (data == nullptr) {
    if (size) *size = static_cast<std::uint32_t>(needed);
    return kErrorSuccess;
  }
  if (*size < needed) {
    *size = static_cast<std::uint32_t>(needed);
    return kErrorMoreData;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(raw.get());
  if (isStringType(valueType)) {
    for (std::size_t i = 0; i < needed; ++i) {
      const unsigned unit = bytes[2 * i] | unsigned(bytes[2 * i + 1]) << 8;
      data[i] = unit < 0x100 ? static_cast<std::uint8_t>(unit) : static_cast<std::uint8_t>('?');
    }
  } else if (needed > 0) {
    std::memcpy(data, bytes, needed);
  }
  *size = static_cast<std::uint32_t>(needed);
  return kErrorSuccess;
}

long OfflineRegistryOs::regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize,
                                     std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  if (impl_->openKeys.count(key) == 0)
    return ForwardingOs::regEnumValue(key, index, name, nameSize, type, data, dataSize);
  Impl::OpenKey* k = nullptr;
  if (const long error = impl_->keyOf(key, kKeyQueryValue, &k)) return error;
  if (k->hive < 0) return kErrorNoMoreItems;
  Impl::LoadedHive& lh = impl_->hives[k->hive];
  Owned<hive_value_h> values(hivex_node_values(lh.h, k->node));
  if (!values) return kErrorRegistryCorrupt;
  std::uint32_t i = 0;
  for (hive_value_h* v = values.get(); *v != 0; ++v, ++i) {
    if (i != index) continue;
    Owned<char> key8(hivex_value_key(lh.h, *v));
    if (!key8) return kErrorRegistryCorrupt;
    const std::size_t length = std::strlen(key8.get());
    if (length >= *nameSize) return kErrorMoreData;
    std::memcpy(name, key8.get(), length + 1);
    *nameSize = static_cast<std::uint32_t>(length);
    return regQueryValueEx(key, name, type, data, dataSize);
  }
  return kErrorNoMoreItems;
}

long OfflineRegistryOs::regDeleteValue(HKey key, const char* valueName) {
  if (key == kHkeyCurrentUser || key == kHkeyLocalMachine) return kErrorFileNotFound;
  if (impl_->openKeys.count(key) == 0) return ForwardingOs::regDeleteValue(key, valueName);
  Impl::OpenKey* k = nullptr;
  if (const long error = impl_->keyOf(key, kKeySetValue, &k)) return error;
  if (k->hive < 0) return kErrorFileNotFound;
  Impl::LoadedHive& lh = impl_->hives[k->hive];
  const hive_node_h node = k->node;
  const hive_value_h doomed = impl_->findValue(lh, node, valueName);
  if (doomed == 0) return kErrorFileNotFound;
  const std::string what = std::string("value '") + (valueName ? valueName : "") + "'";

  // hivex replaces a key's values as a whole: every other value is read
  // and written back as it is.
  struct Kept {
    Owned<char> name;
    std::uint32_t type;
    std::size_t length;
    Owned<char> data;
  };
  std::vector<Kept> kept;
  Owned<hive_value_h> values(hivex_node_values(lh.h, node));
  if (!values) return impl_->refuse(lh, what, "the key's values cannot be read");
  // Rewriting the values frees every old data cell: each must be one.
  hive_value_h bad = 0;
  std::vector<std::uint64_t> freed;
  if (!impl_->valueCellsSound(lh, node, &bad, &freed)) {
    return impl_->refuse(lh, what,
                         bad == doomed ? "its data cell is damaged in the hive"
                                       : "another value of the key has a damaged data cell, or cells are shared");
  }
  for (hive_value_h* v = values.get(); *v != 0; ++v) {
    if (*v == doomed) continue;
    Kept entry{Owned<char>(hivex_value_key(lh.h, *v)), 0, 0, nullptr};
    hive_type type = hive_t_REG_NONE;
    entry.data.reset(hivex_value_value(lh.h, *v, &type, &entry.length));
    entry.type = typeBits(type);
    if (!entry.name || !entry.data) return impl_->refuse(lh, what, "another value of the key cannot be read");
    if (entry.length > kBigDataThreshold)
      return impl_->refuse(lh, what, "another value of the key is too long to be rewritten safely");
    kept.push_back(std::move(entry));
  }
  std::vector<hive_set_value> set;
  for (Kept& entry : kept) {
    hive_set_value one;
    one.key = entry.name.get();
    std::memcpy(&one.t, &entry.type, sizeof one.t);
    one.len = entry.length;
    one.value = entry.data.get();
    set.push_back(one);
  }
  if (!triedSafely([&] { return hivex_node_set_values(lh.h, node, set.size(), set.data(), 0); }))
    return impl_->refuse(lh, what, "the hive's cells around it are damaged");
  std::string why;
  if (!impl_->ensureBackup(lh, &why)) return impl_->refuse(lh, what, why);
  lh.values.erase(node);
  lh.changed = true;
  const int setResult = hivex_node_set_values(lh.h, node, set.size(), set.data(), 0);
  Impl::noteFreed(lh, freed);
  lh.rewritten.push_back(node);
  if (setResult != 0) {
    lh.broken = true;
    return impl_->refuse(lh, what, "hivex could not rewrite the key's values; the hive will not be written");
  }
  // The values as hivex now reads them must be exactly those kept.
  bool same = true;
  Owned<hive_value_h> after(hivex_node_values(lh.h, node));
  std::size_t i = 0;
  for (hive_value_h* v = after ? after.get() : nullptr; same && v && *v != 0; ++v, ++i) {
    hive_type type = hive_t_REG_NONE;
    std::size_t length = 0;
    Owned<char> name(hivex_value_key(lh.h, *v));
    Owned<char> data(hivex_value_value(lh.h, *v, &type, &length));
    same = i < kept.size() && name && data && std::strcmp(name.get(), kept[i].name.get()) == 0 &&
           typeBits(type) == kept[i].type && length == kept[i].length &&
           (length == 0 || std::memcmp(data.get(), kept[i].data.get(), length) == 0);
  }
  if (!after || !same || i != kept.size()) {
    lh.broken = true;
    return impl_->refuse(lh, what, "the rewritten values differ from the old ones; the hive will not be written");
  }
  return kErrorSuccess;
}

long OfflineRegistryOs::regDeleteKey(HKey root, const char* subKey) {
  if (root == kHkeyCurrentUser) return kErrorFileNotFound;
  if (root != kHkeyLocalMachine && impl_->openKeys.count(root) == 0)
    return ForwardingOs::regDeleteKey(root, subKey);
  if (subKey == nullptr || subKey[0] == '\0') return kErrorInvalidParameter;
  int index = -1;
  hive_node_h node = 0;
  if (const long error = impl_->resolve(root, subKey, &index, &node)) return error;
  if (index < 0) return kErrorAccessDenied;
  Impl::LoadedHive& lh = impl_->hives[index];
  if (node == hivex_root(lh.h)) return kErrorAccessDenied;  // a hive's root is no key to delete
  errno = 0;
  Owned<hive_node_h> children(hivex_node_children(lh.h, node));
  if (!children) return kErrorRegistryCorrupt;
  if (children.get()[0] != 0) return kErrorAccessDenied;  // NT deletes leaves only
  std::vector<std::uint64_t> freed;
  std::uint64_t sk = 0;
  if (!impl_->keyCellsSound(lh, node, &freed, &sk))
    return impl_->refuse(lh, std::string("key '") + subKey + "'", "its record in the hive is damaged");
  if (!triedSafely([&] { return hivex_node_delete_child(lh.h, node); }))
    return impl_->refuse(lh, std::string("key '") + subKey + "'", "the hive's cells around it are damaged");
  std::string why;
  if (!impl_->ensureBackup(lh, &why)) return impl_->refuse(lh, std::string("key '") + subKey + "'", why);
  lh.changed = true;
  impl_->forgetNode(lh, index, node);
  const int deleteResult = hivex_node_delete_child(lh.h, node);
  Impl::noteFreed(lh, freed);
  if (sk != 0) ++lh.skReleased[sk];
  if (deleteResult != 0) {
    lh.broken = true;
    return impl_->refuse(lh, std::string("key '") + subKey + "'",
                         "hivex could not delete it; the hive will not be written");
  }
  return kErrorSuccess;
}

long OfflineRegistryOs::regCloseKey(HKey key) {
  if (key == kHkeyCurrentUser || key == kHkeyLocalMachine) return kErrorSuccess;
  auto it = impl_->openKeys.find(key);
  if (it == impl_->openKeys.end()) return ForwardingOs::regCloseKey(key);
  impl_->openKeys.erase(it);
  return kErrorSuccess;
}

long OfflineRegistryOs::regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) {
  auto it = impl_->openKeys.find(key);
  if (it == impl_->openKeys.end() && key != kHkeyLocalMachine && key != kHkeyCurrentUser)
    return ForwardingOs::regQueryInfoKey(key, lastWriteTime);
  if (lastWriteTime != nullptr) *lastWriteTime = 0;
  if (it != impl_->openKeys.end() && it->second.deleted) return kErrorKeyDeleted;
  return kErrorInvalidFunction;
}

bool OfflineRegistryOs::readText(const char* subKey, const char* valueName, std::string* utf8) {
  utf8->clear();
  int hive = -1;
  hive_node_h node = 0;
  if (impl_->resolve(kHkeyLocalMachine, subKey, &hive, &node) != kErrorSuccess || hive < 0) return false;
  Impl::LoadedHive& lh = impl_->hives[hive];
  const hive_value_h value = impl_->findValue(lh, node, valueName);
  if (value == 0) return false;
  hive_type stored = hive_t_REG_NONE;
  std::size_t length = 0;
  Owned<char> raw(hivex_value_value(lh.h, value, &stored, &length));
  const std::uint32_t type = typeBits(stored);
  if (!raw || (type != kRegSz && type != kRegExpandSz)) return false;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(raw.get());
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    char32_t unit = bytes[i] | char32_t(bytes[i + 1]) << 8;
    if (unit == 0) break;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const char32_t low = i + 3 < length ? (bytes[i + 2] | char32_t(bytes[i + 3]) << 8) : 0;
      if (low < 0xDC00 || low > 0xDFFF) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    appendUtf8(utf8, unit);
  }
  return true;
}

OfflineRegistries::OfflineRegistries(std::vector<OfflineRegistryOs*> parts)
    // As an Os: bound as a ForwardingOs, the copy constructor would take its inner.
    : ForwardingOs(static_cast<Os&>(*parts.at(0))), parts_(std::move(parts)) {}

bool OfflineRegistries::rootsOf(HKey root, std::vector<Opened>* roots) {
  roots->clear();
  if (root == kHkeyLocalMachine) {
    for (int i = 0; i < static_cast<int>(parts_.size()); ++i)
      if (inScope(i)) roots->push_back({i, kHkeyLocalMachine});
    return true;
  }
  auto found = keys_.find(root);
  if (found == keys_.end()) return false;
  for (const Opened& opened : found->second)
    if (inScope(opened.part)) roots->push_back(opened);
  return true;
}

long OfflineRegistries::combined(const std::vector<long>& results) {
  bool done = false;
  for (long rc : results) {
    if (rc != kErrorSuccess && rc != kErrorFileNotFound) return rc;  // it stays there
    done = done || rc == kErrorSuccess;
  }
  return done ? kErrorSuccess : kErrorFileNotFound;
}

long OfflineRegistries::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  std::vector<Opened> roots;
  if (!rootsOf(root, &roots)) return ForwardingOs::regOpenKeyEx(root, subKey, access, result);
  if (result == nullptr) return kErrorInvalidParameter;
  *result = 0;
  std::vector<Opened> opened;
  long first = kErrorFileNotFound;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    HKey key = 0;
    const long rc = parts_[roots[i].part]->regOpenKeyEx(roots[i].key, subKey, access, &key);
    if (rc == kErrorSuccess) {
      opened.push_back({roots[i].part, key});
    } else if (i == 0) {
      first = rc;
    }
  }
  if (opened.empty()) return first;
  *result = next_;
  next_ += 4;
  keys_[*result] = std::move(opened);
  return kErrorSuccess;
}

long OfflineRegistries::regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                                        std::uint32_t* size) {
  std::vector<Opened> roots;
  if (key == kHkeyLocalMachine || !rootsOf(key, &roots))
    return ForwardingOs::regQueryValueEx(key, valueName, type, data, size);
  long rc = kErrorFileNotFound;
  for (const Opened& opened : roots) {
    rc = parts_[opened.part]->regQueryValueEx(opened.key, valueName, type, data, size);
    if (rc != kErrorFileNotFound) return rc;
  }
  return rc;
}

long OfflineRegistries::regDeleteValue(HKey key, const char* valueName) {
  std::vector<Opened> roots;
  if (key == kHkeyLocalMachine || !rootsOf(key, &roots)) return ForwardingOs::regDeleteValue(key, valueName);
  std::vector<long> results;
  for (const Opened& opened : roots) results.push_back(parts_[opened.part]->regDeleteValue(opened.key, valueName));
  return combined(results);
}

long OfflineRegistries::regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize,
                                     std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  std::vector<Opened> roots;
  if (key == kHkeyLocalMachine || !rootsOf(key, &roots))
    return ForwardingOs::regEnumValue(key, index, name, nameSize, type, data, dataSize);
  // The values of each part in turn: the index runs on through them.
  for (const Opened& opened : roots) {
    OfflineRegistryOs& part = *parts_[opened.part];
    const long rc = part.regEnumValue(opened.key, index, name, nameSize, type, data, dataSize);
    if (rc != kErrorNoMoreItems) return rc;
    std::uint32_t count = 0;
    for (;; ++count) {
      char probe[16384];
      std::uint32_t probeSize = sizeof probe;
      if (part.regEnumValue(opened.key, count, probe, &probeSize, nullptr, nullptr, nullptr) == kErrorNoMoreItems)
        break;
    }
    if (index < count) return kErrorNoMoreItems;  // cannot be: the part said so above
    index -= count;
  }
  return kErrorNoMoreItems;
}

long OfflineRegistries::regDeleteKey(HKey root, const char* subKey) {
  std::vector<Opened> roots;
  if (!rootsOf(root, &roots)) return ForwardingOs::regDeleteKey(root, subKey);
  std::vector<long> results;
  for (const Opened& opened : roots) results.push_back(parts_[opened.part]->regDeleteKey(opened.key, subKey));
  return combined(results);
}

long OfflineRegistries::regCloseKey(HKey key) {
  auto found = keys_.find(key);
  if (key == kHkeyLocalMachine || found == keys_.end()) return ForwardingOs::regCloseKey(key);
  for (const Opened& opened : found->second) parts_[opened.part]->regCloseKey(opened.key);
  keys_.erase(found);
  return kErrorSuccess;
}

long OfflineRegistries::regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) {
  std::vector<Opened> roots;
  if (key == kHkeyLocalMachine || !rootsOf(key, &roots)) return ForwardingOs::regQueryInfoKey(key, lastWriteTime);
  long rc = kErrorKeyDeleted;
  for (const Opened& opened : roots) {
    rc = parts_[opened.part]->regQueryInfoKey(opened.key, lastWriteTime);
    if (rc != kErrorKeyDeleted) return rc;
  }
  return rc;
}

std::string foldedAsWindows(const std::string& text) { return folded(text.c_str()); }

VolumeHives findVolumeHives(PosixOs& os) {
  char windows[kPathSize];
  const unsigned length = os.getWindowsDirectory(windows, sizeof windows);
  if (length == 0 || length >= sizeof windows) return VolumeHives{};
  return findVolumeHives(os, std::string(windows, length));
}

VolumeHives findVolumeHives(PosixOs& os, const std::string& folder) {
  VolumeHives found;
  // A file of that name (any case) in the folder: its host path, else "".
  auto fileIn = [&os](const std::string& windowsPath) {
    FindData data;
    const OsHandle find = os.findFirstFile(windowsPath.c_str(), &data);
    if (find == kInvalidHandle) return std::string();
    os.findClose(find);
    std::string host;
    if ((data.attributes & kAttrDirectory) != 0 || !os.hostPath(windowsPath.c_str(), &host)) return std::string();
    return host;
  };
  const std::string config = folder + "\\system32\\config\\";
  found.software = fileIn(config + "SOFTWARE");
  found.system = fileIn(config + "SYSTEM");
  found.nt = !found.software.empty() || !found.system.empty();
  found.nine = !fileIn(folder + "\\SYSTEM.DAT").empty() || !fileIn(folder + "\\USER.DAT").empty();
  return found;
}

}  // namespace purgato
