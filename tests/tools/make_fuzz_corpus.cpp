// Writes the seed corpus of the scanner fuzz target into DIR:
//   make_fuzz_corpus DIR
// The fuzz target picks the file name from the first byte (value % 3:
// 0 a program file, 1 win.ini, 2 autoexec), so the text seeds start with a
// character that selects their name.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
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
  if (!ok) {
    std::fprintf(stderr, "cannot write the corpus into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
