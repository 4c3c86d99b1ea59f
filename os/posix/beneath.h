// Opening a path beneath a folder descriptor so that neither ".." nor a
// symbolic link can lead out of it.
#pragma once

namespace purgato {

// openat2 with RESOLVE_BENEATH; where the kernel has no openat2, falls back
// to openBeneathByComponents. A descriptor, or -1 with errno set.
int openBeneath(int dirFd, const char* path, int flags);
// One name at a time with O_NOFOLLOW: ".." and every link are refused.
int openBeneathByComponents(int dirFd, const char* path, int flags);
// openBeneath for a read that leaves the file's access time alone
// (O_NOATIME), where the system allows it: the process owns the file or
// is privileged. Elsewhere the same open without it.
int openBeneathQuietly(int dirFd, const char* path, int flags);

}  // namespace purgato
