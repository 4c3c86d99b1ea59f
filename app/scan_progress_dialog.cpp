#include "app/scan_progress_dialog.h"

#include "app/identity.h"
#include "app/thank_you_dialog.h"
#include "os/text.h"
#include "res/resource.h"

namespace purgato {

namespace {

constexpr UINT_PTR kStartTimerId = 100;
constexpr UINT kStartDelayMs = 100;
// During the walk the status line is repainted at most this often: each
// repaint costs more than scanning a file, and nobody reads faster.
constexpr UINT_PTR kStatusTimerId = 101;
constexpr DWORD kStatusIntervalMs = 50;
constexpr WPARAM kListExtentPixels = 650;
// During the walk the list is emptied when it reaches this many lines.
constexpr LRESULT kMaxWalkLines = 150;

}  // namespace

ScanProgressDialog::ScanProgressDialog(ScanSession& session, Os& os, HWND parent)
    : Dialog(IDD_SCAN_PROGRESS, parent), session(session), os(os), run(session, os) {}

BOOL ScanProgressDialog::OnInitDialog() {
  cancelButton = item(IDCANCEL);
  okButton = item(IDC_SCAN_OK);
  statusLine = item(IDC_STATUS_LINE);
  progressList = item(IDC_PROGRESS_LIST);

  char heading[kTextSize] = "";
  copyText(heading, sizeof heading, "Searching for variants of ");
  appendText(heading, sizeof heading, kWormName);
  appendText(heading, sizeof heading, " files...");
  SetDlgItemTextA(hwnd(), IDC_HEADING, heading);
  SetWindowTextA(hwnd(), kWindowTitle);
  SendMessageA(progressList, LB_SETHORIZONTALEXTENT, kListExtentPixels, 0);
  // The channel goes to the dialog itself, whose handlers fill the list.
  session.progressWindow = reinterpret_cast<HWnd>(hwnd());
  if (SetTimer(hwnd(), kStartTimerId, kStartDelayMs, nullptr) != 0) run.armed();
  ShowWindow(okButton, SW_HIDE);
  return TRUE;
}

bool ScanProgressDialog::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kStatusTimerId) {
        showStatus(GetTickCount());
      } else {
        onTimer();
      }
      result = 0;
      return true;
    // The channel's two numbers are WM_ENABLE and WM_SETREDRAW: whoever
    // sends them, they are channel messages and never reach default
    // processing (a WM_SETREDRAW there would stop the dialog's redrawing).
    case kMsgLogLine:
      onLogLine();
      result = 0;
      return true;
    case kMsgStatus:
      onStatus();
      result = 0;
      return true;
    default:
      return false;
  }
}

void ScanProgressDialog::onTimer() {
  // (A dialog's default processing of WM_TIMER does nothing, so there is
  // none to give first.)
  // The Cancel question's own loop brings ticks too: the scan waits for
  // its answer (the timer stays armed), or it would run inside the box,
  // which could not close, and the answer would come only after the scan.
  if (asking && run.waiting()) return;
  KillTimer(hwnd(), kStartTimerId);
  // The whole scan runs here, once, however many ticks come; the walker's
  // pump dispatches this dialog's messages meanwhile, so the handlers run
  // nested inside this call.
  if (!run.start()) return;
  if (statusPending) showStatus(GetTickCount());
  showOkButton();
}

void ScanProgressDialog::onLogLine() {
  LRESULT count = SendMessageA(progressList, LB_GETCOUNT, 0, 0);
  if (count >= kMaxWalkLines && !session.statisticsPhase) SendMessageA(progressList, LB_RESETCONTENT, 0, 0);
  SendMessageA(progressList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(session.logLine));
  count = SendMessageA(progressList, LB_GETCOUNT, 0, 0);
  // From the third line on the newest is selected (and so scrolled into
  // view); before that, one past the end selects nothing.
  SendMessageA(progressList, LB_SETCURSEL, static_cast<WPARAM>(count > 2 ? count - 1 : count), 0);
}

// Every status message is taken. While the walk runs, the line shows the
// newest path at most every kStatusIntervalMs (a timer brings the last one
// in); the end status and anything outside the walk show at once.
void ScanProgressDialog::onStatus() {
  const DWORD now = GetTickCount();
  if (!run.running() || session.statisticsPhase || now - statusShownAt >= kStatusIntervalMs) {
    showStatus(now);
  } else if (!statusPending) {
    statusPending = true;
    SetTimer(hwnd(), kStatusTimerId, kStatusIntervalMs, nullptr);
  }
}

void ScanProgressDialog::showStatus(DWORD now) {
  if (statusPending) KillTimer(hwnd(), kStatusTimerId);
  statusPending = false;
  statusShownAt = now;
  SetWindowTextA(statusLine, session.statusText);
}

void ScanProgressDialog::OnCancel() {
  asking = true;
  const int answer = MessageBoxA(hwnd(), "Terminate the Scan now?", "Warning", MB_YESNO | MB_ICONINFORMATION);
  asking = false;
  if (answer == IDNO) return;
  showOkButton();
  run.cancelConfirmed();
}

void ScanProgressDialog::showOkButton() {
  ShowWindow(cancelButton, SW_HIDE);
  ShowWindow(okButton, SW_SHOW);
}

bool ScanProgressDialog::OnCommand(int id, int code, HWND) {
  if (id != IDC_SCAN_OK || code != BN_CLICKED) return false;
  onScanOk();
  return true;
}

void ScanProgressDialog::onScanOk() {
  if (!run.okMayClose()) return;
  // Hidden at once; the modal run ends when this handler has returned.
  EndDialog(0);
  ThankYouDialog thankYou;
  thankYou.DoModal();
}

}  // namespace purgato
