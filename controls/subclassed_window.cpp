#include "controls/subclassed_window.h"

namespace purgato {

namespace {

constexpr char kObjectProperty[] = "Purgato.Object";

}  // namespace

SubclassedWindow::~SubclassedWindow() { unsubclass(); }

bool SubclassedWindow::subclass(HWND window) {
  if (window == nullptr || window_ != nullptr || GetPropA(window, kObjectProperty) != nullptr) return false;
  window_ = window;
  preSubclass();
  if (!SetPropA(window, kObjectProperty, reinterpret_cast<HANDLE>(this))) {
    window_ = nullptr;
    return false;
  }
  oldProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassedWindow::windowProc)));
  if (oldProc_ == nullptr) {
    RemovePropA(window, kObjectProperty);
    window_ = nullptr;
    return false;
  }
  return true;
}

SubclassedWindow* SubclassedWindow::fromWindow(HWND window) {
  if (window == nullptr) return nullptr;
  return static_cast<SubclassedWindow*>(GetPropA(window, kObjectProperty));
}

LRESULT SubclassedWindow::callDefault(UINT message, WPARAM wParam, LPARAM lParam) {
  if (oldProc_ == nullptr) return DefWindowProcA(window_, message, wParam, lParam);
  return CallWindowProcA(oldProc_, window_, message, wParam, lParam);
}

void SubclassedWindow::unsubclass() {
  if (window_ == nullptr) return;
  // Someone may have subclassed the window after us: then our procedure is
  // not theirs to lose, and we stay out of their chain's way.
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window_, GWLP_WNDPROC)) == &SubclassedWindow::windowProc) {
    SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
  }
  RemovePropA(window_, kObjectProperty);
  window_ = nullptr;
}

LRESULT CALLBACK SubclassedWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  SubclassedWindow* self = fromWindow(window);
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  // An exception cannot unwind through user32's frames: it ends here.
  try {
    if (message == WM_NCDESTROY) {
      const WNDPROC old = self->oldProc_;
      self->unsubclass();
      return CallWindowProcA(old, window, message, wParam, lParam);
    }
    LRESULT result = 0;
    if (self->onMessage(message, wParam, lParam, result)) return result;
    return self->callDefault(message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

}  // namespace purgato
