// Writes the seed corpora of the fuzz targets:
//   make_fuzz_corpus DIR [PERF_DIR [HIVE_DIR]]
// DIR for the scanner, PERF_DIR (when given) for the performance data,
// HIVE_DIR for the offline hives (the hives the tests build, each behind
// the byte that picks SOFTWARE or SYSTEM).
// The fuzz target picks the file name from the first byte (value % 3:
// 0 a program file, 1 win.ini, 2 autoexec), so the text seeds start with a
// character that selects their name.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/hive_builder.h"
#include "tests/support/perf_data.h"
#include "tests/support/samples.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool writeSeed(const std::string& dir, const char* name, const Bytes& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bool(out);
}

Bytes truncatedPe() {
  // Ends inside the optional header.
  Bytes bytes = purgato::buildPe(purgato::PeImage{});
  bytes.resize(0x80 + 24 + 60);
  return bytes;
}

Bytes manySectionsPe() {
  // Row 4's sample (12800 bytes) claiming 21 sections: never matched.
  Bytes bytes = purgato::buildWormSample(3);
  purgato::putLe16(bytes, 0x80 + purgato::kPeNumberOfSections, 21);
  return bytes;
}

// The performance-data target reads a selector byte first: 0 a Counters
// value; 1 a data block, after the id counter's index (four bytes).
Bytes perfSeed(const Bytes& block) {
  Bytes bytes{1, 0, 0, 0, 0};
  purgato::putLe32(bytes, 1, purgato::kPerfIdProcessIndex);
  bytes.insert(bytes.end(), block.begin(), block.end());
  return bytes;
}

bool writePerfSeeds(const std::string& dir) {
  Bytes names{0};
  const Bytes counters = purgato::buildCounterNames(purgato::defaultCounterNames());
  names.insert(names.end(), counters.begin(), counters.end());
  return writeSeed(dir, "counter_names.bin", names) &&
         writeSeed(dir, "block_three.bin",
                   perfSeed(purgato::buildPerfData({{"Idle", 0}, {"explorer", 412}, {"scrsvr", 1044}}))) &&
         writeSeed(dir, "block_empty.bin", perfSeed(purgato::buildPerfData({})));
}

bool writeHiveSeed(const std::string& dir, const char* name, std::uint8_t selector,
                   const purgato::HiveBuilder& hive) {
  const std::string scratch = dir + "/" + name + ".tmp";
  hive.write(scratch);
  std::ifstream in(scratch, std::ios::binary);
  Bytes bytes{selector};
  bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), {});
  std::remove(scratch.c_str());
  return writeSeed(dir, name, bytes);
}

bool writeHiveSeeds(const std::string& dir) {
  const char run[] = "Microsoft\\Windows\\CurrentVersion\\Run";
  const char run32[] = "Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
  purgato::HiveBuilder software("SOFTWARE");
  software.text(run, "ScrSvr", "C:\\WINNT\\scrsvr.exe")
      .text(run, "MSTASK", "C:\\WINNT\\system32\\mstask.exe")
      .text(run, "Helper", "C:\\Program Files\\Helper\\helper.exe")
      .dword(run, "Count", 7)
      .value(run, "Blob", purgato::kHiveRegBinary, {1, 2, 3, 4, 5, 6, 7, 8, 9})
      .text(run32, "brasil", "C:\\WINDOWS\\brasil.exe")
      .text(run32, "t\xe4sk", "C:\\t\xe4sk.exe");
  purgato::HiveBuilder system("SYSTEM");
  for (const char* set : {"ControlSet001", "ControlSet002"}) {
    const std::string services = std::string(set) + "\\Services\\";
    system.text(services + "mstask", "ImagePath", "%SystemRoot%\\system32\\mstask.exe", purgato::kHiveRegExpandSz)
        .key(services + "mstask\\Enum")
        .value(services + "mstask\\Security", "Security", purgato::kHiveRegBinary, {1, 0, 4, 0x80})
        .text(services + "Tcpip", "ImagePath", "system32\\drivers\\tcpip.sys", purgato::kHiveRegExpandSz);
  }
  system.dword("Select", "Current", 1);
  return writeHiveSeed(dir, "software.hive", 0, software) && writeHiveSeed(dir, "system.hive", 1, system) &&
         writeHiveSeed(dir, "empty.hive", 0, purgato::HiveBuilder("SOFTWARE"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s DIR [PERF_DIR [HIVE_DIR]]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const bool ok =
      writeSeed(dir, "worm_row4.exe", purgato::buildWormSample(3)) &&
      writeSeed(dir, "truncated_pe.exe", truncatedPe()) &&
      writeSeed(dir, "sections_21.exe", manySectionsPe()) &&
      writeSeed(dir, "companion.dat", purgato::buildCompanionFile()) &&
      writeSeed(dir, "win_ini_tail.txt",
                purgato::toBytes(purgato::winIniWithWormTail("[boot]\r\nshell=Explorer.exe\r\n"))) &&
      writeSeed(dir, "autoexec_tail.txt",
                purgato::toBytes(purgato::autoexecWithMarker("PATH C:\\WINDOWS;C:\\WINDOWS\\COMMAND\r\n")));
  if (!ok || (argc >= 3 && !writePerfSeeds(argv[2])) || (argc == 4 && !writeHiveSeeds(argv[3]))) {
    std::fprintf(stderr, "cannot write the corpus into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
