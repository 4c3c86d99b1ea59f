// Harmless synthesized sample files: minimal PE images with chosen headers,
// and files that carry the worm's signature bytes at the places the scanner
// looks, plus the start-up file tails the cleaner cuts. Nothing here is
// executable code; the images are zero-filled apart from headers and
// patterns.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace purgato {

// One section header of a built image (the other fields stay zero).
struct PeSection {
  std::uint32_t virtualAddress;    // VirtualAddress
  std::uint32_t virtualSize;       // VirtualSize
  std::uint32_t pointerToRawData;  // PointerToRawData
};

// What buildPe writes. Offsets of the fields it writes (e = eLfanew):
//   0       "MZ" (when dosSignature)       60      e_lfanew
//   e       "PE\0\0"                        e+4     COFF header (Machine 0x14C)
//   e+6     NumberOfSections                e+20    SizeOfOptionalHeader (224)
//   e+24    optional header (magic 0x10B)   e+40    AddressOfEntryPoint
//   e+84    SizeOfHeaders                   e+248   section table, 40 bytes each
//   per section header: +8 VirtualSize, +12 VirtualAddress, +20 PointerToRawData
struct PeImage {
  std::uint32_t eLfanew = 0x80;         // where the PE signature goes
  bool dosSignature = true;             // write "MZ" at offset 0
  std::uint32_t entryPoint = 0x1000;    // AddressOfEntryPoint
  std::uint32_t sizeOfHeaders = 0x400;  // SizeOfHeaders
  std::vector<PeSection> sections = {{0x1000, 0x10000, 0x400}};
  int numberOfSectionsOverride = -1;    // >= 0: NumberOfSections written instead of sections.size()
  std::uint32_t length = 0;             // file length; 0: just long enough for the headers
  std::vector<std::pair<std::int64_t, std::vector<std::uint8_t>>> patches;  // absolute offsets, applied last
};

// Offsets inside the PE headers, relative to e_lfanew.
constexpr std::uint32_t kPeNumberOfSections = 6;
constexpr std::uint32_t kPeEntryPoint = 24 + 16;
constexpr std::uint32_t kPeSizeOfHeaders = 24 + 60;
constexpr std::uint32_t kPeSectionTable = 248;
constexpr std::uint32_t kPeSectionHeaderSize = 40;

// The image described. The file is never shorter than its headers and
// section table (length is raised to that); patches reaching past the end
// extend it. A patch at a negative offset is an error
// (std::invalid_argument). For an e_lfanew that points outside the file,
// build a sane image and patch offset 60.
std::vector<std::uint8_t> buildPe(const PeImage& image);

// A sample of signature row `row` (0..8, index into signatureTable): a PE
// whose length is the row's size plus lengthDelta (28672 for the rows that
// accept any length), whose entry point lies in its one section so that
// the scanner computes entryOffset == sampleEntryOffset(row), with both of
// the row's patterns written at entryOffset + offset1 / offset2. Every
// pattern lies behind the headers (at or after 0x400). When lengthDelta
// shrinks the file below a pattern's end, the bytes past the end are
// dropped (the sample then no longer matches).
std::vector<std::uint8_t> buildWormSample(int row, std::int32_t lengthDelta = 0);
std::int32_t sampleEntryOffset(int row);
// The file length buildWormSample(row) gives with no delta.
std::int32_t sampleLength(int row);

// Like buildWormSample(row) but with one byte of pattern2 changed, so that
// no row matches it.
std::vector<std::uint8_t> buildNearMiss(int row);

// The 1706-byte companion file: zero-filled (so not a PE file) with both
// fixed patterns at their absolute offsets.
std::vector<std::uint8_t> buildCompanionFile();

// The worm's win.ini section as it appears at the end of the file: the
// header "[MSAppFont]" and one short entry, well within the last 50 bytes.
std::string winIniWormTail();
// body + winIniWormTail(); cleaning it must leave exactly body.
std::string winIniWithWormTail(const std::string& body);
// body + kAutoexecMarker + "\r\n" (the marker starts exactly 15 bytes before
// the end); cleaning it must leave exactly body.
std::string autoexecWithMarker(const std::string& body);

// Text helpers for writing text fixtures as bytes.
std::vector<std::uint8_t> toBytes(const std::string& text);
std::string toText(const std::vector<std::uint8_t>& bytes);

}  // namespace purgato
