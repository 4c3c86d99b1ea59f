// Seeds the C: drive of a Wine prefix for the end-to-end runs of Purgato.exe
// and writes what a run over it must show and leave behind.
//
//   seed_wine DRIVE_C OUT [--tree N] [--companions N] [--bits 32|64]
//
// DRIVE_C is the prefix's drive_c folder. It gets a sample of every
// signature row, the companion file, the worm's tails on win.ini (whose
// content is kept) and a new autoexec.bat, and the harmless running
// look-alike C:\windows\system\RUNNING.EXE. --tree N adds N small clean
// files under C:\tree (a longer scan); --companions N adds N more companion
// files under C:\many (more findings than the list keeps). --bits 64 makes
// the look-alike a PE32+, for a 64-bit prefix.
//
// OUT receives, one item a line:
//   lines          the findings every personality lists, as listed
//   lines-nt       the findings of the NT process phase (the look-alike
//                  ended and deleted before the walk)
//   lines-9x       the look-alike's finding on the 9x family, where the walk
//                  ends it when its delete fails
//   gone           files the scan deletes (paths relative to DRIVE_C)
//   cut            files the scan cuts, each with its expected content
//                  under OUT/expected/ and its seeded one under OUT/seeded/
//                  at the same relative path
//   readonly       the sample to be made read-only and hidden from Windows
//   lookalike      the look-alike's Windows path
//   run.reg        the Run values, for `wine reg import`
//   run-gone       Run value names the scan deletes
//   run-kept       Run value names the scan keeps
//   run-sample     the Run value named after a sample, and that sample
//   counts         infected, disinfected, deleted (the totals of a full scan)
//
// Every sample is a zero-filled image that only carries the signature
// bytes; the look-alike runs a Sleep loop and nothing else.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/signatures.h"
#include "tests/support/bytes.h"
#include "tests/support/samples.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using purgato::putLe16;
using purgato::putLe32;

void makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot make folder " + prefix + ": " + std::strerror(errno));
    if (slash == std::string::npos) return;
  }
}

// Replaces the file rather than writing into it, so that a prefix copied
// with hard links never changes its original.
void writeFile(const std::string& path, const Bytes& bytes) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) makeFolders(path.substr(0, slash));
  std::remove(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) { writeFile(path, purgato::toBytes(text)); }

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string windowsPath(const std::string& relative) {
  std::string path = "C:\\" + relative;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The one user folder of the prefix (users/ holds it and Public).
std::string userName(const std::string& driveC) {
  DIR* users = ::opendir((driveC + "/users").c_str());
  if (users == nullptr) throw std::runtime_error(driveC + "/users cannot be listed");
  std::string name;
  while (dirent* entry = ::readdir(users)) {
    const std::string candidate = entry->d_name;
    if (candidate == "." || candidate == ".." || candidate == "Public") continue;
    name = candidate;
  }
  ::closedir(users);
  if (name.empty()) throw std::runtime_error("no user folder under " + driveC + "/users");
  return name;
}

// The one import both look-alikes need, KERNEL32!Sleep, in their one
// section: a descriptor, its lookup and address thunks (the low 4 bytes of
// a thunk, whichever its size), the hint/name entry and the DLL name.
void writeSleepImport(Bytes& bytes, std::uint32_t sectionRva, std::uint32_t fileAlignment, std::uint32_t descriptor,
                      std::uint32_t lookup, std::uint32_t address, std::uint32_t hintName, std::uint32_t dllName) {
  auto fileOf = [&](std::uint32_t rva) { return rva - sectionRva + fileAlignment; };
  putLe32(bytes, fileOf(descriptor) + 0, lookup);
  putLe32(bytes, fileOf(descriptor) + 12, dllName);
  putLe32(bytes, fileOf(descriptor) + 16, address);
  putLe32(bytes, fileOf(lookup), hintName);
  putLe32(bytes, fileOf(address), hintName);
  std::memcpy(&bytes[fileOf(hintName) + 2], "Sleep", 6);
  std::memcpy(&bytes[fileOf(dllName)], "KERNEL32.dll", 13);
}

// The single read/write/execute section header of both look-alikes.
void writeTextSection(Bytes& bytes, std::uint32_t section, std::uint32_t rawSize, std::uint32_t rva,
                      std::uint32_t fileAlignment) {
  std::memcpy(&bytes[section], ".text", 5);
  putLe32(bytes, section + 8, rawSize);  // VirtualSize
  putLe32(bytes, section + 12, rva);
  putLe32(bytes, section + 16, rawSize);  // SizeOfRawData
  putLe32(bytes, section + 20, fileAlignment);
  putLe32(bytes, section + 36, 0xE0000060);  // code, data, read/write/execute
}

// A PE32 that loads and sleeps forever: one read/write/execute section at
// file 0x200 / RVA 0x1000 holding an import of KERNEL32!Sleep and, at the
// entry point, push 1000; call [Sleep]; jmp back. Signature row 1's
// patterns sit at their places from the entry point; the file has the
// row's length.
Bytes runningLookAlike32() {
  const purgato::SignatureRecord& row = purgato::signatureTable[0];
  constexpr std::uint32_t kImageBase = 0x400000;
  constexpr std::uint32_t kFileAlignment = 0x200;
  constexpr std::uint32_t kSectionRva = 0x1000;
  constexpr std::uint32_t kLength = 28672;
  constexpr std::uint32_t kRawSize = kLength - kFileAlignment;
  constexpr std::uint32_t kEntryRva = 0x1200;
  const std::uint32_t entryFile = kEntryRva - kSectionRva + kFileAlignment;

  Bytes bytes(kLength, 0);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  const std::uint32_t e = 0x80;
  putLe32(bytes, 60, e);
  bytes[e] = 'P';
  bytes[e + 1] = 'E';
  putLe16(bytes, e + 4, 0x014C);   // i386
  putLe16(bytes, e + 6, 1);        // one section
  putLe16(bytes, e + 20, 224);     // SizeOfOptionalHeader
  putLe16(bytes, e + 22, 0x0103);  // relocations stripped, executable, 32-bit
  const std::uint32_t opt = e + 24;
  putLe16(bytes, opt + 0, 0x010B);
  putLe32(bytes, opt + 4, kRawSize);  // SizeOfCode
  putLe32(bytes, opt + 16, kEntryRva);
  putLe32(bytes, opt + 20, kSectionRva);  // BaseOfCode
  putLe32(bytes, opt + 28, kImageBase);
  putLe32(bytes, opt + 32, 0x1000);  // SectionAlignment
  putLe32(bytes, opt + 36, kFileAlignment);
  putLe16(bytes, opt + 40, 4);  // operating system 4.0
  putLe16(bytes, opt + 48, 4);  // subsystem 4.0
  putLe32(bytes, opt + 56, kSectionRva + ((kRawSize + 0xFFF) & ~0xFFFu));  // SizeOfImage
  putLe32(bytes, opt + 60, kFileAlignment);                                 // SizeOfHeaders
  putLe16(bytes, opt + 68, 2);                                              // GUI: no console
  putLe32(bytes, opt + 72, 0x100000);                                       // stack reserve
  putLe32(bytes, opt + 76, 0x1000);                                         // stack commit
  putLe32(bytes, opt + 80, 0x100000);                                       // heap reserve
  putLe32(bytes, opt + 84, 0x1000);                                         // heap commit
  putLe32(bytes, opt + 92, 16);                                             // data directories

  // Import data at the start of the section, apart from code and patterns.
  const std::uint32_t descriptor = kSectionRva;  // one descriptor and the null one: 40 bytes
  const std::uint32_t lookup = kSectionRva + 0x40;
  const std::uint32_t address = kSectionRva + 0x48;
  const std::uint32_t hintName = kSectionRva + 0x50;
  const std::uint32_t dllName = kSectionRva + 0x60;
  writeSleepImport(bytes, kSectionRva, kFileAlignment, descriptor, lookup, address, hintName, dllName);
  putLe32(bytes, opt + 96 + 8, descriptor);  // import directory
  putLe32(bytes, opt + 96 + 12, 40);
  putLe32(bytes, opt + 96 + 96, address);  // import address table
  putLe32(bytes, opt + 96 + 100, 8);

  const std::uint32_t section = e + 248;
  writeTextSection(bytes, section, kRawSize, kSectionRva, kFileAlignment);

  const std::uint32_t sleepSlot = kImageBase + address;
  const std::uint8_t code[13] = {0x68, 0xE8, 0x03, 0x00, 0x00,  // push 1000
                                 0xFF, 0x15, std::uint8_t(sleepSlot), std::uint8_t(sleepSlot >> 8),
                                 std::uint8_t(sleepSlot >> 16), std::uint8_t(sleepSlot >> 24),  // call [Sleep]
                                 0xEB, 0xF3};                                                   // jmp entry
  std::memcpy(&bytes[entryFile], code, sizeof code);
  std::memcpy(&bytes[entryFile + row.offset1], row.pattern1, purgato::kPatternLength);
  std::memcpy(&bytes[entryFile + row.offset2], row.pattern2, purgato::kPatternLength);
  return bytes;
}

// The same as a PE32+, for a 64-bit prefix: 240-byte optional header with
// a 64-bit image base, 8-byte import thunks, and sub rsp,0x28; then
// mov ecx,1000; call [rip+Sleep]; jmp back to the mov. The scanner reads
// the section table 248 bytes after the PE signature, which in a PE32+ is
// data directories 14 and 15 (zero): no section holds the entry point, so
// its entry offset is the entry RVA itself, and the patterns sit there.
Bytes runningLookAlike64() {
  const purgato::SignatureRecord& row = purgato::signatureTable[0];
  constexpr std::uint64_t kImageBase = 0x140000000;
  constexpr std::uint32_t kFileAlignment = 0x200;
  constexpr std::uint32_t kSectionRva = 0x1000;
  constexpr std::uint32_t kLength = 28672;
  constexpr std::uint32_t kRawSize = kLength - kFileAlignment;
  constexpr std::uint32_t kEntryRva = 0x1200;
  auto fileOf = [&](std::uint32_t rva) { return rva - kSectionRva + kFileAlignment; };
  const std::uint32_t scannerEntry = kEntryRva;

  Bytes bytes(kLength, 0);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  const std::uint32_t e = 0x80;
  putLe32(bytes, 60, e);
  bytes[e] = 'P';
  bytes[e + 1] = 'E';
  putLe16(bytes, e + 4, 0x8664);   // x86-64
  putLe16(bytes, e + 6, 1);        // one section
  putLe16(bytes, e + 20, 240);     // SizeOfOptionalHeader
  putLe16(bytes, e + 22, 0x0023);  // relocations stripped, executable, large addresses
  const std::uint32_t opt = e + 24;
  putLe16(bytes, opt + 0, 0x020B);
  putLe32(bytes, opt + 4, kRawSize);  // SizeOfCode
  putLe32(bytes, opt + 16, kEntryRva);
  putLe32(bytes, opt + 20, kSectionRva);  // BaseOfCode
  putLe32(bytes, opt + 24, static_cast<std::uint32_t>(kImageBase));
  putLe32(bytes, opt + 28, static_cast<std::uint32_t>(kImageBase >> 32));
  putLe32(bytes, opt + 32, 0x1000);  // SectionAlignment
  putLe32(bytes, opt + 36, kFileAlignment);
  putLe16(bytes, opt + 40, 5);  // operating system 5.2
  putLe16(bytes, opt + 42, 2);
  putLe16(bytes, opt + 48, 5);  // subsystem 5.2
  putLe16(bytes, opt + 50, 2);
  putLe32(bytes, opt + 56, kSectionRva + ((kRawSize + 0xFFF) & ~0xFFFu));  // SizeOfImage
  putLe32(bytes, opt + 60, kFileAlignment);                                 // SizeOfHeaders
  putLe16(bytes, opt + 68, 2);                                              // GUI: no console
  putLe32(bytes, opt + 72, 0x100000);                                       // stack reserve
  putLe32(bytes, opt + 80, 0x1000);                                         // stack commit
  putLe32(bytes, opt + 88, 0x100000);                                       // heap reserve
  putLe32(bytes, opt + 96, 0x1000);                                         // heap commit
  putLe32(bytes, opt + 108, 16);                                            // data directories
  const std::uint32_t directories = opt + 112;

  const std::uint32_t descriptor = kSectionRva;  // one descriptor and the null one: 40 bytes
  const std::uint32_t lookup = kSectionRva + 0x40;   // two 8-byte thunks
  const std::uint32_t address = kSectionRva + 0x50;  // two 8-byte thunks
  const std::uint32_t hintName = kSectionRva + 0x60;
  const std::uint32_t dllName = kSectionRva + 0x70;
  writeSleepImport(bytes, kSectionRva, kFileAlignment, descriptor, lookup, address, hintName, dllName);
  putLe32(bytes, directories + 8, descriptor);  // import directory
  putLe32(bytes, directories + 12, 40);
  putLe32(bytes, directories + 96, address);  // import address table
  putLe32(bytes, directories + 100, 16);

  const std::uint32_t section = opt + 240;
  writeTextSection(bytes, section, kRawSize, kSectionRva, kFileAlignment);

  // call [rip+x] ends 15 bytes after the entry point; x reaches the slot.
  const std::uint32_t displacement = address - (kEntryRva + 15);
  const std::uint8_t code[17] = {0x48, 0x83, 0xEC, 0x28,        // sub rsp, 0x28
                                 0xB9, 0xE8, 0x03, 0x00, 0x00,  // mov ecx, 1000
                                 0xFF, 0x15, std::uint8_t(displacement), std::uint8_t(displacement >> 8),
                                 std::uint8_t(displacement >> 16), std::uint8_t(displacement >> 24),  // call [Sleep]
                                 0xEB, 0xF3};  // jmp to the mov
  std::memcpy(&bytes[fileOf(kEntryRva)], code, sizeof code);
  std::memcpy(&bytes[scannerEntry + row.offset1], row.pattern1, purgato::kPatternLength);
  std::memcpy(&bytes[scannerEntry + row.offset2], row.pattern2, purgato::kPatternLength);
  return bytes;
}

struct Sample {
  int row;
  const char* path;  // relative to drive_c; "~" is the user's folder
};

// One of each row, in folders the walk reaches in different ways: the
// Windows folder, Program Files, the user's folders, the Startup folder
// (walked before the rest of C:).
const Sample kSamples[purgato::kSignatureRows] = {
    {0, "windows/SCRSVR.EXE"},
    {1, "windows/system/BRASIL.EXE"},
    {2, "windows/INSTIT.EXE"},
    {3, "Program Files/Common Files/CRONOS.EXE"},
    {4, "windows/system/MSTASKMON.EXE"},
    {5, "users/Public/Documents/SETUP.EXE"},
    {6, "~/Downloads/PATCH.EXE"},
    {7, "ProgramData/UPDATE.EXE"},
    {8, "~/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/StartUp/GUSTAV.EXE"},
};
constexpr int kReadOnlySample = 5;
constexpr int kStartupSample = 8;
const char kStartupFolder[] = "~/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/StartUp/";
const char kLookAlike[] = "windows/system/RUNNING.EXE";
const char kCompanion[] = "windows/system/SCRSVR.DAT";

class Seeder {
 public:
  Seeder(std::string driveC, std::string out) : driveC_(std::move(driveC)), out_(std::move(out)) {
    user_ = userName(driveC_);
    makeFolders(out_ + "/expected");
  }

  void seed(int treeFiles, int companions, int bits) {
    for (const Sample& sample : kSamples) {
      const std::string relative = resolve(sample.path);
      writeFile(driveC_ + "/" + relative, purgato::buildWormSample(sample.row));
      std::string listed = windowsPath(relative);
      if (sample.row == kStartupSample) {
        // The Startup folder is walked under its lower-cased registry path.
        const std::string folder = windowsPath(resolve(kStartupFolder));
        listed = lower(folder) + listed.substr(folder.size());
      }
      deleted(relative, listed, purgato::signatureTable[sample.row].name);
      if (sample.row == kReadOnlySample) readOnly_ = windowsPath(relative);
    }
    writeFile(driveC_ + "/" + kCompanion, purgato::buildCompanionFile());
    deleted(kCompanion, windowsPath(kCompanion), "W32/Opaserv.Worm");
    for (int i = 0; i < companions; ++i) {
      char relative[64];
      std::snprintf(relative, sizeof relative, "many/COMP%04d.DAT", i);
      writeFile(driveC_ + "/" + relative, purgato::buildCompanionFile());
      deleted(relative, windowsPath(relative), "W32/Opaserv.Worm");
    }

    // Wine's win.ini is shorter than the 50 bytes the cleaner reads: keep
    // what is there and pad it before the worm's section.
    std::string winIni = readText(driveC_ + "/windows/win.ini");
    winIni += "[Desktop]\r\nWallpaper=(None)\r\nTileWallpaper=0\r\n\r\n";
    cut("windows/win.ini", winIni, purgato::winIniWithWormTail(winIni), "c:\\windows\\win.ini");
    const std::string autoexec = "@ECHO OFF\r\nPROMPT $p$g\r\nPATH C:\\WINDOWS;C:\\WINDOWS\\COMMAND\r\n";
    cut("autoexec.bat", autoexec, purgato::autoexecWithMarker(autoexec), "c:\\autoexec.bat");

    writeFile(driveC_ + "/" + kLookAlike, bits == 64 ? runningLookAlike64() : runningLookAlike32());
    gone_ += std::string(kLookAlike) + "\n";
    const std::string lookAlike = windowsPath(kLookAlike);
    linesNt_ += "System Memory     W32/Opaserv.Worm removed\n" + lookAlike + "     W32/Opaserv.Worm deleted\n";
    lines9x_ += lookAlike + "     W32/Opaserv.Worm deleted\n";
    infected_ += 1;
    deletedCount_ += 1;

    // Clean files that look at home; the scan must leave them alone.
    writeText(driveC_ + "/windows/system/SCRSVR0.TXT", "not the worm\r\n");
    Bytes nearMiss = purgato::buildNearMiss(0);
    writeFile(driveC_ + "/windows/system/SCRSVR0.EXE", nearMiss);
    writeFile(driveC_ + "/windows/system/BRASIL0.EXE", purgato::buildWormSample(1, 1));
    Bytes longCompanion = purgato::buildCompanionFile();
    longCompanion.push_back(0);
    writeFile(driveC_ + "/windows/system/SCRSVR1.DAT", longCompanion);
    writeText(driveC_ + "/" + resolve("~/Documents/win.ini.old"), "[windows]\r\nload=\r\nrun=\r\n\r\n[fonts]\r\n");
    for (int i = 0; i < treeFiles; ++i) {
      char relative[64];
      std::snprintf(relative, sizeof relative, "tree/DIR%02d/FILE%04d.TXT", i / 100, i);
      writeText(driveC_ + "/" + relative, std::string(64 + i % 64, static_cast<char>('a' + i % 26)));
    }

    // Run values: the five fixed worm names (one in other capitals), one
    // named after a worm sample, one after a clean file and one after
    // nothing on the disk.
    std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n";
    const char* const gone[] = {"ScrSvr", "brasil", "cronos", "instit", "GustavVED", "MSTASKMON"};
    const char* const kept[] = {"notepad", "KeepMe"};
    for (const char* name : gone) {
      reg += std::string("\"") + name + "\"=\"C:\\\\windows\\\\" + name + ".exe\"\r\n";
      runGone_ += std::string(name) + "\n";
      lines_ += "System Registry     W32/Opaserv.Worm removed\n";
    }
    for (const char* name : kept) {
      reg += std::string("\"") + name + "\"=\"C:\\\\windows\\\\" + name + ".exe\"\r\n";
      runKept_ += std::string(name) + "\n";
    }
    write("run.reg", reg);
    write("lines", lines_);
    write("lines-nt", linesNt_);
    write("lines-9x", lines9x_);
    write("gone", gone_);
    write("cut", cut_);
    write("readonly", readOnly_ + "\n");
    write("lookalike", lookAlike + "\n");
    write("run-gone", runGone_);
    write("run-kept", runKept_);
    write("run-sample", std::string("MSTASKMON\t") + kSamples[4].path + "\n");
    write("counts", std::to_string(infected_) + " " + std::to_string(disinfected_) + " " +
                        std::to_string(deletedCount_) + "\n");
  }

 private:
  std::string resolve(const std::string& path) const {
    return path.compare(0, 2, "~/") == 0 ? "users/" + user_ + path.substr(1) : path;
  }

  void deleted(const std::string& relative, const std::string& listed, const char* name) {
    gone_ += relative + "\n";
    lines_ += listed + "     " + name + " deleted\n";
    infected_ += 1;
    deletedCount_ += 1;
  }

  void cut(const std::string& relative, const std::string& before, const std::string& seeded,
           const std::string& listed) {
    writeText(driveC_ + "/" + relative, seeded);
    writeText(out_ + "/expected/" + relative, before);
    writeText(out_ + "/seeded/" + relative, seeded);
    cut_ += relative + "\n";
    lines_ += listed + "    W32/Opaserv.Worm entries removed\n";
    infected_ += 1;
    disinfected_ += 1;
  }

  void write(const std::string& name, const std::string& text) const { writeText(out_ + "/" + name, text); }

  std::string driveC_, out_, user_;
  std::string lines_, linesNt_, lines9x_, gone_, cut_, readOnly_, runGone_, runKept_;
  int infected_ = 0, disinfected_ = 0, deletedCount_ = 0;
};

int usage() {
  std::fprintf(stderr, "usage: seed_wine DRIVE_C OUT [--tree N] [--companions N] [--bits 32|64]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argv[1][0] == '-' || argv[2][0] == '-') return usage();
  int tree = 0;
  int companions = 0;
  int bits = 32;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return usage();
    char* end = nullptr;
    const long value = std::strtol(argv[i + 1], &end, 10);
    if (*argv[i + 1] == '\0' || *end != '\0' || value < 0 || value > 100000) return usage();
    if (std::strcmp(argv[i], "--tree") == 0) {
      tree = static_cast<int>(value);
    } else if (std::strcmp(argv[i], "--companions") == 0) {
      companions = static_cast<int>(value);
    } else if (std::strcmp(argv[i], "--bits") == 0 && (value == 32 || value == 64)) {
      bits = static_cast<int>(value);
    } else {
      return usage();
    }
  }
  try {
    Seeder(argv[1], argv[2]).seed(tree, companions, bits);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "seed_wine: %s\n", error.what());
    return 1;
  }
}
