// The one seam between the core and the operating system.
//
// Every operation mirrors the Windows call of the same name: same arguments,
// same results, same error values. The Win32 implementation is one call per
// operation; the POSIX implementation serves a mounted Windows volume; the
// test double adds an in-memory registry, process table and service manager
// and can make any call fail on request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace purgato {

using OsHandle = std::uintptr_t;  // HANDLE, search handle, service handle
using HKey = std::uintptr_t;      // HKEY
using HWnd = std::uintptr_t;      // HWND
using Module = std::uintptr_t;    // HMODULE
using Proc = std::uintptr_t;      // a function found with getProcAddress

constexpr OsHandle kInvalidHandle = ~OsHandle(0);  // INVALID_HANDLE_VALUE

// Registry roots and rights, with their Win32 values.
constexpr HKey kHkeyCurrentUser = 0x80000001u;
constexpr HKey kHkeyLocalMachine = 0x80000002u;
constexpr HKey kHkeyPerformanceData = 0x80000004u;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;

// Win32 error codes the core tests for.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorMoreData = 234;
constexpr long kErrorInvalidFunction = 1;
constexpr long kErrorCallNotImplemented = 120;

// File attributes.
constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr std::uint32_t kAttrHidden = 0x02;
constexpr std::uint32_t kAttrSystem = 0x04;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrArchive = 0x20;
constexpr std::uint32_t kAttrReparsePoint = 0x400;
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;  // INVALID_FILE_ATTRIBUTES

// Drive types of GetDriveTypeA.
constexpr unsigned kDriveUnknown = 0;
constexpr unsigned kDriveNoRootDir = 1;
constexpr unsigned kDriveRemovable = 2;
constexpr unsigned kDriveFixed = 3;
constexpr unsigned kDriveRemote = 4;
constexpr unsigned kDriveCdrom = 5;
constexpr unsigned kDriveRamdisk = 6;

// C run-time _open flags and _access modes (Microsoft values).
constexpr int kORdOnly = 0x0000;
constexpr int kOWrOnly = 0x0001;
constexpr int kORdWr = 0x0002;
constexpr int kOBinary = 0x8000;
constexpr int kOCreat = 0x0100;
constexpr int kOExcl = 0x0400;
constexpr int kAccessExists = 0;
constexpr int kAccessWrite = 2;
constexpr int kAccessRead = 4;
constexpr int kSeekSet = 0;
constexpr int kSeekCur = 1;
constexpr int kSeekEnd = 2;

// Platform ids of OSVERSIONINFOA.
constexpr std::uint32_t kPlatformWin32s = 0;
constexpr std::uint32_t kPlatformWindows = 1;  // 95, 98, Me
constexpr std::uint32_t kPlatformNT = 2;

// Message numbers, message box styles and answers.
constexpr std::uint32_t kWmDestroy = 0x0002;
constexpr std::uint32_t kWmQuit = 0x0012;
constexpr std::uint32_t kMbYesNo = 0x04;
constexpr std::uint32_t kMbIconInformation = 0x40;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Process and service rights and codes.
constexpr std::uint32_t kProcessTerminate = 0x0001;
constexpr std::uint32_t kProcessVmRead = 0x0010;
constexpr std::uint32_t kProcessQueryInformation = 0x0400;
constexpr std::uint32_t kTh32csSnapProcess = 0x2;
constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
constexpr std::uint32_t kServiceAllAccess = 0xF003F;
constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr unsigned kCpAcp = 0;

// MoveFileExA flags.
constexpr std::uint32_t kMoveFileDelayUntilReboot = 0x4;

// WIN32_FIND_DATAA, reduced to what the core reads.
struct FindData {
  std::uint32_t attributes;  // FILE_ATTRIBUTE_* bits
  char fileName[260];        // name of the entry, no folder
};

// OSVERSIONINFOA: 148 bytes, the size field set by the caller.
struct OsVersionInfo {
  std::uint32_t size;
  std::uint32_t majorVersion;
  std::uint32_t minorVersion;
  std::uint32_t buildNumber;
  std::uint32_t platformId;
  char csdVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 148, "OSVERSIONINFOA layout");

// PROCESSENTRY32: 296 bytes in a 32-bit program. th32DefaultHeapID is
// pointer-sized, which moves every later field in a 64-bit one.
struct ProcessEntry {
  std::uint32_t size;
  std::uint32_t usage;
  std::uint32_t processId;
  std::uintptr_t defaultHeapId;
  std::uint32_t moduleId;
  std::uint32_t threads;
  std::uint32_t parentProcessId;
  std::int32_t priClassBase;
  std::uint32_t flags;
  char exeFile[260];  // bare name or full path, by platform
};
static_assert(sizeof(void*) != 4 || sizeof(ProcessEntry) == 296, "PROCESSENTRY32 layout");

// SERVICE_STATUS.
struct ServiceStatus {
  std::uint32_t serviceType;
  std::uint32_t currentState;
  std::uint32_t controlsAccepted;
  std::uint32_t win32ExitCode;
  std::uint32_t serviceSpecificExitCode;
  std::uint32_t checkPoint;
  std::uint32_t waitHint;
};

// MSG.
struct Message {
  HWnd window;
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
  std::uint32_t time;
  std::int32_t x;
  std::int32_t y;
};

class Os {
 public:
  virtual ~Os() = default;

  // --- Files and drives -------------------------------------------------
  // FindFirstFileA: kInvalidHandle when nothing matches or the folder cannot
  // be listed.
  virtual OsHandle findFirstFile(const char* pattern, FindData* data) = 0;
  // FindNextFileA: false at the end of the listing.
  virtual bool findNextFile(OsHandle find, FindData* data) = 0;
  virtual bool findClose(OsHandle find) = 0;
  // _open: a descriptor, or -1.
  virtual int open(const char* path, int flags) = 0;
  // _lseek: the new position, or -1 (a negative position is a failure).
  virtual std::int32_t lseek(int fd, std::int32_t offset, int origin) = 0;
  // _read: bytes read (fewer than asked at the end of the file), or -1.
  virtual int read(int fd, void* buffer, unsigned count) = 0;
  // _write: bytes written, or -1. By default: a failure.
  virtual int write(int fd, const void* buffer, unsigned count);
  // _chsize: 0, or -1.
  virtual int chsize(int fd, std::int32_t size) = 0;
  virtual int close(int fd) = 0;
  // _access: 0 when the path exists with the asked mode, else -1.
  virtual int access(const char* path, int mode) = 0;
  // GetFileAttributesA: the FILE_ATTRIBUTE_* bits, or kInvalidFileAttributes.
  // By default the volume answers from a listing of the one name (a mounted
  // volume keeps no more than its listing shows).
  virtual std::uint32_t getFileAttributes(const char* path);
  virtual bool setFileAttributes(const char* path, std::uint32_t attributes) = 0;
  virtual bool deleteFile(const char* path) = 0;
  virtual unsigned getDriveType(const char* root) = 0;
  // GetWindowsDirectoryA: length of the text, 0 on failure, or the size
  // needed when the buffer is too small.
  virtual unsigned getWindowsDirectory(char* buffer, unsigned size) = 0;
  // GetShortPathNameA: length of the short path, 0 on failure (the file is
  // not there), or the size needed when the buffer is too small. By
  // default: a failure.
  virtual unsigned getShortPathName(const char* longPath, char* shortPath, unsigned size);
  // MoveFileExA. With a null newName and kMoveFileDelayUntilReboot the file
  // is deleted when Windows next starts (NT family only; on the 9x family
  // the call is a stub that fails). By default: a failure.
  virtual bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags);

  // --- Registry (results are Win32 error codes) -------------------------
  virtual long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) = 0;
  // RegQueryValueExA: data may be null to ask for the size; *size is the
  // buffer size on entry and the data size on return.
  virtual long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type,
                               std::uint8_t* data, std::uint32_t* size) = 0;
  virtual long regDeleteValue(HKey key, const char* valueName) = 0;
  virtual long regDeleteKey(HKey root, const char* subKey) = 0;
  virtual long regCloseKey(HKey key) = 0;
  // RegQueryInfoKeyA, asked only for the last-write time (a FILETIME as one
  // number). The 9x family keeps none and answers 0. By default: a failure.
  virtual long regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime);

  // RegEnumValueA: the value at index (name without its zero, *nameSize
  // its length; data and *dataSize as for regQueryValueEx); 259
  // (ERROR_NO_MORE_ITEMS) past the last. By default: kErrorInvalidFunction.
  virtual long regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                            std::uint8_t* data, std::uint32_t* dataSize);

  // --- Processes and versions -------------------------------------------
  virtual bool getVersionEx(OsVersionInfo* info) = 0;
  virtual Module loadLibrary(const char* name) = 0;  // 0 on failure
  virtual bool freeLibrary(Module module) = 0;
  virtual Proc getProcAddress(Module module, const char* name) = 0;  // 0 when absent
  // Calls through functions found by name; fn is what getProcAddress gave.
  virtual OsHandle createToolhelp32Snapshot(Proc fn, std::uint32_t flags, std::uint32_t processId) = 0;
  virtual bool process32First(Proc fn, OsHandle snapshot, ProcessEntry* entry) = 0;
  virtual bool process32Next(Proc fn, OsHandle snapshot, ProcessEntry* entry) = 0;
  virtual bool enumProcesses(Proc fn, std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* bytesReturned) = 0;
  virtual std::uint32_t getModuleFileNameEx(Proc fn, OsHandle process, Module module, char* name,
                                            std::uint32_t size) = 0;
  virtual OsHandle openProcess(std::uint32_t access, bool inherit, std::uint32_t processId) = 0;  // 0 on failure
  virtual bool terminateProcess(OsHandle process, std::uint32_t exitCode) = 0;
  virtual bool closeHandle(OsHandle handle) = 0;
  // WideCharToMultiByte with no default character: bytes written (the zero
  // included when wideLength is -1), 0 on failure.
  virtual int wideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* wide, int wideLength,
                                  char* out, int outSize) = 0;

  // --- Services ---------------------------------------------------------
  virtual OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) = 0;  // 0 on failure
  virtual OsHandle openService(OsHandle manager, const char* name, std::uint32_t access) = 0;  // 0 on failure
  virtual bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) = 0;
  virtual bool queryServiceStatus(OsHandle service, ServiceStatus* status) = 0;
  virtual bool closeServiceHandle(OsHandle handle) = 0;

  // --- Messages, message boxes, sleeping --------------------------------
  // PeekMessageA(msg, NULL, 0, 0, PM_REMOVE): false when nothing is queued.
  virtual bool peekMessage(Message* msg) = 0;
  virtual void translateMessage(const Message* msg) = 0;
  virtual void dispatchMessage(const Message* msg) = 0;
  virtual std::intptr_t sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam) = 0;
  virtual int messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) = 0;
  virtual void sleep(std::uint32_t milliseconds) = 0;
  // GetSystemTimeAsFileTime, the clock the registry stamps its writes with.
  // By default 0: no clock.
  virtual std::uint64_t getSystemTimeAsFileTime();
  // GetLastError: the error the last failed call of this thread left (on a
  // mounted volume the errno value). By default 0: not known.
  virtual long lastError();
};

}  // namespace purgato
