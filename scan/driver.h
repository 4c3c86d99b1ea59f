// One whole scan, chosen by targetPath, ending with the statistics.
#pragma once

#include "session/session.h"

namespace purgato {

int runScan(ScanSession& session, Os& os);

}  // namespace purgato
