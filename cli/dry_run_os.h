// The dry run: a layer over the seam that answers every call that would
// change the machine as the change would answer when it succeeds, without
// making it. Reads go through, so the scan finds, counts and reports what a
// real scan would; what the dry run "deleted" (files, registry values and
// keys) it no longer shows, so each is reported once, as in a real scan.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>

#include "os/forwarding_os.h"

namespace purgato {

class DryRunOs final : public ForwardingOs {
 public:
  explicit DryRunOs(Os& inner) : ForwardingOs(inner) {}

  // The registry below is dry by itself (the offline hives of a dry run,
  // changed in memory only and never written): registry calls go to it, so
  // that the dry run meets the very refusals a real scan meets.
  void letRegistryThrough() { registryThrough_ = true; }

  // Files: a write open reads only and creates nothing; writes, cuts and
  // attribute changes succeed where the file is; a delete succeeds for an
  // existing file, which from then on is missing from listings and opens,
  // and so does a delete asked for the next start of Windows.
  OsHandle findFirstFile(const char* pattern, FindData* data) override;
  bool findNextFile(OsHandle find, FindData* data) override;
  bool findClose(OsHandle find) override;
  int open(const char* path, int flags) override;
  int access(const char* path, int mode) override;
  std::uint32_t getFileAttributes(const char* path) override;
  int write(int fd, const void* buffer, unsigned count) override;
  int chsize(int fd, std::int32_t size) override;
  bool setFileAttributes(const char* path, std::uint32_t attributes) override;
  bool deleteFile(const char* path) override;
  bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags) override;

  // Registry: deleted values and keys vanish from this layer's view only.
  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long regCloseKey(HKey key) override;

  // Processes and services: ended and stopped in this layer's view only.
  bool terminateProcess(OsHandle process, std::uint32_t exitCode) override;
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override;
  bool queryServiceStatus(OsHandle service, ServiceStatus* status) override;
  bool closeServiceHandle(OsHandle handle) override;

 private:
  // "<root>\<key path>", lower-cased, of an open key; "" when not known.
  std::string keyPath(HKey key) const;
  bool keyHidden(const std::string& path) const;
  bool fileDeleted(const char* path) const;
  // Moves a listing past the entries of deleted files; false at its end.
  bool skipDeleted(OsHandle find, FindData* data);

  std::map<OsHandle, std::string> searches_;  // the folder of each listing, with its backslash
  std::set<std::string> deletedFiles_;        // lower-cased paths

  std::map<HKey, std::string> openKeys_;
  std::set<std::string> deletedKeys_;
  std::set<std::pair<std::string, std::string>> deletedValues_;  // (key path, lower-cased value name)
  std::set<OsHandle> stoppedServices_;
  bool registryThrough_ = false;
};

}  // namespace purgato
