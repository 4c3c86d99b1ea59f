#include "app/main_dialog.h"

#include "app/about_dialog.h"
#include "app/identity.h"
#include "app/scan_progress_dialog.h"
#include "os/text.h"
#include "res/resource.h"

namespace purgato {

MainDialog::MainDialog(ScanSession& session, Os& os, HWND parent)
    : Dialog(IDD_PURGATO_DIALOG, parent),
      session(session),
      os(os),
      icon(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

BOOL MainDialog::OnInitDialog() {
  bind(downloadLink, IDC_DOWNLOAD_LINK);

  char heading[kTextSize] = "";
  copyText(heading, sizeof heading, kProductTitle);
  appendText(heading, sizeof heading, " - Program to detect and clean variants of ");
  appendText(heading, sizeof heading, kWormName);
  SetDlgItemTextA(hwnd(), IDC_HEADING, heading);

  char question[kTextSize] = "";
  copyText(question, sizeof question, "Scan the computer for the presence of ");
  appendText(question, sizeof question, kWormName);
  appendText(question, sizeof question, " now?");
  SetDlgItemTextA(hwnd(), IDC_QUESTION, question);

  addAboutItem();
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  SetWindowTextA(hwnd(), kWindowTitle);
  return TRUE;
}

void MainDialog::addAboutItem() {
  const HMENU menu = GetSystemMenu(hwnd(), FALSE);
  if (menu == nullptr) return;
  // The resources hold no string table, so the label stays empty and no
  // item is added; the About box is reached by its command alone.
  char label[kTextSize] = "";
  if (LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, label, sizeof label) <= 0 || label[0] == '\0') return;
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, label);
}

bool MainDialog::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return false;
      {
        AboutDialog about;
        about.DoModal();
      }
      result = 0;
      return true;
    case WM_PAINT:
      if (!paintIcon()) return false;
      result = 0;
      return true;
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<LRESULT>(icon);
      return true;
    default:
      return false;
  }
}

// While minimised the dialog draws its icon itself, centred.
bool MainDialog::paintIcon() {
  if (!IsIconic(hwnd())) return false;
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(hwnd(), &paint);
  SendMessageA(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(hwnd(), &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, icon);
  EndPaint(hwnd(), &paint);
  return true;
}

void MainDialog::OnOK() {
  copyText(session.targetPath, sizeof session.targetPath, "C:");
  {
    ScanProgressDialog progress(session, os);
    progress.DoModal();
  }
  Dialog::OnOK();
}

}  // namespace purgato
