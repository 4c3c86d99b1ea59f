// libFuzzer target: arbitrary bytes as the performance data that another
// process can shape (its instance names, the counters it publishes).
//
// The first byte's low bit picks the input's use: a Counters value for the
// name parser, or a data block for the process-object walk with the id
// counter index taken from the next four bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "clean/perf_data.h"
#include "os/bytes.h"
#include "os/posix/posix_os.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    const purgato::CounterIndices found = purgato::parseCounterNames(reinterpret_cast<const char*>(data + 1), size - 1);
    check(found.haveProcess || found.processObject.empty());
    return 0;
  }
  if (size < 5) return 0;
  static purgato::PosixOs os;
  const std::uint32_t idIndex = purgato::readLe32(data + 1);
  purgato::TaskEntry tasks[purgato::kTaskRows];
  std::memset(tasks, 0, sizeof tasks);  // as the caller hands them over
  const int filled = purgato::readProcessTasks(os, data + 5, size - 5, idIndex, tasks);
  check(filled >= 0 && filled < purgato::kTaskRows);
  for (int row = 0; row < filled; ++row) {
    check(std::memchr(tasks[row].name, '\0', sizeof tasks[row].name) != nullptr);
    check(tasks[row].processId != 0);
  }
  for (int row = filled; row < purgato::kTaskRows; ++row) check(tasks[row].processId == 0 && tasks[row].name[0] == 0);
  return 0;
}
