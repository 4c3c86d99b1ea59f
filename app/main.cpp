// Start-up of Purgato.exe: the scan record, the Windows side of the seam
// and the application object live for the whole process.
#include <windows.h>

#include "app/cleaner_app.h"
#include "os/win32/win32_os.h"
#include "session/session.h"

namespace {

purgato::ScanSession session;
purgato::Win32Os os;
purgato::CleanerApp app(session, os);

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Nothing may unwind past here into the system's start-up code.
  try {
    app.InitInstance();
  } catch (...) {
  }
  return 0;
}
