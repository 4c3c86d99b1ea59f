#include "app/cleaner_app.h"

#include <commctrl.h>

#include "app/identity.h"
#include "app/main_dialog.h"

namespace purgato {

BOOL CleanerApp::InitInstance() {
  // Registers the tooltip class; without it the dialogs cannot be created.
  InitCommonControls();
  // One copy at a time, keyed by caption: a second one ends silently.
  if (FindWindowA(nullptr, kWindowTitle) != nullptr) return FALSE;
  MainDialog dialog(session, os);
  Dialog::setMainDialog(&dialog);
  dialog.DoModal();
  Dialog::setMainDialog(nullptr);
  return FALSE;
}

}  // namespace purgato
