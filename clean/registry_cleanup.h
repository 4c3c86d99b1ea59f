// Removal of the worm's Run values, its service, and its start-up entries in
// win.ini and autoexec files; the small registry helpers they use.
#pragma once

#include <cstddef>

#include "session/session.h"

namespace purgato {

extern const char kRunKey[];          // "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
extern const char kShellFoldersKey[]; // "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"
constexpr int kFixedRunNames = 5;
extern const char kFixedRunNameTable[kFixedRunNames][30];  // "scrsvr", "brasil", "cronos", "instit", "GustavVED"
extern const char kWinIniMarker[];    // "[msappfont]"
extern const char kAutoexecMarker[];  // 13 characters, starting with '@'
constexpr int kWinIniTail = 50;
constexpr int kAutoexecTail = 15;

// Reads a value into buffer (size bytes). 1 when open, both queries and the
// close succeed; a value that does not fit, zero included, is a failure and
// nothing is written past the buffer. On success the text ends with a zero
// inside the buffer even when the stored data has none.
int readRegistryString(Os& os, HKey root, const char* key, const char* valueName, char* buffer,
                       std::size_t size);
// 1 when the value exists (its size could be asked), whatever its length.
int registryValueExists(Os& os, HKey root, const char* key, const char* valueName);
int deleteRegistryValue(Os& os, HKey root, const char* key, const char* valueName);
int deleteMachineKey(Os& os, const char* key);

// The five fixed worm names, tried for every file before it is opened.
int cleanRunEntries(ScanSession& session, Os& os, const char* path);
// The Run value named after the file's base name, tried only once the file
// has been identified as a worm file.
int cleanWormRunEntry(ScanSession& session, Os& os, const char* path);

int stopService(Os& os, const char* serviceName, bool stop);
int deleteServiceKeys(Os& os, const char* serviceName);

// Both take over the descriptor and close it in every case; 1 when cut.
int cleanWinIni(Os& os, const char* path, int file);
int cleanAutoexec(Os& os, const char* path, int file);

}  // namespace purgato
