// The shell folder tree: a tree-view control of a dialog template bound to
// this object. The host dialog fills it and owns its item records; the
// tree holds the enumerator that converts shell names for it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "controls/shell_folder_enumerator.h"
#include "controls/subclassed_window.h"

namespace purgato {

class FolderTreeCtrl final : public SubclassedWindow {
 public:
  // Borrowed: the host dialog creates and deletes it.
  BOOL SetEnumerator(ShellFolderEnumerator* enumerator) {
    enumerator_ = enumerator;
    return TRUE;
  }
  ShellFolderEnumerator* enumerator() const { return enumerator_; }

  // The record in an item's data word, or null.
  FolderItem* record(HTREEITEM item) const;
  // The item's text ("" when none or unreadable).
  bool itemText(HTREEITEM item, char* text, int size) const;
  HTREEITEM focusedItem() const { return TreeView_GetSelection(hwnd()); }

 protected:
  bool onMessage(UINT, WPARAM, LPARAM, LRESULT&) override { return false; }

 private:
  ShellFolderEnumerator* enumerator_ = nullptr;
};

}  // namespace purgato
