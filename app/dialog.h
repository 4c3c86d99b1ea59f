// The dialog layer: a modal dialog from a template, with its messages
// handed to members of the object behind one static dialog procedure.
#pragma once

// The A calls only: the W calls are failing stubs on Windows 95.
#if defined(UNICODE) || defined(_UNICODE)
#error "Purgato is built without UNICODE"
#endif

#include <windows.h>

#include "controls/subclassed_window.h"

namespace purgato {

class Dialog {
 public:
  // parent may be null: the dialog is then owned by the main dialog while
  // that exists, so the window behind a modal dialog is disabled.
  explicit Dialog(int templateId, HWND parent = nullptr);
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;
  virtual ~Dialog();

  // Runs the dialog modally: the value given to EndDialog, or -1 when the
  // dialog could not be created.
  INT_PTR DoModal();
  HWND hwnd() const { return window_; }

  // The owner of every dialog run without a parent; null when none.
  static void setMainDialog(Dialog* dialog);

 protected:
  virtual BOOL OnInitDialog() { return TRUE; }
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  // Commands other than IDOK and IDCANCEL: true when handled.
  virtual bool OnCommand(int id, int code, HWND control);
  // Any other message: true when handled, with its answer in result.
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

  void EndDialog(INT_PTR result);
  HWND item(int id) const { return GetDlgItem(window_, id); }
  // Binds a control object to the template's control with that id.
  bool bind(SubclassedWindow& control, int id);

 private:
  static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
  bool reflectCommand(WPARAM wParam, LPARAM lParam);

  int templateId_;
  HWND parent_;
  HWND window_ = nullptr;
};

}  // namespace purgato
