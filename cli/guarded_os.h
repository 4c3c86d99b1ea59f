// The seam as the console scanner hands it to the core: every call goes
// through to the real one until stop() is called (the output was lost);
// from then on every call that would change the system is refused and the
// message queue answers WM_QUIT, so the scan unwinds without touching
// anything more. Shared by every console build; no OS calls of its own.
#pragma once

#include "os/os.h"

namespace purgato {

class GuardedOs : public Os {
 public:
  explicit GuardedOs(Os& inner) : inner_(inner) {}

  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

  // --- Files and drives -------------------------------------------------
  OsHandle findFirstFile(const char* pattern, FindData* data) override { return inner_.findFirstFile(pattern, data); }
  bool findNextFile(OsHandle find, FindData* data) override { return inner_.findNextFile(find, data); }
  bool findClose(OsHandle find) override { return inner_.findClose(find); }
  int open(const char* path, int flags) override;  // refuses writing once stopped
  std::int32_t lseek(int fd, std::int32_t offset, int origin) override { return inner_.lseek(fd, offset, origin); }
  int read(int fd, void* buffer, unsigned count) override { return inner_.read(fd, buffer, count); }
  int chsize(int fd, std::int32_t size) override { return stopped_ ? -1 : inner_.chsize(fd, size); }
  int close(int fd) override { return inner_.close(fd); }
  int access(const char* path, int mode) override { return inner_.access(path, mode); }
  std::uint32_t getFileAttributes(const char* path) override { return inner_.getFileAttributes(path); }
  bool setFileAttributes(const char* path, std::uint32_t attributes) override {
    return !stopped_ && inner_.setFileAttributes(path, attributes);
  }
  bool deleteFile(const char* path) override { return !stopped_ && inner_.deleteFile(path); }
  unsigned getDriveType(const char* root) override { return inner_.getDriveType(root); }
  unsigned getWindowsDirectory(char* buffer, unsigned size) override {
    return inner_.getWindowsDirectory(buffer, size);
  }

  // --- Registry -----------------------------------------------------------
  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override {
    return inner_.regQueryValueEx(key, valueName, type, data, size);
  }
  long regDeleteValue(HKey key, const char* valueName) override {
    return stopped_ ? kErrorAccessDenied : inner_.regDeleteValue(key, valueName);
  }
  long regDeleteKey(HKey root, const char* subKey) override {
    return stopped_ ? kErrorAccessDenied : inner_.regDeleteKey(root, subKey);
  }
  long regCloseKey(HKey key) override { return inner_.regCloseKey(key); }

  // --- Processes and versions -------------------------------------------
  bool getVersionEx(OsVersionInfo* info) override { return inner_.getVersionEx(info); }
  Module loadLibrary(const char* name) override { return inner_.loadLibrary(name); }
  bool freeLibrary(Module module) override { return inner_.freeLibrary(module); }
  Proc getProcAddress(Module module, const char* name) override { return inner_.getProcAddress(module, name); }
  OsHandle createToolhelp32Snapshot(Proc fn, std::uint32_t flags, std::uint32_t processId) override {
    return inner_.createToolhelp32Snapshot(fn, flags, processId);
  }
  bool process32First(Proc fn, OsHandle snapshot, ProcessEntry* entry) override {
    return inner_.process32First(fn, snapshot, entry);
  }
  bool process32Next(Proc fn, OsHandle snapshot, ProcessEntry* entry) override {
    return inner_.process32Next(fn, snapshot, entry);
  }
  bool enumProcesses(Proc fn, std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* bytesReturned) override {
    return inner_.enumProcesses(fn, ids, bytes, bytesReturned);
  }
  std::uint32_t getModuleFileNameEx(Proc fn, OsHandle process, Module module, char* name,
                                    std::uint32_t size) override {
    return inner_.getModuleFileNameEx(fn, process, module, name, size);
  }
  OsHandle openProcess(std::uint32_t access, bool inherit, std::uint32_t processId) override {
    return inner_.openProcess(access, inherit, processId);
  }
  bool terminateProcess(OsHandle process, std::uint32_t exitCode) override {
    return !stopped_ && inner_.terminateProcess(process, exitCode);
  }
  bool closeHandle(OsHandle handle) override { return inner_.closeHandle(handle); }
  int wideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* wide, int wideLength, char* out,
                          int outSize) override {
    return inner_.wideCharToMultiByte(codePage, flags, wide, wideLength, out, outSize);
  }

  // --- Services -----------------------------------------------------------
  OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) override {
    return stopped_ ? 0 : inner_.openSCManager(machine, database, access);
  }
  OsHandle openService(OsHandle manager, const char* name, std::uint32_t access) override {
    return stopped_ ? 0 : inner_.openService(manager, name, access);
  }
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override {
    return !stopped_ && inner_.controlService(service, control, status);
  }
  bool queryServiceStatus(OsHandle service, ServiceStatus* status) override {
    return inner_.queryServiceStatus(service, status);
  }
  bool closeServiceHandle(OsHandle handle) override { return inner_.closeServiceHandle(handle); }

  // --- Messages, message boxes, sleeping --------------------------------
  bool peekMessage(Message* msg) override;  // WM_QUIT once stopped
  void translateMessage(const Message* msg) override { inner_.translateMessage(msg); }
  void dispatchMessage(const Message* msg) override { inner_.dispatchMessage(msg); }
  std::intptr_t sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override {
    return inner_.sendMessage(window, message, wParam, lParam);
  }
  int messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) override {
    return inner_.messageBox(owner, text, caption, style);
  }
  void sleep(std::uint32_t milliseconds) override { inner_.sleep(milliseconds); }

 private:
  Os& inner_;
  bool stopped_ = false;
};

}  // namespace purgato
