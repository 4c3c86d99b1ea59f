// The floor a scan is measured against: the least work that looks at every
// file the way the scanner must. Recursive readdir; per regular file an open,
// an fstat (the length), a read of the first 64 bytes, of the 4 bytes at 60
// and of 20 bytes at an offset taken from those, and a close.
//
//   floor_walk FOLDER   prints "files N" (and a checksum, so nothing is
//                       optimised away)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/floor_reads.h"

namespace {

struct Totals {
  std::uint64_t files = 0;
  std::uint64_t checksum = 0;
};

void scanFile(int dirFd, const char* name, Totals* totals) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  if (floorReads(fd, &totals->checksum)) ++totals->files;
  ::close(fd);
}

void walk(int dirFd, Totals* totals) {
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    return;
  }
  // Files first, then folders, as the walker does; folders are remembered
  // by name so the listing is read once.
  std::vector<std::string> folders;
  while (struct dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info;
      if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_REG) {
      scanFile(::dirfd(dir), name, totals);
    } else if (type == DT_DIR) {
      folders.emplace_back(name);
    }
  }
  for (const std::string& folder : folders) {
    const int child = ::openat(::dirfd(dir), folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (child >= 0) walk(child, totals);
  }
  ::closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor_walk FOLDER\n");
    return 2;
  }
  const int root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    std::perror(argv[1]);
    return 2;
  }
  Totals totals;
  walk(root, &totals);
  std::printf("files %llu checksum %llu\n", static_cast<unsigned long long>(totals.files),
              static_cast<unsigned long long>(totals.checksum));
  return 0;
}
