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

int Os::write(int, const void*, unsigned) { return -1; }

unsigned Os::getShortPathName(const char*, char*, unsigned) { return 0; }

bool Os::moveFileEx(const char*, const char*, std::uint32_t) { return false; }

long Os::regQueryInfoKey(HKey, std::uint64_t* lastWriteTime) {
  if (lastWriteTime != nullptr) *lastWriteTime = 0;
  return kErrorInvalidFunction;
}

std::uint64_t Os::getSystemTimeAsFileTime() { return 0; }

long Os::lastError() { return 0; }

long Os::regEnumValue(HKey, std::uint32_t, char*, std::uint32_t*, std::uint32_t*, std::uint8_t*, std::uint32_t*) {
  return kErrorInvalidFunction;
}

}  // namespace purgato
