// libFuzzer target: arbitrary bytes as a registry hive on a pulled disk,
// which whoever last ran that computer could write.
//
// The first byte's low bit picks the hive (0 SOFTWARE, 1 SYSTEM); the rest
// is the hive file. It goes through what a scan does with it: the Run
// checks for a few file names in both registry views, the deletion of
// what they find, the service lookup and its key deletions, and the
// write-back, into a private temporary folder (on /dev/shm where there is
// one, so that the flushes cost nothing).
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "clean/registry_cleanup.h"
#include "os/posix/offline_registry.h"
#include "os/posix/posix_os.h"
#include "session/session.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

struct Volume {
  std::string root;
  std::string config;
  Volume() {
    std::string templ = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/fuzz_hive.XXXXXX";
    check(::mkdtemp(&templ[0]) != nullptr);
    root = templ;
    ::setenv("TMPDIR", root.c_str(), 1);  // the write-back's private folder, here too
    for (const char* folder : {"/C", "/C/WINNT", "/C/WINNT/system32", "/C/WINNT/system32/config"})
      check(::mkdir((root + folder).c_str(), 0755) == 0);
    config = root + "/C/WINNT/system32/config";
  }
  ~Volume() { ::nftw(root.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static Volume volume;
  const bool system = (data[0] & 1) != 0;
  const std::string hive = volume.config + (system ? "/SYSTEM" : "/SOFTWARE");
  for (const char* suffix : {"", ".purgato-backup", ".purgato-new", ".purgato-old"})
    ::unlink((hive + suffix).c_str());
  {
    std::ofstream out(hive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    check(bool(out));
  }

  purgato::PosixOs posix;
  posix.mapDrive('C', volume.root + "/C");
  posix.setWindowsDirectory("C:\\WINNT");
  purgato::OfflineRegistryOs registry(posix);
  std::string error;
  if (!registry.loadHive(system ? purgato::OfflineRegistryOs::Hive::kSystem : purgato::OfflineRegistryOs::Hive::kSoftware,
                         hive, &error))
    return 0;

  purgato::ScanSession session;
  session.progressWindow = 1;
  session.wow64RunView = true;
  if (!system) {
    for (const char* file : {"C:\\WINNT\\system32\\mstask.exe", "C:\\WINNT\\scrsvr.exe", "C:\\t\xc3\xa4sk.exe"}) {
      purgato::cleanRunEntries(session, registry, file);
      purgato::cleanWormRunEntry(session, registry, file);
    }
  } else {
    for (const char* service : {"mstask", "scrsvr"}) {
      for (const char* set : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
        const std::string key = std::string("SYSTEM\\") + set + "\\Services\\" + service;
        char image[520];
        purgato::readRegistryString(registry, purgato::kHkeyLocalMachine, key.c_str(), "ImagePath", image,
                                    sizeof image);
        std::string text;  // as the service step reads it: UTF-16 to UTF-8
        registry.readText(key.c_str(), "ImagePath", &text);
      }
      purgato::deleteServiceKeys(registry, service);
    }
  }
  std::vector<std::string> errors;
  registry.commit(&errors);
  return 0;
}
