#include "tests/support/perf_data.h"

#include "tests/support/bytes.h"

namespace purgato {

namespace {

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t(7); }

// UTF-16 units with a terminating zero, unit by unit from the bytes.
std::vector<std::uint8_t> utf16z(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (unsigned char c : text) {
    out.push_back(c);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

void append(std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& more) {
  bytes.insert(bytes.end(), more.begin(), more.end());
}

struct CounterSpec {
  std::uint32_t nameIndex;
  std::uint32_t type;
  std::uint32_t size;
  std::uint32_t offset;
};

}  // namespace

std::vector<std::uint8_t> buildPerfData(const std::vector<std::pair<std::string, std::uint32_t>>& instances,
                                        std::uint32_t processObjectIndex, std::uint32_t idCounterIndex,
                                        PerfBlockLayout* layout) {
  PerfBlockLayout where;
  std::vector<std::uint8_t> bytes(kPerfBlockSize, 0);

  // PERF_DATA_BLOCK and the system name behind it.
  const std::uint8_t perf[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
  putBytes(bytes, kPerfBlockSignature, perf, sizeof perf);
  putLe32(bytes, 8, 1);   // LittleEndian
  putLe32(bytes, 12, 1);  // Version
  putLe32(bytes, 16, 1);  // Revision
  putLe32(bytes, 32, std::uint32_t(-1));  // DefaultObject: none
  putLe16(bytes, 36, 2002);               // SystemTime.wYear
  putLe32(bytes, 64, 3579545);            // PerfFreq
  const std::vector<std::uint8_t> systemName = utf16z("TESTBOX");
  putLe32(bytes, kPerfBlockSystemNameLength, std::uint32_t(systemName.size()));
  putLe32(bytes, kPerfBlockSystemNameOffset, std::uint32_t(kPerfBlockSize));
  append(bytes, systemName);
  bytes.resize(align8(bytes.size()), 0);
  const std::size_t headerLength = bytes.size();
  putLe32(bytes, kPerfBlockHeaderLength, std::uint32_t(headerLength));
  putLe32(bytes, kPerfBlockNumObjectTypes, 1);

  // PERF_OBJECT_TYPE.
  where.object = bytes.size();
  bytes.resize(bytes.size() + kPerfObjectSize, 0);
  const std::size_t object = where.object;
  putLe32(bytes, object + kPerfObjectHeaderLength, std::uint32_t(kPerfObjectSize));
  putLe32(bytes, object + kPerfObjectNameTitleIndex, processObjectIndex);
  putLe32(bytes, object + 20, processObjectIndex + 1);  // ObjectHelpTitleIndex
  putLe32(bytes, object + 28, 100);                     // DetailLevel: novice
  putLe32(bytes, object + kPerfObjectNumCounters, kPerfProcessCounters);
  putLe32(bytes, object + 36, 0);  // DefaultCounter
  putLe32(bytes, object + kPerfObjectNumInstances, std::uint32_t(instances.size()));
  putLe32(bytes, object + kPerfObjectCodePage, 0);

  // Counter definitions; "ID Process" is not the first, and the one after
  // it holds a different id.
  const CounterSpec counters[kPerfProcessCounters] = {
      {6, 0x20410500, 8, 8},                                 // % Processor Time
      {142, 0x20410500, 8, 16},                              // % User Time
      {684, 0x30240500, 8, 24},                              // Elapsed Time
      {idCounterIndex, 0x00010000, 4, kPerfIdCounterOffset},  // ID Process
      {1410, 0x00010000, 4, kPerfCreatorCounterOffset},       // Creating Process ID
  };
  where.firstCounter = bytes.size();
  for (const CounterSpec& counter : counters) {
    const std::size_t d = bytes.size();
    bytes.resize(d + kPerfCounterDefinitionSize, 0);
    putLe32(bytes, d + kPerfCounterByteLength, std::uint32_t(kPerfCounterDefinitionSize));
    putLe32(bytes, d + kPerfCounterNameTitleIndex, counter.nameIndex);
    putLe32(bytes, d + 12, counter.nameIndex + 1);  // CounterHelpTitleIndex
    putLe32(bytes, d + 24, 100);                    // DetailLevel
    putLe32(bytes, d + 28, counter.type);
    putLe32(bytes, d + kPerfCounterSize, counter.size);
    putLe32(bytes, d + kPerfCounterOffset, counter.offset);
  }
  where.idCounter = where.firstCounter + kPerfIdCounterSlot * kPerfCounterDefinitionSize;
  const std::size_t definitionLength = bytes.size() - object;
  putLe32(bytes, object + kPerfObjectDefinitionLength, std::uint32_t(definitionLength));

  // Instances, each followed by its counter block.
  std::uint32_t serial = 0;
  for (const auto& instance : instances) {
    const std::size_t i = bytes.size();
    where.instances.push_back(i);
    const std::vector<std::uint8_t> name = utf16z(instance.first);
    const std::size_t byteLength = align8(kPerfInstanceSize + name.size());
    bytes.resize(i + byteLength, 0);
    putLe32(bytes, i + kPerfInstanceByteLength, std::uint32_t(byteLength));
    putLe32(bytes, i + kPerfInstanceUniqueId, std::uint32_t(-1));  // PERF_NO_UNIQUE_ID
    putLe32(bytes, i + kPerfInstanceNameOffset, std::uint32_t(kPerfInstanceSize));
    putLe32(bytes, i + kPerfInstanceNameLength, std::uint32_t(name.size()));
    putBytes(bytes, i + kPerfInstanceSize, name.data(), name.size());

    const std::size_t c = bytes.size();
    where.counterBlocks.push_back(c);
    bytes.resize(c + kPerfCounterBlockLength, 0);
    putLe32(bytes, c + kPerfCounterBlockByteLength, kPerfCounterBlockLength);
    ++serial;
    putLe32(bytes, c + 8, 0x1000 * serial);   // % Processor Time (low half)
    putLe32(bytes, c + 16, 0x0800 * serial);  // % User Time (low half)
    putLe32(bytes, c + 24, 0x5A5A0000 + serial);  // Elapsed Time (low half)
    putLe32(bytes, c + kPerfIdCounterOffset, instance.second);
    putLe32(bytes, c + kPerfCreatorCounterOffset, instance.second + 0x10000);
  }

  putLe32(bytes, object + kPerfObjectTotalByteLength, std::uint32_t(bytes.size() - object));
  putLe32(bytes, kPerfBlockTotalByteLength, std::uint32_t(bytes.size()));
  if (layout) *layout = where;
  return bytes;
}

std::vector<std::uint8_t> buildCounterNames(const std::vector<std::pair<std::uint32_t, std::string>>& entries) {
  std::vector<std::uint8_t> bytes;
  for (const auto& entry : entries) {
    const std::string index = std::to_string(entry.first);
    bytes.insert(bytes.end(), index.begin(), index.end());
    bytes.push_back(0);
    bytes.insert(bytes.end(), entry.second.begin(), entry.second.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  return bytes;
}

std::vector<std::pair<std::uint32_t, std::string>> defaultCounterNames() {
  return {
      {1, "1847"},           {2, "System"},
      {4, "Memory"},         {6, "% Processor Time"},
      {142, "% User Time"},  {144, "% Privileged Time"},
      {230, "Process"},      {232, "Thread"},
      {238, "Processor"},    {680, "Thread State"},
      {684, "Elapsed Time"}, {784, "ID Process"},
      {786, "Image"},        {804, "ID Thread"},
      {1410, "Creating Process ID"},
  };
}

}  // namespace purgato
