// The main dialog: names the worm, asks whether to scan, links to the
// download page. OK runs the scan (and so the rest of the program); Cancel
// ends the program without scanning.
#pragma once

#include "app/dialog.h"
#include "controls/hyperlink_label.h"
#include "os/os.h"
#include "session/session.h"

namespace purgato {

class MainDialog final : public Dialog {
 public:
  MainDialog(ScanSession& session, Os& os, HWND parent = nullptr);

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  void addAboutItem();
  bool paintIcon();

  ScanSession& session;
  Os& os;
  HyperlinkLabel downloadLink;
  HICON icon;
};

}  // namespace purgato
