// The layer under the scan that sees each change before it is made: it
// takes the size and SHA-256 of every file about to be deleted or cut, and
// with --backup keeps what the change removes (a copy of the file, the Run
// value or service key as a .reg file). A change whose backup could not be
// written is not made. Shared by every console build; it reads through the
// seam and writes its backups through the C run-time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "os/forwarding_os.h"

namespace purgato {

// A file as it was just before a change.
struct KeptFile {
  bool measured = false;    // size and digest are known
  std::int64_t size = 0;
  std::string sha256;
  std::string backupPath;   // where its copy went; "" none
  std::string backupError;  // why the backup failed, which stopped the change; "" none
  bool created = false;     // the run made the file: there was nothing to keep
};

// The Win32 error a change refused for want of its backup reports.
constexpr long kErrorBackupFailed = 29;  // ERROR_WRITE_FAULT

class KeepingOs final : public ForwardingOs {
 public:
  // Creates one folder: 0 made, 1 it exists already, -1 failed (errno set).
  using MakeDirectory = std::function<int(const std::string& path)>;

  KeepingOs(Os& inner, bool ntRegistry) : ForwardingOs(inner), ntRegistry_(ntRegistry) {}

  // Backups go to a new set folder under dir (never one a run made
  // before): false with *error when it cannot be made. `separator` joins
  // host path components.
  bool startBackup(const std::string& dir, char separator, MakeDirectory makeDirectory, const std::string& setName,
                   std::string* error);
  const std::string& backupSet() const { return setPath_; }
  // Size and digest of each file before its change, for the report; off,
  // and without a backup, every call goes straight through.
  void measure(bool on) { measure_ = on; }

  // What was found out about a file just before its change; measured false
  // when there was no change to it.
  KeptFile keptFile(const std::string& windowsPath) const;
  // Why a registry change was refused for want of its backup; "" when not.
  std::string registryBackupError(const std::string& keyPath, const std::string& valueName) const;
  // Changes refused for want of their backup so far, and why the last one
  // was: a change the core makes on its own account (WININIT.INI's line
  // for a file left for the restart) fails under the finding it serves.
  std::size_t refusals() const { return refusals_; }
  const std::string& lastRefusal() const { return lastRefusal_; }

  int open(const char* path, int flags) override;
  int close(int fd) override;
  int chsize(int fd, std::int32_t size) override;
  bool deleteFile(const char* path) override;
  // A deletion asked of the next restart is a change too: kept first.
  bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags) override;
  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regCloseKey(HKey key) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long lastError() override { return refused_ ? kErrorBackupFailed : ForwardingOs::lastError(); }

 private:
  bool keepFile(const std::string& windowsPath);
  bool keptBefore(const std::string& windowsPath) const;
  void refuse(const std::string& why);
  bool appendReg(const std::string& text, std::string* error);
  std::string keyName(HKey root, const std::string& subKey) const;

  bool ntRegistry_;
  bool backup_ = false;
  bool measure_ = false;
  bool refused_ = false;  // the last change was refused for want of its backup
  char separator_ = '/';
  MakeDirectory makeDirectory_;
  std::string setPath_;
  bool regStarted_ = false;
  std::size_t refusals_ = 0;
  std::string lastRefusal_;
  std::map<int, std::string> writablePaths_;     // descriptors open for writing, by the path they were opened with
  std::map<HKey, std::string> keyPaths_;         // open keys, by their full name
  std::map<std::string, KeptFile> files_;        // by lower-cased Windows path
  std::map<std::string, std::string> regRefused_;  // "key\nvalue" lower-cased: why
};

}  // namespace purgato
