// The one way the engine reads file bytes: seek to an absolute position and
// read exactly count bytes. A negative position, a failed seek or a short
// read is "no data", never an error.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace purgato {

bool readExactAt(Os& os, int file, std::int64_t position, void* buffer, unsigned count);

}  // namespace purgato
