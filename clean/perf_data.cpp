#include "clean/perf_data.h"

#include <cstdlib>
#include <cstring>

#include "os/bytes.h"
#include "os/text.h"

namespace purgato {

namespace {

constexpr int kTaskRowsFilled = kTaskRows - 1;  // one row stays zero
constexpr std::size_t kTaskNameMax = sizeof(TaskEntry{}.name) - 1;
constexpr std::uint32_t kZeroProcessId = 0xFFFFFFFEu;
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
    *out = readLe32(p);
    return true;
  }
  // The UTF-16 text at offset, cut at its zero, at the block's end or at
  // `max` units, always terminated in out (max + 1 units).
  void wideText(std::size_t offset, char16_t* out, int max) const {
    int n = 0;
    for (std::size_t p = offset; n < max && p <= size && 2 <= size - p; p += 2) {
      const char16_t unit = readLe16(data + p);
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

}  // namespace

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

int readProcessTasks(Os& os, const std::uint8_t* data, std::size_t size, std::uint32_t idCounterIndex,
                     TaskEntry* tasks) {
  const Block block{data, size};
  return hasPerfSignature(block) ? readTasks(os, block, idCounterIndex, tasks) : 0;
}

}  // namespace purgato
