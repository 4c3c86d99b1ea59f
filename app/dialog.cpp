#include "app/dialog.h"

#include <cstring>

namespace purgato {

namespace {

Dialog* mainDialog = nullptr;

// Messages whose answer is the dialog procedure's return value; every other
// answer goes through DWLP_MSGRESULT.
bool answersDirectly(UINT message) {
  switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
      return true;
    default:
      return false;
  }
}

bool isColourRequest(UINT message) { return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC; }

// Whether the dialog template asks to be shown as it is created (then the
// dialog keeps the position the template gives it).
bool templateIsVisible(int templateId) {
  const HMODULE module = GetModuleHandleA(nullptr);
  const HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(5));  // RT_DIALOG
  if (found == nullptr) return false;
  const DWORD size = SizeofResource(module, found);
  const HGLOBAL loaded = LoadResource(module, found);
  const BYTE* bytes = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr || size < 4) return false;
  // An extended template starts with version 1 and 0xFFFF, its style 12
  // bytes in; a plain one starts with its style.
  WORD head[2] = {0, 0};
  std::memcpy(head, bytes, sizeof head);
  DWORD style = 0;
  if (head[0] == 1 && head[1] == 0xFFFF) {
    if (size < 16) return false;
    std::memcpy(&style, bytes + 12, sizeof style);
  } else {
    std::memcpy(&style, bytes, sizeof style);
  }
  return (style & WS_VISIBLE) != 0;
}

// Centres a pop-up over its owner, or in the screen's work area when it
// has none (or the owner is hidden or minimised), and keeps it inside
// the work area. SPI_GETWORKAREA rather than the monitor calls, which
// Windows 95 and NT 4 lack.
void centreOverOwner(HWND window) {
  RECT area;
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0)) {
    area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }
  RECT centre = area;
  const HWND owner = GetWindow(window, GW_OWNER);
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &centre);
  RECT own;
  if (!GetWindowRect(window, &own)) return;
  const LONG width = own.right - own.left;
  const LONG height = own.bottom - own.top;
  LONG left = (centre.left + centre.right) / 2 - width / 2;
  LONG top = (centre.top + centre.bottom) / 2 - height / 2;
  if (left + width > area.right) left = area.right - width;
  if (left < area.left) left = area.left;
  if (top + height > area.bottom) top = area.bottom - height;
  if (top < area.top) top = area.top;
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

Dialog::Dialog(int templateId, HWND parent) : templateId_(templateId), parent_(parent) {}

Dialog::~Dialog() {
  if (mainDialog == this) mainDialog = nullptr;
}

void Dialog::setMainDialog(Dialog* dialog) { mainDialog = dialog; }

INT_PTR Dialog::DoModal() {
  HWND owner = parent_;
  if (owner == nullptr && mainDialog != nullptr && mainDialog != this && mainDialog->window_ != nullptr) {
    owner = mainDialog->window_;
  }
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), owner, &Dialog::dialogProc,
                         reinterpret_cast<LPARAM>(this));
}

bool Dialog::OnCommand(int, int, HWND) { return false; }

bool Dialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

void Dialog::EndDialog(INT_PTR result) { ::EndDialog(window_, result); }

bool Dialog::bind(SubclassedWindow& control, int id) { return control.subclass(item(id)); }

bool Dialog::reflectCommand(WPARAM wParam, LPARAM lParam) {
  const HWND child = reinterpret_cast<HWND>(lParam);
  if (SubclassedWindow::fromWindow(child) == nullptr) return false;
  return SendMessageA(child, kReflectBase + WM_COMMAND, wParam, lParam) != 0;
}

bool Dialog::dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (message) {
    case WM_INITDIALOG: {
      RECT before = {};
      const bool measured = GetWindowRect(window_, &before) != FALSE;
      result = OnInitDialog();
      // A dialog that shows itself keeps its template position, and one
      // that placed itself keeps its place; every other is centred.
      RECT after = {};
      if (measured && GetWindowRect(window_, &after) && after.left == before.left && after.top == before.top &&
          !templateIsVisible(templateId_))
        centreOverOwner(window_);
      return true;
    }
    case WM_COMMAND: {
      if (lParam != 0 && reflectCommand(wParam, lParam)) return true;
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      // 0: a click (BN_CLICKED) or a menu; 1: an accelerator.
      if (code == 0 || code == 1) {
        if (id == IDOK) {
          OnOK();
          return true;
        }
        if (id == IDCANCEL) {
          OnCancel();
          return true;
        }
      }
      return OnCommand(id, code, reinterpret_cast<HWND>(lParam));
    }
    default:
      break;
  }
  if (isColourRequest(message)) {
    const HWND child = reinterpret_cast<HWND>(lParam);
    if (SubclassedWindow::fromWindow(child) != nullptr) {
      // A zero answer means the child left the colours to us.
      result = SendMessageA(child, kReflectBase + message, wParam, lParam);
      if (result != 0) return true;
    }
  }
  return OnMessage(message, wParam, lParam, result);
}

INT_PTR CALLBACK Dialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  } else {
    // Messages before WM_INITDIALOG (WM_SETFONT first) find no object yet.
    self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(window, DWLP_USER));
  }
  if (self == nullptr) return FALSE;

  INT_PTR answer = FALSE;
  // An exception cannot unwind through user32's frames: it ends here.
  try {
    LRESULT result = 0;
    const bool handled = self->dispatch(message, wParam, lParam, result);
    if (handled) {
      if (answersDirectly(message)) {
        answer = static_cast<INT_PTR>(result);
      } else {
        SetWindowLongPtrA(window, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
        answer = TRUE;
      }
    }
  } catch (...) {
    answer = FALSE;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, DWLP_USER, 0);
    self->window_ = nullptr;
  }
  return answer;
}

}  // namespace purgato
