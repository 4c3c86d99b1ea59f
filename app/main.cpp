// Start-up of Purgato.exe. For now it only brings up the scan record and
// the Windows side of the seam, so the core and the seam are linked into
// the product and run once; the dialogs come later.
#include <windows.h>

#include "os/text.h"
#include "os/win32/win32_os.h"
#include "scan/session.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  purgato::ScanSession session;
  purgato::Win32Os os;
  purgato::copyText(session.targetPath, sizeof session.targetPath, "C:");
  purgato::OsVersionInfo version = {};
  version.size = sizeof version;
  os.getVersionEx(&version);
  return 0;
}
