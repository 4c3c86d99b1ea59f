// Removal of the worm's Run values, its service, and its start-up entries in
// win.ini and autoexec files; the small registry helpers they use.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "session/session.h"

namespace purgato {

extern const char kRunKey[];          // "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
// The same key in the 32-bit view of a 64-bit Windows registry.
extern const char kRunKeyWow64[];     // "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"
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
// While session.runWatch is enabled the Run key stays open between calls
// (see RunKeyWatch); releaseRunKeyWatch closes it.
int cleanRunEntries(ScanSession& session, Os& os, const char* path);
void releaseRunKeyWatch(ScanSession& session, Os& os);
// The Run value named after the file's base name, tried only once the file
// has been identified as a worm file.
int cleanWormRunEntry(ScanSession& session, Os& os, const char* path);

int stopService(Os& os, const char* serviceName, bool stop);
// 1 when any of the service's six keys was deleted; those deleted are
// added to *deleted when given.
int deleteServiceKeys(Os& os, const char* serviceName, std::vector<std::string>* deleted = nullptr);

// What a win.ini / autoexec cut came to.
enum class CutResult {
  kNothing,  // no marker in the tail, or the file changed since it was read: left as it is
  kCut,      // the marker and everything after it are gone
  kRefused,  // the marker is there but the file could not be cut
};

// Both take over the descriptor and close it in every case. `path` is the
// path as the walk found it: the cut reopens the file by it.
// A refused cut leaves the failed call's error in *error when given.
CutResult cutWinIni(Os& os, const char* path, int file, long* error = nullptr);
CutResult cutAutoexec(Os& os, const char* path, int file, long* error = nullptr);
// The same, 1 exactly when the file was cut.
int cleanWinIni(Os& os, const char* path, int file);
int cleanAutoexec(Os& os, const char* path, int file);

}  // namespace purgato
