// Checks of the dialogs from inside: the real dialogs run their real modal
// loops under Wine while a thread timer, which every loop of the thread
// dispatches (the dialogs', the message boxes' and the scan's pump), plays
// a script of steps against them and records what it sees. Run by
// tests/gui/run_gui_checks.sh on an X display.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/identity.h"
#include "app/scan_progress_dialog.h"
#include "app/thank_you_dialog.h"
#include "controls/hyperlink_label.h"
#include "os/win32/win32_os.h"
#include "res/resource.h"
#include "session/session.h"

namespace {

using purgato::HyperlinkLabel;
using purgato::ScanSession;

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
  ++checks;
  if (!ok) {
    ++failures;
    std::printf("FAIL  %s\n", what.c_str());
  }
}

template <typename A, typename B>
void checkEqual(const A& actual, const B& expected, const std::string& what) {
  const bool ok = actual == expected;
  check(ok, what + " (got " + std::to_string(actual) + ", want " + std::to_string(expected) + ")");
}

void checkText(const std::string& actual, const std::string& expected, const std::string& what) {
  check(actual == expected, what + " (got \"" + actual + "\", want \"" + expected + "\")");
}

std::string windowText(HWND window) {
  char text[600] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// A step returns true when done; false runs it again on the next tick
// (waiting for a window to appear).
using Step = std::function<bool()>;
std::vector<Step> script;
std::size_t nextStep = 0;
int ticksWaited = 0;
constexpr int kMaxTicksPerStep = 100;  // 5 s at 50 ms

void CALLBACK onTick(HWND, UINT, UINT_PTR, DWORD) {
  if (nextStep >= script.size()) return;
  try {
    if (script[nextStep]()) {
      ++nextStep;
      ticksWaited = 0;
    } else if (++ticksWaited > kMaxTicksPerStep) {
      check(false, "step " + std::to_string(nextStep) + " timed out");
      ++nextStep;
      ticksWaited = 0;
    }
  } catch (...) {
    check(false, "step " + std::to_string(nextStep) + " threw");
    ++nextStep;
  }
}

// Runs body (which runs a modal dialog) with the script playing.
void play(std::vector<Step> steps, const std::function<void()>& body) {
  script = std::move(steps);
  nextStep = 0;
  ticksWaited = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, &onTick);
  body();
  KillTimer(nullptr, timer);
  check(nextStep == script.size(), "every step ran (" + std::to_string(nextStep) + " of " +
                                       std::to_string(script.size()) + ")");
}

struct FoundWindow {
  const char* caption;
  int childId;
  HWND window;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<FoundWindow*>(param);
  if (!IsWindowVisible(window) || windowText(window) != found->caption) return TRUE;
  if (found->childId != 0 && GetDlgItem(window, found->childId) == nullptr) return TRUE;
  found->window = window;
  return FALSE;
}

// A visible top-level window of this thread with that caption and child.
HWND findWindow(const char* caption, int childId) {
  FoundWindow found = {caption, childId, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), &matchWindow, reinterpret_cast<LPARAM>(&found));
  return found.window;
}

LRESULT sendLogLine(ScanSession& session, HWND dialog, const std::string& line) {
  std::snprintf(session.logLine, sizeof session.logLine, "%s", line.c_str());
  // Any sender, any parameters: the number alone makes it a channel message.
  return SendMessageA(dialog, purgato::kMsgLogLine, 0x1234, 0x5678);
}

LRESULT count(HWND list) { return SendMessageA(list, LB_GETCOUNT, 0, 0); }
LRESULT selection(HWND list) { return SendMessageA(list, LB_GETCURSEL, 0, 0); }

// The list and status line rules, with the scan of an empty target (the
// statistics only) already over.
void progressChannelChecks(ScanSession& session, HWND dialog) {
  const HWND list = GetDlgItem(dialog, IDC_PROGRESS_LIST);
  checkText(windowText(dialog), purgato::kWindowTitle, "progress caption");
  checkText(windowText(GetDlgItem(dialog, IDC_HEADING)), "Searching for variants of W32/Opaserv.Worm files...",
            "progress heading");
  checkEqual(SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0), 650L, "horizontal extent");
  check(IsWindowVisible(GetDlgItem(dialog, IDC_SCAN_OK)) && !IsWindowVisible(GetDlgItem(dialog, IDCANCEL)),
        "after the scan OK is shown and Cancel hidden");
  checkText(windowText(GetDlgItem(dialog, IDC_STATUS_LINE)), "Scanning completed", "end status");
  check(count(list) >= 4, "the statistics reached the list");
  // Another tick, whoever sends it, starts no second scan.
  const LRESULT linesAfterScan = count(list);
  SendMessageA(dialog, WM_TIMER, 100, 0);
  checkEqual(count(list), linesAfterScan, "a second tick runs no second scan");

  // Selection: none at one or two lines, the newest from the third on.
  session.statisticsPhase = false;
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  const LRESULT wantSelection[] = {LB_ERR, LB_ERR, 2, 3};
  for (int n = 1; n <= 4; ++n) {
    checkEqual(sendLogLine(session, dialog, "line " + std::to_string(n)), 0L, "log line answer");
    checkEqual(selection(list), wantSelection[n - 1], "selection at " + std::to_string(n) + " lines");
  }

  // During the walk the 151st line empties the list first.
  // Bounded: a list that empties too early never reaches 150.
  for (int i = 0; i < 200 && count(list) < 150; ++i) sendLogLine(session, dialog, "filler " + std::to_string(i));
  checkEqual(selection(list), 149L, "newest of 150 selected");
  sendLogLine(session, dialog, "after the limit");
  checkEqual(count(list), 1L, "the list holds only the line that found 150");
  checkEqual(selection(list), static_cast<LRESULT>(LB_ERR), "no selection right after emptying");
  char first[600] = "";
  SendMessageA(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(first));
  checkText(first, "after the limit", "the line kept");

  // Once the statistics start, nothing is dropped.
  session.statisticsPhase = true;
  for (int i = 0; i < 159; ++i) sendLogLine(session, dialog, "statistics " + std::to_string(i));
  checkEqual(count(list), 160L, "statistics phase keeps lines beyond 150");

  // A WM_ENABLE from the system (here: disabling and enabling the dialog)
  // only rewrites the status line; the dialog still ends up enabled.
  std::snprintf(session.statusText, sizeof session.statusText, "%s", "status from the record");
  EnableWindow(dialog, FALSE);
  EnableWindow(dialog, TRUE);
  checkText(windowText(GetDlgItem(dialog, IDC_STATUS_LINE)), "status from the record", "WM_ENABLE rewrites status");
  check(IsWindowEnabled(dialog) != FALSE, "dialog enabled again");
}

void progressDialogChecks() {
  purgato::Win32Os os;
  ScanSession session;
  session.targetPath[0] = '\0';  // statistics only: no walk of this machine
  session.cancelRequested = true;  // the first tick clears it

  // Standard IDOK: closes at once, no thank-you dialog.
  bool thankYouSeen = false;
  INT_PTR result = -2;
  play(
      {
          [&] {
            const HWND dialog = reinterpret_cast<HWND>(session.progressWindow);
            return dialog != nullptr && IsWindowVisible(GetDlgItem(dialog, IDC_SCAN_OK));
          },
          [&] {
            const HWND dialog = reinterpret_cast<HWND>(session.progressWindow);
            check(!session.cancelRequested, "the first tick cleared cancelRequested");
            progressChannelChecks(session, dialog);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return true;
          },
      },
      [&] {
        purgato::ScanProgressDialog dialog(session, os);
        result = dialog.DoModal();
        thankYouSeen = findWindow(purgato::kWindowTitle, IDC_HOME_LINK) != nullptr;
      });
  checkEqual(result, static_cast<INT_PTR>(IDOK), "IDOK ends the progress dialog with IDOK");
  check(!thankYouSeen, "IDOK shows no thank-you dialog");

  // Cancel's question after the scan: No changes nothing, Yes sets the
  // flag, and the dialog stays; then button 1003 ends with 0 through the
  // thank-you dialog.
  ScanSession second;
  std::string thankYouLine;
  HWND progress = nullptr;
  play(
      {
          [&] {
            progress = reinterpret_cast<HWND>(second.progressWindow);
            return progress != nullptr && IsWindowVisible(GetDlgItem(progress, IDC_SCAN_OK));
          },
          [&] {
            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return true;
          },
          [&] {
            const HWND box = FindWindowA("#32770", "Warning");
            if (box == nullptr) return false;
            checkText(windowText(GetDlgItem(box, 0xFFFF)), "Terminate the Scan now?", "cancel question");
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
            return true;
          },
          [&] {
            if (FindWindowA("#32770", "Warning") != nullptr) return false;
            check(!second.cancelRequested, "No leaves cancelRequested clear");
            check(IsWindowVisible(progress) != FALSE, "No leaves the dialog open");
            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return true;
          },
          [&] {
            const HWND box = FindWindowA("#32770", "Warning");
            if (box == nullptr) return false;
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
            return true;
          },
          [&] {
            if (FindWindowA("#32770", "Warning") != nullptr) return false;
            check(second.cancelRequested, "Yes sets cancelRequested");
            check(IsWindowVisible(progress) != FALSE, "Yes leaves the dialog open");
            PostMessageA(GetDlgItem(progress, IDC_SCAN_OK), BM_CLICK, 0, 0);
            return true;
          },
          [&] {
            const HWND thankYou = findWindow(purgato::kWindowTitle, IDC_HOME_LINK);
            if (thankYou == nullptr) return false;
            check(!IsWindowVisible(progress), "the progress dialog is hidden behind the thank-you dialog");
            thankYouLine = windowText(GetDlgItem(thankYou, IDC_HEADING));
            PostMessageA(thankYou, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Escape
            return true;
          },
      },
      [&] {
        purgato::ScanProgressDialog dialog(second, os);
        result = dialog.DoModal();
      });
  checkEqual(result, static_cast<INT_PTR>(0), "button 1003 ends the progress dialog with 0");
  checkText(thankYouLine, "Thank you for using the Purgato program. You can protect your computer",
            "thank-you first line");
}

// Cancel answered Yes before the first tick: while the question is open
// its loop starts no scan; once answered, OK (1003) does nothing until the
// scan has run, and the scan ends at once, terminated, with its
// statistics.
void earlyCancelChecks() {
  purgato::Win32Os os;
  ScanSession session;
  session.targetPath[0] = '\0';  // statistics only: no walk of this machine
  HWND progress = nullptr;
  HWND list = nullptr;
  int ticksAsked = 0;
  bool thankYouEarly = false;
  std::string thankYouLine;
  INT_PTR result = -2;
  play(
      {
          [&] {
            progress = reinterpret_cast<HWND>(session.progressWindow);
            if (progress == nullptr) return false;
            list = GetDlgItem(progress, IDC_PROGRESS_LIST);
            checkEqual(count(list), 0L, "Cancel comes before the first tick");
            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return true;
          },
          [&] {
            const HWND box = FindWindowA("#32770", "Warning");
            if (box == nullptr) return false;
            // Several of the dialog's ticks come while the question waits.
            if (++ticksAsked < 6) return false;
            checkEqual(count(list), 0L, "no scan while the question is open");
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
            // Ahead of the next tick: OK while the scan is still to come.
            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDC_SCAN_OK, BN_CLICKED), 0);
            return true;
          },
          [&] {
            if (const HWND early = findWindow(purgato::kWindowTitle, IDC_HOME_LINK)) {
              // Closed, so that the fault shows as a failure, not a hang.
              thankYouEarly = true;
              PostMessageA(early, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
              return false;
            }
            if (windowText(GetDlgItem(progress, IDC_STATUS_LINE)).empty()) return false;
            check(!thankYouEarly, "OK before the scan opens no thank-you dialog");
            check(IsWindowVisible(progress) != FALSE, "OK before the scan leaves the dialog open");
            checkText(windowText(GetDlgItem(progress, IDC_STATUS_LINE)), "Scanning terminated",
                      "a cancel before the first tick ends the scan");
            std::string lines;
            for (LRESULT i = 0; i < count(list); ++i) {
              char line[600] = "";
              SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
              lines += std::string(line) + "\n";
            }
            checkText(lines,
                      "Scanning statistics\t\t:\nTotal files scanned\t\t:  0\nTotal files infected\t\t:  0\n"
                      "Total files disinfected\t:  0\nTotal files deleted\t\t:  0\n",
                      "the statistics of the cancelled scan");
            check(session.cancelRequested, "the cancel is kept");
            check(IsWindowVisible(GetDlgItem(progress, IDC_SCAN_OK)) && !IsWindowVisible(GetDlgItem(progress, IDCANCEL)),
                  "OK shown, Cancel hidden");
            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDC_SCAN_OK, BN_CLICKED), 0);
            return true;
          },
          [&] {
            const HWND thankYou = findWindow(purgato::kWindowTitle, IDC_HOME_LINK);
            if (thankYou == nullptr) return false;
            thankYouLine = windowText(GetDlgItem(thankYou, IDC_HEADING));
            PostMessageA(thankYou, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return true;
          },
      },
      [&] {
        purgato::ScanProgressDialog dialog(session, os);
        result = dialog.DoModal();
      });
  checkEqual(result, static_cast<INT_PTR>(0), "after the scan OK ends the dialog with 0");
  checkText(thankYouLine, "Thank you for using the Purgato program. You can protect your computer",
            "the thank-you dialog after the cancelled scan");
}

RECT windowRect(HWND window) {
  RECT rect = {0, 0, 0, 0};
  GetWindowRect(window, &rect);
  return rect;
}

RECT workArea() {
  RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  return area;
}

std::string rectText(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
         std::to_string(r.bottom - r.top);
}

// Centred within a pixel (the halves are rounded down).
void checkCentred(HWND window, const RECT& over, const std::string& what) {
  const RECT r = windowRect(window);
  const long dx = (r.left + r.right) / 2 - (over.left + over.right) / 2;
  const long dy = (r.top + r.bottom) / 2 - (over.top + over.bottom) / 2;
  check(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1, what + " (" + rectText(r) + " over " + rectText(over) + ")");
}

constexpr int kOpenChild = 0x7001;        // runs a child dialog owned by the dialog
constexpr int kOpenMovingChild = 0x7002;  // the same, the child placing itself

// A dialog of the real layer that may place itself in its initialisation
// and, on a command, runs a child dialog (a not-visible template) owned
// by it, as the program's dialogs run theirs.
class ProbeDialog final : public purgato::Dialog {
 public:
  ProbeDialog(int templateId, HWND parent, bool placesItself)
      : Dialog(templateId, parent), placesItself_(placesItself) {}
  static HWND latest;  // the window of the dialog initialised last
  static constexpr int kOwnX = 13, kOwnY = 17;

 protected:
  BOOL OnInitDialog() override {
    latest = hwnd();
    if (placesItself_) SetWindowPos(hwnd(), nullptr, kOwnX, kOwnY, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    return TRUE;
  }
  bool OnCommand(int id, int, HWND) override {
    if (id != kOpenChild && id != kOpenMovingChild) return false;
    ProbeDialog child(IDD_THANK_YOU, hwnd(), id == kOpenMovingChild);
    child.DoModal();
    latest = hwnd();
    return true;
  }

 private:
  bool placesItself_;
};
HWND ProbeDialog::latest = nullptr;

// Where a modal dialog opens: a visible template where the template puts
// it; a dialog that placed itself where it did; every other centred over
// its owner (kept inside the work area), or in the work area when there is
// no owner or it is hidden.
void placementChecks() {
  const RECT area = workArea();
  HWND owner = nullptr;
  HWND child = nullptr;
  RECT ownerRect = {0, 0, 0, 0};
  // The next child once it is up, or false.
  const auto childUp = [&] {
    child = ProbeDialog::latest != owner ? ProbeDialog::latest : nullptr;
    return child != nullptr && IsWindowVisible(child);
  };
  const auto openChild = [&](int command) {
    ProbeDialog::latest = owner;
    PostMessageA(owner, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
  };
  const auto closeChild = [&] { PostMessageA(child, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); };
  play(
      {
          [&] {
            owner = ProbeDialog::latest;
            if (owner == nullptr || !IsWindowVisible(owner)) return false;
            const RECT r = windowRect(owner);
            check(r.left == 0 && r.top == 0, "a visible template keeps its position (" + rectText(r) + ")");
            SetWindowPos(owner, nullptr, 60, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            ownerRect = windowRect(owner);
            openChild(kOpenChild);
            return true;
          },
          [&] {
            if (!childUp()) return false;
            checkCentred(child, ownerRect, "centred over its owner");
            closeChild();
            return true;
          },
          [&] {
            if (ProbeDialog::latest != owner) return false;
            // Most of the owner off the bottom right of the work area.
            SetWindowPos(owner, nullptr, area.right - 60, area.bottom - 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            openChild(kOpenChild);
            return true;
          },
          [&] {
            if (!childUp()) return false;
            const RECT r = windowRect(child);
            check(r.right == area.right && r.bottom == area.bottom,
                  "kept inside the work area (" + rectText(r) + " in " + rectText(area) + ")");
            closeChild();
            return true;
          },
          [&] {
            if (ProbeDialog::latest != owner) return false;
            ShowWindow(owner, SW_HIDE);
            openChild(kOpenChild);
            return true;
          },
          [&] {
            if (!childUp()) return false;
            checkCentred(child, area, "a hidden owner: centred in the work area");
            closeChild();
            return true;
          },
          [&] {
            if (ProbeDialog::latest != owner) return false;
            ShowWindow(owner, SW_SHOW);
            openChild(kOpenMovingChild);
            return true;
          },
          [&] {
            if (!childUp()) return false;
            const RECT r = windowRect(child);
            check(r.left == ProbeDialog::kOwnX && r.top == ProbeDialog::kOwnY,
                  "a dialog that placed itself stays (" + rectText(r) + ")");
            closeChild();
            return true;
          },
          [&] {
            if (ProbeDialog::latest != owner) return false;
            PostMessageA(owner, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return true;
          },
      },
      [] {
        ProbeDialog::latest = nullptr;
        ProbeDialog owner(IDD_PURGATO_DIALOG, nullptr, false);
        owner.DoModal();
      });
}

bool underlined(HWND label) {
  const HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0));
  LOGFONTA logFont;
  return font != nullptr && GetObjectA(font, sizeof logFont, &logFont) == sizeof logFont && logFont.lfUnderline;
}

// Asks the dialog for the label's colours, as the static does when it paints.
COLORREF textColour(HWND dialog, HWND label, HBRUSH* brush, int* mode) {
  const HDC dc = CreateCompatibleDC(nullptr);
  *brush = reinterpret_cast<HBRUSH>(SendMessageA(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                                 reinterpret_cast<LPARAM>(label)));
  const COLORREF colour = GetTextColor(dc);
  *mode = GetBkMode(dc);
  DeleteDC(dc);
  return colour;
}

void linkLabelChecks() {
  // Never launched: a URL the launch buffer cannot hold.
  check(!HyperlinkLabel::launchUrl(std::string(260, 'a').c_str()), "a 260-character URL is not launched");

  HWND dialog = nullptr;
  HWND label = nullptr;
  POINT outside = {0, 0};
  play(
      {
          [&] {
            dialog = findWindow(purgato::kWindowTitle, IDC_HOME_LINK);
            if (dialog == nullptr) return false;
            checkCentred(dialog, workArea(), "without an owner the thank-you dialog is centred in the work area");
            label = GetDlgItem(dialog, IDC_HOME_LINK);
            auto* object = dynamic_cast<HyperlinkLabel*>(purgato::SubclassedWindow::fromWindow(label));
            check(object != nullptr, "the label is bound");
            if (object != nullptr) checkText(object->linkUrl(), "http://www.corvanel.example/", "URL from the template");
            check((GetWindowLongA(label, GWL_STYLE) & SS_NOTIFY) != 0, "SS_NOTIFY added");
            HBRUSH brush;
            int mode;
            checkEqual(textColour(dialog, label, &brush, &mode), static_cast<COLORREF>(0x00EE0000), "link colour");
            check(brush == GetStockObject(NULL_BRUSH), "NULL_BRUSH");
            checkEqual(mode, TRANSPARENT, "transparent background");
            checkEqual(SendMessageA(label, WM_SETCURSOR, reinterpret_cast<WPARAM>(label), HTCLIENT), 0L,
                       "WM_SETCURSOR answers FALSE");
            const HDC dc = GetDC(label);
            checkEqual(SendMessageA(label, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0), 1L, "background erased");
            ReleaseDC(label, dc);
            check(!underlined(label), "no underline before hovering");
            // Park the pointer off the label for the timer test.
            RECT rect;
            GetWindowRect(dialog, &rect);
            outside = {rect.right + 40, rect.bottom + 40};
            SetCursorPos(outside.x, outside.y);
            return true;
          },
          [&] {
            // The pointer is off the label: this tick's message carries that.
            SendMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
            check(underlined(label), "a move over the label underlines it");
            SendMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
            check(underlined(label), "a second move changes nothing");
            SendMessageA(label, WM_TIMER, 100, 0);
            check(!underlined(label), "a tick with the pointer outside ends the hover");
            HBRUSH brush;
            int mode;
            checkEqual(textColour(dialog, label, &brush, &mode), static_cast<COLORREF>(0x00EE0000),
                       "link colour after the hover");
            RECT rect;
            GetWindowRect(label, &rect);
            SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
            return true;
          },
          [&] {
            SendMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
            SendMessageA(label, WM_TIMER, 100, 0);
            check(underlined(label), "a tick with the pointer inside keeps the hover");
            SetCursorPos(outside.x, outside.y);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return true;
          },
      },
      [] {
        purgato::ThankYouDialog dialog;
        checkEqual(dialog.DoModal(), static_cast<INT_PTR>(IDOK), "thank-you OK");
      });
}

}  // namespace

int main() {
  InitCommonControls();
  progressDialogChecks();
  earlyCancelChecks();
  placementChecks();
  linkLabelChecks();
  std::printf("%d checks, %d failed\n", checks, failures);
  return failures == 0 ? 0 : 1;
}
