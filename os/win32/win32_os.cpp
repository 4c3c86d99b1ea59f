// The seam on real Windows. Each operation is one Windows or C run-time
// call; the seam's structs are handed to Windows as they are, so their
// layouts are checked against the Windows ones below.
#include "os/win32/win32_os.h"

#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>

namespace purgato {

namespace {

// --- The seam's constants are the Windows values -------------------------

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed through as wchar_t");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "DWORD arrays are passed through");

static_assert(kErrorSuccess == ERROR_SUCCESS && kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
                  kErrorAccessDenied == ERROR_ACCESS_DENIED && kErrorMoreData == ERROR_MORE_DATA,
              "error codes");
static_assert(kKeyRead == KEY_READ && kKeyAllAccess == KEY_ALL_ACCESS, "registry rights");
static_assert(kAttrReadOnly == FILE_ATTRIBUTE_READONLY && kAttrHidden == FILE_ATTRIBUTE_HIDDEN &&
                  kAttrSystem == FILE_ATTRIBUTE_SYSTEM && kAttrDirectory == FILE_ATTRIBUTE_DIRECTORY &&
                  kAttrArchive == FILE_ATTRIBUTE_ARCHIVE && kAttrReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT &&
                  kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES,
              "file attributes");
static_assert(kDriveUnknown == DRIVE_UNKNOWN && kDriveNoRootDir == DRIVE_NO_ROOT_DIR &&
                  kDriveRemovable == DRIVE_REMOVABLE && kDriveFixed == DRIVE_FIXED && kDriveRemote == DRIVE_REMOTE &&
                  kDriveCdrom == DRIVE_CDROM && kDriveRamdisk == DRIVE_RAMDISK,
              "drive types");
static_assert(kORdOnly == _O_RDONLY && kOWrOnly == _O_WRONLY && kORdWr == _O_RDWR && kOBinary == _O_BINARY &&
                  kOCreat == _O_CREAT && kOExcl == _O_EXCL,
              "_open flags");
static_assert(kSeekSet == SEEK_SET && kSeekCur == SEEK_CUR && kSeekEnd == SEEK_END, "_lseek origins");
static_assert(kPlatformWin32s == VER_PLATFORM_WIN32s && kPlatformWindows == VER_PLATFORM_WIN32_WINDOWS &&
                  kPlatformNT == VER_PLATFORM_WIN32_NT,
              "platform ids");
static_assert(kWmDestroy == WM_DESTROY && kWmQuit == WM_QUIT, "message numbers");
static_assert(kMbYesNo == MB_YESNO && kMbIconInformation == MB_ICONINFORMATION && kIdYes == IDYES &&
                  kIdNo == IDNO,
              "message boxes");
static_assert(kProcessTerminate == PROCESS_TERMINATE && kProcessVmRead == PROCESS_VM_READ &&
                  kProcessQueryInformation == PROCESS_QUERY_INFORMATION && kTh32csSnapProcess == TH32CS_SNAPPROCESS,
              "process rights");
// kServiceAllAccess is 0xF003F, not SERVICE_ALL_ACCESS (0xF01FF): it lacks
// pause, interrogate and user controls but holds everything the core asks of
// a service (stop, query status, delete).
static_assert(kScManagerAllAccess == SC_MANAGER_ALL_ACCESS &&
                  (kServiceAllAccess & (SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)) ==
                      (SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE) &&
                  kServiceControlStop == SERVICE_CONTROL_STOP && kServiceStopped == SERVICE_STOPPED &&
                  kServiceStopPending == SERVICE_STOP_PENDING && kServiceRunning == SERVICE_RUNNING,
              "service codes");
static_assert(kCpAcp == CP_ACP, "code pages");
static_assert(kMoveFileDelayUntilReboot == MOVEFILE_DELAY_UNTIL_REBOOT &&
                  kErrorCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED,
              "MoveFileExA");

// --- Structs handed straight to Windows -----------------------------------

static_assert(sizeof(OsVersionInfo) == sizeof(OSVERSIONINFOA) &&
                  offsetof(OsVersionInfo, size) == offsetof(OSVERSIONINFOA, dwOSVersionInfoSize) &&
                  offsetof(OsVersionInfo, majorVersion) == offsetof(OSVERSIONINFOA, dwMajorVersion) &&
                  offsetof(OsVersionInfo, minorVersion) == offsetof(OSVERSIONINFOA, dwMinorVersion) &&
                  offsetof(OsVersionInfo, buildNumber) == offsetof(OSVERSIONINFOA, dwBuildNumber) &&
                  offsetof(OsVersionInfo, platformId) == offsetof(OSVERSIONINFOA, dwPlatformId) &&
                  offsetof(OsVersionInfo, csdVersion) == offsetof(OSVERSIONINFOA, szCSDVersion),
              "OSVERSIONINFOA layout");

// The product is the 32-bit image; the 64-bit build is a test twin whose
// layout is the header's.
static_assert(sizeof(void*) != 4 || sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 of a 32-bit image");
static_assert(sizeof(ProcessEntry) == sizeof(PROCESSENTRY32) &&
                  offsetof(ProcessEntry, size) == offsetof(PROCESSENTRY32, dwSize) &&
                  offsetof(ProcessEntry, usage) == offsetof(PROCESSENTRY32, cntUsage) &&
                  offsetof(ProcessEntry, processId) == offsetof(PROCESSENTRY32, th32ProcessID) &&
                  offsetof(ProcessEntry, defaultHeapId) == offsetof(PROCESSENTRY32, th32DefaultHeapID) &&
                  offsetof(ProcessEntry, moduleId) == offsetof(PROCESSENTRY32, th32ModuleID) &&
                  offsetof(ProcessEntry, threads) == offsetof(PROCESSENTRY32, cntThreads) &&
                  offsetof(ProcessEntry, parentProcessId) == offsetof(PROCESSENTRY32, th32ParentProcessID) &&
                  offsetof(ProcessEntry, priClassBase) == offsetof(PROCESSENTRY32, pcPriClassBase) &&
                  offsetof(ProcessEntry, flags) == offsetof(PROCESSENTRY32, dwFlags) &&
                  offsetof(ProcessEntry, exeFile) == offsetof(PROCESSENTRY32, szExeFile) &&
                  sizeof(ProcessEntry::exeFile) == sizeof(PROCESSENTRY32::szExeFile),
              "PROCESSENTRY32 layout");

static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS) &&
                  offsetof(ServiceStatus, serviceType) == offsetof(SERVICE_STATUS, dwServiceType) &&
                  offsetof(ServiceStatus, currentState) == offsetof(SERVICE_STATUS, dwCurrentState) &&
                  offsetof(ServiceStatus, controlsAccepted) == offsetof(SERVICE_STATUS, dwControlsAccepted) &&
                  offsetof(ServiceStatus, win32ExitCode) == offsetof(SERVICE_STATUS, dwWin32ExitCode) &&
                  offsetof(ServiceStatus, serviceSpecificExitCode) ==
                      offsetof(SERVICE_STATUS, dwServiceSpecificExitCode) &&
                  offsetof(ServiceStatus, checkPoint) == offsetof(SERVICE_STATUS, dwCheckPoint) &&
                  offsetof(ServiceStatus, waitHint) == offsetof(SERVICE_STATUS, dwWaitHint),
              "SERVICE_STATUS layout");

static_assert(sizeof(Message) == sizeof(MSG) && offsetof(Message, window) == offsetof(MSG, hwnd) &&
                  offsetof(Message, message) == offsetof(MSG, message) &&
                  offsetof(Message, wParam) == offsetof(MSG, wParam) &&
                  offsetof(Message, lParam) == offsetof(MSG, lParam) && offsetof(Message, time) == offsetof(MSG, time) &&
                  offsetof(Message, x) == offsetof(MSG, pt) + offsetof(POINT, x) &&
                  offsetof(Message, y) == offsetof(MSG, pt) + offsetof(POINT, y),
              "MSG layout");

// WIN32_FIND_DATAA is not passed through: the seam keeps only two fields.
static_assert(sizeof(FindData::fileName) == sizeof(WIN32_FIND_DATAA::cFileName), "file name buffer");

// --- Functions found by name -------------------------------------------------

typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* Process32Fn)(HANDLE snapshot, PROCESSENTRY32* entry);
typedef BOOL(WINAPI* EnumProcessesFn)(DWORD* ids, DWORD bytes, DWORD* bytesReturned);
typedef DWORD(WINAPI* GetModuleFileNameExAFn)(HANDLE process, HMODULE module, LPSTR name, DWORD size);

template <typename Fn>
Fn function(Proc fn) {
  return reinterpret_cast<Fn>(fn);
}

HANDLE handle(OsHandle h) { return reinterpret_cast<HANDLE>(h); }
OsHandle osHandle(HANDLE h) { return reinterpret_cast<OsHandle>(h); }
HKEY hkey(HKey k) { return reinterpret_cast<HKEY>(k); }
SC_HANDLE scHandle(OsHandle h) { return reinterpret_cast<SC_HANDLE>(h); }
HWND hwnd(HWnd w) { return reinterpret_cast<HWND>(w); }

void copyFindData(const WIN32_FIND_DATAA& from, FindData* to) {
  to->attributes = from.dwFileAttributes;
  std::memcpy(to->fileName, from.cFileName, sizeof(to->fileName));
  to->fileName[sizeof(to->fileName) - 1] = '\0';
}

}  // namespace

// --- Files and drives --------------------------------------------------------

OsHandle Win32Os::findFirstFile(const char* pattern, FindData* data) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find != INVALID_HANDLE_VALUE) copyFindData(found, data);
  return find == INVALID_HANDLE_VALUE ? kInvalidHandle : osHandle(find);
}

bool Win32Os::findNextFile(OsHandle find, FindData* data) {
  WIN32_FIND_DATAA found;
  if (!FindNextFileA(handle(find), &found)) return false;
  copyFindData(found, data);
  return true;
}

bool Win32Os::findClose(OsHandle find) { return FindClose(handle(find)) != FALSE; }

// A file made by _O_CREAT is left readable and writable.
int Win32Os::open(const char* path, int flags) { return _open(path, flags, _S_IREAD | _S_IWRITE); }

std::int32_t Win32Os::lseek(int fd, std::int32_t offset, int origin) { return _lseek(fd, offset, origin); }

int Win32Os::read(int fd, void* buffer, unsigned count) { return _read(fd, buffer, count); }

int Win32Os::write(int fd, const void* buffer, unsigned count) { return _write(fd, buffer, count); }

int Win32Os::chsize(int fd, std::int32_t size) { return _chsize(fd, size); }

int Win32Os::close(int fd) { return _close(fd); }

int Win32Os::access(const char* path, int mode) { return _access(path, mode); }

std::uint32_t Win32Os::getFileAttributes(const char* path) { return GetFileAttributesA(path); }

bool Win32Os::setFileAttributes(const char* path, std::uint32_t attributes) {
  return SetFileAttributesA(path, attributes) != FALSE;
}

bool Win32Os::deleteFile(const char* path) { return DeleteFileA(path) != FALSE; }

unsigned Win32Os::getDriveType(const char* root) { return GetDriveTypeA(root); }

unsigned Win32Os::getWindowsDirectory(char* buffer, unsigned size) { return GetWindowsDirectoryA(buffer, size); }

unsigned Win32Os::getShortPathName(const char* longPath, char* shortPath, unsigned size) {
  return GetShortPathNameA(longPath, shortPath, size);
}

// Imported directly: Windows 95 exports it as a stub that fails, and the
// core calls it on the NT family only.
bool Win32Os::moveFileEx(const char* existing, const char* newName, std::uint32_t flags) {
  return MoveFileExA(existing, newName, flags) != FALSE;
}

// --- Registry ------------------------------------------------------------------

long Win32Os::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  HKEY opened = nullptr;
  LONG status = RegOpenKeyExA(hkey(root), subKey, 0, access, result ? &opened : nullptr);
  if (result) *result = reinterpret_cast<HKey>(opened);
  return status;
}

long Win32Os::regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* size) {
  // DWORD is unsigned long here, not the seam's uint32_t: go through locals.
  DWORD valueType = 0;
  DWORD dataSize = size ? *size : 0;
  LONG status = RegQueryValueExA(hkey(key), valueName, nullptr, type ? &valueType : nullptr, data,
                                 size ? &dataSize : nullptr);
  if (type) *type = valueType;
  if (size) *size = dataSize;
  return status;
}

long Win32Os::regDeleteValue(HKey key, const char* valueName) { return RegDeleteValueA(hkey(key), valueName); }

long Win32Os::regDeleteKey(HKey root, const char* subKey) { return RegDeleteKeyA(hkey(root), subKey); }

long Win32Os::regCloseKey(HKey key) { return RegCloseKey(hkey(key)); }

long Win32Os::regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                           std::uint8_t* data, std::uint32_t* dataSize) {
  DWORD nameLength = *nameSize;
  DWORD valueType = 0;
  DWORD size = *dataSize;
  const LONG rc = RegEnumValueA(hkey(key), index, name, &nameLength, nullptr, &valueType,
                                data, &size);
  *nameSize = nameLength;
  *type = valueType;
  *dataSize = size;
  return rc;
}

long Win32Os::regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) {
  FILETIME written = {0, 0};  // 9x leaves it as it is
  const long rc = RegQueryInfoKeyA(hkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, &written);
  *lastWriteTime = std::uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime;
  return rc;
}

// --- Processes and versions ----------------------------------------------------

bool Win32Os::getVersionEx(OsVersionInfo* info) {
  return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info)) != FALSE;
}

Module Win32Os::loadLibrary(const char* name) { return reinterpret_cast<Module>(LoadLibraryA(name)); }

bool Win32Os::freeLibrary(Module module) { return FreeLibrary(reinterpret_cast<HMODULE>(module)) != FALSE; }

Proc Win32Os::getProcAddress(Module module, const char* name) {
  return reinterpret_cast<Proc>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

OsHandle Win32Os::createToolhelp32Snapshot(Proc fn, std::uint32_t flags, std::uint32_t processId) {
  if (!fn) return kInvalidHandle;
  HANDLE snapshot = function<CreateToolhelp32SnapshotFn>(fn)(flags, processId);
  return snapshot == INVALID_HANDLE_VALUE ? kInvalidHandle : osHandle(snapshot);
}

bool Win32Os::process32First(Proc fn, OsHandle snapshot, ProcessEntry* entry) {
  if (!fn) return false;
  return function<Process32Fn>(fn)(handle(snapshot), reinterpret_cast<PROCESSENTRY32*>(entry)) != FALSE;
}

bool Win32Os::process32Next(Proc fn, OsHandle snapshot, ProcessEntry* entry) {
  if (!fn) return false;
  return function<Process32Fn>(fn)(handle(snapshot), reinterpret_cast<PROCESSENTRY32*>(entry)) != FALSE;
}

bool Win32Os::enumProcesses(Proc fn, std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* bytesReturned) {
  if (!fn) return false;
  DWORD returned = 0;
  BOOL ok = function<EnumProcessesFn>(fn)(reinterpret_cast<DWORD*>(ids), bytes, &returned);
  if (bytesReturned) *bytesReturned = returned;
  return ok != FALSE;
}

std::uint32_t Win32Os::getModuleFileNameEx(Proc fn, OsHandle process, Module module, char* name,
                                           std::uint32_t size) {
  if (!fn) return 0;
  return function<GetModuleFileNameExAFn>(fn)(handle(process), reinterpret_cast<HMODULE>(module), name, size);
}

OsHandle Win32Os::openProcess(std::uint32_t access, bool inherit, std::uint32_t processId) {
  return osHandle(OpenProcess(access, inherit ? TRUE : FALSE, processId));
}

bool Win32Os::terminateProcess(OsHandle process, std::uint32_t exitCode) {
  return TerminateProcess(handle(process), exitCode) != FALSE;
}

bool Win32Os::closeHandle(OsHandle h) { return CloseHandle(handle(h)) != FALSE; }

int Win32Os::wideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* wide, int wideLength,
                                 char* out, int outSize) {
  return WideCharToMultiByte(codePage, flags, reinterpret_cast<const wchar_t*>(wide), wideLength, out, outSize,
                             nullptr, nullptr);
}

// --- Services --------------------------------------------------------------------

OsHandle Win32Os::openSCManager(const char* machine, const char* database, std::uint32_t access) {
  return reinterpret_cast<OsHandle>(OpenSCManagerA(machine, database, access));
}

OsHandle Win32Os::openService(OsHandle manager, const char* name, std::uint32_t access) {
  return reinterpret_cast<OsHandle>(OpenServiceA(scHandle(manager), name, access));
}

bool Win32Os::controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
  return ControlService(scHandle(service), control, reinterpret_cast<SERVICE_STATUS*>(status)) != FALSE;
}

bool Win32Os::queryServiceStatus(OsHandle service, ServiceStatus* status) {
  return QueryServiceStatus(scHandle(service), reinterpret_cast<SERVICE_STATUS*>(status)) != FALSE;
}

bool Win32Os::closeServiceHandle(OsHandle h) { return CloseServiceHandle(scHandle(h)) != FALSE; }

// --- Messages, message boxes, sleeping -------------------------------------------

bool Win32Os::peekMessage(Message* msg) {
  return PeekMessageA(reinterpret_cast<MSG*>(msg), nullptr, 0, 0, PM_REMOVE) != FALSE;
}

void Win32Os::translateMessage(const Message* msg) { TranslateMessage(reinterpret_cast<const MSG*>(msg)); }

void Win32Os::dispatchMessage(const Message* msg) { DispatchMessageA(reinterpret_cast<const MSG*>(msg)); }

std::intptr_t Win32Os::sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) {
  return SendMessageA(hwnd(window), message, wParam, lParam);
}

int Win32Os::messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) {
  return MessageBoxA(hwnd(owner), text, caption, style);
}

void Win32Os::sleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

long Win32Os::lastError() { return static_cast<long>(GetLastError()); }

std::uint64_t Win32Os::getSystemTimeAsFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
}

}  // namespace purgato
