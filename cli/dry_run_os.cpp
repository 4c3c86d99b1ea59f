#include "cli/dry_run_os.h"

#include <cstdio>

#include "os/text.h"

namespace purgato {

namespace {

std::string lowered(const char* text) {
  std::string out = text != nullptr ? text : "";
  for (char& c : out) c = lowerAscii(c);
  return out;
}

std::string rootName(HKey root) {
  char name[32];
  std::snprintf(name, sizeof name, "%#lx", static_cast<unsigned long>(root));
  return name;
}

std::string joined(const std::string& base, const char* subKey) {
  const std::string sub = lowered(subKey);
  if (sub.empty()) return base;
  return base + "\\" + sub;
}

}  // namespace

bool DryRunOs::fileDeleted(const char* path) const {
  return !deletedFiles_.empty() && deletedFiles_.count(lowered(path)) != 0;
}

bool DryRunOs::skipDeleted(OsHandle find, FindData* data) {
  const auto it = searches_.find(find);
  if (it == searches_.end() || deletedFiles_.empty()) return true;
  while (deletedFiles_.count(lowered((it->second + data->fileName).c_str())) != 0) {
    if (!inner().findNextFile(find, data)) return false;
  }
  return true;
}

OsHandle DryRunOs::findFirstFile(const char* pattern, FindData* data) {
  const OsHandle find = inner().findFirstFile(pattern, data);
  if (find == kInvalidHandle) return find;
  const std::string text = pattern != nullptr ? pattern : "";
  const std::size_t slash = text.rfind('\\');
  searches_[find] = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
  if (skipDeleted(find, data)) return find;
  findClose(find);  // only deleted files matched: as if nothing did
  return kInvalidHandle;
}

bool DryRunOs::findNextFile(OsHandle find, FindData* data) {
  return inner().findNextFile(find, data) && skipDeleted(find, data);
}

bool DryRunOs::findClose(OsHandle find) {
  searches_.erase(find);
  return inner().findClose(find);
}

int DryRunOs::open(const char* path, int flags) {
  if (fileDeleted(path)) return -1;
  // No descriptor of a dry run can write: a write open reads instead.
  if ((flags & (kOWrOnly | kORdWr)) != 0) flags = (flags & ~(kOWrOnly | kORdWr)) | kORdOnly;
  return inner().open(path, flags & ~(kOCreat | kOExcl));
}

int DryRunOs::access(const char* path, int mode) { return fileDeleted(path) ? -1 : inner().access(path, mode); }

std::uint32_t DryRunOs::getFileAttributes(const char* path) {
  return fileDeleted(path) ? kInvalidFileAttributes : inner().getFileAttributes(path);
}

int DryRunOs::chsize(int fd, std::int32_t size) {
  // The length the descriptor's file would be cut to must lie within it.
  const std::int32_t length = inner().lseek(fd, 0, kSeekEnd);
  return length >= 0 && size >= 0 && size <= length ? 0 : -1;
}

int DryRunOs::write(int fd, const void*, unsigned count) {
  return inner().lseek(fd, 0, kSeekCur) >= 0 ? static_cast<int>(count) : -1;
}

bool DryRunOs::setFileAttributes(const char* path, std::uint32_t) {
  return getFileAttributes(path) != kInvalidFileAttributes;
}

bool DryRunOs::deleteFile(const char* path) {
  const std::uint32_t attributes = getFileAttributes(path);
  if (attributes == kInvalidFileAttributes || (attributes & kAttrDirectory) != 0) return false;
  deletedFiles_.insert(lowered(path));
  return true;
}

bool DryRunOs::moveFileEx(const char* existing, const char* newName, std::uint32_t flags) {
  if (newName != nullptr || (flags & kMoveFileDelayUntilReboot) == 0) return false;  // never asked for
  return deleteFile(existing);
}

std::string DryRunOs::keyPath(HKey key) const {
  const auto it = openKeys_.find(key);
  if (it != openKeys_.end()) return it->second;
  return rootName(key);  // a predefined root
}

bool DryRunOs::keyHidden(const std::string& path) const {
  for (const std::string& deleted : deletedKeys_) {
    if (path == deleted || (path.size() > deleted.size() && path.compare(0, deleted.size(), deleted) == 0 &&
                            path[deleted.size()] == '\\'))
      return true;
  }
  return false;
}

long DryRunOs::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  if (registryThrough_) return inner().regOpenKeyEx(root, subKey, access, result);
  const std::string path = joined(keyPath(root), subKey);
  if (keyHidden(path)) return kErrorFileNotFound;
  const long rc = inner().regOpenKeyEx(root, subKey, access, result);
  if (rc == kErrorSuccess) openKeys_[*result] = path;
  return rc;
}

long DryRunOs::regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size) {
  if (registryThrough_) return inner().regQueryValueEx(key, valueName, type, data, size);
  if (deletedValues_.count({keyPath(key), lowered(valueName)}) != 0) return kErrorFileNotFound;
  return inner().regQueryValueEx(key, valueName, type, data, size);
}

long DryRunOs::regDeleteValue(HKey key, const char* valueName) {
  if (registryThrough_) return inner().regDeleteValue(key, valueName);
  const std::pair<std::string, std::string> value{keyPath(key), lowered(valueName)};
  if (deletedValues_.count(value) != 0) return kErrorFileNotFound;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  const long rc = inner().regQueryValueEx(key, valueName, &type, nullptr, &size);
  if (rc != kErrorSuccess && rc != kErrorMoreData) return rc;
  deletedValues_.insert(value);
  return kErrorSuccess;
}

long DryRunOs::regDeleteKey(HKey root, const char* subKey) {
  if (registryThrough_) return inner().regDeleteKey(root, subKey);
  const std::string path = joined(keyPath(root), subKey);
  if (lowered(subKey).empty() || keyHidden(path)) return kErrorFileNotFound;
  HKey key = 0;
  const long rc = inner().regOpenKeyEx(root, subKey, kKeyRead, &key);
  if (rc != kErrorSuccess) return rc;
  inner().regCloseKey(key);
  deletedKeys_.insert(path);
  return kErrorSuccess;
}

long DryRunOs::regCloseKey(HKey key) {
  if (registryThrough_) return inner().regCloseKey(key);
  openKeys_.erase(key);
  return inner().regCloseKey(key);
}

bool DryRunOs::terminateProcess(OsHandle process, std::uint32_t) { return process != 0; }

bool DryRunOs::controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
  ServiceStatus now{};
  if (!inner().queryServiceStatus(service, &now)) return false;
  if (control == kServiceControlStop) {
    stoppedServices_.insert(service);
    now.currentState = kServiceStopPending;
  }
  if (status != nullptr) *status = now;
  return true;
}

bool DryRunOs::queryServiceStatus(OsHandle service, ServiceStatus* status) {
  if (!inner().queryServiceStatus(service, status)) return false;
  if (stoppedServices_.count(service) != 0) status->currentState = kServiceStopped;
  return true;
}

bool DryRunOs::closeServiceHandle(OsHandle handle) {
  stoppedServices_.erase(handle);
  return inner().closeServiceHandle(handle);
}

}  // namespace purgato
