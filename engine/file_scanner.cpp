#include "engine/file_scanner.h"

#include <cstring>

#include "clean/registry_cleanup.h"
#include "engine/actions.h"
#include "engine/file_read.h"
#include "engine/signatures.h"
#include "os/bytes.h"
#include "os/text.h"

namespace purgato {

namespace {

constexpr std::int64_t kLfanewPosition = 60;
constexpr int kFileHeaderSize = 20;
constexpr int kOptionalHeaderPart = 96;
constexpr int kSectionHeaderSize = 40;
constexpr std::int64_t kSectionTableDistance = 248;  // signature, file header, 224-byte optional header

// The win.ini / autoexec cut of a non-PE file; the cleaners own the
// descriptor from here on. The log line shows the lower-cased path, but
// the file is reopened by the path as it was found.
void cleanStartupFile(ScanSession& session, Os& os, char* path, int file) {
  char found[kPathSize];
  if (!copyText(found, sizeof found, path)) {
    os.close(file);
    return;
  }
  lowerInPlace(path);
  CutResult cut;
  long error = 0;
  if (std::strstr(path, "win.ini") != nullptr) {
    cut = cutWinIni(os, found, file, &error);
  } else if (std::strstr(path, "autoexec") != nullptr) {
    cut = cutAutoexec(os, found, file, &error);
  } else {
    os.close(file);
    return;
  }
  // The record names the file as it was found; the line shows it lower-cased.
  Finding finding;
  finding.kind = FindingKind::kStartupFile;
  finding.path = found;
  finding.variant = "W32/Opaserv.Worm";
  if (cut == CutResult::kCut) {
    session.filesInfected += 1;
    session.filesDisinfected += 1;
    sendFinding(session, os, finding, "%s    W32/Opaserv.Worm entries removed", path);
  } else if (cut == CutResult::kRefused) {
    // Found but not removed: the user must learn that the entry stays.
    session.filesInfected += 1;
    finding.outcome = FindingOutcome::kFailed;
    finding.error = error;
    sendFinding(session, os, finding, "%s    W32/Opaserv.Worm entries could not be removed", path);
  }
}

void examineNonPe(ScanSession& session, Os& os, const char* familyName, char* path, int file) {
  if (isCompanionFile(os, file)) {
    session.filesInfected += 1;
    os.close(file);
    cleanWormRunEntry(session, os, path);
    deleteInfectedFile(session, os, path, familyName);
    return;
  }
  cleanStartupFile(session, os, path, file);
}

// The entry-point file offset of a PE file whose file header has been read;
// false when the optional header or the section table cannot be read.
bool readEntryOffset(Os& os, int file, std::int64_t lfanew, const unsigned char* fileHeader,
                     std::int32_t fileLength, std::int32_t* entryOffset) {
  unsigned char optionalHeader[kOptionalHeaderPart];
  if (!readExactAt(os, file, lfanew + 24, optionalHeader, sizeof optionalHeader)) return false;
  const int sectionCount = readLe16(fileHeader + 2);
  if (sectionCount > kMaxSections) return false;
  // Cleared first so that a partial read never leaves stack bytes behind.
  unsigned char sectionBytes[kMaxSections * kSectionHeaderSize];
  std::memset(sectionBytes, 0, sizeof sectionBytes);
  if (!readExactAt(os, file, lfanew + kSectionTableDistance, sectionBytes,
                   static_cast<unsigned>(sectionCount * kSectionHeaderSize)))
    return false;
  SectionHeader sections[kMaxSections];
  for (int i = 0; i < sectionCount; ++i) {
    const unsigned char* s = sectionBytes + i * kSectionHeaderSize;
    sections[i] = SectionHeader{readLe32(s + 8), readLe32(s + 12), readLe32(s + 20)};
  }
  *entryOffset =
      computeEntryOffset(readLe32(optionalHeader + 16), readLe32(optionalHeader + 60), sections, sectionCount, fileLength);
  return true;
}

}  // namespace

std::int32_t computeEntryOffset(std::uint32_t addressOfEntryPoint, std::uint32_t sizeOfHeaders,
                                const SectionHeader* sections, int sectionCount, std::int32_t fileLength) {
  const std::uint32_t ep = addressOfEntryPoint;
  std::uint32_t offset = ep;
  for (int i = 0; i < sectionCount; ++i) {
    const SectionHeader& s = sections[i];
    if (static_cast<std::uint32_t>(s.virtualAddress + s.virtualSize) > ep) {
      offset = ep - s.virtualAddress + s.pointerToRawData;
      break;
    }
  }
  if (offset >= static_cast<std::uint32_t>(fileLength)) offset = ep;
  if (offset == 0) offset = sizeOfHeaders;
  return static_cast<std::int32_t>(offset);
}

int scanFile(ScanSession& session, Os& os, const char* familyName, char* path) {
  // Second walk over an ended worm process: no scan, only the pending action.
  if (session.pendingImageAction != 0 && session.progressWindow != 0) {
    applyPendingAction(session, os, path, familyName);
    return 0;
  }

  cleanRunEntries(session, os, path);

  const int file = os.open(path, kORdOnly | kOBinary);
  if (file == -1) return 0;
  const std::int32_t fileLength = os.lseek(file, 0, kSeekEnd);
  if (fileLength < 0) {
    os.close(file);
    return 0;
  }

  unsigned char field[4];
  unsigned char signature[4];
  unsigned char fileHeader[kFileHeaderSize];
  std::int64_t lfanew = 0;
  bool isPe = readExactAt(os, file, kLfanewPosition, field, sizeof field);
  if (isPe) {
    lfanew = static_cast<std::int32_t>(readLe32(field));
    isPe = readExactAt(os, file, lfanew, signature, sizeof signature) &&
           std::memcmp(signature, "PE\0\0", 4) == 0 &&
           readExactAt(os, file, lfanew + 4, fileHeader, sizeof fileHeader);
  }
  if (!isPe) {
    examineNonPe(session, os, familyName, path, file);
    return 0;
  }

  std::int32_t entryOffset = 0;
  const SignatureRecord* row = readEntryOffset(os, file, lfanew, fileHeader, fileLength, &entryOffset)
                                   ? findSignature(os, file, fileLength, entryOffset)
                                   : nullptr;
  os.close(file);
  if (row == nullptr) return 0;

  session.filesInfected += 1;
  copyText(session.detectedName, sizeof session.detectedName, row->name);
  copyText(session.statusText, sizeof session.statusText, path);
  // Only now is the file known to be the worm's, so only now may the Run
  // value carrying its name go.
  cleanWormRunEntry(session, os, path);

  if (session.processImageMode) {
    session.imageInfected = true;
    return 1;
  }
  chooseAction(session, session.detectedName, session.statusText);
  deleteInfectedFile(session, os, path, row->name);
  return 1;
}

}  // namespace purgato
