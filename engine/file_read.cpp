#include "engine/file_read.h"

#include <climits>
#include <cstdint>

namespace purgato {

bool readExactAt(Os& os, int file, std::int64_t position, void* buffer, unsigned count) {
  // The position is checked before it is narrowed to the seam's 32-bit
  // offset, so no computed position can wrap into a valid-looking one.
  if (position < 0 || position > INT32_MAX) return false;
  if (count > static_cast<unsigned>(INT_MAX)) return false;
  if (os.lseek(file, static_cast<std::int32_t>(position), kSeekSet) != position) return false;
  if (count == 0) return true;
  const int got = os.read(file, buffer, count);
  return got >= 0 && static_cast<unsigned>(got) == count;
}

}  // namespace purgato
