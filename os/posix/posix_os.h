// The seam served from a mounted Windows volume on Linux.
//
// Drive letters map to host folders. Paths are Windows paths
// ("C:\\dir\\file.ext", '\\' separators only); each component resolves
// without regard to letter case, as on Windows: to the entry spelled
// exactly so when there is one, else to the first entry in byte order
// (ASCII letters folded) that matches it without regard to case. The
// folder's names are read once for such lookups and kept while the folder
// does not change, so names that vanish mid-walk cost no rereading.
// "." and ".." inside a path are folded lexically, as Win32 does, and a
// ".." at the root stays at the root.
//
// A path of 260 characters or more fails, as the ANSI calls fail beyond
// MAX_PATH.
//
// Every path resolves beneath its drive's root directory
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): a symbolic link
// whose target lies inside the volume behaves like its target; one that
// leads out of it, dangles, or has an absolute target (even one that
// names a place inside) cannot be opened, listed into, deleted through or
// have its attributes set. Nothing outside a mapped folder is ever read or
// changed. Deleting the link entry itself is fine.
//
// Listings carry only the directory and reparse-point bits reliably
// (kAttrDirectory, kAttrReparsePoint for a link); kAttrReadOnly and
// kAttrArchive are reported only where a stat was made anyway (a link, an
// entry of unknown type, or a pattern without wildcards). Entries are not
// stat'ed one by one, as that would double the system calls of a scan; the
// core reads nothing else from a listing. Fifos, devices, sockets and names
// holding a backslash are left out: no Windows path names them.
//
// A change to a file (delete, attributes, an open for writing) that
// follows a read of it acts on the very file that was read, under the
// name it was read by: when that file is gone or another took its name,
// the change fails as for a missing file, and no other spelling of the
// name is tried. Reads leave access times alone where the system allows it
// (O_NOATIME: files the process owns, or any file when privileged).
//
// The read-only attribute is the owner's write bit. As on Windows, a
// read-only file cannot be opened for writing nor deleted (root could do
// both here). Text mode reads like binary mode: no newline translation.
// No file is ever created: an open with kOCreat fails.
//
// There is no registry, process list or service manager: those calls fail
// the way Windows fails when the thing is absent, and getVersionEx reports
// platform 0 (neither 9x nor NT).
//
// setReadAhead starts a few threads that warm the page cache ahead of the
// walk (os/posix/read_ahead.h); what the calls return does not change.
//
// Not thread-safe: one PosixOs serves one scan.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/os.h"

namespace purgato {

class PosixOs : public Os {
 public:
  using MessageSink = std::function<std::intptr_t(HWnd, std::uint32_t, std::uintptr_t, std::intptr_t)>;
  using MessageSource = std::function<bool(Message*)>;
  using MessageBoxHandler = std::function<int(HWnd, const char*, const char*, std::uint32_t)>;
  using DispatchHandler = std::function<void(const Message*)>;
  // Places a scan passes over without a word from the core.
  enum class Trouble {
    kUnreadable,     // a folder that cannot be listed, a file that cannot be opened or read (error: errno)
    kTooLong,        // an entry whose Windows path would be 260 characters or more
    kFolderTooDeep,  // a folder whose search pattern ("\\*.*" added) would not fit 260 bytes
  };
  using TroubleSink = std::function<void(const std::string& windowsPath, Trouble kind, int error)>;

  PosixOs();
  ~PosixOs() override;
  PosixOs(const PosixOs&) = delete;
  PosixOs& operator=(const PosixOs&) = delete;

  // Serves drive `letter` (either case) from host `folder`. The folder is
  // opened now; when it cannot be opened the drive stays unmapped. Mapping
  // a letter again replaces the old folder.
  void mapDrive(char letter, const std::string& folder);
  // The text getWindowsDirectory returns (default "C:\\WINDOWS").
  void setWindowsDirectory(const std::string& windowsPath);
  // What sendMessage calls (default: nothing, returns 0).
  void setMessageSink(MessageSink sink);
  // What peekMessage polls (default: nothing is ever queued).
  void setMessageSource(MessageSource source);
  // What messageBox calls (default: answers kIdNo).
  void setMessageBoxHandler(MessageBoxHandler handler);
  // What dispatchMessage calls (default: nothing).
  void setDispatchHandler(DispatchHandler handler);
  // Forgets the cached descriptor of the last folder resolved. Needed only
  // when a folder was replaced on the host behind this object's back (the
  // cache holds the folder itself, not its name).
  void forgetCachedFolder();
  // What is called, once per place, for every place a wildcard listing,
  // a read-only open or a read could not serve for a reason other than
  // absence (a missing name, a link that leads out of the volume), and for
  // every listed entry the walker must pass over for its length. Default:
  // nothing is reported. Setting it forgets the places reported so far.
  void setTroubleSink(TroubleSink sink);
  // Fetches, in the background, the first pages of up to filesAhead files
  // beyond the last one opened, in the order of the latest listing, and the
  // listings of its subfolders. 0 (the default) stops it: the fetching
  // threads have ended when this returns. Only wildcard listings made
  // after this call are fetched from.
  void setReadAhead(unsigned filesAhead);
  // Folders read in full so far (listings and case-insensitive lookups).
  unsigned long directoryReads() const;

  // True when `letter` (either case) is a mapped drive.
  bool isMapped(char letter) const;
  // The host path a Windows path resolves to, each component spelled as it
  // is on disk (a missing last component as written); false when the
  // folder part does not resolve inside its volume.
  bool hostPath(const char* windowsPath, std::string* result);
  // The short (8.3) name the volume keeps for the entry at windowsPath:
  // ntfs-3g serves it as the attribute system.ntfs_dos_name. False with
  // errno ENODATA when the entry has none, ENOTSUP (or another) where the
  // file system keeps no short names or the path does not resolve.
  bool dosName(const char* windowsPath, std::string* name);

  // --- Files and drives -------------------------------------------------
  OsHandle findFirstFile(const char* pattern, FindData* data) override;
  bool findNextFile(OsHandle find, FindData* data) override;
  bool findClose(OsHandle find) override;
  int open(const char* path, int flags) override;
  std::int32_t lseek(int fd, std::int32_t offset, int origin) override;
  int read(int fd, void* buffer, unsigned count) override;
  int write(int fd, const void* buffer, unsigned count) override;
  int chsize(int fd, std::int32_t size) override;
  int close(int fd) override;
  int access(const char* path, int mode) override;
  // The entry as named, without wildcards; a link reports its target's
  // attributes with the reparse bit, as a listing does.
  std::uint32_t getFileAttributes(const char* path) override;
  bool setFileAttributes(const char* path, std::uint32_t attributes) override;
  bool deleteFile(const char* path) override;
  unsigned getDriveType(const char* root) override;
  unsigned getWindowsDirectory(char* buffer, unsigned size) override;
  // There are no short names and no restart: getShortPathName and
  // moveFileEx fail (the defaults of Os).

  // --- Registry: absent -------------------------------------------------
  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long regCloseKey(HKey key) override;

  // --- Processes and versions: absent, platform 0 -----------------------
  bool getVersionEx(OsVersionInfo* info) override;
  Module loadLibrary(const char* name) override;
  bool freeLibrary(Module module) override;
  Proc getProcAddress(Module module, const char* name) override;
  OsHandle createToolhelp32Snapshot(Proc fn, std::uint32_t flags, std::uint32_t processId) override;
  bool process32First(Proc fn, OsHandle snapshot, ProcessEntry* entry) override;
  bool process32Next(Proc fn, OsHandle snapshot, ProcessEntry* entry) override;
  bool enumProcesses(Proc fn, std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* bytesReturned) override;
  std::uint32_t getModuleFileNameEx(Proc fn, OsHandle process, Module module, char* name,
                                    std::uint32_t size) override;
  OsHandle openProcess(std::uint32_t access, bool inherit, std::uint32_t processId) override;
  bool terminateProcess(OsHandle process, std::uint32_t exitCode) override;
  bool closeHandle(OsHandle handle) override;
  int wideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* wide, int wideLength, char* out,
                          int outSize) override;

  // --- Services: absent -------------------------------------------------
  OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) override;
  OsHandle openService(OsHandle manager, const char* name, std::uint32_t access) override;
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override;
  bool queryServiceStatus(OsHandle service, ServiceStatus* status) override;
  bool closeServiceHandle(OsHandle handle) override;

  // --- Messages, message boxes, sleeping --------------------------------
  bool peekMessage(Message* msg) override;
  void translateMessage(const Message* msg) override;
  void dispatchMessage(const Message* msg) override;
  std::intptr_t sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  int messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) override;
  void sleep(std::uint32_t milliseconds) override;
  // The errno value of the last failed call.
  long lastError() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;  // drives, open files, listings, caches
};

}  // namespace purgato
