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
#include <windows.h>
#include <psapi.h>

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
      if (now < previous) std::printf("drop: %ld -> %ld\n", static_cast<long>(previous), static_cast<long>(now));
      previous = now;
    }
    if (windowText(GetDlgItem(dialog, statusId)) == doneText) break;
    if (GetTickCount() - start >= timeoutMs) return fail("the status text did not come", caption, id);
    Sleep(5);
  }
  std::printf("highest: %ld\n", static_cast<long>(highest));
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
               "       gui_driver press CAPTION ID CONTROL\n");
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
    std::printf("0x%08lx\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(dialog)));
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
  if (command == "list") {
    std::vector<std::string> lines;
    LRESULT selected = LB_ERR;
    if (!listLines(target, &lines, &selected)) return fail("the list did not answer", caption, number);
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    std::printf("selected: %ld\n", static_cast<long>(selected));
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
