#include "clean/terminate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "os/text.h"

namespace purgato {

namespace {


constexpr std::uint32_t kPerfDataStart = 51200;
constexpr std::uint32_t kPerfDataStep = 25600;
// Real process data is a few hundred KiB; an OS that keeps asking for more
// past this is not going to be satisfied.
constexpr std::uint32_t kPerfDataLimit = 16u * 1024 * 1024;

// Reads the Counters value of the open key; false when it cannot be read.
bool readCounterNames(Os& os, HKey key, CounterIndices* indices) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (os.regQueryValueEx(key, "Counters", &type, nullptr, &size) != kErrorSuccess || size == 0) return false;
  std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[size]());
  if (!data) return false;
  std::uint32_t got = size;
  if (os.regQueryValueEx(key, "Counters", &type, data.get(), &got) != kErrorSuccess) return false;
  *indices = parseCounterNames(reinterpret_cast<const char*>(data.get()), got < size ? got : size);
  return true;
}

// The process object's data; false when there is none. *data and *size
// describe the block on success.
bool queryProcessData(Os& os, const char* objectIndex, std::unique_ptr<std::uint8_t[]>* data,
                      std::uint32_t* size) {
  std::uint32_t capacity = kPerfDataStart;
  for (;;) {
    data->reset(new (std::nothrow) std::uint8_t[capacity]());
    if (!*data) return false;
    std::uint32_t type = 0;
    std::uint32_t got = capacity;
    const long rc = os.regQueryValueEx(kHkeyPerformanceData, objectIndex, &type, data->get(), &got);
    if (rc == kErrorSuccess) {
      *size = got < capacity ? got : capacity;
      return *size != 0;
    }
    if (rc != kErrorMoreData || capacity > kPerfDataLimit - kPerfDataStep) return false;
    capacity += kPerfDataStep;
  }
}

}  // namespace

int platformClass(Os& os) {
  OsVersionInfo info;
  std::memset(&info, 0, sizeof info);
  info.size = sizeof info;
  if (!os.getVersionEx(&info)) return kFamilyQueryFailed;
  if (info.platformId == kPlatformWindows) return kFamily9x;
  if (info.platformId == kPlatformNT) return kFamilyNT;
  return kFamilyOther;
}

bool terminateProcessById(Os& os, std::uint32_t access, std::uint32_t processId) {
  const OsHandle process = os.openProcess(access, false, processId);
  if (process == 0) return false;
  const bool ended = os.terminateProcess(process, 0);
  os.closeHandle(process);
  return ended;
}

int terminateProcessByImage(Os& os, const char* path) {
  switch (platformClass(os)) {
    case kFamily9x:
      return terminateByImage9x(os, path) != 0 ? 1 : 0;
    case kFamilyNT:
      return terminateByImageNT(os, path) != 0 ? 1 : 0;
    default:
      return 1;  // nothing to end here: let the caller retry its delete
  }
}

int terminateByImage9x(Os& os, const char* path) {
  const Module kernel = os.loadLibrary("Kernel32.dll");
  os.sleep(100);
  if (kernel == 0) return 0;

  // A local entry: there is no allocation to fail.
  ProcessEntry entry;
  std::memset(&entry, 0, sizeof entry);
  const Proc createSnapshot = os.getProcAddress(kernel, "CreateToolhelp32Snapshot");
  const OsHandle snapshot =
      createSnapshot != 0 ? os.createToolhelp32Snapshot(createSnapshot, kTh32csSnapProcess, 0) : kInvalidHandle;
  os.sleep(100);
  if (snapshot == kInvalidHandle) {
    os.freeLibrary(kernel);
    return 0;
  }

  entry.size = sizeof entry;
  const Proc first = os.getProcAddress(kernel, "Process32First");
  const bool listed = first != 0 && os.process32First(first, snapshot, &entry);

  char target[kPathSize];
  const bool haveTarget = copyText(target, sizeof target, afterLastBackslash(path));
  if (haveTarget) upperInPlace(target);

  int result = 0;
  // The first entry is never compared.
  while (listed && haveTarget) {
    const Proc next = os.getProcAddress(kernel, "Process32Next");
    if (next == 0) break;
    os.sleep(100);
    if (!os.process32Next(next, snapshot, &entry)) break;
    os.sleep(100);
    entry.exeFile[sizeof entry.exeFile - 1] = '\0';
    if (compareNoCase(afterLastBackslash(entry.exeFile), target) != 0) continue;

    os.sleep(50);
    if (terminateProcessById(os, kProcessTerminate | kProcessQueryInformation, entry.processId)) result = 1;
    os.sleep(500);
    break;
  }

  os.closeHandle(snapshot);
  os.freeLibrary(kernel);
  return result;
}

int terminateByImageNT(Os& os, const char* path) {
  char name[kPathSize];
  if (!copyText(name, sizeof name, path)) return 0;
  upperInPlace(name);
  const std::size_t length = std::strlen(name);
  if (length <= 4) return 0;
  name[length - 4] = '\0';  // the extension and its dot
  const char* target = afterLastBackslash(name);
  const std::size_t targetLength = std::strlen(target);
  if (targetLength == 0) return 0;

  HKey counterKey = 0;
  if (os.regOpenKeyEx(kHkeyLocalMachine, kPerflibCountersKey, kKeyRead, &counterKey) != kErrorSuccess) return 0;
  CounterIndices indices;
  if (!readCounterNames(os, counterKey, &indices) || !indices.haveProcess || !indices.haveIdProcess) {
    os.regCloseKey(counterKey);
    return 0;
  }

  TaskEntry tasks[kTaskRows];
  std::memset(tasks, 0, sizeof tasks);
  int filled = 0;
  {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t size = 0;
    if (queryProcessData(os, indices.processObject.c_str(), &data, &size)) {
      filled = readProcessTasks(os, data.get(), size, indices.idProcess, tasks);
    }
    os.regCloseKey(counterKey);
    os.regCloseKey(kHkeyPerformanceData);
  }

  int result = 0;
  for (int row = 0; row < filled; ++row) {
    if (compareNoCaseN(tasks[row].name, target, targetLength) != 0) continue;
    if (terminateProcessById(os, kProcessTerminate, tasks[row].processId)) result = 1;
    os.sleep(500);
  }
  return result;
}

}  // namespace purgato
