#include "app/thank_you_dialog.h"

#include "app/identity.h"
#include "os/text.h"
#include "res/resource.h"

namespace purgato {

ThankYouDialog::ThankYouDialog(HWND parent) : Dialog(IDD_THANK_YOU, parent) {}

BOOL ThankYouDialog::OnInitDialog() {
  bind(homeLink, IDC_HOME_LINK);
  SetWindowTextA(hwnd(), kWindowTitle);
  char line[kTextSize] = "";
  copyText(line, sizeof line, "Thank you for using the ");
  appendText(line, sizeof line, kProductName);
  appendText(line, sizeof line, " program. You can protect your computer");
  SetDlgItemTextA(hwnd(), IDC_HEADING, line);
  return TRUE;
}

}  // namespace purgato
