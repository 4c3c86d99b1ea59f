#include "scan/walker.h"

#include <cstring>

#include "engine/file_scanner.h"
#include "os/text.h"

namespace purgato {

const ScannerEntry scannerTable[2] = {
    {"W32/Opaserv.Worm", scanFile},
    {nullptr, nullptr},
};

namespace {

constexpr std::uint32_t kEscKey = 27;

// How a pass ended.
enum class PassEnd { kDone, kCancelled, kNoDot };

// The folder part of a pattern, its trailing backslash kept: the pattern cut
// at the character before its last '.' ("C:\\dir\\*.*" -> "C:\\dir\\").
// False when the pattern has no '.'.
bool folderOf(const char* pattern, char* folder) {
  const char* dot = std::strrchr(pattern, '.');
  if (dot == nullptr) return false;
  // A pattern that starts with its '.' has no character before it to cut at.
  const std::size_t keep = dot > pattern ? static_cast<std::size_t>(dot - pattern) - 1 : 0;
  std::memcpy(folder, pattern, keep);
  folder[keep] = '\0';
  return true;
}

bool isDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// One message handled; true when that (or anything before) asked to stop.
bool pumpAndCheckCancel(ScanSession& session, Os& os) {
  pumpMessages(session, os);
  return session.cancelRequested;
}

// Registers the drive's Program Files folder when the walk starts at a root.
void registerRoot(ScanSession& session, Os& os, const char* pattern) {
  if (std::strlen(pattern) > 6) return;
  copyText(session.deferredFolder, sizeof session.deferredFolder, pattern);
  char* colon = std::strchr(session.deferredFolder, ':');
  if (colon != nullptr) {
    colon[1] = '\0';
    appendText(session.deferredFolder, sizeof session.deferredFolder, "\\Program Files");
  }
  if (os.access(session.deferredFolder, kAccessExists) == 0) {
    session.deferredPending = true;
    appendText(session.deferredFolder, sizeof session.deferredFolder, "\\*.*");
  }
}

// Every entry of the pattern, directories included, in listing order.
PassEnd filePass(ScanSession& session, Os& os, const char* pattern) {
  FindData data{};
  const OsHandle find = os.findFirstFile(pattern, &data);
  if (find == kInvalidHandle) return PassEnd::kDone;

  PassEnd end = PassEnd::kDone;
  char folder[kPathSize];
  const bool hasFolder = folderOf(pattern, folder);
  do {
    if (pumpAndCheckCancel(session, os)) {
      end = PassEnd::kCancelled;
      break;
    }
    data.fileName[sizeof data.fileName - 1] = '\0';
    char entryPath[kPathSize];
    bool fits;
    if (session.processImageMode) {
      fits = copyText(entryPath, sizeof entryPath, pattern);
    } else {
      if (!hasFolder) {
        end = PassEnd::kNoDot;
        break;
      }
      fits = copyText(entryPath, sizeof entryPath, folder) &&
             appendText(entryPath, sizeof entryPath, data.fileName);
    }
    // An entry whose path would not fit is passed over, never truncated.
    if (fits) scanEntry(session, os, entryPath, data.attributes);
    if (pumpAndCheckCancel(session, os)) {
      end = PassEnd::kCancelled;
      break;
    }
  } while (os.findNextFile(find, &data));
  os.findClose(find);
  return end;
}

// Descends into every subfolder the pattern's folder holds.
PassEnd folderPass(ScanSession& session, Os& os, const char* pattern) {
  char folderPattern[kPathSize];
  if (!copyText(folderPattern, sizeof folderPattern, pattern)) return PassEnd::kDone;
  char* dot = std::strrchr(folderPattern, '.');
  if (dot != nullptr) dot[1] = '\0';
  if (!appendText(folderPattern, sizeof folderPattern, "*")) return PassEnd::kDone;

  FindData data{};
  const OsHandle find = os.findFirstFile(folderPattern, &data);
  if (find == kInvalidHandle) return PassEnd::kDone;

  PassEnd end = PassEnd::kDone;
  do {
    if (pumpAndCheckCancel(session, os)) {
      end = PassEnd::kCancelled;
      break;
    }
    data.fileName[sizeof data.fileName - 1] = '\0';
    if ((data.attributes & kAttrDirectory) == 0 || isDotEntry(data.fileName)) continue;
    // Links and junctions can lead back into their own parents; two such
    // entries in one folder would make the walk exponential.
    if ((data.attributes & kAttrReparsePoint) != 0) continue;

    char subPattern[kPathSize];
    if (!folderOf(pattern, subPattern)) {
      end = PassEnd::kNoDot;
      break;
    }
    if (!appendText(subPattern, sizeof subPattern, data.fileName) ||
        !appendText(subPattern, sizeof subPattern, "\\*.*"))
      continue;  // too deep for a 260-byte pattern
    if (std::strstr(subPattern, "\\Program Files\\") != nullptr) session.programFilesVisited = true;

    const int result = walkFolder(session, os, subPattern);
    if (result == -1) {
      end = PassEnd::kNoDot;
      break;
    }
    if (session.cancelRequested) {
      end = PassEnd::kCancelled;
      break;
    }
  } while (os.findNextFile(find, &data));
  os.findClose(find);
  return end;
}

}  // namespace

void scanEntry(ScanSession& session, Os& os, const char* entryPath, std::uint32_t attributes) {
  copyText(session.statusText, sizeof session.statusText, entryPath);
  char shown[kStatusWidth + 1];
  shortenPath(session.statusText, shown, kStatusWidth);
  sendStatus(session, os, shown);

  if ((attributes & kAttrDirectory) != 0) return;
  if (!session.processImageMode) session.filesScanned += 1;
  for (const ScannerEntry* row = scannerTable; row->name != nullptr; ++row) {
    // A scanner may lower-case its path; each row gets its own copy.
    char path[kPathSize];
    copyText(path, sizeof path, entryPath);
    if (row->scan(session, os, row->name, path) != 0) break;
  }
}

int walkFolder(ScanSession& session, Os& os, const char* pattern) {
  session.imageInfected = false;
  // Every pattern is built in a 260-byte buffer; a longer one names nothing.
  if (std::strlen(pattern) >= kPathSize) return session.filesScanned;
  registerRoot(session, os, pattern);

  switch (filePass(session, os, pattern)) {
    case PassEnd::kCancelled: return 0;
    case PassEnd::kNoDot: return -1;
    case PassEnd::kDone: break;
  }
  switch (folderPass(session, os, pattern)) {
    case PassEnd::kCancelled: return 0;
    case PassEnd::kNoDot: return -1;
    case PassEnd::kDone: break;
  }
  return session.filesScanned;
}

void pumpMessages(ScanSession& session, Os& os) {
  Message msg{};
  if (!os.peekMessage(&msg)) return;
  // Esc in any message asks, whatever the message is; it is never dispatched.
  if ((msg.wParam & 0xFFFFu) == kEscKey) {
    if (os.messageBox(session.progressWindow, "Terminate the Scan now?", "Warning",
                      kMbYesNo | kMbIconInformation) == kIdNo)
      return;
    session.cancelRequested = true;
    return;
  }
  if (msg.message == kWmQuit || msg.message == kWmDestroy) {
    session.cancelRequested = true;
    return;
  }
  os.translateMessage(&msg);
  os.dispatchMessage(&msg);
}

void shortenPath(const char* source, char* dest, std::int16_t width) {
  if (width < 0) return;  // no room even for the terminating zero
  const std::size_t size = static_cast<std::size_t>(width);
  const std::size_t length = std::strlen(source);
  const int keep = width / 2 - 1;
  if (length > size && keep > 0) {
    const std::size_t k = static_cast<std::size_t>(keep);
    std::memset(dest, '.', size);
    std::memcpy(dest, source, k);
    std::memcpy(dest + size - k, source + length - k, k);
    dest[size] = '\0';
  } else if (length > size) {
    // Too narrow for the dots: the head of the path, within the buffer.
    std::memcpy(dest, source, size);
    dest[size] = '\0';
  } else {
    std::memcpy(dest, source, length + 1);
  }
}

}  // namespace purgato
