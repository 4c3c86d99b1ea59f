// The scan function of the scanner table: decides whether one file is a
// worm file and reports, deletes or cuts it as the session's mode says.
#pragma once

#include <cstdint>

#include "session/session.h"

namespace purgato {

constexpr int kMaxSections = 20;

// 1 when a signature row matched (acted on, or recorded in process-image
// mode); 0 otherwise. path (at most 259 characters) may be lower-cased in place.
int scanFile(ScanSession& session, Os& os, const char* familyName, char* path);

// Entry-point file offset from the headers' fields and the section table
// (VirtualSize, VirtualAddress, PointerToRawData of each section).
struct SectionHeader {
  std::uint32_t virtualSize;
  std::uint32_t virtualAddress;
  std::uint32_t pointerToRawData;
};
std::int32_t computeEntryOffset(std::uint32_t addressOfEntryPoint, std::uint32_t sizeOfHeaders,
                                const SectionHeader* sections, int sectionCount, std::int32_t fileLength);

}  // namespace purgato
