// The application object: refuses to run a second copy, then shows the
// main dialog once. There is no message loop of its own.
#pragma once

#include <windows.h>

#include "os/os.h"
#include "session/session.h"

namespace purgato {

class CleanerApp {
 public:
  CleanerApp(ScanSession& session, Os& os) : session(session), os(os) {}
  virtual ~CleanerApp() = default;

  // FALSE on every path: the program ends when it returns.
  virtual BOOL InitInstance();

 private:
  ScanSession& session;
  Os& os;
};

}  // namespace purgato
