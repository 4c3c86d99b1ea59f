// A C++ object bound to an existing window (a control of a dialog
// template) by swapping the window's procedure. Works without comctl32 6,
// so on Windows 95 and NT 4: GWLP_WNDPROC is replaced with SetWindowLongPtrA
// (in a 32-bit image the very same SetWindowLongA import), the object is
// found again through a window property, and every message the object does
// not take goes on to the old procedure.
#pragma once

#include <windows.h>

namespace purgato {

// A parent sends a child that carries the property below the messages
// meant for it (WM_COMMAND notifications, WM_CTLCOLOR*) again as
// kReflectBase + message.
constexpr UINT kReflectBase = 0x2000;

class SubclassedWindow {
 public:
  SubclassedWindow() = default;
  SubclassedWindow(const SubclassedWindow&) = delete;
  SubclassedWindow& operator=(const SubclassedWindow&) = delete;
  virtual ~SubclassedWindow();

  // Runs preSubclass, then takes over the window. False when the window is
  // missing or already bound.
  bool subclass(HWND window);
  HWND hwnd() const { return window_; }

  // The object bound to a window, or null (only our own windows answer).
  static SubclassedWindow* fromWindow(HWND window);

 protected:
  // Runs once the window is known, before its procedure is replaced.
  virtual void preSubclass() {}
  // True when the message is handled, its answer in result; false lets the
  // window's old procedure handle it.
  virtual bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
  // The old procedure's handling, for handlers that add to it.
  LRESULT callDefault(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void unsubclass();

  HWND window_ = nullptr;
  WNDPROC oldProc_ = nullptr;
};

}  // namespace purgato
