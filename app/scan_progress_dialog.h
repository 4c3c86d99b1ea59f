// The dialog the scan runs in. It receives the progress channel, starts the
// scan on its first timer tick, lists every log line, shows the current
// path, and offers Cancel while the scan runs and OK once it is over.
#pragma once

#include "app/dialog.h"
#include "app/scan_progress_logic.h"
#include "os/os.h"
#include "session/session.h"

namespace purgato {

class ScanProgressDialog final : public Dialog {
 public:
  ScanProgressDialog(ScanSession& session, Os& os, HWND parent = nullptr);

 protected:
  BOOL OnInitDialog() override;
  void OnCancel() override;
  bool OnCommand(int id, int code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  void onTimer();
  void onLogLine();
  void onStatus();
  void showStatus(DWORD now);
  void onScanOk();
  void showOkButton();

  ScanSession& session;
  Os& os;
  HWND cancelButton = nullptr;
  HWND okButton = nullptr;
  HWND statusLine = nullptr;
  HWND progressList = nullptr;
  ScanRun run;
  bool asking = false;         // the Cancel question is open
  bool statusPending = false;  // a status waits for the repaint timer
  DWORD statusShownAt = 0;     // GetTickCount of the last repaint
};

}  // namespace purgato
