// The scan options dialog (template 136): the scan target (every hard
// drive, drive C, or a folder picked in the shell folder tree), whether to
// ask or act when a virus is found, and the automatic action. Scan writes
// the target into targetPath and runs the scan progress dialog; Cancel
// runs the thank-you dialog. The shipped program does not offer it (its
// main dialog starts the drive-C scan itself); tests/e2e/options_host.exe
// runs it.
#pragma once

#include <memory>

#include "app/dialog.h"
#include "app/scan_options_settings.h"
#include "controls/com_ptr.h"
#include "controls/folder_tree.h"
#include "controls/shell_folder_enumerator.h"
#include "os/os.h"
#include "session/session.h"

#include <commctrl.h>

namespace purgato {

class ScanOptionsDialog final : public Dialog {
 public:
  // settings are copied (a caller may pass a temporary) and read at every
  // initialisation; flags are written.
  ScanOptionsDialog(ScanSession& session, Os& os, const ScanOptionSettings& settings, ScanOptionFlags& flags,
                    HWND parent = nullptr, ShellAllocatorSource allocatorSource = &SHGetMalloc);
  ~ScanOptionsDialog() override;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  bool OnCommand(int id, int code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  // Inserts the child folders of idList in parent (the desktop's for two
  // nulls) under insertionParent.
  bool FillLevel(IShellFolder* parent, LPCITEMIDLIST idList);
  // The focused folder's path into targetPath.
  bool GetFocusedFolderPath();
  void onItemExpanding(const NMTREEVIEWA& change);
  void onDeleteItem(const NMTREEVIEWA& change);

  ScanSession& session;
  Os& os;
  const ScanOptionSettings settings;
  ScanOptionFlags& flags;
  ShellAllocatorSource allocatorSource;

  FolderTreeCtrl folderTree;
  ComPtr<IMalloc> allocator;  // frees the tree's item records
  HTREEITEM insertionParent = nullptr;  // where FillLevel inserts; null: the root
  HIMAGELIST imageList = nullptr;       // the folder icons; the tree never destroys it
  std::unique_ptr<ShellFolderEnumerator> enumerator;
};

}  // namespace purgato
