// The worm's signatures: one row per known build of its executable, each
// two 20-byte patterns at positions relative to the entry point, and the
// fixed signature of its 1706-byte companion file.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace purgato {

constexpr std::int32_t kSizeExact = 1;
constexpr std::int32_t kSizeNear = 2;
constexpr std::int32_t kSizeAny = 3;
constexpr std::int32_t kSizeTolerance = 4096;  // half-width of the kSizeNear window
constexpr int kPatternLength = 20;

struct SignatureRecord {
  char name[50];                  // malware name reported for a match
  unsigned char pattern1[21];     // 20 bytes and a zero
  unsigned char pattern2[21];     // 20 bytes and a zero
  std::int32_t offset1;           // position of pattern1, relative to the entry offset
  std::int32_t offset2;           // position of pattern2, relative to the entry offset
  std::int32_t sizeTest;          // kSizeExact, kSizeNear or kSizeAny
  std::int32_t size;              // length for kSizeExact and kSizeNear
};

// Nine rows and the terminator (pattern1 starting with 00).
constexpr int kSignatureRows = 9;
extern const SignatureRecord signatureTable[kSignatureRows + 1];

struct CompanionSignature {
  std::int32_t length;            // exact file length
  std::int32_t offset1;           // absolute position of pattern1
  unsigned char pattern1[kPatternLength];
  std::int32_t offset2;           // absolute position of pattern2
  unsigned char pattern2[kPatternLength];
  const char* name;               // reported family name
};
extern const CompanionSignature kCompanionFileSignature;

// True when the open file satisfies the row. fileLength was measured by the
// caller; entryOffset is the entry-point file offset.
bool matchesRecord(Os& os, const SignatureRecord& record, int file, std::int32_t fileLength,
                   std::int32_t entryOffset);
// The first matching row in table order, or nullptr.
const SignatureRecord* findSignature(Os& os, int file, std::int32_t fileLength, std::int32_t entryOffset);
bool isCompanionFile(Os& os, int file);

}  // namespace purgato
