// Exercises Win32Os against the real Windows API (run under Wine by
// tests/e2e/run_seam_check.sh). Fixtures are made with the Windows API
// directly; every operation under test goes through the seam. One line per
// check; the exit status is the number of failed checks (capped at 100).
//
//   win32_seam_check.exe            run all checks
//   win32_seam_check.exe --sleep    sleep 60 s (the child that gets ended)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "engine/file_scanner.h"
#include "os/text.h"
#include "os/win32/win32_os.h"
#include "session/session.h"

using namespace purgato;

namespace {

int failures = 0;

void check(bool ok, const char* name, const std::string& detail = std::string()) {
  if (ok) {
    std::printf("ok    %s\n", name);
  } else {
    ++failures;
    std::printf("FAIL  %s%s%s\n", name, detail.empty() ? "" : ": ", detail.c_str());
  }
  std::fflush(stdout);
}

std::string num(long long value) { return std::to_string(value); }

bool writeFile(const std::string& path, const void* bytes, DWORD size) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, bytes, size, &written, nullptr);
  CloseHandle(h);
  return ok && written == size;
}

std::string ownPath() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

// --- Files and drives --------------------------------------------------------

void checkListing(Os& os, const std::string& dir) {
  std::vector<std::string> names;
  std::vector<std::uint32_t> attributes;
  FindData data;
  std::memset(&data, 0x5A, sizeof data);
  OsHandle find = os.findFirstFile((dir + "\\*.*").c_str(), &data);
  check(find != kInvalidHandle, "findFirstFile lists a folder");
  if (find == kInvalidHandle) return;
  do {
    names.push_back(data.fileName);
    attributes.push_back(data.attributes);
  } while (os.findNextFile(find, &data) && names.size() < 100);
  check(os.findClose(find), "findClose");

  auto attributesOf = [&](const char* name) -> long long {
    for (size_t i = 0; i < names.size(); ++i)
      if (compareNoCase(names[i].c_str(), name) == 0) return attributes[i];
    return -1;
  };
  std::string listed;
  for (const std::string& n : names) listed += n + " ";
  check(names.size() == 4, "findNextFile gives . .. and the two entries", listed);
  check(attributesOf(".") >= 0 && (attributesOf(".") & kAttrDirectory), "'.' is listed as a folder", listed);
  check(attributesOf("..") >= 0 && (attributesOf("..") & kAttrDirectory), "'..' is listed as a folder", listed);
  check(attributesOf("sub") >= 0 && (attributesOf("sub") & kAttrDirectory), "a subfolder has the folder bit");
  check(attributesOf("sample.bin") >= 0 && !(attributesOf("sample.bin") & kAttrDirectory),
        "a file is listed without the folder bit");

  FindData none;
  check(os.findFirstFile((dir + "\\nothing-here*.xyz").c_str(), &none) == kInvalidHandle,
        "findFirstFile without a match gives kInvalidHandle");
  check(os.findFirstFile((dir + "\\no-such-folder\\*.*").c_str(), &none) == kInvalidHandle,
        "findFirstFile in a missing folder gives kInvalidHandle");
}

void checkDescriptors(Os& os, const std::string& dir) {
  const std::string path = dir + "\\sample.bin";
  int fd = os.open(path.c_str(), kORdOnly | kOBinary);
  check(fd >= 0, "open read-only binary", num(fd));
  if (fd < 0) return;

  check(os.lseek(fd, 0, kSeekEnd) == 100, "lseek to the end gives the length");
  check(os.lseek(fd, 10, kSeekSet) == 10, "lseek from the start");
  unsigned char bytes[16] = {};
  int got = os.read(fd, bytes, 5);
  check(got == 5 && bytes[0] == 10 && bytes[4] == 14, "read gives the bytes at the position", num(got));
  check(os.lseek(fd, 3, kSeekCur) == 18, "lseek from the current position");
  check(os.lseek(fd, -4, kSeekEnd) == 96, "lseek back from the end");
  got = os.read(fd, bytes, sizeof bytes);
  check(got == 4 && bytes[0] == 96 && bytes[3] == 99, "read at the end is short", num(got));
  check(os.read(fd, bytes, sizeof bytes) == 0, "read past the end gives 0");
  check(os.lseek(fd, -200, kSeekEnd) == -1, "lseek before the start fails");
  check(os.close(fd) == 0, "close");

  check(os.open((dir + "\\missing.bin").c_str(), kORdOnly | kOBinary) == -1, "open of a missing file fails");
  check(os.access(path.c_str(), kAccessRead) == 0, "access read on a file");
  check(os.access(path.c_str(), kAccessExists) == 0, "access exists on a file");
  check(os.access((dir + "\\missing.bin").c_str(), kAccessRead) == -1, "access on a missing file fails");

  // Cut the file the way start-up files are cut: reopen write-only binary.
  fd = os.open(path.c_str(), kOWrOnly | kOBinary);
  check(fd >= 0, "open write-only binary", num(fd));
  if (fd >= 0) {
    check(os.chsize(fd, 40) == 0, "chsize");
    os.close(fd);
  }
  WIN32_FILE_ATTRIBUTE_DATA info = {};
  GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info);
  check(info.nFileSizeLow == 40 && info.nFileSizeHigh == 0, "chsize leaves the asked length",
        num(info.nFileSizeLow));
  fd = os.open(path.c_str(), kORdOnly | kOBinary);
  got = fd >= 0 ? (os.lseek(fd, 39, kSeekSet), os.read(fd, bytes, 4)) : -1;
  check(got == 1 && bytes[0] == 39, "the kept part is unchanged", num(got));
  if (fd >= 0) os.close(fd);
}

void checkAttributesAndDelete(Os& os, const std::string& dir) {
  const std::string path = dir + "\\sample.bin";
  check(os.setFileAttributes(path.c_str(), kAttrReadOnly), "setFileAttributes read-only");
  check((GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY) != 0, "the read-only bit is set on disk");
  check(os.access(path.c_str(), kAccessWrite) == -1, "access write on a read-only file fails");
  check(!os.deleteFile(path.c_str()), "deleteFile of a read-only file fails");
  check(os.setFileAttributes(path.c_str(), kAttrArchive), "setFileAttributes clears read-only");
  check(os.deleteFile(path.c_str()), "deleteFile");
  check(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES, "the file is gone");
  check(!os.deleteFile(path.c_str()), "deleteFile of a missing file fails");
  check(!os.setFileAttributes(path.c_str(), kAttrArchive), "setFileAttributes of a missing file fails");
}

std::string readAll(const std::string& path);

// What Windows keeps for deletions at the next start, as a block of bytes;
// "" when the value is not there.
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
std::string pendingRenames(bool* present) {
  *present = false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  DWORD type = 0, size = 0;
  std::string data;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    data.resize(size);
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(&data[0]), &size) == ERROR_SUCCESS) {
      data.resize(size);
      *present = true;
    }
  }
  RegCloseKey(key);
  return data;
}

void restorePendingRenames(bool present, const std::string& data) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  if (present) {
    RegSetValueExA(key, "PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
  } else {
    RegDeleteValueA(key, "PendingFileRenameOperations");
  }
  RegCloseKey(key);
}

// What a file that cannot be deleted now needs: a file made only when it is
// not there, written to; its short path; and on the NT family the request
// to delete it at the next start, which Windows keeps in the registry.
void checkDeleteAtRestart(Os& os, const std::string& dir) {
  const std::string ini = dir + "\\WININIT.INI";
  int fd = os.open(ini.c_str(), kORdWr | kOBinary | kOCreat | kOExcl);
  check(fd >= 0, "open with _O_CREAT | _O_EXCL makes a missing file", num(fd));
  if (fd >= 0) {
    check(os.write(fd, "[rename]\r\n", 10) == 10, "write gives the bytes written");
    check(os.close(fd) == 0, "close after write");
  }
  check(readAll(ini) == "[rename]\r\n", "the written bytes are on disk", readAll(ini));
  check(os.open(ini.c_str(), kORdWr | kOBinary | kOCreat | kOExcl) == -1, "_O_EXCL refuses a file that is there");
  check(readAll(ini) == "[rename]\r\n", "and leaves it as it was");

  const std::string held = dir + "\\Long Named Worm.exe";
  const unsigned char mz[2] = {'M', 'Z'};
  writeFile(held, mz, sizeof mz);
  char shortPath[MAX_PATH] = "";
  const unsigned length = os.getShortPathName(held.c_str(), shortPath, sizeof shortPath);
  const char* leaf = std::strrchr(shortPath, '\\');
  check(length > 0 && length == std::strlen(shortPath) && leaf != nullptr && std::strlen(leaf + 1) <= 12 &&
            std::strchr(leaf, ' ') == nullptr && GetFileAttributesA(shortPath) != INVALID_FILE_ATTRIBUTES,
        "getShortPathName gives an 8.3 path to the same file", shortPath);
  check(os.getShortPathName(held.c_str(), shortPath, 4) > 4, "getShortPathName asks for a larger buffer");
  check(os.getShortPathName((dir + "\\missing.exe").c_str(), shortPath, sizeof shortPath) == 0,
        "getShortPathName of a missing file fails");

  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return;
  bool present = false;
  const std::string before = pendingRenames(&present);
  check(os.moveFileEx(held.c_str(), nullptr, kMoveFileDelayUntilReboot), "moveFileEx asks for a deletion at restart");
  bool now = false;
  const std::string after = pendingRenames(&now);
  check(now && after.find("\\??\\" + held) != std::string::npos,
        "PendingFileRenameOperations names the file");
  check(GetFileAttributesA(held.c_str()) != INVALID_FILE_ATTRIBUTES, "the file stays until then");
  restorePendingRenames(present, before);
}

std::string readAll(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
  char buffer[512];
  DWORD got = 0;
  const BOOL ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr);
  CloseHandle(h);
  return ok ? std::string(buffer, got) : "<unreadable>";
}

// The worm's start-up entries on real files: a read-only, hidden win.ini is
// cut and keeps its attributes; an autoexec that another program holds
// without sharing writes stays whole and is said to keep its entry.
void checkStartupCut(Os& os, const std::string& dir) {
  const std::string body = "[boot]\r\nshell=Explorer.exe\r\n";
  const std::string winIni = body + "[MSAppFont]\r\nwinboot=scrsvr.exe\r\n";
  const std::string iniPath = dir + "\\WIN.INI";
  const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  check(writeFile(iniPath, winIni.data(), DWORD(winIni.size())) && SetFileAttributesA(iniPath.c_str(), kept),
        "read-only hidden win.ini fixture");
  check(os.getFileAttributes(iniPath.c_str()) == GetFileAttributesA(iniPath.c_str()), "getFileAttributes");
  check(os.getFileAttributes((dir + "\\missing.ini").c_str()) == kInvalidFileAttributes,
        "getFileAttributes of a missing file");
  ScanSession session;
  char path[kPathSize];
  copyText(path, sizeof path, iniPath.c_str());
  scanFile(session, os, "W32/Opaserv.Worm", path);
  check(readAll(iniPath) == body, "a read-only win.ini is cut at the marker", readAll(iniPath));
  check(session.filesDisinfected == 1, "and counted as disinfected", num(session.filesDisinfected));
  check((GetFileAttributesA(iniPath.c_str()) & kept) == kept, "and keeps its attributes",
        num(GetFileAttributesA(iniPath.c_str())));

  const std::string autoexec = std::string("@ECHO OFF\r\n") + kAutoexecMarker + "\r\n";
  const std::string batPath = dir + "\\AUTOEXEC.BAT";
  check(writeFile(batPath, autoexec.data(), DWORD(autoexec.size())), "autoexec fixture");
  HANDLE held = CreateFileA(batPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  check(held != INVALID_HANDLE_VALUE, "another program holds the autoexec, sharing only reads");
  session = ScanSession{};
  copyText(path, sizeof path, batPath.c_str());
  scanFile(session, os, "W32/Opaserv.Worm", path);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  check(readAll(batPath) == autoexec, "a held autoexec is left whole");
  check(session.filesInfected == 1 && session.filesDisinfected == 0, "and counted as infected, not disinfected",
        num(session.filesInfected) + " " + num(session.filesDisinfected));
  check(std::strstr(session.logLine, "    W32/Opaserv.Worm entries could not be removed") != nullptr,
        "and said to keep its entries", session.logLine);
  SetFileAttributesA(iniPath.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(iniPath.c_str());
  DeleteFileA(batPath.c_str());
}

void checkDrives(Os& os) {
  check(os.getDriveType("C:\\") == kDriveFixed, "getDriveType C: is fixed", num(os.getDriveType("C:\\")));
  check(os.getDriveType("Q:\\") == kDriveNoRootDir, "getDriveType of an unused letter has no root",
        num(os.getDriveType("Q:\\")));

  char dir[260] = "";
  unsigned length = os.getWindowsDirectory(dir, sizeof dir);
  check(length > 3 && length < sizeof dir && length == std::strlen(dir), "getWindowsDirectory", dir);
  check(compareNoCaseN(dir, "C:\\", 3) == 0, "the Windows folder is on C:", dir);
  char small[2] = "";
  unsigned needed = os.getWindowsDirectory(small, sizeof small);
  check(needed == length + 1, "getWindowsDirectory on a short buffer gives the size needed", num(needed));
}

// --- Registry --------------------------------------------------------------------

void checkRegistry(Os& os) {
  const char* keyPath = "Software\\PurgatoCheck";
  HKEY made = nullptr;
  HKEY child = nullptr;
  const char text[] = "hello world";
  bool setUp = RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr) ==
                   ERROR_SUCCESS &&
               RegSetValueExA(made, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text) ==
                   ERROR_SUCCESS &&
               RegCreateKeyExA(made, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr) ==
                   ERROR_SUCCESS;
  if (child) RegCloseKey(child);
  if (made) RegCloseKey(made);
  check(setUp, "registry fixture under HKCU\\Software\\PurgatoCheck");
  if (!setUp) return;

  HKey key = 0;
  long status = os.regOpenKeyEx(kHkeyCurrentUser, keyPath, kKeyRead, &key);
  check(status == kErrorSuccess && key != 0, "regOpenKeyEx read-only", num(status));
  if (status == kErrorSuccess) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    status = os.regQueryValueEx(key, "Text", &type, nullptr, &size);
    check(status == kErrorSuccess && size == sizeof text && type == REG_SZ, "regQueryValueEx asks for the size",
          num(status) + " size " + num(size));

    // Only the first 4 bytes are offered; the rest must stay untouched.
    std::uint8_t shortBuffer[8];
    std::memset(shortBuffer, 0xEE, sizeof shortBuffer);
    size = 4;
    status = os.regQueryValueEx(key, "Text", nullptr, shortBuffer, &size);
    check(status == kErrorMoreData && size == sizeof text, "regQueryValueEx on a short buffer gives kErrorMoreData",
          num(status) + " size " + num(size));
    check(shortBuffer[4] == 0xEE && shortBuffer[7] == 0xEE, "nothing is written past the short buffer");

    char data[260] = "";
    size = sizeof data;
    status = os.regQueryValueEx(key, "TEXT", &type, reinterpret_cast<std::uint8_t*>(data), &size);
    check(status == kErrorSuccess && std::strcmp(data, text) == 0 && size == sizeof text,
          "regQueryValueEx reads the data, the name in any case", data);

    size = sizeof data;
    status = os.regQueryValueEx(key, "Missing", nullptr, reinterpret_cast<std::uint8_t*>(data), &size);
    check(status == kErrorFileNotFound, "regQueryValueEx of a missing value", num(status));
    check(os.regCloseKey(key) == kErrorSuccess, "regCloseKey");
  }

  key = 0;
  status = os.regOpenKeyEx(kHkeyCurrentUser, keyPath, kKeyAllAccess, &key);
  check(status == kErrorSuccess, "regOpenKeyEx all access", num(status));
  if (status == kErrorSuccess) {
    // The last-write time the scan's Run check relies on: stamped from the
    // system clock, moved by a write through another handle.
    std::uint64_t before = 0, after = 0;
    check(os.regQueryInfoKey(key, &before) == kErrorSuccess && before != 0, "regQueryInfoKey gives a time");
    check(before <= os.getSystemTimeAsFileTime(), "the last write is not later than the clock");
    Sleep(20);
    const std::uint64_t clock = os.getSystemTimeAsFileTime();
    HKEY other = nullptr;
    const bool wrote = RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_SET_VALUE, &other) == ERROR_SUCCESS &&
                       RegSetValueExA(other, "New", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2) == ERROR_SUCCESS;
    if (other) RegCloseKey(other);
    check(wrote && os.regQueryInfoKey(key, &after) == kErrorSuccess && after != before && after >= clock,
          "a write stamps the key at or after the clock read before it", num(before) + " " + num(after));
    check(os.regDeleteValue(key, "text") == kErrorSuccess, "regDeleteValue");
    check(os.regDeleteValue(key, "Text") == kErrorFileNotFound, "regDeleteValue of a missing value");
    os.regCloseKey(key);
  }
  check(os.regDeleteKey(kHkeyCurrentUser, "Software\\PurgatoCheck\\Child") == kErrorSuccess, "regDeleteKey subkey");
  check(os.regDeleteKey(kHkeyCurrentUser, keyPath) == kErrorSuccess, "regDeleteKey");
  check(os.regOpenKeyEx(kHkeyCurrentUser, keyPath, kKeyRead, &key) == kErrorFileNotFound,
        "regOpenKeyEx of a deleted key fails");
  check(os.regDeleteKey(kHkeyCurrentUser, keyPath) == kErrorFileNotFound, "regDeleteKey of a missing key");
}

// The Run key held open across a scan: a worm value written between two
// files is gone when the next file is checked, with its line, whether the
// key's last-write time lets the check be skipped or not.
void checkRunKeyWatch(Os& os) {
  const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  HKEY key = nullptr;
  const bool made =
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, run, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS;
  check(made, "the machine's Run key");
  if (!made) return;
  ScanSession session;
  session.runWatch.enabled = true;
  cleanRunEntries(session, os, "C:\\first.txt");
  cleanRunEntries(session, os, "C:\\second.txt");  // quiet since the first check: skipped
  check(session.runWatch.quietSince != 0, "a quiet Run key is remembered by its last-write time");
  Sleep(20);
  RegSetValueExA(key, "brasil", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\brasil.exe"), 14);
  cleanRunEntries(session, os, "C:\\third.txt");
  DWORD size = 0;
  check(RegQueryValueExA(key, "brasil", nullptr, nullptr, nullptr, &size) == ERROR_FILE_NOT_FOUND,
        "a worm value written between two files goes at the next file");
  // Written at once after a check, within the same clock tick as the
  // check could see: still found.
  RegSetValueExA(key, "cronos", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\cronos.exe"), 14);
  cleanRunEntries(session, os, "C:\\fourth.txt");
  check(RegQueryValueExA(key, "cronos", nullptr, nullptr, nullptr, &size) == ERROR_FILE_NOT_FOUND,
        "and so does one written right after a check");
  releaseRunKeyWatch(session, os);
  check(session.runWatch.key == 0, "the held Run key is closed at the end");
  RegCloseKey(key);
}

// --- Processes and versions -------------------------------------------------------

void checkVersion(Os& os) {
  OsVersionInfo info;
  std::memset(&info, 0, sizeof info);
  info.size = sizeof info;
  bool ok = os.getVersionEx(&info);
  check(ok && (info.platformId == kPlatformWindows || info.platformId == kPlatformNT) && info.majorVersion >= 4,
        "getVersionEx",
        "platform " + num(info.platformId) + " version " + num(info.majorVersion) + "." + num(info.minorVersion));
  OSVERSIONINFOA direct = {};
  direct.dwOSVersionInfoSize = sizeof direct;
  GetVersionExA(&direct);
  check(direct.dwBuildNumber == info.buildNumber && std::strcmp(direct.szCSDVersion, info.csdVersion) == 0,
        "getVersionEx fills every field like GetVersionExA");
}

void checkToolhelp(Os& os) {
  Module kernel = os.loadLibrary("Kernel32.dll");
  check(kernel != 0, "loadLibrary Kernel32.dll");
  if (!kernel) return;
  Proc snapshotFn = os.getProcAddress(kernel, "CreateToolhelp32Snapshot");
  Proc firstFn = os.getProcAddress(kernel, "Process32First");
  Proc nextFn = os.getProcAddress(kernel, "Process32Next");
  check(snapshotFn && firstFn && nextFn, "getProcAddress finds the toolhelp functions");
  check(os.getProcAddress(kernel, "NoSuchFunctionAnywhere") == 0, "getProcAddress of a missing name gives 0");
  check(os.createToolhelp32Snapshot(0, kTh32csSnapProcess, 0) == kInvalidHandle,
        "a call-through without a function fails");

  OsHandle snapshot = os.createToolhelp32Snapshot(snapshotFn, kTh32csSnapProcess, 0);
  check(snapshot != kInvalidHandle, "createToolhelp32Snapshot");
  if (snapshot != kInvalidHandle) {
    ProcessEntry entry;
    std::memset(&entry, 0, sizeof entry);
    entry.size = sizeof entry;
    const std::string self = afterLastBackslash(ownPath().c_str());
    int count = 0;
    bool foundSelf = false;
    for (bool more = os.process32First(firstFn, snapshot, &entry); more && count < 10000;
         more = os.process32Next(nextFn, snapshot, &entry)) {
      ++count;
      if (entry.processId == GetCurrentProcessId())
        foundSelf = compareNoCase(afterLastBackslash(entry.exeFile), self.c_str()) == 0;
    }
    check(count > 1 && foundSelf, "the snapshot lists this program with its file name", num(count) + " entries");
    check(os.closeHandle(snapshot), "closeHandle on the snapshot");
  }
  check(os.freeLibrary(kernel), "freeLibrary");
}

void checkPsapi(Os& os) {
  Module psapi = os.loadLibrary("psapi.dll");
  check(psapi != 0, "loadLibrary psapi.dll");
  if (!psapi) return;
  Proc enumFn = os.getProcAddress(psapi, "EnumProcesses");
  Proc nameFn = os.getProcAddress(psapi, "GetModuleFileNameExA");
  check(enumFn && nameFn, "getProcAddress finds the psapi functions");

  std::vector<std::uint32_t> ids(1024, 0);
  std::uint32_t bytes = 0;
  bool ok = os.enumProcesses(enumFn, ids.data(), 4096, &bytes);
  bool foundSelf = false;
  for (std::uint32_t i = 0; i < bytes / 4 && i < ids.size(); ++i) foundSelf |= ids[i] == GetCurrentProcessId();
  check(ok && bytes > 4 && bytes % 4 == 0 && foundSelf, "enumProcesses lists this program", num(bytes / 4));

  OsHandle process = os.openProcess(kProcessQueryInformation | kProcessVmRead, false, GetCurrentProcessId());
  check(process != 0, "openProcess for reading");
  if (process) {
    char name[260] = "";
    std::uint32_t length = os.getModuleFileNameEx(nameFn, process, 0, name, sizeof name);
    const std::string self = ownPath();
    check(length == std::strlen(name) && compareNoCase(name, self.c_str()) == 0,
          "getModuleFileNameEx gives this program's path", std::string(name) + " / " + self);
    check(os.closeHandle(process), "closeHandle on the process");
  }
  check(os.openProcess(kProcessTerminate, false, 0xFFFFFFF0u) == 0, "openProcess of a missing id gives 0");
  os.freeLibrary(psapi);
}

// A running copy of this program holds its file as a worm process would:
// the delete fails until the process is ended.
void checkTerminate(Os& os, const std::string& dir) {
  const std::string copy = dir + "\\child.exe";
  check(CopyFileA(ownPath().c_str(), copy.c_str(), FALSE) != FALSE, "copy of this program for a child");
  std::string commandLine = "\"" + copy + "\" --sleep";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  bool started = CreateProcessA(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &child) != FALSE;
  check(started, "child started");
  if (!started) return;
  WaitForInputIdle(child.hProcess, 2000);

  check(!os.deleteFile(copy.c_str()) && GetLastError() == ERROR_ACCESS_DENIED,
        "deleteFile of a running program fails with access denied", num(GetLastError()));
  OsHandle process = os.openProcess(kProcessTerminate | kProcessQueryInformation, false, child.dwProcessId);
  check(process != 0, "openProcess for ending");
  if (process) {
    check(os.terminateProcess(process, 0), "terminateProcess");
    os.closeHandle(process);
  }
  check(WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0, "the child has ended");
  if (WaitForSingleObject(child.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  check(os.deleteFile(copy.c_str()), "deleteFile succeeds once the program has ended");
}

void checkWideText(Os& os) {
  char out[260];
  std::memset(out, 'x', sizeof out);
  int written = os.wideCharToMultiByte(kCpAcp, 0, u"id process", -1, out, sizeof out);
  check(written == 11 && std::strcmp(out, "id process") == 0, "wideCharToMultiByte counts the zero", out);
  char tiny[3];
  check(os.wideCharToMultiByte(kCpAcp, 0, u"id process", -1, tiny, sizeof tiny) == 0,
        "wideCharToMultiByte into a short buffer fails");
}

// --- Services ------------------------------------------------------------------

void checkServices(Os& os) {
  OsHandle manager = os.openSCManager(nullptr, nullptr, kScManagerAllAccess);
  check(manager != 0, "openSCManager");
  if (!manager) return;
  check(os.openService(manager, "PurgatoNoSuchService", kServiceAllAccess) == 0, "openService of a missing service");
  // Wine's plug-and-play service runs in every prefix; it is only queried.
  OsHandle service = os.openService(manager, "PlugPlay", SERVICE_QUERY_STATUS);
  check(service != 0, "openService of a running service");
  if (service) {
    ServiceStatus status;
    std::memset(&status, 0xEE, sizeof status);
    check(os.queryServiceStatus(service, &status) && status.currentState == kServiceRunning,
          "queryServiceStatus of a running service", num(status.currentState));
    check(!os.controlService(service, kServiceControlStop, &status),
          "controlService without the stop right is refused");
    check(os.closeServiceHandle(service), "closeServiceHandle on the service");
  }
  check(os.closeServiceHandle(manager), "closeServiceHandle on the manager");
}

// --- Messages -------------------------------------------------------------------

constexpr UINT kSum = WM_APP + 1;
constexpr UINT kNote = WM_APP + 2;
constexpr UINT kThreadNote = WM_APP + 3;
LPARAM noted = 0;

LRESULT CALLBACK checkWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSum) return static_cast<LRESULT>(wParam) + lParam;
  if (message == kNote) {
    noted = lParam;
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void checkMessages(Os& os) {
  // Every pump loop is bounded: a peekMessage that leaves the message queued
  // must fail a check, not hang the run.
  Message msg;
  for (int i = 0; i < 100 && os.peekMessage(&msg); ++i) {
  }  // also gives the thread its queue
  check(!os.peekMessage(&msg), "peekMessage on an empty queue gives false");

  PostThreadMessageA(GetCurrentThreadId(), kThreadNote, 7, -9);
  std::memset(&msg, 0, sizeof msg);
  check(os.peekMessage(&msg) && msg.window == 0 && msg.message == kThreadNote && msg.wParam == 7 && msg.lParam == -9,
        "peekMessage removes a posted thread message", num(msg.message));
  check(!os.peekMessage(&msg), "the message was removed");

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = checkWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "PurgatoSeamCheck";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowExA(0, "PurgatoSeamCheck", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  check(window != nullptr, "a message-only window for the channel");
  if (!window) return;
  const HWnd seamWindow = reinterpret_cast<HWnd>(window);
  check(os.sendMessage(seamWindow, kSum, 40, 2) == 42, "sendMessage gives the window's result");

  PostMessageA(window, kNote, 0, 1234);
  bool pumped = false;
  for (int i = 0; i < 100 && os.peekMessage(&msg); ++i) {
    if (msg.message == kNote) pumped = msg.window == seamWindow;
    os.translateMessage(&msg);
    os.dispatchMessage(&msg);
  }
  check(pumped && noted == 1234, "peekMessage, translateMessage and dispatchMessage reach the window");
  DestroyWindow(window);

  DWORD before = GetTickCount();
  os.sleep(50);
  DWORD slept = GetTickCount() - before;
  check(slept >= 30, "sleep waits", num(slept));
}

// Before the checks (a run that was killed leaves its fixtures) and after.
void removeFixtures(const std::string& dir) {
  SetFileAttributesA((dir + "\\sample.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA((dir + "\\sample.bin").c_str());
  DeleteFileA((dir + "\\child.exe").c_str());
  SetFileAttributesA((dir + "\\WIN.INI").c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA((dir + "\\WIN.INI").c_str());
  DeleteFileA((dir + "\\AUTOEXEC.BAT").c_str());
  DeleteFileA((dir + "\\WININIT.INI").c_str());
  DeleteFileA((dir + "\\Long Named Worm.exe").c_str());
  RemoveDirectoryA((dir + "\\sub").c_str());
  RemoveDirectoryA(dir.c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\PurgatoCheck\\Child");
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\PurgatoCheck");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--sleep") == 0) {
    Sleep(60000);
    return 0;
  }

  Win32Os os;
  const std::string dir = "C:\\PurgatoSeamCheck";
  removeFixtures(dir);
  const unsigned char bytes[100] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                    20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39,
                                    40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59,
                                    60, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79,
                                    80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96, 97, 98, 99};
  bool setUp = CreateDirectoryA(dir.c_str(), nullptr) && CreateDirectoryA((dir + "\\sub").c_str(), nullptr) &&
               writeFile(dir + "\\sample.bin", bytes, sizeof bytes);
  check(setUp, "file fixture under C:\\", dir);
  if (setUp) {
    checkListing(os, dir);
    checkDescriptors(os, dir);
    checkAttributesAndDelete(os, dir);
    checkStartupCut(os, dir);
    checkDeleteAtRestart(os, dir);
  }
  checkDrives(os);
  checkRegistry(os);
  checkRunKeyWatch(os);
  checkVersion(os);
  checkToolhelp(os);
  checkPsapi(os);
  if (setUp) checkTerminate(os, dir);
  checkWideText(os);
  checkServices(os);
  checkMessages(os);

  removeFixtures(dir);

  std::printf("%s: %d failed\n", failures ? "FAILED" : "PASSED", failures);
  return failures > 100 ? 100 : failures;
}
