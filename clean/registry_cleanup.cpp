#include "clean/registry_cleanup.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "os/text.h"

namespace purgato {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunKeyWow64[] = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kShellFoldersKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kFixedRunNameTable[kFixedRunNames][30] = {"scrsvr", "brasil", "cronos", "instit", "GustavVED"};
const char kWinIniMarker[] = "[msappfont]";
// The line that starts the worm, with the at sign that hides its echo. The
// tail is lower-cased before the search, so the marker is lower case too.
const char kAutoexecMarker[] = "@scrsvr.exe\r\n";
static_assert(sizeof kAutoexecMarker - 1 == 13, "the autoexec marker is 13 characters");
static_assert(sizeof kWinIniMarker - 1 == 11, "the win.ini marker is 11 characters");

namespace {

constexpr int kServiceKeySize = 512;
constexpr std::uint32_t kMaxStopPolls = 30;  // 30 s of STOP_PENDING: give up

std::string runValueId(const char* runKey, const char* name) {
  std::string id = std::string(runKey) + "\\" + name;
  for (char& c : id) c = lowerAscii(c);
  return id;
}

// A Run value whose deletion failed before in this scan.
bool leftBefore(const ScanSession& session, const char* runKey, const char* name) {
  if (session.runValuesLeft.empty()) return false;
  const std::string id = runValueId(runKey, name);
  for (const std::string& left : session.runValuesLeft)
    if (left == id) return true;
  return false;
}

// Deletes a Run value that was found; a found value is the worm's, so the
// outcome is reported when a progress window listens. One that could not
// be deleted (no right to the machine's key, say) is reported too, once:
// the worm would start again from it, and trying it again for every file
// would only repeat the line. One gone by the time of the delete is not.
void deleteFoundRunValue(ScanSession& session, Os& os, const char* runKey, const char* name) {
  if (leftBefore(session, runKey, name)) return;
  HKey key = 0;
  // What the value held goes into its record, every byte of it: the
  // worm's command line, or whatever else was written there.
  constexpr std::uint32_t kDataLimit = 1 << 20;
  std::vector<char> data(1, '\0');
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  long rc = os.regOpenKeyEx(kHkeyLocalMachine, runKey, kKeyAllAccess, &key);
  if (rc == kErrorSuccess) {
    if (session.findingSink != nullptr &&
        os.regQueryValueEx(key, name, &type, nullptr, &size) == kErrorSuccess && size <= kDataLimit) {
      data.assign(size + 1, '\0');
      std::uint32_t got = size;
      if (os.regQueryValueEx(key, name, &type, reinterpret_cast<std::uint8_t*>(data.data()), &got) != kErrorSuccess ||
          got > size)
        got = 0;
      size = got;
    } else {
      size = 0;
    }
    rc = os.regDeleteValue(key, name);
    os.regCloseKey(key);
  }
  if (rc == kErrorFileNotFound) return;
  if (rc != kErrorSuccess) session.runValuesLeft.push_back(runValueId(runKey, name));
  if (session.progressWindow == 0) return;
  Finding finding;
  finding.kind = FindingKind::kRunValue;
  finding.outcome = rc == kErrorSuccess ? FindingOutcome::kRemoved : FindingOutcome::kFailed;
  finding.error = rc;
  const std::string keyPath = std::string("HKEY_LOCAL_MACHINE\\") + runKey;
  finding.path = keyPath.c_str();
  finding.variant = "W32/Opaserv.Worm";
  finding.valueName = name;
  finding.valueData = data.data();
  finding.valueSize = size;
  finding.valueType = type;
  sendFinding(session, os, finding,
              rc == kErrorSuccess ? "System Registry     W32/Opaserv.Worm removed"
                                  : "System Registry     W32/Opaserv.Worm could not be removed");
}

// Deletes one Run value if it exists.
void removeRunValue(ScanSession& session, Os& os, const char* runKey, const char* name) {
  if (leftBefore(session, runKey, name)) return;
  if (registryValueExists(os, kHkeyLocalMachine, runKey, name)) deleteFoundRunValue(session, os, runKey, name);
}

// Forgets the held Run key: the next check opens it afresh.
void dropRunKey(Os& os, RunKeyWatch& watch) {
  if (watch.key != 0) os.regCloseKey(watch.key);
  watch.key = 0;
  watch.quietSince = 0;
}

// The fixed names checked through the held Run key. Windows stamps every
// write to a key with the system time, so when the key still shows the
// last-write time of a check that found none of the names, none has been
// written since and the queries can be skipped. That holds only for a time
// read before a clock reading that is later than it: a write after the
// reading is stamped at least that late, even on a clock of coarse ticks.
// False when the check could not be made this way (the caller checks each
// name on its own then).
bool watchedRunCheck(ScanSession& session, Os& os) {
  RunKeyWatch& watch = session.runWatch;
  const std::uint64_t now = os.getSystemTimeAsFileTime();
  if (watch.key == 0 && os.regOpenKeyEx(kHkeyLocalMachine, kRunKey, kKeyRead, &watch.key) != kErrorSuccess) {
    // No Run key (or none that may be read): none of its values either,
    // which is what each name's own open would find now.
    watch.key = 0;
    watch.quietSince = 0;
    return true;
  }
  std::uint64_t written = 0;
  if (os.regQueryInfoKey(watch.key, &written) != kErrorSuccess) {
    dropRunKey(os, watch);  // deleted under us, or no such query here
    return false;
  }
  if (written != 0 && written == watch.quietSince) return true;
  watch.quietSince = 0;

  bool found = false;
  for (const char* name : kFixedRunNameTable) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const long rc = os.regQueryValueEx(watch.key, name, &type, nullptr, &size);
    if (rc == kErrorFileNotFound) continue;
    if (rc != kErrorSuccess && rc != kErrorMoreData) {
      dropRunKey(os, watch);  // the held key went bad: ask by name, as without it
      return false;
    }
    found = true;
    deleteFoundRunValue(session, os, kRunKey, name);
  }
  if (!found && written != 0 && now > written) watch.quietSince = written;
  return true;
}

// The marker's position in the last `tail` bytes of the open file, or -1;
// *length is the file's length. A short read or a failed seek finds nothing.
std::int32_t findMarker(Os& os, int fd, int tail, const char* marker, std::int32_t* length) {
  char text[kWinIniTail + 1];
  if (tail > kWinIniTail || os.lseek(fd, -tail, kSeekEnd) < 0 || os.read(fd, text, unsigned(tail)) != tail) {
    return -1;
  }
  text[tail] = '\0';  // a zero byte inside the tail ends the text earlier
  lowerInPlace(text);
  const char* found = std::strstr(text, marker);
  if (found == nullptr) return -1;
  *length = os.lseek(fd, 0, kSeekEnd);
  return *length < tail ? -1 : static_cast<std::int32_t>(found - text);
}

// Looks for marker in the last `tail` bytes of the open file and cuts the
// file just before it. Owns fd: it is closed exactly once on every path.
//
// The cut goes through a second descriptor, opened by the path as the walk
// found it, and only when that file still has the length and the marker
// position the first read found: a file saved over in between, or a twin
// whose name differs only in case, is never cut at a stale length. A
// read-only file is made writable for the cut and gets its attributes back.
CutResult cutAtMarker(Os& os, const char* path, int fd, int tail, const char* marker, bool lengthFirst,
                      long* error) {
  if (lengthFirst && os.lseek(fd, 0, kSeekEnd) < tail) {
    os.close(fd);
    return CutResult::kNothing;
  }
  std::int32_t length = 0;
  const std::int32_t markerPosition = findMarker(os, fd, tail, marker, &length);
  os.close(fd);
  if (markerPosition < 0) return CutResult::kNothing;

  const std::uint32_t attributes = os.getFileAttributes(path);
  const bool readOnly = attributes != kInvalidFileAttributes && (attributes & kAttrReadOnly) != 0;
  if (readOnly && !os.setFileAttributes(path, attributes & ~kAttrReadOnly)) {
    if (error) *error = os.lastError();
    return CutResult::kRefused;
  }

  CutResult result = CutResult::kRefused;
  const int out = os.open(path, kORdWr | kOBinary);
  if (out >= 0) {
    std::int32_t lengthNow = 0;
    if (findMarker(os, out, tail, marker, &lengthNow) != markerPosition || lengthNow != length) {
      result = CutResult::kNothing;  // not the file that was read: leave it
    } else if (os.chsize(out, length - tail + markerPosition) == 0) {
      result = CutResult::kCut;
    } else if (error) {
      *error = os.lastError();
    }
    os.close(out);
  } else if (error) {
    *error = os.lastError();
  }
  if (readOnly) os.setFileAttributes(path, attributes);
  return result;
}

}  // namespace

int readRegistryString(Os& os, HKey root, const char* key, const char* valueName, char* buffer,
                       std::size_t size) {
  HKey handle = 0;
  if (os.regOpenKeyEx(root, key, kKeyRead, &handle) != kErrorSuccess) return 0;

  bool ok = false;
  std::uint32_t type = 0;
  std::uint32_t needed = 0;
  if (os.regQueryValueEx(handle, valueName, &type, nullptr, &needed) == kErrorSuccess && needed <= size) {
    // The OS never writes more than we offer, so offer exactly the buffer.
    std::uint32_t got = size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);
    if (os.regQueryValueEx(handle, valueName, &type, reinterpret_cast<std::uint8_t*>(buffer), &got) ==
            kErrorSuccess &&
        got <= size) {
      // Registry strings need not carry their zero.
      if (std::memchr(buffer, '\0', got) != nullptr) {
        ok = true;
      } else if (got < size) {
        buffer[got] = '\0';
        ok = true;
      } else if (size > 0) {
        buffer[0] = '\0';  // fills the buffer with no room for a zero
      }
    }
  }
  if (os.regCloseKey(handle) != kErrorSuccess) ok = false;
  return ok ? 1 : 0;
}

int registryValueExists(Os& os, HKey root, const char* key, const char* valueName) {
  HKey handle = 0;
  if (os.regOpenKeyEx(root, key, kKeyRead, &handle) != kErrorSuccess) return 0;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  const bool found = os.regQueryValueEx(handle, valueName, &type, nullptr, &size) == kErrorSuccess;
  const bool closed = os.regCloseKey(handle) == kErrorSuccess;
  return found && closed ? 1 : 0;
}

int deleteRegistryValue(Os& os, HKey root, const char* key, const char* valueName) {
  HKey handle = 0;
  if (os.regOpenKeyEx(root, key, kKeyAllAccess, &handle) != kErrorSuccess) return 0;
  const bool deleted = os.regDeleteValue(handle, valueName) == kErrorSuccess;
  const bool closed = os.regCloseKey(handle) == kErrorSuccess;
  return deleted && closed ? 1 : 0;
}

int deleteMachineKey(Os& os, const char* key) {
  return os.regDeleteKey(kHkeyLocalMachine, key) == kErrorSuccess ? 1 : 0;
}

int cleanRunEntries(ScanSession& session, Os& os, const char* /*path*/) {
  if (!session.runWatch.enabled || !watchedRunCheck(session, os)) {
    for (const char* name : kFixedRunNameTable) removeRunValue(session, os, kRunKey, name);
  }
  if (session.wow64RunView) {
    for (const char* name : kFixedRunNameTable) removeRunValue(session, os, kRunKeyWow64, name);
  }
  return 0;
}

void releaseRunKeyWatch(ScanSession& session, Os& os) {
  RunKeyWatch& watch = session.runWatch;
  if (watch.key != 0) os.regCloseKey(watch.key);
  watch = RunKeyWatch{};
}

int cleanWormRunEntry(ScanSession& session, Os& os, const char* path) {
  char baseName[kPathSize];
  if (!copyText(baseName, sizeof baseName, afterLastBackslash(path))) return 0;
  if (char* dot = std::strchr(baseName, '.')) *dot = '\0';
  // An empty name would address the Run key's default value.
  if (baseName[0] == '\0') return 0;
  removeRunValue(session, os, kRunKey, baseName);
  if (session.wow64RunView) removeRunValue(session, os, kRunKeyWow64, baseName);
  return 0;
}

int stopService(Os& os, const char* serviceName, bool stop) {
  const OsHandle manager = os.openSCManager(nullptr, nullptr, kScManagerAllAccess);
  if (manager == 0) return 0;
  const OsHandle service = os.openService(manager, serviceName, kServiceAllAccess);
  if (service == 0) {
    os.closeServiceHandle(manager);
    return 0;
  }

  int result = 1;  // without stop: the service exists
  if (stop) {
    ServiceStatus status{};
    result = 0;
    if (os.controlService(service, kServiceControlStop, &status)) {
      std::uint32_t state = status.currentState;
      for (std::uint32_t polls = 0;; ++polls) {
        ServiceStatus now{};
        if (!os.queryServiceStatus(service, &now)) break;
        state = now.currentState;
        if (state != kServiceStopPending || polls == kMaxStopPolls) break;
        os.sleep(1000);
      }
      result = state == kServiceStopped ? 1 : 0;
    }
  }
  os.closeServiceHandle(service);
  os.closeServiceHandle(manager);
  return result;
}

int deleteServiceKeys(Os& os, const char* serviceName, std::vector<std::string>* deleted) {
  // A service name holds no backslash; an empty one or one with a backslash
  // would address the Services key itself or another service's keys.
  if (serviceName[0] == '\0' || std::strchr(serviceName, '\\') != nullptr) return 0;

  static const char* const kKeys[][2] = {
      {"SYSTEM\\ControlSet001\\Services\\", "\\Enum"},
      {"SYSTEM\\ControlSet001\\Services\\", "\\Security"},
      {"SYSTEM\\ControlSet001\\Services\\", ""},
      {"SYSTEM\\CONTROLSET002\\SERVICES\\", "\\Enum"},
      {"SYSTEM\\ControlSet002\\Services\\", "\\Security"},
      {"SYSTEM\\ControlSet002\\Services\\", ""},
  };
  int anyDeleted = 0;
  for (const auto& parts : kKeys) {
    char key[kServiceKeySize];
    if (!copyText(key, sizeof key, parts[0]) || !appendText(key, sizeof key, serviceName) ||
        !appendText(key, sizeof key, parts[1]))
      continue;  // a name this long is no service of ours
    if (!deleteMachineKey(os, key)) continue;
    anyDeleted = 1;
    if (deleted) deleted->push_back(std::string("HKEY_LOCAL_MACHINE\\") + key);
  }
  return anyDeleted;
}

CutResult cutWinIni(Os& os, const char* path, int file, long* error) {
  return cutAtMarker(os, path, file, kWinIniTail, kWinIniMarker, false, error);
}

CutResult cutAutoexec(Os& os, const char* path, int file, long* error) {
  return cutAtMarker(os, path, file, kAutoexecTail, kAutoexecMarker, true, error);
}

int cleanWinIni(Os& os, const char* path, int file) { return cutWinIni(os, path, file) == CutResult::kCut ? 1 : 0; }

int cleanAutoexec(Os& os, const char* path, int file) {
  return cutAutoexec(os, path, file) == CutResult::kCut ? 1 : 0;
}

}  // namespace purgato
