#include "cli/keeping_os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/sha256.h"
#include "os/text.h"

namespace purgato {

namespace {

constexpr unsigned kChunk = 64 * 1024;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kMaxValueData = 1 << 20;
// Keeps a copy from being started by its name.
const char kKeptSuffix[] = ".purgato-kept";

std::string lowered(std::string text) {
  for (char& c : text) c = lowerAscii(c);
  return text;
}

// "name"=... in .reg notation: plain ASCII strings as strings, the rest as
// hex bytes of their type, so that every byte comes back as it was.
// A version 5.00 file holds string types as hex of their UTF-16 form: the
// ANSI bytes the seam hands out are widened one to one.
std::string regValueLine(const std::string& name, std::uint32_t type, const std::uint8_t* data, std::uint32_t size,
                         bool wide) {
  std::string line = name.empty() ? "@=" : "\"";
  if (!name.empty()) {
    for (char c : name) {
      if (c == '\\' || c == '"') line += '\\';
      line += c;
    }
    line += "\"=";
  }
  bool plain = type == kRegSz && size > 0 && data[size - 1] == 0;
  for (std::uint32_t i = 0; plain && i + 1 < size; ++i)
    if (data[i] < 0x20 || data[i] >= 0x7f) plain = false;
  if (plain) {
    line += '"';
    for (std::uint32_t i = 0; i + 1 < size; ++i) {
      const char c = static_cast<char>(data[i]);
      if (c == '\\' || c == '"') line += '\\';
      line += c;
    }
    return line + "\"\r\n";
  }
  std::vector<std::uint8_t> widened;
  if (wide && (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz)) {
    for (std::uint32_t i = 0; i < size; ++i) {
      widened.push_back(data[i]);
      widened.push_back(0);
    }
    data = widened.data();
    size = static_cast<std::uint32_t>(widened.size());
  }
  char head[16];
  std::snprintf(head, sizeof head, type == 3 ? "hex:" : "hex(%x):", static_cast<unsigned>(type));
  line += head;
  std::size_t column = line.size();
  for (std::uint32_t i = 0; i < size; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    line += byte;
    column += 2;
    if (i + 1 < size) {
      line += ',';
      ++column;
      if (column > 76) {
        line += "\\\r\n  ";
        column = 2;
      }
    }
  }
  return line + "\r\n";
}

// Reads one value of an open key: false when it cannot be read.
bool readValue(Os& os, HKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) {
  std::uint32_t size = 0;
  if (os.regQueryValueEx(key, name, type, nullptr, &size) != kErrorSuccess || size > kMaxValueData) return false;
  data->assign(size, 0);
  std::uint32_t got = size;
  if (os.regQueryValueEx(key, name, type, size ? data->data() : nullptr, &got) != kErrorSuccess || got > size)
    return false;
  data->resize(got);
  return true;
}

}  // namespace

bool KeepingOs::startBackup(const std::string& dir, char separator, MakeDirectory makeDirectory,
                            const std::string& setName, std::string* error) {
  separator_ = separator;
  makeDirectory_ = std::move(makeDirectory);
  if (makeDirectory_(dir) < 0) {
    *error = "cannot make the backup folder '" + dir + "': " + std::strerror(errno);
    return false;
  }
  // A set of its own for each run: an earlier run's set is never written to.
  for (int n = 1; n < 1000; ++n) {
    const std::string candidate = dir + separator + setName + (n == 1 ? "" : "-" + std::to_string(n));
    const int made = makeDirectory_(candidate);
    if (made == 0) {
      setPath_ = candidate;
      backup_ = true;
      return true;
    }
    if (made < 0) {
      *error = "cannot make the backup folder '" + candidate + "': " + std::strerror(errno);
      return false;
    }
  }
  *error = "cannot make a new backup set under '" + dir + "'";
  return false;
}

KeptFile KeepingOs::keptFile(const std::string& windowsPath) const {
  const auto it = files_.find(lowered(windowsPath));
  return it == files_.end() ? KeptFile{} : it->second;
}

std::string KeepingOs::registryBackupError(const std::string& keyPath, const std::string& valueName) const {
  const auto it = regRefused_.find(lowered(keyPath + "\n" + valueName));
  return it == regRefused_.end() ? std::string() : it->second;
}

// Reads the file through the seam: its size and digest, and with --backup
// a copy. False only when the backup was wanted and could not be written.
bool KeepingOs::keepFile(const std::string& windowsPath) {
  KeptFile kept;
  std::FILE* copy = nullptr;
  if (backup_) {
    std::string path = setPath_;
    std::string part;
    std::string drive(1, windowsPath.empty() ? '_' : windowsPath[0]);
    std::vector<std::string> parts{drive};
    for (std::size_t i = windowsPath.find('\\'); i != std::string::npos;) {
      const std::size_t next = windowsPath.find('\\', i + 1);
      part = windowsPath.substr(i + 1, next == std::string::npos ? std::string::npos : next - i - 1);
      if (!part.empty()) parts.push_back(part);
      i = next;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      path += separator_ + parts[i];
      if (makeDirectory_(path) < 0) {
        kept.backupError = "cannot make '" + path + "': " + std::strerror(errno);
        break;
      }
    }
    if (kept.backupError.empty()) {
      const std::string base = path + separator_ + parts.back() + kKeptSuffix;
      std::string target = base;
      // Never over an earlier copy: the same name twice in a run gets a number.
      for (int n = 2; std::FILE* existing = std::fopen(target.c_str(), "rb"); ++n) {
        std::fclose(existing);
        target = base + "." + std::to_string(n);
      }
      copy = std::fopen(target.c_str(), "wb");
      if (copy == nullptr) {
        kept.backupError = "cannot write '" + target + "': " + std::strerror(errno);
      } else {
        kept.backupPath = target;
      }
    }
  }
  const int fd = ForwardingOs::open(windowsPath.c_str(), kORdOnly | kOBinary);
  if (fd >= 0) {
    Sha256 digest;
    std::vector<char> buffer(kChunk);
    std::int64_t size = 0;
    int got = 0;
    while ((got = ForwardingOs::read(fd, buffer.data(), kChunk)) > 0) {
      digest.update(buffer.data(), static_cast<std::size_t>(got));
      size += got;
      if (copy != nullptr && std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), copy) != static_cast<std::size_t>(got) &&
          kept.backupError.empty())
        kept.backupError = "cannot write '" + kept.backupPath + "': " + std::strerror(errno);
    }
    ForwardingOs::close(fd);
    if (got == 0) {
      kept.measured = true;
      kept.size = size;
      kept.sha256 = digest.hexDigest();
    } else if (backup_ && kept.backupError.empty()) {
      kept.backupError = "cannot read the file to keep it";
    }
  } else if (backup_ && kept.backupError.empty()) {
    kept.backupError = std::string("cannot read the file to keep it: ") + std::strerror(errno);
  }
  if (copy != nullptr && std::fclose(copy) != 0 && kept.backupError.empty())
    kept.backupError = "cannot write '" + kept.backupPath + "': " + std::strerror(errno);
  if (!kept.backupError.empty() && !kept.backupPath.empty()) {
    std::remove(kept.backupPath.c_str());
    kept.backupPath.clear();
  }
  const bool ok = kept.backupError.empty();
  kept.created = files_[lowered(windowsPath)].created;
  files_[lowered(windowsPath)] = kept;
  return ok;
}

// True when this run has kept the file already (or made it): what it held
// before the run's first change is what the copy must show.
bool KeepingOs::keptBefore(const std::string& windowsPath) const {
  const auto it = files_.find(lowered(windowsPath));
  if (it == files_.end()) return false;
  return it->second.created || (backup_ ? !it->second.backupPath.empty() : it->second.measured);
}

void KeepingOs::refuse(const std::string& why) {
  refused_ = true;
  ++refusals_;
  lastRefusal_ = why;
  errno = EIO;
}

int KeepingOs::open(const char* path, int flags) {
  const int fd = ForwardingOs::open(path, flags);
  if (fd >= 0 && (flags & 0x0003) != kORdOnly) writablePaths_[fd] = path;
  // Made now: undoing it is deleting it.
  if (fd >= 0 && (flags & kOCreat) && (flags & kOExcl)) files_[lowered(path)].created = true;
  return fd;
}

int KeepingOs::close(int fd) {
  writablePaths_.erase(fd);
  return ForwardingOs::close(fd);
}

int KeepingOs::chsize(int fd, std::int32_t size) {
  refused_ = false;
  if (!backup_ && !measure_) return ForwardingOs::chsize(fd, size);
  const auto it = writablePaths_.find(fd);
  if (it != writablePaths_.end() && !keptBefore(it->second) && !keepFile(it->second)) {
    refuse(keptFile(it->second).backupError);
    return -1;
  }
  return ForwardingOs::chsize(fd, size);
}

bool KeepingOs::deleteFile(const char* path) {
  refused_ = false;
  if (!backup_ && !measure_) return ForwardingOs::deleteFile(path);
  // A retry after the holding process was ended: the copy is made already.
  if (!keptBefore(path) && !keepFile(path)) {
    refuse(keptFile(path).backupError);
    return false;
  }
  return ForwardingOs::deleteFile(path);
}

bool KeepingOs::moveFileEx(const char* existing, const char* newName, std::uint32_t flags) {
  refused_ = false;
  if (backup_ && newName == nullptr && !keptBefore(existing) && !keepFile(existing)) {
    refuse(keptFile(existing).backupError);
    return false;
  }
  return ForwardingOs::moveFileEx(existing, newName, flags);
}

std::string KeepingOs::keyName(HKey root, const std::string& subKey) const {
  const auto it = keyPaths_.find(root);
  if (it != keyPaths_.end()) return subKey.empty() ? it->second : it->second + "\\" + subKey;
  const char* name = root == kHkeyLocalMachine ? "HKEY_LOCAL_MACHINE"
                     : root == kHkeyCurrentUser ? "HKEY_CURRENT_USER"
                                                : "HKEY_UNKNOWN";
  return subKey.empty() ? std::string(name) : std::string(name) + "\\" + subKey;
}

long KeepingOs::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  const long rc = ForwardingOs::regOpenKeyEx(root, subKey, access, result);
  if (rc == kErrorSuccess && result != nullptr) keyPaths_[*result] = keyName(root, subKey ? subKey : "");
  return rc;
}

long KeepingOs::regCloseKey(HKey key) {
  keyPaths_.erase(key);
  return ForwardingOs::regCloseKey(key);
}

bool KeepingOs::appendReg(const std::string& text, std::string* error) {
  const std::string path = setPath_ + separator_ + "registry.reg";
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::string out;
  if (!regStarted_) out = ntRegistry_ ? "Windows Registry Editor Version 5.00\r\n" : "REGEDIT4\r\n";
  out += text;
  const bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  const int writeError = errno;
  if (std::fclose(file) != 0 || !ok) {
    *error = "cannot write '" + path + "': " + std::strerror(ok ? errno : writeError);
    return false;
  }
  regStarted_ = true;
  return true;
}

long KeepingOs::regDeleteValue(HKey key, const char* valueName) {
  if (!backup_) return ForwardingOs::regDeleteValue(key, valueName);
  const std::string keyPath = keyName(key, "");
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!readValue(*this, key, valueName, &type, &data)) return ForwardingOs::regDeleteValue(key, valueName);
  // The name as the key stores it: the scan asks in its own letter case.
  std::string stored = valueName;
  for (std::uint32_t index = 0;; ++index) {
    char name[16384];
    std::uint32_t nameSize = sizeof name;
    std::uint32_t ignoredType = 0;
    std::uint32_t ignoredSize = 0;
    const long rc = ForwardingOs::regEnumValue(key, index, name, &nameSize, &ignoredType, nullptr, &ignoredSize);
    if (rc != kErrorSuccess && rc != kErrorMoreData) break;
    if (lowered(std::string(name, nameSize)) == lowered(valueName)) {
      stored.assign(name, nameSize);
      break;
    }
  }
  std::string error;
  if (!appendReg("\r\n[" + keyPath + "]\r\n" + regValueLine(stored, type, data.data(),
                                                                 static_cast<std::uint32_t>(data.size()), ntRegistry_),
                 &error)) {
    regRefused_[lowered(keyPath + "\n" + valueName)] = error;
    return kErrorBackupFailed;
  }
  return ForwardingOs::regDeleteValue(key, valueName);
}

long KeepingOs::regDeleteKey(HKey root, const char* subKey) {
  if (!backup_) return ForwardingOs::regDeleteKey(root, subKey);
  HKey key = 0;
  const std::string keyPath = keyName(root, subKey);
  if (ForwardingOs::regOpenKeyEx(root, subKey, kKeyRead, &key) != kErrorSuccess)
    return ForwardingOs::regDeleteKey(root, subKey);  // nothing there to keep
  std::string text = "\r\n[" + keyPath + "]\r\n";
  std::string error;
  for (std::uint32_t index = 0;; ++index) {
    char name[16384];
    std::uint32_t nameSize = sizeof name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data(kMaxValueData);
    std::uint32_t dataSize = kMaxValueData;
    const long rc = ForwardingOs::regEnumValue(key, index, name, &nameSize, &type, data.data(), &dataSize);
    if (rc == 259) break;  // ERROR_NO_MORE_ITEMS
    if (rc != kErrorSuccess) {
      error = "cannot list the values of " + keyPath + " to keep them (error " + std::to_string(rc) + ")";
      break;
    }
    text += regValueLine(std::string(name, nameSize), type, data.data(), dataSize, ntRegistry_);
  }
  ForwardingOs::regCloseKey(key);
  if (error.empty()) appendReg(text, &error);
  if (!error.empty()) {
    regRefused_[lowered(keyPath + "\n")] = error;
    return kErrorBackupFailed;
  }
  return ForwardingOs::regDeleteKey(root, subKey);
}

}  // namespace purgato
