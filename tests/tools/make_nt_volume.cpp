// Builds a harmless Windows NT-style volume for purgato-scan's offline
// registry:
//
//   make_nt_volume DIR   DIR/WINNT with system32\config\SOFTWARE and SYSTEM
//                        hives built from nothing (no real hive is copied),
//                        a worm sample at WINNT\system32\mstask.exe and a
//                        clean program beside it.
//
// SOFTWARE's Run key holds the worm's values (scrsvr, Brasil and mstask,
// named after the sample) and a clean one; SYSTEM holds, in ControlSet001
// and ControlSet002, a service mstask whose image is the sample and a clean
// service, and Select\Current = 1.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/hive_builder.h"
#include "tests/support/samples.h"

namespace {

void makeFolders(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    ::mkdir(path.substr(0, at).c_str(), 0755);
  ::mkdir(path.c_str(), 0755);
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace purgato;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_nt_volume DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  try {
    makeFolders(dir + "/WINNT/system32/config");
    writeFile(dir + "/WINNT/system32/mstask.exe", buildWormSample(0));
    PeImage clean;
    clean.length = 16384;
    writeFile(dir + "/WINNT/system32/spoolsv.exe", buildPe(clean));

    const std::string run = "Microsoft\\Windows\\CurrentVersion\\Run";
    HiveBuilder software("SOFTWARE");
    software.text(run, "scrsvr", "C:\\WINNT\\scrsvr.exe")
        .text(run, "Brasil", "C:\\WINNT\\brasil.exe")
        .text(run, "mstask", "C:\\WINNT\\system32\\mstask.exe")
        .text(run, "SoundMixer", "C:\\Program Files\\Mixer\\mixer.exe")
        .text("Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "5.1");
    software.write(dir + "/WINNT/system32/config/SOFTWARE");

    HiveBuilder system("SYSTEM");
    for (const char* set : {"ControlSet001", "ControlSet002"}) {
      const std::string services = std::string(set) + "\\Services\\";
      system.text(services + "mstask", "ImagePath", "%SystemRoot%\\system32\\mstask.exe", kHiveRegExpandSz)
          .dword(services + "mstask", "Start", 2)
          .key(services + "mstask\\Enum")
          .value(services + "mstask\\Security", "Security", kHiveRegBinary, {1, 0, 4, 0x80})
          .text(services + "Spooler", "ImagePath", "%SystemRoot%\\system32\\spoolsv.exe", kHiveRegExpandSz)
          .dword(services + "Spooler", "Start", 2)
          .key(services + "Spooler\\Security");
    }
    system.dword("Select", "Current", 1).dword("Select", "Default", 1).dword("Select", "LastKnownGood", 2);
    system.write(dir + "/WINNT/system32/config/SYSTEM");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_nt_volume: %s\n", e.what());
    return 1;
  }
  return 0;
}
