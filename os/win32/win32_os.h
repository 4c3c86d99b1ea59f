// The seam on real Windows: every operation is the one Windows or C
// run-time call it is named after, with its arguments and results passed
// through unchanged. Only this file's .cpp (and app/, controls/) see
// <windows.h>; callers work with the seam's own types.
#pragma once

#include "os/os.h"

namespace purgato {

class Win32Os final : public Os {
 public:
  // Files and drives.
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
  std::uint32_t getFileAttributes(const char* path) override;
  bool setFileAttributes(const char* path, std::uint32_t attributes) override;
  bool deleteFile(const char* path) override;
  unsigned getDriveType(const char* root) override;
  unsigned getWindowsDirectory(char* buffer, unsigned size) override;
  unsigned getShortPathName(const char* longPath, char* shortPath, unsigned size) override;
  bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags) override;

  // Registry.
  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long regCloseKey(HKey key) override;
  long regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) override;
  long regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                    std::uint8_t* data, std::uint32_t* dataSize) override;

  // Processes and versions. The call-throughs fail (as the Windows call
  // would on a bad handle) when fn is 0 instead of jumping to address 0.
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

  // Services.
  OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) override;
  OsHandle openService(OsHandle manager, const char* name, std::uint32_t access) override;
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override;
  bool queryServiceStatus(OsHandle service, ServiceStatus* status) override;
  bool closeServiceHandle(OsHandle handle) override;

  // Messages, message boxes, sleeping.
  bool peekMessage(Message* msg) override;
  void translateMessage(const Message* msg) override;
  void dispatchMessage(const Message* msg) override;
  std::intptr_t sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  int messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) override;
  void sleep(std::uint32_t milliseconds) override;
  std::uint64_t getSystemTimeAsFileTime() override;
  long lastError() override;
};

}  // namespace purgato
