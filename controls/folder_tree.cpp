#include "controls/folder_tree.h"

namespace purgato {

FolderItem* FolderTreeCtrl::record(HTREEITEM item) const {
  if (item == nullptr || hwnd() == nullptr) return nullptr;
  TVITEMA query = {};
  query.mask = TVIF_HANDLE | TVIF_PARAM;
  query.hItem = item;
  if (!SendMessageA(hwnd(), TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query))) return nullptr;
  return reinterpret_cast<FolderItem*>(query.lParam);
}

bool FolderTreeCtrl::itemText(HTREEITEM item, char* text, int size) const {
  if (size <= 0) return false;
  text[0] = '\0';
  if (item == nullptr || hwnd() == nullptr) return false;
  TVITEMA query = {};
  query.mask = TVIF_HANDLE | TVIF_TEXT;
  query.hItem = item;
  query.pszText = text;
  query.cchTextMax = size;
  if (!SendMessageA(hwnd(), TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query))) return false;
  // The control may answer with a pointer of its own.
  if (query.pszText != text && query.pszText != nullptr) lstrcpynA(text, query.pszText, size);
  text[size - 1] = '\0';
  return true;
}

}  // namespace purgato
