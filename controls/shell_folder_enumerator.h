// Lists the child folders of one shell folder at a time, one FolderItem per
// child, and turns the shell's names and icons into what the tree shows.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include "controls/com_ptr.h"

namespace purgato {

// Where the shell allocator comes from: SHGetMalloc, or a stand-in of a
// test that counts what goes through it.
using ShellAllocatorSource = HRESULT(WINAPI*)(IMalloc**);

// One record per tree item, held in the item's data word from insertion
// until the item is deleted; allocated with the shell allocator.
struct FolderItem {
  HICON icon;                         // the shell's large icon, null once the image list holds its copy
  ComPtr<IShellFolder> parentFolder;  // the folder it was listed from; one reference
  char* name;                         // display name, from the shell allocator
  LPITEMIDLIST idList;                // relative to parentFolder, from the shell allocator
  HTREEITEM treeItem;                 // its own tree item, once inserted
};

// Frees what the record holds and the record itself; null is fine.
void freeFolderItem(IMalloc* allocator, FolderItem* item);

class ShellFolderEnumerator {
 public:
  explicit ShellFolderEnumerator(int specialFolder, ShellAllocatorSource allocatorSource = &SHGetMalloc);
  ShellFolderEnumerator(const ShellFolderEnumerator&) = delete;
  ShellFolderEnumerator& operator=(const ShellFolderEnumerator&) = delete;
  ~ShellFolderEnumerator();

  // The desktop's level (both null) or that of the child idList of parent.
  bool Open(IShellFolder* parent, LPCITEMIDLIST idList);
  // The next child folder, or null at the end of the level or on a
  // failure; either closes the enumerator.
  FolderItem* Next();
  // A copy of the name from the shell allocator, for the caller to free.
  bool StrRetToText(char** text, STRRET* name, LPCITEMIDLIST idList);
  // The item's large icon (the caller's), or null.
  HICON GetItemIcon(LPCITEMIDLIST idList);

  IMalloc* allocator() const { return allocator_.get(); }
  bool isOpen() const { return static_cast<bool>(currentFolder_); }

 private:
  void close();

  ComPtr<IMalloc> allocator_;
  ComPtr<IShellFolder> currentFolder_;
  ComPtr<IEnumIDList> enumeration_;
  int specialFolder_;
};

}  // namespace purgato
