// A builder of performance-data blocks as RegQueryValueEx(HKEY_PERFORMANCE_DATA)
// returns them on 32-bit Windows NT, and of the perflib "Counters" value
// that names their indices. Tests that need a block that lies build a good
// one and overwrite fields at the offsets below.
//
// Layout of a built block (all little-endian, 32-bit pointers):
//
//   PERF_DATA_BLOCK at 0, kPerfBlockSize (88) bytes, then the system name
//   (UTF-16, padded to 8); its HeaderLength covers both.
//     0  Signature "PERF" (4 UTF-16 units)     20 TotalByteLength
//     8  LittleEndian (1)                       24 HeaderLength
//    12  Version (1)                            28 NumObjectTypes (1)
//    16  Revision (1)                           32 DefaultObject
//    36  SystemTime (16)   56 PerfTime   64 PerfFreq   72 PerfTime100nSec
//    80  SystemNameLength  84 SystemNameOffset
//   PERF_OBJECT_TYPE at HeaderLength, kPerfObjectSize (64) bytes:
//     0  TotalByteLength    4 DefinitionLength    8 HeaderLength (64)
//    12  ObjectNameTitleIndex   16 ObjectNameTitle (pointer)
//    20  ObjectHelpTitleIndex   24 ObjectHelpTitle   28 DetailLevel
//    32  NumCounters        36 DefaultCounter     40 NumInstances
//    44  CodePage (0)       48 PerfTime           56 PerfFreq
//   PERF_COUNTER_DEFINITION x NumCounters at object + HeaderLength, 40 bytes each:
//     0  ByteLength (40)    4 CounterNameTitleIndex   8 CounterNameTitle
//    12  CounterHelpTitleIndex  16 CounterHelpTitle  20 DefaultScale
//    24  DetailLevel       28 CounterType       32 CounterSize    36 CounterOffset
//   Per instance, the first at object + DefinitionLength:
//     PERF_INSTANCE_DEFINITION, 24 bytes, then the UTF-16 name with its zero,
//     padded to 8; ByteLength covers both:
//       0 ByteLength   4 ParentObjectTitleIndex   8 ParentObjectInstance
//      12 UniqueID (-1)   16 NameOffset (24)   20 NameLength (bytes, zero included)
//     PERF_COUNTER_BLOCK at instance + ByteLength:
//       0 ByteLength, then the counter values at their CounterOffsets.
//
// The process object carries five counters; "ID Process" is the fourth, at
// counter offset 32, and the fifth ("Creating Process ID", offset 36) holds
// a different number, so reading the wrong counter gives wrong ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace purgato {

// PERF_DATA_BLOCK
constexpr std::size_t kPerfBlockSignature = 0;
constexpr std::size_t kPerfBlockTotalByteLength = 20;
constexpr std::size_t kPerfBlockHeaderLength = 24;
constexpr std::size_t kPerfBlockNumObjectTypes = 28;
constexpr std::size_t kPerfBlockSystemNameLength = 80;
constexpr std::size_t kPerfBlockSystemNameOffset = 84;
constexpr std::size_t kPerfBlockSize = 88;
// PERF_OBJECT_TYPE (offsets from the object)
constexpr std::size_t kPerfObjectTotalByteLength = 0;
constexpr std::size_t kPerfObjectDefinitionLength = 4;
constexpr std::size_t kPerfObjectHeaderLength = 8;
constexpr std::size_t kPerfObjectNameTitleIndex = 12;
constexpr std::size_t kPerfObjectNumCounters = 32;
constexpr std::size_t kPerfObjectNumInstances = 40;
constexpr std::size_t kPerfObjectCodePage = 44;
constexpr std::size_t kPerfObjectSize = 64;
// PERF_COUNTER_DEFINITION (offsets from the definition)
constexpr std::size_t kPerfCounterByteLength = 0;
constexpr std::size_t kPerfCounterNameTitleIndex = 4;
constexpr std::size_t kPerfCounterSize = 32;
constexpr std::size_t kPerfCounterOffset = 36;
constexpr std::size_t kPerfCounterDefinitionSize = 40;
// PERF_INSTANCE_DEFINITION (offsets from the instance)
constexpr std::size_t kPerfInstanceByteLength = 0;
constexpr std::size_t kPerfInstanceUniqueId = 12;
constexpr std::size_t kPerfInstanceNameOffset = 16;
constexpr std::size_t kPerfInstanceNameLength = 20;
constexpr std::size_t kPerfInstanceSize = 24;
// PERF_COUNTER_BLOCK (offsets from the counter block)
constexpr std::size_t kPerfCounterBlockByteLength = 0;

constexpr std::uint32_t kPerfProcessObjectIndex = 230;  // "Process"
constexpr std::uint32_t kPerfIdProcessIndex = 784;      // "ID Process"
constexpr int kPerfProcessCounters = 5;
constexpr int kPerfIdCounterSlot = 3;                  // "ID Process" is definition 3 (from 0)
constexpr std::uint32_t kPerfIdCounterOffset = 32;      // in the counter block
constexpr std::uint32_t kPerfCreatorCounterOffset = 36; // "Creating Process ID", the decoy
constexpr std::uint32_t kPerfCounterBlockLength = 40;

// Where the parts of a built block lie, for tests that edit them.
struct PerfBlockLayout {
  std::size_t object = 0;                  // the PERF_OBJECT_TYPE
  std::size_t firstCounter = 0;            // the first PERF_COUNTER_DEFINITION
  std::size_t idCounter = 0;               // the "ID Process" definition
  std::vector<std::size_t> instances;      // each PERF_INSTANCE_DEFINITION
  std::vector<std::size_t> counterBlocks;  // each PERF_COUNTER_BLOCK
};

// A block with one process object holding one instance per (name, id), in
// order. Names are converted to UTF-16 unit by unit (ASCII and Latin-1).
std::vector<std::uint8_t> buildPerfData(const std::vector<std::pair<std::string, std::uint32_t>>& instances,
                                        std::uint32_t processObjectIndex = kPerfProcessObjectIndex,
                                        std::uint32_t idCounterIndex = kPerfIdProcessIndex,
                                        PerfBlockLayout* layout = nullptr);

// A REG_MULTI_SZ "Counters" value: for each entry its decimal index and its
// name, each zero-terminated, and a final zero.
std::vector<std::uint8_t> buildCounterNames(const std::vector<std::pair<std::uint32_t, std::string>>& entries);
// The entries of a default English perflib (a handful around the two the
// program reads, "Process" at 230 and "ID Process" at 784).
std::vector<std::pair<std::uint32_t, std::string>> defaultCounterNames();

}  // namespace purgato
