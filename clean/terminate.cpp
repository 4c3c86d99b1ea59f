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

constexpr int kTaskRowsFilled = kTaskRows - 1;  // one row stays zero
constexpr std::size_t kTaskNameMax = sizeof(TaskEntry{}.name) - 1;
constexpr std::uint32_t kZeroProcessId = 0xFFFFFFFEu;

constexpr const char kPerflibKey[] = "software\\microsoft\\windows nt\\currentversion\\perflib";
constexpr int kPerflibLanguage = 9;  // English counter names
constexpr std::uint32_t kPerfDataStart = 51200;
constexpr std::uint32_t kPerfDataStep = 25600;
// Real process data is a few hundred KiB; an OS that keeps asking for more
// past this is not going to be satisfied.
constexpr std::uint32_t kPerfDataLimit = 16u * 1024 * 1024;

constexpr int kPathBuffer = 260;   // paths are held in 260-byte buffers
constexpr int kWideNameMax = 260;  // units converted; WideCharToMultiByte's buffer is as long

// --- Performance-data block -------------------------------------------
// The block comes from the OS and its lengths and offsets are not trusted:
// every position is checked against the block before it is used, sizes
// first, so nothing wraps.

constexpr std::size_t kBlockHeaderLength = 24;
constexpr std::size_t kObjectDefinitionLength = 4;
constexpr std::size_t kObjectHeaderLength = 8;
constexpr std::size_t kObjectNumCounters = 32;
constexpr std::size_t kObjectNumInstances = 40;
constexpr std::size_t kCounterNameTitleIndex = 4;
constexpr std::size_t kCounterOffset = 36;
constexpr std::size_t kCounterDefinitionSize = 40;
constexpr std::size_t kInstanceByteLength = 0;
constexpr std::size_t kInstanceNameOffset = 16;
constexpr std::size_t kInstanceSize = 24;
constexpr std::size_t kCounterBlockByteLength = 0;

struct Block {
  const std::uint8_t* data;
  std::size_t size;

  // base + delta, when it lies within the block (the end itself included).
  bool at(std::size_t base, std::uint32_t delta, std::size_t* out) const {
    if (base > size || delta > size - base) return false;
    *out = base + delta;
    return true;
  }
  bool u32(std::size_t base, std::size_t field, std::uint32_t* out) const {
    if (base > size || field > size - base || 4 > size - base - field) return false;
    const std::uint8_t* p = data + base + field;
    *out = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    return true;
  }
  // The UTF-16 text at offset, cut at its zero, at the block's end or at
  // `max` units, always terminated in out (max + 1 units).
  void wideText(std::size_t offset, char16_t* out, int max) const {
    int n = 0;
    for (std::size_t p = offset; n < max && p <= size && 2 <= size - p; p += 2) {
      const char16_t unit = static_cast<char16_t>(data[p] | data[p + 1] << 8);
      if (unit == 0) break;
      out[n++] = unit;
    }
    out[n] = 0;
  }
};

bool hasPerfSignature(const Block& block) {
  static const std::uint8_t kSignature[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
  return block.size >= sizeof kSignature && std::memcmp(block.data, kSignature, sizeof kSignature) == 0;
}

// Fills tasks from the process object of the block; returns the rows filled.
// A field that points outside the block ends the walk: the rows read so far
// stand, nothing more is guessed.
int readTasks(Os& os, const Block& block, std::uint32_t idCounterIndex, TaskEntry* tasks) {
  std::uint32_t headerLength = 0;
  std::size_t object = 0;
  if (!block.u32(0, kBlockHeaderLength, &headerLength) || !block.at(0, headerLength, &object)) return 0;

  std::uint32_t objectHeaderLength = 0, definitionLength = 0, numCounters = 0, numInstances = 0;
  if (!block.u32(object, kObjectHeaderLength, &objectHeaderLength) ||
      !block.u32(object, kObjectDefinitionLength, &definitionLength) ||
      !block.u32(object, kObjectNumCounters, &numCounters) ||
      !block.u32(object, kObjectNumInstances, &numInstances))
    return 0;

  std::size_t definition = 0;
  if (!block.at(object, objectHeaderLength, &definition)) return 0;
  bool haveCounter = false;
  std::uint32_t counterOffset = 0;
  for (std::uint32_t i = 0; i < numCounters; ++i) {
    std::uint32_t nameIndex = 0;
    if (!block.u32(definition, kCounterNameTitleIndex, &nameIndex)) break;
    if (nameIndex == idCounterIndex) {
      haveCounter = block.u32(definition, kCounterOffset, &counterOffset);
      break;
    }
    if (!block.at(definition, kCounterDefinitionSize, &definition)) break;
  }
  if (!haveCounter) return 0;

  const std::int32_t count = static_cast<std::int32_t>(numInstances);
  const int rows = count <= 0 ? 0 : count > kTaskRowsFilled ? kTaskRowsFilled : count;

  std::size_t instance = 0;
  if (!block.at(object, definitionLength, &instance)) return 0;
  int filled = 0;
  for (int row = 0; row < rows; ++row) {
    std::uint32_t instanceLength = 0, nameOffset = 0, counterBlockLength = 0, processId = 0;
    std::size_t name = 0, counterBlock = 0, next = 0;
    if (!block.u32(instance, kInstanceByteLength, &instanceLength) || instanceLength < kInstanceSize ||
        !block.u32(instance, kInstanceNameOffset, &nameOffset) || !block.at(instance, nameOffset, &name) ||
        !block.at(instance, instanceLength, &counterBlock) ||
        !block.u32(counterBlock, kCounterBlockByteLength, &counterBlockLength) ||
        !block.at(counterBlock, counterBlockLength, &next))
      break;
    // The id must lie inside this instance's counter block, not past it.
    if (counterOffset > counterBlockLength || 4 > counterBlockLength - counterOffset ||
        !block.u32(counterBlock, counterOffset, &processId))
      break;

    char16_t wide[kWideNameMax + 1];
    block.wideText(name, wide, kWideNameMax);
    char narrow[kWideNameMax];
    TaskEntry& task = tasks[filled];
    const int written = os.wideCharToMultiByte(kCpAcp, 0, wide, -1, narrow, sizeof narrow);
    if (written <= 0) {
      copyText(task.name, sizeof task.name, "unknown");
    } else {
      narrow[written < int(sizeof narrow) ? written : int(sizeof narrow) - 1] = '\0';
      if (std::strlen(narrow) <= kTaskNameMax) copyText(task.name, sizeof task.name, narrow);
      // a longer name stays empty and so matches no target
    }
    task.processId = processId == 0 ? kZeroProcessId : processId;
    ++filled;
    instance = next;
  }
  return filled;
}

// --- Counter names ------------------------------------------------------

struct CounterIndices {
  std::string processObject;      // the index as text, as the data query wants it
  std::uint32_t idProcess = 0;
  bool haveProcess = false;
  bool haveIdProcess = false;
};

// Walks the index / name pairs of a Counters value. The value may lack its
// final zeros: nothing past `size` is read.
CounterIndices parseCounterNames(const char* data, std::size_t size) {
  CounterIndices found;
  std::string index;
  bool isName = false;
  for (std::size_t pos = 0; pos < size;) {
    const void* zero = std::memchr(data + pos, '\0', size - pos);
    const std::size_t end = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : size;
    if (end == pos) break;  // the empty string that ends the list
    std::string text(data + pos, end - pos);
    if (isName) {
      if (compareNoCase(text.c_str(), "process") == 0) {
        found.processObject = index;
        found.haveProcess = true;
      } else if (compareNoCase(text.c_str(), "id process") == 0) {
        found.idProcess = static_cast<std::uint32_t>(std::strtoul(index.c_str(), nullptr, 10));
        found.haveIdProcess = true;
      }
    } else {
      index = std::move(text);
    }
    isName = !isName;
    pos = end + 1;
  }
  return found;
}

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

  char target[kPathBuffer];
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
  char name[kPathBuffer];
  if (!copyText(name, sizeof name, path)) return 0;
  upperInPlace(name);
  const std::size_t length = std::strlen(name);
  if (length <= 4) return 0;
  name[length - 4] = '\0';  // the extension and its dot
  const char* target = afterLastBackslash(name);
  const std::size_t targetLength = std::strlen(target);
  if (targetLength == 0) return 0;

  char keyName[sizeof kPerflibKey + 8];
  std::snprintf(keyName, sizeof keyName, "%s\\%03x", kPerflibKey, kPerflibLanguage);
  HKey counterKey = 0;
  if (os.regOpenKeyEx(kHkeyLocalMachine, keyName, kKeyRead, &counterKey) != kErrorSuccess) return 0;
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
      const Block block{data.get(), size};
      if (hasPerfSignature(block)) filled = readTasks(os, block, indices.idProcess, tasks);
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
