// Ending the processes whose executable carries a given file's name, and the
// operating-system family test.
#pragma once

#include <cstdint>

#include "clean/perf_data.h"
#include "os/os.h"

namespace purgato {

constexpr int kFamilyQueryFailed = 0;
constexpr int kFamilyOther = 1;
constexpr int kFamily9x = 4;
constexpr int kFamilyNT = 5;

int platformClass(Os& os);


// 1 when a process was ended, and on a family that is neither 9x nor NT.
int terminateProcessByImage(Os& os, const char* path);
int terminateByImage9x(Os& os, const char* path);
int terminateByImageNT(Os& os, const char* path);

// Opens the process with `access`, ends it and closes the handle; true when
// it was ended.
bool terminateProcessById(Os& os, std::uint32_t access, std::uint32_t processId);

}  // namespace purgato
