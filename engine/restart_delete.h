// Deleting a worm file when Windows next starts, for a file that cannot be
// deleted now: on the NT family through MoveFileExA, on the 9x family
// through a [rename] line of WININIT.INI, which Windows 9x carries out at
// its start.
#pragma once

#include <cstddef>
#include <string>

#include "os/os.h"

namespace purgato {

// Where the NT family keeps what it does at its next start.
constexpr char kSessionManagerKey[] = "System\\CurrentControlSet\\Control\\Session Manager";

// Where a request for the restart went and what it says, for the run's
// account: an administrator reads there what to take back.
struct RestartRequest {
  std::string place;  // WININIT.INI's full path, or the registry value's full name
  std::string entry;  // the line "NUL=<short path>", or the value's "\??\<path>" (renamed to nothing)
  bool written = false;  // false: an earlier scan had asked already, nothing was written
};

// Asks Windows to delete the file at its next start; true when asked, or
// when that was asked already (by an earlier scan), with *request (when
// given) filled in. On a platform of neither family (a mounted volume)
// there is no restart: false.
bool scheduleDeleteAtRestart(Os& os, const char* path, RestartRequest* request = nullptr);

// Where a [rename] line goes into the text of a WININIT.INI: `insert` is
// put at `offset`, the text around it stays as it is. present is true
// (and insert empty) when the section already holds the line.
struct RenameEdit {
  bool present = false;
  std::size_t offset = 0;
  std::string insert;
};

// The line goes after the last line of the first [rename] section (names
// of sections and lines compared without regard to case), or into a new
// section at the end of the text.
RenameEdit planRenameLine(const std::string& text, const std::string& line);

}  // namespace purgato
