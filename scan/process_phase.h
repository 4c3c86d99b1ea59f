// The process phase: running processes whose executable is a worm file are
// ended and their executables deleted before the file walk.
#pragma once

#include "session/session.h"

namespace purgato {

constexpr int kNtVersion4 = 5;  // NT, major version 4 or lower
constexpr int kNtVersion5 = 6;  // NT, major version 5

int ntVersionClass(Os& os);
void killWormProcesses(ScanSession& session, Os& os);
int cleanProcesses9x(ScanSession& session, Os& os);
int cleanProcessesNT(ScanSession& session, Os& os);

}  // namespace purgato
