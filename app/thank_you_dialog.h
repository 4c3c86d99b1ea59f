// The last dialog of every run: thanks the user and links to the vendor's
// home page.
#pragma once

#include "app/dialog.h"
#include "controls/hyperlink_label.h"

namespace purgato {

class ThankYouDialog final : public Dialog {
 public:
  explicit ThankYouDialog(HWND parent = nullptr);

 protected:
  BOOL OnInitDialog() override;

 private:
  HyperlinkLabel homeLink;
};

}  // namespace purgato
