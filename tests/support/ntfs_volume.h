// A small NTFS volume for tests: made with mkntfs on a loop device and
// mounted through ntfs-3g (Debian's ntfs-3g), or not ready, with the reason,
// where this machine does not allow it.
#pragma once

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace purgato {

// A small NTFS volume made with mkntfs on a loop device, mounted through
// ntfs-3g; empty when this machine does not allow it (why says so).
class NtfsVolume {
 public:
  NtfsVolume() {
    char templ[] = "/tmp/ntfs_volume.XXXXXX";
    if (::getuid() != 0 || ::mkdtemp(templ) == nullptr) {
      why = "loop devices and mounts need root";
      return;
    }
    base_ = templ;
    const std::string image = base_ + "/image";
    mount = base_ + "/mnt";
    std::ofstream(image, std::ios::binary).flush();
    if (::truncate(image.c_str(), 8 << 20) != 0 || ::mkdir(mount.c_str(), 0755) != 0 ||
        std::system(("mkntfs -F -Q -q " + image + " >/dev/null 2>&1").c_str()) != 0) {
      why = "mkntfs (Debian's ntfs-3g) is not installed";
      return;
    }
    if (FILE* out = ::popen(("losetup -f --show " + image + " 2>/dev/null").c_str(), "r")) {
      char line[64] = "";
      if (std::fgets(line, sizeof line, out)) device_ = std::string(line, std::strcspn(line, "\n"));
      ::pclose(out);
    }
    if (device_.empty()) {
      why = "loop devices are not allowed here";
      return;
    }
    if (std::system(("ntfs-3g " + device_ + " " + mount + " >/dev/null 2>&1").c_str()) != 0) {
      why = "ntfs-3g cannot mount here (no FUSE)";
      return;
    }
    mounted_ = true;
  }
  ~NtfsVolume() {
    if (mounted_) quietly("umount " + mount);
    if (!device_.empty()) quietly("losetup -d " + device_);
    if (!base_.empty()) quietly("rm -rf " + base_);
  }
  bool ready() const { return mounted_; }
  static bool quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
  std::string mount;
  std::string why;

 private:
  std::string base_, device_;
  bool mounted_ = false;
};

}  // namespace purgato
