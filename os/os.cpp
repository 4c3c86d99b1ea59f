#include "os/os.h"

#include <cstring>

namespace purgato {

std::uint32_t Os::getFileAttributes(const char* path) {
  // A wildcard would make the listing answer for some other name.
  if (path == nullptr || std::strpbrk(path, "*?") != nullptr) return kInvalidFileAttributes;
  FindData data;
  const OsHandle find = findFirstFile(path, &data);
  if (find == kInvalidHandle) return kInvalidFileAttributes;
  findClose(find);
  return data.attributes;
}

long Os::regQueryInfoKey(HKey, std::uint64_t* lastWriteTime) {
  if (lastWriteTime != nullptr) *lastWriteTime = 0;
  return kErrorInvalidFunction;
}

std::uint64_t Os::getSystemTimeAsFileTime() { return 0; }

long Os::lastError() { return 0; }

}  // namespace purgato
