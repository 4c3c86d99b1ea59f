#include "cli/win32/unread_places_os.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "clean/terminate.h"
#include "os/text.h"

namespace purgato {

namespace {

bool hasWildcard(const char* pattern) {
  const char* leaf = std::strrchr(pattern, '\\');
  return std::strpbrk(leaf != nullptr ? leaf : pattern, "*?") != nullptr;
}

// The folder part of a pattern, its backslash kept ("C:\\dir\\*.*" -> "C:\\dir\\").
std::string folderOf(const char* pattern) {
  const char* leaf = std::strrchr(pattern, '\\');
  return leaf != nullptr ? std::string(pattern, static_cast<std::size_t>(leaf + 1 - pattern)) : std::string();
}

// How a place is named: "C:\\dir" for a folder, "C:\\" for a root.
std::string placeOfFolder(const std::string& folder) {
  return folder.size() > 3 && folder.back() == '\\' ? folder.substr(0, folder.size() - 1) : folder;
}

// Errors that mean "not there": nothing was missed.
bool isAbsence(unsigned long error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES;
}

}  // namespace

std::string win32ErrorText(unsigned long error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "Permission denied";  // as the C run-time maps them (EACCES)
    case ERROR_NOT_READY: return "Device not ready";
    case ERROR_CRC: return "Input/output error";
    case ERROR_INVALID_NAME: return "Invalid name";
    case ERROR_DIRECTORY: return "Not a directory";
    case ERROR_CANT_RESOLVE_FILENAME: return "Too many levels of symbolic links";
    case ERROR_FILE_CORRUPT: return "The file or folder is corrupt";
    default: return "Windows error " + std::to_string(error);
  }
}

// On the NT family a folder an administrator is denied is, as a rule,
// one only the SYSTEM account may read (C:\System Volume Information).
std::string UnreadPlacesOs::folderErrorText(unsigned long error) {
  std::string text = win32ErrorText(error);
  if (error != ERROR_ACCESS_DENIED) return text;
  if (family_ == 0) family_ = platformClass(*this);
  if (family_ == kFamilyNT) text += " (an administrator cannot read this folder; running as SYSTEM scans it)";
  return text;
}

void UnreadPlacesOs::note(const std::string& windowsPath, UnreadPlace kind, const std::string& reason) {
  std::string key = windowsPath;
  for (char& c : key) c = lowerAscii(c);
  if (!noted_.insert(key).second) return;
  if (sink_) sink_(windowsPath, kind, reason);
}

// The walker builds each entry's path as the pattern's folder and the name,
// in 260 bytes; what does not fit it passes over without a word.
void UnreadPlacesOs::checkLength(const std::string& folder, const FindData& data) {
  const std::size_t length = std::strlen(data.fileName);
  const std::size_t full = folder.size() + length;
  if (full + 4 < static_cast<std::size_t>(kPathSize)) return;
  if (std::strcmp(data.fileName, ".") == 0 || std::strcmp(data.fileName, "..") == 0) return;
  if (full >= static_cast<std::size_t>(kPathSize)) {
    note(folder + data.fileName, UnreadPlace::kTooLong, std::string());
  } else if ((data.attributes & (kAttrDirectory | kAttrReparsePoint)) == kAttrDirectory) {
    // Its own pattern, "\\*.*" added, would not fit.
    note(folder + data.fileName, UnreadPlace::kFolderTooDeep, std::string());
  }
}

OsHandle UnreadPlacesOs::findFirstFile(const char* pattern, FindData* data) {
  const OsHandle find = ForwardingOs::findFirstFile(pattern, data);
  if (!hasWildcard(pattern)) return find;
  const std::string folder = folderOf(pattern);
  if (find == kInvalidHandle) {
    const unsigned long error = GetLastError();
    if (!isAbsence(error)) note(placeOfFolder(folder), UnreadPlace::kUnreadable, folderErrorText(error));
    return find;
  }
  checkLength(folder, *data);
  folders_[find] = folder;
  return find;
}

bool UnreadPlacesOs::findNextFile(OsHandle find, FindData* data) {
  if (ForwardingOs::findNextFile(find, data)) {
    const auto listing = folders_.find(find);
    if (listing != folders_.end()) checkLength(listing->second, *data);
    return true;
  }
  // A listing that ends with another error than its end was cut short.
  const unsigned long error = GetLastError();
  const auto listing = folders_.find(find);
  if (listing != folders_.end() && !isAbsence(error) && error != ERROR_SUCCESS)
    note(placeOfFolder(listing->second), UnreadPlace::kUnreadable, win32ErrorText(error));
  return false;
}

bool UnreadPlacesOs::findClose(OsHandle find) {
  folders_.erase(find);
  return ForwardingOs::findClose(find);
}

int UnreadPlacesOs::open(const char* path, int flags) {
  const int fd = ForwardingOs::open(path, flags);
  if ((flags & 0x0003) != kORdOnly) return fd;  // only reading is the scan's looking
  if (fd < 0) {
    const int error = errno;
    if (error != ENOENT) note(path, UnreadPlace::kUnreadable, std::strerror(error));
    return fd;
  }
  files_[fd] = path;
  return fd;
}

int UnreadPlacesOs::read(int fd, void* buffer, unsigned count) {
  const int got = ForwardingOs::read(fd, buffer, count);
  if (got < 0) {
    const int error = errno;
    const auto file = files_.find(fd);
    if (file != files_.end()) note(file->second, UnreadPlace::kUnreadable, std::strerror(error));
  }
  return got;
}

int UnreadPlacesOs::close(int fd) {
  files_.erase(fd);
  return ForwardingOs::close(fd);
}

}  // namespace purgato
