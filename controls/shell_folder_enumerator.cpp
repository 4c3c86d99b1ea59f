#include "controls/shell_folder_enumerator.h"

#include <cstring>
#include <new>

namespace purgato {

namespace {

// Folders only, hidden ones included, files never.
constexpr SHCONTF kListedKinds = SHCONTF_FOLDERS | SHCONTF_INCLUDEHIDDEN;
// Extract's size argument: the large size in the low word, the small one
// in the high word.
constexpr UINT kIconSizes = 0x00100020;

// A copy of text[0..length) with its terminating zero, from the allocator.
bool copyToShellMemory(IMalloc* allocator, char** out, const char* text, std::size_t length) {
  char* copy = static_cast<char*>(allocator->Alloc(length + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  *out = copy;
  return true;
}

}  // namespace

void freeFolderItem(IMalloc* allocator, FolderItem* item) {
  if (item == nullptr) return;
  if (item->idList != nullptr) allocator->Free(item->idList);
  item->parentFolder.reset();
  if (item->name != nullptr) allocator->Free(item->name);
  if (item->icon != nullptr) DestroyIcon(item->icon);
  item->~FolderItem();
  allocator->Free(item);
}

ShellFolderEnumerator::ShellFolderEnumerator(int specialFolder, ShellAllocatorSource allocatorSource)
    : specialFolder_(specialFolder) {
  if (FAILED(allocatorSource(allocator_.put()))) allocator_.reset();
}

ShellFolderEnumerator::~ShellFolderEnumerator() { close(); }

void ShellFolderEnumerator::close() {
  enumeration_.reset();
  currentFolder_.reset();
}

bool ShellFolderEnumerator::Open(IShellFolder* parent, LPCITEMIDLIST idList) {
  // A level is read to its end before the next opens; should one not be,
  // its folder is let go here.
  close();
  if (!allocator_) return false;
  if (parent == nullptr) {
    if (idList != nullptr) return false;
    ShellMemory<ITEMIDLIST> location(allocator_.get());
    if (FAILED(SHGetSpecialFolderLocation(nullptr, specialFolder_, location.put()))) return false;
    // The location only proves the folder exists: the level listed is the desktop's.
    if (FAILED(SHGetDesktopFolder(currentFolder_.put())) || !currentFolder_) {
      close();
      return false;
    }
  } else {
    if (idList == nullptr) return false;
    // Whatever the result, a folder that came back is used.
    parent->BindToObject(idList, nullptr, IID_IShellFolder, currentFolder_.putVoid());
    if (!currentFolder_) return false;
  }
  const HRESULT listed = currentFolder_->EnumObjects(nullptr, kListedKinds, enumeration_.put());
  if (enumeration_) return true;
  // Success without an enumeration (S_FALSE) is an empty level.
  close();
  return SUCCEEDED(listed);
}

FolderItem* ShellFolderEnumerator::Next() {
  if (!currentFolder_) return nullptr;
  if (!enumeration_) {
    close();
    return nullptr;
  }
  ShellMemory<ITEMIDLIST> idList(allocator_.get());
  ULONG fetched = 0;
  if (enumeration_->Next(1, idList.put(), &fetched) != S_OK || idList.get() == nullptr) {
    close();
    return nullptr;
  }
  STRRET shown;
  std::memset(&shown, 0, sizeof shown);
  if (FAILED(currentFolder_->GetDisplayNameOf(idList.get(), SHGDN_NORMAL, &shown))) {
    close();
    return nullptr;
  }
  ShellMemory<char> name(allocator_.get());
  if (!StrRetToText(name.put(), &shown, idList.get())) {
    close();
    return nullptr;
  }
  void* block = allocator_->Alloc(sizeof(FolderItem));
  if (block == nullptr) {
    close();
    return nullptr;
  }
  FolderItem* item = new (block) FolderItem{};
  item->icon = GetItemIcon(idList.get());
  item->parentFolder = currentFolder_;  // one reference of its own
  item->name = name.release();
  item->idList = idList.release();
  item->treeItem = nullptr;
  return item;
}

bool ShellFolderEnumerator::StrRetToText(char** text, STRRET* name, LPCITEMIDLIST idList) {
  if (text == nullptr || name == nullptr || !allocator_) return false;
  *text = nullptr;
  switch (name->uType) {
    case STRRET_WSTR: {
      // The wide text is ours to free, whatever happens to the conversion.
      ShellMemory<WCHAR> wide(allocator_.get(), name->pOleStr);
      name->pOleStr = nullptr;
      if (wide.get() == nullptr) return false;
      const int size = WideCharToMultiByte(CP_OEMCP, 0, wide.get(), -1, nullptr, 0, nullptr, nullptr);
      if (size <= 0) return false;
      char* converted = static_cast<char*>(allocator_->Alloc(static_cast<SIZE_T>(size) + 1));
      if (converted == nullptr) return false;
      if (WideCharToMultiByte(CP_OEMCP, 0, wide.get(), -1, converted, size, nullptr, nullptr) <= 0) {
        allocator_->Free(converted);
        return false;
      }
      converted[size] = '\0';
      *text = converted;
      return true;
    }
    case STRRET_OFFSET: {
      if (idList == nullptr) return false;
      const char* inside = reinterpret_cast<const char*>(idList) + name->uOffset;
      return copyToShellMemory(allocator_.get(), text, inside, std::strlen(inside));
    }
    case STRRET_CSTR: {
      // The record's buffer need not end in a zero.
      const std::size_t length = strnlen(name->cStr, sizeof name->cStr);
      return copyToShellMemory(allocator_.get(), text, name->cStr, length);
    }
    default:
      return false;
  }
}

HICON ShellFolderEnumerator::GetItemIcon(LPCITEMIDLIST idList) {
  if (!currentFolder_ || idList == nullptr) return nullptr;
  ComPtr<IExtractIconA> extractor;
  if (FAILED(currentFolder_->GetUIObjectOf(nullptr, 1, &idList, IID_IExtractIconA, nullptr, extractor.putVoid())) ||
      !extractor) {
    return nullptr;
  }
  char location[MAX_PATH] = "";
  int index = 0;
  UINT flags = 0;
  if (FAILED(extractor->GetIconLocation(GIL_FORSHELL, location, sizeof location, &index, &flags))) return nullptr;
  HICON large = nullptr;
  HICON smallIcon = nullptr;
  const HRESULT extracted = extractor->Extract(location, static_cast<UINT>(index), &large, &smallIcon, kIconSizes);
  // Only the large icon is kept.
  if (smallIcon != nullptr) DestroyIcon(smallIcon);
  if (extracted != S_OK) {
    if (large != nullptr) DestroyIcon(large);
    return nullptr;
  }
  return large;
}

}  // namespace purgato
