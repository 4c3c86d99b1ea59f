// An Os that hands every call to another one: the base of layers that
// change a few calls and keep the rest (a dry run that changes nothing, a
// registry served from hive files, a scan that stops changing the disk once
// its output is lost). A layer overrides only what it changes.
#pragma once

#include "os/os.h"

namespace purgato {

class ForwardingOs : public Os {
 public:
  explicit ForwardingOs(Os& inner) : inner_(inner) {}

  OsHandle findFirstFile(const char* pattern, FindData* data) override { return inner_.findFirstFile(pattern, data); }
  bool findNextFile(OsHandle find, FindData* data) override { return inner_.findNextFile(find, data); }
  bool findClose(OsHandle find) override { return inner_.findClose(find); }
  int open(const char* path, int flags) override { return inner_.open(path, flags); }
  std::int32_t lseek(int fd, std::int32_t offset, int origin) override { return inner_.lseek(fd, offset, origin); }
  int read(int fd, void* buffer, unsigned count) override { return inner_.read(fd, buffer, count); }
  int write(int fd, const void* buffer, unsigned count) override { return inner_.write(fd, buffer, count); }
  int chsize(int fd, std::int32_t size) override { return inner_.chsize(fd, size); }
  int close(int fd) override { return inner_.close(fd); }
  int access(const char* path, int mode) override { return inner_.access(path, mode); }
  std::uint32_t getFileAttributes(const char* path) override { return inner_.getFileAttributes(path); }
  bool setFileAttributes(const char* path, std::uint32_t attributes) override {
    return inner_.setFileAttributes(path, attributes);
  }
  bool deleteFile(const char* path) override { return inner_.deleteFile(path); }
  unsigned getDriveType(const char* root) override { return inner_.getDriveType(root); }
  unsigned getWindowsDirectory(char* buffer, unsigned size) override {
    return inner_.getWindowsDirectory(buffer, size);
  }
  unsigned getShortPathName(const char* longPath, char* shortPath, unsigned size) override {
    return inner_.getShortPathName(longPath, shortPath, size);
  }
  bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags) override {
    return inner_.moveFileEx(existing, newName, flags);
  }

  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override {
    return inner_.regOpenKeyEx(root, subKey, access, result);
  }
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override {
    return inner_.regQueryValueEx(key, valueName, type, data, size);
  }
  long regDeleteValue(HKey key, const char* valueName) override { return inner_.regDeleteValue(key, valueName); }
  long regDeleteKey(HKey root, const char* subKey) override { return inner_.regDeleteKey(root, subKey); }
  long regCloseKey(HKey key) override { return inner_.regCloseKey(key); }
  long regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                    std::uint8_t* data, std::uint32_t* dataSize) override {
    return inner_.regEnumValue(key, index, name, nameSize, type, data, dataSize);
  }
  long regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) override {
    return inner_.regQueryInfoKey(key, lastWriteTime);
  }

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
    return inner_.terminateProcess(process, exitCode);
  }
  bool closeHandle(OsHandle handle) override { return inner_.closeHandle(handle); }
  int wideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* wide, int wideLength, char* out,
                          int outSize) override {
    return inner_.wideCharToMultiByte(codePage, flags, wide, wideLength, out, outSize);
  }

  OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) override {
    return inner_.openSCManager(machine, database, access);
  }
  OsHandle openService(OsHandle manager, const char* name, std::uint32_t access) override {
    return inner_.openService(manager, name, access);
  }
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override {
    return inner_.controlService(service, control, status);
  }
  bool queryServiceStatus(OsHandle service, ServiceStatus* status) override {
    return inner_.queryServiceStatus(service, status);
  }
  bool closeServiceHandle(OsHandle handle) override { return inner_.closeServiceHandle(handle); }

  bool peekMessage(Message* msg) override { return inner_.peekMessage(msg); }
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
  std::uint64_t getSystemTimeAsFileTime() override { return inner_.getSystemTimeAsFileTime(); }
  long lastError() override { return inner_.lastError(); }

 protected:
  Os& inner() { return inner_; }

 private:
  Os& inner_;
};

}  // namespace purgato
