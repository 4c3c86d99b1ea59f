// Writes the seed corpora of the fuzz targets:
//   make_fuzz_corpus DIR [PERF_DIR]
// DIR for the scanner, PERF_DIR (when given) for the performance data.
// The fuzz target picks the file name from the first byte (value % 3:
// 0 a program file, 1 win.ini, 2 autoexec), so the text seeds start with a
// character that selects their name.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s DIR [PERF_DIR]\n", argv[0]);
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
  if (!ok || (argc == 3 && !writePerfSeeds(argv[2]))) {
    std::fprintf(stderr, "cannot write the corpus into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
