// Builds harmless sample volumes for purgato-scan.
//
//   make_samples DIR             a small Windows-like demo volume for drive C:
//                                a sample of every signature row under
//                                plausible names, the companion file, a
//                                win.ini and an AUTOEXEC.BAT carrying the
//                                worm's entries, clean files, and look-alikes
//                                that must survive a scan.
//   make_samples --bench N DIR   the benchmark tree: N files (default 50000)
//                                in three levels of folders, mostly small
//                                clean files, about 5% clean PE images, two
//                                samples of each row and the start-up files.
//                                DIR.stash/tree holds copies of every file a
//                                scan deletes or cuts (copy it over DIR to
//                                restore), DIR.stash/list their paths.
//
// The samples are zero-filled PE headers with the signature bytes at the
// places the scanner looks; none of them is a program.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/signatures.h"
#include "tests/support/samples.h"

namespace {

using purgato::buildCompanionFile;
using purgato::buildNearMiss;
using purgato::buildPe;
using purgato::buildWormSample;
using purgato::PeImage;
using purgato::toBytes;
using Bytes = std::vector<std::uint8_t>;

constexpr int kRows = purgato::kSignatureRows;

void makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot make folder " + prefix + ": " + std::strerror(errno));
    if (slash == std::string::npos) return;
  }
}

void writeFile(const std::string& path, const Bytes& bytes) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) makeFolders(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) { writeFile(path, toBytes(text)); }

// A small, fixed pseudo-random sequence, so every run builds the same tree.
struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::uint32_t below(std::uint32_t bound) { return next() % bound; }
};

// A clean PE image: headers, zeros, a little varied content.
Bytes cleanPe(std::uint32_t length, Random* random) {
  PeImage image;
  image.length = length;
  image.entryPoint = 0x1000 + (random->below(0x100) << 4);
  Bytes bytes = buildPe(image);
  for (std::size_t i = 0x400; i < bytes.size(); i += 97) bytes[i] = static_cast<std::uint8_t>(random->next());
  return bytes;
}

Bytes cleanText(std::uint32_t length, Random* random) {
  static const char* const kWords[] = {"system", "driver", "[boot]", "shell=", "path", "device", "load=",
                                       "font", "display", "keyboard", "mouse", "network", "\r\n"};
  std::string text;
  while (text.size() < length) {
    text += kWords[random->below(sizeof kWords / sizeof *kWords)];
    text += ' ';
  }
  text.resize(length);
  return toBytes(text);
}

Bytes cleanBinary(std::uint32_t length, Random* random) {
  Bytes bytes(length);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random->next());
  // Not "MZ...PE": a random e_lfanew almost never meets "PE\0\0".
  return bytes;
}

// --- The demo volume ------------------------------------------------------

struct SamplePlace {
  int row;
  const char* path;  // relative to the volume, '/' separators
};

// One of each row, under names the worm family used or that look at home.
const SamplePlace kDemoSamples[kRows] = {
    {0, "WINDOWS/SCRSVR.EXE"},
    {1, "WINDOWS/BRASIL.EXE"},
    {2, "WINDOWS/SYSTEM/SRVCTL32.EXE"},
    {3, "WINDOWS/INSTIT.EXE"},
    {4, "Program Files/Common Files/System/CRONOS.EXE"},
    {5, "WINDOWS/SYSTEM/MSTASKMON.EXE"},
    {6, "Documents and Settings/All Users/Start Menu/Programs/Startup/SCRSVR.EXE"},
    {7, "My Documents/Downloads/SETUP.EXE"},
    {8, "Program Files/Games/PATCH.EXE"},
};

void makeDemo(const std::string& dir) {
  Random random{0x5eed};
  makeFolders(dir);
  for (const SamplePlace& sample : kDemoSamples) writeFile(dir + "/" + sample.path, buildWormSample(sample.row));
  // A read-only sample: the scan resets the attribute before it deletes.
  ::chmod((dir + "/My Documents/Downloads/SETUP.EXE").c_str(), 0444);
  writeFile(dir + "/WINDOWS/SYSTEM/SCRSVR.DAT", buildCompanionFile());

  writeText(dir + "/WINDOWS/WIN.INI", purgato::winIniWithWormTail("[windows]\r\nload=\r\nrun=\r\n\r\n"
                                                                 "[Desktop]\r\nWallpaper=(None)\r\n\r\n"));
  writeText(dir + "/AUTOEXEC.BAT", purgato::autoexecWithMarker("@ECHO OFF\r\nPROMPT $p$g\r\n"));
  writeText(dir + "/CONFIG.SYS", "DEVICE=C:\\WINDOWS\\HIMEM.SYS\r\nFILES=40\r\n");
  writeText(dir + "/WINDOWS/SYSTEM.INI", "[boot]\r\nshell=Explorer.exe\r\n");
  writeFile(dir + "/WINDOWS/NOTEPAD.EXE", cleanPe(53248, &random));
  writeFile(dir + "/WINDOWS/SYSTEM/KERNEL32.DLL", cleanPe(471040, &random));
  writeFile(dir + "/WINDOWS/SYSTEM/USER32.DLL", cleanPe(57344, &random));
  writeFile(dir + "/WINDOWS/SYSTEM/VGA.DRV", cleanBinary(5360, &random));
  writeFile(dir + "/Program Files/Accessories/WORDPAD.EXE", cleanPe(204800, &random));
  writeText(dir + "/Program Files/Accessories/README.TXT", "WordPad help is in the Help menu.\r\n");
  writeText(dir + "/My Documents/letter.txt", "Dear Sir,\r\n\r\nthank you for your order.\r\n");

  // Look-alikes that must survive: one pattern byte off, the right patterns
  // at the wrong length, and a backup win.ini without the worm's section.
  writeFile(dir + "/WINDOWS/SYSTEM/SCRSVR0.EXE", buildNearMiss(0));
  writeFile(dir + "/WINDOWS/SYSTEM/BRASIL0.EXE", buildWormSample(1, 1));
  Bytes longCompanion = buildCompanionFile();
  longCompanion.push_back(0);
  writeFile(dir + "/WINDOWS/SYSTEM/SCRSVR1.DAT", longCompanion);
  writeText(dir + "/My Documents/backup/win.ini.old", "[windows]\r\nload=\r\nrun=\r\n\r\n[fonts]\r\n");
}

// --- The benchmark tree ---------------------------------------------------

constexpr int kFilesPerFolder = 50;

std::string twoDigits(const char* prefix, std::uint32_t n) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s%02u", prefix, n);
  return buffer;
}

// Sizes from 100 bytes to 16 KiB, spread evenly on a log scale: many small
// files, some larger, as on a real disk.
std::uint32_t smallFileLength(Random* random) {
  const double unit = random->below(1u << 20) / double(1u << 20);
  return static_cast<std::uint32_t>(100.0 * std::pow(16384.0 / 100.0, unit));
}

void makeBench(long count, const std::string& dir) {
  const std::string stash = dir + ".stash";
  Random random{0xbe7c4};
  makeFolders(dir);
  makeFolders(stash + "/tree");
  std::string list;
  auto keep = [&](const std::string& relative, const Bytes& bytes) {
    writeFile(dir + "/" + relative, bytes);
    writeFile(stash + "/tree/" + relative, bytes);
    list += relative + "\n";
  };

  // The start-up files, then two samples of each row and two companion
  // files, spread over the tree; the rest is clean.
  keep("WINDOWS/WIN.INI", toBytes(purgato::winIniWithWormTail("[windows]\r\nload=\r\nrun=\r\n")));
  keep("AUTOEXEC.BAT", toBytes(purgato::autoexecWithMarker("@ECHO OFF\r\n")));
  long made = 2;
  const long special = 2 * kRows + 2;
  const long cleanCount = count - made - special;
  if (cleanCount < 0) throw std::runtime_error("the benchmark tree needs at least 22 files");
  const long leaves = (count + kFilesPerFolder - 1) / kFilesPerFolder;
  const long fanout = std::max(1L, static_cast<long>(std::ceil(std::cbrt(static_cast<double>(leaves)))));
  const long stride = count / (special + 1);

  for (long i = 0; made < count; ++i, ++made) {
    const long leaf = i / kFilesPerFolder;
    const std::string folder = twoDigits("DIR", static_cast<std::uint32_t>(leaf / (fanout * fanout))) + "/" +
                               twoDigits("SUB", static_cast<std::uint32_t>(leaf / fanout % fanout)) + "/" +
                               twoDigits("SET", static_cast<std::uint32_t>(leaf % fanout));
    char name[32];
    const long slot = i + 1;
    if (slot % stride == 0 && slot / stride <= special) {
      const long which = slot / stride - 1;
      if (which < 2 * kRows) {
        std::snprintf(name, sizeof name, "/WORM%04ld.EXE", i);
        keep(folder + name, buildWormSample(static_cast<int>(which % kRows)));
      } else {
        std::snprintf(name, sizeof name, "/COMP%04ld.DAT", i);
        keep(folder + name, buildCompanionFile());
      }
      continue;
    }
    const std::uint32_t kind = random.below(100);
    if (kind < 5) {
      std::snprintf(name, sizeof name, "/PROG%04ld.EXE", i);
      writeFile(dir + "/" + folder + name, cleanPe(4096 + random.below(60) * 1024, &random));
    } else if (kind < 55) {
      std::snprintf(name, sizeof name, "/TEXT%04ld.TXT", i);
      writeFile(dir + "/" + folder + name, cleanText(smallFileLength(&random), &random));
    } else {
      std::snprintf(name, sizeof name, "/DATA%04ld.BIN", i);
      writeFile(dir + "/" + folder + name, cleanBinary(smallFileLength(&random), &random));
    }
  }
  std::ofstream out(stash + "/list", std::ios::trunc);
  out << list;
  if (!out) throw std::runtime_error("cannot write " + stash + "/list");
}

int usage() {
  std::fprintf(stderr, "usage: make_samples DIR\n       make_samples --bench [N] DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 2 && argv[1][0] != '-') {
      makeDemo(argv[1]);
      return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--bench") == 0) {
      long count = 50000;
      if (argc == 4) {
        char* end = nullptr;
        count = std::strtol(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || count < 1) return usage();
      }
      const char* dir = argv[argc - 1];
      if (dir[0] == '-') return usage();
      makeBench(count, dir);
      return 0;
    }
    return usage();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_samples: %s\n", error.what());
    return 1;
  }
}
