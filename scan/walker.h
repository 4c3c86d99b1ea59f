// The depth-first directory walk with its message pump and cancellation.
#pragma once

#include <cstdint>

#include "session/session.h"

namespace purgato {

struct ScannerEntry {
  const char* name;  // malware family; nullptr ends the table
  int (*scan)(ScanSession& session, Os& os, const char* familyName, char* path);  // non-zero: dealt with
};
extern const ScannerEntry scannerTable[2];

// filesScanned when the walk ends, 0 when cancelled, -1 for a pattern without '.'.
int walkFolder(ScanSession& session, Os& os, const char* pattern);
// One directory entry as the walk visits it: its path in the status line,
// then, unless it is a directory, counted and offered to the scanner rows.
void scanEntry(ScanSession& session, Os& os, const char* entryPath, std::uint32_t attributes);
void pumpMessages(ScanSession& session, Os& os);
// dest holds at least width + 1 bytes.
void shortenPath(const char* source, char* dest, std::int16_t width);

constexpr std::int16_t kStatusWidth = 60;

}  // namespace purgato
