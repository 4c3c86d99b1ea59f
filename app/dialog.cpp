#include "app/dialog.h"

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
    case WM_INITDIALOG:
      result = OnInitDialog();
      return true;
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
