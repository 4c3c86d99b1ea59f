// A static control of a dialog template shown as a web link: its text is
// the URL, drawn in link colours, underlined while the pointer is over it,
// shown in a tooltip, and opened through the shell on a click.
#pragma once

#include <windows.h>

#include <string>

#include "controls/subclassed_window.h"

namespace purgato {

class HyperlinkLabel final : public SubclassedWindow {
 public:
  HyperlinkLabel() = default;
  ~HyperlinkLabel() override;

  // Opens url with the shell's "open" verb; true when the shell reports
  // success (a result above 32). A URL that does not fit the 260-byte
  // launch buffer is not opened at all.
  static bool launchUrl(const char* url);

  const std::string& linkUrl() const { return url; }

 private:
  void preSubclass() override;
  bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  void relayToToolTip(UINT message, WPARAM wParam, LPARAM lParam);
  void startHover();
  void checkHover();
  void click();
  void destroyToolTip();

  COLORREF linkColour = RGB(0, 0, 238);
  COLORREF visitedColour = RGB(85, 26, 139);
  COLORREF hoverColour = RGB(0, 0, 238);
  bool hovering = false;
  bool visited = false;
  std::string url;
  HFONT underlineFont = nullptr;
  HFONT normalFont = nullptr;
  HWND toolTip = nullptr;
  UINT_PTR hoverTimerId = 100;
};

}  // namespace purgato
