// The seam as the console scanner hands it to the core: every call goes
// through to the real one until stop() is called (the output was lost);
// from then on every call that would change the system is refused and the
// message queue answers WM_QUIT, so the scan unwinds without touching
// anything more. Shared by every console build; no OS calls of its own,
// all in this header.
#pragma once

#include "os/forwarding_os.h"

namespace purgato {

class GuardedOs : public ForwardingOs {
 public:
  explicit GuardedOs(Os& inner) : ForwardingOs(inner) {}

  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

  // Files: no writing, cutting, attribute change or deletion (now or at
  // the next start of Windows) once stopped.
  int open(const char* path, int flags) override {
    if (stopped_ && (flags & kOAccessMask) != kORdOnly) return -1;
    return ForwardingOs::open(path, flags);
  }
  int write(int fd, const void* buffer, unsigned count) override {
    return stopped_ ? -1 : ForwardingOs::write(fd, buffer, count);
  }
  int chsize(int fd, std::int32_t size) override { return stopped_ ? -1 : ForwardingOs::chsize(fd, size); }
  bool setFileAttributes(const char* path, std::uint32_t attributes) override {
    return !stopped_ && ForwardingOs::setFileAttributes(path, attributes);
  }
  bool deleteFile(const char* path) override { return !stopped_ && ForwardingOs::deleteFile(path); }
  bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags) override {
    return !stopped_ && ForwardingOs::moveFileEx(existing, newName, flags);
  }

  // Registry: reading goes on; no key opened for changing, nothing deleted.
  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override {
    if (stopped_ && access != kKeyRead) {
      if (result != nullptr) *result = 0;
      return kErrorAccessDenied;
    }
    return ForwardingOs::regOpenKeyEx(root, subKey, access, result);
  }
  long regDeleteValue(HKey key, const char* valueName) override {
    return stopped_ ? kErrorAccessDenied : ForwardingOs::regDeleteValue(key, valueName);
  }
  long regDeleteKey(HKey root, const char* subKey) override {
    return stopped_ ? kErrorAccessDenied : ForwardingOs::regDeleteKey(root, subKey);
  }

  // Processes and services: none ended, none stopped.
  bool terminateProcess(OsHandle process, std::uint32_t exitCode) override {
    return !stopped_ && ForwardingOs::terminateProcess(process, exitCode);
  }
  OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) override {
    return stopped_ ? 0 : ForwardingOs::openSCManager(machine, database, access);
  }
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override {
    return !stopped_ && ForwardingOs::controlService(service, control, status);
  }

  // WM_QUIT, again and again, once stopped.
  bool peekMessage(Message* msg) override {
    if (!stopped_) return ForwardingOs::peekMessage(msg);
    if (msg == nullptr) return false;
    *msg = Message{0, kWmQuit, 0, 0, 0, 0, 0};
    return true;
  }

 private:
  static constexpr int kOAccessMask = 0x0003;  // _O_RDONLY / _O_WRONLY / _O_RDWR
  bool stopped_ = false;
};

}  // namespace purgato
