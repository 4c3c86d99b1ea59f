#include "app/about_dialog.h"

#include "res/resource.h"

namespace purgato {

AboutDialog::AboutDialog(HWND parent) : Dialog(IDD_ABOUTBOX, parent) {}

}  // namespace purgato
