#include "app/scan_options_dialog.h"

#include <new>

#include "app/identity.h"
#include "app/scan_options_logic.h"
#include "app/scan_progress_dialog.h"
#include "app/thank_you_dialog.h"
#include "os/text.h"
#include "res/resource.h"

namespace purgato {

namespace {

// The dialog's controls for the option logic, found by id.
class DialogControls final : public OptionControls {
 public:
  explicit DialogControls(HWND dialog) : dialog_(dialog) {}
  void setCheck(int id, bool checked) override {
    SendDlgItemMessageA(dialog_, id, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  bool isChecked(int id) override { return SendDlgItemMessageA(dialog_, id, BM_GETCHECK, 0, 0) != 0; }
  bool enable(int id, bool enabled) override {
    const HWND control = GetDlgItem(dialog_, id);
    if (control == nullptr) return false;
    EnableWindow(control, enabled ? TRUE : FALSE);
    return true;
  }
  void hide(int id) override {
    const HWND control = GetDlgItem(dialog_, id);
    if (control != nullptr) ShowWindow(control, SW_HIDE);
  }

 private:
  HWND dialog_;
};

// The wait cursor while a level is read; the previous one comes back.
class WaitCursor {
 public:
  WaitCursor() : previous_(SetCursor(LoadCursorA(nullptr, IDC_WAIT))) {}
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
  ~WaitCursor() { SetCursor(previous_); }

 private:
  HCURSOR previous_;
};

// A record not yet owned by a tree item.
struct RecordFree {
  IMalloc* allocator;
  void operator()(FolderItem* item) const { freeFolderItem(allocator, item); }
};
using PendingRecord = std::unique_ptr<FolderItem, RecordFree>;

bool hasAttribute(const FolderItem& item, SFGAOF attribute) {
  if (!item.parentFolder || item.idList == nullptr) return false;
  SFGAOF attributes = attribute;
  LPCITEMIDLIST child = item.idList;
  return SUCCEEDED(item.parentFolder->GetAttributesOf(1, &child, &attributes)) && (attributes & attribute) != 0;
}

}  // namespace

ScanOptionsDialog::ScanOptionsDialog(ScanSession& session, Os& os, const ScanOptionSettings& settings,
                                     ScanOptionFlags& flags, HWND parent, ShellAllocatorSource allocatorSource)
    : Dialog(IDD_SCAN_OPTIONS, parent),
      session(session),
      os(os),
      settings(settings),
      flags(flags),
      allocatorSource(allocatorSource) {
  if (FAILED(allocatorSource(allocator.put()))) allocator.reset();
}

ScanOptionsDialog::~ScanOptionsDialog() {
  // The window, and with it every item record, is gone by now.
  allocator.reset();
  enumerator.reset();
  if (imageList != nullptr) ImageList_Destroy(imageList);
}

BOOL ScanOptionsDialog::OnInitDialog() {
  bind(folderTree, IDC_FOLDER_TREE);
  SetWindowTextA(hwnd(), kWindowTitle);
  DialogControls controls(hwnd());
  LoadStoredSettings(settings, flags, controls);

  // Each failure below leaves the dialog shown with its options set.
  imageList = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 1, 1);
  if (imageList == nullptr) return FALSE;
  SendDlgItemMessageA(hwnd(), IDC_FOLDER_TREE, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(imageList));
  enumerator.reset(new (std::nothrow) ShellFolderEnumerator(CSIDL_DESKTOP, allocatorSource));
  if (!enumerator) return FALSE;
  if (!FillLevel(nullptr, nullptr)) return FALSE;
  folderTree.SetEnumerator(enumerator.get());
  return TRUE;
}

bool ScanOptionsDialog::FillLevel(IShellFolder* parent, LPCITEMIDLIST idList) {
  WaitCursor wait;
  if (!enumerator || !allocator || !enumerator->Open(parent, idList)) return false;
  const HWND tree = folderTree.hwnd();
  // Children of a file-system folder are sorted; the root and virtual
  // folders keep the shell's order.
  HTREEITEM position = TVI_LAST;
  if (insertionParent != nullptr) {
    const FolderItem* parentRecord = folderTree.record(insertionParent);
    if (parentRecord != nullptr && hasAttribute(*parentRecord, SFGAO_FILESYSTEM)) position = TVI_SORT;
  }
  while (FolderItem* next = enumerator->Next()) {
    PendingRecord record(next, RecordFree{allocator.get()});
    TVINSERTSTRUCTA insert = {};
    insert.hParent = insertionParent != nullptr ? insertionParent : TVI_ROOT;
    insert.hInsertAfter = position;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM | TVIF_CHILDREN;
    insert.item.pszText = record->name;
    insert.item.cChildren = hasAttribute(*record, SFGAO_HASSUBFOLDER) ? 1 : 0;
    int image = -1;
    if (record->icon != nullptr) {
      image = ImageList_ReplaceIcon(imageList, -1, record->icon);
      // The image list holds its own copy.
      DestroyIcon(record->icon);
      record->icon = nullptr;
    }
    insert.item.iImage = image;
    insert.item.iSelectedImage = image;
    insert.item.lParam = reinterpret_cast<LPARAM>(record.get());
    const HTREEITEM inserted =
        reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
    // An item the tree did not take leaves its record with us.
    if (inserted == nullptr) continue;
    record->treeItem = inserted;
    record.release();
  }
  return true;
}

void ScanOptionsDialog::onItemExpanding(const NMTREEVIEWA& change) {
  const HTREEITEM item = change.itemNew.hItem;
  const UINT state = static_cast<UINT>(
      SendMessageA(folderTree.hwnd(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDEDONCE));
  if ((state & TVIS_EXPANDEDONCE) != 0) return;
  const FolderItem* record = folderTree.record(item);
  if (record == nullptr) return;
  insertionParent = item;
  // A folder that cannot be opened simply shows no children.
  FillLevel(record->parentFolder.get(), record->idList);
}

void ScanOptionsDialog::onDeleteItem(const NMTREEVIEWA& change) {
  FolderItem* record = reinterpret_cast<FolderItem*>(change.itemOld.lParam);
  if (record == nullptr || !allocator) return;
  freeFolderItem(allocator.get(), record);
}

bool ScanOptionsDialog::GetFocusedFolderPath() {
  const HTREEITEM focused = folderTree.focusedItem();
  if (focused == nullptr) return false;
  char text[kPathSize] = "";
  if (!folderTree.itemText(focused, text, sizeof text) || text[0] == '\0') return false;
  const FolderItem* record = folderTree.record(focused);
  ShellFolderEnumerator* names = enumerator.get();
  if (record == nullptr || !record->parentFolder || names == nullptr || names->allocator() == nullptr)
    return false;
  STRRET parsing = {};
  if (FAILED(record->parentFolder->GetDisplayNameOf(record->idList, SHGDN_FORPARSING, &parsing))) return false;
  ShellMemory<char> path(names->allocator());
  if (!names->StrRetToText(path.put(), &parsing, record->idList)) return false;
  return folderTargetFromParsingName(session.targetPath, sizeof session.targetPath, path.get());
}

bool ScanOptionsDialog::OnCommand(int id, int code, HWND) {
  if (code != BN_CLICKED) return false;
  DialogControls controls(hwnd());
  return OnTargetClicked(id, flags, controls) || OnModeClicked(id, controls);
}

bool ScanOptionsDialog::OnMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
  if (message != WM_NOTIFY) return false;
  const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
  if (header == nullptr || header->idFrom != IDC_FOLDER_TREE) return false;
  const NMTREEVIEWA& change = *reinterpret_cast<const NMTREEVIEWA*>(lParam);
  switch (header->code) {
    case TVN_ITEMEXPANDINGA:
      onItemExpanding(change);
      result = 0;  // the expansion always proceeds
      return true;
    case TVN_DELETEITEMA:
      onDeleteItem(change);
      result = 0;
      return true;
    default:
      return false;
  }
}

void ScanOptionsDialog::OnOK() {
  ScanProgressDialog progress(session, os);
  Dialog::OnOK();
  DialogControls controls(hwnd());
  ReadOptionChecks(flags, controls);
  switch (chooseTarget(flags)) {
    case ScanTarget::AllDrives:
      copyText(session.targetPath, sizeof session.targetPath, "!:");
      break;
    case ScanTarget::DriveC:
      copyText(session.targetPath, sizeof session.targetPath, "C:");
      break;
    case ScanTarget::SelectedFolder:
      // No usable focused folder: the scan walks nothing and shows its statistics.
      if (!GetFocusedFolderPath()) session.targetPath[0] = '\0';
      break;
    case ScanTarget::None:
      return;
  }
  // The whole scan runs inside; this dialog's modal run ends after it.
  progress.DoModal();
}

void ScanOptionsDialog::OnCancel() {
  ThankYouDialog thankYou;
  Dialog::OnCancel();
  thankYou.DoModal();
}

}  // namespace purgato
