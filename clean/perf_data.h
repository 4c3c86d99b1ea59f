// The NT performance data: the counter names and the process object of a
// data block, both read from bytes another process can influence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/os.h"

namespace purgato {

// The English counter names (language 009) under HKEY_LOCAL_MACHINE.
constexpr char kPerflibCountersKey[] = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";

struct TaskEntry {
  std::uint32_t processId;  // 0 is stored as 0xFFFFFFFE
  char name[17];            // performance-data instance name, up to 16 characters
};
constexpr int kTaskRows = 255;

struct CounterIndices {
  std::string processObject;      // the index as text, as the data query wants it
  std::uint32_t idProcess = 0;
  bool haveProcess = false;
  bool haveIdProcess = false;
};

// Walks the index / name pairs of a Counters value. The value may lack its
// final zeros: nothing past `size` is read.
CounterIndices parseCounterNames(const char* data, std::size_t size);

// Fills tasks (kTaskRows rows, the last left zero) from the process object
// of a performance-data block; returns the rows filled, 0 for a block
// without the PERF signature. A field that points outside the block ends
// the walk: the rows read so far stand.
int readProcessTasks(Os& os, const std::uint8_t* data, std::size_t size, std::uint32_t idCounterIndex,
                     TaskEntry* tasks);

}  // namespace purgato
