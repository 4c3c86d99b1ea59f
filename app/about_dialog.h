// The About box: icon, name and vendor notice, closed by OK, Enter, Escape
// or its close button.
#pragma once

#include "app/dialog.h"

namespace purgato {

class AboutDialog final : public Dialog {
 public:
  explicit AboutDialog(HWND parent = nullptr);
};

}  // namespace purgato
