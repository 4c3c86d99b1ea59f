// libFuzzer target: arbitrary bytes as one file handed to scanFile.
//
// The first byte picks the file's name (so every branch of the scanner is
// reachable: a program file, a win.ini, an autoexec) and whether the scan
// runs in process-image mode. The temp volume is made once; the one file is
// rewritten for each input, as the scan may delete or cut it.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/file_scanner.h"
#include "session/session.h"
#include "tests/support/fake_os.h"
#include "tests/support/temp_volume.h"

namespace {

using purgato::FakeOs;

const char* const kNames[3] = {"C:\\FUZZ\\SAMPLE.EXE", "C:\\WINDOWS\\WIN.INI", "C:\\AUTOEXEC.BAT"};

purgato::TempVolume& volume() {
  static purgato::TempVolume v;
  return v;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

// Each input rewrites a file; on a disk file system the truncation and the
// flush on close cost far more than the scan, so the volume goes in memory.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  struct stat st;
  if (std::getenv("TMPDIR") == nullptr && ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode))
    ::setenv("TMPDIR", "/dev/shm", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const unsigned selector = size > 0 ? data[0] : 0;
  const char* name = kNames[selector % 3];
  volume().writeFile(name, std::vector<std::uint8_t>(data, data + size));

  // A fresh double per input: its records would otherwise grow for ever.
  FakeOs os;
  os.mapDrive('C', volume().drive('C'));
  purgato::ScanSession session;
  session.progressWindow = 0x100;
  session.processImageMode = (selector & 0x80) != 0;
  os.attach(session);

  char path[purgato::kPathSize];
  std::strcpy(path, name);
  const int result = purgato::scanFile(session, os, "W32/Opaserv.Worm", path);

  check(result == 0 || result == 1);
  check(os.liveFiles() == 0 && os.badCloses() == 0);
  check(session.filesInfected >= 0 && session.filesInfected <= 1);
  check(session.filesDisinfected <= session.filesInfected);
  check(session.filesDeleted <= session.filesInfected);
  if (result == 1) {
    check(session.filesInfected == 1 && session.detectedName[0] != '\0');
    check(std::strcmp(session.statusText, name) == 0);
  }
  if (session.processImageMode) {
    // A process image is only recorded; what follows is the process phase's.
    check(session.imageInfected == (result == 1));
    if (result == 1) check(session.filesDeleted == 0 && session.chosenAction == 0);
  } else {
    check(!session.imageInfected);
  }
  return 0;
}
