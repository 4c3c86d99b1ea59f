// What the floor walks read of each file: the least the scanner must read,
// the same in the serial and the parallel floor so that they compare.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

// On an open descriptor: fstat, then three small preads (the head, the
// e_lfanew field, 20 bytes where it points). False for anything but a
// regular file; *checksum takes in what was read, so nothing is optimised
// away.
inline bool floorReads(int fd, std::uint64_t* checksum) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  unsigned char head[64];
  unsigned char field[4];
  unsigned char window[20];
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  std::uint32_t where = 0;
  if (::pread(fd, field, sizeof field, 60) == 4)
    where = field[0] | field[1] << 8 | field[2] << 16 | static_cast<std::uint32_t>(field[3]) << 24;
  if (info.st_size > 0) where %= static_cast<std::uint64_t>(info.st_size);
  const ssize_t got2 = ::pread(fd, window, sizeof window, where);
  *checksum += static_cast<std::uint64_t>(got + got2) + (got > 0 ? head[0] : 0) + (got2 > 0 ? window[0] : 0);
  return true;
}
