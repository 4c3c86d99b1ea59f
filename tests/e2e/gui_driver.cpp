// Drives Purgato.exe from outside, as a user would, for the end-to-end
// scripts: one small command per call, results on stdout, exit status 0 on
// success, 1 when what was waited for did not happen, 2 on a wrong command
// line.
//
// A dialog is named by its caption and a control id it holds (Purgato's
// three dialogs share one caption); id 0 takes any dialog of that caption.
// Only visible top-level dialogs count unless a command says otherwise.
//
//   gui_driver wait CAPTION ID TIMEOUT_MS            until such a dialog is shown
//   gui_driver wait-gone CAPTION ID TIMEOUT_MS       until none is shown
//   gui_driver absent CAPTION ID DURATION_MS         none is shown during the whole time
//   gui_driver click CAPTION ID BUTTON               BM_CLICK, posted (a button may open a modal box)
//   gui_driver click-then CAPTION ID BUTTON ID2 BUTTON2 TIMEOUT_MS
//                                                    clicks BUTTON, then BUTTON2 of the dialog with ID2
//                                                    the moment that one shows (polled every millisecond);
//                                                    prints its status line 1004 as it was then
//   gui_driver command CAPTION ID CMD                WM_COMMAND CMD, posted
//   gui_driver syscommand CAPTION ID CMD             WM_SYSCOMMAND CMD, posted
//   gui_driver key CAPTION ID enter|escape           key down and up to the dialog's focused control
//   gui_driver text CAPTION ID CONTROL               the control's text
//   gui_driver wait-text CAPTION ID CONTROL TEXT TIMEOUT_MS
//                                                    (a TEXT ending in '*' is a prefix)
//   gui_driver state CAPTION ID CONTROL              "visible|hidden enabled|disabled" (CONTROL 0: the dialog)
//   gui_driver list CAPTION ID CONTROL               every line of a list box, then "selected: N"
//   gui_driver watch-list CAPTION ID LIST STATUS TEXT TIMEOUT_MS
//                                                    polls the list until the status control reads TEXT;
//                                                    prints the highest count seen and each drop
//   gui_driver answer BOXCAPTION yes|no|ok TIMEOUT_MS
//                                                    waits for a message box, prints its text, presses the button
//   gui_driver no-box BOXCAPTION DURATION_MS         no such message box appears during the whole time
//   gui_driver attrib PATH [r][h][s]                 sets exactly these attributes (none: normal)
//   gui_driver wait-process PATH TIMEOUT_MS          until a process runs from PATH (any letter case)
//   gui_driver no-new-window CAPTION DURATION_MS     never more visible windows with that caption (any
//                                                    class) than at the start, during the whole time
//   gui_driver press CAPTION ID CONTROL              mouse over, button down and up at the control's centre
//   gui_driver rect CAPTION ID CONTROL               "WIDTHxHEIGHT+X+Y" of the window on the screen
//   gui_driver checked CAPTION ID CONTROL            "1" or "0": the button's check
//   gui_driver tree CAPTION ID CONTROL               every item of a tree view, also under closed ones:
//                                                    the text indented two blanks a level, a tab, then
//                                                    "children=N expanded=0|1 image=N"; last "selected: PATH"
//   gui_driver tree-select CAPTION ID CONTROL PATH   selects the item (TVM_SELECTITEM); "" selects none
//   gui_driver tree-click CAPTION ID CONTROL PATH    mouse click on the item's text (focus and selection)
//   gui_driver tree-expand CAPTION ID CONTROL PATH   selects the item and presses "+" (as a user opens it)
//   gui_driver tree-collapse CAPTION ID CONTROL PATH selects the item and presses "-"
//     (PATH: the item texts from the root down, separated by "|")
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 5000;

struct DialogQuery {
  const char* caption;
  int controlId;
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK matchDialog(HWND window, LPARAM data) {
  DialogQuery* query = reinterpret_cast<DialogQuery*>(data);
  char className[64] = "";
  GetClassNameA(window, className, sizeof className);
  if (std::strcmp(className, "#32770") != 0) return TRUE;
  if (query->visibleOnly && !IsWindowVisible(window)) return TRUE;
  char caption[512] = "";
  GetWindowTextA(window, caption, sizeof caption);
  if (std::strcmp(caption, query->caption) != 0) return TRUE;
  if (query->controlId != 0 && GetDlgItem(window, query->controlId) == NULL) return TRUE;
  query->found = window;
  return FALSE;
}

HWND findDialog(const char* caption, int controlId, bool visibleOnly = true) {
  DialogQuery query = {caption, controlId, visibleOnly, NULL};
  EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

// Waits for a dialog; NULL after the timeout.
HWND waitDialog(const char* caption, int controlId, DWORD timeoutMs, bool visibleOnly = true) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = findDialog(caption, controlId, visibleOnly)) return window;
    if (GetTickCount() - start >= timeoutMs) return NULL;
    Sleep(kPollMs);
  }
}

// The text of a window of another process, through the window itself (the
// static and button texts are kept by their own window procedures).
std::string windowText(HWND window) {
  wchar_t buffer[2048] = L"";
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, sizeof buffer / sizeof *buffer, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
    return std::string();
  char text[4096] = "";
  WideCharToMultiByte(CP_ACP, 0, buffer, -1, text, sizeof text, NULL, NULL);
  return text;
}

// ANSI LB_GETTEXT across processes comes back garbled under Wine; the wide
// form is marshalled properly.
bool listLines(HWND list, std::vector<std::string>* lines, LRESULT* selected) {
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count)) return false;
  if (static_cast<LRESULT>(count) == LB_ERR) return false;
  lines->clear();
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) return false;
    if (static_cast<LRESULT>(length) == LB_ERR) return false;
    std::vector<wchar_t> wide(length + 1);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide.data()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &got))
      return false;
    wide[length] = L'\0';
    std::vector<char> text(length * 2 + 1);
    WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, text.data(), static_cast<int>(text.size()), NULL, NULL);
    lines->push_back(text.data());
  }
  DWORD_PTR selection = 0;
  if (!SendMessageTimeoutW(list, LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &selection)) return false;
  *selected = static_cast<LRESULT>(selection);
  return true;
}

int toInt(const char* text) { return static_cast<int>(std::strtol(text, NULL, 0)); }
DWORD toMs(const char* text) { return static_cast<DWORD>(std::strtoul(text, NULL, 0)); }

int fail(const char* what, const char* caption, int controlId) {
  std::fprintf(stderr, "gui_driver: %s (dialog \"%s\" with control %d)\n", what, caption, controlId);
  return 1;
}

HWND control(HWND dialog, int id) { return id == 0 ? dialog : GetDlgItem(dialog, id); }

// The control that has the keyboard focus in the dialog's thread, or the
// dialog itself when none of its windows has it.
HWND focusedIn(HWND dialog) {
  GUITHREADINFO info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  const DWORD thread = GetWindowThreadProcessId(dialog, NULL);
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != NULL &&
      (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus)))
    return info.hwndFocus;
  return dialog;
}

int commandKey(const char* caption, int id, const char* keyName) {
  UINT key;
  if (std::strcmp(keyName, "enter") == 0) {
    key = VK_RETURN;
  } else if (std::strcmp(keyName, "escape") == 0) {
    key = VK_ESCAPE;
  } else {
    std::fprintf(stderr, "gui_driver: unknown key %s\n", keyName);
    return 2;
  }
  HWND dialog = findDialog(caption, id);
  if (dialog == NULL) return fail("no such dialog", caption, id);
  HWND target = focusedIn(dialog);
  const UINT scan = MapVirtualKeyA(key, 0);
  PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
  return 0;
}

struct BoxQuery {
  const char* caption;
  HWND found;
};

BOOL CALLBACK matchBox(HWND window, LPARAM data) {
  BoxQuery* query = reinterpret_cast<BoxQuery*>(data);
  char className[64] = "";
  GetClassNameA(window, className, sizeof className);
  if (std::strcmp(className, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
  char caption[512] = "";
  GetWindowTextA(window, caption, sizeof caption);
  if (std::strcmp(caption, query->caption) != 0) return TRUE;
  // A message box keeps its text in the static 0xFFFF.
  if (GetDlgItem(window, 0xFFFF) == NULL) return TRUE;
  query->found = window;
  return FALSE;
}

HWND findBox(const char* caption) {
  BoxQuery query = {caption, NULL};
  EnumWindows(matchBox, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

int commandAnswer(const char* caption, const char* buttonName, DWORD timeoutMs) {
  int button;
  if (std::strcmp(buttonName, "yes") == 0) {
    button = IDYES;
  } else if (std::strcmp(buttonName, "no") == 0) {
    button = IDNO;
  } else if (std::strcmp(buttonName, "ok") == 0) {
    button = IDOK;
  } else {
    std::fprintf(stderr, "gui_driver: unknown button %s\n", buttonName);
    return 2;
  }
  const DWORD start = GetTickCount();
  HWND box;
  while ((box = findBox(caption)) == NULL) {
    if (GetTickCount() - start >= timeoutMs) {
      std::fprintf(stderr, "gui_driver: no message box \"%s\" within %lu ms\n", caption,
                   static_cast<unsigned long>(timeoutMs));
      return 1;
    }
    Sleep(kPollMs);
  }
  std::printf("%s\n", windowText(GetDlgItem(box, 0xFFFF)).c_str());
  HWND target = GetDlgItem(box, button);
  if (target == NULL) {
    std::fprintf(stderr, "gui_driver: the message box has no button %d\n", button);
    return 1;
  }
  PostMessageA(target, BM_CLICK, 0, 0);
  // Answered once the box is gone.
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount() - start >= timeoutMs + kSendTimeoutMs) {
      std::fprintf(stderr, "gui_driver: the message box \"%s\" stayed open\n", caption);
      return 1;
    }
    Sleep(kPollMs);
  }
  return 0;
}

int commandWatchList(const char* caption, int id, int listId, int statusId, const char* doneText, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  LRESULT highest = 0;
  LRESULT previous = 0;
  for (;;) {
    HWND dialog = findDialog(caption, id);
    if (dialog == NULL) return fail("the dialog went away", caption, id);
    DWORD_PTR count = 0;
    if (SendMessageTimeoutW(GetDlgItem(dialog, listId), LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                            &count)) {
      const LRESULT now = static_cast<LRESULT>(count);
      if (now > highest) highest = now;
      if (now < previous) std::printf("drop: %" PRIdPTR " -> %" PRIdPTR "\n", static_cast<std::intptr_t>(previous),
                              static_cast<std::intptr_t>(now));
      previous = now;
    }
    if (windowText(GetDlgItem(dialog, statusId)) == doneText) break;
    if (GetTickCount() - start >= timeoutMs) return fail("the status text did not come", caption, id);
    Sleep(5);
  }
  std::printf("highest: %" PRIdPTR "\n", static_cast<std::intptr_t>(highest));
  return 0;
}

int commandAttrib(const char* path, const char* flags) {
  DWORD attributes = 0;
  for (const char* c = flags; *c; ++c) {
    if (*c == 'r') attributes |= FILE_ATTRIBUTE_READONLY;
    else if (*c == 'h') attributes |= FILE_ATTRIBUTE_HIDDEN;
    else if (*c == 's') attributes |= FILE_ATTRIBUTE_SYSTEM;
    else return 2;
  }
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesA(path, attributes)) {
    std::fprintf(stderr, "gui_driver: SetFileAttributesA %s failed (%lu)\n", path,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  const DWORD now = GetFileAttributesA(path);
  if ((now & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) !=
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
    std::fprintf(stderr, "gui_driver: %s has attributes 0x%lx\n", path, static_cast<unsigned long>(now));
    return 1;
  }
  return 0;
}

struct CaptionCount {
  const char* caption;
  int count;
};

BOOL CALLBACK countCaption(HWND window, LPARAM data) {
  CaptionCount* query = reinterpret_cast<CaptionCount*>(data);
  char caption[512] = "";
  if (IsWindowVisible(window) && GetWindowTextA(window, caption, sizeof caption) > 0 &&
      lstrcmpiA(caption, query->caption) == 0)
    ++query->count;
  return TRUE;
}

bool processRuns(const char* path) {
  DWORD ids[1024];
  DWORD bytes = 0;
  if (!EnumProcesses(ids, sizeof ids, &bytes)) return false;
  for (DWORD i = 0; i < bytes / sizeof *ids; ++i) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
    if (process == NULL) continue;
    char name[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameExA(process, NULL, name, sizeof name);
    CloseHandle(process);
    if (length != 0 && lstrcmpiA(name, path) == 0) return true;
  }
  return false;
}

// A tree view of another process keeps its items in that process: item
// texts and rectangles are read through a block of its memory.
class RemoteBlock {
 public:
  RemoteBlock(HWND window, SIZE_T size) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (process_ != NULL) address_ = VirtualAllocEx(process_, NULL, size, MEM_COMMIT, PAGE_READWRITE);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  ~RemoteBlock() {
    if (address_ != NULL) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    if (process_ != NULL) CloseHandle(process_);
  }
  bool ok() const { return address_ != NULL; }
  char* at(SIZE_T offset) const { return static_cast<char*>(address_) + offset; }
  bool write(SIZE_T offset, const void* data, SIZE_T size) const {
    SIZE_T done = 0;
    return WriteProcessMemory(process_, at(offset), data, size, &done) && done == size;
  }
  bool read(SIZE_T offset, void* data, SIZE_T size) const {
    SIZE_T done = 0;
    return ReadProcessMemory(process_, at(offset), data, size, &done) && done == size;
  }

 private:
  HANDLE process_ = NULL;
  void* address_ = NULL;
};

constexpr SIZE_T kTextOffset = 256;
constexpr int kTreeTextSize = 1024;

bool sendTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* answer) {
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             answer != NULL ? answer : &ignored) != 0;
}

HTREEITEM nextItem(HWND tree, HTREEITEM item, UINT relation) {
  DWORD_PTR answer = 0;
  if (!sendTimeout(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item), &answer)) return NULL;
  return reinterpret_cast<HTREEITEM>(answer);
}

struct TreeItemInfo {
  std::string text;
  int children = 0;
  bool expanded = false;
  int image = -1;
};

bool readTreeItem(HWND tree, const RemoteBlock& block, HTREEITEM item, TreeItemInfo* info) {
  TVITEMA query;
  std::memset(&query, 0, sizeof query);
  query.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_CHILDREN | TVIF_STATE | TVIF_IMAGE;
  query.hItem = item;
  query.stateMask = TVIS_EXPANDED;
  query.pszText = block.at(kTextOffset);
  query.cchTextMax = kTreeTextSize;
  const char empty = '\0';
  DWORD_PTR answer = 0;
  if (!block.write(0, &query, sizeof query) || !block.write(kTextOffset, &empty, 1) ||
      !sendTimeout(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(block.at(0)), &answer) || answer == 0 ||
      !block.read(0, &query, sizeof query))
    return false;
  char text[kTreeTextSize + 1] = "";
  if (!block.read(kTextOffset, text, kTreeTextSize)) return false;
  text[kTreeTextSize] = '\0';
  info->text = text;
  info->children = query.cChildren;
  info->expanded = (query.state & TVIS_EXPANDED) != 0;
  info->image = query.iImage;
  return true;
}

std::string itemPath(HWND tree, const RemoteBlock& block, HTREEITEM item) {
  std::string path;
  for (HTREEITEM at = item; at != NULL; at = nextItem(tree, at, TVGN_PARENT)) {
    TreeItemInfo info;
    if (!readTreeItem(tree, block, at, &info)) return "(unreadable)";
    path = path.empty() ? info.text : info.text + "|" + path;
  }
  return path;
}

bool dumpTree(HWND tree, const RemoteBlock& block, HTREEITEM first, int depth) {
  for (HTREEITEM item = first; item != NULL; item = nextItem(tree, item, TVGN_NEXT)) {
    TreeItemInfo info;
    if (!readTreeItem(tree, block, item, &info)) return false;
    std::printf("%s%s\tchildren=%d expanded=%d image=%d\n", std::string(depth * 2, ' ').c_str(), info.text.c_str(),
                info.children, info.expanded ? 1 : 0, info.image);
    if (!dumpTree(tree, block, nextItem(tree, item, TVGN_CHILD), depth + 1)) return false;
  }
  return true;
}

// The item at PATH ("A|B|C"), or NULL.
HTREEITEM findTreeItem(HWND tree, const RemoteBlock& block, const std::string& path) {
  HTREEITEM level = nextItem(tree, NULL, TVGN_ROOT);
  HTREEITEM found = NULL;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    const std::string::size_type bar = path.find('|', start);
    const std::string name = path.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    found = NULL;
    for (HTREEITEM item = level; item != NULL; item = nextItem(tree, item, TVGN_NEXT)) {
      TreeItemInfo info;
      if (readTreeItem(tree, block, item, &info) && info.text == name) {
        found = item;
        break;
      }
    }
    if (found == NULL || bar == std::string::npos) break;
    level = nextItem(tree, found, TVGN_CHILD);
    start = bar + 1;
  }
  return found;
}

int commandTree(const std::string& command, HWND tree, const char* path) {
  RemoteBlock block(tree, kTextOffset + kTreeTextSize + 16);
  if (!block.ok()) {
    std::fprintf(stderr, "gui_driver: no memory in the tree's process\n");
    return 1;
  }
  if (command == "tree") {
    if (!dumpTree(tree, block, nextItem(tree, NULL, TVGN_ROOT), 0)) {
      std::fprintf(stderr, "gui_driver: the tree did not answer\n");
      return 1;
    }
    const HTREEITEM selected = nextItem(tree, NULL, TVGN_CARET);
    std::printf("selected: %s\n", selected == NULL ? "(none)" : itemPath(tree, block, selected).c_str());
    return 0;
  }
  HTREEITEM item = NULL;
  if (!(command == "tree-select" && path[0] == '\0')) {
    item = findTreeItem(tree, block, path);
    if (item == NULL) {
      std::fprintf(stderr, "gui_driver: no tree item \"%s\"\n", path);
      return 1;
    }
  }
  if (command == "tree-click") {
    // TVM_GETITEMRECT takes the item in and gives the text's rectangle back.
    RECT area;
    std::memset(&area, 0, sizeof area);
    std::memcpy(&area, &item, sizeof item);
    DWORD_PTR answer = 0;
    if (!block.write(0, &area, sizeof area) ||
        !sendTimeout(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(block.at(0)), &answer) || answer == 0 ||
        !block.read(0, &area, sizeof area)) {
      std::fprintf(stderr, "gui_driver: no rectangle for \"%s\" (not shown?)\n", path);
      return 1;
    }
    const LPARAM centre = MAKELPARAM((area.left + area.right) / 2, (area.top + area.bottom) / 2);
    PostMessageA(tree, WM_MOUSEMOVE, 0, centre);
    PostMessageA(tree, WM_LBUTTONDOWN, MK_LBUTTON, centre);
    PostMessageA(tree, WM_LBUTTONUP, 0, centre);
    return 0;
  }
  if (!sendTimeout(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item), NULL)) return 1;
  if (command == "tree-select") return 0;
  // Sent, so that the level is filled when the command returns.
  const WPARAM key = command == "tree-expand" ? VK_ADD : VK_SUBTRACT;
  if (!sendTimeout(tree, WM_KEYDOWN, key, 1, NULL) || !sendTimeout(tree, WM_KEYUP, key, 0xC0000001, NULL)) return 1;
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: gui_driver wait|wait-gone|absent CAPTION ID MS\n"
               "       gui_driver click|command|syscommand CAPTION ID N\n"
               "       gui_driver key CAPTION ID enter|escape\n"
               "       gui_driver text|state|list|press|rect CAPTION ID CONTROL\n"
               "       gui_driver wait-text CAPTION ID CONTROL TEXT MS\n"
               "       gui_driver watch-list CAPTION ID LIST STATUS TEXT MS\n"
               "       gui_driver answer BOXCAPTION yes|no|ok MS\n"
               "       gui_driver no-box BOXCAPTION MS\n"
               "       gui_driver attrib PATH [rhs]\n"
               "       gui_driver wait-process PATH MS\n"
               "       gui_driver no-new-window CAPTION MS\n"
               "       gui_driver press CAPTION ID CONTROL\n"
               "       gui_driver checked|tree CAPTION ID CONTROL\n"
               "       gui_driver tree-select|tree-click|tree-expand|tree-collapse CAPTION ID CONTROL PATH\n");
  return 2;
}

int run(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string command = argv[1];
  if (command == "attrib") return argc == 3 || argc == 4 ? commandAttrib(argv[2], argc == 4 ? argv[3] : "") : usage();
  if (command == "wait-process") {
    if (argc != 4) return usage();
    const DWORD start = GetTickCount();
    while (!processRuns(argv[2])) {
      if (GetTickCount() - start >= toMs(argv[3])) {
        std::fprintf(stderr, "gui_driver: no process runs from %s\n", argv[2]);
        return 1;
      }
      Sleep(kPollMs);
    }
    return 0;
  }
  if (command == "no-new-window") {
    if (argc != 4) return usage();
    const DWORD start = GetTickCount();
    int most = -1;
    do {
      CaptionCount query = {argv[2], 0};
      EnumWindows(countCaption, reinterpret_cast<LPARAM>(&query));
      if (most < 0) most = query.count;
      if (query.count > most) {
        std::fprintf(stderr, "gui_driver: %d windows \"%s\" shown, %d before\n", query.count, argv[2], most);
        return 1;
      }
      Sleep(5);
    } while (GetTickCount() - start < toMs(argv[3]));
    std::printf("%d\n", most);
    return 0;
  }
  if (command == "answer") return argc == 5 ? commandAnswer(argv[2], argv[3], toMs(argv[4])) : usage();
  if (command == "no-box") {
    if (argc != 4) return usage();
    const DWORD start = GetTickCount();
    const DWORD duration = toMs(argv[3]);
    do {
      if (HWND box = findBox(argv[2])) {
        std::fprintf(stderr, "gui_driver: unexpected message box \"%s\": %s\n", argv[2],
                     windowText(GetDlgItem(box, 0xFFFF)).c_str());
        return 1;
      }
      Sleep(kPollMs);
    } while (GetTickCount() - start < duration);
    return 0;
  }

  if (argc < 5) return usage();
  const char* caption = argv[2];
  const int id = toInt(argv[3]);

  if (command == "wait" && argc == 5) {
    HWND dialog = waitDialog(caption, id, toMs(argv[4]));
    if (dialog == NULL) return fail("not shown in time", caption, id);
    std::printf("0x%08" PRIxPTR "\n", reinterpret_cast<std::uintptr_t>(dialog));
    return 0;
  }
  if (command == "wait-gone" && argc == 5) {
    const DWORD start = GetTickCount();
    while (findDialog(caption, id) != NULL) {
      if (GetTickCount() - start >= toMs(argv[4])) return fail("still shown", caption, id);
      Sleep(kPollMs);
    }
    return 0;
  }
  if (command == "absent" && argc == 5) {
    const DWORD start = GetTickCount();
    do {
      if (findDialog(caption, id) != NULL) return fail("shown", caption, id);
      Sleep(kPollMs);
    } while (GetTickCount() - start < toMs(argv[4]));
    return 0;
  }
  if (command == "key" && argc == 5) return commandKey(caption, id, argv[4]);
  if (command == "watch-list" && argc == 8)
    return commandWatchList(caption, id, toInt(argv[4]), toInt(argv[5]), argv[6], toMs(argv[7]));
  if (command == "wait-text" && argc == 7) {
    const DWORD start = GetTickCount();
    std::string last;
    for (;;) {
      HWND dialog = findDialog(caption, id);
      if (dialog != NULL) {
        last = windowText(GetDlgItem(dialog, toInt(argv[4])));
        const std::string wanted = argv[5];
        if (last == wanted) return 0;
        if (!wanted.empty() && wanted.back() == '*' && last.compare(0, wanted.size() - 1, wanted, 0, wanted.size() - 1) == 0)
          return 0;
      }
      if (GetTickCount() - start >= toMs(argv[6])) {
        std::fprintf(stderr, "gui_driver: control %s reads \"%s\", not \"%s\"\n", argv[4], last.c_str(), argv[5]);
        return 1;
      }
      Sleep(kPollMs);
    }
  }
  if (command == "click-then" && argc == 8) {
    HWND first = findDialog(caption, id);
    if (first == NULL) return fail("no such dialog", caption, id);
    HWND button = control(first, toInt(argv[4]));
    if (button == NULL) return fail("no such control", caption, toInt(argv[4]));
    const int secondId = toInt(argv[5]);
    PostMessageA(button, BM_CLICK, 0, 0);
    const DWORD start = GetTickCount();
    HWND second;
    while ((second = findDialog(caption, secondId)) == NULL) {
      if (GetTickCount() - start >= toMs(argv[7])) return fail("not shown in time", caption, secondId);
      Sleep(1);
    }
    button = control(second, toInt(argv[6]));
    if (button == NULL) return fail("no such control", caption, toInt(argv[6]));
    PostMessageA(button, BM_CLICK, 0, 0);
    // What the status line said at the click: empty while nothing has run.
    std::printf("status: %s\n", windowText(GetDlgItem(second, 1004)).c_str());
    return 0;
  }
  if (command.compare(0, 5, "tree-") == 0 && argc == 6) {
    HWND dialog = findDialog(caption, id);
    if (dialog == NULL) return fail("no such dialog", caption, id);
    HWND tree = control(dialog, toInt(argv[4]));
    if (tree == NULL) return fail("no such control", caption, toInt(argv[4]));
    return commandTree(command, tree, argv[5]);
  }
  if (argc != 5) return usage();

  // state looks at hidden dialogs too: the main dialog is checked while
  // the progress dialog is up, and a dialog may be hidden on purpose.
  HWND dialog = findDialog(caption, id, command != "state");
  if (dialog == NULL) return fail("no such dialog", caption, id);
  const int number = toInt(argv[4]);
  if (command == "command") {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(number, BN_CLICKED), 0);
    return 0;
  }
  if (command == "syscommand") {
    PostMessageA(dialog, WM_SYSCOMMAND, static_cast<WPARAM>(number), 0);
    return 0;
  }
  HWND target = control(dialog, number);
  if (target == NULL) return fail("no such control", caption, number);

  if (command == "click") {
    PostMessageA(target, BM_CLICK, 0, 0);
    return 0;
  }
  if (command == "press") {
    RECT area;
    GetClientRect(target, &area);
    const LPARAM centre = MAKELPARAM((area.right - area.left) / 2, (area.bottom - area.top) / 2);
    PostMessageA(target, WM_MOUSEMOVE, 0, centre);
    PostMessageA(target, WM_LBUTTONDOWN, MK_LBUTTON, centre);
    PostMessageA(target, WM_LBUTTONUP, 0, centre);
    return 0;
  }
  if (command == "rect") {
    RECT area;
    GetWindowRect(target, &area);
    std::printf("%ldx%ld+%ld+%ld\n", area.right - area.left, area.bottom - area.top, area.left, area.top);
    return 0;
  }
  if (command == "text") {
    std::printf("%s\n", windowText(target).c_str());
    return 0;
  }
  if (command == "state") {
    std::printf("%s %s\n", IsWindowVisible(target) ? "visible" : "hidden",
                IsWindowEnabled(target) ? "enabled" : "disabled");
    return 0;
  }
  if (command == "checked") {
    DWORD_PTR check = 0;
    if (!sendTimeout(target, BM_GETCHECK, 0, 0, &check)) return fail("the button did not answer", caption, number);
    std::printf("%d\n", check != 0 ? 1 : 0);
    return 0;
  }
  if (command == "tree") return commandTree(command, target, "");
  if (command == "list") {
    std::vector<std::string> lines;
    LRESULT selected = LB_ERR;
    if (!listLines(target, &lines, &selected)) return fail("the list did not answer", caption, number);
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    std::printf("selected: %" PRIdPTR "\n", static_cast<std::intptr_t>(selected));
    return 0;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  const int status = run(argc, argv);
  std::fflush(stdout);
  return status;
}
